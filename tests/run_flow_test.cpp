// The run as a whole: passes per BMC, cycles and their log bookkeeping, the
// total device summary, the closing lines and the exit status of each way a
// run can end.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "in_process.h"
#include "kcs/kcs.h"
#include "logfile/logfile.h"
#include "main/qb40tool.h"
#include "sim_run.h"

using qbtest::ctime_text;
using qbtest::lines;
using qbtest::lines_from;
using qbtest::missing_in_order;
using qbtest::SimDir;

namespace {

constexpr long kStart = 1700000000;

// A ctime() text: "Tue Nov 14 22:13:20 2023".
const std::string kCtime = R"(\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})";

// Machines whose BMCs have no buses, so no scan finds anything.
std::string empty_bmcs(int count)
{
    std::string bmcs;
    for (int i = 0; i < count; ++i)
        bmcs += std::string(i ? ", " : "") + R"({"node": "/dev/ipmi)" + std::to_string(i) + R"(", "buses": {}})";
    return R"({"clock": {"start": )" + std::to_string(kStart) + R"(}, "bmcs": [)" + bmcs + "]}";
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

const std::vector<std::string> kBanner = {
    "",
    "QB40XX Firmware Upgrade tool ver 3.31 10/22/2010",
    "Finds, reports and upgrades QB40xx backplane controllers through the BMC",
    "Use -h for the list of options",
};

}  // namespace

TEST(RunFlow, NoArgumentsScansEachBmcOnceWithoutCycles)
{
    SimDir dir;
    dir.machine(empty_bmcs(2));
    auto r = dir.run({});
    EXPECT_EQ(r.status, 0);
    auto log = lines(dir.log());
    std::vector<std::string> expected = kBanner;
    for (const char* line : {"Raw command line: (argc:1)", "No command line arguments", "OS: Linux"})
        expected.push_back(line);
    for (const std::string& line :
         {"Started: " + ctime_text(kStart), std::string("Total BMC found: 2"), std::string("BmcOpen Success"),
          std::string("No commandline, Entering Non-upgrade Mode..."), std::string("Kcs Close"),
          std::string("BmcOpen Success"), std::string("No commandline, Entering Non-upgrade Mode..."),
          std::string("Kcs Close"), std::string("TOTAL DEVICE SUMMARY")})
        expected.push_back(line);
    EXPECT_EQ(missing_in_order(log, expected), "");
    EXPECT_EQ(count_of(dir.log(), "[Continous"), 0u);
    EXPECT_EQ(count_of(dir.log(), "Non-upgrade Mode\n"), 0u);
    EXPECT_FALSE(dir.exists("logprev.txt"));
    // The closing lines end the log.
    EXPECT_TRUE(std::regex_search(dir.log(), std::regex("TOTAL DEVICE SUMMARY\n\nFinished: " + kCtime +
                                                        "\n\nExited with return code: 0x00\n$")))
        << dir.log();
}

TEST(RunFlow, TheLogMovesToLogprevAtTheSecondCycleOnlyWhenNotAppending)
{
    struct Case {
        std::vector<std::string> args;
        bool reopened;
        std::string first_line_after_reopen;
    };
    const Case cases[] = {
        {{"-c3"}, true, ""},
        {{"-c3", "-vl"}, true, "fopen(\"./log.txt\", \"a\")... [OK]"},
        {{"-c3", "-a"}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        SimDir dir;
        dir.machine(empty_bmcs(1));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 0);
        for (int n = 1; n <= 3; ++n)
            EXPECT_EQ(count_of(r.console, "\n[Continous Mode, Count " + std::to_string(n) + " of 3]\r\n"), 1u);
        std::string all = dir.logprev() + dir.log();
        EXPECT_EQ(count_of(all, "Enterting Non-upgrade Mode\n\n"), 3u);
        // Each header is followed by the date line and an empty line.
        std::regex header("\\[Continous Mode, Count \\d of 3\\]\n" + kCtime + "\n\n");
        EXPECT_EQ(std::distance(std::sregex_iterator(all.begin(), all.end(), header), std::sregex_iterator()), 3);
        if (c.reopened) {
            EXPECT_EQ(count_of(dir.logprev(), "\nQB40XX Firmware Upgrade tool"), 1u);
            EXPECT_EQ(count_of(dir.logprev(), "[Continous Mode, Count 1 of 3]"), 1u);
            EXPECT_EQ(count_of(dir.logprev(), "Count 2 of 3"), 0u);
            std::string expected_start = c.first_line_after_reopen.empty()
                                             ? "\n[Continous Mode, Count 2 of 3]\n"
                                             : c.first_line_after_reopen + "\n\n[Continous Mode, Count 2 of 3]\n";
            EXPECT_TRUE(dir.log().starts_with(expected_start)) << dir.log();
        } else {
            EXPECT_FALSE(dir.exists("logprev.txt"));
            EXPECT_TRUE(dir.log().starts_with("\nQB40XX Firmware Upgrade tool"));
        }
        EXPECT_TRUE(dir.log().ends_with("Exited with return code: 0x00\n"));
    }
}

TEST(RunFlow, TheCycleCounterRunsOnOverThePassesOfSeveralBmcs)
{
    SimDir dir;
    dir.machine(empty_bmcs(2));
    auto r = dir.run({"-c2"});
    EXPECT_EQ(r.status, 0);
    auto log = lines(dir.log());
    EXPECT_EQ(missing_in_order(log, {"Total BMC found: 2", "BmcOpen Success", "[Continous Mode, Count 1 of 2]",
                                     "[Continous Mode, Count 2 of 2]", "Kcs Close", "BmcOpen Success",
                                     "[Continous Mode, Count 3 of 2]", "Kcs Close", "TOTAL DEVICE SUMMARY",
                                     "Exited with return code: 0x00"}),
              "");
    EXPECT_EQ(count_of(dir.log(), "[Continous Mode"), 3u);
    EXPECT_FALSE(dir.exists("logprev.txt")) << "a run serving several BMCs never reopens its log";
}

TEST(RunFlow, ADelayWithoutDigitLeavesOneCycle)
{
    SimDir dir;
    dir.machine(empty_bmcs(1));
    auto r = dir.run({"-cd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(dir.log(), "Enterting Non-upgrade Mode"), 1u);
}

TEST(RunFlow, EachRunKeepsThePreviousRunsLog)
{
    SimDir dir;
    dir.machine(empty_bmcs(1));
    for (const char* arg : {"-i", "-u", "-z"})
        ASSERT_EQ(dir.run({arg}).status, 0);
    EXPECT_EQ(count_of(dir.log(), "1: -z "), 1u);
    EXPECT_EQ(count_of(dir.logprev(), "1: -u "), 1u);
    EXPECT_EQ(count_of(dir.log() + dir.logprev(), "1: -i "), 0u);
}

TEST(RunFlow, NoBmcFoundLeavesOnlyTheClosingLines)
{
    SimDir dir;
    dir.machine(R"({"driver": "absent", "clock": {"start": 1700000000}, "bmcs": []})");
    auto r = dir.run({"-q"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> expected = {"Total BMC found: 0", "", "Finished: " + ctime_text(kStart + 20), "",
                                         "Exited with return code: 0x00"};
    EXPECT_EQ(lines_from(dir.log(), "Total BMC found: 0"), expected);
}

TEST(RunFlow, ALogThatCannotBeCreatedDoesNotStopTheRun)
{
    SimDir dir;
    dir.machine(empty_bmcs(1));
    std::filesystem::create_directories(dir.path() / "log.txt");
    std::filesystem::create_directories(dir.path() / "logprev.txt" / "kept");
    auto r = dir.run({"-u"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.console.starts_with("Error Deleting logprev.txt\r\nUnable to create logfile log.txt\n\r\n\r\n"
                                      "QB40XX Firmware Upgrade tool"))
        << r.console;
    EXPECT_EQ(missing_in_order(lines(r.console), {"Total BMC found: 1", "Successfully opened OpenIPMI driver"}), "");
}

TEST(RunFlow, AnImageThatCannotBeLoadedEndsTheRunWithCodeOne)
{
    SimDir dir;
    dir.machine(empty_bmcs(2));
    auto r = dir.run({"-f", "absent_4077.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(dir.log().ends_with("Kcs Close\n")) << dir.log();
    EXPECT_EQ(count_of(dir.log(), "BmcOpen Success"), 1u) << "the second BMC is never opened";
}

TEST(RunFlow, AnUpgradeThatFindsNoDeviceEndsItsPassWith171AndTheNextPassRuns)
{
    struct Case {
        std::vector<std::string> args;
        int diagnostics;
    };
    const Case cases[] = {
        {{"-f", "fw_4077.bin", "-c3"}, 0},
        {{"fw_4077.bin", "-d"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        SimDir dir;
        dir.machine(empty_bmcs(2));
        dir.write("fw_4077.bin", std::string(600, '\x11'));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 171);
        std::string log = dir.log() + dir.logprev();
        EXPECT_EQ(count_of(log, "No Devices Found [RETURN CODE:0xab]\n\n"), 2u);
        EXPECT_EQ(count_of(log, "Entering Diagnostic Mode\n"), size_t(c.diagnostics));
        EXPECT_EQ(count_of(log, "Kcs Close"), 2u);
        // An empty cycle ends its pass; the next pass counts on from there.
        if (c.args.back() == "-c3") {
            EXPECT_EQ(count_of(log, "[Continous Upgrade Mode, Count 1 of 3]"), 1u);
            EXPECT_EQ(count_of(log, "[Continous Upgrade Mode, Count 2 of 3]"), 1u);
            EXPECT_EQ(count_of(log, "Count 3 of 3"), 0u);
        }
        EXPECT_TRUE(std::regex_search(dir.log(), std::regex("TOTAL DEVICE SUMMARY\n\nFinished: " + kCtime +
                                                            "\n\nExited with return code: 0xab\n$")))
            << dir.log();
    }
}

// ---------------------------------------------------------------------------
// The total device summary, from records put into the table directly.

namespace {

class TotalSummary : public ::testing::Test {
protected:
    void SetUp() override
    {
        CMDL_QuietMode = 1;
        CMDL_AppendLogFile = 0;
        CMDL_VerboseLog = 0;
        ASSERT_EQ(StartLogFile("log.txt"), 1);
    }
    void TearDown() override
    {
        CloseLogFile();
        CMDL_QuietMode = 0;
        FrmUpgSet = 0;
        FoundBmc = 0;
        TotalChipCounter = 0;
        std::memset(TotalChipInfo, 0, sizeof TotalChipInfo);
    }
    qbtest::ScopedWorkDir dir;
};

}  // namespace

TEST_F(TotalSummary, ShowsEveryRecordOrOnlyThePostUpgradeOnesOfTwoBmcs)
{
    struct Case {
        unsigned char frm_upg_set;
        unsigned char found_bmc;
        unsigned char records;
        std::vector<int> shown;
    };
    const Case cases[] = {
        {0, 2, 3, {0, 1, 2}},
        {0, 4, 16, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {1, 2, 4, {1, 3}},
        {1, 2, 8, {2, 3, 6, 7}},
        {1, 2, 12, {3, 4, 5, 9, 10, 11}},
        {1, 2, 16, {4, 5, 6, 7, 12, 13, 14, 15}},
        {1, 2, 6, {}},
        {1, 2, 2, {}},
        {1, 3, 12, {}},
        {1, 4, 16, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "-f " << int(c.frm_upg_set) << ", " << int(c.found_bmc) << " BMCs, "
                                        << int(c.records) << " records");
        CloseLogFile();
        std::filesystem::remove("log.txt");
        ASSERT_EQ(StartLogFile("log.txt"), 1);
        FrmUpgSet = c.frm_upg_set;
        FoundBmc = c.found_bmc;
        TotalChipCounter = c.records;
        for (int i = 0; i < MAX_CHIPS; ++i) {
            structChipInfo& chip = TotalChipInfo[i];
            chip = structChipInfo{};
            chip.ChipID = 77;
            chip.busID = static_cast<INT8U>(i + 1);
            chip.FW_ID1 = 2;
            chip.FW_ID2 = static_cast<INT8U>(0x30 + i);
            chip.i2c_addr = 0xC0;
            chip.ConfigByte = 0x5A;
        }
        PrintTotalSummary();
        CloseLogFile();

        std::string expected = "\n\n\n--------------------------------------------------\nTOTAL DEVICE SUMMARY\n";
        for (int i : c.shown) {
            char line[128];
            if (c.frm_upg_set)
                std::snprintf(line, sizeof line, "QB4077 Device:\nBusID:0x%02x ChipID:77 FW:[0x02:0x%02x] "
                              "ADR:0xc0 Config:0x5a\n", i + 1, 0x30 + i);
            else
                std::snprintf(line, sizeof line, "QB4077 Device:\n%d: BusID:0x%02x ChipID:77 FW:[0x02:0x%02x] "
                              "ADR:0xc0 Config:0x5a\n", i, i + 1, 0x30 + i);
            expected += line;
        }
        EXPECT_EQ(dir.read("log.txt"), expected);
    }
}

TEST_F(TotalSummary, NeverReadsPastTheTable)
{
    TotalChipCounter = 200;  // more than any table holds
    FoundBmc = 4;
    PrintTotalSummary();
    CloseLogFile();
    EXPECT_EQ(count_of(dir.read("log.txt"), "Device:"), size_t(MAX_CHIPS));
}
