// The five print functions and the log with its two generations, called in
// the test process.
#include <gtest/gtest.h>

#include <filesystem>

#include "in_process.h"
#include "logfile/logfile.h"

using qbtest::CapturedStdout;
using qbtest::ScopedWorkDir;

namespace {

// Output settings as a run without options has them, and no log open.
void reset_output_state()
{
    CloseLogFile();
    CMDL_QuietMode = 0;
    CMDL_AppendLogFile = 0;
    CMDL_VerboseLog = 0;
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { reset_output_state(); }
    void TearDown() override { reset_output_state(); }
    ScopedWorkDir dir;
};

enum class Fn { ps, ps_no_rn, ps_r, pb, pf };

int call(Fn fn, const char* word, int number)
{
    switch (fn) {
    case Fn::ps: return ps("%s=%d", word, number);
    case Fn::ps_no_rn: return ps_no_rn("%s=%d", word, number);
    case Fn::ps_r: return ps_r("%s=%d", word, number);
    case Fn::pb: return pb("%s=%d", word, number);
    case Fn::pf: return pf("%s=%d", word, number);
    }
    return 0;
}

}  // namespace

TEST_F(LogFile, EachPrintFunctionWritesWhereAndHowItShould)
{
    struct Case {
        Fn fn;
        bool quiet;
        bool log_open;
        const char* console;
        const char* log;
        int result;
    };
    // "ab=12" is five characters.
    const Case cases[] = {
        {Fn::ps, false, true, "ab=12\r\n", "", 5},
        {Fn::ps, true, true, "", "", 0},
        {Fn::ps_no_rn, false, true, "ab=12", "", 5},
        {Fn::ps_no_rn, true, false, "", "", 0},
        {Fn::ps_r, false, true, "ab=12\r", "", 5},
        {Fn::ps_r, true, true, "", "", 0},
        {Fn::pb, false, true, "ab=12\r\n", "ab=12\n", 5},
        {Fn::pb, true, true, "", "ab=12\n", 5},
        {Fn::pb, false, false, "ab=12\r\n", "", -1},
        {Fn::pb, true, false, "", "", -1},
        {Fn::pf, false, true, "", "ab=12\n", 5},
        {Fn::pf, true, true, "", "ab=12\n", 5},
        {Fn::pf, false, false, "", "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "fn " << static_cast<int>(c.fn) << " quiet " << c.quiet << " log "
                                        << c.log_open);
        reset_output_state();
        std::filesystem::remove("log.txt");
        if (c.log_open) {
            ASSERT_EQ(StartLogFile("log.txt"), 1);
        }
        CMDL_QuietMode = c.quiet;
        int result;
        std::string console;
        {
            CapturedStdout out;
            result = call(c.fn, "ab", 12);
            console = out.text();
        }
        EXPECT_EQ(console, c.console);
        EXPECT_EQ(dir.read("log.txt"), c.log);
        EXPECT_EQ(result, c.result);
    }
}

TEST_F(LogFile, MessageEndingInLineFeedLeavesAnEmptyLineInBothPlaces)
{
    ASSERT_EQ(StartLogFile("log.txt"), 1);
    std::string console;
    {
        CapturedStdout out;
        pb("Started: %s", "Mon Jan  1 00:00:00 2024\n");
        pb("next");
        console = out.text();
    }
    EXPECT_EQ(console, "Started: Mon Jan  1 00:00:00 2024\n\r\nnext\r\n");
    EXPECT_EQ(dir.read("log.txt"), "Started: Mon Jan  1 00:00:00 2024\n\nnext\n");
}

TEST_F(LogFile, ThreeStartsKeepExactlyTwoGenerations)
{
    const char* runs[] = {"first run", "second run", "third run"};
    for (const char* text : runs) {
        ASSERT_EQ(StartLogFile("log.txt"), 1);
        pf("%s", text);
        CloseLogFile();
    }
    EXPECT_EQ(dir.read("log.txt"), "third run\n");
    EXPECT_EQ(dir.read("logprev.txt"), "second run\n");
    // Nothing else was left in the directory: the first generation is gone.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 2);
}

TEST_F(LogFile, EmptyNameStandsForLogTxt)
{
    ASSERT_EQ(StartLogFile(""), 1);
    pf("x");
    CloseLogFile();
    EXPECT_EQ(dir.read("log.txt"), "x\n");
}

TEST_F(LogFile, AppendModeStillRotatesSoTheNewLogStartsEmpty)
{
    ASSERT_EQ(StartLogFile("log.txt"), 1);
    pf("old");
    CloseLogFile();
    CMDL_AppendLogFile = 1;
    CMDL_VerboseLog = 1;
    ASSERT_EQ(StartLogFile("log.txt"), 1);
    pf("new");
    CloseLogFile();
    EXPECT_EQ(dir.read("log.txt"), "fopen(\"./log.txt\", \"a\")... [OK]\nnew\n");
    EXPECT_EQ(dir.read("logprev.txt"), "old\n");
}

TEST_F(LogFile, VerboseFirstLineNamesPathAndMode)
{
    CMDL_VerboseLog = 1;
    ASSERT_EQ(StartLogFile("log.txt"), 1);
    CloseLogFile();
    EXPECT_EQ(dir.read("log.txt"), "fopen(\"./log.txt\", \"w\")... [OK]\n");
}

TEST_F(LogFile, StartWhileOpenChangesNothing)
{
    ASSERT_EQ(StartLogFile("log.txt"), 1);
    pf("kept");
    FILE* before = log_file;
    EXPECT_EQ(StartLogFile("log.txt"), 0);
    EXPECT_EQ(log_file, before);
    pf("still here");
    CloseLogFile();
    EXPECT_EQ(dir.read("log.txt"), "kept\nstill here\n");
    EXPECT_FALSE(dir.exists("logprev.txt"));
}

TEST_F(LogFile, CloseWithoutLogDoesNothingAndPfThenReportsNoLog)
{
    EXPECT_EQ(CloseLogFile(), 0);
    EXPECT_EQ(log_file, nullptr);
    EXPECT_EQ(pf("dropped"), -1);
    EXPECT_FALSE(dir.exists("log.txt"));
}

TEST_F(LogFile, UndeletablePreviousLogIsReportedAndUnopenableLogFails)
{
    // A non-empty directory cannot be removed, and a directory cannot be
    // opened as the log: both failures of a start at once.
    std::filesystem::create_directories(dir.path() / "logprev.txt" / "inside");
    std::filesystem::create_directories(dir.path() / "log.txt");
    std::string console;
    int result;
    {
        CapturedStdout out;
        result = StartLogFile("log.txt");
        console = out.text();
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log_file, nullptr);
    EXPECT_EQ(console, "Error Deleting logprev.txt\r\n");
}
