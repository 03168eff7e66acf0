// SPDX-License-Identifier: MIT
// The run as a whole: passes per BMC, cycles and their log bookkeeping, and
// the total device summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "bmc/discovery.h"
#include "common/settings.h"
#include "in_process.h"
#include "logfile/logfile.h"
#include "main/scan.h"
#include "main/total_summary.h"
#include "sim_run.h"

using Lines = std::vector<std::string>;

TEST(RunFlow, PassesAndCyclesAndTheOneTimeLogReopen)
{
    struct Case {
        int bmcs;
        Lines args;
        Lines in_order;         // lines of logprev.txt and log.txt, in this order
        size_t cycles;          // report cycles, each with its header when -c is on
        std::string log_start;  // log.txt starts so; a reopened log leaves the first cycle in logprev.txt
    };
    const std::string banner = "\nQB40XX Firmware Upgrade tool", count2 = "[Continous Mode, Count 2 of 3]";
    const Lines three = {"[Continous Mode, Count 1 of 3]", "Enterting Non-upgrade Mode", "", count2,
                         "Enterting Non-upgrade Mode", "", "[Continous Mode, Count 3 of 3]"};
    const Case cases[] = {
        {2, {}, {"Raw command line: (argc:1)", "No command line arguments", "OS: Linux", "Total BMC found: 2",
                 "BmcOpen Success", "No commandline, Entering Non-upgrade Mode...", "Kcs Close", "BmcOpen Success",
                 "No commandline, Entering Non-upgrade Mode...", "Kcs Close", "TOTAL DEVICE SUMMARY"},
         0, banner},
        // The cycle counter never resets: it runs on over the passes; a run
        // serving several BMCs never reopens its log.
        {2, {"-c2"}, {"Total BMC found: 2", "BmcOpen Success", "[Continous Mode, Count 1 of 2]",
                      "[Continous Mode, Count 2 of 2]", "Kcs Close", "BmcOpen Success",
                      "[Continous Mode, Count 3 of 2]", "Kcs Close", "TOTAL DEVICE SUMMARY"},
         3, banner},
        {1, {"-c3"}, three, 3, "\n" + count2 + "\n"},
        {1, {"-c3", "-vl"}, three, 3, "fopen(\"./log.txt\", \"a\")... [OK]\n\n" + count2 + "\n"},
        {1, {"-c3", "-a"}, three, 3, banner},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        qbtest::SimDir dir;
        dir.machine(qbtest::empty_bmcs(c.bmcs));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 0);
        std::string all = dir.logprev() + dir.log();
        EXPECT_EQ(qbtest::missing_in_order(qbtest::lines(all), c.in_order), "");
        EXPECT_EQ(qbtest::lines_starting(all, "Enterting Non-upgrade Mode"), c.cycles);
        // Each header is followed by the date line and an empty line.
        std::regex header(R"(\[Continous Mode, Count \d of \d\]\n\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n\n)");
        EXPECT_EQ(std::distance(std::sregex_iterator(all.begin(), all.end(), header), {}), long(c.cycles));
        EXPECT_EQ(qbtest::lines_starting(all, banner.substr(1)), 1u);
        EXPECT_TRUE(dir.log().starts_with(c.log_start)) << dir.log();
        EXPECT_EQ(dir.exists("logprev.txt"), c.log_start != banner);
    }
}

TEST(RunFlow, TheTotalSummaryShowsEveryRecordOrOnlyThePostUpgradeOnesOfTwoBmcs)
{
    struct Case {
        unsigned char frm_upg_set, found_bmc, records;
        unsigned shown;  // bit i: record i is shown
    };
    const Case cases[] = {
        {0, 2, 3, 0x0007},  {0, 4, 16, 0xFFFF}, {1, 2, 4, 0x000A},  {1, 2, 8, 0x00CC},
        {1, 2, 12, 0x0E38}, {1, 2, 16, 0xF0F0}, {1, 2, 6, 0},       {1, 2, 2, 0},
        {1, 3, 12, 0},      {1, 4, 16, 0},
        {0, 4, 200, 0xFFFF},  // a count beyond the table shows the table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "-f " << int(c.frm_upg_set) << ", " << int(c.found_bmc) << " BMCs, "
                                        << int(c.records) << " records");
        qbtest::ScopedWorkDir dir;
        CMDL_QuietMode = 1;
        CMDL_AppendLogFile = CMDL_VerboseLog = 0;
        ASSERT_EQ(StartLogFile("log.txt"), 1);
        FrmUpgSet = c.frm_upg_set;
        FoundBmc = c.found_bmc;
        TotalChipCounter = c.records;
        for (int i = 0; i < MAX_CHIPS; ++i) {
            structChipInfo& chip = TotalChipInfo[i];
            chip = structChipInfo{};
            chip.ChipID = 77, chip.busID = INT8U(i + 1), chip.FW_ID1 = 2, chip.FW_ID2 = INT8U(0x30 + i);
            chip.i2c_addr = 0xC0, chip.ConfigByte = 0x5A;
        }
        PrintTotalSummary();
        CloseLogFile();
        CMDL_QuietMode = FrmUpgSet = FoundBmc = TotalChipCounter = 0;
        std::memset(TotalChipInfo, 0, sizeof TotalChipInfo);

        std::string expected = "\n\n\n--------------------------------------------------\nTOTAL DEVICE SUMMARY\n";
        for (int i = 0; i < MAX_CHIPS; ++i) {
            char line[128];
            std::snprintf(line, sizeof line, "QB4077 Device:\n%s BusID:0x%02x ChipID:77 FW:[0x02:0x%02x] ADR:0xc0 "
                          "Config:0x5a\n", c.frm_upg_set ? "" : (std::to_string(i) + ":").c_str(), i + 1, 0x30 + i);
            if (c.shown >> i & 1)
                expected += c.frm_upg_set ? std::string(line).erase(15, 1) : line;  // no index, no blank
        }
        EXPECT_EQ(dir.read("log.txt"), expected);
    }
}
