// The VPD EEPROM (pointer write, sequential read, wrap) and the fixed-bytes
// device, driven the way the VPD dump and the summary drive them.
#include <gtest/gtest.h>

#include "device_bench.h"
#include "eeprom.h"

using qbtest::DeviceBench;
using qbtest::read_bytes;
using qbtest::write_bytes;

namespace {

std::vector<uint8_t> counting(size_t n, uint8_t from = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(from + i);
    return v;
}

}  // namespace

TEST(Eeprom, ChunkedReadsAsTheVpdDumpMakesThem)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "eeprom", "address": "0xA0",
        "contents": "5A 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12"})");
    EXPECT_EQ(placed.addr7, 0x50);
    auto& e = *placed.device;
    // Offsets 0 and 16, 16 bytes each: contents, then the erased 0xFF.
    ASSERT_TRUE(write_bytes(e, {0}));
    auto first = read_bytes(e, 16);
    ASSERT_EQ(first.size(), 16u);
    EXPECT_EQ(first[0], 0x5A);
    EXPECT_EQ(first[15], 0x0E);
    ASSERT_TRUE(write_bytes(e, {16}));
    auto second = read_bytes(e, 16);
    EXPECT_EQ(std::vector<uint8_t>(second.begin(), second.begin() + 5),
              (std::vector<uint8_t>{0x0F, 0x10, 0x11, 0x12, 0xFF}));
    // A read without a pointer write goes on where the last one stopped.
    ASSERT_TRUE(write_bytes(e, {2}));
    EXPECT_EQ(read_bytes(e, 2), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(read_bytes(e, 2), (std::vector<uint8_t>{0x03, 0x04}));
}

TEST(Eeprom, WrapsAtItsSize)
{
    struct Case {
        size_t size;
        uint8_t pointer;
        std::vector<uint8_t> expected;  // 4 bytes read from the pointer
    };
    const Case cases[] = {
        {256, 0xFE, {0xFE, 0xFF, 0x00, 0x01}},
        {128, 0x7E, {0x7E, 0x7F, 0x00, 0x01}},
        {128, 0x81, {0x01, 0x02, 0x03, 0x04}},  // the address bits above the size are ignored
        {3, 1, {0x01, 0x02, 0x00, 0x01}},
    };
    for (const Case& k : cases) {
        auto contents = counting(k.size);
        sim::Eeprom e(k.size, contents);
        ASSERT_TRUE(write_bytes(e, {k.pointer}));
        EXPECT_EQ(read_bytes(e, 4), k.expected) << "size " << k.size << " pointer " << int(k.pointer);
    }
}

TEST(Eeprom, DataWritesAreStoredFromThePointer)
{
    auto contents = counting(8);
    sim::Eeprom e(8, contents);
    ASSERT_TRUE(write_bytes(e, {6, 0xA6, 0xA7, 0xA0}));
    EXPECT_EQ(e.memory(), (std::vector<uint8_t>{0xA0, 1, 2, 3, 4, 5, 0xA6, 0xA7}));
    EXPECT_EQ(e.pointer(), 1);
}

TEST(FixedBytes, EveryReadStartsAtTheFirstByte)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "bytes", "address": "0x40",
        "contents": "51 42 34 30 37 37 2D 42 50 20 76 31 2E 30"})");
    EXPECT_EQ(placed.addr7, 0x20);
    auto& d = *placed.device;
    auto expected = std::vector<uint8_t>{0x51, 0x42, 0x34, 0x30, 0x37, 0x37, 0x2D,
                                         0x42, 0x50, 0x20, 0x76, 0x31, 0x2E, 0x30};
    EXPECT_EQ(read_bytes(d, 14), expected);
    EXPECT_TRUE(write_bytes(d, {0x05, 0x99}));  // acknowledged, no pointer
    EXPECT_EQ(read_bytes(d, 14), expected);
    auto longer = read_bytes(d, 16);
    EXPECT_EQ(longer[13], 0x30);
    EXPECT_EQ(longer[14], 0xFF);
    EXPECT_EQ(longer[15], 0xFF);
}

TEST(Eeprom, MalformedEntriesNameTheField)
{
    struct Case {
        const char* json;
        const char* field;
    };
    const Case cases[] = {
        {R"({"type": "eeprom", "address": "0xA0", "size": 0})", "dev.size"},
        {R"({"type": "eeprom", "address": "0xA0", "size": 257})", "dev.size"},
        {R"({"type": "eeprom", "address": "0xA0", "size": 2, "contents": [1, 2, 3]})", "dev.contents"},
        {R"({"type": "eeprom", "address": "0xA0", "contents": "12 3G"})", "dev.contents"},
        {R"({"type": "bytes", "address": "0x40"})", "dev.contents"},
        {R"({"type": "bytes", "address": "0x40", "contents": [], "size": 3})", "dev.size"},
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
