// SPDX-License-Identifier: MIT
// A capture read as the requests each BMC received: what the model infers
// its devices, its timing and its fault rules from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../bmc/faults.h"
#include "kcs_ports.h"

namespace sim::capture {

// One request to a BMC as the capture has it.
struct Seen {
    Road road = Road::Driver;
    size_t line = 0;                  // its line in the capture
    std::optional<uint64_t> command;  // in a run of byte commands: which of them
    uint64_t t = 0;                   // sent
    std::vector<uint8_t> req;
    bool whole = false;  // the tool got this answer, all of it
    std::vector<uint8_t> resp;
    uint64_t rt = 0;  // driver: the answer received
    int send_err = 0, select_err = 0, recv_err = 0;
    bool lost = false, wrong_id = false;
    // The answer received was an earlier request's, queued by the driver
    // after that request's select failed: this request's own is queued now.
    bool stale = false;
    // This request's answer reached the tool only with a later request (as
    // that one's stale answer): `resp` holds it, its time says nothing.
    bool answered_later = false;
    std::optional<KcsPortsSeen> kcs;  // the KCS road: what the ports showed
};

struct SeenBmc {
    std::string node;  // empty: the KCS ports only
    int kcs = -1;
    std::vector<Seen> seen;
    int lan = -1;          // the network road: the --lan BMC's number
    std::string lan_host;  // ... and its host as given

    std::string name() const
    {
        return lan >= 0 ? "the BMC at " + lan_host : node.empty() ? "the KCS interface" : node;
    }
};

}  // namespace sim::capture
