// SPDX-License-Identifier: MIT
// The upgrade path through the whole program: the image name and file
// rules, every way the path ends with its exit status (continuous cycles and
// quiet mode included), and the CPU time of a full image.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "sim_run.h"
#include "programs.h"

using namespace qbtest;

namespace {

// The demo image's version: FW 1, major 2, minor 0; the machines' controllers run 1.0.0.
const std::string kImage4077 = make_image(4096, {1, 2, 0});

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
        const char* log_end;  // nullptr: the closing lines with the status; "": no log at all
        const char* flashed;  // downcopies to the controllers of bus 1 and bus 2
        int cycles = 0;       // continuous mode: the cycles run
    };
    // Every machine has a key script, so that the terminal is the simulated one.
    auto keyed = [](const char* name, const std::vector<std::pair<double, std::string>>& keys = {}) {
        return with_keys(machine_file(name), keys);
    };
    const std::string up = keyed("upgrade_4077.json"), lost = keyed("upgrade_reset_lost.json");
    const Case cases[] = {
        {"all upgraded; a bare name whose directory holds the key", up, {"4077/readme.bin"}, "4077/readme.bin",
         kImage4077, 0, "Upgrade Sucessful [RETURN CODE:0x00]\n\r\n", nullptr, "11"},
        {"qb4077.bin.old is a .bin; an empty image the controllers refuse", up, {"-f", "qb4077.bin.old"},
         "qb4077.bin.old", "", 4, "\rLoading binary: 0x0000:ff\nEOF reached. Loaded 0 (0x0000) bytes\r\n", nullptr, "00"},
        {"a later name; the order of the keys decides; 7680 bytes is too big", up,
         {"-f", "fw_4083.bin", "-f", "fw_4083_4073.bin"}, "fw_4083_4073.bin", make_image(7680), 1,
         "\nERROR: Invalid file size for QB4073 in file fw_4083_4073.bin [RETURN CODE:0x01]\r\n",
         "[RETURN CODE:0x01]\nKcs Close\n", "00"},
        {"4076 of 7680 bytes", up, {"-f", "x4076.bin"}, "x4076.bin", make_image(7680), 1,
         "Invalid file size for QB4076 in file x4076.bin", "Kcs Close\n", "00"},
        {"4073 of 7679 bytes loads, then meets a QB4077", up, {"-f", "fw_4073.bin"}, "fw_4073.bin", make_image(7679), 5,
         "Finished loading firmware. i:0x%04 (7679) bytes",
         "Chip ID Mismatch. ChipCounter:0 ChipIDshouldbe:73 ChipInfo[0].ChipID:77\n", "00"},
        {"image file missing", up, {"-f", "fw_4080.bin"}, "fw_4077.bin", kImage4077, 1,
         "ERROR: Can't open file fw_4080.bin [RETURN CODE:0x01]\r\n", "[RETURN CODE:0x01]\nKcs Close\n", "00"},
        // A 4083 image passes the family check of any known chip, after a "y" or "Y" (QB4083C set) ...
        {"4083 image confirmed", keyed("upgrade_4077.json", {{600, "Y"}}), {"fw_4083.bin"}, "fw_4083.bin",
         kImage4077, 0, "Proceed with Firmware Upgrade on QB4083C? Press [y] (Version info: FW:[0x02:0x00])\n\r\n"
         "[y]-key pressed.Proceeding with Upgrade...\r\n", nullptr, "11"},
        {"4083 image declined at the end of the input", up, {"fw_4083.bin"}, "fw_4083.bin", kImage4077, 3,
         "Press [y] (Version info: FW:[0x02:0x00])\n\r\nUpgrade Aborted\r\n", nullptr, "00"},
        // ... or with -u, unasked and with the standard set.
        {"4083 image, -u", up, {"fw_4083.bin", "-u"}, "fw_4083.bin", kImage4077, 0, "Upgrade Sucessful", nullptr, "11"},
        {"a controller never came back", lost, {"-f", "fw_4077.bin"}, "fw_4077.bin", kImage4077, 4,
         "Device never came out of reset after firmware upgrade!\r\n", nullptr, "11"},
        {"mismatch at the second controller after the first was flashed", keyed("upgrade_mixed_family.json"),
         {"-f", "fw_4077.bin"}, "fw_4077.bin", kImage4077, 5,
         "ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]\r\n",
         "Chip ID Mismatch. ChipCounter:1 ChipIDshouldbe:77 ChipInfo[0].ChipID:77\n", "10"},
        {"type case as written", up, {"-f", "qb4077.BIN"}, "qb4077.BIN", kImage4077, 5,
         "ERROR: Invalid file type [RETURN CODE:0x05]\r\n", "", "00"},
        {"no key comes before the type", up, {"notes.txt"}, "notes.txt", kImage4077, 5,
         "ERROR: Invalid filename specified after -f [RETURN CODE:0x05]\r\n", "", "00"},
        // Quiet mode prints nothing and looks for no Esc (without -q these keys abort the second controller).
        {"quiet", keyed("upgrade_4077.json", {{1.5, "esc"}, {1.5, "y"}}), {"-q", "-f", "fw_4077.bin"},
         "fw_4077.bin", kImage4077, 0, "", nullptr, "11"},
        // Continuous cycles go on while each succeeds; an up-to-date controller is not flashed again.
        // An empty cycle ends its pass; the next BMC's pass counts on from there.
        {"no controller on two BMCs", with_keys(empty_bmcs(2), {}), {"-f", "fw_4077.bin", "-c3"}, "fw_4077.bin",
         kImage4077, 171, "No Devices Found [RETURN CODE:0xab]\n\r\n", nullptr, "00", 2},
        {"three good cycles", up, {"-f", "fw_4077.bin", "-c3"}, "fw_4077.bin", kImage4077, 0,
         "Sucessfully Upgraded 2 of 2 parts\r\n", nullptr, "11", 3},
        {"failed in cycle 1", lost, {"-f", "fw_4077.bin", "-c5"}, "fw_4077.bin", kImage4077, 4,
         "Sucessfully Upgraded 1 of 2 parts\r\n", nullptr, "11", 1},
        // The QB4083C question comes again in every cycle.
        {"declined in cycle 2", keyed("upgrade_4077.json", {{600, "y"}, {1200, "n"}}), {"-f", "fw_4083.bin", "-c3"},
         "fw_4083.bin", kImage4077, 3, "[y]-key pressed.Proceeding with Upgrade...\r\n", nullptr, "11", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        std::filesystem::create_directory(dir.path() / "4077");
        dir.write(c.file, c.image);
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(*c.console ? contains(r.console, c.console) : r.console.empty()) << r.console;
        const std::string log = dir.log(), end = c.log_end ? c.log_end : exit_line(c.status);
        EXPECT_TRUE(end.empty() ? !dir.exists("log.txt") : log.ends_with(end)) << log;
        EXPECT_EQ(std::to_string(downcopies(r.trace, 0x01)) + std::to_string(downcopies(r.trace, 0x02)), c.flashed);
        EXPECT_EQ(contains(r.trace, ": 18 52 01 C0 00 55 AA F2 F0"), contains(c.console, "[y]-key pressed"));
        EXPECT_EQ(count_of(dir.logprev() + log, "Upgrade Mode, Count "), size_t(c.cycles));
        // Progress lines go to the console only.
        EXPECT_FALSE(contains(log, "Loading binary") || contains(log, "ing Address: "));
        // A family mismatch leaves the terminal in the raw mode of the upgrade.
        const size_t mode = r.trace.rfind("terminal ");
        EXPECT_EQ(mode != std::string::npos && r.trace.compare(mode, 12, "terminal raw") == 0, contains(end, "Mismatch"));
    }
}

TEST(UpgradeRun, AFullQB4077ImageTakesWellUnderASecondOfCpu)
{
    SimDir dir;
    dir.machine(flash_machine(controller("0xC0", 77)));
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
    if (qbtest::kCpuBounds) {
        EXPECT_LT(seconds(after) - seconds(before), 1.0);
    } else {
        RecordProperty("cpu_seconds", std::to_string(seconds(after) - seconds(before)));
    }
}
