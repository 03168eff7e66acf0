// SPDX-License-Identifier: MIT
// The network road's inbound datagrams (src/bmc/lan/rmcp.h): every flag
// and field of what a BMC, or anyone on its network, sends back. The first
// byte chooses how the rest is met:
//   bit 0  the session's protection is on (its keys are fixed here),
//   bit 1  HMAC-SHA256-128 instead of HMAC-SHA1-96,
//   bit 2  the rest is sealed first as an RMCP+ packet with those keys
//          (the second byte its payload type, the third its IV byte): its
//          integrity code and padding are then right, so that what lies
//          behind them (the decrypted payload, the IPMI LAN message) is
//          reached; else the rest is the datagram as it came.
// Whatever is read must stay within its buffers and say what it is.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bmc/lan/rmcp.h"

namespace {

RmcpProtection Protection(uint8_t mode)
{
    RmcpProtection p{};
    p.on = (mode & 1) != 0;
    p.hash = (mode & 2) ? LAN_SHA256 : LAN_SHA1;
    for (size_t i = 0; i < LAN_MAX_DIGEST; ++i) {
        p.k1[i] = static_cast<INT8U>(0x11 + i);
        p.k2[i] = static_cast<INT8U>(0xA5 ^ i);
    }
    return p;
}

void Check(bool holds)
{
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    ++data, --size;
    const RmcpProtection protection = Protection(mode);

    static INT8U sealed[2 * LAN_MAX_PACKET];
    const INT8U* datagram = data;
    size_t datagram_size = size;
    if (mode & 4) {
        if (size < 2 || size - 2 > LAN_MAX_PACKET)
            return 0;
        INT8U iv[LAN_AES_BLOCK];
        std::memset(iv, data[1], sizeof iv);
        datagram_size = RmcpV20(sealed, data[0], 0x01020304, 7, data + 2, size - 2, &protection, iv);
        if (datagram_size == 0)
            return 0;
        datagram = sealed;
    }

    static RmcpInbound in;
    const RmcpKind kind = RmcpRead(datagram, datagram_size, &protection, &in);
    Check(in.kind == kind);
    if (kind != RMCP_V15_PACKET && kind != RMCP_V20_PACKET)
        return 0;
    Check(in.size <= sizeof in.payload);
    // A packet the tool sealed itself reads back as it was sealed.
    if ((mode & 4) && kind == RMCP_V20_PACKET && protection.on)
        Check(in.size == size - 2 && std::memcmp(in.payload, data + 2, in.size) == 0);

    INT8U rq_seq = 0;
    INT8U answer[LAN_MAX_MESSAGE];
    size_t answer_size = 0;
    if (IpmiLanResponse(in.payload, in.size, &rq_seq, answer, &answer_size))
        Check(answer_size <= sizeof answer && answer_size <= in.size && rq_seq < 64);
    return 0;
}
