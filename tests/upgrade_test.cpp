// One upgrade cycle over the device table, called in the test process with
// the records put into the table directly: the count and result rules, the
// version match, skipped chips and the QB4083C confirmation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "main/qb40tool.h"

using namespace qbtest;

namespace {

constexpr ImageVersion kImageVersion{3, 4, 5};

// Controllers at 0xC0 and 0xC2 on bus 0x01; the second refuses the version
// command if it is to fail.
std::string two_controllers(int first_chip, int second_chip, bool second_fails = false)
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
    r.FW_ID0 = runs_image ? kImageVersion.fw_id : 1;
    r.FW_ID1 = runs_image ? kImageVersion.major : 0;
    r.FW_ID2 = runs_image ? kImageVersion.minor : 0;
    r.Updated = updated;
    return r;
}

int run_cycle(const std::vector<structChipInfo>& records, INT8U image_chip_id, std::string& console)
{
    for (size_t i = 0; i < records.size(); i++)
        ChipInfo[i] = records[i];
    ChipsFound = static_cast<INT8U>(records.size());
    ChipIDshouldbe = image_chip_id;
    FlashRig::load_image(make_image(300, kImageVersion));
    CapturedStdout out;
    int result = UpgradeFirmwareOnAllFoundThread();
    console = out.text();
    return result;
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
    };
    const Case cases[] = {
        {"both flashed", {record(77, 0xC0), record(77, 0xC2)}, false, 1, "Upgraded 2 of 2 parts", {1, 1}},
        {"one flashed, one failed", {record(77, 0xC0), record(77, 0xC2)}, true, 0, "Upgraded 1 of 2 parts", {1, 0}},
        {"match and a failure still succeeds", {record(77, 0xC0, true), record(77, 0xC2)}, true, 1,
         "Upgraded 0 of 2 parts", {0, 0}},
        {"an earlier cycle's upgrade still counts", {record(77, 0xC0, true, 1), record(77, 0xC2)}, false, 1,
         "Upgraded 2 of 2 parts", {1, 1}},
        {"an unknown chip is skipped and not counted", {record(77, 0xC0), record(75, 0xC2)}, false, 0,
         "Upgraded 1 of 2 parts", {1, 0}},
        {"no records", {}, false, 1, "Upgraded 0 of 0 parts", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlashRig rig(flash_machine(two_controllers(77, 77, c.second_fails)));
        std::string console;
        EXPECT_EQ(run_cycle(c.records, 77, console), c.result);
        EXPECT_TRUE(contains(console, "Sucessfully " + std::string(c.count_line) + "\r\n")) << console;
        size_t matches = 0;
        for (size_t i = 0; i < c.records.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(ChipInfo[i].Updated, c.updated[i]);
            // A matched record is never flashed, an unknown one never touched.
            const bool matched = c.records[i].FW_ID0 == kImageVersion.fw_id;
            matches += matched;
            const bool left_alone = matched || c.records[i].ChipID == 75;
            EXPECT_EQ(only(bus_traffic(rig.trace(), c.records[i].i2c_addr), "write").empty(), left_alone);
            EXPECT_EQ(contains(console, i ? "I2C address 0xC2\r\n" : "I2C address 0xC0\r\n"), !left_alone);
        }
        EXPECT_EQ(count_of(console, "Firmware IMAGE matches with existing firmware on the device, "
                                    "Utility will exit now\r\n"),
                  matches);
    }
}

TEST(UpgradeCycle, QB4083CImageAsksFirstUnlessUnconditional)
{
    struct Case {
        const char* name;
        const char* keys;
        bool unconditional;
        int result;
        const char* flash_command;  // nullptr: nothing is sent
    };
    const Case cases[] = {
        {"y proceeds with the QB4083C set", R"([{"at": 0, "key": "y"}])", false, 1, "write 55 AA F2 E0"},
        {"Y proceeds with the QB4083C set", R"([{"at": 0, "key": "Y"}])", false, 1, "write 55 AA F2 E0"},
        {"any other key aborts", R"([{"at": 0, "key": "n"}])", false, 2, nullptr},
        {"the end of the input aborts", "[]", false, 2, nullptr},
        {"-u asks nothing and keeps the standard set", "[]", true, 1, "write 55 AA E0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A 4083 image passes the family check for any known chip.
        FlashRig rig(flash_machine(two_controllers(73, 80), "", c.keys));
        CMDL_UnconditionalUpgrade = c.unconditional;
        std::string console;
        EXPECT_EQ(run_cycle({record(73, 0xC0), record(80, 0xC2)}, 83, console), c.result);
        EXPECT_EQ(QB4083CUpgrade, c.flash_command && !c.unconditional);
        const std::string question =
            "Proceed with Firmware Upgrade on QB4083C? Press [y] (Version info: FW:[0x04:0x05])\n\r\n";
        EXPECT_EQ(contains(console, question), !c.unconditional);
        const auto traffic = bus_traffic(rig.trace(), 0xC0);
        if (c.flash_command) {
            EXPECT_FALSE(only(traffic, c.flash_command).empty());
            EXPECT_EQ(contains(console, question + "[y]-key pressed.Proceeding with Upgrade...\r\n"), !c.unconditional);
        } else {
            EXPECT_TRUE(console.ends_with(question + "Upgrade Aborted\r\n")) << console;
            EXPECT_TRUE(traffic.empty());
        }
    }
}
