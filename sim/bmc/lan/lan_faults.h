// SPDX-License-Identifier: MIT
// What the network and the BMC do to a LAN BMC's datagrams instead of
// carrying them plainly. A rule picks datagrams by direction (the console's
// request, or the BMC's answer to one) and by the message they carry, and
// acts on the n-th match and a run after it, or on each match with a
// probability drawn from its own seeded generator: drop, delay, duplicate,
// reorder, a forged answer besides the real one, or another status code in
// a session set-up answer. Events change the BMC itself at a time or before
// a request: it restarts (every session gone, silent for a while) or drops
// its sessions. Every injection is counted and traced.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../../basics/json_field.h"

namespace sim::lan {

enum class Direction { Request, Answer };

// What a datagram carries, by the request (an answer is known by the request
// it answers).
enum class MessageKind {
    Unknown,           // malformed, or not for any session the BMC knows
    Ping,              // ASF presence ping
    AuthCapabilities,  // Get Channel Authentication Capabilities
    CipherSuites,      // Get Channel Cipher Suites
    OpenSession,
    Rakp1,
    Rakp3,
    SetPrivilege,  // Set Session Privilege Level
    CloseSession,
    MasterWriteRead,
    OtherIpmi,  // any other IPMI request
};
const char* message_kind_name(MessageKind kind);

// Which messages a rule watches.
enum class MessageMatch {
    Any,  // every datagram
    Ipmi, // every IPMI request, in a session or not
    Kind, // one kind
};

enum class Forgery { None, SessionId, Integrity, Sequence };
const char* forgery_name(Forgery f);

struct LanFaultAction {
    bool drop = false;
    uint64_t delay_us = 0;
    bool duplicate = false;
    bool reorder = false;  // held back until the next datagram in the same direction has gone
    Forgery forge = Forgery::None;
    std::optional<uint8_t> status;  // a session set-up answer's status code instead of the real one

    std::string describe() const;
};

struct LanFaultRule {
    std::optional<Direction> direction;  // none: both
    MessageMatch match = MessageMatch::Any;
    MessageKind kind = MessageKind::Unknown;
    std::vector<uint8_t> request;  // leading bytes of an IPMI request (NetFn/LUN, command, data)
    uint64_t nth = 1;
    uint64_t count = 1;  // 0: every match from the nth on
    double probability = 1.0;
    uint32_t seed = 1;
    LanFaultAction action;

    bool matches(Direction d, MessageKind k, std::span<const uint8_t> core_request) const;
};

struct LanEvent {
    enum class What { Restart, DropSessions };
    What what = What::Restart;
    std::optional<uint64_t> at_us;         // at this time (since the machine started)
    std::optional<uint64_t> before_request;  // before the n-th IPMI request inside a session (1 = the first)
    uint64_t down_us = 0;                  // a restart: silent this long
};

class LanFaults {
public:
    void add(LanFaultRule rule);
    // The fault for a datagram, if a rule fires (the first in the list wins;
    // the others still count it and draw).
    std::optional<LanFaultAction> decide(Direction d, MessageKind kind, std::span<const uint8_t> core_request,
                                         size_t* rule_index = nullptr, uint64_t* injection = nullptr);
    size_t rules() const { return rules_.size(); }
    uint64_t injected(size_t rule) const { return rules_.at(rule).injected; }

private:
    struct Entry {
        LanFaultRule rule;
        std::mt19937 random;
        uint64_t matched = 0;
        uint64_t injected = 0;
    };
    std::vector<Entry> rules_;
};

// One entry of "faults" and of "events" of a BMC's "lan".
LanFaultRule parse_lan_fault_rule(const Field& entry);
LanEvent parse_lan_event(const Field& entry);

}  // namespace sim::lan
