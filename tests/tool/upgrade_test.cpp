// SPDX-License-Identifier: MIT
// One upgrade cycle over the device table, called in the test process with
// the records put into the table directly: the count and result rules, the
// version match and skipped chips.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "firmware_images.h"
#include "flash_rig.h"
#include "main/scan.h"
#include "main/upgrade.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// Controllers answer at 0xC0 and 0xC2 on bus 0x01; nothing answers at 0xC4,
// so a record there fails.
std::string machine()
{
    const std::string quick = R"("erase_ms": 1, "reset_ms": 1)";
    return flash_machine(controller("0xC0", 77, quick) + ", " + controller("0xC2", 77, quick));
}

// A record of a controller running 1.0.0, or the image's own 3.4.5.
structChipInfo record(INT8U chip_id, INT8U i2c_addr, bool runs_image = false, INT8U updated = 0)
{
    structChipInfo r{};
    r.ChipID = chip_id, r.i2c_addr = i2c_addr, r.busID = 0x01, r.Updated = updated;
    r.FW_ID0 = runs_image ? 3 : 1, r.FW_ID1 = runs_image ? 4 : 0, r.FW_ID2 = runs_image ? 5 : 0;
    return r;
}

int run_cycle(const std::vector<structChipInfo>& records, std::string& console)
{
    std::copy(records.begin(), records.end(), ChipInfo);
    ChipsFound = static_cast<INT8U>(records.size());
    ChipIDshouldbe = 77;
    FlashRig::load_image(make_image(300, {3, 4, 5}));
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
        int result;
        const char* count_line;
        std::vector<int> updated;
    };
    const Case cases[] = {
        {"both flashed", {record(77, 0xC0), record(77, 0xC2)}, 1, "Upgraded 2 of 2 parts", {1, 1}},
        {"one flashed, one failed", {record(77, 0xC0), record(77, 0xC4)}, 0, "Upgraded 1 of 2 parts", {1, 0}},
        {"match and a failure still succeeds", {record(77, 0xC0, true), record(77, 0xC4)}, 1, "Upgraded 0 of 2 parts",
         {0, 0}},
        {"an earlier cycle's upgrade still counts", {record(77, 0xC0, true, 1), record(77, 0xC2)}, 1,
         "Upgraded 2 of 2 parts", {1, 1}},
        {"an unknown chip is skipped and not counted", {record(77, 0xC0), record(75, 0xC2)}, 0, "Upgraded 1 of 2 parts",
         {1, 0}},
        {"no records", {}, 1, "Upgraded 0 of 0 parts", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FlashRig rig(machine());
        std::string console;
        EXPECT_EQ(run_cycle(c.records, console), c.result);
        EXPECT_TRUE(contains(console, "Sucessfully " + std::string(c.count_line) + "\r\n")) << console;
        size_t matches = 0;
        for (size_t i = 0; i < c.records.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(ChipInfo[i].Updated, c.updated[i]);
            // A matched record is never flashed, an unknown one never touched.
            const bool matched = c.records[i].FW_ID0 == 3, left_alone = matched || c.records[i].ChipID == 75;
            matches += matched;
            EXPECT_EQ(lines_starting(bus_traffic(rig.trace(), c.records[i].i2c_addr), "write").empty(), left_alone);
        }
        EXPECT_EQ(count_of(console, "Firmware IMAGE matches with existing firmware on the device, Utility will exit now\r\n"),
                  matches);
    }
}
