// SPDX-License-Identifier: MIT
#include "lan_bmc.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace sim::lan {

namespace {

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdSetGlobalEnables = 0x2E;
constexpr uint8_t kCmdGetAuthCapabilities = 0x38;
constexpr uint8_t kCmdSetSessionPrivilege = 0x3B;
constexpr uint8_t kCmdCloseSession = 0x3C;
constexpr uint8_t kCmdGetSessionInfo = 0x3D;
constexpr uint8_t kCmdMasterWriteRead = 0x52;
constexpr uint8_t kCmdGetCipherSuites = 0x54;

constexpr uint8_t kLanChannel = 0x01;
constexpr uint8_t kCurrentChannel = 0x0E;

constexpr uint8_t kCcOk = 0x00;
constexpr uint8_t kCcLevelUnavailable = 0x80;
constexpr uint8_t kCcLevelAboveLimit = 0x81;
constexpr uint8_t kCcInvalidSessionId = 0x87;
constexpr uint8_t kCcInvalidSessionHandle = 0x88;
constexpr uint8_t kCcRequestLength = 0xC7;
constexpr uint8_t kCcDataNotPresent = 0xCB;
constexpr uint8_t kCcInvalidField = 0xCC;
constexpr uint8_t kCcInsufficientPrivilege = 0xD4;

// The ASF presence ping and its pong (DMTF ASF 2.0, as IPMI uses it).
constexpr uint8_t kAsfIana[] = {0x00, 0x00, 0x11, 0xBE};
constexpr uint8_t kAsfPing = 0x80;
constexpr uint8_t kAsfPong = 0x40;
constexpr uint8_t kAsfIpmiSupported = 0x80;
constexpr uint8_t kAsfVersion1 = 0x01;

// The keys K1 and K2 of a session come from the session key and these
// 20-byte constants (IPMI v2.0 section 13.32), whatever the hash.
constexpr size_t kKeyConstantLength = 20;

// How far from the highest sequence number taken a packet may be.
constexpr uint32_t kSequenceWindow = 16;

MessageKind classify(const LanMessage& m)
{
    if (m.netfn != kNetFnApp)
        return MessageKind::OtherIpmi;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
        return MessageKind::AuthCapabilities;
    case kCmdGetCipherSuites:
        return MessageKind::CipherSuites;
    case kCmdSetSessionPrivilege:
        return MessageKind::SetPrivilege;
    case kCmdCloseSession:
        return MessageKind::CloseSession;
    case kCmdMasterWriteRead:
        return MessageKind::MasterWriteRead;
    default:
        return MessageKind::OtherIpmi;
    }
}

Bytes with_cc(uint8_t cc, std::initializer_list<uint8_t> data = {})
{
    Bytes r;
    r.reserve(1 + data.size());
    r.push_back(cc);
    for (uint8_t b : data)
        r.push_back(b);
    return r;
}

std::string in_quotes(const std::string& name) { return "\"" + name + "\""; }

std::span<const uint8_t> as_bytes(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

void SeededRandom::fill(std::span<uint8_t> out)
{
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(generator_() >> 56);
}

// One session, from Open Session on.
struct LanBmc::Session {
    enum class State { Opened, Rakp2Sent, Active };

    unsigned handle = 0;      // 1, 2, ...: the trace's and Get Session Info's name for it
    uint32_t bmc_id = 0;      // ours, in every packet the console sends
    uint32_t console_id = 0;  // the console's, in every packet we send
    CipherSuite suite{};
    uint8_t max_privilege = kPrivilegeAdministrator;  // agreed at Open Session
    State state = State::Opened;
    std::array<uint8_t, 16> rm{};  // the console's random number
    std::array<uint8_t, 16> rc{};  // ours
    uint8_t role = 0;              // RAKP 1's role byte, whole
    std::string user_name;
    size_t user = 0;  // index into the configuration's users
    Bytes sik, k1, k2;
    uint8_t privilege = kPrivilegeUser;
    uint8_t privilege_limit = kPrivilegeUser;
    uint32_t out_sequence = 0;
    uint32_t highest_in = 0;  // 0: nothing taken yet
    uint32_t taken = 0;       // bit n: highest_in - n was taken
    uint64_t last_us = 0;
    Peer peer;
    bool closing = false;  // closed by its own Close Session: goes after the answer

    std::optional<Hash> auth() const { return auth_hash(suite.authentication); }
    bool integrity() const { return suite.integrity != kIntegrityNone; }
    bool confidentiality() const { return suite.confidentiality != kConfidentialityNone; }
};

// A datagram taken apart, before anything in the BMC changes.
struct LanBmc::Inbound {
    enum class Format { Asf, V15, V20 };
    Format format = Format::V20;
    MessageKind kind = MessageKind::Unknown;
    PayloadType type = PayloadType::Ipmi;
    Session* session = nullptr;  // an IPMI packet inside a session, its integrity checked
    uint32_t sequence = 0;
    Bytes payload;  // decrypted
    std::optional<LanMessage> message;
    Bytes core_request;  // an IPMI request in the core's layout
    uint8_t asf_tag = 0;
    const char* drop = nullptr;  // why the BMC drops it (after the network had its say)
};

// What the BMC answers, before it is wrapped.
struct LanBmc::Reply {
    Inbound::Format format = Inbound::Format::V20;
    PayloadType type = PayloadType::Ipmi;
    Bytes payload;
    Session* session = nullptr;  // wrapped with its keys
    uint64_t delay_us = 0;
    MessageKind kind = MessageKind::Unknown;
    Bytes core_request;
};

LanBmc::LanBmc(BmcCore& core, LanConfig config, Context context, std::unique_ptr<RandomSource> random)
    : core_(core), config_(std::move(config)), context_(context), random_(std::move(random))
{
    for (const LanFaultRule& rule : config_.faults)
        faults_.add(rule);
    event_done_.assign(config_.events.size(), false);
}

LanBmc::~LanBmc() = default;

size_t LanBmc::sessions() const { return sessions_.size(); }

size_t LanBmc::active_sessions() const
{
    return static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) {
        return s->state == Session::State::Active;
    }));
}

LanBmc::Session* LanBmc::find(uint32_t bmc_id)
{
    for (auto& s : sessions_)
        if (s->bmc_id == bmc_id)
            return s.get();
    return nullptr;
}

void LanBmc::remove(uint32_t bmc_id)
{
    std::erase_if(sessions_, [bmc_id](const auto& s) { return s->bmc_id == bmc_id; });
}

uint32_t LanBmc::new_session_id()
{
    for (;;) {
        uint8_t bytes[4];
        random_->fill(bytes);
        uint32_t id = get_le32(bytes, 0);
        if (id != 0 && !find(id))
            return id;
    }
}

void LanBmc::end_all(const char* why, uint64_t)
{
    size_t n = sessions_.size();
    sessions_.clear();
    held_answer_.reset();
    context_.trace.line("%s lan %s: %zu session%s gone", core_.name().c_str(), why, n, n == 1 ? "" : "s");
}

void LanBmc::advance(uint64_t now_us)
{
    for (size_t i = 0; i < config_.events.size(); ++i) {
        const LanEvent& e = config_.events[i];
        if (event_done_[i] || !e.at_us || *e.at_us > now_us)
            continue;
        event_done_[i] = true;
        if (e.what == LanEvent::What::Restart) {
            end_all("restart", now_us);
            down_until_us_ = *e.at_us + e.down_us;
        } else {
            end_all("sessions dropped", now_us);
        }
    }
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const Session& s = **it;
        if (now_us - s.last_us < config_.session_timeout_us || now_us < s.last_us) {
            ++it;
            continue;
        }
        context_.trace.line("%s lan session %u timed out: %llu s without a packet", core_.name().c_str(), s.handle,
                            static_cast<unsigned long long>(config_.session_timeout_us / 1000000));
        it = sessions_.erase(it);
    }
}

std::optional<uint64_t> LanBmc::next_deadline() const
{
    std::optional<uint64_t> next;
    auto consider = [&next](uint64_t at) {
        if (!next || at < *next)
            next = at;
    };
    for (size_t i = 0; i < config_.events.size(); ++i)
        if (!event_done_[i] && config_.events[i].at_us)
            consider(*config_.events[i].at_us);
    for (const auto& s : sessions_)
        consider(s->last_us + config_.session_timeout_us);
    return next;
}

std::vector<LanBmc::Datagram> LanBmc::receive(std::span<const uint8_t> datagram, const Peer& peer, uint64_t now_us)
{
    advance(now_us);
    std::vector<Datagram> out;
    process(datagram, peer, now_us, out);
    return out;
}

void LanBmc::trace_fault(Direction d, MessageKind kind, size_t rule, uint64_t injection, const LanFaultAction& a)
{
    context_.trace.line("%s lan fault %zu #%llu on %s %s: %s", core_.name().c_str(), rule,
                        static_cast<unsigned long long>(injection), d == Direction::Request ? "request" : "answer to",
                        message_kind_name(kind), a.describe().c_str());
}

void LanBmc::process(std::span<const uint8_t> datagram, const Peer& peer, uint64_t now_us, std::vector<Datagram>& out)
{
    const std::string& name = core_.name();
    Inbound in = decode(datagram);

    size_t rule = 0;
    uint64_t injection = 0;
    std::optional<LanFaultAction> fault;
    if (!bypass_request_faults_)
        fault = faults_.decide(Direction::Request, in.kind, in.core_request, &rule, &injection);
    if (fault) {
        trace_fault(Direction::Request, in.kind, rule, injection, *fault);
        if (fault->drop)
            return;
        if (fault->reorder) {
            // The network delivers it after the next one (one held already goes now).
            std::optional<std::pair<Bytes, Peer>> earlier = std::move(held_request_);
            held_request_.emplace(Bytes(datagram.begin(), datagram.end()), peer);
            if (earlier)
                process_held(*earlier, now_us, out);
            return;
        }
    }
    uint64_t request_delay = fault ? fault->delay_us : 0;
    int copies = fault && fault->duplicate ? 2 : 1;

    for (int copy = 0; copy < copies; ++copy) {
        if (copy > 0)
            in = decode(datagram);  // the second copy meets the BMC as it is after the first
        if (now_us < down_until_us_) {
            context_.trace.line("%s lan datagram ignored: restarting", name.c_str());
            continue;
        }
        if (!config_.enabled && in.format != Inbound::Format::Asf) {
            context_.trace.line("%s lan datagram ignored: IPMI over LAN disabled", name.c_str());
            continue;
        }
        if (in.drop) {
            ++dropped_;
            context_.trace.line("%s lan datagram dropped: %s", name.c_str(), in.drop);
            continue;
        }
        if (in.session) {
            if (!accept_sequence(*in.session, in.sequence)) {
                ++dropped_;
                context_.trace.line("%s lan datagram dropped: session %u sequence number %u outside the window",
                                    name.c_str(), in.session->handle, in.sequence);
                continue;
            }
            in.session->last_us = now_us;
        }
        std::optional<Reply> reply = handle(in, peer, now_us);
        if (!reply)
            continue;
        reply->delay_us += config_.answer_us + request_delay;
        reply->kind = in.kind;
        reply->core_request = in.core_request;
        size_t arule = 0;
        uint64_t ainjection = 0;
        std::optional<LanFaultAction> afault =
            faults_.decide(Direction::Answer, in.kind, in.core_request, &arule, &ainjection);
        if (afault)
            trace_fault(Direction::Answer, in.kind, arule, ainjection, *afault);
        Reply& r = *reply;
        if (afault && afault->status && r.payload.size() > 1)
            r.payload[1] = *afault->status;
        uint64_t at = now_us + r.delay_us + (afault ? afault->delay_us : 0);
        if (afault && afault->forge != Forgery::None) {
            if (r.session)
                out.push_back({encode(r, afault->forge), at});
            else
                context_.trace.line("%s lan no forged copy: the answer is not inside a session", name.c_str());
        }
        if (!(afault && afault->drop)) {
            std::vector<Datagram> copies{{encode(r), at}};
            if (afault && afault->duplicate)
                copies.push_back(copies.back());
            std::vector<Datagram> release;
            if (held_answer_)
                release.push_back(std::move(*held_answer_));
            held_answer_.reset();
            if (afault && afault->reorder) {
                held_answer_ = copies.back();
                copies.pop_back();
            }
            out.insert(out.end(), copies.begin(), copies.end());
            for (Datagram& d : release) {
                d.at_us = std::max(d.at_us, at);
                out.push_back(std::move(d));
            }
        }
        // A session that closed itself is gone once its answer is wrapped.
        std::erase_if(sessions_, [](const auto& session) { return session->closing; });
    }

    if (held_request_) {
        std::pair<Bytes, Peer> held = std::move(*held_request_);
        held_request_.reset();
        process_held(held, now_us, out);
    }
}

void LanBmc::process_held(const std::pair<Bytes, Peer>& held, uint64_t now_us, std::vector<Datagram>& out)
{
    // Its fault was decided when it came: it now reaches the BMC plainly.
    std::optional<std::pair<Bytes, Peer>> keep = std::move(held_request_);
    held_request_.reset();
    bypass_request_faults_ = true;
    process(held.first, held.second, now_us, out);
    bypass_request_faults_ = false;
    if (keep)
        held_request_ = std::move(keep);
}

bool LanBmc::accept_sequence(Session& s, uint32_t seq)
{
    if (seq == 0)
        return false;
    if (s.highest_in == 0) {
        s.highest_in = seq;
        s.taken = 1;
        return true;
    }
    uint32_t ahead = seq - s.highest_in;  // modulo 2^32, as the numbers wrap
    uint32_t behind = s.highest_in - seq;
    if (ahead != 0 && ahead <= kSequenceWindow) {
        s.taken = ahead >= 32 ? 0 : s.taken << ahead;
        s.taken |= 1;
        s.highest_in = seq;
        return true;
    }
    if (behind < kSequenceWindow) {
        uint32_t bit = 1u << behind;
        if (s.taken & bit)
            return false;  // a repeat
        s.taken |= bit;
        return true;
    }
    return false;
}

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

std::optional<LanBmc::Reply> LanBmc::handle(Inbound& in, const Peer& peer, uint64_t now_us)
{
    switch (in.kind) {
    case MessageKind::Ping: {
        context_.trace.line("%s lan presence ping", core_.name().c_str());
        Reply r;
        r.format = Inbound::Format::Asf;
        r.payload = {kAsfIana[0], kAsfIana[1], kAsfIana[2], kAsfIana[3], kAsfPong, in.asf_tag, 0x00, 0x10};
        r.payload.insert(r.payload.end(), std::begin(kAsfIana), std::end(kAsfIana));
        r.payload.insert(r.payload.end(), {0, 0, 0, 0});
        r.payload.push_back(static_cast<uint8_t>((config_.enabled ? kAsfIpmiSupported : 0) | kAsfVersion1));
        r.payload.insert(r.payload.end(), 7, 0x00);
        return r;
    }
    case MessageKind::OpenSession:
        return open_session(in, peer, now_us);
    case MessageKind::Rakp1:
        return rakp1(in);
    case MessageKind::Rakp3:
        return rakp3(in);
    default:
        return ipmi_request(in, now_us);
    }
}

LanBmc::Reply LanBmc::open_session(const Inbound& in, const Peer& peer, uint64_t now_us)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    Reply r;
    r.type = PayloadType::OpenSessionResponse;
    uint8_t tag = p.empty() ? 0 : p[0];
    uint32_t console_id = p.size() >= 8 ? get_le32(p, 4) : 0;
    auto refuse = [&](uint8_t status) {
        r.payload = {tag, status, 0, 0};
        put_le32(r.payload, console_id);
        context_.trace.line("%s lan open session refused: status %02X (%s)", name.c_str(), status,
                            status_name(status));
        return r;
    };
    // Three algorithm payloads: type, two reserved, length 8, algorithm, three reserved.
    if (p.size() < 32 || p[8] != 0 || p[11] != 8 || p[16] != 1 || p[19] != 8 || p[24] != 2 || p[27] != 8)
        return refuse(kStatusIllegalParameter);
    uint8_t auth = p[12] & 0x3F, integrity = p[20] & 0x3F, confidentiality = p[28] & 0x3F;
    const CipherSuite* chosen = nullptr;
    bool auth_known = false, integrity_known = false, confidentiality_known = false;
    for (uint8_t id : config_.cipher_suites) {
        const CipherSuite* s = standard_suite(id);
        auth_known |= s->authentication == auth;
        integrity_known |= s->integrity == integrity;
        confidentiality_known |= s->confidentiality == confidentiality;
        if (!chosen && s->authentication == auth && s->integrity == integrity && s->confidentiality == confidentiality)
            chosen = s;
    }
    if (!chosen) {
        if (!auth_known)
            return refuse(kStatusInvalidAuthentication);
        if (!integrity_known)
            return refuse(kStatusInvalidIntegrity);
        if (!confidentiality_known)
            return refuse(kStatusInvalidConfidentiality);
        return refuse(kStatusNoCipherSuiteMatch);
    }
    uint8_t requested = p[1] & 0x0F;
    if (requested > kPrivilegeAdministrator)
        return refuse(kStatusInvalidRole);
    if (sessions_.size() >= config_.max_sessions)
        return refuse(kStatusNoResources);

    auto s = std::make_unique<Session>();
    s->handle = next_handle_++;
    s->bmc_id = new_session_id();
    s->console_id = console_id;
    s->suite = *chosen;
    s->max_privilege = requested == 0 ? kPrivilegeAdministrator : requested;
    s->last_us = now_us;
    s->peer = peer;
    context_.trace.line("%s lan open session %u: cipher suite %u, privilege up to %s", name.c_str(), s->handle,
                        chosen->id, privilege_name(s->max_privilege).c_str());

    r.payload = {tag, kStatusOk, s->max_privilege, 0};
    put_le32(r.payload, s->console_id);
    put_le32(r.payload, s->bmc_id);
    r.payload.insert(r.payload.end(), {0x00, 0, 0, 8, chosen->authentication, 0, 0, 0});
    r.payload.insert(r.payload.end(), {0x01, 0, 0, 8, chosen->integrity, 0, 0, 0});
    r.payload.insert(r.payload.end(), {0x02, 0, 0, 8, chosen->confidentiality, 0, 0, 0});
    sessions_.push_back(std::move(s));
    return r;
}

std::optional<LanBmc::Reply> LanBmc::rakp1(const Inbound& in)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    if (p.size() < 28) {
        context_.trace.line("%s lan datagram dropped: a RAKP message 1 too short", name.c_str());
        ++dropped_;
        return std::nullopt;
    }
    Reply r;
    r.type = PayloadType::Rakp2;
    Session* s = find(get_le32(p, 4));
    if (s && s->state == Session::State::Active)
        s = nullptr;
    auto refuse = [&](uint8_t status, const std::string& user) {
        r.payload = {p[0], status, 0, 0};
        put_le32(r.payload, s ? s->console_id : 0);
        if (s) {
            context_.trace.line("%s lan session %u refused at rakp 2: status %02X (%s), user %s", name.c_str(),
                                s->handle, status, status_name(status), in_quotes(user).c_str());
            remove(s->bmc_id);
        } else {
            context_.trace.line("%s lan rakp 2 refused: status %02X (%s)", name.c_str(), status, status_name(status));
        }
        return r;
    };
    if (!s)
        return refuse(kStatusInvalidSessionId, "");
    size_t name_length = p[27];
    if (name_length > 16 || p.size() < 28 + name_length)
        return refuse(kStatusInvalidNameLength, "");
    std::string user_name(p.begin() + 28, p.begin() + 28 + static_cast<long>(name_length));
    uint8_t role = p[24];
    uint8_t requested = role & 0x0F;
    if ((role & 0xE0) != 0 || requested < kPrivilegeCallback || requested > kPrivilegeAdministrator)
        return refuse(kStatusInvalidRole, user_name);
    auto user = std::find_if(config_.users.begin(), config_.users.end(),
                             [&](const LanUser& u) { return u.name == user_name; });
    if (user == config_.users.end())
        return refuse(kStatusUnauthorizedName, user_name);
    if (requested > user->max_privilege || requested > s->max_privilege)
        return refuse(kStatusUnauthorizedRole, user_name);

    std::copy(p.begin() + 8, p.begin() + 24, s->rm.begin());
    random_->fill(s->rc);
    s->role = role;
    s->user_name = user_name;
    s->user = static_cast<size_t>(user - config_.users.begin());
    s->state = Session::State::Rakp2Sent;
    context_.trace.line("%s lan session %u rakp 2 for user %s, role %s", name.c_str(), s->handle,
                        in_quotes(user_name).c_str(), privilege_name(requested).c_str());

    r.payload = {p[0], kStatusOk, 0, 0};
    put_le32(r.payload, s->console_id);
    r.payload.insert(r.payload.end(), s->rc.begin(), s->rc.end());
    r.payload.insert(r.payload.end(), config_.guid.begin(), config_.guid.end());
    if (auto hash = s->auth()) {
        Bytes ids;
        put_le32(ids, s->console_id);
        put_le32(ids, s->bmc_id);
        uint8_t tail[2] = {s->role, static_cast<uint8_t>(user_name.size())};
        Bytes code = hmac(*hash, user->password, {ids, s->rm, s->rc, config_.guid, tail, as_bytes(user_name)});
        r.payload.insert(r.payload.end(), code.begin(), code.end());
    }
    return r;
}

std::optional<LanBmc::Reply> LanBmc::rakp3(const Inbound& in)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    if (p.size() < 8) {
        context_.trace.line("%s lan datagram dropped: a RAKP message 3 too short", name.c_str());
        ++dropped_;
        return std::nullopt;
    }
    Reply r;
    r.type = PayloadType::Rakp4;
    Session* s = find(get_le32(p, 4));
    // Sent again after its answer was lost: answered once more inside the
    // session, or refused below as of no session in set-up.
    const bool again = s && s->state == Session::State::Active && config_.rakp4_in_session && p[1] == kStatusOk;
    if (s && s->state != Session::State::Rakp2Sent && !again)
        s = nullptr;
    auto refuse = [&](uint8_t status) {
        r.payload = {p[0], status, 0, 0};
        put_le32(r.payload, s ? s->console_id : 0);
        if (s) {
            context_.trace.line("%s lan session %u refused at rakp 4: status %02X (%s)", name.c_str(), s->handle,
                                status, status_name(status));
            remove(s->bmc_id);
        } else {
            context_.trace.line("%s lan rakp 4 refused: status %02X (%s)", name.c_str(), status, status_name(status));
        }
        return r;
    };
    if (!s)
        return refuse(kStatusInvalidSessionId);
    if (p[1] != kStatusOk) {
        // The console found our RAKP 2 wanting: the session ends, unanswered.
        context_.trace.line("%s lan session %u given up by the console at rakp 3: status %02X (%s)", name.c_str(),
                            s->handle, p[1], status_name(p[1]));
        remove(s->bmc_id);
        return std::nullopt;
    }
    const LanUser& user = config_.users[s->user];
    uint8_t tail[2] = {s->role, static_cast<uint8_t>(s->user_name.size())};
    std::span<const uint8_t> user_name = as_bytes(s->user_name);
    if (auto hash = s->auth()) {
        Bytes console_id;
        put_le32(console_id, s->console_id);
        Bytes expected = hmac(*hash, user.password, {s->rc, console_id, tail, user_name});
        if (!equal_secret(expected, std::span<const uint8_t>(p).subspan(8)))
            return refuse(kStatusInvalidIntegrityCheck);
        const std::vector<uint8_t>& kg = config_.kg.empty() ? user.password : config_.kg;
        s->sik = hmac(*hash, kg, {s->rm, s->rc, tail, user_name});
        const Bytes one(kKeyConstantLength, 0x01), two(kKeyConstantLength, 0x02);
        s->k1 = hmac(*hash, s->sik, {one});
        s->k2 = hmac(*hash, s->sik, {two});
    }
    if (again) {
        r.session = s;
        context_.trace.line("%s lan session %u: rakp 3 again, rakp 4 in the session", name.c_str(), s->handle);
    } else {
        s->state = Session::State::Active;
        s->privilege_limit = static_cast<uint8_t>(s->role & 0x0F);
        s->privilege = std::min(kPrivilegeUser, s->privilege_limit);
        context_.trace.line("%s lan session %u active at privilege %s", name.c_str(), s->handle,
                            privilege_name(s->privilege).c_str());
    }

    r.payload = {p[0], kStatusOk, 0, 0};
    put_le32(r.payload, s->console_id);
    if (auto hash = s->auth()) {
        Bytes bmc_id;
        put_le32(bmc_id, s->bmc_id);
        Bytes icv = hmac(*hash, s->sik, {s->rm, bmc_id, config_.guid});
        // HMAC-SHA1-96 or HMAC-SHA256-128, as the suite's integrity is.
        icv.resize(*hash == Hash::Sha1 ? 12 : 16);
        r.payload.insert(r.payload.end(), icv.begin(), icv.end());
    }
    return r;
}

std::string LanBmc::traced_request(const LanMessage& m)
{
    // A session ID is one of the BMC's random numbers: the trace names the
    // session by its handle instead.
    size_t id_at = 0;
    if (m.netfn == kNetFnApp && m.cmd == kCmdCloseSession && m.data.size() >= 4)
        id_at = 0;
    else if (m.netfn == kNetFnApp && m.cmd == kCmdGetSessionInfo && m.data.size() >= 5 && m.data[0] == 0xFF)
        id_at = 1;
    else
        return Trace::hex(m.core_request());
    Bytes request = m.core_request();
    uint32_t id = get_le32(m.data, id_at);
    Session* s = id ? find(id) : nullptr;
    char name[32];
    if (id == 0)
        std::snprintf(name, sizeof name, "00 00 00 00");
    else if (s)
        std::snprintf(name, sizeof name, "[session %u]", s->handle);
    else
        std::snprintf(name, sizeof name, "[no session]");
    std::span<const uint8_t> all(request);
    std::string before = Trace::hex(all.first(2 + id_at));
    std::string after = Trace::hex(all.subspan(2 + id_at + 4));
    char text[512];
    std::snprintf(text, sizeof text, "%s %s%s%s", before.c_str(), name, after.empty() ? "" : " ", after.c_str());
    return text;
}

uint8_t LanBmc::required_privilege(const LanMessage& m) const
{
    if (m.netfn != kNetFnApp)
        return kPrivilegeUser;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
    case kCmdGetCipherSuites:
    case kCmdSetSessionPrivilege:
    case kCmdCloseSession:
        return kPrivilegeCallback;
    case kCmdMasterWriteRead:
        return config_.master_write_read_privilege;
    case kCmdSetGlobalEnables:
        return kPrivilegeAdministrator;
    default:
        return kPrivilegeUser;
    }
}

std::optional<LanBmc::Reply> LanBmc::ipmi_request(Inbound& in, uint64_t now_us)
{
    const std::string& name = core_.name();
    LanMessage& m = *in.message;
    Session* s = in.session;
    Reply r;
    r.format = in.format;
    r.session = s;
    if (s) {
        ++session_requests_;
        for (size_t i = 0; i < config_.events.size(); ++i) {
            const LanEvent& e = config_.events[i];
            if (event_done_[i] || !e.before_request || *e.before_request != session_requests_)
                continue;
            event_done_[i] = true;
            if (e.what == LanEvent::What::Restart) {
                end_all("restart", now_us);
                down_until_us_ = now_us + e.down_us;
            } else {
                end_all("sessions dropped", now_us);
            }
            // The request meets a BMC that no longer knows its session.
            ++dropped_;
            context_.trace.line("%s lan datagram dropped: a session ID of no active session", name.c_str());
            return std::nullopt;
        }
    }
    context_.trace.line("%s lan request: %s", name.c_str(), traced_request(m).c_str());

    Bytes answer;  // the core's layout: NetFn/LUN, command, completion code, data
    answer.push_back(static_cast<uint8_t>((m.netfn + 1) << 2 | m.rs_lun));
    answer.push_back(m.cmd);
    if (std::optional<Bytes> own = own_command(m, s)) {
        answer.insert(answer.end(), own->begin(), own->end());
    } else if (s && s->privilege < required_privilege(m)) {
        answer.push_back(kCcInsufficientPrivilege);
    } else {
        BmcCore::Outcome out = core_.exchange(Road::Lan, in.core_request);
        if (out.response.empty())
            return std::nullopt;  // the BMC never answers
        answer = std::move(out.response);
        r.delay_us = out.delay_us;
    }
    context_.trace.line("%s lan response: %s", name.c_str(), Trace::hex(answer).c_str());
    r.payload = build_lan_response(m, answer);
    return r;
}

std::optional<Bytes> LanBmc::own_command(const LanMessage& m, Session* s)
{
    if (m.netfn != kNetFnApp)
        return std::nullopt;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
        return auth_capabilities(m.data);
    case kCmdGetCipherSuites:
        return cipher_suites(m.data);
    case kCmdSetSessionPrivilege:
        return s ? std::optional<Bytes>(set_privilege(m.data, *s)) : std::nullopt;
    case kCmdCloseSession:
        return s ? std::optional<Bytes>(close_session(m.data, *s)) : std::nullopt;
    case kCmdGetSessionInfo:
        if (!s)
            return std::nullopt;
        if (s->privilege < kPrivilegeUser)
            return with_cc(kCcInsufficientPrivilege);
        return session_info(m.data, *s);
    default:
        return std::nullopt;
    }
}

Bytes LanBmc::auth_capabilities(std::span<const uint8_t> data) const
{
    if (data.size() < 2)
        return with_cc(kCcRequestLength);
    uint8_t channel = data[0] & 0x0F;
    bool v2 = data[0] & 0x80;
    uint8_t privilege = data[1] & 0x0F;
    if ((channel != kCurrentChannel && channel != kLanChannel) || privilege < kPrivilegeCallback ||
        privilege > 5)
        return with_cc(kCcInvalidField);
    bool named = false, null_name = false, anonymous = false;
    for (const LanUser& u : config_.users) {
        named |= !u.name.empty();
        null_name |= u.name.empty() && !u.password.empty();
        anonymous |= u.name.empty() && u.password.empty();
    }
    uint8_t login = static_cast<uint8_t>((config_.kg.empty() ? 0 : 0x20) | (named ? 0x04 : 0) |
                                         (null_name ? 0x02 : 0) | (anonymous ? 0x01 : 0));
    // No IPMI v1.5 session types: bit 7 says the v2.0 capabilities are there.
    return with_cc(kCcOk, {kLanChannel, 0x80, login, static_cast<uint8_t>(v2 ? 0x02 : 0x00), 0, 0, 0, 0});
}

Bytes LanBmc::cipher_suites(std::span<const uint8_t> data) const
{
    if (data.size() < 3)
        return with_cc(kCcRequestLength);
    uint8_t channel = data[0] & 0x0F;
    if (channel != kCurrentChannel && channel != kLanChannel)
        return with_cc(kCcInvalidField);
    bool by_suite = data[2] & 0x80;
    size_t index = data[2] & 0x3F;
    Bytes records;
    if (data[1] == 0x00) {  // the IPMI payload; any other has no suites here
        if (by_suite) {
            for (uint8_t id : config_.cipher_suites) {
                const CipherSuite* s = standard_suite(id);
                records.insert(records.end(),
                               {0xC0, s->id, s->authentication, static_cast<uint8_t>(0x40 | s->integrity),
                                static_cast<uint8_t>(0x80 | s->confidentiality)});
            }
        } else {
            for (uint8_t id : config_.cipher_suites) {
                const CipherSuite* s = standard_suite(id);
                for (uint8_t tagged : {s->authentication, static_cast<uint8_t>(0x40 | s->integrity),
                                       static_cast<uint8_t>(0x80 | s->confidentiality)})
                    if (std::find(records.begin(), records.end(), tagged) == records.end())
                        records.push_back(tagged);
            }
        }
    }
    Bytes r{kCcOk, kLanChannel};
    size_t from = std::min(records.size(), index * 16);
    size_t to = std::min(records.size(), from + 16);
    r.insert(r.end(), records.begin() + static_cast<long>(from), records.begin() + static_cast<long>(to));
    return r;
}

Bytes LanBmc::set_privilege(std::span<const uint8_t> data, Session& s)
{
    if (data.empty())
        return with_cc(kCcRequestLength);
    uint8_t level = data[0] & 0x0F;
    if (level == 0)
        return with_cc(kCcOk, {s.privilege});
    if (level > kPrivilegeAdministrator)
        return with_cc(kCcLevelUnavailable);
    if (level > s.privilege_limit)
        return with_cc(kCcLevelAboveLimit);
    s.privilege = level;
    context_.trace.line("%s lan session %u privilege %s", core_.name().c_str(), s.handle,
                        privilege_name(level).c_str());
    return with_cc(kCcOk, {level});
}

Bytes LanBmc::close_session(std::span<const uint8_t> data, Session& s)
{
    if (data.size() < 4)
        return with_cc(kCcRequestLength);
    uint32_t id = get_le32(data, 0);
    Session* target = nullptr;
    if (id == 0) {
        if (data.size() < 5)
            return with_cc(kCcRequestLength);
        for (auto& other : sessions_)
            if (other->state == Session::State::Active && other->handle == data[4])
                target = other.get();
        if (!target)
            return with_cc(kCcInvalidSessionHandle);
    } else {
        target = find(id);
        if (!target || target->state != Session::State::Active)
            return with_cc(kCcInvalidSessionId);
    }
    if (target != &s && s.privilege < kPrivilegeAdministrator)
        return with_cc(kCcInsufficientPrivilege);
    context_.trace.line("%s lan session %u closed", core_.name().c_str(), target->handle);
    if (target != &s)
        remove(target->bmc_id);
    else
        s.closing = true;
    return with_cc(kCcOk);
}

Bytes LanBmc::session_info(std::span<const uint8_t> data, Session& s) const
{
    if (data.empty())
        return with_cc(kCcRequestLength);
    const Session* which = nullptr;
    std::vector<const Session*> active;
    for (const auto& other : sessions_)
        if (other->state == Session::State::Active)
            active.push_back(other.get());
    uint8_t slots = static_cast<uint8_t>(config_.max_sessions);
    uint8_t count = static_cast<uint8_t>(active.size());
    if (data[0] == 0x00) {
        which = &s;
    } else if (data[0] == 0xFF) {
        if (data.size() < 5)
            return with_cc(kCcRequestLength);
        uint32_t id = get_le32(data, 1);
        for (const Session* a : active)
            if (a->bmc_id == id)
                which = a;
        if (!which)
            return with_cc(kCcInvalidField);
    } else if (data[0] == 0xFE) {
        if (data.size() < 2)
            return with_cc(kCcRequestLength);
        for (const Session* a : active)
            if (a->handle == data[1])
                which = a;
        if (!which)
            return with_cc(kCcInvalidField);
    } else {
        if (data[0] > slots)
            return with_cc(kCcInvalidField);
        if (data[0] > active.size())
            return with_cc(kCcOk, {0, slots, count});  // an empty slot
        which = active[data[0] - 1];
    }
    const LanUser& user = config_.users[which->user];
    Bytes r = with_cc(kCcOk, {static_cast<uint8_t>(which->handle), slots, count, user.id, which->privilege,
                              static_cast<uint8_t>(0x10 | kLanChannel)});
    if (which->peer.address.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &which->peer.address, sizeof v4);
        const uint8_t* ip = reinterpret_cast<const uint8_t*>(&v4.sin_addr);
        r.insert(r.end(), ip, ip + 4);
        r.insert(r.end(), 6, 0x00);  // the console's MAC address: not known to a UDP socket
        uint16_t port = ntohs(v4.sin_port);
        put_le16(r, port);
    }
    return r;
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
