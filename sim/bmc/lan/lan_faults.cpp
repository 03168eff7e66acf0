// SPDX-License-Identifier: MIT
#include "lan_faults.h"

#include <algorithm>
#include <cstdio>

#include "rmcp.h"

namespace sim::lan {

namespace {

struct KindName {
    MessageKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {
    {MessageKind::Ping, "ping"},
    {MessageKind::AuthCapabilities, "auth_capabilities"},
    {MessageKind::CipherSuites, "cipher_suites"},
    {MessageKind::OpenSession, "open_session"},
    {MessageKind::Rakp1, "rakp1"},
    {MessageKind::Rakp3, "rakp3"},
    {MessageKind::SetPrivilege, "set_privilege"},
    {MessageKind::CloseSession, "close_session"},
    {MessageKind::MasterWriteRead, "master_write_read"},
    {MessageKind::OtherIpmi, "other_ipmi"},
};

bool is_ipmi(MessageKind k)
{
    return k == MessageKind::AuthCapabilities || k == MessageKind::CipherSuites || k == MessageKind::SetPrivilege ||
           k == MessageKind::CloseSession || k == MessageKind::MasterWriteRead || k == MessageKind::OtherIpmi;
}

bool is_session_setup(MessageKind k)
{
    return k == MessageKind::OpenSession || k == MessageKind::Rakp1 || k == MessageKind::Rakp3;
}

}  // namespace

const char* message_kind_name(MessageKind kind)
{
    for (const KindName& k : kKindNames)
        if (k.kind == kind)
            return k.name;
    return "unknown";
}

const char* forgery_name(Forgery f)
{
    switch (f) {
    case Forgery::SessionId:
        return "session_id";
    case Forgery::Integrity:
        return "integrity";
    case Forgery::Sequence:
        return "sequence";
    case Forgery::None:
        break;
    }
    return "none";
}

std::string LanFaultAction::describe() const
{
    std::string text;
    auto add = [&](const std::string& part) {
        if (!text.empty())
            text += ", ";
        text += part;
    };
    char buf[64];
    if (drop)
        add("dropped");
    if (delay_us) {
        std::snprintf(buf, sizeof buf, "delayed %llu us", static_cast<unsigned long long>(delay_us));
        add(buf);
    }
    if (duplicate)
        add("duplicated");
    if (reorder)
        add("reordered");
    if (forge != Forgery::None)
        add(std::string("forged copy (") + forgery_name(forge) + ")");
    if (status) {
        std::snprintf(buf, sizeof buf, "status %02X", *status);
        add(buf);
    }
    return text;
}

bool LanFaultRule::matches(Direction d, MessageKind k, std::span<const uint8_t> core_request) const
{
    if (direction && *direction != d)
        return false;
    if (match == MessageMatch::Ipmi && !is_ipmi(k))
        return false;
    if (match == MessageMatch::Kind && k != kind)
        return false;
    if (!request.empty() && (request.size() > core_request.size() ||
                             !std::equal(request.begin(), request.end(), core_request.begin())))
        return false;
    return true;
}

void LanFaults::add(LanFaultRule rule)
{
    Entry e{std::move(rule), std::mt19937(), 0, 0};
    e.random.seed(e.rule.seed);
    rules_.push_back(std::move(e));
}

std::optional<LanFaultAction> LanFaults::decide(Direction d, MessageKind kind, std::span<const uint8_t> core_request,
                                                size_t* rule_index, uint64_t* injection)
{
    std::optional<LanFaultAction> chosen;
    for (size_t i = 0; i < rules_.size(); ++i) {
        Entry& e = rules_[i];
        if (!e.rule.matches(d, kind, core_request))
            continue;
        uint64_t n = ++e.matched;
        if (n < e.rule.nth || (e.rule.count != 0 && n >= e.rule.nth + e.rule.count))
            continue;
        // Draw even when another rule already won, so that a rule's choices
        // do not depend on the rules before it.
        bool fires = e.rule.probability >= 1.0 ||
                     std::uniform_real_distribution<double>(0.0, 1.0)(e.random) < e.rule.probability;
        if (!fires || chosen)
            continue;
        chosen = e.rule.action;
        ++e.injected;
        if (rule_index)
            *rule_index = i;
        if (injection)
            *injection = e.injected;
    }
    return chosen;
}

LanFaultRule parse_lan_fault_rule(const Field& entry)
{
    entry.only({"direction", "message", "request", "nth", "count", "probability", "seed", "drop", "delay_ms",
                "delay_us", "duplicate", "reorder", "forge", "status"});
    LanFaultRule rule;
    if (auto f = entry.optional("direction")) {
        std::string s = f->string();
        if (s == "request")
            rule.direction = Direction::Request;
        else if (s == "answer")
            rule.direction = Direction::Answer;
        else if (s != "both")
            f->fail("expected \"request\", \"answer\" or \"both\"");
    } else {
        rule.direction = Direction::Answer;
    }
    if (auto f = entry.optional("message")) {
        std::string s = f->string();
        std::string known = "\"any\", \"ipmi\"";
        if (s == "any") {
            rule.match = MessageMatch::Any;
        } else if (s == "ipmi") {
            rule.match = MessageMatch::Ipmi;
        } else {
            rule.match = MessageMatch::Kind;
            bool found = false;
            for (const KindName& k : kKindNames) {
                known += std::string(", \"") + k.name + "\"";
                if (s == k.name) {
                    rule.kind = k.kind;
                    found = true;
                }
            }
            if (!found)
                f->fail("expected one of " + known);
        }
    }
    if (auto f = entry.optional("request")) {
        rule.request = f->bytes();
        if (rule.request.empty())
            f->fail("give at least the NetFn/LUN byte");
        if (rule.match == MessageMatch::Any)
            rule.match = MessageMatch::Ipmi;
        else if (rule.match == MessageMatch::Kind && !is_ipmi(rule.kind))
            f->fail("only IPMI requests have request bytes");
    }
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

    LanFaultAction& a = rule.action;
    if (auto f = entry.optional("drop"))
        a.drop = f->boolean();
    if (auto f = entry.optional("delay_ms"))
        a.delay_us = f->unsigned_in(0, 3600 * 1000) * 1000;
    if (auto f = entry.optional("delay_us")) {
        if (entry.has("delay_ms"))
            f->fail("delay_ms or delay_us, not both");
        a.delay_us = f->unsigned_in(0, 3600ULL * 1000 * 1000);
    }
    if (auto f = entry.optional("duplicate"))
        a.duplicate = f->boolean();
    if (auto f = entry.optional("reorder"))
        a.reorder = f->boolean();
    if (auto f = entry.optional("forge")) {
        std::string s = f->string();
        if (s == "session_id")
            a.forge = Forgery::SessionId;
        else if (s == "integrity")
            a.forge = Forgery::Integrity;
        else if (s == "sequence")
            a.forge = Forgery::Sequence;
        else
            f->fail("expected \"session_id\", \"integrity\" or \"sequence\"");
        if (rule.direction != Direction::Answer)
            f->fail("only the BMC's answers are forged: \"direction\": \"answer\"");
        if (rule.match == MessageMatch::Kind && (is_session_setup(rule.kind) || rule.kind == MessageKind::Ping))
            f->fail("only answers inside a session can be forged");
    }
    if (auto f = entry.optional("status")) {
        a.status = f->byte();
        if (rule.direction != Direction::Answer || rule.match != MessageMatch::Kind || !is_session_setup(rule.kind))
            f->fail("a status code replaces the one of an answer to \"open_session\", \"rakp1\" or \"rakp3\"");
    }
    if (a.describe().empty())
        entry.fail("a fault needs an action (drop, delay_ms, delay_us, duplicate, reorder, forge or status)");
    if (a.drop && (a.duplicate || a.reorder || a.delay_us || a.status))
        entry.fail("a dropped datagram cannot also be delayed, duplicated, reordered or changed");
    return rule;
}

LanEvent parse_lan_event(const Field& entry)
{
    entry.only({"event", "at", "before_request", "down_ms"});
    LanEvent e;
    Field what = entry["event"];
    std::string s = what.string();
    if (s == "restart")
        e.what = LanEvent::What::Restart;
    else if (s == "drop_sessions")
        e.what = LanEvent::What::DropSessions;
    else
        what.fail("expected \"restart\" or \"drop_sessions\"");
    if (auto f = entry.optional("at")) {
        double at = f->number();
        if (at < 0)
            f->fail("must not be negative");
        e.at_us = static_cast<uint64_t>(at * 1e6 + 0.5);
    }
    if (auto f = entry.optional("before_request")) {
        if (e.at_us)
            f->fail("an event comes at a time or before a request, not both");
        e.before_request = f->unsigned_in(1, UINT32_MAX);
    }
    if (!e.at_us && !e.before_request)
        entry.fail("an event needs \"at\" (seconds) or \"before_request\" (the n-th IPMI request in a session)");
    if (auto f = entry.optional("down_ms")) {
        if (e.what != LanEvent::What::Restart)
            f->fail("only a restart keeps the BMC down for a while");
        e.down_us = f->unsigned_in(0, 3600 * 1000) * 1000;
    }
    return e;
}

}  // namespace sim::lan
