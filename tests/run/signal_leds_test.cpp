// SPDX-License-Identifier: MIT
// A run that a signal stops leaves the backplanes' LEDs as a completed run
// of the same mode leaves them: the scan's found marks (Locate and Fail
// lit) and whatever the diagnostics or the LED cycling lit are put out. A
// lit Fail LED sends a technician to pull a healthy drive, and a controller
// whose marks are still lit is skipped by the next run's scan.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>

#include "firmware_images.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

using Lines = std::vector<std::string>;

const char* const kLedKinds[] = {"activity", "locate", "fail", "rebuild"};

// Every LED lit once the events before `end` have happened, as "NAME KIND".
std::set<std::string> lit_leds(const Lines& events, size_t end = std::string::npos)
{
    std::set<std::string> out;
    for (const char* kind : kLedKinds)
        for (const std::string& name : lit(events, kind, end))
            out.insert(name + " " + kind);
    return out;
}

// Virtual time (seconds) of the n-th (from 0) trace line whose event holds `part`; -1 if none.
double nth_event_time(const std::string& trace, const std::string& part, size_t n)
{
    for (const std::string& line : lines(trace))
        if (line.find(part) != std::string::npos && n-- == 0)
            return std::stod(line.substr(0, line.find(' ')));
    return -1;
}

}  // namespace

struct StoppedLedsCase {
    const char* name;
    const char* machine;
    std::vector<std::string> args;
    std::vector<std::pair<double, std::string>> keys;  // of both runs
    const char* anchor;  // trace event (a part of it) of the completed run the signal is timed from
    size_t nth;          // its occurrence, from 0
    double after;        // seconds
    const char* signal;
    const char* second_signal = nullptr;  // 10 µs after the first, while the stop puts the LEDs out
};

// Runs the mode of `c` to its end, then again with the signal; both must
// leave the same LEDs lit: none.
void CheckStoppedRunLeds(const StoppedLedsCase& c)
{
    SimDir dir;
    dir.write("fw_4077.bin", make_image(4096, {1, 2, 0}));
    dir.machine(slow_machine(c.machine, c.keys, {}));
    const RunResult completed = dir.run(c.args);
    ASSERT_EQ(completed.status, 0) << completed.console;
    const double anchor = nth_event_time(completed.trace, c.anchor, c.nth);
    ASSERT_GE(anchor, 0) << "no " << c.anchor << " in the completed run";
    std::vector<std::pair<double, std::string>> signals = {{anchor + c.after, c.signal}};
    if (c.second_signal)
        signals.push_back({anchor + c.after + 0.00001, c.second_signal});
    dir.machine(slow_machine(c.machine, c.keys, signals));
    const RunResult r = dir.run(c.args);

    const std::string name = std::string("SIG") + c.signal;
    ASSERT_TRUE(dir.log().ends_with("\nExited on signal " + name + "\n")) << r.console;
    const Lines events = trace_events(r.trace);
    const size_t signal = event_index(events, "signal " + name);
    ASSERT_NE(signal, std::string::npos);
    EXPECT_FALSE(lit_leds(events, signal).empty()) << "nothing was lit when the signal came";
    EXPECT_EQ(lit_leds(events), lit_leds(trace_events(completed.trace)));
    EXPECT_EQ(lit_leds(events), std::set<std::string>{});
    // After the signal only the request under way and the writes that put LEDs out.
    const Lines after(events.begin() + static_cast<long>(signal), events.end());
    const auto put_out = static_cast<size_t>(std::ranges::count_if(after, puts_led_out));
    EXPECT_GT(put_out, 0u);
    EXPECT_LE(count_containing(after, " request"), put_out + 1);
}

TEST(SignalLeds, AStoppedRunLeavesTheLedsAsACompletedRunOfItsMode)
{
    // A completed diagnostics run: both LED tests and the three backplanes passed.
    const std::vector<std::pair<double, std::string>> answers = {
        {5, "y"}, {6, "y"}, {7, "y"}, {8, "y"}, {9, "y"}};
    const StoppedLedsCase cases[] = {
        {"the scan of a report, two controllers marked", "default.json", {}, {}, "fail FF", 1, 0.0002, "TERM"},
        {"the scan of -i, between a controller's two marks", "default.json", {"-i"}, {}, "bus 0x02 0xC0 locate FF",
         0, 0.00005, "INT"},
        {"the scan of an upgrade, a second signal during the stop", "upgrade_4077.json", {"-u", "-f", "fw_4077.bin"},
         {}, "fail FF", 0, 0.0002, "HUP", "TERM"},
        {"the scan of the second BMC's pass", "two_bmcs.json", {}, {}, "led bmc1 bus 0x01 0xC0 fail FF", 0, 0.0002,
         "USR1"},
        {"the diagnostics' activity question", "default.json", {"-d"}, answers, "activity FF", 2, 0.5, "QUIT"},
        {"the diagnostics' backplane question", "default.json", {"-d"}, answers, "key 0x79", 2, 0.5, "ALRM"},
        // The scan marks the three controllers, then the cycling lights every Fail LED.
        {"the LED cycling, every Fail lit", "default.json", {"-z"}, {{100, "x"}}, "fail FF", 5, 1, "TERM"},
        {"the LED cycling, one backplane lit", "default.json", {"-z"}, {{100, "x"}}, "fail FF", 5, 3, "PWR"},
    };
    for (const StoppedLedsCase& c : cases) {
        SCOPED_TRACE(c.name);
        CheckStoppedRunLeds(c);
    }
}

// The operator's Esc in the diagnostics and a key that stops the LED
// cycling already leave every LED dark: no signal needed.
TEST(SignalLeds, TheOperatorsHaltsLeaveEveryLedDark)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<double, std::string>> keys;
        int status;
    };
    const Case cases[] = {
        {"Esc at the activity question", {"-d"}, {{3, "esc"}}, 6},
        {"Esc at a backplane question", {"-d"}, {{3, "y"}, {4, "y"}, {5, "esc"}}, 6},
        {"a key in the LED cycling", {"-z"}, {{5, "x"}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(slow_machine("default.json", c.keys, {}));
        const RunResult r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status) << r.console;
        const Lines events = trace_events(r.trace);
        EXPECT_EQ(lit_leds(events), std::set<std::string>{});
        EXPECT_GT(count_containing(events, "led "), 0u);
    }
}

// An LED write the I2C layer gave up on before sending it (its mux switch
// got no answer) put nothing out: a stop that comes next puts it out.
TEST(SignalLeds, AnLedWriteThatWasNeverSentLeavesItsLedToTheStop)
{
    const std::vector<std::string> args = {"-b33", "-sc22", "-mae6", "-ms"};
    const std::string mux_switch = ": 18 52 03 E6 00 02", locate_off = ": 18 52 03 C0 00 42 00";
    SimDir dir;
    dir.machine(slow_machine("mux_channels.json", {}, {}));
    const RunResult completed = dir.run(args);
    ASSERT_EQ(completed.status, 0) << completed.console;
    // Which switch comes right before the summary's Locate-off write.
    const Lines events = trace_events(completed.trace);
    size_t switches = 0, lost = 0;
    std::string previous;
    for (const std::string& e : events) {
        if (e.find(" request") == std::string::npos)
            continue;
        if (e.ends_with(locate_off) && previous.ends_with(mux_switch))
            lost = switches;
        if (e.ends_with(mux_switch))
            ++switches;
        previous = e;
    }
    ASSERT_GT(lost, 0u);
    nlohmann::json machine = nlohmann::json::parse(slow_machine("mux_channels.json", {}, {}));
    machine["bmcs"][0]["faults"] = {{{"request", "18 52 03 E6 00 02"}, {"nth", lost}, {"lose", true}}};
    // The lost switch costs the bounded 30 s wait; the signal comes during it.
    machine["signals"] = {{{"at", nth_event_time(completed.trace, mux_switch, lost - 1) + 1}, {"signal", "TERM"}}};
    dir.machine(machine.dump());
    const RunResult r = dir.run(args);
    ASSERT_TRUE(dir.log().ends_with("\nExited on signal SIGTERM\n")) << r.console;
    const Lines stopped = trace_events(r.trace);
    EXPECT_EQ(std::ranges::count_if(stopped, [&](const std::string& e) { return e.ends_with(locate_off); }), 1)
        << "only the stop sent it";
    EXPECT_EQ(lit_leds(stopped), std::set<std::string>{});
}
