// SPDX-License-Identifier: MIT
// The VPD EEPROM beyond what the dump reads through the tool: wrap at a
// smaller size, and data writes.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include "device_bench.h"
#include "sim/devices/eeprom.h"

using namespace qbtest;

TEST(Eeprom, WrapsAtItsSizeAndStoresDataFromThePointer)
{
    // Pointer, then 4 bytes read from it; contents 0, 1, 2, ... up to the size.
    const std::tuple<size_t, uint8_t, std::vector<uint8_t>> cases[] = {
        {128, 0x81, {0x01, 0x02, 0x03, 0x04}},  // the address bits above the size are ignored
        {3, 1, {0x01, 0x02, 0x00, 0x01}},
    };
    for (const auto& [size, pointer, expected] : cases) {
        std::vector<uint8_t> contents(size);
        std::iota(contents.begin(), contents.end(), 0);
        sim::Eeprom e(size, contents);
        ASSERT_TRUE(write_bytes(e, {pointer}));
        EXPECT_EQ(read_bytes(e, 4), expected) << "size " << size;
    }
    sim::Eeprom e(8, std::vector<uint8_t>{0, 1, 2, 3});
    ASSERT_TRUE(write_bytes(e, {6, 0xA6, 0xA7, 0xA0}));
    EXPECT_EQ(e.memory(), (std::vector<uint8_t>{0xA0, 1, 2, 3, 0xFF, 0xFF, 0xA6, 0xA7}));
    EXPECT_EQ(read_bytes(e, 2), (std::vector<uint8_t>{1, 2})) << "a read goes on where the write stopped";
}
