// SPDX-License-Identifier: MIT
// Planted runs: one good upgrade run, and changes to it that each plant a
// violation of one invariant, which the checks must find (or a quirk of the
// tool, which they must let pass). Each family of invariants
// (campaign/invariants/FAMILY.cpp) has its planted runs here, in
// FAMILY_plants.cpp; this is what they share. invariants_test.cpp runs them.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "invariants.h"

namespace campaign::planted {

struct Plant {
    const char* what;
    std::function<void(Scenario&, RunOutput&)> change;
    const char* broken;  // the invariant that must fail; "" for none
};

// Two QB4077 behind one BMC: the first takes the image, the second loses
// power in its write phase, so the run ends with code 4 and the terminal
// restored.
Scenario good_scenario();

// What the good scenario's run leaves: its log, trace and exit status.
RunOutput good_output();

// Replaces the first `from` in `text`, which must hold it.
void replace(std::string& text, const std::string& from, const std::string& to);

// The second controller already runs the image's version, so it is not flashed.
void second_matches(Scenario& s, RunOutput& o);

// The run ends with 0 after the count line `count`.
void ends_with_zero(RunOutput& o, const std::string& count);

// --report FILE on the command line, and what the run left in FILE.
void report(Scenario& s, RunOutput& o, const char* file, std::optional<std::string> text);

// SIGTERM comes while the second controller is written: the abort's reset
// leaves it on its old image, and the run ends by the signal.
void stopped_by_sigterm(Scenario&, RunOutput& o);

// `change` on top of the run stopped by SIGTERM.
std::function<void(Scenario&, RunOutput&)> after_sigterm(std::function<void(Scenario&, RunOutput&)> change);

// The machine failed a `call` of the log.
void log_fault(RunOutput& o, const char* call, const char* error);

// A read-only report run with --metrics that finds the two controllers and
// ends with 0: the metrics as the tool writes them (HELP lines shortened).
void metrics_run(Scenario& s, RunOutput& o);

// The planted runs of each family.
std::span<const Plant> endings_plants();
std::span<const Plant> hardware_plants();
std::span<const Plant> report_and_metrics_plants();
std::span<const Plant> files_plants();
std::span<const Plant> captures_plants();

}  // namespace campaign::planted
