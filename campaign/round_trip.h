// SPDX-License-Identifier: MIT
// The round trip of a capture (qb40tool --capture, qb40sim-capture): the
// scenario runs again with --capture, which must change nothing but the
// command line the log shows; the capture is made into a replay machine,
// and the run on it must give what the captured run gave: exit status,
// console, standard error, log.txt, logprev.txt, the report, the capture
// itself, and every request the BMCs received and every answer the tool
// received, with their times (the exchange lines of the trace).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "invariants.h"
#include "scenario.h"

namespace campaign {

struct RoundTripResult {
    bool made = false;           // the captured run wrote a capture
    size_t capture_bytes = 0;
    std::vector<Violation> found;
    // The run on the machine qb40sim-capture model inferred from the capture.
    bool modelled = false;
    bool fault_free = false;     // the scenario's machine injects no fault
    size_t model_rules = 0;      // fault rules the model needed
    std::string model_differs;   // what the run on the model gave otherwise (first difference), or empty
};

// Whether a machine file injects faults anywhere (a BMC's rules, a controller's).
bool injects_faults(const nlohmann::json& machine);

// `dir`: a directory to work in (made afresh and removed); on a failure
// its runs go to `keep` (plain/, captured/, replayed/, replay.json).
// `capture_tool`: qb40sim-capture. The capture is also made into a model
// machine, and the run on it must give the same exit status, console,
// standard error, log.txt, logprev.txt and requests and answers in the
// trace; a difference is a violation when the scenario injects no fault,
// else it is only counted (and its runs kept when `keep_model_differences`).
RoundTripResult round_trip(const Scenario& scenario, const std::filesystem::path& dir,
                           const std::filesystem::path& keep, const std::filesystem::path& tool,
                           const std::filesystem::path& capture_tool, std::chrono::milliseconds bound,
                           bool keep_model_differences = false);

// The exchange lines of two traces ("12.000000 bmc0 driver request id 7: 18
// 52 ..."), with each BMC's name made the one a capture's machine gives it
// (a device node's number, "/dev/ipmi2": bmc2; bmc0 for the KCS ports),
// for comparing a run with its replay. An answer that never reached the
// tool whole is known to the first run's BMC only: the fault the first trace
// shows on its request (a failing receive, a KCS interface failing in the
// read phase, a delay on the KCS road) leaves it out of both, and an answer
// longer than the tool takes is cut where the tool cut it.
struct ExchangeLines {
    std::vector<std::string> first, replayed;
};
// `replayed_machine` names the second run's BMCs as `first_machine` does the first's.
ExchangeLines exchange_lines(const std::string& first_trace, const nlohmann::json& first_machine,
                             const std::string& replayed_trace,
                             const nlohmann::json& replayed_machine = nlohmann::json::object());

}  // namespace campaign
