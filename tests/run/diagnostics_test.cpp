// SPDX-License-Identifier: MIT
// Diagnostics through the whole run: the operator's keys (Y, N, L, Esc, other
// keys, the end of input), the questions and their LEDs, the summary, and
// the exit status each way ends in. A run that finds nothing asks nothing
// (summary_test.cpp).
#include <gtest/gtest.h>

#include "sim_run.h"

using namespace qbtest;

namespace {

// Keys typed well after the summary's closing pause, one second apart, so
// that only the diagnostics read them.
std::string with_keys(const std::vector<std::string>& keys, const std::string& machine = machine_file("default.json"))
{
    std::vector<std::pair<double, std::string>> script;
    for (const std::string& key : keys)
        script.push_back({100 + script.size(), key});
    return qbtest::with_keys(machine, script);
}

const std::string kEsc = "    [ESC] Key pressed. Diagnostics aborted.";
const std::string kAsk[3] = {"    Is the active backplane a 8 slot with 3 drive(s) inserted?",
                             "    Is the active backplane a 4 slot with 2 drive(s) inserted?",
                             "    Is the active backplane a 8 slot with 1 drive(s) inserted?"};
const std::string kBp[3] = {"bmc0 bus 0x01 0xC0", "bmc0 bus 0x02 0xC0", "bmc0 bus 0x03 0xC0"};

}  // namespace

TEST(Diagnostics, AnswersDecideTheSummaryAndEscOrTheEndOfInputAbortsWith6)
{
    struct Case {
        const char* name;
        std::vector<std::string> keys;
        int status;
        std::vector<std::string> expected;  // console lines, in this order
        long key_lines;                     // lines that report a key
    };
    const Case cases[] = {
        {"all yes", {"y", "Y", "y", "Y", "y"}, 0,
         {"    [Y] Key pressed. Test passed.", "    [Y] Key pressed. Test passed.", kAsk[0],
          "    Drives installed in slots: 0,1,3", "    [Y] Key pressed. Backplane passed.", kAsk[1], kAsk[2],
          "    Drives installed in slots: 7", "DIAGNOSTICS SUMMARY:", "Devices Tested: Addr: 0xc0, BusID: 0x03:",
          "Activity LED Test...........................Pass", "Status LED Test.............................Pass",
          "Slots Mated Test............................Pass"},
         5},
        // Keys that fit no choice are ignored; L is offered only per backplane.
        {"no, loop and stray keys", {"x", "n", "l", "Y", "L", "n", "q", "y", "y"}, 0,
         {"    [N] Key pressed. Test failed.", "    [Y] Key pressed. Test passed.", kAsk[0],
          "    [L] Key pressed. Running test again.", kAsk[0], "    [N] Key pressed. Test failed", kAsk[1], kAsk[2],
          "Activity LED Test...........................Fail", "Status LED Test.............................Pass",
          "Slots Mated Test............................Fail"},
         6},
        {"esc at the activity question", {"esc"}, 6, {"    Are all activity (green) LEDs active?", kEsc}, 1},
        {"esc at the status question", {"n", "esc"}, 6, {"    Are all status (amber) LEDs active?", kEsc}, 2},
        {"input ends at the second backplane", {"y", "y", "y"}, 6, {kAsk[1], kEsc}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(with_keys(c.keys));
        auto r = dir.run({"-d"});
        EXPECT_EQ(r.status, c.status);
        auto console = lines(r.console);
        EXPECT_EQ(missing_in_order(console, c.expected), "");
        EXPECT_EQ(std::count_if(console.begin(), console.end(),
                                [](const std::string& l) { return l.find("] Key pressed.") != std::string::npos; }),
                  c.key_lines);
        // An aborted report run returns at once: no summary, no closing lines.
        auto log = dir.log();
        EXPECT_EQ(log.find("DIAGNOSTICS SUMMARY:") == std::string::npos, c.status == 6);
        EXPECT_EQ(log.find("Exited with return code: 0x00") != std::string::npos, c.status == 0);
        EXPECT_TRUE(c.status == 0 || log.substr(0, log.find_last_not_of('\n') + 1).ends_with(kEsc)) << log;
        auto events = trace_events(r.trace);
        for (const char* kind : {"activity", "locate", "fail", "rebuild"})
            EXPECT_EQ(lit(events, kind), std::set<std::string>{}) << kind;
    }
}

TEST(Diagnostics, EachQuestionShowsItsLedsAndABackplaneThatDoesNotAnswerStopsNoOther)
{
    // The first backplane refuses every write to its activity LEDs.
    std::string machine = machine_file("default.json");
    machine.insert(machine.find("\"buses\""), R"("faults": [{"request": "18 52 01 C0 00 40", "completion_code":
                                                  "0x83", "count": "all"}], )");
    SimDir dir;
    dir.machine(with_keys({"y", "y", "y", "y", "y"}, machine));
    auto r = dir.run({"-d"});
    ASSERT_EQ(r.status, 0);
    auto events = trace_events(r.trace);
    const std::set<std::string> all(std::begin(kBp), std::end(kBp)), none;
    // All activity LEDs, all status LEDs, then each backplane alone.
    const std::set<std::string> activity[] = {{kBp[1], kBp[2]}, none, none, {kBp[1]}, {kBp[2]}};
    const std::set<std::string> fail[] = {none, all, {kBp[0]}, {kBp[1]}, {kBp[2]}};
    for (size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        size_t key = event_index(events, "key 0x", k);
        ASSERT_NE(key, std::string::npos);
        EXPECT_EQ(lit(events, "activity", key), activity[k]);
        EXPECT_EQ(lit(events, "fail", key), fail[k]);
        EXPECT_EQ(lit(events, "locate", key), none);
    }
}
