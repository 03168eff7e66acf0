// SPDX-License-Identifier: MIT
// Running qb40tool-sim as a user would: in a fresh working directory, with a
// machine file, arguments and standard input, and collecting what the user
// and the scripts see afterwards (exit status, console, log files) together
// with the simulator's trace.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qbtest {

struct RunResult {
    int status = -1;        // exit status; 128 + signal when killed
    int signal = 0;         // the signal that ended the process, 0 when it exited
    std::string console;    // standard output
    std::string errors;     // standard error
    std::string trace;      // QB40SIM_TRACE
    std::string panel;      // QB40SIM_PANEL, when the run drew it into a file of its own
};

class SimDir {
public:
    SimDir();
    ~SimDir();
    SimDir(const SimDir&) = delete;
    SimDir& operator=(const SimDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

    // The machine file for the next runs; empty text: the built-in default.
    void machine(const std::string& json) { machine_ = json; }
    // Standard input of the next runs; by default /dev/null.
    void input(const std::string& text) { input_ = text; has_input_ = true; }
    // Draw the live panel in the next runs: into RunResult::panel, or into `path`.
    void panel(const std::string& path = "") { panel_ = path.empty() ? kOwnPanelFile : path; }
    // Start the next runs with these of the descriptors 0 to 2 closed.
    void closed(std::set<int> descriptors) { closed_ = std::move(descriptors); }
    // Start the next runs with this file-creation mask (else the test's own).
    void umask(unsigned mask) { umask_ = mask; }
    // Start the next runs with this environment variable set.
    void env(const std::string& name, const std::string& value) { env_[name] = value; }

    void write(const std::string& name, const std::string& bytes) const;
    bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
    std::string read(const std::string& name) const;  // "" when missing

    RunResult run(const std::vector<std::string>& args) const;

    // Shorthands for the log files of the last run.
    std::string log() const { return read("log.txt"); }
    std::string logprev() const { return read("logprev.txt"); }

private:
    std::filesystem::path dir_;
    std::string machine_;
    std::string input_;
    bool has_input_ = false;
    static constexpr const char* kOwnPanelFile = "-";
    std::string panel_;  // empty: no panel
    std::set<int> closed_;
    int umask_ = -1;  // -1: the test's own
    std::map<std::string, std::string> env_;
};

// In a child after fork(): becomes qb40tool-sim with `args` (after the
// program name); returns only when that fails.
void exec_sim(const std::vector<std::string>& args);

// Keeps a report the tool wrote for the one check of every report against
// the report's schema after all tests (tests/CMakeLists.txt). SimDir::run
// keeps those of its runs itself; a test that runs the tool otherwise
// hands its reports here. Returns where it was kept.
std::filesystem::path keep_report(const std::string& text);

// Lines of a text, without their line ends ("\r\n" or "\n").
std::vector<std::string> lines(const std::string& text);

// The events of a trace, without their virtual times ("sleep 3000000").
std::vector<std::string> trace_events(const std::string& trace);

// Empty when every line of `expected` appears in `actual` in this order
// (other lines may come between); otherwise says which one is missing.
std::string missing_in_order(const std::vector<std::string>& actual, const std::vector<std::string>& expected);

// The built-in machines of sim/machines/.
std::string machine_file(const std::string& name);

// A machine with `count` BMCs on /dev/ipmi0 on, without buses: no scan finds anything.
std::string empty_bmcs(int count);

// `machine` with the operator's key script ({second, key name}) and its clock
// started at 1700000000 (2023-11-14T22:13:20Z), so that two runs log alike.
std::string with_keys(const std::string& machine, const std::vector<std::pair<double, std::string>>& keys);

// `name` of sim/machines with each BMC's answers 0.1 ms late (so that a scan
// takes time), the operator's keys (as with_keys) and the machine file's
// signals ({second, "TERM"}).
std::string slow_machine(const std::string& name, const std::vector<std::pair<double, std::string>>& keys,
                         const std::vector<std::pair<double, std::string>>& signals);

// Picking lines out of console and log text.
std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix);
// How many lines of `text` start with `prefix`.
size_t lines_starting(const std::string& text, const std::string& prefix);
size_t count_lines(const std::vector<std::string>& lines, const std::string& line);
// How many of `lines` contain `part`.
size_t count_containing(const std::vector<std::string>& lines, const std::string& part);
// Up to `count` lines after the first line equal to `line`.
std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count);
// The line right after the first line equal to `line`; "" when there is none.
std::string line_after(const std::vector<std::string>& lines, const std::string& line);

// Index of the n-th (from 0) event that begins with `prefix`; npos if none.
size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n = 0);
// Whether a trace event is a request that puts an LED out: a register
// write of 0x00 to 0x40, 0x42, 0x44 or 0x46.
bool puts_led_out(const std::string& event);
// The controllers whose `kind` LEDs ("fail", ...) are lit once the events
// before `end` ("led NAME KIND VALUE", times stripped) have happened.
std::set<std::string> lit(const std::vector<std::string>& events, const std::string& kind,
                          size_t end = std::string::npos);

}  // namespace qbtest
