// SPDX-License-Identifier: MIT
// A BMC's LAN interface as the machine file describes it ("lan" of one entry
// of "bmcs"): where it is on the network, its users, the BMC key K_G, the
// cipher suites it offers, its session timeout and answer time, whether IPMI
// over LAN is enabled, and its faults.
#pragma once

#include <array>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

#include "../../basics/json_field.h"
#include "lan_faults.h"

namespace sim::lan {

struct LanUser {
    uint8_t id = 0;                // the user ID of the channel (1 to 63)
    std::string name;              // up to 16 bytes; empty: the anonymous user
    std::vector<uint8_t> password; // K_uid, up to 20 bytes
    uint8_t max_privilege = 4;     // the channel privilege limit of this user
};

struct LanAddress {
    std::string host;                 // a host name the resolver knows; may be empty
    std::optional<in_addr> ipv4;
    std::optional<in6_addr> ipv6;
    uint16_t port = 623;
};

struct LanConfig {
    LanAddress address;
    bool enabled = true;  // IPMI over LAN; off, the BMC answers only the presence ping ("IPMI not supported")
    std::vector<LanUser> users;
    std::vector<uint8_t> kg;  // the BMC key; empty: none, the user's key makes the session keys
    std::vector<uint8_t> cipher_suites{17, 3};  // offered, in this order
    uint64_t session_timeout_us = 60ULL * 1000 * 1000;
    uint64_t answer_us = 0;  // from a datagram to the BMC's answer
    // A RAKP message 3 sent again for a session it already made active:
    // refused with "invalid session ID" (false), or answered with RAKP
    // message 4 once more, wrapped in the session's keys (true), as some
    // BMCs do.
    bool rakp4_in_session = false;
    unsigned max_sessions = 4;
    uint8_t master_write_read_privilege = 3;  // operator
    uint32_t seed = 1;  // the simulated BMC's random numbers
    std::array<uint8_t, 16> guid{};
    std::vector<LanFaultRule> faults;
    std::vector<LanEvent> events;
};

// Throws MachineFileError naming the field.
LanConfig parse_lan_config(const Field& lan, const std::array<uint8_t, 16>& default_guid);

// "192.0.2.10:623", "[2001:db8::1]:623": an address and port as traces show them.
std::string address_text(const LanAddress& a);

}  // namespace sim::lan
