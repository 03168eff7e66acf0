// SPDX-License-Identifier: MIT
// How a run over --lan ends: a signal in each phase, a wait longer than the
// BMC keeps an idle session, a BMC that restarts or goes silent. Each ends
// or goes on as the same run on the driver road does, and the LAN BMC is
// left with no session open.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "lan_roads.h"
#include "sim_run.h"

using namespace qbtest;
using nlohmann::json;

namespace {

using Args = std::vector<std::string>;

// `name` of sim/machines slowed as slow_machine() slows it (so that a scan
// takes time on both roads alike), with `extra`'s top-level fields
// ("signals", "keys") in place of its own.
std::string le_machine(const std::string& name, const json& extra = json::object())
{
    json m = json::parse(slow_machine(name, {}, {}));
    m.update(extra);
    return m.dump();
}

struct Runs {
    RoadView driver, lan;
    RunResult driver_result, lan_result;
};

// The same run on both roads; `lan` goes into the LAN BMC's "lan".
Runs le_both_roads(const std::string& machine, const Args& args, const json& lan = json::object())
{
    SimDir driver_dir, lan_dir;
    const std::string image = make_image(16384, {1, 2, 0});
    driver_dir.machine(driver_machine(machine));
    driver_dir.write("fw_4077.bin", image);
    const RunResult d = driver_dir.run(args);
    LanSetUp setup;
    setup.lan = lan;
    lan_dir.machine(lan_machine(machine, setup));
    lan_dir.write("fw_4077.bin", image);
    Args lan_args = lan_arguments(lan_dir, bmc_count(machine), setup);
    lan_args.insert(lan_args.end(), args.begin(), args.end());
    const RunResult l = lan_dir.run(lan_args);
    return {road_view(driver_dir, d), road_view(lan_dir, l), d, l};
}

}  // namespace

// A signal in each phase of a run stops it over --lan as on the driver
// road (console, log, report, exit, what the devices did), and the session
// is closed on the way out.
TEST(LanEndings, ASignalInEachPhaseEndsTheRunAsOnTheDriverRoad)
{
    struct Case {
        const char* phase;
        const char* machine;
        Args args;
        json signals;
    };
    const Case cases[] = {
        {"before the first exchange", "default.json", {"-i"}, {{{"at", 0}, {"signal", "TERM"}}}},
        {"in the scan", "default.json", {"-i", "-vpd"}, {{{"at", 0.004}, {"signal", "INT"}}}},
        {"at a question", "default.json", {"-d", "-b11"}, {{{"key_wait", 1}, {"signal", "HUP"}}}},
        {"in the wait between two cycles", "default.json", {"-c2", "-cd10"}, {{{"at", 5}, {"signal", "TERM"}}}},
        {"while the flash is written", "upgrade_4077.json", {"-u", "-f", "fw_4077.bin"},
         {{{"at", 5}, {"signal", "TERM"}}}},
        {"while the controller resets", "upgrade_4077.json", {"-u", "-f", "fw_4077.bin", "-b11"},
         {{{"at", 5.5}, {"signal", "QUIT"}}}},  // its downcopy comes at 4.6 s
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        const Runs runs = le_both_roads(le_machine(c.machine, {{"signals", c.signals}}), c.args);
        EXPECT_NE(runs.lan_result.trace.find(" signal SIG"), std::string::npos) << "no signal was sent";
        EXPECT_EQ(runs.driver.status, runs.lan.status);
        EXPECT_EQ(runs.driver.signal, runs.lan.signal);
        EXPECT_EQ(first_difference(runs.driver.console, runs.lan.console), "");
        EXPECT_EQ(first_difference(runs.driver.log, runs.lan.log), "");
        EXPECT_EQ(first_difference(runs.driver.devices, runs.lan.devices), "");
        EXPECT_EQ(sessions_left_open(runs.lan_result.trace), Lines{});
    }
}

// Waits longer than the BMC keeps an idle session (-cd past its 30 s) and
// a BMC that restarts in the middle of a run: the tool has its session
// again and the run is the driver road's, byte for byte apart from dates.
TEST(LanEndings, IdleWaitsAndARestartedBmcGoOnAsOnTheDriverRoad)
{
    struct Case {
        const char* name;
        const char* machine;
        Args args;
        json lan;
        json keys = json::array();
    };
    const Case cases[] = {
        {"-cd40 against a 30 s session timeout", "default.json", {"-c2", "-cd40", "-i"},
         {{"session_timeout_s", 30}}},
        {"a question answered after a minute", "default.json", {"-d", "-b11"}, {{"session_timeout_s", 30}},
         {{{"at", 65}, {"key", "esc"}}}},
        {"a restart in the scan", "default.json", {"-i", "-vpd"},
         {{"events", {{{"event", "restart"}, {"before_request", 40}, {"down_ms", 800}}}}}},
        {"a restart while the flash is written", "upgrade_4077.json", {"-u", "-f", "fw_4077.bin", "-b11"},
         {{"events", {{{"event", "restart"}, {"before_request", 3000}, {"down_ms", 800}}}}}},
        {"sessions dropped by the BMC", "default.json", {"-i", "-vpd"},
         {{"events", {{{"event", "drop_sessions"}, {"before_request", 40}}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Runs runs = le_both_roads(le_machine(c.machine, {{"keys", c.keys}}), c.args, c.lan);
        EXPECT_EQ(runs.driver.status, runs.lan.status);
        EXPECT_EQ(first_difference(without_dates(runs.driver.console), without_dates(runs.lan.console)), "");
        EXPECT_EQ(first_difference(without_dates(runs.driver.log), without_dates(runs.lan.log)), "");
        EXPECT_EQ(first_difference(without_dates(runs.driver.report), without_dates(runs.lan.report)), "");
        EXPECT_EQ(first_difference(device_effects(runs.driver_result.trace), device_effects(runs.lan_result.trace)), "");
        EXPECT_EQ(sessions_left_open(runs.lan_result.trace), Lines{});
        EXPECT_GE(sessions_active(runs.lan_result.trace), 2u) << "the session was never had again";
    }
}

// A BMC that goes silent for good in the middle of a run: the run says so
// once and ends within seconds as the driver road ends when its BMC's node
// vanishes (first_bmc_lost.json): the pass cannot go on, 172. The BMC
// (restarted) holds no session of it.
TEST(LanEndings, ABmcThatGoesSilentEndsTheRunClearly)
{
    const json silent = {{"events", {{{"event", "restart"}, {"before_request", 40}, {"down_ms", 3600000}}}}};
    SimDir dir;
    LanSetUp setup;
    setup.lan = silent;
    dir.machine(lan_machine(le_machine("two_bmcs.json"), setup));
    Args args = lan_arguments(dir, 2, setup);
    args.insert(args.end(), {"-i", "--report", "r.json"});
    const RunResult r = dir.run(args);
    const Lines console = lines(r.console);
    EXPECT_EQ(count_containing(console, "stopped answering"), 1u) << r.console;
    EXPECT_EQ(r.status, 172);
    EXPECT_NE(r.status, 0);
    const json report = json::parse(dir.read("r.json"));
    ASSERT_FALSE(report["bmcs"].empty());
    EXPECT_NE(report["bmcs"][0].dump().find("could not be opened again"), std::string::npos) << report.dump();
    EXPECT_LT(trace_end_s(r.trace), 60.0) << "a silent BMC kept the run waiting";
    EXPECT_EQ(sessions_left_open(r.trace), Lines{});
}
