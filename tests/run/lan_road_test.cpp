// SPDX-License-Identifier: MIT
// The network road changes nothing above the exchange: every example
// machine, reached with --lan (cipher suites 17 and 3), gives the run the
// driver gives it (console, log, report, metrics, the Master Write-Read
// requests and answers, what the devices did, exit status) once the lines
// that name the road are set aside; and the LAN BMCs keep no session open.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "lan_roads.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

using Args = std::vector<std::string>;

std::vector<std::string> lr_example_machines()
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(QB40_SOURCE_DIR) / "sim" / "machines"))
        if (e.path().extension() == ".json")
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every part of two runs' views that must be equal; empty when all are.
std::string lr_differences(const RoadView& driver, const RoadView& lan)
{
    std::string out;
    auto note = [&](const char* what, const std::string& d) {
        if (!d.empty())
            out += std::string(what) + ": " + d + "\n";
    };
    if (driver.status != lan.status || driver.signal != lan.signal)
        out += "exit " + std::to_string(driver.status) + "/" + std::to_string(driver.signal) + " on the driver road, " +
               std::to_string(lan.status) + "/" + std::to_string(lan.signal) + " over --lan\n";
    note("console", first_difference(driver.console, lan.console));
    note("log", first_difference(driver.log, lan.log));
    note("logprev", first_difference(driver.logprev, lan.logprev));
    note("report", first_difference(driver.report, lan.report));
    note("devices", first_difference(driver.devices, lan.devices));
    note("metrics", first_difference(lines(driver.metrics), lines(lan.metrics)));
    if (driver.traffic != lan.traffic)
        out += "Master Write-Read traffic differs\n";
    return out;
}

// One mode on every example machine with a BMC, over the driver and over
// --lan; cipher suites 17 and 3 take turns from machine to machine, so that
// each meets every mode on half the machines. Returns how many machines
// flashed a controller.
int lr_compare_on_every_machine(const Args& args)
{
    const std::string image = make_image(16384, {1, 2, 0});
    int compared = 0, upgraded = 0;
    for (const std::string& name : lr_example_machines()) {
        // Both roads' runs start at the same time, so that they show the same dates.
        nlohmann::json fixed = nlohmann::json::parse(machine_file(name));
        fixed["clock"]["start"] = 1700000000;
        const std::string machine = fixed.dump();
        const size_t bmcs = bmc_count(machine);
        if (bmcs == 0)
            continue;  // no BMC to reach on either road
        SimDir driver_dir;
        driver_dir.machine(driver_machine(machine));
        driver_dir.write("fw_4077.bin", image);
        const RunResult d = driver_dir.run(args);
        const RoadView driver = road_view(driver_dir, d);
        upgraded += static_cast<int>(d.trace.find(" downcopy and reset") != std::string::npos);

        const LanSetUp setup{.cipher = compared % 2 ? 3 : 17};
        SCOPED_TRACE(name + ", cipher suite " + std::to_string(setup.cipher));
        SimDir lan_dir;
        lan_dir.machine(lan_machine(machine, setup));
        lan_dir.write("fw_4077.bin", image);
        Args lan_args = lan_arguments(lan_dir, bmcs, setup);
        lan_args.insert(lan_args.end(), args.begin(), args.end());
        const RunResult l = lan_dir.run(lan_args);
        EXPECT_EQ(lr_differences(driver, road_view(lan_dir, l)), "");
        // One session per pass of a BMC, and none left open.
        const size_t passes = lines_starting(l.console, "Opened an RMCP+ session with the BMC at ");
        EXPECT_GE(passes, 1u);
        EXPECT_EQ(sessions_active(l.trace), passes);
        EXPECT_EQ(sessions_left_open(l.trace), Lines{});
        EXPECT_EQ(secrets_shown(lan_dir, l), std::vector<std::string>{});
        ++compared;
    }
    EXPECT_GE(compared, 19);
    return upgraded;
}

}  // namespace

TEST(LanRoad, ScanVpdSummaryReportAndMetricsEqualTheDriverRoad)
{
    lr_compare_on_every_machine({"-i", "-vpd", "--report", "r.json", "--metrics", "m.prom"});
}

TEST(LanRoad, AReadOnlyPlanEqualsTheDriverRoad)
{
    lr_compare_on_every_machine(
        {"--read-only", "--plan", "-u", "-f", "fw_4077.bin", "--report", "r.json", "--metrics", "m.prom"});
}

TEST(LanRoad, AQb4077UpgradeEqualsTheDriverRoad)
{
    EXPECT_GE(lr_compare_on_every_machine({"-u", "-f", "fw_4077.bin", "--report", "r.json"}), 2)
        << "too few runs flashed a controller: the upgrade mode compared too little";
}
