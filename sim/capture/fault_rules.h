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
    // Answers that came later than the BMC's answer time and changed
    // nothing the run did: the answer time explains them, no rule is made.
    size_t late_by_answer_time = 0;
    uint64_t least_late_us = 0, most_late_us = 0;  // later than the model's answer by
    std::string late_span;                         // the same in words: "1.000 to 22.065 ms"
};

// `bmc_json`: the model's BMC (its devices, latency_us, kcs_handshake); the
// rules go into its "faults". `read_ns`: what one status read costs the
// host at the KCS ports. `room`: how many rules may still be added; past
// that a capture is no longer worth explaining rule by rule.
// `last_signal_line`: the capture's line of the last signal the run
// received (0: none); an answer before it placed it, and keeps its time.
//
// A late answer (the capture's bytes, later than the model gives them)
// changes nothing the tool does when it came in time (no wait of the
// tool's ran out), no signal came after it, and with every request after
// it that much earlier, as on the model, each is still answered as before:
// then the model's answer time explains it. Any other keeps its rule.
FaultRules add_fault_rules(nlohmann::json& bmc_json, const SeenBmc& bmc, uint64_t read_ns, size_t room,
                           size_t last_signal_line);

}  // namespace sim::capture
