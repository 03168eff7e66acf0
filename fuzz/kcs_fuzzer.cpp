// The BMC through its KCS ports (-dio without a driver): I/O privilege, the
// port scan and every status and data byte of every transfer state, under
// every mode of the tool (whole_run.h).
#include "whole_run.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::prepare_whole_runs("qb40fuzz-kcs", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qbfuzz::fuzz_whole_run(data, size, {.driver_nodes = false}, "-dio");
    return 0;
}
