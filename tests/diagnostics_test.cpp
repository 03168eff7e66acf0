// Diagnostics through the whole run: the operator's keys (Y, N, L, Esc, other
// keys, the end of input), the questions and their LEDs, the summary, and
// the exit status each way ends in.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "report_helpers.h"
#include "sim_run.h"

using qbtest::count_lines;
using qbtest::LedBoard;
using qbtest::lines;
using qbtest::machine_file;
using qbtest::missing_in_order;
using qbtest::SimDir;
using qbtest::trace_events;

namespace {

// Keys typed well after the summary's closing pause, one second apart, so
// that only the diagnostics read them.
std::string key_script(const std::vector<std::string>& keys)
{
    std::string script = "[";
    for (size_t i = 0; i < keys.size(); ++i)
        script += (i ? ", " : "") + std::string(R"({"at": )") + std::to_string(100 + i) + R"(, "key": ")" + keys[i] +
                  "\"}";
    return script + "]";
}

std::string default_machine_with_keys(const std::vector<std::string>& keys)
{
    std::string machine = machine_file("default.json");
    return "{\"keys\": " + key_script(keys) + ", " + machine.substr(machine.find('{') + 1);
}

const std::string kEsc = "    [ESC] Key pressed. Diagnostics aborted.";

const std::vector<std::string> kQuestions[3] = {
    {"    Is the active backplane a 8 slot with 3 drive(s) inserted?", "    Drives installed in slots: 0,1,3"},
    {"    Is the active backplane a 4 slot with 2 drive(s) inserted?", "    Drives installed in slots: 0,2"},
    {"    Is the active backplane a 8 slot with 1 drive(s) inserted?", "    Drives installed in slots: 7"},
};

std::vector<std::string> result_lines(const char* activity, const char* status, const char* mated)
{
    return {std::string("Activity LED Test...........................") + activity,
            std::string("Status LED Test.............................") + status,
            std::string("Slots Mated Test............................") + mated};
}

}  // namespace

TEST(Diagnostics, AnswersDecideTheSummaryAndEscOrTheEndOfInputAbortsWith6)
{
    struct Case {
        const char* name;
        std::vector<std::string> keys;
        int status;
        std::vector<std::string> expected;  // console lines, in this order
        size_t key_lines;                   // lines that report a key
    };
    const Case cases[] = {
        {"all yes",
         {"y", "Y", "y", "Y", "y"},
         0,
         {"ENTERING DIAGNOSTICS MODE", "    [Y] Key pressed. Test passed.", "    [Y] Key pressed. Test passed.",
          kQuestions[0][0], kQuestions[0][1], "    [Y] Key pressed. Backplane passed.", kQuestions[1][0],
          kQuestions[2][0], "DIAGNOSTICS SUMMARY:", "Devices Tested: Addr: 0xc0, BusID: 0x01:",
          "Devices Tested: Addr: 0xc0, BusID: 0x02:", "Devices Tested: Addr: 0xc0, BusID: 0x03:", "",
          result_lines("Pass", "Pass", "Pass")[0], result_lines("Pass", "Pass", "Pass")[2]},
         5},
        // Keys that fit no choice are ignored; L is offered only per backplane.
        {"no, loop and stray keys",
         {"x", "n", "l", "Y", "L", "n", "q", "y", "y"},
         0,
         {"    [N] Key pressed. Test failed.", "    [Y] Key pressed. Test passed.", kQuestions[0][0],
          kQuestions[0][1], "    [L] Key pressed. Running test again.", kQuestions[0][0], kQuestions[0][1],
          "    [N] Key pressed. Test failed", kQuestions[1][0], kQuestions[2][0], result_lines("Fail", "Pass", "Fail")[0],
          result_lines("Fail", "Pass", "Fail")[1], result_lines("Fail", "Pass", "Fail")[2]},
         6},
        {"esc at the activity question", {"esc"}, 6, {"    Are all activity (green) LEDs active?", kEsc}, 1},
        {"esc at the status question",
         {"n", "esc"},
         6,
         {"    [N] Key pressed. Test failed.", "    Are all status (amber) LEDs active?", kEsc},
         2},
        {"esc at the second backplane", {"y", "y", "y", "esc"}, 6, {kQuestions[1][0], kQuestions[1][1], kEsc}, 4},
        {"input ends at the second backplane", {"y", "y", "y"}, 6, {kQuestions[1][0], kEsc}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(default_machine_with_keys(c.keys));
        auto r = dir.run({"-d"});
        EXPECT_EQ(r.status, c.status);
        auto console = lines(r.console);
        EXPECT_EQ(missing_in_order(console, c.expected), "");
        size_t key_lines = 0;
        for (const std::string& l : console)
            key_lines += l.find("] Key pressed.") != std::string::npos;
        EXPECT_EQ(key_lines, c.key_lines);

        auto log = dir.log();
        if (c.status == 6) {
            // A report run returns at once: no summary, no closing lines.
            EXPECT_TRUE(log.ends_with(kEsc + "\n") || log.ends_with(kEsc + "\n\n")) << log;
            EXPECT_EQ(log.find("DIAGNOSTICS SUMMARY:"), std::string::npos);
            EXPECT_EQ(log.find("Finished:"), std::string::npos);
        } else {
            EXPECT_NE(log.find("Exited with return code: 0x00"), std::string::npos);
        }
        LedBoard after(trace_events(r.trace));
        for (const char* kind : {"activity", "locate", "fail", "rebuild"})
            EXPECT_EQ(after.lit(kind), std::set<std::string>{}) << kind;
    }
}

TEST(Diagnostics, EachQuestionShowsItsLeds)
{
    SimDir dir;
    dir.machine(default_machine_with_keys({"y", "y", "y", "y", "y"}));
    auto r = dir.run({"-d"});
    ASSERT_EQ(r.status, 0);
    auto events = trace_events(r.trace);
    const std::vector<std::string> bp = {"bmc0 bus 0x01 0xC0", "bmc0 bus 0x02 0xC0", "bmc0 bus 0x03 0xC0"};
    const std::set<std::string> all(bp.begin(), bp.end()), none;
    struct Lit {
        std::set<std::string> activity, fail;
    };
    const Lit expected[] = {
        {all, none},           // all activity LEDs
        {none, all},           // all status LEDs
        {{bp[0]}, {bp[0]}},    // each backplane alone
        {{bp[1]}, {bp[1]}},
        {{bp[2]}, {bp[2]}},
    };
    for (size_t k = 0; k < std::size(expected); ++k) {
        SCOPED_TRACE(k);
        size_t key = qbtest::event_index(events, "key 0x", k);
        ASSERT_NE(key, std::string::npos);
        LedBoard at_key(events, key);
        EXPECT_EQ(at_key.lit("activity"), expected[k].activity);
        EXPECT_EQ(at_key.lit("fail"), expected[k].fail);
        EXPECT_EQ(at_key.lit("locate"), none);
    }
}

TEST(Diagnostics, AnEmptyInputAbortsAtTheFirstQuestion)
{
    SimDir dir;  // no key script: standard input is /dev/null
    auto r = dir.run({"-d"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(qbtest::line_after(lines(r.console), "    Press Y or N (Yes or No):"), kEsc);
}

TEST(Diagnostics, NoDevicesMeansNoQuestions)
{
    SimDir dir;
    dir.machine(R"({"keys": [], "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})");
    auto r = dir.run({"-d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console.find("DIAGNOSTICS"), std::string::npos);
    EXPECT_EQ(r.trace.find("terminal raw"), std::string::npos);
}

TEST(Diagnostics, EscAfterAnUpgradeEndsThePassNormallyWith6)
{
    SimDir dir;
    dir.write("fw_4077.bin", qbtest::make_image(600, {9, 9, 9}));
    dir.machine(R"({"keys": [{"at": 500, "key": "esc"}],
                    "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
                      {"type": "qb40xx", "address": "0xC0", "chip_id": 77}]}}}]})");
    auto r = dir.run({"-f", "fw_4077.bin", "-u", "-d"});
    EXPECT_EQ(r.status, 6);
    auto log = lines(dir.log());
    EXPECT_EQ(missing_in_order(log, {"Upgrade Sucessful [RETURN CODE:0x00]", "Entering Diagnostic Mode",
                                     kEsc, "Kcs Close", "Exited with return code: 0x06"}),
              "");
    EXPECT_EQ(count_lines(log, "DIAGNOSTICS SUMMARY:"), 0u);
}
