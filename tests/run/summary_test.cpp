// SPDX-License-Identifier: MIT
// The device summary: its lines on the console and in the log (or the log
// alone with several BMCs, then the total summary), the line for address
// 0x40 of a QB4077, the delay countdown, the closing pause, the LED cycling
// stopped by a key in each of its phases, and a run that finds nothing.
#include <gtest/gtest.h>

#include "sim_run.h"

using namespace qbtest;

namespace {

// Virtual time (seconds) of the n-th trace line whose event is `event`; -1 if none.
double time_of(const std::string& trace, const std::string& event, size_t n = 0)
{
    for (const std::string& line : lines(trace)) {
        size_t blank = line.find(' ');
        if (blank != std::string::npos && line.substr(blank + 1) == event && n-- == 0)
            return std::stod(line.substr(0, blank));
    }
    return -1;
}

}  // namespace

TEST(Summary, GoesToConsoleAndLogWithOneBmcAndToTheLogAloneWithTwo)
{
    const std::vector<std::string> first_bmc = {
        "QB4077 Device:", "0: BusID:0x01 ChipID:77 FW:[0x01:0x00] ADR:0xc0 Config:0x05",
        "      Adr 0x40:  51 42 2d 34 30 37 37 2d 42 50 30 31 0d 0a",
        "QB4073 Device:", "1: BusID:0x02 ChipID:73 FW:[0x05:0x02] ADR:0xc0 Config:0x01"};
    std::vector<std::string> one_bmc = first_bmc, total = first_bmc;
    one_bmc.insert(one_bmc.end(), {"QB4080 Device:", "2: BusID:0x03 ChipID:80 FW:[0x00:0x04] ADR:0xc0 Config:0x03"});
    total.erase(total.begin() + 2);  // the total summary has no line for address 0x40
    total.insert(total.end(), {"QB4080 Device:", "2: BusID:0x01 ChipID:80 FW:[0x00:0x04] ADR:0xc0 Config:0x03"});
    struct Case {
        const char* machine;
        std::vector<std::string> on_console, in_log, total;
    };
    const Case cases[] = {{"default.json", one_bmc, one_bmc, {}}, {"two_bmcs.json", {}, first_bmc, total}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(machine_file(c.machine));
        auto r = dir.run({"-z"});  // no key script: the input at its end stops the cycling at once
        ASSERT_EQ(r.status, 0);
        auto console = lines(r.console), log = lines(dir.log());
        EXPECT_EQ(lines_after(console, "DEVICE SUMMARY", c.on_console.size()), c.on_console);
        EXPECT_EQ(count_lines(console, "All LEDs turned off. Exiting..."), c.on_console.empty() ? 0u : 1u);
        EXPECT_EQ(lines_after(log, "DEVICE SUMMARY", c.in_log.size()), c.in_log);
        EXPECT_EQ(count_lines(log, "All LEDs turned off. Exiting..."), c.total.empty() ? 1u : 2u);
        // Everything after the total summary's heading: its records and nothing more.
        EXPECT_EQ(lines_after(console, "TOTAL DEVICE SUMMARY", console.size()), c.total);
    }
}

TEST(Summary, TheDelayCountsDownOnTheConsoleOnlyAndASpaceHoldsTheSummaryUntilTheNextKey)
{
    SimDir dir;
    dir.machine(with_keys(machine_file("default.json"), {{0, "space"}, {50, "x"}}));
    auto r = dir.run({"-cd3"});
    EXPECT_NE(r.console.find("\r delay...: 3 \r\r delay...: 2 \r\r delay...: 1 \r"), std::string::npos) << r.console;
    EXPECT_EQ(dir.log().find("delay...:"), std::string::npos);
    EXPECT_DOUBLE_EQ(time_of(r.trace, "sleep 1000000", 2) - time_of(r.trace, "sleep 1000000", 0), 2.0);
    EXPECT_DOUBLE_EQ(time_of(r.trace, "key 0x78"), 50);
    // The keys are read after the countdown and the clearing of the found marks.
    auto events = trace_events(r.trace);
    EXPECT_LT(event_index(events, "led bmc0 bus 0x03 0xC0 fail 00"), event_index(events, "key 0x20"));
    EXPECT_LT(event_index(events, "sleep 1000000", 2), event_index(events, "key 0x20"));
}

TEST(Summary, NothingFoundMeansNoCountdownNoCyclingAndNoQuestions)
{
    SimDir dir;
    dir.machine(R"({"keys": [], "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": []}}}]})");
    auto r = dir.run({"-z", "-cd3", "-d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_after(lines(r.console), "DEVICE SUMMARY", 2),
              (std::vector<std::string>{"NO DEVICES FOUND", std::string(50, '-')}));
    for (const char* absent : {"delay...:", "Cycling", "DIAGNOSTICS"})
        EXPECT_EQ(r.console.find(absent), std::string::npos) << absent;
    EXPECT_EQ(r.trace.find("terminal raw"), std::string::npos);
}

TEST(Summary, AKeyStopsTheCyclingInEveryPhaseAndLeavesItsLedsOff)
{
    auto run_with_key_at = [](double at) {
        SimDir dir;
        dir.machine(with_keys(machine_file("default.json"), {{at, "x"}}));
        return dir.run({"-z"});
    };
    // A first run with a late key shows when the first phase begins.
    double start = time_of(run_with_key_at(30).trace, "sleep 2000000");
    ASSERT_GE(start, 0) << "no phase found";
    const std::string bp[] = {"bmc0 bus 0x01 0xC0", "bmc0 bus 0x02 0xC0", "bmc0 bus 0x03 0xC0"};
    const std::set<std::string> all(std::begin(bp), std::end(bp));
    // Phase 0 all lit, 1 to 3 one backplane each, 4 all dark, 5 all lit again.
    const std::set<std::string> lit_in_phase[] = {all, {bp[0]}, {bp[1]}, {bp[2]}, {}, all};
    for (int phase = 0; phase < 6; ++phase) {
        SCOPED_TRACE(phase);
        auto r = run_with_key_at(start + 2 * phase + 1);
        ASSERT_EQ(r.status, 0);
        auto events = trace_events(r.trace);
        size_t key = event_index(events, "key 0x78");
        ASSERT_NE(key, std::string::npos);
        EXPECT_EQ(lit(events, "fail", key), lit_in_phase[phase]);
        EXPECT_EQ(std::count(events.begin(), events.begin() + static_cast<long>(key), "sleep 2000000"), phase + 1);
        EXPECT_EQ(lit(events, "fail"), std::set<std::string>{});
        EXPECT_EQ(lit(events, "locate"), std::set<std::string>{});
        EXPECT_EQ(count_lines(lines(r.console),
                              "Cycling through the LEDs on the 3 backplanes found...(press any key to stop)"), 1u);
    }
}
