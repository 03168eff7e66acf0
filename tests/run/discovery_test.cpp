// SPDX-License-Identifier: MIT
// Finding and opening the BMCs: the driver probe, loading the driver (asked
// or quiet), the KCS port scan with -dio, counting up to four BMCs and
// opening them one per pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "sim_run.h"

using qbtest::count_lines;
using qbtest::lines;
using qbtest::missing_in_order;
using qbtest::SimDir;
using qbtest::trace_events;

namespace {

using Lines = std::vector<std::string>;

const Lines kLoadLines = {"    Loading ipmi_si driver...", "    Loading ipmi_devintf driver...",
                          "    Loading ipmi_msghandler driver..."};
const Lines kLoadEvents = {"shell \"modprobe ipmi_si\"",         "sleep 3000000", "shell \"modprobe ipmi_devintf\"",
                           "sleep 3000000", "shell \"modprobe ipmi_msghandler\"", "sleep 4000000"};
const std::string kQuestion = "Load OpenIPMI drivers? Press Y or N (Yes or No): ";
const Lines kHints = {"Try the following commands to load the OpenIPMI driver:", "  modprobe ipmi_si",
                      "  modprobe ipmi_devintf", "  modprobe ipmi_msghandler", ""};

Lines concat(std::initializer_list<Lines> parts)
{
    Lines out;
    for (const Lines& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(Discovery, TheLoadQuestionLoadsAsOftenAsTheOperatorSaysYes)
{
    struct Case {
        const char* driver;
        const char* keys;
        size_t questions, loads, found;
    };
    const Case cases[] = {
        {"loadable", R"([{"at": 0, "key": "y"}])", 1, 1, 1},
        {"loadable", R"([{"at": 0, "key": "Y"}])", 1, 1, 1},
        {"loadable", R"([{"at": 0, "key": "n"}])", 1, 0, 0},
        {"absent", R"([{"at": 0, "key": "y"}, {"at": 11, "key": "n"}])", 2, 1, 0},
        {"absent", R"([{"at": 0, "key": "y"}, {"at": 11, "key": "y"}, {"at": 22, "key": "esc"}])", 3, 2, 0},
        {"loadable", "[]", 1, 0, 0},  // end of input
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.driver) + " " + c.keys);
        SimDir dir;
        dir.machine(std::string(R"({"driver": ")") + c.driver + R"(", "keys": )" + c.keys +
                    R"(, "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})");
        auto r = dir.run({"-u"});
        EXPECT_EQ(r.status, 0);
        auto console = lines(r.console);
        auto events = trace_events(r.trace);
        EXPECT_EQ(count_lines(console, kQuestion), c.questions);
        EXPECT_EQ(count_lines(console, "Loading OpenIPMI drivers..."), c.loads);
        EXPECT_EQ(count_lines(events, "shell \"modprobe ipmi_si\""), c.loads);
        EXPECT_EQ(count_lines(events, "terminal raw"), c.questions);
        EXPECT_EQ(count_lines(events, "terminal cooked"), c.questions);
        // Every failed probe asks once; the probe is repeated after each load.
        EXPECT_EQ(count_lines(events, "open /dev/ipmidev/0 = -1 ENOENT"), c.questions);
        const Lines asked_and_loaded = {"ERROR: Unable to open IPMI driver", "", kQuestion,
                                        "Loading OpenIPMI drivers...", kLoadLines[0]};
        EXPECT_EQ(missing_in_order(console, c.loads ? asked_and_loaded : Lines{kQuestion}), "");
        EXPECT_EQ(missing_in_order(console, c.found ? Lines{"Total BMC found: 1"} : kHints), "");
        EXPECT_EQ(count_lines(console, kHints[0]), 1 - c.found);
    }
}

TEST(Discovery, QuietModeLoadsAtMostTwiceWithoutAskingAndCostsNoRealTime)
{
    SimDir dir;
    const time_t start = 1700000000;
    dir.machine(R"({"driver": "absent", "clock": {"start": 1700000000}, "bmcs": []})");
    auto started = std::chrono::steady_clock::now();
    auto r = dir.run({"-q"});
    std::chrono::duration<double> real = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    const Lines probe = {"open /dev/ipmi0 = -1 ENOENT", "open /dev/ipmidev/0 = -1 ENOENT"};
    EXPECT_EQ(trace_events(r.trace), concat({probe, kLoadEvents, probe, kLoadEvents}));
    // Two attempts of 3 + 3 + 4 seconds on the virtual clock, none of it real.
    EXPECT_TRUE(r.trace.ends_with("\n16.000000 sleep 4000000\n")) << r.trace;
    EXPECT_LT(real.count(), 2.0);
    auto ctime_line = [](const char* label, time_t t) { return label + std::string(std::ctime(&t)).substr(0, 24); };
    auto log = lines(dir.log());
    EXPECT_EQ(count_lines(log, "ERROR: Unable to open IPMI driver"), 2u);
    EXPECT_EQ(missing_in_order(log, concat({{ctime_line("Started: ", start), "Trying to Load OpenIPMI drivers..."},
                                            kLoadLines, {"Trying to Load OpenIPMI drivers..."}, kLoadLines,
                                            {"", "Loading IPMI driver failed"}, kHints,
                                            {"Total BMC found: 0", ctime_line("Finished: ", start + 20)}})),
              "");

    // A load that brings the driver ends the attempts.
    dir.machine(R"({"driver": "loadable", "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})");
    r = dir.run({"-q"});
    EXPECT_EQ(count_lines(trace_events(r.trace), "shell \"modprobe ipmi_si\""), 1u);
    EXPECT_EQ(missing_in_order(lines(dir.log()), {"Total BMC found: 1", "BmcOpen Success"}), "");
}

TEST(Discovery, DirectIoScansThePortPairsInOrder)
{
    struct Case {
        const char* machine;
        Lines scan;  // the console after the warnings, up to the count
    };
    const Lines warnings = {"WARNING: Unable to open IPMI driver",     "", "Using direct IO access to BMC", "",
                            "WARNING: Unable to open OpenIPMI driver", "", "Using direct IO access to BMC", ""};
    const std::string first = "Scanning BMC Port Address 0 of 2", second = "Scanning BMC Port Address 1 of 2",
                      third = "Scanning BMC Port Address 2 of 2";
    const std::string not_first = "BMC not Found at CMD/STAT:0x0ca3 DATA:0x0ca2";
    const std::string not_second = "BMC not Found at CMD/STAT:0x0cac DATA:0x0ca8";
    const Case cases[] = {
        {R"([{"kcs": 0, "buses": {}}])", {first, "BMC Found at CMD/STAT:0x0ca3 DATA:0x0ca2", "", "Total BMC found: 1"}},
        {R"([{"kcs": 1, "buses": {}}])",
         {first, not_first, second, "BMC Found at CMD/STAT:0x0cac DATA:0x0ca8", "", "Total BMC found: 1"}},
        {R"([{"kcs": 2, "buses": {}}])",
         {first, not_first, second, not_second, third, "BMC Found at CMD/STAT:0x0cb4 DATA:0x0cb0", "",
          "Total BMC found: 1"}},
        {R"([])",
         {first, not_first, second, not_second, third, "BMC not Found at CMD/STAT:0x0cb4 DATA:0x0cb0",
          "BMC NOT FOUND! A BMC must be present to upgrade the firmware", "", "Total BMC found: 0"}},
        {R"([{"kcs": 0, "buses": {}}], "iopl": false)",
         {"ERROR: Unable to set I/O permissions. Please try loggin in as root or using sudo", "", "",
          "Total BMC found: 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(std::string(R"({"driver": "absent", "bmcs": )") + c.machine + "}");
        auto r = dir.run({"-dio"});
        EXPECT_EQ(r.status, 0);
        const Lines console = lines(r.console);
        EXPECT_FALSE(std::ranges::search(console, concat({warnings, c.scan})).empty()) << r.console;
        // The pass opens the BMC found by the count once more, the same way.
        size_t found = c.scan.back() == "Total BMC found: 1";
        EXPECT_EQ(count_lines(lines(dir.log()), warnings[0]), 1 + found);
        EXPECT_EQ(count_lines(lines(dir.log()), "BmcOpen Success"), found);
    }
    // With the driver there, -dio changes nothing.
    SimDir dir;
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {}}]})");
    auto r = dir.run({"-dio"});
    EXPECT_EQ(r.trace.find("iopl"), std::string::npos);
    EXPECT_EQ(missing_in_order(lines(r.console), {"Total BMC found: 1", "Successfully opened OpenIPMI driver"}), "");
}

TEST(Discovery, EveryBmcIsCountedAndOpenedInOrderOncePerPass)
{
    struct Case {
        std::string machine;
        size_t found;
        Lines opened;  // the nodes the passes open, each after the probe of the first
    };
    auto passes = [](const Lines& nodes) {
        Lines out;
        for (const std::string& node : nodes)
            out.insert(out.end(), {nodes[0], node});
        return out;
    };
    const Case cases[] = {
        {qbtest::machine_file("default.json"), 1, passes({"/dev/ipmi0"})},
        {qbtest::machine_file("two_bmcs.json"), 2, passes({"/dev/ipmi0", "/dev/ipmi1"})},
        {qbtest::machine_file("four_bmcs.json"), 4, passes({"/dev/ipmi0", "/dev/ipmi1", "/dev/ipmi2", "/dev/ipmi3"})},
        // The older layout's name of the first interface serves as the first BMC.
        {qbtest::machine_file("ipmidev_only.json"), 1, passes({"/dev/ipmidev/0"})},
        // A node that no longer opens after the count still counts as opened.
        {R"({"vanishing_nodes": {"/dev/ipmi1": 1},
             "bmcs": [{"node": "/dev/ipmi0", "buses": {}}, {"node": "/dev/ipmi1", "buses": {}}]})",
         2, {"/dev/ipmi0", "/dev/ipmi0", "/dev/ipmi0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine.substr(0, 80));
        SimDir dir;
        dir.machine(c.machine);
        auto r = dir.run({"-u"});
        EXPECT_EQ(r.status, 0);
        auto log = lines(dir.log());
        EXPECT_EQ(count_lines(log, "Total BMC found: " + std::to_string(c.found)), 1u);
        EXPECT_EQ(count_lines(log, "BmcOpen Success"), c.found);
        EXPECT_EQ(count_lines(log, "Successfully opened OpenIPMI driver"), c.found + 1);
        EXPECT_EQ(count_lines(log, "Kcs Close"), c.found);
        // The passes open these nodes after the count (which tries /dev/ipmi3
        // last), and every descriptor of the run is closed again.
        Lines opened, open_now;
        bool counted = false;
        std::smatch m;
        for (const std::string& e : trace_events(r.trace)) {
            if (std::regex_match(e, m, std::regex(R"(open (\S+) = (\d+))"))) {
                if (counted)
                    opened.push_back(m[1]);
                open_now.push_back(m[2]);
            } else if (std::regex_match(e, m, std::regex(R"(close (\d+))"))) {
                std::erase(open_now, m[1].str());
            }
            counted = counted || e.starts_with("open /dev/ipmi3");
        }
        EXPECT_EQ(opened, c.opened);
        EXPECT_TRUE(open_now.empty()) << "left open: " << testing::PrintToString(open_now);
    }
}
