// SPDX-License-Identifier: MIT
// The whole program on a machine whose every answer comes from the input:
// discovery, exchange, I2C, scan, VPD, summary, upgrade and flash, LED
// cycling and diagnostics, with a command line the input chooses.
//
// Input: two bytes choosing options (a bit each, in the order of
// kOptions in whole_run.cpp), one byte whose low three bits choose the image
// (none or one of the images written at start) and whose top bits add
// --strict and --report, then the machine's answers (fuzz_machine.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "fuzz_machine.h"

namespace qbfuzz {

// The scratch directory with the images in it (LLVMFuzzerInitialize).
void prepare_whole_runs(const char* name, int* argc, char*** argv);

// One run; `fixed_args` end the command line.
void fuzz_whole_run(const uint8_t* data, size_t size, MachineShape shape, std::initializer_list<const char*> fixed_args);

}  // namespace qbfuzz
