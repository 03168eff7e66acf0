// SPDX-License-Identifier: MIT
// The VPD dump: how many chunks are read for a length, the raw line, the
// interpreted fields, what a missing EEPROM leaves, and that the dump runs
// at every probe position.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim_run.h"

using namespace qbtest;

namespace {

// The raw dump line of the first `count` bytes of the EEPROM on bus 1 of
// vpd_eeproms.json: its contents, then the 0xFF an EEPROM reads past them.
std::string raw_line(size_t count)
{
    auto machine = nlohmann::json::parse(machine_file("vpd_eeproms.json"));
    std::string line = " 00:  " + machine["bmcs"][0]["buses"]["0x01"]["devices"][0]["contents"].get<std::string>();
    for (char& c : line)
        c = static_cast<char>(std::tolower(c));
    while (line.size() < 5 + 3 * count)
        line += " ff";
    return line.substr(0, 5 + 3 * count);
}

}  // namespace

TEST(Vpd, TheLengthDecidesTheChunksAndAMissingEepromIsNotDumped)
{
    struct Case {
        std::vector<std::string> args;
        const char* announce;
        int chunks;
        size_t raw_bytes;  // 0: no dump
    };
    const Case cases[] = {
        {{"-vpda000", "-b11"}, "Reading 0 bytes of VPD at address: 0xa0 BusID: 0x01", 0, 0},
        {{"-vpd", "-b11"}, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x01", 6, 82},
        {{"-vpda0ff", "-b11"}, "Reading 255 bytes of VPD at address: 0xa0 BusID: 0x01", 16, 255},
        {{"-vpd", "-b33"}, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x03", 1, 0},  // no EEPROM there
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announce);
        SimDir dir;
        dir.machine(machine_file("vpd_eeproms.json"));
        auto r = dir.run(c.args);
        ASSERT_EQ(r.status, 0) << r.console;
        auto log = lines(dir.log());
        std::vector<std::string> offsets;
        for (int k = 0; k < c.chunks; ++k)
            offsets.push_back("Reading VPD at offset of " + std::to_string(16 * k) + " ");
        EXPECT_EQ(lines_starting(log, "Reading VPD at offset of "), offsets);
        EXPECT_EQ(lines_starting(log, "Writing VPD offset of ").size(), offsets.size());
        bool missing = c.chunks > 0 && c.raw_bytes == 0;
        EXPECT_EQ(count_lines(log, "(no response)"), missing ? 1u : 0u);
        EXPECT_EQ(lines_after(lines(r.console), "VPD Raw Data Dump:", 1),
                  c.raw_bytes ? std::vector<std::string>{raw_line(c.raw_bytes)} : std::vector<std::string>{});
        EXPECT_EQ(count_lines(log, "VPD Interpreted Data Dump:"), c.raw_bytes ? 1u : 0u);
        // The controller is probed after the dump in any case.
        EXPECT_EQ(missing_in_order(log, {c.announce, "Valid device found at address 0xc0"}), "");
    }
}

TEST(Vpd, FieldsAreInterpretedAtEveryProbePosition)
{
    SimDir dir;
    dir.machine(machine_file("vpd_eeproms.json"));
    auto r = dir.run({"-vpd", "-b12", "-i"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);
    std::vector<std::string> announced(4, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x01");
    announced.insert(announced.end(), 4, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x02");
    EXPECT_EQ(lines_starting(console, "Reading 82 bytes of VPD"), announced);
    EXPECT_EQ(count_lines(console, "VPD Interpreted Data Dump:"), 8u);
    // Bus 1: full-width texts without a terminating zero. Bus 2: texts cut
    // short by zero bytes, and a length whose second byte is not shown.
    EXPECT_EQ(missing_in_order(console, {" [00] Overall Length of Valid VPD data: [0052]",
                                         " [0e] Part Number of Device           : [BP4077SAS8X1]",
                                         " [1a] FRU Number of Device            : [FRU00123456A]",
                                         " [32] Device Manufacturer ID          : [QBMF]",
                                         " [36] Device Slot Number              : [01]", announced[4],
                                         " [00] Overall Length of Valid VPD data: [005a]",
                                         " [0e] Part Number of Device           : [BP40]",
                                         " [2c] Device Prefix Serial Number     : [PX]",
                                         " [36] Device Slot Number              : [02]"}),
              "");
}
