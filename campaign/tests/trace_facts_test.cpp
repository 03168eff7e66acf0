// SPDX-License-Identifier: MIT
// Reading the trace: a name the checks cannot take apart, or a fault line
// they misread, would silently switch a rule off.
#include <gtest/gtest.h>

#include "trace_facts.h"

namespace campaign {
namespace {

TEST(TraceFacts, TakesFlashEventsApartAndKeepsTheLastTerminalMode)
{
    TraceFacts f = read_trace(
        "0.000001 terminal raw\n"
        "1.000000 flash bmc2 bus 0x03 mux 0xE6 ch 2 mux 0xE4 ch 1 0xC4 downcopy and reset, "
        "running FW 21 22 23\n"
        "1.100000 led bmc0 bus 0x01 0xC0 fail FF\n"
        "1.200000 flash bmc0 bus 0x0F 0xC0 status 55 AA E2 01 00 00\n"
        "1.300000 terminal cooked\n");
    ASSERT_EQ(f.flash.size(), 2u);
    EXPECT_EQ(f.flash[0].controller, "bmc2 bus 0x03 mux 0xE6 ch 2 mux 0xE4 ch 1 0xC4");
    EXPECT_EQ(f.flash[0].bmc, 2);
    EXPECT_EQ(f.flash[0].bus, 0x03);
    EXPECT_EQ(f.flash[0].address, 0xC4);
    EXPECT_EQ(f.flash[0].event, "downcopy and reset, running FW 21 22 23");
    EXPECT_EQ(f.flash[1].bus, 0x0F);
    EXPECT_EQ(f.flash[1].event, "status 55 AA E2 01 00 00");
    EXPECT_EQ(f.terminal, "cooked");
    EXPECT_FALSE(f.forged_success);
    EXPECT_EQ(f.flash[1].line, 3u);
}

TEST(TraceFacts, TellsSignalsAHandlerTookFromTheOthers)
{
    TraceFacts f = read_trace(
        "0.1 signal SIGPIPE\n"
        "0.1 signal SIGPIPE ignored\n"
        "0.5 sleep 1000000\n"
        "1.0 signal SIGTERM\n"
        "1.0 terminal cooked\n"
        "1.0 raise SIGTERM\n"
        "1.0 signal SIGTERM ends the process\n"
        "1.2 signal SIGUSR1\n"
        "1.2 signal SIGUSR1 ends the process\n");
    ASSERT_EQ(f.signals.size(), 3u);
    EXPECT_EQ(f.signals[0].name, "SIGPIPE");
    EXPECT_FALSE(f.signals[0].handled);
    EXPECT_EQ(f.signals[1].name, "SIGTERM");
    EXPECT_TRUE(f.signals[1].handled);
    EXPECT_EQ(f.signals[1].line, 3u);
    EXPECT_FALSE(f.signals[2].handled);
}

// Only a write of one LED register of a controller counts: not a register
// read's pointer, a flash command, a VPD pointer or a mux switch.
TEST(TraceFacts, TakesTheWritesToLedRegistersAndEveryWiderWriteOnBothRoads)
{
    TraceFacts f = read_trace(
        "0.1 bmc0 driver request id 7: 18 52 01 C0 00 44 FF\n"
        "0.2 bmc0 driver response id 7: 1C 52 00\n"
        "0.3 bmc1 kcs request: 18 52 23 C6 00 40 00\n"
        "0.4 bmc0 driver request id 8: 18 52 01 C0 00 42\n"
        "0.5 bmc0 driver request id 9: 18 52 01 C0 00 55 AA E0 00 42 FF\n"
        "0.6 bmc0 driver request id 10: 18 52 01 A0 00 00 44\n"
        "0.7 bmc0 driver request id 11: 18 52 01 C0 00 30 FF\n"
        "0.8 bmc0 driver request id 12: 18 52 01 C0 01\n"
        "0.9 bmc2 fault 1 #1 on kcs request: response lost\n"
        "1.0 mux bmc0 bus 0x03 mux 0xE6 ch 2 0xE4 channels 0C\n");
    ASSERT_EQ(f.led_writes.size(), 2u);
    EXPECT_EQ(f.led_writes[0].bmc, 0);
    EXPECT_EQ(f.led_writes[0].bus, 0x01);
    EXPECT_EQ(f.led_writes[0].address, 0xC0);
    EXPECT_EQ(f.led_writes[0].reg, 0x44);
    EXPECT_EQ(f.led_writes[0].value, 0xFF);
    EXPECT_EQ(f.led_writes[0].line, 0u);
    EXPECT_EQ(f.led_writes[1].bmc, 1);
    EXPECT_EQ(f.led_writes[1].bus, 0x23);
    EXPECT_EQ(f.led_writes[1].address, 0xC6);
    EXPECT_EQ(f.led_writes[1].value, 0x00);
    ASSERT_EQ(f.faults.size(), 1u);
    EXPECT_EQ(f.faults[0], (std::pair<int, size_t>{2, 8}));
    // Every request that writes more than a register number or an offset,
    // to any device; not the one-byte pointer write, not a read.
    std::vector<std::string> wide;
    for (const std::string& w : f.wide_writes)
        wide.push_back(w.substr(w.find(": ") + 2));
    EXPECT_EQ(wide, (std::vector<std::string>{"18 52 01 C0 00 44 FF", "18 52 23 C6 00 40 00",
                                              "18 52 01 C0 00 55 AA E0 00 42 FF", "18 52 01 A0 00 00 44",
                                              "18 52 01 C0 00 30 FF"}));
    ASSERT_EQ(f.mux_changes.size(), 1u);
    EXPECT_EQ(f.mux_changes[0].mux, "bmc0 bus 0x03 mux 0xE6 ch 2 0xE4");
    EXPECT_EQ(f.mux_changes[0].mask, 0x0C);
    EXPECT_EQ(f.mux_changes[0].line, 9u);
}

TEST(TraceFacts, TellsAnswersGivenInADevicesPlaceWithSuccess)
{
    struct Row {
        const char* injected;
        bool forged;
    };
    const Row rows[] = {
        {"response 1C 52 00 4D", true}, {"response 1C 52 00, response delayed 5000 us", true},
        {"completion code 00", true},   {"response 1C 52", false},
        {"response 1C 52 83", false},   {"completion code 83", false},
        {"response lost", false},       {"kcs error_in_read", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(read_trace(std::string("2.5 bmc1 fault 0 #3 on driver request: ") + r.injected + "\n").forged_success,
                  r.forged)
            << r.injected;
}

}  // namespace
}  // namespace campaign
