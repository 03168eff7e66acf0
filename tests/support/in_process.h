// SPDX-License-Identifier: MIT
// Helpers for tests that call the tool's functions in the test process: a
// fresh working directory for the log files, and the console captured.
#pragma once

#include <filesystem>
#include <string>

namespace qbtest {

// A new empty directory under the system's temporary directory.
std::filesystem::path fresh_temp_dir(const std::string& prefix);
// The whole content of a file; "" when it is missing.
std::string read_file(const std::filesystem::path& p);

// Makes a fresh temporary directory the working directory for the lifetime
// of the object, then goes back and removes it.
class ScopedWorkDir {
public:
    ScopedWorkDir();
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }
    std::string read(const std::string& name) const { return read_file(dir_ / name); }

private:
    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

// Sends standard output (descriptor 1 and the stdout stream) to a file while
// the object lives; text() returns what was written so far.
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    std::string text() const;

private:
    std::filesystem::path file_;
    int saved_fd_ = -1;
};

}  // namespace qbtest
