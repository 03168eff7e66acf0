// Helpers for the tests of the scan, VPD dump, summary, LED commands and
// diagnostics: picking lines out of console and log text, replaying the LED
// changes of a trace, and a bench that runs those functions in the test
// process on a simulated machine with one open BMC.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "in_process.h"

namespace qbtest {

// The line right after the first line equal to `line`; "" when there is none.
std::string line_after(const std::vector<std::string>& lines, const std::string& line);

// The lines that begin with `prefix`, in order.
std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix);

// The `count` lines after the first line equal to `line` (fewer at the end).
std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count);

// The summaries' heading lines of each record: "QB4077 Device:".
std::vector<std::string> device_headings(const std::vector<std::string>& lines);

size_t count_lines(const std::vector<std::string>& lines, const std::string& line);

// The LEDs of every controller, as the trace's "led NAME KIND VALUE" lines
// leave them. A controller the trace never mentions is not in the board.
class LedBoard {
public:
    // Replays the events of a trace (times stripped, see trace_events) up to,
    // not including, the `stop_before`-th event (all when npos).
    explicit LedBoard(const std::vector<std::string>& events, size_t stop_before = std::string::npos);

    // "FF", "00", ...; "" when the trace never changed it.
    std::string get(const std::string& controller, const std::string& kind) const;
    // Controllers whose `kind` LEDs are lit (value other than 00).
    std::set<std::string> lit(const std::string& kind) const;

private:
    std::map<std::string, std::map<std::string, std::string>> leds_;
};

// Index of the n-th (from 0) event that begins with `prefix`; npos if none.
size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n = 0);

// The scan, summary and LED functions in this process: installs the machine,
// traces it to a file, opens its first BMC, starts a log in a fresh working
// directory, and clears the device tables. The console is silenced (quiet
// mode); the log receives every line. Puts the defaults back at the end.
class ReportBench {
public:
    explicit ReportBench(const std::string& machine_json);
    ~ReportBench();
    ReportBench(const ReportBench&) = delete;
    ReportBench& operator=(const ReportBench&) = delete;

    std::vector<std::string> log_lines() const;
    // Trace events since the bench started (or since the last forget()).
    std::vector<std::string> events() const;
    void forget();

private:
    ScopedWorkDir dir_;
    size_t seen_ = 0;
};

}  // namespace qbtest
