// SPDX-License-Identifier: MIT
// The controller model's register side beyond what the scan and the LED
// commands read back through the tool: LED changes traced once, registers
// refused for writing; and the machine-file device entries the models
// refuse, naming the field.
#include <gtest/gtest.h>

#include "sim/devices/controller.h"
#include "device_bench.h"

using namespace qbtest;

TEST(ControllerRegisters, LedWritesAreTracedOnChangeAndOtherRegistersRefuse)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "qb40xx", "address": "0xC2", "chip_id": "M", "registers": {"0x30": 5}})");
    auto& c = dynamic_cast<sim::Controller&>(*placed.device);
    for (auto [reg, value] : {std::pair{0x42, 0xFF}, {0x44, 0xFF}, {0x44, 0xFF}, {0x42, 0x00}, {0x46, 0x0C}})
        EXPECT_TRUE(write_bytes(c, {static_cast<uint8_t>(reg), static_cast<uint8_t>(value)}));
    EXPECT_EQ(read_register(c, 0x44), 0xFF);
    // Identification and status registers are not the bus's to write, and an
    // LED write with a stray third byte is no register write either.
    for (uint8_t reg : {0x63, 0x60, 0x30, 0x41})
        EXPECT_FALSE(write_bytes(c, {reg, 0x55})) << int(reg);
    EXPECT_FALSE(write_bytes(c, {0x44, 0x00, 0x00}));
    for (auto [reg, value] : {std::pair{0x63, 77}, {0x60, 1}, {0x30, 5}, {0x41, 0}, {0x44, 0xFF}})
        EXPECT_EQ(read_register(c, static_cast<uint8_t>(reg)), value) << reg;
    auto trace = bench.trace_lines();
    ASSERT_EQ(trace.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 5),
              (std::vector<std::string>{"led bmc0 bus 0x01 0xC2 locate FF", "led bmc0 bus 0x01 0xC2 fail FF",
                                        "led bmc0 bus 0x01 0xC2 locate 00", "led bmc0 bus 0x01 0xC2 rebuild 0C",
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
        {R"({"type": "eeprom", "address": "0xA0", "size": 2, "contents": [1, 2, 3]})", "dev.contents"},
        {R"({"type": "eeprom", "address": "0xA0", "size": 257})", "dev.size"},
        {R"({"type": "qb40xx", "address": "0xC1", "chip_id": 77})", "dev.address"},
        {qb + R"("firmware": [1, 2]})", "dev.firmware"},
        {qb + R"("registers": {"0x61": 3}})", "dev.registers.0x61"},
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
