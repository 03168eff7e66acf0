// The controller model's register side: the map the scan reads, the LED
// registers and their trace lines, the found mark, and the machine-file
// entries it refuses.
#include <gtest/gtest.h>

#include "controller.h"
#include "device_bench.h"

using qbtest::DeviceBench;
using qbtest::read_bytes;
using qbtest::read_register;
using qbtest::write_bytes;

namespace {

constexpr const char* kBackplane = R"({"type": "qb40xx", "address": "0xC2", "chip_id": "M",
    "firmware": [7, 2, 9], "revision": "0x11",
    "registers": {"0x00": 1, "0x07": "0x80", "0x30": 5, "0x34": 8, "0x35": "0x21", "0x36": "0x0F",
                  "0x38": "0x0B", "0x56": 40, "0x57": 25, "0x58": 60}})";

}  // namespace

TEST(ControllerRegisters, MapFromTheMachineFile)
{
    DeviceBench bench;
    auto placed = bench.make(kBackplane);
    EXPECT_EQ(placed.addr7, 0x61);
    auto& c = *placed.device;
    struct Case {
        uint8_t reg;
        int value;
    };
    const Case cases[] = {
        {0x63, 'M'}, {0x60, 7},  {0x61, 2},    {0x62, 9},    {0x64, 0x11}, {0x00, 1},  {0x07, 0x80},
        {0x01, 0},   {0x30, 5},  {0x34, 8},    {0x35, 0x21}, {0x36, 0x0F}, {0x38, 0x0B}, {0x56, 40},
        {0x57, 25},  {0x58, 60}, {0x40, 0},    {0x42, 0},    {0x44, 0},    {0x46, 0},  {0xFF, 0},
    };
    for (const Case& k : cases)
        EXPECT_EQ(read_register(c, k.reg), k.value) << std::hex << "register 0x" << int(k.reg);
    // The QB4083C form points at a register the same way.
    ASSERT_TRUE(write_bytes(c, {0x55, 0xAA, 0xF2, 0x61}));
    EXPECT_EQ(read_bytes(c, 1), std::vector<uint8_t>{2});
    // A longer read goes on with the registers that follow.
    ASSERT_TRUE(write_bytes(c, {0x60}));
    EXPECT_EQ(read_bytes(c, 5), (std::vector<uint8_t>{7, 2, 9, 'M', 0x11}));
}

TEST(ControllerRegisters, ChipIdAsNumberAndDefaults)
{
    DeviceBench bench;
    for (auto [json, chip] : {std::pair{R"({"type": "qb40xx", "address": "0xC0", "chip_id": 73})", 73},
                              std::pair{R"({"type": "qb40xx", "address": "0xC0", "chip_id": "0x80"})", 0x80},
                              std::pair{R"({"type": "qb40xx", "address": "0xC0", "chip_id": 0})", 0}}) {
        auto placed = bench.make(json);
        EXPECT_EQ(read_register(*placed.device, 0x63), chip);
        EXPECT_EQ(read_register(*placed.device, 0x60), 1) << "default firmware 1.0.0";
        EXPECT_EQ(read_register(*placed.device, 0x61), 0);
        EXPECT_EQ(read_register(*placed.device, 0x64), 1) << "default revision";
    }
}

TEST(ControllerRegisters, LedWritesAreTracedOnChangeAndOtherRegistersRefuse)
{
    DeviceBench bench;
    auto placed = bench.make(kBackplane);
    auto& c = dynamic_cast<sim::Controller&>(*placed.device);
    bench.forget();

    // The scan's found mark, then the summary clearing it.
    EXPECT_TRUE(write_bytes(c, {0x42, 0xFF}));
    EXPECT_TRUE(write_bytes(c, {0x44, 0xFF}));
    EXPECT_EQ(read_register(c, 0x42), 0xFF);
    EXPECT_EQ(read_register(c, 0x44), 0xFF);
    EXPECT_TRUE(write_bytes(c, {0x44, 0xFF}));  // no change, no line
    EXPECT_TRUE(write_bytes(c, {0x42, 0x00}));
    EXPECT_TRUE(write_bytes(c, {0x44, 0x00}));
    EXPECT_TRUE(write_bytes(c, {0x40, 0xFF}));
    EXPECT_TRUE(write_bytes(c, {0x46, 0x0C}));
    EXPECT_EQ(c.reg(sim::Controller::kActivity), 0xFF);
    EXPECT_EQ(c.reg(sim::Controller::kRebuild), 0x0C);

    EXPECT_EQ(bench.trace_lines(), (std::vector<std::string>{
                                       "led bmc0 bus 0x01 0xC2 locate FF",
                                       "led bmc0 bus 0x01 0xC2 fail FF",
                                       "led bmc0 bus 0x01 0xC2 locate 00",
                                       "led bmc0 bus 0x01 0xC2 fail 00",
                                       "led bmc0 bus 0x01 0xC2 activity FF",
                                       "led bmc0 bus 0x01 0xC2 rebuild 0C",
                                   }));
    bench.forget();

    // Identification and status registers are not the bus's to write, and an
    // LED write with a stray third byte is no register write either.
    for (uint8_t reg : {0x63, 0x60, 0x30, 0x36, 0x41}) {
        EXPECT_FALSE(write_bytes(c, {reg, 0x55})) << int(reg);
        EXPECT_NE(c.reg(reg), 0x55);
    }
    EXPECT_FALSE(write_bytes(c, {0x44, 0xFF, 0xFF}));
    EXPECT_EQ(c.reg(sim::Controller::kFail), 0x00);
    EXPECT_EQ(bench.trace_lines().size(), 6u);
    EXPECT_EQ(bench.trace_lines()[0], "register bmc0 bus 0x01 0xC2 refused 63 55: not a writable register");
}

TEST(ControllerRegisters, PresetFoundMarkReadsAsFoundBefore)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "qb40xx", "address": "0xC0", "chip_id": 76,
                                 "registers": {"0x42": "0xFF", "0x44": "0xFF"}})");
    EXPECT_EQ(read_register(*placed.device, 0x42), 0xFF);
    EXPECT_EQ(read_register(*placed.device, 0x44), 0xFF);
    EXPECT_TRUE(bench.trace_lines().empty()) << "power-on values are no change";
}

TEST(ControllerRegisters, MalformedEntriesNameTheField)
{
    struct Case {
        const char* json;
        const char* field;
    };
    const Case cases[] = {
        {R"({"type": "qb40xx", "address": "0xC0"})", "dev.chip_id"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": "MM"})", "dev.chip_id"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 300})", "dev.chip_id"},
        {R"({"type": "qb40xx", "address": "0xC1", "chip_id": 77})", "dev.address"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 2]})", "dev.firmware"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "registers": {"0x61": 3}})", "dev.registers.0x61"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "registers": {"0x100": 3}})",
         "dev.registers.0x100"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "colour": 3})", "dev.colour"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "erase_ms": -1})", "dev.erase_ms"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "faults": {"refuse": [{"command": "burn"}]}})",
         "dev.faults.refuse[0].command"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77,
             "faults": {"refuse": [{"command": "erase", "at": 5}]}})",
         "dev.faults.refuse[0].at"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "faults": {"status": "55 AA E2"}})",
         "dev.faults.status"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "faults": {"checksum_fails": "middle"}})",
         "dev.faults.checksum_fails"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "faults": {"stop_ms": 5}})", "dev.faults.stop_ms"},
        {R"({"type": "toaster", "address": "0xC0"})", "dev.type"},
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
