// The command line: what each argument form sets, which forms are refused
// and with what message, the conflicts, the command-line report in the log
// and the help screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "main/qb40tool.h"
#include "settings.h"
#include "sim_run.h"

using qbtest::Settings;
using qbtest::SimDir;

namespace {

// Parses `args` (without the program name) in this process, starting from
// the program's defaults, and returns the settings it left.
Settings parse(std::vector<std::string> args)
{
    qbtest::restore_default_settings();
    args.insert(args.begin(), "qb40tool");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ParseCommandLine(static_cast<int>(args.size()), argv.data());
    Settings s = Settings::current();
    qbtest::restore_default_settings();
    return s;
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

// A valid image name of exactly `length` characters.
std::string image_name(size_t length)
{
    std::string tail = "qb4077.bin";
    return repeat('d', length - tail.size()) + tail;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(CommandLine, EachAcceptedFormSetsExactlyItsSettings)
{
    struct Case {
        std::vector<std::string> args;
        std::function<void(Settings&)> expect;
    };
    const std::string longest = image_name(254);
    const Case cases[] = {
        {{"-c"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 100000; }},
        {{"-c0"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 100000; }},
        {{"-cx"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 100000; }},
        {{"-c25"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 25; }},
        {{"-c3x"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 3; }},
        {{"-c5", "-c7"}, [](Settings& s) { s.ContinousUpgrade = 1, s.UpgradeMax = 7; }},
        {{"-cd5"}, [](Settings& s) { s.ContinousUpgradeDelay = 5; }},
        {{"-cd12s"}, [](Settings& s) { s.ContinousUpgradeDelay = 12; }},
        // Without a digit 1-9 the delay key is accepted and changes nothing.
        {{"-cd"}, [](Settings&) {}},
        {{"-cd0"}, [](Settings&) {}},
        {{"-cdx"}, [](Settings&) {}},
        {{"-b15"}, [](Settings& s) { s.BusIDRange = 1, s.ScanBusID_First = 1, s.ScanBusID_Last = 5; }},
        {{"-b51"}, [](Settings& s) { s.BusIDRange = 1, s.ScanBusID_First = 1, s.ScanBusID_Last = 5; }},
        {{"-b0f"}, [](Settings& s) { s.BusIDRange = 1, s.ScanBusID_First = 0, s.ScanBusID_Last = 15; }},
        {{"-bC3"}, [](Settings& s) { s.BusIDRange = 1, s.ScanBusID_First = 3, s.ScanBusID_Last = 12; }},
        {{"-vpd"}, [](Settings& s) { s.GetI2CdeviceData = 1; }},
        {{"-vpda2"}, [](Settings& s) { s.GetI2CdeviceData = 1, s.VPDaddress = 0xA2; }},
        {{"-vpdA4"}, [](Settings& s) { s.GetI2CdeviceData = 1, s.VPDaddress = 0xA4; }},
        {{"-vpda210"}, [](Settings& s) { s.GetI2CdeviceData = 1, s.VPDaddress = 0xA2, s.VPD_BYTEStoREAD = 0x10; }},
        {{"-vpda2ff"}, [](Settings& s) { s.GetI2CdeviceData = 1, s.VPDaddress = 0xA2, s.VPD_BYTEStoREAD = 0xFF; }},
        {{"-vpda2zz"}, [](Settings& s) { s.GetI2CdeviceData = 1, s.VPDaddress = 0xA2; }},
        {{"-mc42"}, [](Settings& s) { s.MuxChannelRange = 1, s.BusIDchannelFirst = 4, s.BusIDchannelLast = 2; }},
        {{"-mc09"}, [](Settings& s) { s.MuxChannelRange = 1, s.BusIDchannelFirst = 0, s.BusIDchannelLast = 9; }},
        {{"-sc31"}, [](Settings& s) { s.ScanChannels = 1, s.BusIDchannelFirst = 1, s.BusIDchannelLast = 3; }},
        {{"-mc24", "-sc13"},
         [](Settings& s) {
             s.MuxChannelRange = 1, s.ScanChannels = 1, s.BusIDchannelFirst = 1, s.BusIDchannelLast = 3;
         }},
        {{"-sc13", "-mc24"},
         [](Settings& s) {
             s.MuxChannelRange = 1, s.ScanChannels = 1, s.BusIDchannelFirst = 2, s.BusIDchannelLast = 4;
         }},
        {{"-mae6"}, [](Settings& s) { s.MuxAddress = 1, s.MUXaddress = 0xE6; }},
        {{"-ma3C"}, [](Settings& s) { s.MuxAddress = 1, s.MUXaddress = 0x3C; }},
        {{"-q"}, [](Settings& s) { s.QuietMode = 1, s.UnconditionalUpgrade = 1; }},
        {{"--quiet"}, [](Settings& s) { s.QuietMode = 1, s.UnconditionalUpgrade = 1; }},
        {{"-dio"}, [](Settings& s) { s.DirectIO = 1; }},
        {{"-vl"}, [](Settings& s) { s.VerboseLog = 1; }},
        {{"-a"}, [](Settings& s) { s.AppendLogFile = 1; }},
        {{"-u"}, [](Settings& s) { s.UnconditionalUpgrade = 1; }},
        {{"-ms"}, [](Settings& s) { s.SendMuxSwitchingCommands = 1; }},
        {{"-i"}, [](Settings& s) { s.ScanC0thruC6 = 1; }},
        {{"-d"}, [](Settings& s) { s.DiagnosticMode = 1; }},
        {{"-z"}, [](Settings& s) { s.LEDcycling = 1; }},
        {{"-?"}, [](Settings& s) { s.Help = 1; }},
        {{"-h"}, [](Settings& s) { s.Help = 1; }},
        {{"/?"}, [](Settings& s) { s.Help = 1; }},
        {{"/h"}, [](Settings& s) { s.Help = 1; }},
        {{"--help"}, [](Settings& s) { s.Help = 1; }},
        // Keys are found inside longer words and paths.
        {{"fw-a.bin"}, [](Settings& s) { s.AppendLogFile = 1; }},
        {{"/home/op/qb4077.bin"}, [](Settings& s) { s.Help = 1; }},
        {{"x-zy"}, [](Settings& s) { s.LEDcycling = 1; }},
        // The image file: with -f (anything after -f in the same argument is
        // ignored), through a word holding -f, or bare as the first argument.
        {{"-f", "qb4077.bin"},
         [](Settings& s) { s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin"; }},
        {{"-fzz", "qb4077.bin"},
         [](Settings& s) { s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin"; }},
        {{"my-file.bin", "qb4080.bin"},
         [](Settings& s) { s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = "qb4080.bin"; }},
        {{"-f", "qb4073.bin", "-f", "qb4077.bin"},
         [](Settings& s) { s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin"; }},
        {{"-u", "-f", "qb4077.bin", "-d"},
         [](Settings& s) {
             s.UnconditionalUpgrade = 1, s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin",
             s.DiagnosticMode = 1;
         }},
        {{"qb4077.bin"}, [](Settings& s) { s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin"; }},
        {{"qb4077.bin", "-u"},
         [](Settings& s) { s.FilenameSpecified = 1, s.BinFilename = "qb4077.bin", s.UnconditionalUpgrade = 1; }},
        {{"-f", longest},
         [&](Settings& s) { s.FrmUpgSet = 1, s.FilenameSpecified = 1, s.BinFilename = longest; }},
        {{longest}, [&](Settings& s) { s.FilenameSpecified = 1, s.BinFilename = longest; }},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += (a.size() > 40 ? std::to_string(a.size()) + " characters" : a) + ' ';
        SCOPED_TRACE(shown);
        Settings expected = Settings::defaults();
        c.expect(expected);
        EXPECT_EQ(parse(c.args), expected);
    }
}

TEST(CommandLine, RefusedArgumentsEndWithCodeFiveBeforeAnythingIsLogged)
{
    struct Case {
        std::vector<std::string> args;
        std::string console;  // without the "\r\n" the error adds
    };
    const std::string too_long = image_name(255);
    const Case cases[] = {
        {{"-x"}, "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]"},
        {{""}, "ERROR: Invalid Syntax \"\" [RETURN CODE:0x05]"},
        {{"-b"}, "ERROR: Invalid Syntax \"-b\" [RETURN CODE:0x05]"},
        {{"-b1"}, "ERROR: Invalid Syntax \"-b1\" [RETURN CODE:0x05]"},
        {{"-b123"}, "ERROR: Invalid Syntax \"-b123\" [RETURN CODE:0x05]"},
        {{"-bg1"}, "ERROR: Invalid Syntax \"-bg1\" [RETURN CODE:0x05]"},
        {{"-mc20"}, "ERROR: Invalid Syntax \"-mc20\" [RETURN CODE:0x05]"},
        {{"-mcA2"}, "ERROR: Invalid Syntax \"-mcA2\" [RETURN CODE:0x05]"},
        {{"-mc123"}, "ERROR: Invalid Syntax \"-mc123\" [RETURN CODE:0x05]"},
        {{"-scx1"}, "ERROR: Invalid Syntax \"-scx1\" [RETURN CODE:0x05]"},
        {{"-mae"}, "ERROR: Invalid Syntax \"-mae\" [RETURN CODE:0x05]"},
        {{"-mae6f"}, "ERROR: Invalid Syntax \"-mae6f\" [RETURN CODE:0x05]"},
        {{"-vpda"}, "ERROR: Invalid Syntax \"-vpda\" [RETURN CODE:0x05]"},
        {{"-vpda21"}, "ERROR: Invalid Syntax \"-vpda21\" [RETURN CODE:0x05]"},
        {{"-vpdzz"}, "ERROR: Invalid Syntax \"-vpdzz\" [RETURN CODE:0x05]"},
        {{"x-vpd"}, "ERROR: Invalid Syntax \"x-vpd\" [RETURN CODE:0x05]"},
        // The help screen lists -s, but no key takes it.
        {{"-s20"}, "ERROR: Invalid Syntax \"-s20\" [RETURN CODE:0x05]"},
        // Parsing comes first and stops at the first error.
        {{"-h", "-x"}, "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]"},
        {{"-x", "-f"}, "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]"},
        // A bare name counts only as the first argument, and only with a dot.
        {{"-u", "qb4077.bin"}, "ERROR: Invalid Syntax \"qb4077.bin\" [RETURN CODE:0x05]"},
        {{"qb4077"}, "ERROR: Invalid Syntax \"qb4077\" [RETURN CODE:0x05]"},
        // Argument text is data, never a format.
        {{"%s%n%d"}, "ERROR: Invalid Syntax \"%s%n%d\" [RETURN CODE:0x05]"},
        {{"-f"}, "ERROR: No filename specified after -f [RETURN CODE:0x05]"},
        {{"-u", "-f"}, "ERROR: No filename specified after -f [RETURN CODE:0x05]"},
        {{"my-file.bin"}, "ERROR: No filename specified after -f [RETURN CODE:0x05]"},
        {{"-f", too_long}, "ERROR: Filename too long (max 254 characters) [RETURN CODE:0x05]"},
        {{too_long}, "ERROR: Filename too long (max 254 characters) [RETURN CODE:0x05]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.console);
        SimDir dir;
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.console, c.console + "\r\n");
        EXPECT_FALSE(dir.exists("log.txt"));
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
    }
}

TEST(CommandLine, QuietModeSilencesTheParseErrorButNotTheCode)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-q", "-x"},
                                                 std::vector<std::string>{"-q", "-f"}}) {
        SimDir dir;
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5) << args[1];
        EXPECT_EQ(r.console, "") << args[1];
        EXPECT_FALSE(dir.exists("log.txt"));
    }
}

TEST(CommandLine, EveryConflictIsRefusedThroughTheLog)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool quiet;
    };
    const std::string continuous = "ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string diagnostics = "ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string mux = "ERROR: Manual Sending of Mux commands \"-ms\" specified without MuxAddress "
                            "\"-ma[NUM]\" [RETURN CODE:0x05]\n";
    const Case cases[] = {
        {{"-q", "-c"}, continuous, true},
        {{"-c5", "-q"}, continuous, true},
        {{"-q", "-d"}, diagnostics, true},
        {{"-d", "-q"}, diagnostics, true},
        {{"-q", "-c", "-d"}, continuous, true},  // the first check that fires wins
        {{"-ms"}, mux, false},
        {{"-ms", "-q"}, mux, true},
        {{"-ms", "-mc24"}, mux, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        SimDir dir;
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        if (c.quiet)
            EXPECT_EQ(r.console, "");
        else
            EXPECT_TRUE(r.console.ends_with("entering non-upgrade mode\r\n" + c.message + "\r\n")) << r.console;
        std::string log = dir.log();
        // The conflict is the log's last line, after the blank line that
        // ends the option report; nothing reached a BMC.
        EXPECT_TRUE(log.ends_with(" \n" + c.message + "\n")) << log;
        EXPECT_EQ(r.trace, "");
    }
}

TEST(CommandLine, NoConflictWhenMuxSwitchingHasAnAddress)
{
    SimDir dir;
    auto r = dir.run({"-ms", "-mae6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(dir.log(), "Exited with return code: 0x00"));
}

TEST(CommandLine, ReportLogsTheRawLineAndEverySelectedOptionInOrder)
{
    SimDir dir;
    // No backplanes: the diagnostics asked for here would otherwise wait for keys.
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {}}]})");
    auto r = dir.run({"-z", "-d", "-ms", "-mae6", "-sc31", "-mc42", "-vpda2", "-b51", "-i", "-u", "-cd2", "-c4",
                      "-a", "-vl", "-dio"});
    ASSERT_EQ(r.status, 0) << r.console;
    auto log = qbtest::lines(dir.log());
    auto at = std::find(log.begin(), log.end(), "Raw command line: (argc:16)");
    ASSERT_NE(at, log.end());
    const std::vector<std::string> expected = {
        "Raw command line: (argc:16)",
        "0: " + std::string(QB40TOOL_SIM) + " ",
        "1: -z ",
        "2: -d ",
        "3: -ms ",
        "4: -mae6 ",
        "5: -sc31 ",
        "6: -mc42 ",
        "7: -vpda2 ",
        "8: -b51 ",
        "9: -i ",
        "10: -u ",
        "11: -cd2 ",
        "12: -c4 ",
        "13: -a ",
        "14: -vl ",
        "15: -dio ",
        "",
        "Command line info: ",
        "No file name specified as command line, entering non-upgrade mode",
        "Selected -dio for direct io access",
        "Selected -vl for verbose logging",
        "Selected -a for append logging",
        "Selected -c for 4 continous upgrades",
        "Selected -cd for 2 (ms) delay ",
        "Selected -u for unconditional upgrade",
        "Selected -i for Scan 0xc0 thru 0xc6",
        "Selected -b for BusID range: 0x01 to 0x05",
        "Selected -vpd to Display VPD data at address 0xa0",
        "Selected -mc for Mux Channel range: 0x04 to 0x02",
        "Selected -sc for Scanning BMC Channel range: 0x04 to 0x02",
        "Selected -ma for Mux Address: 0xe6",
        "Selected -ms to Send Mux switching commands instead of relying on BMC",
        "Selected -d for diagnostic mode",
        "",
        " ",
        "OS: Linux",
    };
    ASSERT_GE(static_cast<size_t>(log.end() - at), expected.size());
    EXPECT_EQ(std::vector<std::string>(at, at + static_cast<long>(expected.size())), expected);
    EXPECT_EQ(log.front(), "fopen(\"./log.txt\", \"a\")... [OK]");
    // The console shows only the console-and-log lines of the report.
    EXPECT_TRUE(contains(r.console, "Use -h for the list of options\r\n\nRaw command line: (argc:16)\r\n"
                                    "No file name specified as command line, entering non-upgrade mode\r\n"
                                    "Started: "));
}

TEST(CommandLine, QuietAndFileNameLinesOfTheReport)
{
    SimDir dir;
    auto r = dir.run({"-q", "-f", "missing4077.bin"});
    auto log = dir.log();
    EXPECT_EQ(r.console, "");
    EXPECT_TRUE(contains(log, "Command line info: \nFilename of binary: missing4077.bin\n"
                              "Selected -q for quiet mode\nSelected -u for unconditional upgrade\n \n"))
        << log;
    EXPECT_FALSE(contains(log, "No file name specified"));
}

TEST(CommandLine, NoArgumentsReportSaysSoAndChecksNothing)
{
    SimDir dir;
    auto r = dir.run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(dir.log(), "Command line info: \nNo command line arguments\n\nOS: Linux\n"));
    EXPECT_TRUE(contains(r.console, "Raw command line: (argc:1)\r\nNo command line arguments\r\n\r\nStarted: "));
}

TEST(CommandLine, HelpScreenIsShownOnceAndOnlyOnTheConsole)
{
    const std::string banner = "\r\nQB40XX Firmware Upgrade tool ver 3.31 10/22/2010\r\n"
                               "Finds, reports and upgrades QB40xx backplane controllers through the BMC\r\n"
                               "Use -h for the list of options\r\n";
    const std::string log_banner = "\nQB40XX Firmware Upgrade tool ver 3.31 10/22/2010\n"
                                   "Finds, reports and upgrades QB40xx backplane controllers through the BMC\n"
                                   "Use -h for the list of options\n";
    for (const char* key : {"-?", "-h", "/?", "/h", "--help"}) {
        SCOPED_TRACE(key);
        SimDir dir;
        auto r = dir.run({"-u", key, "-c3"});
        EXPECT_EQ(r.status, 0);
        ASSERT_TRUE(r.console.starts_with(banner + "\n Usage: qb40tool [options] \r\n\n     -f file           Firmware file"))
            << r.console;
        EXPECT_TRUE(r.console.ends_with("\n     -?, -h, --help    Displays this screen\n\n"));
        EXPECT_TRUE(contains(r.console, "\n     -s[NUM]\t       Scans Special BusID [NUM] only, i.e. -s20 scans BusID 20\n"));
        EXPECT_TRUE(contains(r.console, "LEDs will cycle through the backplanes in \n"));
        // 27 help lines, each starting on its own line feed, and no other line end.
        std::string body = r.console.substr(banner.size());
        EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 1 + 1 + 27 + 2);
        EXPECT_EQ(std::count(body.begin(), body.end(), '\r'), 1);
        EXPECT_EQ(dir.log(), log_banner + "Command-Line help only\n");
        EXPECT_EQ(r.trace, "") << "the help path touches no BMC";
    }
}

TEST(CommandLine, HelpInQuietModeShowsNothingAndStillLogs)
{
    SimDir dir;
    auto r = dir.run({"-h", "-q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    EXPECT_TRUE(dir.log().ends_with("Use -h for the list of options\nCommand-Line help only\n"));
}
