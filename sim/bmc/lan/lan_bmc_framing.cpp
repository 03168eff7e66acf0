// SPDX-License-Identifier: MIT
#include "lan_bmc_inside.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace sim::lan {

using namespace inside;

LanBmc::Inbound LanBmc::decode(std::span<const uint8_t> d) const
{
    Inbound in;
    if (d.size() < kRmcpHeader || d[0] != kRmcpVersion) {
        in.drop = "not an RMCP datagram";
        return in;
    }
    if (d[3] == kClassAsf) {
        in.format = Inbound::Format::Asf;
        if (d.size() < 12 || !std::equal(std::begin(kAsfIana), std::end(kAsfIana), d.begin() + 4) || d[8] != kAsfPing) {
            in.drop = "an ASF message other than the presence ping";
            return in;
        }
        in.kind = MessageKind::Ping;
        in.asf_tag = d[9];
        return in;
    }
    if (d[3] != kClassIpmi) {
        in.drop = "an RMCP class other than ASF and IPMI";
        return in;
    }
    if (d.size() < kRmcpHeader + 1) {
        in.drop = "no session header";
        return in;
    }

    if (d[4] != kFormatRmcpPlus) {
        // IPMI v1.5: only session-less requests with authentication type none.
        in.format = Inbound::Format::V15;
        if (d[4] != kAuthTypeNone) {
            in.drop = "an IPMI v1.5 session (not supported)";
            return in;
        }
        if (d.size() < 14 || get_le32(d, 9) != 0) {
            in.drop = "an IPMI v1.5 session (not supported)";
            return in;
        }
        size_t length = d[13];
        if (d.size() < 14 + length) {
            in.drop = "shorter than its message length";
            return in;
        }
        in.payload.assign(d.begin() + 14, d.begin() + 14 + static_cast<long>(length));
    } else {
        if (d.size() < 16) {
            in.drop = "shorter than an RMCP+ session header";
            return in;
        }
        uint8_t type_byte = d[5];
        in.type = static_cast<PayloadType>(type_byte & 0x3F);
        uint32_t session_id = get_le32(d, 6);
        in.sequence = get_le32(d, 10);
        size_t length = get_le16(d, 14);
        if (d.size() < 16 + length) {
            in.drop = "shorter than its payload length";
            return in;
        }
        std::span<const uint8_t> payload = d.subspan(16, length);
        bool encrypted = type_byte & kPayloadEncrypted;
        bool authenticated = type_byte & kPayloadAuthenticated;

        if (session_id == 0) {
            if (encrypted || authenticated) {
                in.drop = "an authenticated or encrypted packet outside a session";
                return in;
            }
            in.payload.assign(payload.begin(), payload.end());
            switch (in.type) {
            case PayloadType::OpenSessionRequest:
                in.kind = MessageKind::OpenSession;
                return in;
            case PayloadType::Rakp1:
                in.kind = MessageKind::Rakp1;
                return in;
            case PayloadType::Rakp3:
                in.kind = MessageKind::Rakp3;
                return in;
            case PayloadType::Ipmi:
                break;
            default:
                in.drop = "a payload type this BMC does not take";
                return in;
            }
        } else {
            Session* s = const_cast<LanBmc*>(this)->find(session_id);
            if (!s || s->state != Session::State::Active) {
                in.drop = "a session ID of no active session";
                return in;
            }
            if (in.type != PayloadType::Ipmi) {
                in.drop = "a payload type this BMC does not take";
                return in;
            }
            if (authenticated != s->integrity() || encrypted != s->confidentiality()) {
                in.drop = "authentication or encryption other than the session's";
                return in;
            }
            if (s->integrity()) {
                size_t code = integrity_code_size(s->suite.integrity);
                // integrity pad, pad length, next header, then the code
                if (d.size() < 16 + length + 2 + code) {
                    in.drop = "no session trailer";
                    return in;
                }
                size_t covered = d.size() - code - kRmcpHeader;
                size_t pad = d.size() - code - 2 - 16 - length;
                if (covered % 4 != 0 || pad > 3 || d[d.size() - code - 2] != pad ||
                    d[d.size() - code - 1] != 0x07) {
                    in.drop = "a malformed session trailer";
                    return in;
                }
                Bytes mac = hmac(*integrity_hash(s->suite.integrity), s->k1, {d.subspan(kRmcpHeader, covered)});
                if (!equal_secret(std::span<const uint8_t>(mac).first(code), d.last(code))) {
                    in.drop = "a bad integrity code";
                    return in;
                }
            }
            if (s->confidentiality()) {
                if (payload.size() < 2 * kAesBlock || payload.size() % kAesBlock != 0) {
                    in.drop = "an encrypted payload of no whole blocks";
                    return in;
                }
                Bytes plain = aes128_cbc_decrypt(std::span<const uint8_t>(s->k2).first(16), payload.first(kAesBlock),
                                                 payload.subspan(kAesBlock));
                uint8_t pad = plain.back();
                bool pad_ok = pad < kAesBlock && pad + 1u <= plain.size();
                for (uint8_t i = 0; pad_ok && i < pad; ++i)
                    pad_ok = plain[plain.size() - 1 - pad + i] == i + 1;
                if (!pad_ok) {
                    in.drop = "a bad confidentiality trailer";
                    return in;
                }
                plain.resize(plain.size() - 1 - pad);
                in.payload = std::move(plain);
            } else {
                in.payload.assign(payload.begin(), payload.end());
            }
            in.session = s;
        }
    }

    in.message = parse_lan_request(in.payload);
    if (!in.message) {
        in.drop = "an IPMI message with a bad checksum or too short";
        return in;
    }
    in.kind = classify(*in.message);
    in.core_request = in.message->core_request();
    if (!in.session && in.kind != MessageKind::AuthCapabilities && in.kind != MessageKind::CipherSuites) {
        in.drop = "an IPMI request that needs a session, outside one";
        return in;
    }
    return in;
}

Bytes LanBmc::encode(const Reply& r, std::optional<Forgery> forge)
{
    Bytes out;
    if (r.format == Inbound::Format::Asf) {
        put_rmcp_header(out, kClassAsf);
        out.insert(out.end(), r.payload.begin(), r.payload.end());
        return out;
    }
    put_rmcp_header(out);
    if (r.format == Inbound::Format::V15) {
        out.push_back(kAuthTypeNone);
        put_le32(out, 0);
        put_le32(out, 0);
        out.push_back(static_cast<uint8_t>(r.payload.size()));
        out.insert(out.end(), r.payload.begin(), r.payload.end());
        return out;
    }
    Session* s = r.session;
    Bytes payload = r.payload;
    if (forge && s && r.type == PayloadType::Ipmi && payload.size() >= 8) {
        // The forged copy says something else: a console that took it would
        // report other bytes than the BMC's.
        if (payload.size() > 8) {
            for (size_t i = 7; i + 1 < payload.size(); ++i)
                payload[i] ^= 0x5A;
        } else {
            payload[6] ^= 0x40;
        }
        payload.back() = checksum(std::span<const uint8_t>(payload).subspan(3, payload.size() - 4));
    }
    uint8_t type = static_cast<uint8_t>(r.type);
    if (s) {
        if (s->confidentiality())
            type |= kPayloadEncrypted;
        if (s->integrity())
            type |= kPayloadAuthenticated;
    }
    out.push_back(kFormatRmcpPlus);
    out.push_back(type);
    uint32_t session_id = s ? s->console_id : 0;
    uint32_t sequence = 0;
    if (s) {
        if (++s->out_sequence == 0)
            ++s->out_sequence;
        sequence = s->out_sequence;
        if (forge == Forgery::SessionId)
            session_id = ~session_id;
        if (forge == Forgery::Sequence)
            sequence = s->out_sequence + 0x40000000u;  // far outside any window
    }
    put_le32(out, session_id);
    put_le32(out, sequence);
    if (s && s->confidentiality()) {
        size_t pad = (kAesBlock - (payload.size() + 1) % kAesBlock) % kAesBlock;
        for (size_t i = 1; i <= pad; ++i)
            payload.push_back(static_cast<uint8_t>(i));
        payload.push_back(static_cast<uint8_t>(pad));
        std::array<uint8_t, kAesBlock> iv;
        random_->fill(iv);
        Bytes cipher = aes128_cbc_encrypt(std::span<const uint8_t>(s->k2).first(16), iv, payload);
        payload.assign(iv.begin(), iv.end());
        payload.insert(payload.end(), cipher.begin(), cipher.end());
    }
    put_le16(out, static_cast<uint16_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    if (s && s->integrity()) {
        size_t covered = out.size() - kRmcpHeader + 2;
        size_t pad = (4 - covered % 4) % 4;
        out.insert(out.end(), pad, 0xFF);
        out.push_back(static_cast<uint8_t>(pad));
        out.push_back(0x07);
        size_t code_size = integrity_code_size(s->suite.integrity);
        Bytes mac = hmac(*integrity_hash(s->suite.integrity), s->k1,
                         {std::span<const uint8_t>(out).subspan(kRmcpHeader)});
        mac.resize(code_size);
        if (forge == Forgery::Integrity)
            mac[0] ^= 0x01;
        out.insert(out.end(), mac.begin(), mac.end());
    }
    return out;
}

}  // namespace sim::lan
