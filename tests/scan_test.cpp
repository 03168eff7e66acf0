// The device scan: probe order over buses, channels and addresses, the mux
// probe, refused buses, model identification, the found mark, the table
// limits and the QB4083C branches of recording.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logfile/logfile.h"
#include "main/qb40tool.h"
#include "report_helpers.h"
#include "sim_run.h"

using qbtest::count_lines;
using qbtest::line_after;
using qbtest::lines;
using qbtest::lines_starting;
using qbtest::machine_file;
using qbtest::missing_in_order;
using qbtest::SimDir;

namespace {

std::string probe(int bus, int addr)
{
    char text[80];
    std::snprintf(text, sizeof text, "Scanning for device at BusID: 0x%02x Address: 0x%02x", bus, addr);
    return text;
}

const std::string kFoundBefore = "(Device Found, but skipping it, since it was found before)";

// What a scan of bus 3 (a mux with controllers on channels 2 to 4) and bus 4
// (no such bus) over the four addresses leaves in the log.
void expect_channel_scan(const std::vector<std::string>& log)
{
    std::vector<std::string> expected;
    for (int addr : {0xC0, 0xC2, 0xC4, 0xC6})
        for (int channel : {2, 3, 4})
            expected.push_back(probe(channel << 4 | 0x03, addr));
    expected.push_back(probe(0x04, 0xC0));  // bus 4 has no mux: back to the plain bus byte
    EXPECT_EQ(lines_starting(log, "Scanning for device at BusID:"), expected);

    EXPECT_EQ(lines_starting(log, "Found QB40"),
              (std::vector<std::string>{
                  "Found QB4076 at I2C address 0xc0 on Bus 0x23", "Found QB4076 at I2C address 0xc0 on Bus 0x23",
                  "Found QB4080 at I2C address 0xc0 on Bus 0x33", "Found QB4080 at I2C address 0xc0 on Bus 0x33",
                  "Found QB4084 at I2C address 0xc0 on Bus 0x43", "Found QB4084 at I2C address 0xc0 on Bus 0x43",
                  "Found QB4077 at I2C address 0xc2 on Bus 0x23", "Found QB4077 at I2C address 0xc2 on Bus 0x23"}));
    EXPECT_EQ(count_lines(log, "Stored ChipInfo: MUXaddress: 0xe6"), 4u);
    EXPECT_EQ(missing_in_order(log, {"| BusID:0x03  | ", "Scanning Channel: 0x02:", "| BusID:0x04  | ",
                                     "0: BusID:0x23 ChipID:76 FW:[0x02:0x00] ADR:0xc0 Config:0x00",
                                     "3: BusID:0x23 ChipID:77 FW:[0x02:0x02] ADR:0xc2 Config:0x00"}),
              "");
}

}  // namespace

TEST(Scan, EachAddressIsProbedOnEveryChannelAndTheNextBusStartsPlain)
{
    // The BMC switches the mux from the channel nibble, or the tool does (-ms).
    for (bool tool_switches : {false, true}) {
        SCOPED_TRACE(tool_switches ? "-ms" : "BMC switches");
        std::vector<std::string> args = {"-b34", "-mae6", "-i"};
        if (tool_switches)
            args.push_back("-ms");
        SimDir dir;
        dir.machine(machine_file("mux_channels.json"));
        auto r = dir.run(args);
        ASSERT_EQ(r.status, 0) << r.console;
        expect_channel_scan(lines(dir.log()));
    }
}

TEST(Scan, MuxProbeTellsAMuxFromNoMuxFromARefusedBus)
{
    struct Case {
        const char* bus_range;
        const char* outcome;
        const char* then;
    };
    const Case cases[] = {
        {"-b11", "Mux Not Detected", "Scanning for device at BusID: 0x01 Address: 0xc0"},
        {"-b22", "MUX reading requested on Illegal BusID...", "Illegal BusID...skipping to next bus..."},
        {"-b33", "   Mux Detected at address: 0xe6 Read:0x00", "Scanning Channel: 0x02:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus_range);
        SimDir dir;
        dir.machine(machine_file("mux_channels.json"));
        auto r = dir.run({c.bus_range, "-mae6"});
        EXPECT_EQ(r.status, 0);
        auto console = lines(r.console);
        EXPECT_EQ(line_after(console, "Checking for Mux at address: 0xe6 "), c.outcome);
        EXPECT_EQ(missing_in_order(console, {c.outcome, c.then}), "");
    }
}

TEST(Scan, ARefusedBusIsLeftAtOnceWhileANakOnlyMeansNoDevice)
{
    SimDir dir;  // the default machine has buses 1 to 3
    auto r = dir.run({"-b35", "-i"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);
    EXPECT_EQ(lines_starting(console, "Scanning for device at BusID:"),
              (std::vector<std::string>{probe(0x03, 0xC0), probe(0x03, 0xC2), probe(0x03, 0xC4), probe(0x03, 0xC6),
                                        probe(0x04, 0xC0), probe(0x05, 0xC0)}));
    EXPECT_EQ(line_after(console, probe(0x03, 0xC2)), "(no device at 0xc2)");
    EXPECT_EQ(line_after(console, probe(0x04, 0xC0)), "Illegal BusID...skipping to next bus...");
    EXPECT_EQ(line_after(console, probe(0x05, 0xC0)), "Illegal BusID...skipping to next bus...");
    EXPECT_EQ(missing_in_order(console, {"Illegal BusID...skipping to next bus...", "--------------",
                                         "| BusID:0x05  | "}),
              "");
}

TEST(Scan, ChipIdDecidesModelInvalidDeviceOrNothing)
{
    SimDir dir;
    dir.machine(machine_file("chip_ids.json"));
    auto r = dir.run({"-b1b"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);

    struct Case {
        int bus;
        const char* first;
        const char* second;  // the line after `first`, where it matters
    };
    const Case cases[] = {
        {0x01, "Valid device found at address 0xc0", "Found QB4073S at I2C address 0xc0 on Bus 0x01"},
        {0x02, "Valid device found at address 0xc0", "Found QB4076 at I2C address 0xc0 on Bus 0x02"},
        {0x03, "Valid device found at address 0xc0", "Found QB4077 at I2C address 0xc0 on Bus 0x03"},
        {0x04, "Valid device found at address 0xc0", "Found QB4080 at I2C address 0xc0 on Bus 0x04"},
        {0x05, "Valid device found at address 0xc0", "Found QB4082 at I2C address 0xc0 on Bus 0x05"},
        {0x06, "Valid device found at address 0xc0", "Found QB4084 at I2C address 0xc0 on Bus 0x06"},
        {0x07, "Chip Found at address 0xc0 does not appear to be a valid QB40xx device", "--------------"},
        {0x08, "Chip Found at address 0xc0 does not appear to be a valid QB40xx device", "--------------"},
        {0x09, "(no device at 0xc0)", "--------------"},
        {0x0A, "(no device at 0xc0)", "--------------"},
        {0x0B, kFoundBefore.c_str(), "--------------------------------------------------"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus);
        EXPECT_EQ(qbtest::lines_after(console, probe(c.bus, 0xC0), 2),
                  (std::vector<std::string>{c.first, c.second}));
    }
    EXPECT_EQ(qbtest::device_headings(console),
              (std::vector<std::string>{"QB4073 Device:", "QB4076 Device:", "QB4077 Device:", "QB4080 Device:",
                                        "QB4082 Device:", "QB4084 Device:"}));
    EXPECT_EQ(missing_in_order(console, {"0: BusID:0x01 ChipID:73 FW:[0x02:0x03] ADR:0xc0 Config:0x01",
                                         "5: BusID:0x06 ChipID:84 FW:[0x02:0x03] ADR:0xc0 Config:0x06"}),
              "");
    // The log holds the found line twice and the register dump.
    auto log = lines(dir.log());
    EXPECT_EQ(count_lines(log, "Found QB4073S at I2C address 0xc0 on Bus 0x01"), 2u);
    EXPECT_EQ(missing_in_order(log, {"Found QB4084 at I2C address 0xc0 on Bus 0x06", "Chip Information:",
                                     "FWID0 Reg 0x60:0x01 ", "FWID1 Reg 0x61:0x02 ", "FWID2 Reg 0x62:0x03 ",
                                     "RevID Reg 0x63:0x01 ", "\tAdditional Chip Info:",
                                     "\tConfiguration      (Reg 0x30):0x06", "\tLocate             (Reg 0x42):0x00",
                                     "\tSupported Drives   (Reg 0x34):0x00", "\tDrive (Reg 0x07): Byte: 0x00",
                                     "\tTemp Sensor Thresh  (Reg 0x58):0x00"}),
              "");
    // A controller marked from the start is never recorded, so its mark stays.
    auto board = qbtest::LedBoard(qbtest::trace_events(r.trace));
    EXPECT_EQ(board.get("bmc0 bus 0x0B 0xC0", "locate"), "");
    EXPECT_EQ(board.get("bmc0 bus 0x06 0xC0", "locate"), "00");
}

TEST(Scan, AControllerReachedASecondTimeIsSkipped)
{
    // Channel 0 leaves the mux as the last channel set it, so the controller
    // at 0xC2 of channel 2 answers on the plain bus byte first, and again
    // when channel 2 is selected.
    SimDir dir;
    dir.machine(machine_file("mux_channels.json"));
    auto r = dir.run({"-b33", "-sc02", "-i"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);
    EXPECT_EQ(line_after(console, probe(0x23, 0xC0)), "Valid device found at address 0xc0");
    EXPECT_EQ(line_after(console, probe(0x03, 0xC2)), "Valid device found at address 0xc2");
    EXPECT_EQ(line_after(console, probe(0x23, 0xC2)), kFoundBefore);
    EXPECT_EQ(qbtest::device_headings(console), (std::vector<std::string>{"QB4076 Device:", "QB4077 Device:"}));
    EXPECT_EQ(missing_in_order(console, {"1: BusID:0x03 ChipID:77 FW:[0x02:0x02] ADR:0xc2 Config:0x00"}), "");
}

TEST(Scan, TheSeventeenthControllerIsMarkedButNotStored)
{
    SimDir dir;
    dir.machine(machine_file("seventeen_controllers.json"));
    auto r = dir.run({"-b15", "-i"});
    ASSERT_EQ(r.status, 0);
    auto console = lines(r.console);
    EXPECT_EQ(count_lines(console, "Valid device found at address 0xc0"), 5u);
    EXPECT_EQ(lines_starting(console, "MAX CHIPS PER SYSTEM OF"),
              std::vector<std::string>{"MAX CHIPS PER SYSTEM OF 16 REACHED!!"});
    EXPECT_EQ(line_after(console, "Found QB4082 at I2C address 0xc0 on Bus 0x05"),
              "MAX CHIPS PER SYSTEM OF 16 REACHED!!");
    EXPECT_EQ(qbtest::device_headings(console).size(), 16u);
    EXPECT_EQ(missing_in_order(console, {"15: BusID:0x04 ChipID:80 FW:[0x0f:0x00] ADR:0xc6 Config:0x00"}), "");
    EXPECT_EQ(lines_starting(console, "16: "), std::vector<std::string>{});
    // The summary clears the mark of the 16 it lists; the 17th keeps its own.
    auto board = qbtest::LedBoard(qbtest::trace_events(r.trace));
    EXPECT_EQ(board.get("bmc0 bus 0x05 0xC0", "locate"), "FF");
    EXPECT_EQ(board.get("bmc0 bus 0x05 0xC0", "fail"), "FF");
    EXPECT_EQ(board.lit("locate"), std::set<std::string>{"bmc0 bus 0x05 0xC0"});
}

TEST(Scan, AnEmptyBusRangeProbesNothingAndRecordsNothing)
{
    qbtest::ReportBench bench(machine_file("chip_ids.json"));
    ScanBusID_First = 3;
    ScanBusID_Last = 2;
    EXPECT_EQ(ScanForQBdevices(), 0);
    EXPECT_EQ(TotalChipCounter, 0);
    EXPECT_EQ(lines_starting(bench.log_lines(), "Scanning for device"), std::vector<std::string>{});
    EXPECT_EQ(ChipsFound, 0);
}

TEST(Scan, TheRunWideTableStopsAtSixteenRecords)
{
    // Six controllers per scan; the summary between scans clears the marks.
    qbtest::ReportBench bench(machine_file("chip_ids.json"));
    ScanBusID_Last = 0x0B;
    const INT8U expected_counts[] = {6, 12, 16, 16};
    for (INT8U expected : expected_counts) {
        EXPECT_EQ(ScanForQBdevices(), 1);
        EXPECT_EQ(ChipsFound, 6);
        EXPECT_EQ(TotalChipCounter, expected);
        DisplaySummary();
    }
    // Records 12 to 15 are the first four of the third scan.
    for (int i = 12; i < MAX_CHIPS; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(TotalChipInfo[i].busID, ChipInfo[i - 12].busID);
        EXPECT_EQ(TotalChipInfo[i].ChipID, ChipInfo[i - 12].ChipID);
    }
}

TEST(Scan, AQB4083CIsRecordedWithItsOwnVersionRegisters)
{
    qbtest::ReportBench bench(
        R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
              {"type": "qb40xx", "address": "0xC2", "chip_id": 84, "firmware": [7, 8, 9], "revision": 4}]}}}]})");
    FoundQB4083C = 1;
    RecordQBdevice(0x01, 0xC2, 84, "QB4084", 0);
    ASSERT_EQ(ChipsFound, 1);
    EXPECT_EQ(ChipInfo[0].FW_ID1, 8);
    EXPECT_EQ(ChipInfo[0].ChipRev, 4);
    // The QB4083C record holds the flag as its chip ID and the version
    // registers as the command form reads them.
    EXPECT_EQ(QB4083CChipInfo[0].ChipID, 1);
    EXPECT_EQ(QB4083CChipInfo[0].FW_ID0, 7);
    EXPECT_EQ(QB4083CChipInfo[0].FW_ID2, 9);
    EXPECT_EQ(QB4083CChipInfo[0].ChipRev, 4);
    size_t command_form = 0;
    for (const std::string& e : bench.events())
        command_form += e.ends_with(": 18 52 01 C2 00 55 AA F2 60") || e.ends_with(": 18 52 01 C2 00 55 AA F2 64");
    EXPECT_EQ(command_form, 2u);
    EXPECT_EQ(missing_in_order(bench.log_lines(),
                               {"Found QB4084 at I2C address 0xc2 on Bus 0x01",
                                "Found QB4083C at I2C address 0xc2 on Bus 0x01", "Chip Information:",
                                "FWID1 Reg 0x61:0x08 ", "QB4083C Chip Information:", "FWID0 Reg 0x60:0x07 ",
                                "RevID Reg 0x63:0x04 "}),
              "");

    DisplaySummary();
    EXPECT_EQ(missing_in_order(bench.log_lines(), {"QB4084 Device:",
                                                   "0: BusID:0x01 ChipID:84 FW:[0x08:0x09] ADR:0xc2 Config:0x00",
                                                   "QB4083C Device Summary:",
                                                   "0: BusID:0x01 ChipID:1C FW:[0x08:0x09] ADR:0xc2"}),
              "");
}
