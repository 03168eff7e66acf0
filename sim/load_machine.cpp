// SPDX-License-Identifier: MIT
// Linked into qb40tool-sim only: the machine is read before the tool's main
// runs, so a bad machine file stops the program before the tool says anything.
#include "current_machine.h"

namespace {

const bool machine_loaded = (sim::machine(), true);

}  // namespace
