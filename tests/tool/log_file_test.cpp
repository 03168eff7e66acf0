// SPDX-License-Identifier: MIT
// The five print functions, called in the test process, and the log with
// its two generations as runs of the tool leave them.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/settings.h"
#include "in_process.h"
#include "logfile/logfile.h"
#include "sim_run.h"

TEST(LogFile, EachPrintFunctionWritesWhereAndHowItShould)
{
    enum Fn { PS, PS_NO_RN, PS_R, PB, PF };
    struct Case {
        Fn fn;
        bool quiet, log_open;
        const char* text;
        const char* console;
        const char* log;
        int result;
    };
    const Case cases[] = {
        {PS, false, true, "ab=12", "ab=12\r\n", "", 5},
        {PS, true, true, "ab=12", "", "", 0},
        {PS_NO_RN, false, true, "ab=12", "ab=12", "", 5},
        {PS_NO_RN, true, false, "ab=12", "", "", 0},
        {PS_R, false, true, "ab=12", "ab=12\r", "", 5},
        {PS_R, true, true, "ab=12", "", "", 0},
        {PB, false, true, "ab=12", "ab=12\r\n", "ab=12\n", 5},
        {PB, true, true, "ab=12", "", "ab=12\n", 5},
        {PB, false, false, "ab=12", "ab=12\r\n", "", -1},
        {PB, true, false, "ab=12", "", "", -1},
        // A text ending in a line feed leaves an empty line in both places.
        {PB, false, true, "x\n", "x\n\r\n", "x\n\n", 2},
        {PF, false, true, "ab=12", "", "ab=12\n", 5},
        {PF, true, true, "ab=12", "", "ab=12\n", 5},
        {PF, false, false, "ab=12", "", "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        qbtest::ScopedWorkDir dir;
        CMDL_QuietMode = CMDL_AppendLogFile = CMDL_VerboseLog = 0;
        ASSERT_EQ(c.log_open ? StartLogFile("log.txt") : 1, 1);
        CMDL_QuietMode = c.quiet;
        int result = 0;
        std::string console;
        {
            qbtest::CapturedStdout out;
            int (*const fns[])(const char*, ...) = {ps, ps_no_rn, ps_r, pb, pf};
            result = fns[c.fn]("%s", c.text);
            console = out.text();
        }
        CloseLogFile();
        CMDL_QuietMode = 0;
        EXPECT_EQ(console, c.console);
        EXPECT_EQ(dir.read("log.txt"), c.log);
        EXPECT_EQ(result, c.result);
    }
}

TEST(LogFile, EachRunKeepsOnlyThePreviousRunsLogWhetherItAppendsOrNot)
{
    qbtest::SimDir dir;
    dir.machine(qbtest::empty_bmcs(1));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-i"}, {"-u", "-vl"}, {"-z", "-a", "-vl"}})
        ASSERT_EQ(dir.run(args).status, 0);
    // Append mode still moves the old log away, so the new one starts empty.
    EXPECT_TRUE(dir.log().starts_with("fopen(\"./log.txt\", \"a\")... [OK]\n\nQB40XX")) << dir.log();
    EXPECT_TRUE(dir.logprev().starts_with("fopen(\"./log.txt\", \"w\")... [OK]\n\nQB40XX")) << dir.logprev();
    EXPECT_NE(dir.log().find("\n1: -z \n"), std::string::npos);
    EXPECT_NE(dir.logprev().find("\n1: -u \n"), std::string::npos);
    auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(files, 2) << "the first run's log is gone";
}
