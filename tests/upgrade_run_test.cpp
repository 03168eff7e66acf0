// The upgrade path through the whole program: every way it ends with its
// exit status, continuous cycles, the family mismatch after an earlier
// controller was flashed, and quiet mode.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "sim_run.h"

using qbtest::contains;
using qbtest::count_of;
using qbtest::SimDir;

namespace {

// The demo image's version: FW 1, major 2, minor 0; the machines' controllers run 1.0.0.
const std::string kImage4077 = qbtest::make_image(4096, {1, 2, 0});

// A machine of sim/machines/ with a key script; keys are {seconds, key}.
std::string with_keys(const std::string& machine, const std::vector<std::pair<double, std::string>>& keys)
{
    nlohmann::json m = nlohmann::json::parse(qbtest::machine_file(machine));
    m["keys"] = nlohmann::json::array();
    for (const auto& [at, key] : keys)
        m["keys"].push_back({{"at", at}, {"key", key}});
    return m.dump();
}

// Requests of the whole run that carry this flash command to the controller
// at 0xC0 on bus `bus` (each machine has one controller per bus).
size_t commands_to(const std::string& trace, int bus, const std::string& command)
{
    return qbtest::only(qbtest::bus_traffic(trace, 0xC0, bus), "write 55 AA " + command).size();
}

std::string exit_line(int code)
{
    char line[64];
    std::snprintf(line, sizeof(line), "\nExited with return code: 0x%02x\n", code);
    return line;
}

}  // namespace

TEST(UpgradeRun, EveryWayTheUpgradePathEnds)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        std::string image_name;
        std::string image;
        int status;
        const char* console;
        bool closing_lines;
    };
    const Case cases[] = {
        {"all upgraded", qbtest::machine_file("upgrade_4077.json"), {"-f", "fw_4077.bin"}, "fw_4077.bin", kImage4077,
         0, "Upgrade Sucessful [RETURN CODE:0x00]\n\r\n", true},
        {"image too big for its family", qbtest::machine_file("upgrade_4077.json"), {"-f", "fw_4073.bin"},
         "fw_4073.bin", qbtest::make_image(7680), 1,
         "\nERROR: Invalid file size for QB4073 in file fw_4073.bin [RETURN CODE:0x01]\r\n", false},
        {"4083 image declined", with_keys("upgrade_4077.json", {{600, "n"}}), {"fw_4083.bin"}, "fw_4083.bin",
         kImage4077, 3, "Upgrade Aborted\r\n", true},
        {"a controller never came back", qbtest::machine_file("upgrade_reset_lost.json"), {"-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 4, "Device never came out of reset after firmware upgrade!\r\n", true},
        {"image of another family", qbtest::machine_file("upgrade_mixed_family.json"), {"-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 5, "ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]\r\n",
         false},
        {"unusable name", qbtest::machine_file("upgrade_4077.json"), {"-f", "fw_4077.BIN"}, "fw_4077.BIN", kImage4077,
         5, "ERROR: Invalid file type [RETURN CODE:0x05]\r\n", false},
        {"no controller found", R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})", {"-f", "fw_4077.bin"}, "fw_4077.bin", kImage4077,
         171, "No Devices Found [RETURN CODE:0xab]\n\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        dir.write(c.image_name, c.image);
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contains(r.console, c.console)) << r.console;
        EXPECT_EQ(dir.log().ends_with(exit_line(c.status)), c.closing_lines) << dir.log();
    }
}

TEST(UpgradeRun, ContinuousCyclesSkipWhatIsUpToDateAndStillCountIt)
{
    SimDir dir;
    dir.machine(qbtest::machine_file("upgrade_4077.json"));
    dir.write("fw_4077.bin", kImage4077);
    auto r = dir.run({"-f", "fw_4077.bin", "-c3"});
    EXPECT_EQ(r.status, 0);
    // Each controller is flashed once, in the first cycle.
    EXPECT_EQ(commands_to(r.trace, 0x01, "F0"), 1u);
    EXPECT_EQ(commands_to(r.trace, 0x02, "F0"), 1u);
    EXPECT_EQ(count_of(r.console, "Sucessfully Upgraded 2 of 2 parts\r\n"), 3u);
    EXPECT_EQ(count_of(r.console, "Firmware IMAGE matches with existing firmware on the device"), 4u);
    EXPECT_EQ(count_of(r.console, "Upgrade Sucessful [RETURN CODE:0x00]"), 3u);
    EXPECT_TRUE(contains(r.console, "[Continous Upgrade Mode, Count 3 of 3]"));
    // The scans after the upgrade see the new version.
    EXPECT_TRUE(contains(r.console, "1: BusID:0x02 ChipID:77 FW:[0x02:0x00] ADR:0xc0"));
    EXPECT_TRUE(contains(r.console, "New Firmware information:\r\nChip: FW:0x01 Major-REV:0x02 Minor-Rev:0x00\r\n"
                                    "Major:2 Minor:0\r\n"));
}

TEST(UpgradeRun, ContinuousModeStopsAtTheFirstCycleThatDoesNotSucceed)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        int status;
        int cycles;
    };
    const Case cases[] = {
        {"failed in cycle 1", qbtest::machine_file("upgrade_reset_lost.json"), {"-f", "fw_4077.bin", "-c5"}, 4, 1},
        // The QB4083C question comes again in every cycle.
        {"declined in cycle 2", with_keys("upgrade_4077.json", {{600, "y"}, {1200, "n"}}), {"-f", "fw_4083.bin", "-c3"},
         3, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        dir.write(c.args[1], kImage4077);
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        const std::string all = dir.logprev() + dir.log();
        EXPECT_EQ(count_of(all, "Upgrade Mode, Count "), size_t(c.cycles)) << all;
        EXPECT_TRUE(dir.log().ends_with(exit_line(c.status)));
        // The failed cycle pauses two seconds before its closing scan.
        EXPECT_TRUE(contains(r.trace, " sleep 2000000\n"));
    }
}

TEST(UpgradeRun, MismatchAtTheSecondControllerEndsWithFiveAfterTheFirstWasFlashed)
{
    SimDir dir;
    dir.machine(with_keys("upgrade_mixed_family.json", {}));
    dir.write("fw_4077.bin", kImage4077);
    auto r = dir.run({"-f", "fw_4077.bin"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(commands_to(r.trace, 0x01, "F0"), 1u);
    EXPECT_EQ(commands_to(r.trace, 0x02, "EE"), 0u);
    EXPECT_TRUE(dir.log().ends_with("Chip ID Mismatch. ChipCounter:1 ChipIDshouldbe:77 ChipInfo[0].ChipID:77\n"))
        << dir.log();
    EXPECT_TRUE(r.console.ends_with("ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]\r\n"));
    // The terminal stays in the raw mode of the upgrade.
    const auto events = qbtest::trace_events(r.trace);
    std::string last_mode;
    for (const std::string& e : events)
        if (e.starts_with("terminal "))
            last_mode = e;
    EXPECT_EQ(last_mode, "terminal raw");
}

TEST(UpgradeRun, QuietUpgradeWritesOnlyTheLog)
{
    SimDir dir;
    dir.machine(qbtest::machine_file("upgrade_4077.json"));
    dir.write("fw_4077.bin", kImage4077);
    auto r = dir.run({"-q", "-f", "fw_4077.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(count_of(dir.log(), "Image verified OK."), 2u);
    EXPECT_TRUE(contains(dir.log(), "Upgrade Sucessful [RETURN CODE:0x00]\n"));
}

TEST(UpgradeRun, AFullQB4077ImageTakesWellUnderASecondOfCpu)
{
    SimDir dir;
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
        {"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0]}]}}}]})");
    dir.write("fw_4077.bin", qbtest::make_image(20480, {1, 2, 0}));
    struct rusage before {}, after {};
    getrusage(RUSAGE_CHILDREN, &before);
    auto r = dir.run({"-u", "-f", "fw_4077.bin"});
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_EQ(r.status, 0);
    // The whole buffer is loaded; both phases stop at the 0x3E00 limit.
    EXPECT_TRUE(contains(dir.log(), "End of write image at: 0x3DFF\n"));
    EXPECT_TRUE(contains(dir.log(), "End of verify image at: 0x3DFF\n"));
    auto seconds = [](const struct rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(seconds(after) - seconds(before), 1.0);
}

TEST(UpgradeRun, QuietModeHidesAnUnusableImageNameButNotItsCode)
{
    for (const char* name : {"qb4077.BIN", "notes.txt", "fw_4078.bin"}) {
        SimDir dir;
        auto r = dir.run({"-q", "-f", name});
        EXPECT_EQ(r.status, 5) << name;
        EXPECT_EQ(r.console, "") << name;
        EXPECT_FALSE(dir.exists("log.txt")) << name;
    }
}
