// SPDX-License-Identifier: MIT
// The command line: what each argument form sets, which forms are refused
// and with what message, the conflicts, the command-line report in the log
// and the help screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/settings.h"
#include "in_process.h"
#include "main/options.h"
#include "main/scan.h"
#include "main/vpd.h"
#include "programs.h"
#include "settings.h"
#include "sim_run.h"

using qbtest::SimDir;
using Args = std::vector<std::string>;

namespace {

// A valid image name of exactly `length` characters.
std::string image_name(size_t length) { return std::string(length - 10, 'd') + "qb4077.bin"; }

std::string syntax(const std::string& arg) { return "ERROR: Invalid Syntax \"" + arg + "\" [RETURN CODE:0x05]"; }

// An argument beginning with -- that no option takes.
std::string unknown(const std::string& arg)
{
    return "ERROR: Unknown option \"" + arg +
           "\" (an argument beginning with -- is one of --help-all's options, whole or as --NAME=VALUE) "
           "[RETURN CODE:0x05]";
}

}  // namespace

TEST(CommandLine, EachAcceptedFormSetsExactlyItsSettings)
{
    struct Case {
        std::string forms;    // arguments separated by blanks; " | " between forms with the same result
        std::string changes;  // the settings that differ from the defaults afterwards
    };
    const std::string longest = image_name(254), endless = "ContinousUpgrade=1 UpgradeMax=100000";
    const std::string file = "FilenameSpecified=1 FrmUpgSet=1 BinFilename=";
    const Case cases[] = {
        {"-c | -c0 | -cx", endless}, {"-c25", "ContinousUpgrade=1 UpgradeMax=25"},
        {"-c3x", "ContinousUpgrade=1 UpgradeMax=3"}, {"-c5 -c7", "ContinousUpgrade=1 UpgradeMax=7"},
        // Without a digit 1-9 the delay key is accepted and changes nothing.
        {"-cd5", "ContinousUpgradeDelay=5"}, {"-cd12s", "ContinousUpgradeDelay=12"}, {"-cd | -cd0 | -cdx", ""},
        {"-b15 | -b51", "BusIDRange=1 ScanBusID_Last=5"},  // the first bus stays 1
        {"-b0f", "BusIDRange=1 ScanBusID_First=0"}, {"-bC3", "BusIDRange=1 ScanBusID_First=3 ScanBusID_Last=12"},
        {"-vpd", "GetI2CdeviceData=1"}, {"-vpda2 | -vpda2zz", "GetI2CdeviceData=1 VPDaddress=162"},
        {"-vpdA4", "GetI2CdeviceData=1 VPDaddress=164"},
        {"-vpda210", "GetI2CdeviceData=1 VPDaddress=162 VPD_BYTEStoREAD=16"},
        {"-vpda2ff", "GetI2CdeviceData=1 VPDaddress=162 VPD_BYTEStoREAD=255"},
        {"-mc42", "MuxChannelRange=1 BusIDchannelFirst=4 BusIDchannelLast=2"},
        {"-mc09", "MuxChannelRange=1 BusIDchannelFirst=0 BusIDchannelLast=9"},
        {"-sc31", "ScanChannels=1 BusIDchannelFirst=1 BusIDchannelLast=3"},
        {"-mc24 -sc13", "MuxChannelRange=1 ScanChannels=1 BusIDchannelFirst=1 BusIDchannelLast=3"},
        {"-sc13 -mc24", "MuxChannelRange=1 ScanChannels=1"},  // back to the default channels 2 and 4
        {"-mae6", "MuxAddress=1"}, {"-ma3C", "MuxAddress=1 MUXaddress=60"},
        {"-q", "QuietMode=1 UnconditionalUpgrade=1"}, {"-dio", "DirectIO=1"}, {"-vl", "VerboseLog=1"},
        {"-a", "AppendLogFile=1"}, {"-u", "UnconditionalUpgrade=1"}, {"-ms", "SendMuxSwitchingCommands=1"},
        {"-i", "ScanC0thruC6=1"}, {"-d", "DiagnosticMode=1"}, {"-z", "LEDcycling=1"},
        {"-? | -h | /? | /h | --help", "Help=1"},
        // Keys are found inside longer words and paths, before any bare name.
        {"fw-a.bin", "AppendLogFile=1"}, {"/home/op/qb4077.bin", "Help=1"}, {"x-zy", "LEDcycling=1"},
        // The image file: with -f (anything after -f in the same argument is
        // ignored), through a word holding -f, or bare as the first argument.
        {"-f qb4077.bin | -fzz qb4077.bin | -f qb4073.bin -f qb4077.bin", file + "qb4077.bin"},
        {"my-file.bin qb4080.bin", file + "qb4080.bin"}, {"-f " + longest, file + longest},
        {"-u -f qb4077.bin -d",
         "FilenameSpecified=1 FrmUpgSet=1 UnconditionalUpgrade=1 DiagnosticMode=1 BinFilename=qb4077.bin"},
        {"qb4077.bin", "FilenameSpecified=1 BinFilename=qb4077.bin"}, {longest, "FilenameSpecified=1 BinFilename=" + longest},
        {"qb4077.bin -u", "FilenameSpecified=1 UnconditionalUpgrade=1 BinFilename=qb4077.bin"},
        // Whole-argument options come first: the word after --report is its
        // file, even one that holds a key.
        {"--strict", "Strict=1"}, {"--report -q | --report r.json --report -q", "ReportFilename=-q"},
        {"qb4077.bin --strict --report r.json", "FilenameSpecified=1 Strict=1 BinFilename=qb4077.bin ReportFilename=r.json"},
        {"--expect 1 | --expect 64 --expect 001 | --expect=1", "ExpectedControllers=1"},
        {"--expect 064 | --expect=64", "ExpectedControllers=64"},
        // The digest is kept in lower case, whatever case it came in.
        {"--image-sha256 " + std::string(64, 'A') + " | --image-sha256 " + std::string(64, 'a') +
             " | --image-sha256=" + std::string(64, 'A'),
         "ExpectedImageSha256=" + std::string(64, 'a')},
        // Every option that takes a value takes it after "=" as well, whole.
        {"--report=r.json | --report=-q --report r.json", "ReportFilename=r.json"},
        {"--report==x", "ReportFilename==x"},
        {"--capture=c.jsonl --capture-redact=vpd,host",
         "CaptureRedactVpd=1 CaptureRedactHost=1 CaptureFilename=c.jsonl"},
        {"--metrics=m.prom", "MetricsFilename=m.prom"},
        // The network road: each --lan one BMC, its port 623 unless given.
        {"--lan bmc-a | --lan=bmc-a:623", "LanBmcCount=1 LanHosts[0]=bmc-a:623"},
        {"--lan 10.0.0.5:6230 --lan [fd00::5] --lan=[::1]:9 --lan fe80::1",
         "LanBmcCount=4 LanHosts[0]=10.0.0.5:6230 LanHosts[1]=fd00::5:623 LanHosts[2]=::1:9 LanHosts[3]=fe80::1:623"},
        {"--lan b --lan-user admin --lan-cipher 3 --lan-privilege operator --lan-timeout 50 --lan-retries 0",
         "LanBmcCount=1 LanCipher=3 LanPrivilege=3 LanTimeoutMs=50 LanRetries=0 LanUser=admin LanHosts[0]=b:623"},
        {"--lan=b --lan-user= --lan-cipher=17 --lan-privilege=administrator --lan-retries=10",
         "LanBmcCount=1 LanCipher=17 LanRetries=10 LanHosts[0]=b:623"},
        {"--plan", "Plan=1"}, {"--read-only", "ReadOnly=1"}, {"--help-all", "Help=1 HelpAll=1"},
        {"--read-only -ms -mae6 -i", "MuxAddress=1 SendMuxSwitchingCommands=1 ScanC0thruC6=1 ReadOnly=1"},
    };
    for (const Case& c : cases) {
        Args args = {"qb40tool"};
        std::istringstream words(c.forms + " |");
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
    std::vector<std::pair<Args, std::string>> cases;  // the arguments, the console without its "\r\n"
    // Refused alone, as Invalid Syntax naming itself: values too short, too
    // long or not hex; keys only inside a word; -s (on the help screen, but
    // no key takes it); a bare name without a dot; format directives (data).
    for (const char* arg : {"-x", "", "-b", "-b1", "-b123", "-bg1", "-mc20", "-mcA2", "-mc123", "-scx1", "-mae",
                            "-mae6f", "-vpda", "-vpda21", "-vpdzz", "x-vpd", "-s20", "qb4077", "%s%n%d", "x--strict",
                            "-strict"})
        cases.push_back({{arg}, syntax(arg)});
    // An argument beginning with -- is an option of the table or --help, never
    // a word the classic keys are looked for in: each of these holds one
    // (--dry-run is -d, --image_sha256 and --imagesha256=... are -i, --quiet -q).
    for (const char* arg : {"--strictx", "--STRICT", "--reports", "--quiet", "--dry-run", "--image_sha256",
                            "--imagesha256=00", "--helpx", "--help=1", "--", "---q", "--read-only-plan",
                            "--capture-redactx=vpd", "--fw4077.bin"})
        cases.push_back({{arg}, unknown(arg)});
    cases.push_back({{"--help-all=1"}, "ERROR: --help-all takes no value: \"--help-all=1\" [RETURN CODE:0x05]"});
    cases.push_back({{"--read-only=yes"}, "ERROR: --read-only takes no value: \"--read-only=yes\" [RETURN CODE:0x05]"});
    cases.push_back({{"--image-sha256=" + std::string(63, '0')},
                     "ERROR: Invalid SHA-256 digest \"" + std::string(63, '0') +
                         "\" after --image-sha256 (64 hexadecimal digits) [RETURN CODE:0x05]"});
    cases.push_back({{"--image-sha256="}, "ERROR: No digest specified after --image-sha256 [RETURN CODE:0x05]"});
    cases.push_back({{"--capture-redact=all"}, "ERROR: --capture-redact takes vpd, host or both (vpd,host) [RETURN CODE:0x05]"});
    cases.push_back({{"--capture-redact=vpd"}, "ERROR: --capture-redact without --capture [RETURN CODE:0x05]"});
    cases.push_back({{"--metrics="}, "ERROR: No filename specified after --metrics [RETURN CODE:0x05]"});
    // The network road's options: a BMC address, a user, a choice, a number.
    const std::string bad_bmc = "\" after --lan (HOST, HOST:PORT or [IPv6]:PORT) [RETURN CODE:0x05]";
    for (const char* address : {"b:0", "b:65536", "b:x", ":623", "[::1", "[::1]x", "[]:5", "b:"})
        cases.push_back({{"--lan", address}, "ERROR: Invalid BMC address \"" + std::string(address) + bad_bmc});
    cases.push_back({{"--lan"}, "ERROR: No BMC address specified after --lan [RETURN CODE:0x05]"});
    cases.push_back({{"--lan", "a", "--lan", "b", "--lan", "c", "--lan", "d", "--lan", "e"},
                     "ERROR: --lan given more than 4 times [RETURN CODE:0x05]"});
    cases.push_back({{"--lan-user", "admin"}, "ERROR: --lan-user without --lan [RETURN CODE:0x05]"});
    cases.push_back({{"--lan", "b", "--lan-user", std::string(17, 'u')},
                     "ERROR: --lan-user needs a User name of at most 16 characters [RETURN CODE:0x05]"});
    for (const char* cipher : {"0", "1", "2", "12", "x", ""})
        cases.push_back({{"--lan", "b", "--lan-cipher", cipher}, "ERROR: --lan-cipher takes 17 or 3 [RETURN CODE:0x05]"});
    cases.push_back({{"--lan", "b", "--lan-privilege", "user"},
                     "ERROR: --lan-privilege takes operator or administrator [RETURN CODE:0x05]"});
    for (const char* ms : {"9", "60001", "", "1s"})
        cases.push_back({{"--lan", "b", "--lan-timeout", ms},
                         "ERROR: --lan-timeout needs a number of milliseconds from 10 to 60000 [RETURN CODE:0x05]"});
    cases.push_back({{"--lan", "b", "--lan-retries", "11"},
                     "ERROR: --lan-retries needs a number of sendings from 0 to 10 [RETURN CODE:0x05]"});
    const std::string no_name = "ERROR: No filename specified after -f [RETURN CODE:0x05]";
    const std::string too_long = "ERROR: Filename too long (max 254 characters) [RETURN CODE:0x05]";
    const std::string no_report = "ERROR: No filename specified after --report [RETURN CODE:0x05]";
    cases.insert(cases.end(), {
        {{"-h", "-x"}, syntax("-x")}, {{"-x", "-f"}, syntax("-x")},  // parsing stops at the first error
        {{"-u", "qb4077.bin"}, syntax("qb4077.bin")},                // a bare name only as the first argument
        {{"-f"}, no_name}, {{"-u", "-f"}, no_name}, {{"my-file.bin"}, no_name},
        {{"-f", image_name(255)}, too_long}, {{image_name(255)}, too_long},
        {{"-q", "-x"}, ""}, {{"-q", "-f"}, ""},  // quiet mode silences the error but not the code
        {{"--report"}, no_report}, {{"--report", ""}, no_report}, {{"--strict", "--report"}, no_report},
        {{"--report="}, no_report},
        {{"-f", "--report"}, "ERROR: Invalid filename specified after -f [RETURN CODE:0x05]"},
        {{"--report", "r.json", "-x"}, syntax("-x")},  // the report tells it, and nothing else is written
        {{"--strict", "qb4077.bin"}, syntax("qb4077.bin")},
    });
    // --expect takes the next argument whole: a count from 1 to 64 in decimal digits.
    const std::string no_count = "ERROR: --expect needs a number of controllers from 1 to 64 [RETURN CODE:0x05]";
    for (const char* count : {"", "0", "65", "1000", "2x", "-1", "+2", " 2", "0x10"}) {
        cases.push_back({{"--expect", count}, no_count});
        cases.push_back({{std::string("--expect=") + count}, no_count});
    }
    cases.push_back({{"-u", "--expect"}, no_count});
    for (const auto& [args, console] : cases) {
        SCOPED_TRACE(testing::PrintToString(args).substr(0, 80));
        SimDir dir;
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.console, console.empty() ? "" : console + "\r\n");
        EXPECT_FALSE(dir.exists("log.txt"));
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
    }
}

TEST(CommandLine, EveryConflictIsRefusedThroughTheLog)
{
    const std::string continuous = "ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string diagnostics = "ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x05]\n";
    const std::string mux = "ERROR: Manual Sending of Mux commands \"-ms\" specified without MuxAddress "
                            "\"-ma[NUM]\" [RETURN CODE:0x05]\n";
    const std::pair<Args, std::string> cases[] = {
        {{"-q", "-c"}, continuous}, {{"-c5", "-q"}, continuous}, {{"-q", "-d"}, diagnostics},
        {{"-d", "-q"}, diagnostics}, {{"-q", "-c", "-d"}, continuous},  // the first check that fires wins
        {{"-ms"}, mux}, {{"-ms", "-q"}, mux}, {{"-ms", "-mc24"}, mux},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        SimDir dir;
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        if (std::ranges::count(args, "-q"))
            EXPECT_EQ(r.console, "");
        else
            EXPECT_TRUE(r.console.ends_with("entering non-upgrade mode\r\n" + message + "\r\n")) << r.console;
        // The conflict is the log's last line, after the blank line that
        // ends the option report; nothing reached a BMC.
        EXPECT_TRUE(dir.log().ends_with(" \n" + message + "\n")) << dir.log();
        EXPECT_EQ(r.trace, "");
    }
}

TEST(CommandLine, ReportLogsTheRawLineAndEverySelectedOption)
{
    const std::pair<Args, std::vector<std::string>> cases[] = {
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
          "Selected -d for diagnostic mode", "", " "}},
        {{"-q", "-f", "missing4077.bin", "--strict", "--report", "r.json"},
         {"Filename of binary: missing4077.bin", "Selected -q for quiet mode", "Selected -u for unconditional upgrade",
          "Selected --strict for an exit status of the whole run", "Selected --report for a report in r.json", " "}},
        {{"--expect", "3", "-b12"},
         {"No file name specified as command line, entering non-upgrade mode",
          "Selected -b for BusID range: 0x01 to 0x02", "Selected --expect for at least 3 controllers", " "}},
        {{"-b12", "--read-only"},
         {"No file name specified as command line, entering non-upgrade mode",
          "Selected -b for BusID range: 0x01 to 0x02", "Selected --read-only: no register, LED or EEPROM byte written",
          " "}},
    };
    for (const auto& [args, info] : cases) {
        SimDir dir;
        // No backplanes: the diagnostics asked for here would otherwise wait for keys.
        dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {}}]})");
        auto r = dir.run(args);
        std::vector<std::string> expected = {"Raw command line: (argc:" + std::to_string(args.size() + 1) + ")",
                                             "0: " + std::string(qbtest::kToolSim) + " "};
        for (size_t i = 0; i < args.size(); ++i)
            expected.push_back(std::to_string(i + 1) + ": " + args[i] + " ");
        expected.insert(expected.end(), {"", "Command line info: "});
        expected.insert(expected.end(), info.begin(), info.end());
        expected.push_back("OS: Linux");
        auto log = qbtest::lines(dir.log());
        auto at = std::ranges::find(log, expected[0]);
        ASSERT_GE(log.end() - at, static_cast<long>(expected.size())) << dir.log();
        EXPECT_EQ(std::vector<std::string>(at, at + static_cast<long>(expected.size())), expected);
    }
    // The console shows only the console-and-log lines of the report; quiet mode, none.
    SimDir dir;
    EXPECT_NE(dir.run({"-i"}).console.find("Use -h for the list of options\r\n\nRaw command line: (argc:2)\r\n"
                                            "No file name specified as command line, entering non-upgrade mode\r\n"
                                            "Started: "),
              std::string::npos);
    EXPECT_EQ(dir.run({"-q", "-i"}).console, "");
}

TEST(CommandLine, HelpScreenIsShownOnceAndOnlyOnTheConsole)
{
    const std::string banner = "\r\nQB40XX Firmware Upgrade tool ver 3.31 10/22/2010\r\n"
                               "Finds, reports and upgrades QB40xx backplane controllers through the BMC\r\n"
                               "Use -h for the list of options\r\n";
    std::string log = banner;
    std::erase(log, '\r');
    // Every help form sets the same setting (EachAcceptedFormSetsExactlyItsSettings).
    for (const Args& args : {Args{"-u", "/?", "-c3"}, {"-h", "-q"}}) {
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

TEST(CommandLine, HelpAllIsTheHelpScreenThenEveryOptionBeyondItOneLineEach)
{
    SimDir dir;
    auto classic = dir.run({"-h"});
    std::string classic_log = dir.log();
    auto all = dir.run({"--help-all"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.trace, "") << "the help path touches no BMC";
    EXPECT_EQ(dir.log(), classic_log);
    // The classic screen as it is, its closing blank lines after the rest.
    const std::string body = classic.console.substr(0, classic.console.size() - 2);
    ASSERT_TRUE(all.console.starts_with(body)) << all.console;
    ASSERT_TRUE(all.console.ends_with("\n\n"));
    std::vector<std::string> added = qbtest::lines(all.console.substr(body.size()));
    // Every option the manual page names beyond the classic screen has a
    // line of its own, and no line names an option twice.
    std::string manual = qbtest::read_file(std::string(QB40_SOURCE_DIR) + "/docs/qb40tool.8");
    std::vector<std::string> options = {"-dio", "-ms"};
    std::istringstream page(manual);
    for (std::string line; std::getline(page, line);) {
        const std::string key = line.starts_with(".BI \\-\\-") ? line.substr(4) : line.starts_with(".B \\-\\-") ? line.substr(3) : "";
        if (key.empty())
            continue;
        std::string option;
        for (char c : key.substr(0, key.find(' ')))
            if (c != '\\')
                option += c;
        if (std::ranges::find(options, option) == options.end())
            options.push_back(option);
    }
    EXPECT_GE(options.size(), 10u);
    for (const std::string& option : options) {
        size_t with = std::ranges::count_if(added, [&](const std::string& l) { return l.starts_with("     " + option + " "); });
        EXPECT_EQ(with, 1u) << option;
    }
    EXPECT_EQ(dir.run({"--help-all", "-q"}).console, "");
}
