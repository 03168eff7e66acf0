// SPDX-License-Identifier: MIT
// One run of the tool inside the fuzzer's process, as if it were a fresh
// process: the tool's state as it stood at program start, exit() coming back
// here with its status, and the log closed afterwards.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qbfuzz {

// Runs `body` (which calls into the tool) and returns its result, or the
// status the tool passed to exit().
int run_tool(const std::function<int()>& body);

// The whole program: main with "qb40tool" and `args` as its command line.
// With `console`, what the tool writes on its standard output and error goes
// there instead (sanitizer reports still reach the fuzzer's standard error).
int run_main(const std::vector<std::string>& args, std::string* console = nullptr);

// Aborts (a finding) unless `status` is one of the tool's exit statuses.
void expect_tool_status(int status);
// Aborts (a finding) when `secret` is in `text`, which the tool wrote to `where`.
void expect_absent(const std::string& secret, const std::string& text, const char* where);

// Makes a fresh temporary directory, removed at exit, the working directory
// of every run: the tool writes its logs there. Called from
// LLVMFuzzerInitialize with its arguments: unless the command line names an
// -artifact_prefix, crash files go where the fuzzer was started, not into
// that directory.
void use_scratch_directory(const char* name, int* argc, char*** argv);

// The scratch directory, for the files a harness puts there for the tool.
const std::filesystem::path& scratch_directory();

}  // namespace qbfuzz
