// SPDX-License-Identifier: MIT
// What every part of the simulated machine shares: its clock and its trace.
#pragma once

#include "clock.h"
#include "trace.h"

namespace sim {

struct Context {
    VirtualClock& clock;
    Trace& trace;
};

}  // namespace sim
