// SPDX-License-Identifier: MIT
// A machine whose every answer to the tool comes from the fuzzer's input:
// the implementation of src/os/os.h that the fuzzers link instead of Linux
// or the simulator. Each answer stays within what the real interface can
// give (the driver never writes past the buffer it is handed, a receive too
// small for the message truncates it and fails with EMSGSIZE), and within
// that, the input chooses: success or which error, message ids, lengths and
// bytes of the driver's answers, every status and data byte read from a KCS
// port, every datagram from a LAN BMC, keys, terminal calls and shell
// commands.
#pragma once

#include <cstdint>
#include <span>

#include "answers.h"

namespace qbfuzz {

struct MachineShape {
    bool driver_nodes = true;  // false: no device node ever opens (the KCS road with -dio)
    bool lan_kg = false;       // the network road's BMC has the K_G the tool was given
};

// Starts a new machine for one run. The first input byte sets the clock: its
// low bits choose the start (one start lets the tool's 32-bit microsecond
// count wrap during the run), its top bit makes the clock unreadable.
void start_machine(MachineShape shape, Answers& answers);

}  // namespace qbfuzz
