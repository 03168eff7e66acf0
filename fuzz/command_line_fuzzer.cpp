// SPDX-License-Identifier: MIT
// The command line: the parser with its errors and conflicts, the help
// screen and the command-line report in the log. The machine has no BMC, so
// every run ends after discovery.
//
// Input: the arguments, each ended by a NUL byte (the last one may end with
// the input). The report named after --report and the capture named after
// --capture stay in the scratch directory: their slashes become
// underscores, or the fuzzer could write over any file of the machine it
// runs on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "answers.h"
#include "fuzz_machine.h"
#include "tool_run.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::use_scratch_directory("qb40fuzz-command-line", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t start = 0; start < size;) {
        size_t end = start;
        while (end < size && text[end] != '\0')
            end++;
        args.emplace_back(text + start, end - start);
        start = end + 1;
    }
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "--report" || args[i] == "--capture")
            std::replace(args[i + 1].begin(), args[i + 1].end(), '/', '_');
    qbfuzz::Answers nothing;
    qbfuzz::start_machine({}, nothing);
    qbfuzz::expect_tool_status(qbfuzz::run_main(args));
    return 0;
}
