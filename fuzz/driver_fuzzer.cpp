// SPDX-License-Identifier: MIT
// The BMC through the IPMI driver: device nodes that open or not, sends,
// selects and truncating receives with any id, length and bytes, under every
// mode of the tool (whole_run.h).
#include "whole_run.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::prepare_whole_runs("qb40fuzz-driver", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qbfuzz::fuzz_whole_run(data, size, {.driver_nodes = true}, {});
    return 0;
}
