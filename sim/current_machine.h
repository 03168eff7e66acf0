// SPDX-License-Identifier: MIT
// The one simulated machine of the process, and the implementation of the
// seam (seam.h) that os_sim.cpp talks to: the machine, or its replay. qb40tool-sim loads it from the environment before the tool's
// main runs (entry/load_machine.cpp); tests and benchmarks install their own.
#pragma once

#include <memory>

#include "machine/machine.h"

namespace sim {

// The machine installed last; without one, the machine the environment
// names, loaded at the first call. A machine file that cannot be read or is
// malformed ends the process with a message naming the file and the field.
Machine& machine();
void install(std::unique_ptr<Machine> m);
// Who answers the seam for machine(): picked when the machine comes.
Seam& seam();

}  // namespace sim
