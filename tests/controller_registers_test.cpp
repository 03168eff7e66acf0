// The controller model's register side (the map the scan reads, the LED
// registers and their trace lines, the registers it refuses to write) and
// the machine-file device entries the models refuse, naming the field.
#include <gtest/gtest.h>

#include "controller.h"
#include "device_bench.h"

using namespace qbtest;

TEST(ControllerRegisters, MapFromTheMachineFileAndLedWritesTracedOnChange)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "qb40xx", "address": "0xC2", "chip_id": "M", "firmware": [7, 2, 9],
        "revision": "0x11", "registers": {"0x07": "0x80", "0x30": 5, "0x58": 60}})");
    EXPECT_EQ(placed.addr7, 0x61);
    auto& c = dynamic_cast<sim::Controller&>(*placed.device);
    for (auto [reg, value] : {std::pair{0x07, 0x80}, {0x30, 5}, {0x58, 60}, {0x01, 0}, {0x44, 0}})
        EXPECT_EQ(read_register(c, static_cast<uint8_t>(reg)), value) << reg;
    // A longer read goes on with the registers that follow; the QB4083C form
    // points at a register the same way.
    ASSERT_TRUE(write_bytes(c, {0x60}));
    EXPECT_EQ(read_bytes(c, 5), (std::vector<uint8_t>{7, 2, 9, 'M', 0x11}));
    ASSERT_TRUE(write_bytes(c, {0x55, 0xAA, 0xF2, 0x61}));
    EXPECT_EQ(read_bytes(c, 1), std::vector<uint8_t>{2});

    // The scan's found mark, the summary clearing it, the other LEDs.
    for (auto [reg, value] : {std::pair{0x42, 0xFF}, {0x44, 0xFF}, {0x44, 0xFF}, {0x42, 0x00}, {0x40, 0xFF}, {0x46, 0x0C}})
        EXPECT_TRUE(write_bytes(c, {static_cast<uint8_t>(reg), static_cast<uint8_t>(value)}));
    EXPECT_EQ(read_register(c, 0x44), 0xFF);
    // Identification and status registers are not the bus's to write, and an
    // LED write with a stray third byte is no register write either.
    for (uint8_t reg : {0x63, 0x60, 0x30, 0x41}) {
        EXPECT_FALSE(write_bytes(c, {reg, 0x55})) << int(reg);
        EXPECT_NE(c.reg(reg), 0x55);
    }
    EXPECT_FALSE(write_bytes(c, {0x44, 0x00, 0x00}));
    EXPECT_EQ(c.reg(sim::Controller::kFail), 0xFF);
    auto trace = bench.trace_lines();
    ASSERT_EQ(trace.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 6),
              (std::vector<std::string>{"led bmc0 bus 0x01 0xC2 locate FF", "led bmc0 bus 0x01 0xC2 fail FF",
                                        "led bmc0 bus 0x01 0xC2 locate 00", "led bmc0 bus 0x01 0xC2 activity FF",
                                        "led bmc0 bus 0x01 0xC2 rebuild 0C",
                                        "register bmc0 bus 0x01 0xC2 refused 63 55: not a writable register"}));
}

TEST(DeviceEntries, MalformedOnesNameTheField)
{
    const std::string qb = R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, )";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"type": "toaster", "address": "0xC0"})", "dev.type"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"9": []}})", "dev.channels.9"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"1": [{"type": "qb40xx", "address": "0xC0",
             "chip_id": 77}, {"type": "eeprom", "address": "0xC0"}]}})", "dev.channels.1[1].address"},
        {R"({"type": "mux", "address": "0xE6", "channels": {"2": [{"type": "qb40xx", "address": "0xC0"}]}})",
         "dev.channels.2[0].chip_id"},
        {R"({"type": "eeprom", "address": "0xA0", "size": 257})", "dev.size"},
        {R"({"type": "eeprom", "address": "0xA0", "size": 2, "contents": [1, 2, 3]})", "dev.contents"},
        {R"({"type": "bytes", "address": "0x40"})", "dev.contents"},
        {R"({"type": "qb40xx", "address": "0xC0", "chip_id": "MM"})", "dev.chip_id"},
        {R"({"type": "qb40xx", "address": "0xC1", "chip_id": 77})", "dev.address"},
        {qb + R"("firmware": [1, 2]})", "dev.firmware"},
        {qb + R"("registers": {"0x61": 3}})", "dev.registers.0x61"},
        {qb + R"("colour": 3})", "dev.colour"},
        {qb + R"("faults": {"refuse": [{"command": "burn"}]}})", "dev.faults.refuse[0].command"},
        {qb + R"("faults": {"refuse": [{"command": "erase", "at": 5}]}})", "dev.faults.refuse[0].at"},
        {qb + R"("faults": {"status": "55 AA E2"}})", "dev.faults.status"},
        {qb + R"("faults": {"checksum_fails": "middle"}})", "dev.faults.checksum_fails"},
        {qb + R"("faults": {"stop_ms": 5}})", "dev.faults.stop_ms"},
    };
    for (const auto& [json, field] : cases) {
        DeviceBench bench;
        try {
            bench.make(json);
            ADD_FAILURE() << "accepted " << json;
        } catch (const sim::MachineFileError& e) {
            EXPECT_EQ(e.field(), field) << json << ": " << e.what();
        }
    }
}
