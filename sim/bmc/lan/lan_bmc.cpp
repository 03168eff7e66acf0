// SPDX-License-Identifier: MIT
#include "lan_bmc_inside.h"

#include <algorithm>
#include <cstdio>

namespace sim::lan {

using namespace inside;

void SeededRandom::fill(std::span<uint8_t> out)
{
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(generator_() >> 56);
}

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

}  // namespace sim::lan
