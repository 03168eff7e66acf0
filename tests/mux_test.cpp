// The mux model: its register is the channel-enable mask, and only the
// channels switched on are reachable, by the tool's writes, by a BMC that
// selects the channel itself, or through a mux on a parent's channel.
#include <gtest/gtest.h>

#include "device_bench.h"
#include "mux.h"

using namespace qbtest;

namespace {

// Chip ID of the controller the mux lets through at 8-bit address `addr8`, 0 if none.
int chip_behind(sim::I2cMux& mux, uint8_t addr8)
{
    sim::I2cDevice* d = mux.find(addr8 >> 1);
    return d ? read_register(*d, 0x63) : 0;
}

}  // namespace

TEST(Mux, RoutesOnlyToSwitchedOnChannelsAndTracesEachChange)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "mux", "address": "0xE6", "channels": {
        "1": [{"type": "qb40xx", "address": "0xC0", "chip_id": 73}],
        "2": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77}],
        "8": [{"type": "qb40xx", "address": "0xC2", "chip_id": 80}]}})");
    EXPECT_EQ(placed.addr7, 0x73);
    auto& mux = dynamic_cast<sim::Mux&>(*placed.device);
    EXPECT_EQ(chip_behind(mux, 0xC0), 0) << "power-on: nothing behind it answers";
    struct Case {
        bool tool_writes;  // else the BMC selects a channel from the nibble
        uint8_t value, mask;
        int at_c0, at_c2;
    };
    const Case cases[] = {
        {true, 0x01, 0x01, 73, 0}, {true, 0x82, 0x82, 77, 80}, {true, 0x04, 0x04, 0, 0},
        {true, 0x03, 0x03, 73, 0},  // two channels with a device at 0xC0: the lower one answers
        {false, 2, 0x02, 77, 0},    {false, 8, 0x80, 0, 80},   {false, 8, 0x80, 0, 80},
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
        EXPECT_EQ(chip_behind(mux, 0xC0), k.at_c0);
        EXPECT_EQ(chip_behind(mux, 0xC2), k.at_c2);
        char line[48];
        std::snprintf(line, sizeof line, "mux bmc0 bus 0x01 0xE6 channels %02X", k.mask);
        if (changes.empty() || changes.back() != line)
            changes.push_back(line);
    }
    EXPECT_EQ(bench.trace_lines(), changes);
}

TEST(Mux, NestedMuxIsReachedThroughItsParentsChannel)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "mux", "address": "0xE6", "channels": {
        "3": [{"type": "mux", "address": "0xE4", "channels": {
              "5": [{"type": "qb40xx", "address": "0xC4", "chip_id": 82}]}}]}})");
    auto& outer = dynamic_cast<sim::I2cMux&>(*placed.device);
    write_bytes(outer, {0x04});
    auto* inner = dynamic_cast<sim::I2cMux*>(outer.find(0x72));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(chip_behind(outer, 0xC4), 0) << "inner mux still switched off";
    write_bytes(*inner, {0x10});
    EXPECT_EQ(chip_behind(outer, 0xC4), 82);
    write_bytes(outer, {0x00});
    EXPECT_EQ(chip_behind(outer, 0xC4), 0);
}
