// The device summary: its lines on the console and in the log (or the log
// alone with several BMCs), the found mark cleared, the line for address
// 0x40 of a QB4077, the delay countdown, the closing pause and the LED
// cycling stopped by a key in each of its phases.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "report_helpers.h"
#include "sim_run.h"

using qbtest::count_lines;
using qbtest::LedBoard;
using qbtest::lines;
using qbtest::lines_after;
using qbtest::lines_starting;
using qbtest::machine_file;
using qbtest::missing_in_order;
using qbtest::SimDir;
using qbtest::trace_events;

namespace {

const std::string kDashes50(50, '-');

const std::vector<std::string> kDefaultSummary = {
    "QB4077 Device:",
    "0: BusID:0x01 ChipID:77 FW:[0x01:0x00] ADR:0xc0 Config:0x05",
    "      Adr 0x40:  51 42 2d 34 30 37 37 2d 42 50 30 31 0d 0a",
    "QB4073 Device:",
    "1: BusID:0x02 ChipID:73 FW:[0x05:0x02] ADR:0xc0 Config:0x01",
    "QB4080 Device:",
    "2: BusID:0x03 ChipID:80 FW:[0x00:0x04] ADR:0xc0 Config:0x03",
};

const std::vector<std::string> kDefaultControllers = {"bmc0 bus 0x01 0xC0", "bmc0 bus 0x02 0xC0",
                                                      "bmc0 bus 0x03 0xC0"};

const char kOneEmptyBus[] = R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": []}}}]})";

std::string with_keys(const std::string& machine, const std::string& keys)
{
    // Adds a key script to a machine file's top level.
    return "{\"keys\": " + keys + ", " + machine.substr(machine.find('{') + 1);
}

// Virtual time (seconds) of the n-th trace line whose event is `event`.
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

TEST(Summary, ListsEveryRecordAndClearsTheFoundMark)
{
    SimDir dir;
    auto r = dir.run({});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lines_after(lines(r.console), "DEVICE SUMMARY", kDefaultSummary.size()), kDefaultSummary);
    EXPECT_EQ(lines_after(lines(dir.log()), "DEVICE SUMMARY", kDefaultSummary.size()), kDefaultSummary);
    auto events = trace_events(r.trace);
    LedBoard after_scan(events, qbtest::event_index(events, "led bmc0 bus 0x01 0xC0 locate 00"));
    LedBoard after_run(events);
    for (const std::string& c : kDefaultControllers) {
        SCOPED_TRACE(c);
        EXPECT_EQ(after_scan.get(c, "fail"), "FF");
        EXPECT_EQ(after_run.get(c, "locate"), "00");
        EXPECT_EQ(after_run.get(c, "fail"), "00");
    }
}

TEST(Summary, OnlyAQB4077GetsTheLineForAddress0x40)
{
    struct Case {
        const char* machine;
        std::vector<std::string> args;
        std::string record;  // the QB4077's record line
        std::vector<std::string> adr_lines;
    };
    const Case cases[] = {
        {"default.json",
         {},
         "0: BusID:0x01 ChipID:77 FW:[0x01:0x00] ADR:0xc0 Config:0x05",
         {"      Adr 0x40:  51 42 2d 34 30 37 37 2d 42 50 30 31 0d 0a"}},
        // Six models; the QB4077 has nothing at 0x40.
        {"chip_ids.json",
         {"-b1b"},
         "2: BusID:0x03 ChipID:77 FW:[0x02:0x03] ADR:0xc0 Config:0x03",
         {"       Adr 0x40 (no response)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(machine_file(c.machine));
        auto r = dir.run(c.args);
        ASSERT_EQ(r.status, 0);
        std::vector<std::string> adr;
        for (const std::string& l : lines(r.console))
            if (l.find("Adr 0x40") != std::string::npos)
                adr.push_back(l);
        EXPECT_EQ(adr, c.adr_lines);
        EXPECT_EQ(qbtest::line_after(lines(r.console), c.record), c.adr_lines[0]);
    }
}

TEST(Summary, WithSeveralBmcsItGoesToTheLogOnly)
{
    struct Case {
        const char* machine;
        size_t passes;
    };
    const Case cases[] = {{"default.json", 1}, {"two_bmcs.json", 2}, {"four_bmcs.json", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(machine_file(c.machine));
        auto r = dir.run({"-z"});  // no key script: the empty input stops the cycling at once
        ASSERT_EQ(r.status, 0);
        auto log = lines(dir.log());
        auto console = lines(r.console);
        EXPECT_EQ(count_lines(log, "DEVICE SUMMARY"), c.passes);
        EXPECT_EQ(count_lines(log, "All LEDs turned off. Exiting..."), c.passes);
        size_t on_console = c.passes == 1 ? 1 : 0;
        EXPECT_EQ(count_lines(console, "DEVICE SUMMARY"), on_console);
        EXPECT_EQ(count_lines(console, "All LEDs turned off. Exiting..."), on_console);
        // Record 0 shows once: in the summary with one BMC, in the total summary with several.
        EXPECT_EQ(lines_starting(console, "0: BusID:").size(), 1u);
    }
}

TEST(Summary, AnEmptyTableHasNoCountdownAndNoCycling)
{
    SimDir dir;
    dir.machine(kOneEmptyBus);
    auto r = dir.run({"-z", "-cd3"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lines_after(lines(r.console), "DEVICE SUMMARY", 2),
              (std::vector<std::string>{"NO DEVICES FOUND", kDashes50}));
    EXPECT_EQ(r.console.find("delay...:"), std::string::npos);
    EXPECT_EQ(r.console.find("Cycling"), std::string::npos);
}

TEST(Summary, TheDelayCountsDownOnTheConsoleOnly)
{
    SimDir dir;
    auto r = dir.run({"-cd3"});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.console.find("\r delay...: 3 \r\r delay...: 2 \r\r delay...: 1 \r"), std::string::npos) << r.console;
    EXPECT_EQ(dir.log().find("delay...:"), std::string::npos);
    double first = time_of(r.trace, "sleep 1000000", 0);
    EXPECT_DOUBLE_EQ(time_of(r.trace, "sleep 1000000", 2) - first, 2.0);
}

TEST(Summary, ASpaceHoldsTheSummaryUntilTheNextKey)
{
    struct Case {
        const char* keys;
        std::vector<std::string> after_key;  // events from the first key on
        double x_taken_at;                   // seconds
    };
    const Case cases[] = {
        {R"([{"at": 0, "key": "space"}, {"at": 50, "key": "x"}])", {"key 0x20", "key 0x78"}, 50},
        {R"([{"at": 0, "key": "x"}])", {"key 0x78", "sleep 1000000"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        SimDir dir;
        dir.machine(with_keys(machine_file("default.json"), c.keys));
        auto r = dir.run({});
        ASSERT_EQ(r.status, 0);
        auto events = trace_events(r.trace);
        size_t first_key = qbtest::event_index(events, "key ");
        ASSERT_NE(first_key, std::string::npos);
        ASSERT_GE(events.size(), first_key + c.after_key.size());
        EXPECT_EQ(std::vector<std::string>(events.begin() + static_cast<long>(first_key),
                                           events.begin() + static_cast<long>(first_key + c.after_key.size())),
                  c.after_key);
        // The keys are read after the summary has cleared the found marks.
        EXPECT_LT(qbtest::event_index(events, "led bmc0 bus 0x03 0xC0 fail 00"), first_key);
        if (c.x_taken_at > 0) {
            EXPECT_DOUBLE_EQ(time_of(r.trace, "key 0x78"), c.x_taken_at);
        }
    }
}

TEST(Summary, AKeyStopsTheCyclingInEveryPhaseAndLeavesItsLedsOff)
{
    // A first run with a late key shows when the first phase begins.
    SimDir probe;
    probe.machine(with_keys(machine_file("default.json"), R"([{"at": 30, "key": "x"}])"));
    auto first = probe.run({"-z"});
    ASSERT_EQ(first.status, 0);
    double start = time_of(first.trace, "sleep 2000000");
    ASSERT_GE(start, 0) << "no phase found";

    struct Case {
        const char* phase;
        int index;  // 0 all, 1 to 3 one backplane, 4 all dark, 5 all again
        std::set<std::string> lit;
    };
    const std::set<std::string> all(kDefaultControllers.begin(), kDefaultControllers.end());
    const Case cases[] = {
        {"all", 0, all},
        {"backplane 0", 1, {kDefaultControllers[0]}},
        {"backplane 1", 2, {kDefaultControllers[1]}},
        {"backplane 2", 3, {kDefaultControllers[2]}},
        {"dark", 4, {}},
        {"all, second pass", 5, all},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        SimDir dir;
        std::string at = std::to_string(start + 2 * c.index + 1);
        dir.machine(with_keys(machine_file("default.json"), R"([{"at": )" + at + R"(, "key": "x"}])"));
        auto r = dir.run({"-z"});
        ASSERT_EQ(r.status, 0);
        auto events = trace_events(r.trace);
        size_t key = qbtest::event_index(events, "key 0x78");
        ASSERT_NE(key, std::string::npos);
        EXPECT_EQ(LedBoard(events, key).lit("fail"), c.lit);
        EXPECT_EQ(std::count(events.begin(), events.begin() + static_cast<long>(key), "sleep 2000000"),
                  c.index + 1);
        LedBoard after(events);
        EXPECT_EQ(after.lit("fail"), std::set<std::string>{});
        EXPECT_EQ(after.lit("locate"), std::set<std::string>{});
        EXPECT_EQ(missing_in_order(lines(r.console),
                                   {"Cycling through the LEDs on the 3 backplanes found...(press any key to stop)",
                                    "All LEDs turned off. Exiting..."}),
                  "");
    }
}
