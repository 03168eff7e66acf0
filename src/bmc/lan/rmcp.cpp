// SPDX-License-Identifier: MIT
// The layout of every datagram follows the IPMI v2.0 description of RMCP,
// RMCP+ and the LAN message; each function says which part it builds.
#include "rmcp.h"

#include <cstring>

namespace {

constexpr INT8U kRmcpVersion = 0x06;
constexpr INT8U kRmcpNoAck = 0xFF;
constexpr INT8U kRmcpClassAsf = 0x06;
constexpr INT8U kRmcpClassIpmi = 0x07;
constexpr INT8U kAsfIana[] = {0x00, 0x00, 0x11, 0xBE};
constexpr INT8U kAsfPing = 0x80;
constexpr INT8U kAsfPong = 0x40;
constexpr INT8U kAuthTypeNone = 0x00;
constexpr INT8U kAuthTypeRmcpPlus = 0x06;
constexpr INT8U kNextHeader = 0x07;
constexpr INT8U kBmcAddress = 0x20;
constexpr INT8U kConsoleSoftwareId = 0x81;
constexpr size_t kRmcpHeader = 4;
constexpr size_t kV20Header = 12;  // auth type, payload type, session ID, sequence, length

void PutLe32(INT8U* out, INT32U v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<INT8U>(v >> (8 * i));
}

INT32U GetLe32(const INT8U* in)
{
    return static_cast<INT32U>(in[0]) | static_cast<INT32U>(in[1]) << 8 | static_cast<INT32U>(in[2]) << 16 |
           static_cast<INT32U>(in[3]) << 24;
}

void PutRmcpHeader(INT8U* out, INT8U message_class)
{
    out[0] = kRmcpVersion;
    out[1] = 0x00;
    out[2] = kRmcpNoAck;
    out[3] = message_class;
}

// The IPMI checksum: the two's complement of the bytes' sum.
INT8U Checksum(const INT8U* bytes, size_t size)
{
    INT8U sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum = static_cast<INT8U>(sum + bytes[i]);
    return static_cast<INT8U>(-sum);
}

}  // namespace

size_t RmcpAuthCodeSize(LanHash hash) { return hash == LAN_SHA1 ? 12 : 16; }

size_t RmcpPing(INT8U* out, INT8U tag)
{
    PutRmcpHeader(out, kRmcpClassAsf);
    std::memcpy(out + 4, kAsfIana, sizeof kAsfIana);
    out[8] = kAsfPing;
    out[9] = tag;
    out[10] = 0x00;
    out[11] = 0x00;  // no data
    return 12;
}

size_t RmcpV15(INT8U* out, const INT8U* message, size_t size)
{
    PutRmcpHeader(out, kRmcpClassIpmi);
    out[4] = kAuthTypeNone;
    std::memset(out + 5, 0, 8);  // session sequence number and ID: none
    out[13] = static_cast<INT8U>(size);
    std::memcpy(out + 14, message, size);
    return 14 + size;
}

size_t RmcpV20(INT8U* out, INT8U type, INT32U session_id, INT32U sequence, const INT8U* payload, size_t size,
               const RmcpProtection* protection, const INT8U* iv)
{
    const bool on = protection && protection->on;
    // IV, the payload, its confidentiality pad and the pad's length, in whole blocks.
    size_t body = on ? LAN_AES_BLOCK + (size / LAN_AES_BLOCK + 1) * LAN_AES_BLOCK : size;
    if (kRmcpHeader + kV20Header + body + 3 + 2 + LAN_MAX_DIGEST > LAN_MAX_PACKET)
        return 0;
    PutRmcpHeader(out, kRmcpClassIpmi);
    INT8U* h = out + kRmcpHeader;
    h[0] = kAuthTypeRmcpPlus;
    h[1] = static_cast<INT8U>(type | (on ? RMCP_ENCRYPTED | RMCP_AUTHENTICATED : 0));
    PutLe32(h + 2, session_id);
    PutLe32(h + 6, sequence);
    h[10] = static_cast<INT8U>(body);
    h[11] = static_cast<INT8U>(body >> 8);
    INT8U* p = h + kV20Header;
    if (!on) {
        std::memcpy(p, payload, size);
        return kRmcpHeader + kV20Header + size;
    }
    // Confidentiality: the payload, pad bytes 1, 2, 3, ..., the pad's length.
    INT8U plain[LAN_MAX_PACKET];
    std::memcpy(plain, payload, size);
    size_t pad = body - LAN_AES_BLOCK - size - 1;
    for (size_t i = 0; i < pad; ++i)
        plain[size + i] = static_cast<INT8U>(i + 1);
    plain[size + pad] = static_cast<INT8U>(pad);
    std::memcpy(p, iv, LAN_AES_BLOCK);
    LanAesEncrypt(protection->k2, iv, plain, body - LAN_AES_BLOCK, p + LAN_AES_BLOCK);
    LanWipe(plain, sizeof plain);
    // Integrity: from the auth type through the next header, padded to 4 bytes.
    size_t covered = kV20Header + body;
    size_t integrity_pad = (4 - (covered + 2) % 4) % 4;
    INT8U* t = p + body;
    std::memset(t, 0xFF, integrity_pad);
    t[integrity_pad] = static_cast<INT8U>(integrity_pad);
    t[integrity_pad + 1] = kNextHeader;
    covered += integrity_pad + 2;
    INT8U code[LAN_MAX_DIGEST];
    LanPiece piece = {h, covered};
    LanHmac(protection->hash, protection->k1, LanDigestSize(protection->hash), &piece, 1, code);
    std::memcpy(h + covered, code, RmcpAuthCodeSize(protection->hash));
    return kRmcpHeader + covered + RmcpAuthCodeSize(protection->hash);
}

RmcpKind RmcpRead(const INT8U* in, size_t size, const RmcpProtection* protection, RmcpInbound* out)
{
    out->kind = RMCP_NOT_OURS;
    out->size = 0;
    if (size < kRmcpHeader || in[0] != kRmcpVersion)
        return RMCP_NOT_OURS;
    if (in[3] == kRmcpClassAsf) {
        bool pong = size >= 12 && std::memcmp(in + 4, kAsfIana, 4) == 0 && in[8] == kAsfPong;
        return out->kind = pong ? RMCP_PONG : RMCP_NOT_OURS;
    }
    if (in[3] != kRmcpClassIpmi || size < kRmcpHeader + 1)
        return RMCP_NOT_OURS;
    const INT8U* h = in + kRmcpHeader;
    if (h[0] == kAuthTypeNone) {
        // v1.5: auth type, sequence, session ID, length, message.
        if (size < 14 || 14 + static_cast<size_t>(h[9]) > size)
            return RMCP_NOT_OURS;
        out->session_id = GetLe32(h + 5);
        out->sequence = GetLe32(h + 1);
        out->size = h[9];
        std::memcpy(out->payload, h + 10, out->size);
        return out->kind = RMCP_V15_PACKET;
    }
    if (h[0] != kAuthTypeRmcpPlus || size < kRmcpHeader + kV20Header)
        return RMCP_NOT_OURS;
    out->type = h[1] & 0x3F;
    out->protected_ = (h[1] & (RMCP_ENCRYPTED | RMCP_AUTHENTICATED)) != 0;
    out->session_id = GetLe32(h + 2);
    out->sequence = GetLe32(h + 6);
    size_t body = static_cast<size_t>(h[10]) | static_cast<size_t>(h[11]) << 8;
    if (kRmcpHeader + kV20Header + body > size || body > LAN_MAX_PACKET)
        return RMCP_NOT_OURS;
    const INT8U* p = h + kV20Header;
    if (!out->protected_) {
        std::memcpy(out->payload, p, body);
        out->size = body;
        return out->kind = RMCP_V20_PACKET;
    }
    // Protected: only with both protections, as the session's suite has them.
    if (!protection || !protection->on || (h[1] & (RMCP_ENCRYPTED | RMCP_AUTHENTICATED)) !=
                                              (RMCP_ENCRYPTED | RMCP_AUTHENTICATED))
        return out->kind = RMCP_BAD_INTEGRITY;
    // The integrity code ends the datagram; before it the next header and the
    // pad's length, as the sender padded (to 4 bytes, as the tool does).
    size_t code_size = RmcpAuthCodeSize(protection->hash);
    if (size < kRmcpHeader + kV20Header + body + 2 + code_size)
        return out->kind = RMCP_BAD_INTEGRITY;
    size_t covered = size - kRmcpHeader - code_size;
    if (h[covered - 1] != kNextHeader || kV20Header + body + h[covered - 2] + 2 != covered)
        return out->kind = RMCP_BAD_INTEGRITY;
    INT8U code[LAN_MAX_DIGEST];
    LanPiece piece = {h, covered};
    LanHmac(protection->hash, protection->k1, LanDigestSize(protection->hash), &piece, 1, code);
    if (!LanEqualSecret(code, h + covered, code_size))
        return out->kind = RMCP_BAD_INTEGRITY;
    if (body < 2 * LAN_AES_BLOCK || body % LAN_AES_BLOCK != 0)
        return out->kind = RMCP_BAD_INTEGRITY;
    LanAesDecrypt(protection->k2, p, p + LAN_AES_BLOCK, body - LAN_AES_BLOCK, out->payload);
    size_t plain = body - LAN_AES_BLOCK;
    size_t pad = out->payload[plain - 1];
    if (pad + 1 > plain)
        return out->kind = RMCP_BAD_INTEGRITY;
    out->size = plain - pad - 1;
    return out->kind = RMCP_V20_PACKET;
}

size_t IpmiLanRequest(INT8U* out, const INT8U* request, size_t size, INT8U rq_seq)
{
    if (size < 2 || size + 5 > LAN_MAX_MESSAGE)
        return 0;
    out[0] = kBmcAddress;
    out[1] = request[0];  // NetFn and LUN
    out[2] = Checksum(out, 2);
    out[3] = kConsoleSoftwareId;
    out[4] = static_cast<INT8U>(rq_seq << 2);
    out[5] = request[1];
    std::memcpy(out + 6, request + 2, size - 2);
    out[size + 4] = Checksum(out + 3, size + 1);
    return size + 5;
}

bool IpmiLanResponse(const INT8U* message, size_t size, INT8U* rq_seq, INT8U* answer, size_t* answer_size)
{
    // rqAddr, NetFn/LUN, checksum, rsAddr, rqSeq/LUN, command, completion code, data, checksum.
    // A datagram may carry more than a message: longer is no answer (the
    // caller's buffer holds one message).
    if (size < 8 || size > LAN_MAX_MESSAGE || Checksum(message, 2) != message[2] || Checksum(message + 3, size - 4) != message[size - 1])
        return false;
    *rq_seq = static_cast<INT8U>(message[4] >> 2);
    answer[0] = static_cast<INT8U>(message[1] >> 2);  // the response's NetFn, as the driver hands it up
    answer[1] = message[5];
    std::memcpy(answer + 2, message + 6, size - 7);
    *answer_size = size - 5;
    return true;
}
