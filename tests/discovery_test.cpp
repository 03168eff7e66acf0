// Finding and opening the BMCs: the driver probe, loading the driver (asked
// or quiet), the KCS port scan with -dio, counting up to four BMCs and
// opening them one per pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "sim_run.h"

using qbtest::lines;
using qbtest::missing_in_order;
using qbtest::SimDir;
using qbtest::trace_events;

namespace {

const std::vector<std::string> kLoadLines = {
    "    Loading ipmi_si driver...",
    "    Loading ipmi_devintf driver...",
    "    Loading ipmi_msghandler driver...",
};

const std::vector<std::string> kLoadEvents = {
    "shell \"modprobe ipmi_si\"",         "sleep 3000000", "shell \"modprobe ipmi_devintf\"", "sleep 3000000",
    "shell \"modprobe ipmi_msghandler\"", "sleep 4000000",
};

const std::vector<std::string> kHints = {
    "Try the following commands to load the OpenIPMI driver:",
    "  modprobe ipmi_si",
    "  modprobe ipmi_devintf",
    "  modprobe ipmi_msghandler",
    "",
};

size_t count_of(const std::vector<std::string>& all, const std::string& line)
{
    return static_cast<size_t>(std::count(all.begin(), all.end(), line));
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string machine_with_driver(const std::string& driver, const std::string& keys)
{
    return R"({"driver": ")" + driver + R"(", "keys": )" + keys +
           R"(, "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})";
}

// Device nodes opened by the passes, after discovery has counted.
std::vector<std::string> nodes_opened_after_count(const std::string& trace)
{
    std::vector<std::string> opened;
    bool counting_done = false;
    std::regex open_ok(R"(open (\S+) = \d+)");
    for (const std::string& e : trace_events(trace)) {
        std::smatch m;
        if (counting_done && std::regex_match(e, m, open_ok))
            opened.push_back(m[1]);
        if (e.starts_with("open /dev/ipmi3"))
            counting_done = true;  // the count tries /dev/ipmi3 last
    }
    return opened;
}

// Every descriptor the run opened was closed again.
void expect_no_descriptor_left_open(const std::string& trace)
{
    std::regex open_ok(R"(open \S+ = (\d+))"), closed(R"(close (\d+))");
    std::vector<std::string> open_now;
    for (const std::string& e : trace_events(trace)) {
        std::smatch m;
        if (std::regex_match(e, m, open_ok))
            open_now.push_back(m[1]);
        else if (std::regex_match(e, m, closed))
            std::erase(open_now, m[1].str());
    }
    EXPECT_TRUE(open_now.empty()) << "left open: " << testing::PrintToString(open_now);
}

}  // namespace

TEST(Discovery, TheLoadQuestionLoadsAsOftenAsTheOperatorSaysYes)
{
    struct Case {
        const char* name;
        std::string driver;
        std::string keys;
        int questions;
        int loads;
        bool hints;
        int found;
    };
    const Case cases[] = {
        {"loadable, y", "loadable", R"([{"at": 0, "key": "y"}])", 1, 1, false, 1},
        {"loadable, Y", "loadable", R"([{"at": 0, "key": "Y"}])", 1, 1, false, 1},
        {"loadable, n", "loadable", R"([{"at": 0, "key": "n"}])", 1, 0, true, 0},
        {"absent, y then n", "absent", R"([{"at": 0, "key": "y"}, {"at": 11, "key": "n"}])", 2, 1, true, 0},
        {"absent, y y then esc", "absent",
         R"([{"at": 0, "key": "y"}, {"at": 11, "key": "y"}, {"at": 22, "key": "esc"}])", 3, 2, true, 0},
        {"no key at all", "loadable", "[]", 1, 0, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine_with_driver(c.driver, c.keys));
        auto r = dir.run({"-u"});
        EXPECT_EQ(r.status, 0);
        auto console = lines(r.console);
        EXPECT_EQ(count_of(console, "Load OpenIPMI drivers? Press Y or N (Yes or No): "), size_t(c.questions));
        EXPECT_EQ(count_of(console, "Loading OpenIPMI drivers..."), size_t(c.loads));
        auto events = trace_events(r.trace);
        EXPECT_EQ(count_of(events, "shell \"modprobe ipmi_si\""), size_t(c.loads));
        EXPECT_EQ(count_of(events, "terminal raw"), size_t(c.questions));
        EXPECT_EQ(count_of(events, "terminal cooked"), size_t(c.questions));
        if (c.loads > 0) {
            EXPECT_EQ(missing_in_order(console, concat({{"ERROR: Unable to open IPMI driver", "",
                                                         "Load OpenIPMI drivers? Press Y or N (Yes or No): ",
                                                         "Loading OpenIPMI drivers..."},
                                                        kLoadLines})),
                      "");
            EXPECT_EQ(missing_in_order(events, concat({{"open /dev/ipmi0 = -1 ENOENT",
                                                        "open /dev/ipmidev/0 = -1 ENOENT", "terminal raw"},
                                                       kLoadEvents})),
                      "");
        }
        // Every failed probe asks once; the probe is repeated after each load.
        EXPECT_EQ(count_of(events, "open /dev/ipmidev/0 = -1 ENOENT"), size_t(c.questions));
        if (c.hints)
            EXPECT_EQ(missing_in_order(console, kHints), "");
        else
            EXPECT_EQ(count_of(console, kHints[0]), 0u);
        EXPECT_EQ(missing_in_order(console, {"Total BMC found: " + std::to_string(c.found)}), "");
    }
}

TEST(Discovery, QuietModeLoadsTwiceWithoutAskingAndCostsNoRealTime)
{
    SimDir dir;
    dir.machine(R"({"driver": "absent", "clock": {"start": 1700000000}, "bmcs": []})");
    auto started = std::chrono::steady_clock::now();
    auto r = dir.run({"-q"});
    auto real = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    auto events = trace_events(r.trace);
    const std::vector<std::string> probe = {"open /dev/ipmi0 = -1 ENOENT", "open /dev/ipmidev/0 = -1 ENOENT"};
    EXPECT_EQ(events, concat({probe, kLoadEvents, probe, kLoadEvents}));
    // Two attempts of 3 + 3 + 4 seconds on the virtual clock, none of it real.
    EXPECT_EQ(r.trace.substr(r.trace.rfind('\n', r.trace.size() - 2) + 1), "16.000000 sleep 4000000\n");
    EXPECT_EQ(missing_in_order(lines(dir.log()), {"Started: " + qbtest::ctime_text(1700000000),
                                                  "Finished: " + qbtest::ctime_text(1700000000 + 20)}),
              "");
    EXPECT_LT(std::chrono::duration<double>(real).count(), 2.0);

    auto log = lines(dir.log());
    EXPECT_EQ(count_of(log, "ERROR: Unable to open IPMI driver"), 2u);
    EXPECT_EQ(count_of(log, "Trying to Load OpenIPMI drivers..."), 2u);
    EXPECT_EQ(missing_in_order(log, concat({{"Trying to Load OpenIPMI drivers..."}, kLoadLines,
                                            {"Trying to Load OpenIPMI drivers..."}, kLoadLines,
                                            {"", "Loading IPMI driver failed"}, kHints,
                                            {"Total BMC found: 0"}})),
              "");
}

TEST(Discovery, QuietModeStopsLoadingOnceTheDriverIsThere)
{
    SimDir dir;
    dir.machine(machine_with_driver("loadable", "[]"));
    auto r = dir.run({"-q"});
    EXPECT_EQ(r.status, 0);
    auto events = trace_events(r.trace);
    EXPECT_EQ(count_of(events, "shell \"modprobe ipmi_si\""), 1u);
    EXPECT_EQ(count_of(events, "terminal raw"), 0u);
    EXPECT_EQ(missing_in_order(lines(dir.log()), {"Total BMC found: 1", "BmcOpen Success"}), "");
}

TEST(Discovery, DirectIoScansThePortPairsInOrder)
{
    struct Case {
        const char* machine;
        std::vector<std::string> expected;
        int found;
    };
    const std::vector<std::string> warnings = {
        "WARNING: Unable to open IPMI driver",   "", "Using direct IO access to BMC", "",
        "WARNING: Unable to open OpenIPMI driver", "", "Using direct IO access to BMC", "",
    };
    const std::string not_first = "BMC not Found at CMD/STAT:0x0ca3 DATA:0x0ca2";
    const std::string not_second = "BMC not Found at CMD/STAT:0x0cac DATA:0x0ca8";
    const Case cases[] = {
        {R"({"driver": "absent", "bmcs": [{"kcs": 0, "buses": {}}]})",
         concat({warnings,
                 {"Scanning BMC Port Address 0 of 2", "BMC Found at CMD/STAT:0x0ca3 DATA:0x0ca2", "",
                  "Total BMC found: 1"}}),
         1},
        {R"({"driver": "absent", "bmcs": [{"kcs": 1, "buses": {}}]})",
         concat({warnings,
                 {"Scanning BMC Port Address 0 of 2", not_first, "Scanning BMC Port Address 1 of 2",
                  "BMC Found at CMD/STAT:0x0cac DATA:0x0ca8", "", "Total BMC found: 1"}}),
         1},
        {R"({"driver": "absent", "bmcs": [{"kcs": 2, "buses": {}}]})",
         concat({warnings,
                 {"Scanning BMC Port Address 0 of 2", not_first, "Scanning BMC Port Address 1 of 2", not_second,
                  "Scanning BMC Port Address 2 of 2", "BMC Found at CMD/STAT:0x0cb4 DATA:0x0cb0", "",
                  "Total BMC found: 1"}}),
         1},
        {R"({"driver": "absent", "bmcs": []})",
         concat({warnings,
                 {"Scanning BMC Port Address 0 of 2", not_first, "Scanning BMC Port Address 1 of 2", not_second,
                  "Scanning BMC Port Address 2 of 2", "BMC not Found at CMD/STAT:0x0cb4 DATA:0x0cb0",
                  "BMC NOT FOUND! A BMC must be present to upgrade the firmware", "", "Total BMC found: 0"}}),
         0},
        {R"({"driver": "absent", "iopl": false, "bmcs": [{"kcs": 0, "buses": {}}]})",
         concat({warnings,
                 {"ERROR: Unable to set I/O permissions. Please try loggin in as root or using sudo", "", "",
                  "Total BMC found: 0"}}),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(c.machine);
        auto r = dir.run({"-dio"});
        EXPECT_EQ(r.status, 0);
        auto console = lines(r.console);
        auto from = std::find(console.begin(), console.end(), warnings[0]);
        auto to = std::find(console.begin(), console.end(), c.expected.back());
        ASSERT_TRUE(from != console.end() && to != console.end()) << r.console;
        EXPECT_EQ(std::vector<std::string>(from, to + 1), c.expected);
        // The pass opens the BMC found by the count once more, the same way.
        auto log = lines(dir.log());
        EXPECT_EQ(count_of(log, "BmcOpen Success"), size_t(c.found));
        EXPECT_EQ(count_of(log, "Kcs Close"), size_t(c.found));
        EXPECT_EQ(count_of(log, warnings[0]), size_t(1 + c.found));
    }
}

TEST(Discovery, DirectIoReadsOnlyTheStatusPortsOfThePairsItTries)
{
    SimDir dir;
    dir.machine(R"({"driver": "absent", "trace_ports": true, "bmcs": [{"kcs": 1, "buses": {}}]})");
    auto r = dir.run({"-dio", "-q"});
    EXPECT_EQ(r.status, 0);
    auto events = trace_events(r.trace);
    // Count, then the pass: each reads the first pair (nothing there), then
    // finds the BMC at the second.
    const std::vector<std::string> scan = {"iopl 3 = 0", "inb 0x0CA3 = FF", "inb 0x0CAC = 00"};
    std::vector<std::string> seen;
    for (const std::string& e : events)
        if (e.starts_with("iopl") || e.starts_with("inb 0x0CA3") || e.starts_with("inb 0x0CAC") ||
            e.starts_with("inb 0x0CB4"))
            seen.push_back(e);
    ASSERT_GE(seen.size(), 6u) << r.trace;
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 6), concat({scan, scan}));
}

TEST(Discovery, TheDriverWinsOverDirectIoWhenItIsThere)
{
    SimDir dir;
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {}}]})");
    auto r = dir.run({"-dio"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.trace.find("iopl"), std::string::npos);
    EXPECT_EQ(r.console.find("WARNING"), std::string::npos);
    EXPECT_EQ(missing_in_order(lines(dir.log()), {"Selected -dio for direct io access", "Total BMC found: 1",
                                                  "BmcOpen Success"}),
              "");
}

TEST(Discovery, EveryBmcIsCountedAndOpenedInOrderOncePerPass)
{
    struct Case {
        const char* machine;
        std::vector<std::string> nodes;
    };
    const Case cases[] = {
        {"default.json", {"/dev/ipmi0"}},
        {"two_bmcs.json", {"/dev/ipmi0", "/dev/ipmi1"}},
        {"four_bmcs.json", {"/dev/ipmi0", "/dev/ipmi1", "/dev/ipmi2", "/dev/ipmi3"}},
        // The older layout's name of the first interface serves as the first BMC.
        {"ipmidev_only.json", {"/dev/ipmidev/0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(qbtest::machine_file(c.machine));
        auto r = dir.run({"-u"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(missing_in_order(lines(r.console), {"Total BMC found: " + std::to_string(c.nodes.size())}), "");
        // Each pass probes the driver through the first node, then opens its own.
        std::vector<std::string> expected;
        for (const std::string& node : c.nodes) {
            expected.push_back(c.nodes[0]);
            expected.push_back(node);
        }
        EXPECT_EQ(nodes_opened_after_count(r.trace), expected);
        auto log = lines(dir.log());
        EXPECT_EQ(count_of(log, "BmcOpen Success"), c.nodes.size());
        EXPECT_EQ(count_of(log, "Kcs Close"), c.nodes.size());
        expect_no_descriptor_left_open(r.trace);
    }
}

TEST(Discovery, ABmcLostAfterTheCountEndsTheRunWith172)
{
    SimDir dir;
    dir.machine(qbtest::machine_file("first_bmc_lost.json"));
    auto r = dir.run({"-u"});
    EXPECT_EQ(r.status, 172);
    EXPECT_TRUE(r.console.ends_with("BmcOpen Failed\r\n[RETURN CODE:0xac]\n\r\n")) << r.console;
    auto log = dir.log();
    EXPECT_TRUE(log.ends_with("  modprobe ipmi_msghandler\n\nBmcOpen Failed\n[RETURN CODE:0xac]\n\n")) << log;
    EXPECT_EQ(missing_in_order(lines(log), {"Total BMC found: 2", "BmcOpen Success", "Kcs Close"}), "");
    EXPECT_EQ(log.find("Finished:"), std::string::npos);
}

TEST(Discovery, ANodeThatNoLongerOpensStillCountsAsOpened)
{
    SimDir dir;
    dir.machine(R"({"vanishing_nodes": {"/dev/ipmi1": 1},
                    "bmcs": [{"node": "/dev/ipmi0", "buses": {}}, {"node": "/dev/ipmi1", "buses": {}}]})");
    auto r = dir.run({"-u"});
    EXPECT_EQ(r.status, 0);
    auto log = lines(dir.log());
    EXPECT_EQ(count_of(log, "BmcOpen Success"), 2u);
    EXPECT_EQ(count_of(log, "Successfully opened OpenIPMI driver"), 3u);
    EXPECT_EQ(missing_in_order(trace_events(r.trace), {"open /dev/ipmi1 = -1 ENOENT"}), "");
    expect_no_descriptor_left_open(r.trace);
}
