// SPDX-License-Identifier: MIT
// The mux model beyond the single channels the scan selects: masks with
// several channels, channel numbers out of range, and a trace line for each
// change of the mask.
#include <gtest/gtest.h>

#include "device_bench.h"
#include "sim/devices/mux.h"

using namespace qbtest;

TEST(Mux, RoutesOnlyToSwitchedOnChannelsAndTracesEachChange)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "mux", "address": "0xE6", "channels": {
        "1": [{"type": "qb40xx", "address": "0xC0", "chip_id": 73}],
        "2": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77}],
        "8": [{"type": "qb40xx", "address": "0xC2", "chip_id": 80}]}})");
    auto& mux = dynamic_cast<sim::Mux&>(*placed.device);
    // Chip ID of the controller let through at `addr8`, 0 if none.
    auto chip_behind = [&](uint8_t addr8) {
        sim::I2cDevice* d = mux.find(addr8 >> 1);
        return d ? read_register(*d, 0x63) : 0;
    };
    struct Case {
        bool tool_writes;  // else the BMC selects a channel from the nibble
        uint8_t value, mask;
        int at_c0, at_c2;
    };
    const Case cases[] = {
        {true, 0x82, 0x82, 77, 80}, {true, 0x04, 0x04, 0, 0},
        {true, 0x03, 0x03, 73, 0},  // two channels with a device at 0xC0: the lower one answers
        {false, 8, 0x80, 0, 80},    {false, 8, 0x80, 0, 80},
        {false, 9, 0x00, 0, 0},     // nibbles 0 and 9 to 15 give no channel
    };
    std::vector<std::string> changes;
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.tool_writes << " " << int(k.value));
        if (k.tool_writes)
            ASSERT_TRUE(write_bytes(mux, {k.value}));
        else
            mux.select_channel(k.value);
        EXPECT_EQ(read_bytes(mux, 1), std::vector<uint8_t>{k.mask});
        EXPECT_EQ(chip_behind(0xC0), k.at_c0);
        EXPECT_EQ(chip_behind(0xC2), k.at_c2);
        char line[48];
        std::snprintf(line, sizeof line, "mux bmc0 bus 0x01 0xE6 channels %02X", k.mask);
        if (changes.empty() || changes.back() != line)
            changes.push_back(line);
    }
    EXPECT_EQ(bench.trace_lines(), changes);
}
