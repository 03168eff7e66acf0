// The mux model: its register is the channel-enable mask, and only the
// channels switched on are reachable, by the tool's writes or by a BMC that
// selects the channel itself.
#include <gtest/gtest.h>

#include "controller.h"
#include "device_bench.h"
#include "mux.h"

using qbtest::DeviceBench;
using qbtest::read_bytes;
using qbtest::read_register;
using qbtest::write_bytes;

namespace {

constexpr const char* kMux = R"({"type": "mux", "address": "0xE6", "channels": {
    "1": [{"type": "qb40xx", "address": "0xC0", "chip_id": 73}],
    "2": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77},
          {"type": "eeprom", "address": "0xA0", "contents": "5A"}],
    "8": [{"type": "qb40xx", "address": "0xC2", "chip_id": 80}]}})";

// Chip ID of the controller the mux lets through at 8-bit address `addr8`, 0 if none.
int chip_behind(sim::I2cMux& mux, uint8_t addr8)
{
    sim::I2cDevice* d = mux.find(addr8 >> 1);
    return d ? read_register(*d, 0x63) : 0;
}

}  // namespace

TEST(Mux, RoutesOnlyToSwitchedOnChannels)
{
    DeviceBench bench;
    auto placed = bench.make(kMux);
    EXPECT_EQ(placed.addr7, 0x73);
    auto& mux = dynamic_cast<sim::I2cMux&>(*placed.device);

    struct Case {
        uint8_t mask;
        int at_c0, at_c2;
        bool eeprom;
    };
    const Case cases[] = {
        {0x00, 0, 0, false},   // power-on: nothing behind it answers
        {0x01, 73, 0, false},  {0x02, 77, 0, true}, {0x80, 0, 80, false},
        {0x82, 77, 80, true},  {0x04, 0, 0, false},
        {0x03, 73, 0, true},  // two channels with a device at 0xC0: the lower one answers
    };
    for (const Case& k : cases) {
        ASSERT_TRUE(write_bytes(mux, {k.mask}));
        EXPECT_EQ(read_bytes(mux, 1), std::vector<uint8_t>{k.mask});
        EXPECT_EQ(chip_behind(mux, 0xC0), k.at_c0) << "mask " << int(k.mask);
        EXPECT_EQ(chip_behind(mux, 0xC2), k.at_c2) << "mask " << int(k.mask);
        EXPECT_EQ(mux.find(0x50) != nullptr, k.eeprom) << "mask " << int(k.mask);
    }
}

TEST(Mux, BmcSelectsOneChannelFromTheNibble)
{
    DeviceBench bench;
    auto placed = bench.make(kMux);
    auto& mux = dynamic_cast<sim::Mux&>(*placed.device);
    write_bytes(mux, {0xFF});
    struct Case {
        unsigned channel;
        uint8_t mask;
        int at_c0;
    };
    // Nibbles 9 to 15 give no channel, as the tool's own mask does.
    const Case cases[] = {{2, 0x02, 77}, {1, 0x01, 73}, {8, 0x80, 0}, {9, 0x00, 0}, {0, 0x00, 0}, {15, 0x00, 0}};
    for (const Case& k : cases) {
        mux.select_channel(k.channel);
        EXPECT_EQ(mux.mask(), k.mask) << k.channel;
        EXPECT_EQ(chip_behind(mux, 0xC0), k.at_c0) << k.channel;
    }
}

TEST(Mux, TraceNamesChangesAndWhereChannelDevicesSit)
{
    DeviceBench bench;
    auto placed = bench.make(kMux);
    auto& mux = dynamic_cast<sim::Mux&>(*placed.device);
    bench.forget();
    write_bytes(mux, {0x02});
    write_bytes(mux, {0x02});  // unchanged: no line
    mux.select_channel(2);
    write_bytes(*mux.find(0x60), {0x44, 0xFF});
    mux.select_channel(1);
    EXPECT_EQ(bench.trace_lines(), (std::vector<std::string>{
                                       "mux bmc0 bus 0x01 0xE6 channels 02",
                                       "led bmc0 bus 0x01 mux 0xE6 ch 2 0xC0 fail FF",
                                       "mux bmc0 bus 0x01 0xE6 channels 01",
                                   }));
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

TEST(Mux, MalformedChannelsNameTheField)
{
    struct Case {
        const char* json;
        const char* field;
    };
    const Case cases[] = {
        {R"({"type": "mux", "address": "0xE6", "channels": {"9": []}})", "dev.channels.9"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"0": []}})", "dev.channels.0"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"1": [{"type": "qb40xx", "address": "0xC0",
             "chip_id": 77}, {"type": "eeprom", "address": "0xC0"}]}})",
         "dev.channels.1[1].address"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"2": [{"type": "qb40xx", "address": "0xC0"}]}})",
         "dev.channels.2[0].chip_id"},
    };
    for (const Case& k : cases) {
        DeviceBench bench;
        try {
            bench.make(k.json);
            ADD_FAILURE() << "accepted " << k.json;
        } catch (const sim::MachineFileError& e) {
            EXPECT_EQ(e.field(), k.field) << k.json << ": " << e.what();
        }
    }
}
