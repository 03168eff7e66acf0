// SPDX-License-Identifier: MIT
// The network road's datagrams as the tool builds and reads them: the IPMI
// LAN message's checksums, and a protected RMCP+ packet that is read back
// only with the keys it was made with and only whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bmc/lan/rmcp.h"

namespace {

using Bytes = std::vector<INT8U>;

RmcpProtection protection(LanHash hash, INT8U seed)
{
    RmcpProtection p{};
    p.on = true;
    p.hash = hash;
    for (int i = 0; i < LAN_MAX_DIGEST; ++i) {
        p.k1[i] = static_cast<INT8U>(seed + i);
        p.k2[i] = static_cast<INT8U>(seed * 3 + i);
    }
    return p;
}

}  // namespace

TEST(LanPackets, TheLanMessageCarriesBothChecksums)
{
    // Get Device ID, sequence 1: the IPMI description's own example bytes.
    const INT8U get_device_id[] = {0x18, 0x01};
    INT8U message[LAN_MAX_MESSAGE];
    size_t n = IpmiLanRequest(message, get_device_id, sizeof get_device_id, 1);
    EXPECT_EQ(Bytes(message, message + n), (Bytes{0x20, 0x18, 0xC8, 0x81, 0x04, 0x01, 0x7A}));

    // The answer to a Master Write-Read read: handed up as the driver hands it.
    const Bytes answer = {0x81, 0x1C, 0x63, 0x20, 0x0C, 0x52, 0x00, 0x4D, 0x35};
    INT8U up[LAN_MAX_MESSAGE], seq = 0;
    size_t up_size = 0;
    ASSERT_TRUE(IpmiLanResponse(answer.data(), answer.size(), &seq, up, &up_size));
    EXPECT_EQ(seq, 3);
    EXPECT_EQ(Bytes(up, up + up_size), (Bytes{0x07, 0x52, 0x00, 0x4D}));
    for (size_t corrupt : {size_t{1}, size_t{2}, size_t{7}, answer.size() - 1}) {
        Bytes bad = answer;
        bad[corrupt] ^= 0x01;
        EXPECT_FALSE(IpmiLanResponse(bad.data(), bad.size(), &seq, up, &up_size)) << corrupt;
    }
}

TEST(LanPackets, AProtectedPacketIsReadOnlyWholeAndWithItsOwnKeys)
{
    INT8U iv[LAN_AES_BLOCK];
    for (int i = 0; i < LAN_AES_BLOCK; ++i)
        iv[i] = static_cast<INT8U>(0xA0 + i);
    for (LanHash hash : {LAN_SHA1, LAN_SHA256}) {
        for (size_t size : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{128}}) {
            SCOPED_TRACE(std::to_string(hash) + " " + std::to_string(size));
            Bytes payload(size);
            for (size_t i = 0; i < size; ++i)
                payload[i] = static_cast<INT8U>(i * 7);
            const RmcpProtection keys = protection(hash, 5);
            INT8U packet[LAN_MAX_PACKET];
            size_t n = RmcpV20(packet, RMCP_PAYLOAD_IPMI, 0x11223344, 9, payload.data(), size, &keys, iv);
            ASSERT_GT(n, 0u);
            // The integrity pad makes what the code covers a multiple of four bytes.
            EXPECT_EQ((n - 4 - RmcpAuthCodeSize(hash)) % 4, 0u);
            RmcpInbound in;
            ASSERT_EQ(RmcpRead(packet, n, &keys, &in), RMCP_V20_PACKET);
            EXPECT_EQ(in.session_id, 0x11223344u);
            EXPECT_EQ(in.sequence, 9u);
            EXPECT_TRUE(in.protected_);
            EXPECT_EQ(Bytes(in.payload, in.payload + in.size), payload);
            // The payload travels encrypted.
            if (size >= 8) {
                EXPECT_EQ(std::search(packet, packet + n, payload.begin(), payload.end()), packet + n);
            }

            const RmcpProtection other = protection(hash, 6);
            EXPECT_EQ(RmcpRead(packet, n, &other, &in), RMCP_BAD_INTEGRITY);
            for (size_t at : {size_t{5}, size_t{8}, size_t{20}, n - 1}) {
                INT8U bad[LAN_MAX_PACKET];
                std::memcpy(bad, packet, n);
                bad[at] ^= 0x80;
                RmcpKind kind = RmcpRead(bad, n, &keys, &in);
                EXPECT_TRUE(kind == RMCP_BAD_INTEGRITY || kind == RMCP_NOT_OURS) << at;
            }
            EXPECT_NE(RmcpRead(packet, n - 1, &keys, &in), RMCP_V20_PACKET);
            EXPECT_EQ(RmcpRead(packet, n, nullptr, &in), RMCP_BAD_INTEGRITY) << "no keys, no payload";
        }
    }
}

// Before a session anyone on the network can answer, and a session-less
// datagram may carry a message longer than one the tool takes: with right
// checksums it is still no answer, and nothing is copied past the caller's
// message buffer.
TEST(LanPackets, AMessageLongerThanTheBufferIsNoAnswer)
{
    auto checksum = [](const INT8U* bytes, size_t n) {
        INT8U sum = 0;
        for (size_t i = 0; i < n; ++i)
            sum = static_cast<INT8U>(sum + bytes[i]);
        return static_cast<INT8U>(-sum);
    };
    for (size_t size : {size_t{LAN_MAX_MESSAGE}, size_t{LAN_MAX_MESSAGE + 1}, size_t{255}}) {
        Bytes message(size, 0x5A);
        message[0] = 0x81, message[1] = 0x1C, message[3] = 0x20, message[4] = 0x0C, message[5] = 0x52, message[6] = 0;
        message[2] = checksum(message.data(), 2);
        message[size - 1] = checksum(message.data() + 3, size - 4);
        INT8U datagram[LAN_MAX_PACKET];
        const size_t n = RmcpV15(datagram, message.data(), size);
        RmcpInbound in{};
        ASSERT_EQ(RmcpRead(datagram, n, nullptr, &in), RMCP_V15_PACKET) << size;
        ASSERT_EQ(in.size, size);
        INT8U up[LAN_MAX_MESSAGE], seq = 0;
        size_t up_size = 0;
        EXPECT_EQ(IpmiLanResponse(in.payload, in.size, &seq, up, &up_size), size <= LAN_MAX_MESSAGE) << size;
        if (size <= LAN_MAX_MESSAGE) {
            EXPECT_EQ(up_size, size - 5);
        }
    }
}
