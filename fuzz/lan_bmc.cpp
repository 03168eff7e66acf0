// SPDX-License-Identifier: MIT
#include "lan_bmc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "bmc/lan/lan_crypto.h"
#include "bmc/lan/rmcp.h"

namespace qbfuzz {

namespace {

constexpr uint8_t kCmdMasterWriteRead = 0x52;
constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kAuthHmacSha256 = 0x03;
constexpr size_t kSecretSize = 20;  // passwords and K_G are zero-padded to 20 bytes
constexpr size_t kKeyConstantLength = 20;

using Secret = std::array<uint8_t, kSecretSize>;

Secret padded(std::string_view text)
{
    Secret s{};
    std::memcpy(s.data(), text.data(), std::min(text.size(), s.size()));
    return s;
}

void put_le32(uint8_t* out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* in)
{
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

// The IPMI checksum: the two's complement of the bytes' sum.
uint8_t checksum(const uint8_t* bytes, size_t size)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}

// Up to `count` input bytes into `out`, the rest zero.
void fill(Answers& answers, uint8_t* out, size_t count)
{
    auto data = answers.bytes(count);
    std::memset(out, 0, count);
    std::memcpy(out, data.data(), data.size());
}

uint32_t input_le32(Answers& answers)
{
    uint8_t bytes[4];
    fill(answers, bytes, sizeof bytes);
    return get_le32(bytes);
}

// What the last datagram the tool sent asked for.
enum class Asked { nothing, ping, ipmi_v15, ipmi_v20, ipmi_in_session, open_session, rakp1, rakp3 };

struct IpmiRequest {
    uint8_t netfn = 0, lun = 0, rq_seq = 0, cmd = 0;
    std::vector<uint8_t> data;
};

// One session as the BMC keeps it, from Open Session on.
struct Session {
    LanHash hash = LAN_SHA256;
    uint8_t privilege = 0;
    uint32_t console_id = 0, bmc_id = 0;
    std::array<uint8_t, 24> algorithms{};  // the three algorithm payloads of Open Session
    std::array<uint8_t, 16> rm{}, rc{}, guid{};
    uint8_t role = 0;
    std::vector<uint8_t> name;
    std::array<uint8_t, LAN_MAX_DIGEST> sik{};
    RmcpProtection keys{};  // on once RAKP 2 has been answered well formed
    uint32_t sequence = 0;  // the BMC's last outbound sequence number
};

class Bmc {
public:
    void start(bool kg_given)
    {
        *this = Bmc{};
        kg_given_ = kg_given;
    }

    void heard(const uint8_t* d, size_t size)
    {
        asked_ = Asked::nothing;
        if (size >= 12 && d[0] == 0x06 && d[3] == 0x06 && d[8] == 0x80) {
            asked_ = Asked::ping;
            ping_tag_ = d[9];
            return;
        }
        static RmcpInbound in;
        const RmcpKind kind = RmcpRead(d, size, session_.keys.on ? &session_.keys : nullptr, &in);
        const uint8_t* p = in.payload;
        if (kind == RMCP_V15_PACKET) {
            if (read_ipmi(p, in.size))
                asked_ = Asked::ipmi_v15;
            return;
        }
        if (kind != RMCP_V20_PACKET)
            return;
        switch (in.type) {
        case RMCP_PAYLOAD_IPMI:
            if (read_ipmi(p, in.size))
                asked_ = in.protected_ ? Asked::ipmi_in_session : Asked::ipmi_v20;
            break;
        case RMCP_PAYLOAD_OPEN_REQUEST:
            if (in.size < 32)
                break;
            session_ = Session{};
            tag_ = p[0];
            session_.privilege = p[1];
            session_.console_id = get_le32(p + 4);
            std::memcpy(session_.algorithms.data(), p + 8, session_.algorithms.size());
            session_.hash = p[12] == kAuthHmacSha256 ? LAN_SHA256 : LAN_SHA1;
            asked_ = Asked::open_session;
            break;
        case RMCP_PAYLOAD_RAKP1:
            if (in.size < 28)
                break;
            tag_ = p[0];
            std::memcpy(session_.rm.data(), p + 8, session_.rm.size());
            session_.role = p[24];
            session_.name.assign(p + 28, p + 28 + std::min<size_t>(p[27], in.size - 28));
            asked_ = Asked::rakp1;
            break;
        case RMCP_PAYLOAD_RAKP3:
            if (in.size < 2)
                break;
            tag_ = p[0];
            asked_ = Asked::rakp3;
            break;
        default:
            break;
        }
    }

    size_t answer(Answers& answers, uint8_t shape, uint8_t* out, size_t capacity)
    {
        static uint8_t packet[LAN_MAX_PACKET];
        size_t n = 0;
        switch (asked_) {
        case Asked::nothing:
            return 0;
        case Asked::ping:
            n = pong(answers, packet);
            break;
        case Asked::ipmi_v15:
        case Asked::ipmi_v20:
        case Asked::ipmi_in_session:
            n = ipmi_answer(answers, shape, packet);
            break;
        case Asked::open_session:
            n = open_session_answer(answers, shape, packet);
            break;
        case Asked::rakp1:
            n = rakp2(answers, shape, packet);
            break;
        case Asked::rakp3:
            n = rakp4(answers, shape, packet);
            break;
        }
        n = std::min(n, capacity);  // UDP cuts a datagram to the buffer
        std::memcpy(out, packet, n);
        return n;
    }

private:
    bool read_ipmi(const uint8_t* p, size_t size)
    {
        // rsAddr, NetFn/LUN, checksum, rqAddr, rqSeq/LUN, command, data, checksum.
        if (size < 7)
            return false;
        request_.netfn = p[1] >> 2;
        request_.lun = p[1] & 3;
        request_.rq_seq = p[4] >> 2;
        request_.cmd = p[5];
        request_.data.assign(p + 6, p + size - 1);
        return true;
    }

    // An ASF presence pong with the ping's tag and 16 data bytes.
    size_t pong(Answers& answers, uint8_t* out) const
    {
        const uint8_t header[] = {0x06, 0x00, 0xFF, 0x06, 0x00, 0x00, 0x11, 0xBE, 0x40, ping_tag_, 0x00, 0x10};
        std::memcpy(out, header, sizeof header);
        fill(answers, out + sizeof header, 16);
        return sizeof header + 16;
    }

    // `payload` of `type` sealed in the session, as the BMC sends it. A byte
    // chooses the sequence number: below 0xC0 the next one, else one from 32
    // back to 31 ahead of the last; from 0xB0 to 0xBF the packet is another
    // session's, sealed with the same keys.
    size_t sealed(Answers& answers, uint8_t type, const uint8_t* payload, size_t size, uint8_t* out)
    {
        const uint8_t b = answers.byte(0);
        uint32_t sequence = session_.sequence + 1;
        if (b >= 0xC0)
            sequence = session_.sequence + static_cast<uint32_t>(static_cast<int8_t>(b << 2) / 4);
        if (static_cast<int32_t>(sequence - session_.sequence) > 0)
            session_.sequence = sequence;
        const uint32_t session_id = session_.console_id + (b >= 0xB0 && b < 0xC0 ? 1 + (b & 0x0F) : 0);
        uint8_t iv[LAN_AES_BLOCK];
        for (size_t i = 0; i < sizeof iv; ++i)
            iv[i] = static_cast<uint8_t>(sequence >> (8 * (i % 4)));
        return RmcpV20(out, type, session_id, sequence, payload, size, &session_.keys, iv);
    }

    // The answer to the last IPMI request: below 0x60 completion code 0 and,
    // for a Master Write-Read, as many bytes as it reads (else a length byte
    // says how many); else a byte whose low six bits are the length, then
    // that many bytes, the completion code among them; its bit 6 breaks the
    // message's last checksum and its bit 7 answers the request before.
    size_t ipmi_answer(Answers& answers, uint8_t shape, uint8_t* out)
    {
        uint8_t body[64];
        size_t length = 0;
        bool bad_checksum = false, earlier = false;
        if (shape < 0x60) {
            const bool read = request_.netfn == kNetFnApp && request_.cmd == kCmdMasterWriteRead &&
                              request_.data.size() >= 3;
            const size_t count = read ? request_.data[2] : answers.byte(0) & 0x3F;
            length = 1 + std::min<size_t>(count, sizeof body - 1);
            body[0] = 0;
            fill(answers, body + 1, length - 1);
        } else {
            const uint8_t b = answers.byte(0);
            length = b & 0x3F;
            bad_checksum = b & 0x40;
            earlier = b & 0x80;
            fill(answers, body, length);
        }
        // rqAddr, NetFn/LUN, checksum, rsAddr, rqSeq/LUN, command, body, checksum.
        uint8_t message[7 + sizeof body];
        message[0] = 0x81;
        message[1] = static_cast<uint8_t>((request_.netfn + 1) << 2 | request_.lun);
        message[2] = checksum(message, 2);
        message[3] = 0x20;
        message[4] = static_cast<uint8_t>(((request_.rq_seq - (earlier ? 1 : 0)) & 0x3F) << 2 | request_.lun);
        message[5] = request_.cmd;
        std::memcpy(message + 6, body, length);
        message[6 + length] = static_cast<uint8_t>(checksum(message + 3, 3 + length) + (bad_checksum ? 1 : 0));
        const size_t size = 7 + length;
        if (asked_ == Asked::ipmi_v15)
            return RmcpV15(out, message, size);
        if (asked_ == Asked::ipmi_v20)
            return RmcpV20(out, RMCP_PAYLOAD_IPMI, 0, 0, message, size, nullptr, nullptr);
        return sealed(answers, RMCP_PAYLOAD_IPMI, message, size, out);
    }

    // Open Session's answer: below 0x60 accepted, with the BMC's session ID
    // from the input; below 0x90 the status from the input; else accepted
    // with both session IDs from the input.
    size_t open_session_answer(Answers& answers, uint8_t shape, uint8_t* out)
    {
        uint8_t p[36] = {};
        p[0] = tag_;
        p[1] = shape >= 0x60 && shape < 0x90 ? answers.byte(0) : 0;
        p[2] = session_.privilege;
        const uint32_t console_id = shape >= 0x90 ? input_le32(answers) : session_.console_id;
        session_.bmc_id = input_le32(answers);
        put_le32(p + 4, console_id);
        put_le32(p + 8, session_.bmc_id);
        std::memcpy(p + 12, session_.algorithms.data(), session_.algorithms.size());
        return RmcpV20(out, RMCP_PAYLOAD_OPEN_RESPONSE, 0, 0, p, sizeof p, nullptr, nullptr);
    }

    // RAKP message 2: the BMC's random number and GUID from the input, the
    // key exchange code the password gives (from the input at 0x90 and
    // above), the status from the input between 0x60 and 0x90. The session's
    // keys are the ones the tool derives from it; with bit 5 below 0x60 the
    // BMC's sequence numbers start just before they wrap.
    size_t rakp2(Answers& answers, uint8_t shape, uint8_t* out)
    {
        Session& s = session_;
        uint8_t p[40 + LAN_MAX_DIGEST] = {};
        const size_t digest = LanDigestSize(s.hash);
        p[0] = tag_;
        p[1] = shape >= 0x60 && shape < 0x90 ? answers.byte(0) : 0;
        put_le32(p + 4, s.console_id);
        fill(answers, s.rc.data(), s.rc.size());
        fill(answers, s.guid.data(), s.guid.size());
        std::memcpy(p + 8, s.rc.data(), s.rc.size());
        std::memcpy(p + 24, s.guid.data(), s.guid.size());

        const Secret password = padded(kLanPassword), kg = padded(kLanKg);
        uint8_t ids[8];
        put_le32(ids, s.console_id);
        put_le32(ids + 4, s.bmc_id);
        const uint8_t tail[2] = {s.role, static_cast<uint8_t>(s.name.size())};
        const LanPiece name = {s.name.data(), s.name.size()};
        if (shape >= 0x90) {
            fill(answers, p + 40, digest);
        } else {
            const LanPiece code[] = {{ids, 8}, {s.rm.data(), 16}, {s.rc.data(), 16}, {s.guid.data(), 16},
                                     {tail, 2}, name};
            LanHmac(s.hash, password.data(), password.size(), code, 6, p + 40);
        }
        const LanPiece sik[] = {{s.rm.data(), 16}, {s.rc.data(), 16}, {tail, 2}, name};
        LanHmac(s.hash, kg_given_ ? kg.data() : password.data(), kSecretSize, sik, 4, s.sik.data());
        uint8_t constant[kKeyConstantLength];
        std::memset(constant, 0x01, sizeof constant);
        const LanPiece one = {constant, sizeof constant};
        LanHmac(s.hash, s.sik.data(), digest, &one, 1, s.keys.k1);
        std::memset(constant, 0x02, sizeof constant);
        const LanPiece two = {constant, sizeof constant};
        LanHmac(s.hash, s.sik.data(), digest, &two, 1, s.keys.k2);
        s.keys.hash = s.hash;
        s.keys.on = true;
        s.sequence = shape < 0x60 && (shape & 0x20) ? 0xFFFFFFF0u : 0;
        return RmcpV20(out, RMCP_PAYLOAD_RAKP2, 0, 0, p, 40 + digest, nullptr, nullptr);
    }

    // RAKP message 4 with the integrity check value the session's key gives:
    // below 0x60 status 0, below 0x90 the status from the input, else that
    // sealed inside the session (as a BMC answers RAKP 3 sent again).
    size_t rakp4(Answers& answers, uint8_t shape, uint8_t* out)
    {
        Session& s = session_;
        uint8_t p[8 + LAN_MAX_DIGEST] = {};
        p[0] = tag_;
        p[1] = shape >= 0x60 ? answers.byte(0) : 0;
        put_le32(p + 4, s.console_id);
        uint8_t bmc_id[4];
        put_le32(bmc_id, s.bmc_id);
        const LanPiece pieces[] = {{s.rm.data(), 16}, {bmc_id, 4}, {s.guid.data(), 16}};
        uint8_t code[LAN_MAX_DIGEST];
        LanHmac(s.hash, s.sik.data(), LanDigestSize(s.hash), pieces, 3, code);
        const size_t icv = RmcpAuthCodeSize(s.hash);
        std::memcpy(p + 8, code, icv);
        if (shape >= 0x90 && s.keys.on)
            return sealed(answers, RMCP_PAYLOAD_RAKP4, p, 8 + icv, out);
        return RmcpV20(out, RMCP_PAYLOAD_RAKP4, 0, 0, p, 8 + icv, nullptr, nullptr);
    }

    bool kg_given_ = false;
    Asked asked_ = Asked::nothing;
    uint8_t ping_tag_ = 0;
    uint8_t tag_ = 0;
    IpmiRequest request_;
    Session session_;
};

Bmc bmc;

}  // namespace

void lan_bmc_start(bool kg_given) { bmc.start(kg_given); }

void lan_bmc_heard(const uint8_t* datagram, size_t size) { bmc.heard(datagram, size); }

size_t lan_bmc_answer(Answers& answers, uint8_t shape, uint8_t* out, size_t capacity)
{
    return bmc.answer(answers, shape, out, capacity);
}

}  // namespace qbfuzz
