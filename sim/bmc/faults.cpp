// SPDX-License-Identifier: MIT
#include "faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "../basics/errno_names.h"
#include "../basics/trace.h"

namespace sim {

namespace {

struct KcsFaultName {
    KcsFault fault;
    const char* name;
};
constexpr KcsFaultName kKcsFaultNames[] = {
    {KcsFault::IbfStuck, "ibf_stuck"},       {KcsFault::ErrorState, "error_state"},
    {KcsFault::ErrorInRead, "error_in_read"}, {KcsFault::ErrorNoObf, "error_no_obf"},
    {KcsFault::IbfStuckInRead, "ibf_stuck_in_read"}, {KcsFault::NoDummy, "no_dummy"},
};

KcsFault parse_kcs_fault(const Field& f)
{
    std::string s = f.string();
    std::string known;
    for (const KcsFaultName& k : kKcsFaultNames) {
        if (s == k.name)
            return k.fault;
        known += known.empty() ? "" : ", ";
        known += k.name;
    }
    f.fail("expected one of " + known);
}

bool lasts_for_a_time(KcsFault k)
{
    return k == KcsFault::IbfStuck || k == KcsFault::IbfStuckInRead;
}

bool driver_only(const FaultAction& a)
{
    return a.send_errno || a.receive_errno || a.select_errno || a.wrong_id;
}

}  // namespace

const char* kcs_fault_name(KcsFault k)
{
    for (const KcsFaultName& n : kKcsFaultNames)
        if (n.fault == k)
            return n.name;
    return "none";
}

const char* road_name(Road road)
{
    switch (road) {
    case Road::Driver:
        return "driver";
    case Road::Kcs:
        return "kcs";
    case Road::Lan:
        break;
    }
    return "lan";
}

std::string FaultAction::describe() const
{
    std::string text;
    auto add = [&](const std::string& part) {
        if (!text.empty())
            text += ", ";
        text += part;
    };
    char buf[64];
    if (completion_code) {
        std::snprintf(buf, sizeof buf, "completion code %02X", *completion_code);
        add(buf);
    }
    if (response)
        add("response " + Trace::hex(*response));
    if (lose)
        add("response lost");
    if (delay_us) {
        std::snprintf(buf, sizeof buf, "response delayed %llu us", static_cast<unsigned long long>(delay_us));
        add(buf);
    }
    if (send_errno)
        add(std::string("send fails ") + errno_name(send_errno));
    if (select_errno)
        add(std::string("select fails ") + errno_name(select_errno));
    if (receive_errno)
        add(std::string("receive fails ") + errno_name(receive_errno));
    if (wrong_id)
        add("wrong message id");
    if (kcs != KcsFault::None) {
        std::string k = std::string("kcs ") + kcs_fault_name(kcs);
        if (lasts_for_a_time(kcs) && for_us) {
            std::snprintf(buf, sizeof buf, " for %llu us", static_cast<unsigned long long>(for_us));
            k += buf;
        }
        add(k);
    }
    return text;
}

bool FaultRule::matches(Road r, std::span<const uint8_t> req) const
{
    if (road && *road != r)
        return false;
    // A rule whose action only one road can carry out watches that road only.
    if (!road && (driver_only(action) ? r != Road::Driver : action.kcs != KcsFault::None && r != Road::Kcs))
        return false;
    if (bus && (req.size() < 3 || req[2] != *bus))
        return false;
    if (address && (req.size() < 4 || req[3] != *address))
        return false;
    if (request.size() > req.size() || !std::equal(request.begin(), request.end(), req.begin()))
        return false;
    return true;
}

FaultInjector::FaultInjector(Context context, std::string bmc_name)
    : context_(context), bmc_name_(std::move(bmc_name))
{
}

void FaultInjector::add(FaultRule rule)
{
    Entry e{std::move(rule), std::mt19937(), 0, 0};
    e.random.seed(e.rule.seed);
    rules_.push_back(std::move(e));
}

void FaultInjector::load(const Field& faults)
{
    faults.each_item([&](const Field& entry) { add(parse_fault_rule(entry)); });
}

std::optional<FaultAction> FaultInjector::decide(Road road, std::span<const uint8_t> request)
{
    std::optional<FaultAction> chosen;
    for (size_t i = 0; i < rules_.size(); ++i) {
        Entry& e = rules_[i];
        if (!e.rule.matches(road, request))
            continue;
        uint64_t n = ++e.matched;
        bool in_window = n >= e.rule.nth && (e.rule.count == 0 || n < e.rule.nth + e.rule.count);
        if (!in_window)
            continue;
        // Draw even when another rule already won, so that a rule's choices do
        // not depend on the rules before it.
        bool fires = e.rule.probability >= 1.0 ||
                     std::uniform_real_distribution<double>(0.0, 1.0)(e.random) < e.rule.probability;
        if (!fires || chosen)
            continue;
        chosen = e.rule.action;
        ++e.injected;
        context_.trace.line("%s fault %zu #%llu on %s request: %s", bmc_name_.c_str(), i,
                            static_cast<unsigned long long>(e.injected), road_name(road),
                            e.rule.action.describe().c_str());
    }
    return chosen;
}

uint64_t FaultInjector::injected() const
{
    uint64_t total = 0;
    for (const Entry& e : rules_)
        total += e.injected;
    return total;
}

namespace {

// What a rule does to the exchanges it matches.
void read_action(const Field& entry, FaultAction& a)
{
    if (auto f = entry.optional("completion_code"))
        a.completion_code = f->byte();
    if (auto f = entry.optional("response")) {
        a.response = f->bytes();
        if (a.response->size() < 2)
            f->fail("a response has at least the NetFn/LUN and command bytes");
    }
    if (auto f = entry.optional("lose"))
        a.lose = f->boolean();
    if (auto f = entry.optional("delay_ms"))
        a.delay_us = f->unsigned_in(0, 3600 * 1000) * 1000;
    if (auto f = entry.optional("delay_us")) {
        // To the microsecond, as a model gives a captured answer's time.
        if (entry.has("delay_ms"))
            f->fail("delay_ms or delay_us, not both");
        a.delay_us = f->unsigned_in(0, 3600ULL * 1000 * 1000);
    }
    if (auto f = entry.optional("send_errno"))
        a.send_errno = parse_errno(*f);
    if (auto f = entry.optional("receive_errno"))
        a.receive_errno = parse_errno(*f);
    if (auto f = entry.optional("select_errno"))
        a.select_errno = parse_errno(*f);
    if (auto f = entry.optional("wrong_id"))
        a.wrong_id = f->boolean();
    if (auto f = entry.optional("kcs"))
        a.kcs = parse_kcs_fault(*f);
    if (auto f = entry.optional("for_ms")) {
        if (!lasts_for_a_time(a.kcs))
            f->fail("only the \"ibf_stuck\" faults last for a time");
        a.for_us = f->unsigned_in(1, 3600 * 1000) * 1000;
    }
}

}  // namespace

FaultRule parse_fault_rule(const Field& entry)
{
    entry.only({"road", "bus", "address", "request", "nth", "count", "probability", "seed", "completion_code",
                "response", "lose", "delay_ms", "delay_us", "send_errno", "receive_errno", "select_errno", "wrong_id",
                "kcs", "for_ms"});
    FaultRule rule;
    if (auto r = entry.optional("road")) {
        std::string s = r->string();
        if (s == "driver")
            rule.road = Road::Driver;
        else if (s == "kcs")
            rule.road = Road::Kcs;
        else if (s == "lan")
            rule.road = Road::Lan;
        else
            r->fail("expected \"driver\", \"kcs\" or \"lan\"");
    }
    if (auto f = entry.optional("bus"))
        rule.bus = f->byte();
    if (auto f = entry.optional("address"))
        rule.address = f->byte();
    if (auto f = entry.optional("request"))
        rule.request = f->bytes();
    if (auto f = entry.optional("nth"))
        rule.nth = f->unsigned_in(1, UINT32_MAX);
    if (auto f = entry.optional("count")) {
        if (f->is_string() && f->string() == "all")
            rule.count = 0;
        else
            rule.count = f->unsigned_in(1, UINT32_MAX);
    }
    if (auto f = entry.optional("probability")) {
        rule.probability = f->number();
        if (rule.probability < 0 || rule.probability > 1)
            f->fail("must be from 0 to 1");
    }
    if (auto f = entry.optional("seed"))
        rule.seed = static_cast<uint32_t>(f->unsigned_in(0, UINT32_MAX));

    FaultAction& a = rule.action;
    read_action(entry, a);

    if (a.describe().empty())
        entry.fail("a fault needs an action (completion_code, response, lose, delay_ms, delay_us, send_errno, "
                   "receive_errno, select_errno, wrong_id or kcs)");
    if (driver_only(a) && a.kcs != KcsFault::None)
        entry.fail("driver faults and KCS faults cannot be combined in one rule");
    if (rule.road && *rule.road != Road::Driver && driver_only(a))
        entry.fail("send_errno, receive_errno, select_errno and wrong_id act on the driver road only");
    if (rule.road && *rule.road != Road::Kcs && a.kcs != KcsFault::None)
        entry.fail("kcs faults act on the KCS road only");
    return rule;
}

}  // namespace sim
