// One upgrade cycle over the device table, called in the test process with
// the records put into the table directly: the count and result rules, the
// version match, skipped chips and the QB4083C confirmation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "main/qb40tool.h"

using qbtest::bus_traffic;
using qbtest::contains;
using qbtest::controller;
using qbtest::flash_machine;
using qbtest::FlashRig;
using qbtest::only;

namespace {

constexpr qbtest::ImageVersion kImageVersion{3, 4, 5};

// Two controllers on bus 0x01, ready at once after erase and reset; the
// second one refuses the version command if it is to fail.
std::string two_controllers(int first_chip = 77, int second_chip = 77, bool second_fails = false)
{
    const std::string quick = R"("erase_ms": 1, "reset_ms": 1)";
    return controller("0xC0", first_chip, quick) + ", " +
           controller("0xC2", second_chip,
                      quick + (second_fails ? R"(, "faults": {"refuse": [{"command": "version"}]})" : ""));
}

structChipInfo record(INT8U chip_id, INT8U i2c_addr, bool runs_image = false, INT8U updated = 0)
{
    structChipInfo r{};
    r.ChipID = chip_id;
    r.i2c_addr = i2c_addr;
    r.busID = 0x01;
    r.MUXaddress = 0xE6;
    if (runs_image) {
        r.FW_ID0 = kImageVersion.fw_id;
        r.FW_ID1 = kImageVersion.major;
        r.FW_ID2 = kImageVersion.minor;
    } else {
        r.FW_ID0 = 1;
    }
    r.Updated = updated;
    return r;
}

struct Cycle {
    int result;
    std::string console;
};

Cycle run_cycle(const std::vector<structChipInfo>& records, INT8U image_chip_id)
{
    for (size_t i = 0; i < records.size(); i++)
        ChipInfo[i] = records[i];
    ChipsFound = static_cast<INT8U>(records.size());
    ChipIDshouldbe = image_chip_id;
    FlashRig::load_image(qbtest::make_image(300, kImageVersion));
    qbtest::CapturedStdout out;
    int result = UpgradeFirmwareOnAllFoundThread();
    return {result, out.text()};
}

}  // namespace

TEST(UpgradeCycle, CountAndResultOverSeveralControllers)
{
    struct Case {
        const char* name;
        std::vector<structChipInfo> records;
        bool second_fails;
        int result;
        const char* count_line;
        std::vector<int> updated;
        int matches;
    };
    const Case cases[] = {
        {"both flashed", {record(77, 0xC0), record(77, 0xC2)}, false, 1, "Sucessfully Upgraded 2 of 2 parts", {1, 1}, 0},
        {"one flashed, one failed", {record(77, 0xC0), record(77, 0xC2)}, true, 0, "Sucessfully Upgraded 1 of 2 parts",
         {1, 0}, 0},
        {"match and a failure still succeeds", {record(77, 0xC0, true), record(77, 0xC2)}, true, 1,
         "Sucessfully Upgraded 0 of 2 parts", {0, 0}, 1},
        {"an earlier cycle's upgrade still counts", {record(77, 0xC0, true, 1), record(77, 0xC2)}, false, 1,
         "Sucessfully Upgraded 2 of 2 parts", {1, 1}, 1},
        {"an unknown chip is skipped and not counted", {record(77, 0xC0), record(75, 0xC2)}, false, 0,
         "Sucessfully Upgraded 1 of 2 parts", {1, 0}, 0},
        {"no records", {}, false, 1, "Sucessfully Upgraded 0 of 0 parts", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlashRig rig(flash_machine(two_controllers(77, 77, c.second_fails)));
        Cycle cycle = run_cycle(c.records, 77);
        EXPECT_EQ(cycle.result, c.result);
        EXPECT_TRUE(contains(cycle.console, std::string(c.count_line) + "\r\n")) << cycle.console;
        for (size_t i = 0; i < c.updated.size(); i++)
            EXPECT_EQ(ChipInfo[i].Updated, c.updated[i]) << "record " << i;
        EXPECT_EQ(qbtest::count_of(cycle.console, "Firmware IMAGE matches with existing firmware on the device, "
                                                  "Utility will exit now\r\n"),
                  size_t(c.matches));
        // A matched record is never flashed, an unknown one never touched.
        for (size_t i = 0; i < c.records.size(); i++) {
            const bool left_alone = c.records[i].ChipID == 75 || c.records[i].FW_ID0 == kImageVersion.fw_id;
            const auto traffic = bus_traffic(rig.trace(), c.records[i].i2c_addr);
            EXPECT_EQ(only(traffic, "write").empty() && only(traffic, "read").empty(), left_alone) << "record " << i;
        }
    }
}

TEST(UpgradeCycle, FlashesEachControllerWithItsNumber)
{
    FlashRig rig(flash_machine(two_controllers()));
    Cycle cycle = run_cycle({record(77, 0xC0), record(77, 0xC2)}, 77);
    EXPECT_TRUE(contains(cycle.console, "Updating firmware on bus 0x01 at I2C address 0xC0\r\n"));
    EXPECT_TRUE(contains(cycle.console, "Writing New Image on Chip 1 of 2.\r\n"));
    EXPECT_TRUE(contains(cycle.console, "Updating firmware on bus 0x01 at I2C address 0xC2\r\n"));
    EXPECT_TRUE(contains(cycle.console, "Verifying New Image on Chip 2 of 2.\r\n"));
}

TEST(UpgradeCycle, QB4083CImageAsksFirstUnlessUnconditional)
{
    struct Case {
        const char* name;
        const char* key;
        bool unconditional;
        int result;
        int qb4083c_set;
    };
    const Case cases[] = {
        {"y proceeds with the QB4083C set", "y", false, 1, 1},
        {"Y proceeds with the QB4083C set", "Y", false, 1, 1},
        {"any other key aborts", "n", false, 2, 0},
        {"the end of the input aborts", nullptr, false, 2, 0},
        {"-u asks nothing and keeps the standard set", nullptr, true, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string keys = c.key ? R"([{"at": 0, "key": ")" + std::string(c.key) + R"("}])" : "[]";
        // A 4083 image passes the family check for any known chip.
        FlashRig rig(flash_machine(two_controllers(73, 80), "", keys));
        CMDL_UnconditionalUpgrade = c.unconditional;
        Cycle cycle = run_cycle({record(73, 0xC0), record(80, 0xC2)}, 83);
        EXPECT_EQ(cycle.result, c.result);
        EXPECT_EQ(QB4083CUpgrade, c.qb4083c_set);
        const std::string question =
            "Proceed with Firmware Upgrade on QB4083C? Press [y] (Version info: FW:[0x04:0x05])\n\r\n";
        EXPECT_EQ(contains(cycle.console, question), !c.unconditional);
        // The question waits for a key (or the end of the input); -u reads
        // none before flashing (the write phase's Esc polling may read later).
        const std::string trace = rig.trace();
        const size_t first_key = trace.find(" key "), first_flash = trace.find(": 18 52 01 C0 00 55 AA");
        EXPECT_EQ(first_key < first_flash, !c.unconditional);
        const auto traffic = bus_traffic(rig.trace(), 0xC0);
        if (c.result == 2) {
            EXPECT_TRUE(cycle.console.ends_with(question + "Upgrade Aborted\r\n")) << cycle.console;
            EXPECT_TRUE(only(traffic, "write").empty());
        } else if (c.qb4083c_set) {
            EXPECT_TRUE(contains(cycle.console, question + "[y]-key pressed.Proceeding with Upgrade...\r\n"));
            EXPECT_FALSE(only(traffic, "write 55 AA F2 E0").empty());
            EXPECT_TRUE(only(traffic, "write 55 AA E0").empty());
        } else {
            EXPECT_FALSE(only(traffic, "write 55 AA E0").empty());
            EXPECT_TRUE(contains(cycle.console, "Sucessfully Upgraded 2 of 2 parts\r\n"));
        }
    }
}
