// SPDX-License-Identifier: MIT
// The whole program on a machine whose every answer comes from the input:
// discovery, exchange, I2C, scan, VPD, summary, upgrade and flash, LED
// cycling and diagnostics, with a command line the input chooses.
//
// Input: two bytes choosing options (a bit each, in the order of
// kOptions in whole_run.cpp), one byte whose low three bits choose the image
// (none or one of the images written at start) and whose top bits add
// --strict and --report, a byte (two for more than 8) choosing the
// harness's own options when it has any, then the machine's answers
// (fuzz_machine.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fuzz_machine.h"

namespace qbfuzz {

// An option the harness adds when its bit is set; `needs` is the part of
// the machine that goes with it.
struct HarnessOption {
    std::vector<std::string> words;
    bool MachineShape::*needs = nullptr;
};

struct WholeRun {
    MachineShape shape;
    std::vector<std::string> fixed_args;    // end the command line
    std::vector<HarnessOption> options;     // at most 16: a bit each of one input byte, or two
    // What the tool must never write: the run is a finding when one of them
    // is in its console (standard output and error) or in any file it leaves
    // in the scratch directory.
    std::vector<std::string> secrets;
};

// The scratch directory with the images in it (LLVMFuzzerInitialize).
void prepare_whole_runs(const char* name, int* argc, char*** argv);

// One run.
void fuzz_whole_run(const uint8_t* data, size_t size, const WholeRun& run);
// One run without options of the harness; `fixed_args` end the command line.
void fuzz_whole_run(const uint8_t* data, size_t size, MachineShape shape, std::initializer_list<const char*> fixed_args);

}  // namespace qbfuzz
