// SPDX-License-Identifier: MIT
// The BMC through its KCS ports (-dio without a driver): I/O privilege, the
// port scan and every status and data byte of every transfer state, under
// every mode of the tool (whole_run.h). Only bus 1 is scanned: the driver
// fuzzer covers the scan's ranges, and a run whose answers run out after
// the BMC was found then ends after one bus instead of timing out on
// fifteen.
#include "whole_run.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::prepare_whole_runs("qb40fuzz-kcs", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qbfuzz::fuzz_whole_run(data, size, {.driver_nodes = false}, {"-dio", "-b11"});
    return 0;
}
