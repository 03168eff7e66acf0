// The command line: what each argument form sets, which forms are refused
// and with what message, the conflicts, the command-line report in the log
// and the help screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "main/qb40tool.h"
#include "settings.h"
#include "sim_run.h"

using qbtest::SimDir;

namespace {

// A valid image name of exactly `length` characters.
std::string image_name(size_t length) { return std::string(length - 10, 'd') + "qb4077.bin"; }

std::string syntax(const std::string& arg) { return "ERROR: Invalid Syntax \"" + arg + "\" [RETURN CODE:0x05]"; }

}  // namespace

TEST(CommandLine, EachAcceptedFormSetsExactlyItsSettings)
{
    struct Case {
        std::string args;     // separated by blanks; " | " between forms with the same result
        std::string changes;  // the settings that differ from the defaults afterwards
    };
    const std::string longest = image_name(254);
    const Case cases[] = {
        {"-c | -c0 | -cx", "ContinousUpgrade=1 UpgradeMax=100000"},
        {"-c25", "ContinousUpgrade=1 UpgradeMax=25"},
        {"-c3x", "ContinousUpgrade=1 UpgradeMax=3"},
        {"-c5 -c7", "ContinousUpgrade=1 UpgradeMax=7"},
        {"-cd5", "ContinousUpgradeDelay=5"},
        {"-cd12s", "ContinousUpgradeDelay=12"},
        // Without a digit 1-9 the delay key is accepted and changes nothing.
        {"-cd | -cd0 | -cdx", ""},
        {"-b15 | -b51", "BusIDRange=1 ScanBusID_Last=5"},  // the first bus stays 1
        {"-b0f", "BusIDRange=1 ScanBusID_First=0"},
        {"-bC3", "BusIDRange=1 ScanBusID_First=3 ScanBusID_Last=12"},
        {"-vpd", "GetI2CdeviceData=1"},
        {"-vpda2", "GetI2CdeviceData=1 VPDaddress=162"},
        {"-vpdA4", "GetI2CdeviceData=1 VPDaddress=164"},
        {"-vpda210", "GetI2CdeviceData=1 VPDaddress=162 VPD_BYTEStoREAD=16"},
        {"-vpda2ff", "GetI2CdeviceData=1 VPDaddress=162 VPD_BYTEStoREAD=255"},
        {"-vpda2zz", "GetI2CdeviceData=1 VPDaddress=162"},
        {"-mc42", "MuxChannelRange=1 BusIDchannelFirst=4 BusIDchannelLast=2"},
        {"-mc09", "MuxChannelRange=1 BusIDchannelFirst=0 BusIDchannelLast=9"},
        {"-sc31", "ScanChannels=1 BusIDchannelFirst=1 BusIDchannelLast=3"},
        {"-mc24 -sc13", "MuxChannelRange=1 ScanChannels=1 BusIDchannelFirst=1 BusIDchannelLast=3"},
        {"-sc13 -mc24", "MuxChannelRange=1 ScanChannels=1"},  // back to the default channels 2 and 4
        {"-mae6", "MuxAddress=1"},
        {"-ma3C", "MuxAddress=1 MUXaddress=60"},
        {"-q | --quiet", "QuietMode=1 UnconditionalUpgrade=1"},
        {"-dio", "DirectIO=1"},
        {"-vl", "VerboseLog=1"},
        {"-a", "AppendLogFile=1"},
        {"-u", "UnconditionalUpgrade=1"},
        {"-ms", "SendMuxSwitchingCommands=1"},
        {"-i", "ScanC0thruC6=1"},
        {"-d", "DiagnosticMode=1"},
        {"-z", "LEDcycling=1"},
        {"-? | -h | /? | /h | --help", "Help=1"},
        // Keys are found inside longer words and paths, before any bare name.
        {"fw-a.bin", "AppendLogFile=1"},
        {"/home/op/qb4077.bin", "Help=1"},
        {"x-zy", "LEDcycling=1"},
        // The image file: with -f (anything after -f in the same argument is
        // ignored), through a word holding -f, or bare as the first argument.
        {"-f qb4077.bin | -fzz qb4077.bin | -f qb4073.bin -f qb4077.bin",
         "FilenameSpecified=1 FrmUpgSet=1 BinFilename=qb4077.bin"},
        {"my-file.bin qb4080.bin", "FilenameSpecified=1 FrmUpgSet=1 BinFilename=qb4080.bin"},
        {"-u -f qb4077.bin -d",
         "FilenameSpecified=1 FrmUpgSet=1 UnconditionalUpgrade=1 DiagnosticMode=1 BinFilename=qb4077.bin"},
        {"qb4077.bin", "FilenameSpecified=1 BinFilename=qb4077.bin"},
        {"qb4077.bin -u", "FilenameSpecified=1 UnconditionalUpgrade=1 BinFilename=qb4077.bin"},
        {"-f " + longest, "FilenameSpecified=1 FrmUpgSet=1 BinFilename=" + longest},
        {longest, "FilenameSpecified=1 BinFilename=" + longest},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"qb40tool"};
        std::istringstream words(c.args + " |");
        for (std::string w; words >> w;) {
            if (w != "|") {
                args.push_back(w);
                continue;
            }
            SCOPED_TRACE(testing::PrintToString(args).substr(0, 60));
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            qbtest::restore_default_settings();
            ParseCommandLine(static_cast<int>(argv.size()), argv.data());
            EXPECT_EQ(qbtest::changed_settings(), c.changes);
            qbtest::restore_default_settings();
            args.resize(1);
        }
    }
}

TEST(CommandLine, RefusedArgumentsEndWithCodeFiveBeforeAnythingIsLogged)
{
    struct Case {
        std::vector<std::string> args;
        std::string console;  // without the "\r\n" the error adds
    };
    const std::string too_long = image_name(255);
    const std::string no_name = "ERROR: No filename specified after -f [RETURN CODE:0x05]";
    const std::string long_name = "ERROR: Filename too long (max 254 characters) [RETURN CODE:0x05]";
    std::vector<Case> cases;
    // Refused alone, as Invalid Syntax naming itself: values too short, too
    // long or not hex; keys only inside a word; -s (on the help screen, but
    // no key takes it); a bare name without a dot; format directives (data).
    for (const char* arg : {"-x", "", "-b", "-b1", "-b123", "-bg1", "-mc20", "-mcA2", "-mc123", "-scx1", "-mae",
                            "-mae6f", "-vpda", "-vpda21", "-vpdzz", "x-vpd", "-s20", "qb4077", "%s%n%d"})
        cases.push_back({{arg}, syntax(arg)});
    cases.insert(cases.end(), {
        // Parsing comes first and stops at the first error.
        {{"-h", "-x"}, syntax("-x")},
        {{"-x", "-f"}, syntax("-x")},
        // A bare name counts only as the first argument.
        {{"-u", "qb4077.bin"}, syntax("qb4077.bin")},
        {{"-f"}, no_name},
        {{"-u", "-f"}, no_name},
        {{"my-file.bin"}, no_name},
        {{"-f", too_long}, long_name},
        {{too_long}, long_name},
        // Quiet mode silences the error but not the code.
        {{"-q", "-x"}, ""},
        {{"-q", "-f"}, ""},
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args).substr(0, 80));
        SimDir dir;
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.console, c.console.empty() ? "" : c.console + "\r\n");
        EXPECT_FALSE(dir.exists("log.txt"));
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
    }
}

TEST(CommandLine, EveryConflictIsRefusedThroughTheLog)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string continuous = "ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string diagnostics = "ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string mux = "ERROR: Manual Sending of Mux commands \"-ms\" specified without MuxAddress "
                            "\"-ma[NUM]\" [RETURN CODE:0x05]\n";
    const Case cases[] = {
        {{"-q", "-c"}, continuous},
        {{"-c5", "-q"}, continuous},
        {{"-q", "-d"}, diagnostics},
        {{"-d", "-q"}, diagnostics},
        {{"-q", "-c", "-d"}, continuous},  // the first check that fires wins
        {{"-ms"}, mux},
        {{"-ms", "-q"}, mux},
        {{"-ms", "-mc24"}, mux},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        SimDir dir;
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        if (std::ranges::count(c.args, "-q"))
            EXPECT_EQ(r.console, "");
        else
            EXPECT_TRUE(r.console.ends_with("entering non-upgrade mode\r\n" + c.message + "\r\n")) << r.console;
        // The conflict is the log's last line, after the blank line that
        // ends the option report; nothing reached a BMC.
        EXPECT_TRUE(dir.log().ends_with(" \n" + c.message + "\n")) << dir.log();
        EXPECT_EQ(r.trace, "");
    }
}

TEST(CommandLine, ReportLogsTheRawLineAndEverySelectedOption)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> info;  // the log lines after "Command line info: "
        const char* console;            // what the console shows of the report; nullptr: quiet
    };
    const Case cases[] = {
        {{"-z", "-d", "-ms", "-mae6", "-sc31", "-mc42", "-vpda2", "-b51", "-i", "-u", "-cd2", "-c4", "-a", "-vl",
          "-dio"},
         {"No file name specified as command line, entering non-upgrade mode", "Selected -dio for direct io access",
          "Selected -vl for verbose logging", "Selected -a for append logging",
          "Selected -c for 4 continous upgrades", "Selected -cd for 2 (ms) delay ",
          "Selected -u for unconditional upgrade", "Selected -i for Scan 0xc0 thru 0xc6",
          "Selected -b for BusID range: 0x01 to 0x05", "Selected -vpd to Display VPD data at address 0xa0",
          "Selected -mc for Mux Channel range: 0x04 to 0x02",
          "Selected -sc for Scanning BMC Channel range: 0x04 to 0x02", "Selected -ma for Mux Address: 0xe6",
          "Selected -ms to Send Mux switching commands instead of relying on BMC",
          "Selected -d for diagnostic mode", "", " "},
         "Use -h for the list of options\r\n\nRaw command line: (argc:16)\r\n"
         "No file name specified as command line, entering non-upgrade mode\r\nStarted: "},
        {{"-q", "-f", "missing4077.bin"},
         {"Filename of binary: missing4077.bin", "Selected -q for quiet mode",
          "Selected -u for unconditional upgrade", " "},
         nullptr},
        {{}, {"No command line arguments", ""}, "Raw command line: (argc:1)\r\nNo command line arguments\r\n\r\nStarted: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size());
        SimDir dir;
        // No backplanes: the diagnostics asked for here would otherwise wait for keys.
        dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {}}]})");
        auto r = dir.run(c.args);
        std::vector<std::string> expected = {"Raw command line: (argc:" + std::to_string(c.args.size() + 1) + ")",
                                             "0: " QB40TOOL_SIM " "};
        for (size_t i = 0; i < c.args.size(); ++i)
            expected.push_back(std::to_string(i + 1) + ": " + c.args[i] + " ");
        expected.insert(expected.end(), {"", "Command line info: "});
        expected.insert(expected.end(), c.info.begin(), c.info.end());
        expected.push_back("OS: Linux");
        auto log = qbtest::lines(dir.log());
        auto at = std::ranges::find(log, expected[0]);
        ASSERT_GE(log.end() - at, static_cast<long>(expected.size())) << dir.log();
        EXPECT_EQ(std::vector<std::string>(at, at + static_cast<long>(expected.size())), expected);
        if (c.console)
            EXPECT_NE(r.console.find(c.console), std::string::npos) << r.console;
        else
            EXPECT_EQ(r.console, "");
    }
}

TEST(CommandLine, HelpScreenIsShownOnceAndOnlyOnTheConsole)
{
    const std::string banner = "\r\nQB40XX Firmware Upgrade tool ver 3.31 10/22/2010\r\n"
                               "Finds, reports and upgrades QB40xx backplane controllers through the BMC\r\n"
                               "Use -h for the list of options\r\n";
    std::string log = banner;
    std::erase(log, '\r');
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-u", "-?", "-c3"}, {"-u", "-h", "-c3"},
                                                 {"-u", "/?", "-c3"}, {"-u", "/h", "-c3"}, {"-u", "--help", "-c3"},
                                                 {"-h", "-q"}}) {
        SCOPED_TRACE(args[1]);
        SimDir dir;
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.log(), log + "Command-Line help only\n");
        EXPECT_EQ(r.trace, "") << "the help path touches no BMC";
        if (args[1] == "-q") {
            EXPECT_EQ(r.console, "");
            continue;
        }
        ASSERT_TRUE(r.console.starts_with(banner + "\n Usage: qb40tool [options] \r\n\n     -f file           Firmware file"))
            << r.console;
        EXPECT_TRUE(r.console.ends_with("\n     -?, -h, --help    Displays this screen\n\n"));
        EXPECT_NE(r.console.find("\n     -s[NUM]\t       Scans Special BusID [NUM] only, i.e. -s20 scans BusID 20\n"),
                  std::string::npos);
        // 27 help lines, each starting on its own line feed, and no other line end.
        std::string body = r.console.substr(banner.size());
        EXPECT_EQ(std::ranges::count(body, '\n'), 1 + 1 + 27 + 2);
        EXPECT_EQ(std::ranges::count(body, '\r'), 1);
    }
}
