// SPDX-License-Identifier: MIT
// The device scan: probe order over buses, channels and addresses, the mux
// probe, refused buses, model identification, the found mark and the table
// limits.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim_run.h"

using namespace qbtest;

namespace {

std::string probe(int bus, int addr)
{
    char text[80];
    std::snprintf(text, sizeof text, "Scanning for device at BusID: 0x%02x Address: 0x%02x", bus, addr);
    return text;
}

const std::string kFoundBefore = "(Device Found, but skipping it, since it was found before)";

RunResult run_on(const std::string& machine, const std::vector<std::string>& args, SimDir& dir)
{
    dir.machine(machine);
    auto r = dir.run(args);
    EXPECT_EQ(r.status, 0) << r.console;
    return r;
}

}  // namespace

TEST(Scan, ChannelsVaryFastestAndEachMuxProbeOutcomeIsHandled)
{
    // Bus 1 has no mux, bus 2 and 4 are refused by the BMC, bus 3 has a mux
    // with controllers on channels 2 to 4, which the BMC switches from the
    // channel nibble, or the tool does (-ms).
    for (bool tool_switches : {false, true}) {
        SCOPED_TRACE(tool_switches ? "-ms" : "BMC switches");
        std::vector<std::string> args = {"-b14", "-mae6", "-i"};
        if (tool_switches)
            args.push_back("-ms");
        SimDir dir;
        auto console = lines(run_on(machine_file("mux_channels.json"), args, dir).console);
        std::vector<std::string> probes, outcomes;
        for (int addr : {0xC0, 0xC2, 0xC4, 0xC6})
            probes.push_back(probe(0x01, addr));
        probes.push_back(probe(0x02, 0xC0));
        for (int addr : {0xC0, 0xC2, 0xC4, 0xC6})
            for (int channel : {2, 3, 4})
                probes.push_back(probe(channel << 4 | 0x03, addr));
        probes.push_back(probe(0x04, 0xC0));  // back to the plain bus byte
        EXPECT_EQ(lines_starting(console, "Scanning for device at BusID:"), probes);
        for (size_t i = 0; i + 1 < console.size(); ++i)
            if (console[i] == "Checking for Mux at address: 0xe6 ")
                outcomes.push_back(console[i + 1]);
        EXPECT_EQ(outcomes, (std::vector<std::string>{"Mux Not Detected", "MUX reading requested on Illegal BusID...",
                                                      "   Mux Detected at address: 0xe6 Read:0x00",
                                                      "MUX reading requested on Illegal BusID..."}));
        EXPECT_EQ(line_after(console, probe(0x01, 0xC2)), "(no device at 0xc2)");
        EXPECT_EQ(line_after(console, probe(0x02, 0xC0)), "Illegal BusID...skipping to next bus...");
        EXPECT_EQ(line_after(console, probe(0x04, 0xC0)), "Illegal BusID...skipping to next bus...");
        EXPECT_EQ(count_lines(console, "Stored ChipInfo: MUXaddress: 0xe6"), 4u);
        EXPECT_EQ(missing_in_order(console, {"0: BusID:0x01 ChipID:73 FW:[0x00:0x00] ADR:0xc0 Config:0x00",
                                             "1: BusID:0x23 ChipID:76 FW:[0x02:0x00] ADR:0xc0 Config:0x00",
                                             "2: BusID:0x33 ChipID:80 FW:[0x03:0x00] ADR:0xc0 Config:0x00",
                                             "4: BusID:0x23 ChipID:77 FW:[0x02:0x02] ADR:0xc2 Config:0x00"}),
                  "");
    }
}

TEST(Scan, ChipIdDecidesModelInvalidDeviceOrNothing)
{
    SimDir dir;
    auto console = lines(run_on(machine_file("chip_ids.json"), {"-b1b"}, dir).console);
    const std::string valid = "Valid device found at address 0xc0", none = "(no device at 0xc0)",
                      invalid = "Chip Found at address 0xc0 does not appear to be a valid QB40xx device";
    // Buses 1 to 6: the six models; 7, 8: chip IDs 83 and 75; 9, 10: 0x00
    // and 0x80; 11: a controller marked from the start.
    const std::string after_probe[] = {valid, valid, valid, valid, valid, valid, invalid, invalid, none, none,
                                       kFoundBefore};
    for (int bus = 1; bus <= 11; ++bus)
        EXPECT_EQ(line_after(console, probe(bus, 0xC0)), after_probe[bus - 1]) << bus;
    EXPECT_EQ(count_lines(console, valid), 6u);
    std::vector<std::string> found;
    for (const char* model : {"QB4073S", "QB4076", "QB4077", "QB4080", "QB4082", "QB4084"})
        found.push_back("Found " + std::string(model) + " at I2C address 0xc0 on Bus 0x0" +
                        std::to_string(found.size() + 1));
    EXPECT_EQ(lines_starting(console, "Found QB40"), found);
    EXPECT_EQ(missing_in_order(console, {"0: BusID:0x01 ChipID:73 FW:[0x02:0x03] ADR:0xc0 Config:0x01",
                                         "2: BusID:0x03 ChipID:77 FW:[0x02:0x03] ADR:0xc0 Config:0x03",
                                         "       Adr 0x40 (no response)",
                                         "5: BusID:0x06 ChipID:84 FW:[0x02:0x03] ADR:0xc0 Config:0x06"}),
              "");
    // The log holds the found line twice and the register dump.
    auto log = lines(dir.log());
    EXPECT_EQ(count_lines(log, "Found QB4073S at I2C address 0xc0 on Bus 0x01"), 2u);
    EXPECT_EQ(missing_in_order(log, {"Found QB4084 at I2C address 0xc0 on Bus 0x06", "Chip Information:",
                                     "FWID0 Reg 0x60:0x01 ", "FWID2 Reg 0x62:0x03 ", "RevID Reg 0x63:0x01 ",
                                     "\tConfiguration      (Reg 0x30):0x06", "\tDrive (Reg 0x07): Byte: 0x00",
                                     "\tTemp Sensor Thresh  (Reg 0x58):0x00"}),
              "");
}

TEST(Scan, AControllerReachedASecondTimeIsSkipped)
{
    // Channel 0 leaves the mux as the last channel set it, so the controller
    // at 0xC2 of channel 2 answers on the plain bus byte first, and again
    // when channel 2 is selected.
    SimDir dir;
    auto console = lines(run_on(machine_file("mux_channels.json"), {"-b33", "-sc02", "-i"}, dir).console);
    EXPECT_EQ(line_after(console, probe(0x03, 0xC2)), "Valid device found at address 0xc2");
    EXPECT_EQ(line_after(console, probe(0x23, 0xC2)), kFoundBefore);
    EXPECT_EQ(lines_starting(console, "1: BusID:"),
              std::vector<std::string>{"1: BusID:0x03 ChipID:77 FW:[0x02:0x02] ADR:0xc2 Config:0x00"});
    EXPECT_EQ(lines_starting(console, "2: BusID:").size(), 0u);
}

TEST(Scan, TheSeventeenthControllerIsMarkedButNotStored)
{
    // Two BMCs with 17 controllers each: 16 records per scan, and the
    // run-wide table full after the first.
    auto machine = nlohmann::json::parse(machine_file("seventeen_controllers.json"));
    machine["bmcs"].push_back(machine["bmcs"][0]);
    machine["bmcs"][1]["node"] = "/dev/ipmi1";
    SimDir dir;
    auto r = run_on(machine.dump(), {"-b15", "-i"}, dir);
    auto console = lines(r.console);
    EXPECT_EQ(count_lines(console, "MAX CHIPS PER SYSTEM OF 16 REACHED!!"), 2u);
    EXPECT_EQ(line_after(console, "Found QB4082 at I2C address 0xc0 on Bus 0x05"),
              "MAX CHIPS PER SYSTEM OF 16 REACHED!!");
    // Each BMC's summary in the log, and the total summary after them.
    auto log = lines(dir.log());
    const std::string last = "15: BusID:0x04 ChipID:80 FW:[0x0f:0x00] ADR:0xc6 Config:0x00";
    EXPECT_EQ(lines_starting(log, "15: "), std::vector<std::string>(3, last));
    EXPECT_EQ(lines_starting(log, "16: ").size(), 0u);
    auto total = lines_after(console, "TOTAL DEVICE SUMMARY", console.size());
    ASSERT_EQ(total.size(), 32u);
    EXPECT_EQ(total.back(), last);
    // The summary clears the mark of the 16 it lists; the 17th keeps its own.
    auto events = trace_events(r.trace);
    const std::set<std::string> seventeenth = {"bmc0 bus 0x05 0xC0", "bmc1 bus 0x05 0xC0"};
    EXPECT_EQ(lit(events, "locate"), seventeenth);
    EXPECT_EQ(lit(events, "fail"), seventeenth);
}
