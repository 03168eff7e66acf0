// The upgrade path through the whole program: the image name and file
// rules, every way the path ends with its exit status, continuous cycles,
// the family mismatch after an earlier controller was flashed, quiet mode
// and the CPU time of a full image.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// The demo image's version: FW 1, major 2, minor 0; the machines' controllers run 1.0.0.
const std::string kImage4077 = make_image(4096, {1, 2, 0});

// A machine of sim/machines/ with a key script of {seconds, key}.
std::string with_keys(const std::string& machine, const std::vector<std::pair<double, std::string>>& keys)
{
    nlohmann::json m = nlohmann::json::parse(machine_file(machine));
    m["keys"] = nlohmann::json::array();
    for (const auto& [at, key] : keys)
        m["keys"].push_back({{"at", at}, {"key", key}});
    return m.dump();
}

// Downcopies sent, in either command set, to the controller at 0xC0 on bus `bus`.
size_t downcopies(const std::string& trace, int bus)
{
    auto traffic = bus_traffic(trace, 0xC0, bus);
    return std::count(traffic.begin(), traffic.end(), "write 55 AA F0") +
           std::count(traffic.begin(), traffic.end(), "write 55 AA F2 F0");
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
        std::string file;  // the image file written
        std::string image;
        int status;
        const char* console;
        bool closing_lines;  // the log ends with the exit status
    };
    const std::string upgrade = machine_file("upgrade_4077.json");
    const Case cases[] = {
        {"all upgraded", upgrade, {"-f", "fw_4077.bin"}, "fw_4077.bin", kImage4077, 0,
         "Upgrade Sucessful [RETURN CODE:0x00]\n\r\n", true},
        {"a bare name whose directory holds the key", upgrade, {"4077/readme.bin"}, "4077/readme.bin", kImage4077, 0,
         "Upgrade Sucessful", true},
        {"qb4077.bin.old is a .bin; an empty image the controllers refuse", upgrade, {"-f", "qb4077.bin.old"},
         "qb4077.bin.old", "", 4, "\rLoading binary: 0x0000:ff\nEOF reached. Loaded 0 (0x0000) bytes\r\n", true},
        {"a later name; the order of the keys decides; 7680 bytes is too big", upgrade,
         {"-f", "fw_4083.bin", "-f", "fw_4083_4073.bin"}, "fw_4083_4073.bin", make_image(7680), 1,
         "\nERROR: Invalid file size for QB4073 in file fw_4083_4073.bin [RETURN CODE:0x01]\r\n", false},
        {"4076 of 7680 bytes", upgrade, {"-f", "x4076.bin"}, "x4076.bin", make_image(7680), 1,
         "Invalid file size for QB4076 in file x4076.bin", false},
        {"4073 of 7679 bytes loads, then meets a QB4077", upgrade, {"-f", "fw_4073.bin"}, "fw_4073.bin",
         make_image(7679), 5, "Finished loading firmware. i:0x%04 (7679) bytes", false},
        {"image file missing", upgrade, {"-f", "fw_4080.bin"}, "fw_4077.bin", kImage4077, 1,
         "ERROR: Can't open file fw_4080.bin [RETURN CODE:0x01]\r\n", false},
        {"4083 image declined", with_keys("upgrade_4077.json", {{600, "n"}}), {"fw_4083.bin"}, "fw_4083.bin",
         kImage4077, 3, "Upgrade Aborted\r\n", true},
        {"a controller never came back", machine_file("upgrade_reset_lost.json"), {"-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 4, "Device never came out of reset after firmware upgrade!\r\n", true},
        {"image of another family", machine_file("upgrade_mixed_family.json"), {"-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 5, "ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]\r\n",
         false},
        {"type case as written", upgrade, {"-f", "qb4077.BIN"}, "qb4077.BIN", kImage4077, 5,
         "ERROR: Invalid file type [RETURN CODE:0x05]\r\n", false},
        {"no key comes before the type", upgrade, {"notes.txt"}, "notes.txt", kImage4077, 5,
         "ERROR: Invalid filename specified after -f [RETURN CODE:0x05]\r\n", false},
        {"no name after -f", upgrade, {"-f"}, "fw_4077.bin", kImage4077, 5,
         "ERROR: No filename specified after -f [RETURN CODE:0x05]\r\n", false},
        {"no controller found", R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})", {"-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 171, "No Devices Found [RETURN CODE:0xab]\n\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        std::filesystem::create_directory(dir.path() / "4077");
        dir.write(c.file, c.image);
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contains(r.console, c.console)) << r.console;
        EXPECT_EQ(dir.log().ends_with(exit_line(c.status)), c.closing_lines) << dir.log();
        // Progress lines go to the console only.
        EXPECT_FALSE(contains(dir.log(), "Loading binary") || contains(dir.log(), "ing Address: "));
    }
}

TEST(UpgradeRun, ContinuousModeGoesOnWhileEveryCycleSucceeds)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        int status;
        int cycles;
        int full_counts;  // cycles that count both controllers as upgraded
    };
    const Case cases[] = {
        // Flashed in the first cycle, matched and still counted in the later ones.
        {"three good cycles", machine_file("upgrade_4077.json"), {"-f", "fw_4077.bin", "-c3"}, 0, 3, 3},
        {"failed in cycle 1", machine_file("upgrade_reset_lost.json"), {"-f", "fw_4077.bin", "-c5"}, 4, 1, 0},
        // The QB4083C question comes again in every cycle.
        {"declined in cycle 2", with_keys("upgrade_4077.json", {{600, "y"}, {1200, "n"}}),
         {"-f", "fw_4083.bin", "-c3"}, 3, 2, 1},
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
        EXPECT_EQ(count_of(all, "Sucessfully Upgraded 2 of 2 parts\n"), size_t(c.full_counts));
        EXPECT_EQ(downcopies(r.trace, 0x01), 1u);
        EXPECT_EQ(downcopies(r.trace, 0x02), 1u);
        EXPECT_TRUE(dir.log().ends_with(exit_line(c.status)));
    }
}

TEST(UpgradeRun, MismatchAtTheSecondControllerEndsWithFiveAfterTheFirstWasFlashed)
{
    SimDir dir;
    dir.machine(with_keys("upgrade_mixed_family.json", {}));
    dir.write("fw_4077.bin", kImage4077);
    auto r = dir.run({"-f", "fw_4077.bin"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(downcopies(r.trace, 0x01), 1u);
    EXPECT_TRUE(only(bus_traffic(r.trace, 0xC0, 0x02), "write 55 AA").empty());
    EXPECT_TRUE(dir.log().ends_with("Chip ID Mismatch. ChipCounter:1 ChipIDshouldbe:77 ChipInfo[0].ChipID:77\n"))
        << dir.log();
    // The terminal stays in the raw mode of the upgrade.
    const auto events = trace_events(r.trace);
    auto last_mode = std::find_if(events.rbegin(), events.rend(), [](auto& e) { return e.starts_with("terminal "); });
    ASSERT_NE(last_mode, events.rend());
    EXPECT_EQ(*last_mode, "terminal raw");
}

TEST(UpgradeRun, QuietModeWritesOnlyTheLogAndLooksForNoEsc)
{
    for (const auto& [name, status] : {std::pair{"fw_4077.bin", 0}, std::pair{"qb4077.BIN", 5}}) {
        SCOPED_TRACE(name);
        SimDir dir;
        // Without -q these keys abort the second controller's write phase.
        dir.machine(with_keys("upgrade_4077.json", {{1.5, "esc"}, {1.5, "y"}}));
        dir.write("fw_4077.bin", kImage4077);
        auto r = dir.run({"-q", "-f", name});
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.console, "");
        EXPECT_EQ(dir.exists("log.txt"), status == 0);
        EXPECT_EQ(count_of(dir.log(), "Image verified OK."), status == 0 ? 2u : 0u);
    }
}

TEST(UpgradeRun, AFullQB4077ImageTakesWellUnderASecondOfCpu)
{
    SimDir dir;
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
        {"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0]}]}}}]})");
    dir.write("fw_4077.bin", make_image(30000, {1, 2, 0}));
    struct rusage before {}, after {};
    getrusage(RUSAGE_CHILDREN, &before);
    auto r = dir.run({"-u", "-f", "fw_4077.bin"});
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_EQ(r.status, 0);
    // The buffer is full before the end of the file; both phases stop at the 0x3E00 limit.
    EXPECT_TRUE(contains(dir.log(), "Finished loading firmware. i:0x%04 (20480) bytes\n"));
    EXPECT_FALSE(contains(dir.log(), "EOF reached"));
    EXPECT_TRUE(contains(dir.log(), "End of write image at: 0x3DFF\n"));
    EXPECT_TRUE(contains(dir.log(), "End of verify image at: 0x3DFF\n"));
    auto seconds = [](const struct rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(seconds(after) - seconds(before), 1.0);
}
