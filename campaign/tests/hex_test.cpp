// SPDX-License-Identifier: MIT
// Hex text: the spaced reader decides which trace lines the flash rules see,
// and the compact pair carries every scenario file through scenario.json.
#include <gtest/gtest.h>

#include "hex.h"

namespace campaign {
namespace {

TEST(Hex, ReadsSpacedBytesUpToTheFirstWordThatIsNoByte)
{
    struct Case {
        const char* text;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"55 AA E2 01 00 00", {0x55, 0xAA, 0xE2, 0x01, 0x00, 0x00}},
        {"21 22 23, busy 500 ms", {0x21, 0x22, 0x23}},  // a combined effect follows
        {"0a ff", {0x0A, 0xFF}},
        {"01 02 xyz 03", {0x01, 0x02}},
        {"01 123 02", {0x01}},
        {"01  02", {0x01}},  // an empty word between two blanks
        {"1 02", {}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bytes_from_spaced_hex(c.text), c.bytes) << c.text;
}

TEST(Hex, WritesSpacedBytesInUpperCase)
{
    EXPECT_EQ(spaced_hex({0x0A, 0xFF, 0x00}), "0A FF 00");
    EXPECT_EQ(spaced_hex({}), "");
}

TEST(Hex, CompactTextGivesBackEveryByte)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(compact_hex(std::string("\x5a\x00\xff", 3)), "5a00ff");
    EXPECT_EQ(bytes_from_compact_hex(compact_hex(all)), all);
}

}  // namespace
}  // namespace campaign
