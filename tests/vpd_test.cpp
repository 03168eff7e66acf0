// The VPD dump: how many chunks are read for a length, the raw line, the
// interpreted fields, and what a missing EEPROM leaves.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "report_helpers.h"
#include "sim_run.h"

using qbtest::count_lines;
using qbtest::lines;
using qbtest::lines_after;
using qbtest::lines_starting;
using qbtest::machine_file;
using qbtest::missing_in_order;
using qbtest::SimDir;

namespace {

// The contents of the EEPROM on `bus` in vpd_eeproms.json, padded with the
// 0xFF an EEPROM reads past them, as the raw dump prints `count` of them.
std::string raw_line(const std::string& bus, size_t count)
{
    auto machine = nlohmann::json::parse(machine_file("vpd_eeproms.json"));
    std::string contents;
    for (const auto& d : machine["bmcs"][0]["buses"][bus]["devices"])
        if (d["type"] == "eeprom")
            contents = d["contents"];
    std::istringstream in(contents);
    std::vector<unsigned> bytes;
    for (unsigned b; in >> std::hex >> b;)
        bytes.push_back(b);
    bytes.resize(256, 0xFF);
    std::string line = " 00: ";
    char hex[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        line += hex;
    }
    return line;
}

std::vector<std::string> offsets_read(const std::vector<std::string>& log)
{
    return lines_starting(log, "Reading VPD at offset of ");
}

std::vector<std::string> chunk_offsets(int chunks)
{
    std::vector<std::string> out;
    for (int k = 0; k < chunks; ++k)
        out.push_back("Reading VPD at offset of " + std::to_string(16 * k) + " ");
    return out;
}

}  // namespace

TEST(Vpd, TheLengthDecidesTheChunksAndTheRawLine)
{
    struct Case {
        const char* option;
        const char* announce;
        int chunks;
        size_t raw_bytes;  // 0: no dump
    };
    const Case cases[] = {
        {"-vpda000", "Reading 0 bytes of VPD at address: 0xa0 BusID: 0x01", 0, 0},
        {"-vpd", "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x01", 6, 82},
        {"-vpda010", "Reading 16 bytes of VPD at address: 0xa0 BusID: 0x01", 1, 16},
        {"-vpda0ff", "Reading 255 bytes of VPD at address: 0xa0 BusID: 0x01", 16, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        SimDir dir;
        dir.machine(machine_file("vpd_eeproms.json"));
        auto r = dir.run({c.option, "-b11"});
        ASSERT_EQ(r.status, 0) << r.console;
        auto log = lines(dir.log());
        EXPECT_EQ(lines_starting(log, "Reading ").at(0), c.announce);
        EXPECT_EQ(offsets_read(log), chunk_offsets(c.chunks));
        EXPECT_EQ(lines_starting(log, "Writing VPD offset of ").size(), static_cast<size_t>(c.chunks));
        EXPECT_EQ(count_lines(log, "(no response)"), 0u);
        if (c.raw_bytes == 0) {
            EXPECT_EQ(count_lines(log, "VPD Raw Data Dump:"), 0u);
            EXPECT_EQ(count_lines(log, "VPD Interpreted Data Dump:"), 0u);
        } else {
            auto console = lines(r.console);
            EXPECT_EQ(lines_after(console, "VPD Raw Data Dump:", 1),
                      std::vector<std::string>{raw_line("0x01", c.raw_bytes)});
        }
        // The controller is probed after the dump in any case.
        EXPECT_EQ(missing_in_order(log, {c.announce, "Found QB4077 at I2C address 0xc0 on Bus 0x01"}), "");
    }
}

TEST(Vpd, FieldsAreInterpretedFromTheirOffsets)
{
    struct Case {
        const char* bus;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"-b11",
         {" [00] Overall Length of Valid VPD data: [0052]", " [02] Data Format                     : [0001]",
          " [04] Block Length                    : [0050]", " [06] Block ID                        : [01]",
          " [07] Length of VPD Sub-block         : [4a]", " [08] VPD ID Value                    : [0010]",
          " [0a] Reserved for POS ID extension   : [00]", " [0b] Device Revision Level           : [03]",
          " [0c] POS ID value                    : [0020]", " [0e] Part Number of Device           : [BP4077SAS8X1]",
          " [1a] FRU Number of Device            : [FRU00123456A]",
          " [26] Device Serial Number            : [A12345]",
          " [2c] Device Prefix Serial Number     : [PX0001]",
          " [32] Device Manufacturer ID          : [QBMF]", " [36] Device Slot Number              : [01]"}},
        // Cut short by zero bytes; the length's second byte is not shown.
        {"-b22",
         {" [00] Overall Length of Valid VPD data: [005a]", " [02] Data Format                     : [0001]",
          " [04] Block Length                    : [0050]", " [06] Block ID                        : [01]",
          " [07] Length of VPD Sub-block         : [4a]", " [08] VPD ID Value                    : [0010]",
          " [0a] Reserved for POS ID extension   : [00]", " [0b] Device Revision Level           : [03]",
          " [0c] POS ID value                    : [0020]", " [0e] Part Number of Device           : [BP40]",
          " [1a] FRU Number of Device            : [FRU7]", " [26] Device Serial Number            : [B77]",
          " [2c] Device Prefix Serial Number     : [PX]", " [32] Device Manufacturer ID          : [QB]",
          " [36] Device Slot Number              : [02]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus);
        SimDir dir;
        dir.machine(machine_file("vpd_eeproms.json"));
        auto r = dir.run({"-vpd", c.bus});
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(lines_after(lines(r.console), "VPD Interpreted Data Dump:", 15), c.fields);
        EXPECT_EQ(lines_after(lines(dir.log()), "VPD Interpreted Data Dump:", 15), c.fields);
    }
}

TEST(Vpd, AShortCountStillInterpretsTheWholeLayoutWithZeros)
{
    SimDir dir;
    dir.machine(machine_file("vpd_eeproms.json"));
    auto r = dir.run({"-vpda010", "-b11"});
    ASSERT_EQ(r.status, 0);
    auto fields = lines_after(lines(r.console), "VPD Interpreted Data Dump:", 15);
    ASSERT_EQ(fields.size(), 15u);
    EXPECT_EQ(fields[9], " [0e] Part Number of Device           : [BP]");  // 0x0E and 0x0F were read
    EXPECT_EQ(fields[10], " [1a] FRU Number of Device            : []");
    EXPECT_EQ(fields[14], " [36] Device Slot Number              : [00]");
}

TEST(Vpd, AMissingEepromAnswersNothingAndIsNotDumped)
{
    SimDir dir;
    dir.machine(machine_file("vpd_eeproms.json"));
    auto r = dir.run({"-vpd", "-b33"});
    ASSERT_EQ(r.status, 0);
    auto log = lines(dir.log());
    EXPECT_EQ(offsets_read(log), chunk_offsets(1));
    EXPECT_EQ(lines_starting(log, "Writing VPD offset of "), std::vector<std::string>{"Writing VPD offset of 0 "});
    EXPECT_EQ(lines_starting(log, "Read 82 bytes"), std::vector<std::string>{});
    EXPECT_EQ(missing_in_order(lines(r.console), {"Reading 82 bytes of VPD at address: 0xa0 BusID: 0x03",
                                                  "(no response)",
                                                  "Scanning for device at BusID: 0x03 Address: 0xc0",
                                                  "Found QB4084 at I2C address 0xc0 on Bus 0x03"}),
              "");
    EXPECT_EQ(count_lines(log, "VPD Raw Data Dump:"), 0u);
}

TEST(Vpd, TheDumpRunsAtEveryProbePosition)
{
    SimDir dir;
    dir.machine(machine_file("vpd_eeproms.json"));
    auto r = dir.run({"-vpd", "-b12", "-i"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);
    std::vector<std::string> expected(4, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x01");
    expected.insert(expected.end(), 4, "Reading 82 bytes of VPD at address: 0xa0 BusID: 0x02");
    EXPECT_EQ(lines_starting(console, "Reading 82 bytes of VPD"), expected);
    EXPECT_EQ(count_lines(console, "VPD Raw Data Dump:"), 8u);
}
