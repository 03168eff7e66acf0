// The VPD EEPROM beyond what the dump reads (wrap at a smaller size, data
// writes) and the fixed-bytes device read again from its first byte.
#include <gtest/gtest.h>

#include "device_bench.h"
#include "eeprom.h"

using namespace qbtest;

TEST(Eeprom, WrapsAtItsSizeAndStoresDataFromThePointer)
{
    struct Case {
        size_t size;
        uint8_t pointer;
        std::vector<uint8_t> expected;  // 4 bytes read from the pointer
    };
    const Case cases[] = {
        {256, 0xFE, {0xFE, 0xFF, 0x00, 0x01}},
        {128, 0x81, {0x01, 0x02, 0x03, 0x04}},  // the address bits above the size are ignored
        {3, 1, {0x01, 0x02, 0x00, 0x01}},
    };
    for (const Case& k : cases) {
        std::vector<uint8_t> contents(k.size);
        for (size_t i = 0; i < k.size; ++i)
            contents[i] = static_cast<uint8_t>(i);
        sim::Eeprom e(k.size, contents);
        ASSERT_TRUE(write_bytes(e, {k.pointer}));
        EXPECT_EQ(read_bytes(e, 4), k.expected) << "size " << k.size << " pointer " << int(k.pointer);
    }
    sim::Eeprom e(8, std::vector<uint8_t>{0, 1, 2, 3});
    ASSERT_TRUE(write_bytes(e, {6, 0xA6, 0xA7, 0xA0}));
    EXPECT_EQ(e.memory(), (std::vector<uint8_t>{0xA0, 1, 2, 3, 0xFF, 0xFF, 0xA6, 0xA7}));
    EXPECT_EQ(read_bytes(e, 2), (std::vector<uint8_t>{1, 2})) << "a read goes on where the write stopped";
}

TEST(FixedBytes, EveryReadStartsAtTheFirstByte)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "bytes", "address": "0x40", "contents": "51 42 34"})");
    EXPECT_EQ(placed.addr7, 0x20);
    EXPECT_EQ(read_bytes(*placed.device, 2), (std::vector<uint8_t>{0x51, 0x42}));
    EXPECT_TRUE(write_bytes(*placed.device, {0x01, 0x99}));  // acknowledged, no pointer
    EXPECT_EQ(read_bytes(*placed.device, 4), (std::vector<uint8_t>{0x51, 0x42, 0x34, 0xFF}));
}
