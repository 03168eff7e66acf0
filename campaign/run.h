// SPDX-License-Identifier: MIT
// Running one scenario on qb40tool-sim: a fresh directory per run, the tool
// started in its work/ subdirectory with the machine file, the trace on and
// standard input from /dev/null, killed when it overruns the real-time
// bound; and what the run left behind, for the checks.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "scenario.h"

namespace campaign {

struct RunOutput {
    int status = -1;                          // exit status, when the tool exited
    int signal = 0;                           // the signal that ended it, 0 when it exited
    bool timed_out = false;                   // killed at the real-time bound
    double seconds = 0;                       // real time the run took
    std::string console;                      // standard output
    std::string errors;                       // standard error
    std::string trace;                        // QB40SIM_TRACE
    std::optional<std::string> log, logprev;  // nullopt: the file does not exist
    std::optional<std::string> report;        // the file of --report, when there is one
    std::optional<std::string> capture;       // the file of --capture, when there is one
    std::optional<std::string> metrics;       // the file of --metrics, when there is one
    // Every regular file in the working directory afterwards (relative path)
    // with its permission bits, and whether it is a symbolic link.
    std::map<std::string, unsigned> modes;
    std::set<std::string> links;
    // Each file the run only reads that the scenario planted (the image,
    // the password of --lan), as it stands afterwards (nullopt: gone).
    std::map<std::string, std::optional<std::string>> inputs;
};

// The directory of one run:
//   machine.json, command.txt   what was run (kept with a failing run)
//   scenario.json               all of it, to be replayed (campaign/found/)
//   work/                       the tool's working directory: images, then its logs
//   stdout.txt, stderr.txt, trace.txt
// It is removed with the object unless keep() moved it away.
class RunDir {
public:
    // `dir` is made afresh (replacing what is there).
    RunDir(std::filesystem::path dir, const Scenario& scenario);
    ~RunDir();
    RunDir(const RunDir&) = delete;
    RunDir& operator=(const RunDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

    RunOutput run(const std::filesystem::path& tool, std::chrono::milliseconds bound) const;
    // Moves the whole directory to `destination` (replacing what is there).
    void keep(const std::filesystem::path& destination);

private:
    std::filesystem::path dir_;
    std::vector<std::string> args_;
    std::optional<std::string> report_file_, capture_file_, metrics_file_;
    std::set<int> closed_;
    std::vector<std::string> inputs_;
};

}  // namespace campaign
