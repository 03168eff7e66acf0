// SPDX-License-Identifier: MIT
#include "fault_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

#include "../bmc/bmc.h"
#include "../basics/errno_names.h"
#include "../basics/trace.h"

namespace sim::capture {

namespace {

constexpr uint64_t kLateUs = 1000;         // an answer this much later than the model's is late
constexpr size_t kKcsLongest = 35;         // the tool reads no more of an answer at the KCS ports
constexpr size_t kFirstFew = 5;            // unexplained requests described
constexpr size_t kGeneralRuleSpan = 8;     // alike answers that make a rule for all requests of a command

std::string hex_text(const std::vector<uint8_t>& bytes) { return Trace::hex(bytes); }

std::string ms_text(uint64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(us) / 1000.0);
    return text;
}

// An answer the tool had only part of: cut at the tool's 35 bytes at the
// KCS ports, or by the driver at its 60 data bytes (EMSGSIZE). The model's
// answer then only has to begin with it and be longer.
bool cut_short(const Seen& s)
{
    return (s.road == Road::Kcs && s.resp.size() >= kKcsLongest) || (s.recv_err == EMSGSIZE && !s.resp.empty());
}

// The receive failed and handed nothing over (with EMSGSIZE the driver
// hands over an answer cut short, unless the receive failed as such).
bool receive_failed(const Seen& s) { return s.recv_err && !cut_short(s); }

bool same_bytes(const Seen& s, const std::vector<uint8_t>& model)
{
    if (!cut_short(s))
        return model == s.resp;
    size_t longer = s.recv_err == EMSGSIZE ? 1 : 0;
    return model.size() >= s.resp.size() + longer && std::equal(s.resp.begin(), s.resp.end(), model.begin());
}

// The answer's time as the capture shows it: through the driver from the
// send to the receive; at the ports by the first status read that saw it
// (it came after the one before).
uint64_t seen_answer_us(const Seen& s, uint64_t read_ns)
{
    return s.road == Road::Kcs ? (s.kcs->busy_reads + 1) * read_ns / 1000 : s.rt - s.t;
}

bool answered_in_time(const Seen& s)
{
    return s.road == Road::Kcs ? s.kcs->answered : s.rt >= s.t && !s.resp.empty() && !s.answered_later;
}

enum class Match { Same, Late, Differs };

// How the model's outcome of a request compares with the capture's.
Match compare(const Seen& s, const BmcCore::Outcome& out, uint64_t read_ns)
{
    const FaultAction* f = out.fault ? &*out.fault : nullptr;
    KcsFault model_kcs = f ? f->kcs : KcsFault::None;
    if (s.road == Road::Kcs) {
        const KcsPortsSeen& k = *s.kcs;
        if (k.lost)
            return out.response.empty() && model_kcs == KcsFault::None ? Match::Same : Match::Differs;
        if (k.fault != KcsFault::None) {
            bool stuck = k.fault == KcsFault::IbfStuck || k.fault == KcsFault::IbfStuckInRead;
            return model_kcs == k.fault && (!stuck || (f->for_us == 0) == (k.stuck_us == 0)) ? Match::Same
                                                                                              : Match::Differs;
        }
        if (model_kcs != KcsFault::None || out.response.empty() || !same_bytes(s, out.response))
            return Match::Differs;
    } else {
        if (s.send_err)
            return f && f->send_errno == s.send_err ? Match::Same : Match::Differs;
        if (s.lost)
            return out.response.empty() ? Match::Same : Match::Differs;
        if (s.select_err && !(f && f->select_errno == s.select_err))
            return Match::Differs;
        if (s.stale)
            return Match::Same;  // the select rules before it queued its answer; its own is queued now
        if (s.wrong_id)
            return f && f->wrong_id && same_bytes(s, out.response) ? Match::Same : Match::Differs;
        if (receive_failed(s))
            return f && f->receive_errno == s.recv_err ? Match::Same : Match::Differs;
        if (s.resp.empty())
            return s.select_err ? Match::Same : Match::Differs;
        if (out.response.empty() || !same_bytes(s, out.response))
            return Match::Differs;
        if (s.answered_later)
            return Match::Same;
    }
    // The model may answer later than the capture (its time is the usual
    // one), not a millisecond or more earlier; at the ports, where the
    // capture knows the time only to a status read, by about a millisecond.
    uint64_t seen = seen_answer_us(s, read_ns);
    if (s.road == Road::Kcs) {
        uint64_t read_us = read_ns / 1000;
        bool late = seen >= out.delay_us + kLateUs - std::min(read_us, kLateUs) && seen - read_us >= out.delay_us;
        return late ? Match::Late : Match::Same;
    }
    return seen >= out.delay_us + kLateUs ? Match::Late : Match::Same;
}

// The capture's outcome of a request, in words.
std::string describe_seen(const Seen& s, uint64_t read_ns)
{
    if (s.send_err)
        return std::string("the send failed with ") + errno_name(s.send_err);
    if (s.lost || (s.kcs && s.kcs->lost))
        return "no answer";
    std::string text;
    if (s.select_err)
        text = std::string("the select failed with ") + errno_name(s.select_err) + ", ";
    if (s.stale)
        return text + "the answer to an earlier request";
    if (s.wrong_id)
        return text + "an answer with another message id";
    if (receive_failed(s))
        return text + "the receive failed with " + errno_name(s.recv_err);
    if (s.kcs && s.kcs->fault != KcsFault::None)
        return std::string("the KCS interface: ") + kcs_fault_name(s.kcs->fault) +
               (s.kcs->stuck_us ? " for " + ms_text(s.kcs->stuck_us) : "");
    if (s.kcs && s.kcs->unknown)
        return "KCS port accesses the model does not know";
    if (s.resp.empty())
        return text + "no answer";
    text += hex_text(s.resp) + (cut_short(s) ? " ..." : "");
    if (answered_in_time(s))
        text += " after " + ms_text(seen_answer_us(s, read_ns));
    return text;
}

std::string describe_outcome(const BmcCore::Outcome& out)
{
    std::string text = out.response.empty() ? "no answer" : hex_text(out.response) + " after " + ms_text(out.delay_us);
    if (out.fault && (out.fault->kcs != KcsFault::None || out.fault->send_errno || out.fault->select_errno ||
                      out.fault->receive_errno || out.fault->wrong_id))
        text += " (" + out.fault->describe() + ")";
    return text;
}

// How many requests of `bmc`, up to `index`, a rule for its request there matches.
uint64_t nth_of(const SeenBmc& bmc, size_t index, size_t prefix)
{
    const Seen& s = bmc.seen[index];
    uint64_t nth = 0;
    for (size_t i = 0; i <= index; ++i) {
        const Seen& o = bmc.seen[i];
        if (o.road == s.road && o.req.size() >= prefix && std::equal(s.req.begin(), s.req.begin() + prefix, o.req.begin()))
            ++nth;
    }
    return nth;
}

// The rule for the request at `index`, or null when no rule can give back what the capture has.
nlohmann::json rule_for(const SeenBmc& bmc, size_t index, const BmcCore::Outcome& out, uint64_t latency_us,
                        uint64_t read_ns)
{
    const Seen& s = bmc.seen[index];
    nlohmann::json rule = {{"road", road_name(s.road)}, {"request", hex_text(s.req)},
                           {"nth", nth_of(bmc, index, s.req.size())}};
    // An answer a rule gave stays with the rule that now gives its time too.
    bool answer_of_a_rule = out.fault && (out.fault->response || out.fault->completion_code);
    if (s.kcs && s.kcs->unknown)
        return nullptr;
    if (s.send_err) {
        rule["send_errno"] = errno_name(s.send_err);
        return rule;
    }
    if (s.select_err)
        rule["select_errno"] = errno_name(s.select_err);
    if (s.lost || (s.kcs && s.kcs->lost)) {
        rule["lose"] = true;
    } else if (s.wrong_id) {
        rule["wrong_id"] = true;
        if (!same_bytes(s, out.response) || answer_of_a_rule)
            rule["response"] = hex_text(s.resp);
    } else if (receive_failed(s)) {
        rule["receive_errno"] = errno_name(s.recv_err);
    } else if (s.kcs && s.kcs->fault != KcsFault::None) {
        rule["kcs"] = kcs_fault_name(s.kcs->fault);
        if (s.kcs->stuck_us)
            rule["for_ms"] = std::max<uint64_t>(1, (s.kcs->stuck_us + 500) / 1000);
    } else if (s.resp.size() >= 2) {
        if (!same_bytes(s, out.response) || answer_of_a_rule) {
            std::vector<uint8_t> resp = s.resp;
            if (s.recv_err == EMSGSIZE)
                resp.push_back(0);  // longer than the driver hands over, so it is cut there again
            rule["response"] = hex_text(resp);
        }
        uint64_t took = seen_answer_us(s, read_ns);
        if (answered_in_time(s) && took > latency_us)
            rule["delay_us"] = took - latency_us;
    }
    return rule.size() > 3 ? rule : nlohmann::json();
}

struct Difference {
    size_t index;
    Match match;
    BmcCore::Outcome outcome;

    bool operator==(const Difference& o) const { return index == o.index && match == o.match; }
};

// Late answers the model's answer time explains: each one's request, and
// how much later than the model's answer it came.
using OnTime = std::map<size_t, uint64_t>;

// Answers every request of `bmc` with the BMC of `bmc_json`: the first
// answered otherwise than the capture has it (leaving out `given_up`), or
// with `all`, how many are.
class Replica {
public:
    Replica(const SeenBmc& bmc, uint64_t read_ns) : bmc_(bmc), read_ns_(read_ns) {}

    uint64_t read_ns() const { return read_ns_; }

    // `on_time`: late answers the model gives at its answer time, so that
    // every request after one comes that much earlier, as on the model.
    std::optional<Difference> first_difference(const nlohmann::json& bmc_json, const std::set<size_t>& given_up,
                                               const OnTime& on_time) const
    {
        std::optional<Difference> found;
        run(bmc_json, &on_time, [&](size_t i, const BmcCore::Outcome& out) {
            if (given_up.count(i) || on_time.count(i))
                return true;
            Match m = compare(bmc_.seen[i], out, read_ns_);
            if (m == Match::Same)
                return true;
            found = Difference{i, m, out};
            return false;
        });
        return found;
    }

    size_t differences(const nlohmann::json& bmc_json) const
    {
        size_t n = 0;
        run(bmc_json, nullptr, [&](size_t i, const BmcCore::Outcome& out) {
            n += compare(bmc_.seen[i], out, read_ns_) != Match::Same;
            return true;
        });
        return n;
    }

private:
    template <typename Each>
    void run(const nlohmann::json& bmc_json, const OnTime* on_time, Each each) const
    {
        VirtualClock clock(0, false);
        Trace trace(clock);
        auto core = BmcCore::from_json(Field(bmc_json, "model"), Context{clock, trace}, "model");
        // A LAN interface answers after its own time and the core's.
        uint64_t lan_us = bmc_json.contains("lan") ? bmc_json["lan"].value("answer_us", uint64_t{0}) : 0;
        uint64_t earlier = 0;
        for (size_t i = 0; i < bmc_.seen.size(); ++i) {
            const Seen& s = bmc_.seen[i];
            uint64_t t = s.t - std::min(s.t, earlier);
            if (t > clock.elapsed_us())
                clock.advance_to(t);
            BmcCore::Outcome out = core->exchange(s.road, s.req);
            if (s.road == Road::Lan)
                out.delay_us += lan_us;
            if (!each(i, out))
                return;
            if (on_time)
                if (auto late = on_time->find(i); late != on_time->end())
                    earlier += late->second;
        }
    }

    const SeenBmc& bmc_;
    uint64_t read_ns_;
};

// Where every request of one command on one road, from some request on, got
// the same answer that is no success (a BMC that refuses Master Write-Read,
// a fault on every request from then on): one rule for all of them, if it
// makes the model answer that many more requests as the capture has them.
void add_general_rules(nlohmann::json& bmc_json, const SeenBmc& bmc, const Replica& replica, FaultRules& rules,
                       size_t room)
{
    std::map<std::pair<Road, std::vector<uint8_t>>, std::vector<size_t>> commands;
    for (size_t i = 0; i < bmc.seen.size(); ++i)
        if (bmc.seen[i].req.size() >= 2)
            commands[{bmc.seen[i].road, {bmc.seen[i].req.begin(), bmc.seen[i].req.begin() + 2}}].push_back(i);
    for (const auto& [command, indexes] : commands) {
        if (rules.added >= room)
            return;
        const Seen& last = bmc.seen[indexes.back()];
        if (!last.whole || cut_short(last) || last.resp.size() < 3 || last.resp[2] == kCcOk ||
            (last.kcs && !last.kcs->answered))
            continue;
        size_t from = indexes.size();
        while (from > 0) {
            const Seen& s = bmc.seen[indexes[from - 1]];
            if (!s.whole || s.resp != last.resp || (s.kcs && !s.kcs->answered))
                break;
            --from;
        }
        size_t span = indexes.size() - from;
        if (span < kGeneralRuleSpan)
            continue;
        // Late as a rule, they keep the time most of them took, from the
        // first that came late on (those before it were the devices' own).
        uint64_t latency = bmc_json.value("latency_us", uint64_t(0));
        auto later_than_usual = [&](size_t k) {
            const Seen& s = bmc.seen[indexes[k]];
            uint64_t took = seen_answer_us(s, replica.read_ns());
            return answered_in_time(s) && took > latency ? took - latency : 0;
        };
        std::vector<uint64_t> later;
        for (size_t k = from; k < indexes.size(); ++k)
            later.push_back(later_than_usual(k));
        std::nth_element(later.begin(), later.begin() + static_cast<std::ptrdiff_t>(later.size() / 2), later.end());
        uint64_t delay = later[later.size() / 2] >= kLateUs ? later[later.size() / 2] : 0;
        while (delay && from + kGeneralRuleSpan < indexes.size() && later_than_usual(from) < delay / 2)
            ++from;
        size_t before = replica.differences(bmc_json);
        nlohmann::json rule = {{"road", road_name(command.first)},
                               {"request", hex_text(command.second)},
                               {"nth", from + 1},
                               {"count", "all"},
                               {"response", hex_text(last.resp)}};
        if (delay)
            rule["delay_us"] = delay;
        bmc_json["faults"].push_back(rule);
        if (replica.differences(bmc_json) + span / 2 <= before)
            ++rules.added;
        else
            bmc_json["faults"].erase(bmc_json["faults"].size() - 1);
    }
}

}  // namespace

FaultRules add_fault_rules(nlohmann::json& bmc_json, const SeenBmc& bmc, uint64_t read_ns, size_t room,
                           size_t last_signal_line)
{
    FaultRules rules;
    Replica replica(bmc, read_ns);
    bmc_json["faults"] = nlohmann::json::array();
    add_general_rules(bmc_json, bmc, replica, rules, room);
    uint64_t latency = bmc_json.value("latency_us", uint64_t(0));
    std::set<size_t> given_up;
    OnTime on_time;
    std::optional<std::optional<Difference>> next;  // the next difference, where already known
    // A late answer that changes nothing the run does: the answer time
    // explains it (a loaded host's answers wander so by hundreds).
    auto explained_by_answer_time = [&](const Difference& d) {
        const Seen& s = bmc.seen[d.index];
        if (d.match != Match::Late || s.line <= last_signal_line)
            return false;
        uint64_t seen = seen_answer_us(s, read_ns), later = seen - std::min(seen, d.outcome.delay_us);
        OnTime with = on_time;
        with[d.index] = later;
        std::set<size_t> kept_late = given_up;
        kept_late.insert(d.index);
        std::optional<Difference> on_the_model = replica.first_difference(bmc_json, given_up, with);
        if (on_the_model != replica.first_difference(bmc_json, kept_late, on_time))
            return false;
        next = on_the_model;
        on_time = std::move(with);
        rules.least_late_us = rules.late_by_answer_time ? std::min(rules.least_late_us, later) : later;
        rules.most_late_us = std::max(rules.most_late_us, later);
        ++rules.late_by_answer_time;
        return true;
    };
    auto give_up = [&](const Difference& d) {
        given_up.insert(d.index);
        if (++rules.unexplained > kFirstFew)
            return;
        const Seen& s = bmc.seen[d.index];
        std::string where = "line " + std::to_string(s.line);
        if (s.command)
            where += " (byte command " + std::to_string(*s.command + 1) + ")";
        rules.first_unexplained.push_back(bmc.name() + " " + where + ": request " + hex_text(s.req) +
                                          ": the capture has " + describe_seen(s, read_ns) + ", the model " +
                                          describe_outcome(d.outcome));
    };
    for (;;) {
        std::optional<Difference> diff = next ? *next : replica.first_difference(bmc_json, given_up, on_time);
        next.reset();
        if (!diff)
            break;
        if (explained_by_answer_time(*diff))
            continue;
        nlohmann::json rule = rules.added < room ? rule_for(bmc, diff->index, diff->outcome, latency, read_ns)
                                                 : nlohmann::json();
        if (rule.is_null()) {
            give_up(*diff);
            continue;
        }
        // Before the rules for all requests of a command, so that it is the one that fires.
        nlohmann::json& faults = bmc_json["faults"];
        faults.insert(faults.begin(), rule);
        auto again = replica.first_difference(bmc_json, given_up, on_time);
        bool caused = again && again->index < diff->index;
        bool not_given_back = again && again->index == diff->index && again->match == Match::Differs;
        if (caused || not_given_back) {
            // A rule that makes a difference of its own, or does not bring
            // the answer back, is not kept.
            faults.erase(faults.begin());
            give_up(*diff);
            continue;
        }
        ++rules.added;
        if (again && again->index == diff->index)
            give_up(*again);  // the answer is back, its time is not
    }
    if (rules.late_by_answer_time)
        rules.late_span = ms_text(rules.least_late_us) + " to " + ms_text(rules.most_late_us);
    if (rules.unexplained > kFirstFew)
        rules.first_unexplained.push_back("... and " + std::to_string(rules.unexplained - kFirstFew) + " more");
    if (bmc_json["faults"].empty())
        bmc_json.erase("faults");
    return rules;
}

}  // namespace sim::capture
