// SPDX-License-Identifier: MIT
// The fault rules of a model's BMC: the BMC made of the inferred devices
// answers the capture's requests in order, and wherever it answers otherwise
// than the capture has it (an answer no device gives, an answer later than
// its usual time, a failing call, a KCS interface that breaks off) a rule
// for that request gives the capture's answer back, with its time. What no
// rule gives back is counted and described.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "seen.h"

namespace sim::capture {

struct FaultRules {
    size_t added = 0;
    // Requests the model still answers otherwise than the capture has them.
    size_t unexplained = 0;
    std::vector<std::string> first_unexplained;  // the first few, in words
};

// `bmc_json`: the model's BMC (its devices, latency_us, kcs_handshake); the
// rules go into its "faults". `read_ns`: what one status read costs the
// host at the KCS ports. `room`: how many rules may still be added; past
// that a capture is no longer worth explaining rule by rule.
FaultRules add_fault_rules(nlohmann::json& bmc_json, const SeenBmc& bmc, uint64_t read_ns, size_t room);

}  // namespace sim::capture
