// SPDX-License-Identifier: MIT
// I2C reads and writes through the BMC on both roads: the Master Write-Read
// requests byte for byte (bus nibble rule, mux switching), the judgement of
// every completion code with the bus retry counter, the BMC retry counter
// for exchanges without response, and the length check of a read.
#include <gtest/gtest.h>

#include <map>

#include "bmc/exchange.h"
#include "common/settings.h"
#include "i2c/i2c.h"
#include "road_bench.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// A read of one byte into `byte`, or a write of 0x40 0x01, at 0x60 (8-bit 0xC0).
int transfer(bool read, unsigned char busID, INT8U& byte)
{
    const INT8U data[] = {0x40, 0x01};
    return read ? i2c_master_read(0x60, &byte, 1, busID) : i2c_master_write(0x60, data, 2, busID);
}

class I2cRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(I2c, I2cRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return path_name(info.param); });

TEST_P(I2cRoads, RequestsCarryTheBusByteAfterTheNibbleRuleAndTheMuxSwitchFirst)
{
    const std::string rd = "18 52 03 C0 01", wr = "18 52 03 C0 00 40 01";
    struct Case { bool read; unsigned char busID, ms, ma, sc; Lines traffic; };  // ms, ma, sc: the options set
    const Case cases[] = {
        {true, 0x03, 0, 0, 0, {rd}},
        {false, 0x03, 0, 0, 0, {wr}},
        {true, 0x23, 0, 0, 0, {rd}},                                      // the channel dropped
        {true, 0x23, 0, 0, 1, {"18 52 23 C0 01"}},                        // kept for a channel scan
        {false, 0x23, 0, 1, 0, {"18 52 23 C0 00 40 01"}},                 // or with a mux address
        {true, 0x03, 1, 0, 0, {rd}},                                      // no channel, no switch
        {true, 0x23, 1, 0, 0, {"18 52 03 E6 00 02", "sleep 1000", rd}},   // a read switches at 0xE6
        {false, 0x23, 1, 0, 0, {"18 52 03 E8 00 02", "sleep 1000", wr}},  // a write at MUXaddress
        {true, 0x23, 1, 1, 1, {"18 52 03 E6 00 02", "sleep 1000", rd}},   // the switched channel stays out
        {false, 0x83, 1, 0, 0, {"18 52 03 E8 00 80", "sleep 1000", wr}},
        {true, 0x93, 1, 0, 0, {"18 52 03 E6 00 00", "sleep 1000", rd}},   // channel 9 selects nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.traffic.front());
        RoadBench bench(GetParam(), road_machine());
        CMDL_SendMuxSwitchingCommands = c.ms;
        CMDL_MuxAddress = c.ma;
        CMDL_ScanChannels = c.sc;
        MUXaddress = 0xE8;
        INT8U byte = 0;
        EXPECT_EQ(transfer(c.read, c.busID, byte), c.read ? 1 : 2);
        EXPECT_EQ(bench.traffic(), c.traffic);
        EXPECT_EQ(byte, !c.read ? 0 : c.traffic.back().starts_with("18 52 23") ? 0x23 : 0x4D);
        EXPECT_TRUE(bench.log_lines().empty());
    }
}

TEST_P(I2cRoads, AMuxSwitchWithoutResponseEndsTheTransferBeforeItStarts)
{
    RoadBench bench(GetParam(), road_machine(R"({"lose": true, "count": 1})"));
    CMDL_SendMuxSwitchingCommands = 1;
    INT8U byte = 0;
    EXPECT_EQ(transfer(false, 0x23, byte), 0);
    EXPECT_EQ(bench.traffic(), Lines{"18 52 03 E6 00 02"});
}

TEST_P(I2cRoads, CompletionCodesAreRetriedThreeTimesOrFailAtOnce)
{
    const std::map<int, std::string> said = {
        {0x81, "Lost Arbitration (0x81)"}, {0x82, "Bus Error (0x82)"}, {0x83, "SMBus NACK (0x83)"},
        {0x84, "Truncated Read (0x84)"},   {0xCC, "Invalid Data Field (0xcc)"},
        {0xC0, "Bus Hardware Error, possible clock stuck low. (Responce:0xc0)"},
        {0xFF, "Bus Hardware Error, possible clock stuck low. (Responce:0xff)"}};
    for (bool read : {true, false}) {
        for (int code : {0x81, 0x82, 0x83, 0x84, 0xC0, 0xFF, 0xC3, 0xCC}) {
            for (int times : {1, 3}) {  // answers with the code before a good one
                char fault[64], unhandled[64];
                std::snprintf(fault, sizeof fault, R"({"completion_code": "0x%02X", "count": %d})", code, times);
                std::snprintf(unhandled, sizeof unhandled,
                              read ? "UNHANDELED COMMAND RESPONCE: [%02x]"
                                   : "UNHANDELED COMMAND RESPONCE:[%02x] BusID:03 I2Cadr:60",
                              code);
                SCOPED_TRACE(std::string(read ? "read " : "write ") + fault);
                RoadBench bench(GetParam(), road_machine(fault));
                int answers = code == 0xCC ? 1 : times;  // 0xCC is final at once
                bool gives_up = code == 0xCC || times == 3;
                Lines log, console;  // the unhandled codes' lines go to both
                for (int answer = 1; answer <= answers; ++answer) {
                    Lines lines = said.contains(code) ? Lines{"", said.at(code)} : Lines{"", unhandled, "", "ANY KEY"};
                    log.insert(log.end(), lines.begin(), lines.end());
                    if (!said.contains(code))
                        console.insert(console.end(), lines.begin(), lines.end());
                    if (code != 0xCC)
                        log.push_back(answer == 3 ? "Retry Count Exceeded"
                                                  : "Retry countdown: " + std::to_string(3 - answer));
                }
                INT8U byte = 0xA5;
                EXPECT_EQ(transfer(read, 0x03, byte), gives_up ? 0 : read ? 1 : 2);
                EXPECT_EQ(byte, gives_up || !read ? 0xA5 : 0x4D);
                EXPECT_EQ(bench.log_lines(), log);
                EXPECT_EQ(qbtest::lines(bench.console()), console);
                EXPECT_EQ(bench.traffic().size(), static_cast<size_t>(gives_up ? answers : times + 1));
                EXPECT_EQ(I2C_LastCompletionCode, gives_up ? code : 0x00);
            }
        }
    }
}

TEST_P(I2cRoads, ExchangesWithoutResponseAreSentThreeTimes)
{
    for (bool read : {true, false}) {
        for (int lost : {1, 3}) {
            SCOPED_TRACE(testing::Message() << (read ? "read, " : "write, ") << lost << " lost");
            RoadBench bench(GetParam(), road_machine(R"({"lose": true, "count": )" + std::to_string(lost) + "}"));
            INT8U byte = 0xA5;
            EXPECT_EQ(transfer(read, 0x03, byte), lost == 3 ? 0 : read ? 1 : 2);
            EXPECT_EQ(I2C_LastCompletionCode, 0x00);
            EXPECT_EQ(bench.traffic().size(), static_cast<size_t>(lost == 3 ? 3 : lost + 1));
            // Each lost answer is dumped after the road's own lines for it.
            Lines expected;
            for (int attempt = 1; attempt <= lost; ++attempt) {
                expected.insert(expected.end(),
                                {"Kcs_Read_After_Write Returned 0. Retry " + std::to_string(4 - attempt), "", "",
                                 read ? "Function: i2c_master_read" : "Function: i2c_master_write", "", "No response",
                                 "Sent Cmd Buffer: ", "[18] ", "[52] ", "[03] ", "[C0] ", read ? "[01] " : "[00] ", "",
                                 read ? "Sent Data (1) bytes" : "Sent Data (2) bytes"});
                if (!read)
                    expected.insert(expected.end(), {"[40] ", "[01] "});
                expected.push_back(attempt == 3 ? "\t[BMC retries of 3 exceeded]"
                                                : "\t[BMC retry countdown " + std::to_string(3 - attempt) + "]");
            }
            Lines log = bench.log_lines();
            EXPECT_EQ(missing_in_order(log, expected), "");
            EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& l) { return l.starts_with("\t[BMC"); }), lost);
        }
    }
}

TEST_P(I2cRoads, TheTwoRetryCountersCountApart)
{
    // Lost, NAK, lost, NAK, then a good answer: two of each kind are allowed.
    RoadBench bench(GetParam(), road_machine(R"({"lose": true, "nth": 1}, {"completion_code": "0x83", "nth": 2},
                                                {"lose": true, "nth": 3}, {"completion_code": "0x83", "nth": 4})"));
    INT8U byte = 0;
    EXPECT_EQ(transfer(true, 0x03, byte), 1);
    EXPECT_EQ(byte, 0x4D);
    EXPECT_EQ(bench.traffic().size(), 5u);
    EXPECT_EQ(missing_in_order(bench.log_lines(), {"\t[BMC retry countdown 2]", "Retry countdown: 2",
                                                   "\t[BMC retry countdown 1]", "Retry countdown: 1"}),
              "");
}

TEST_P(I2cRoads, AGoodAnswerOfTheWrongLengthIsDumpedAndNotRetried)
{
    const std::string netfn = GetParam() == Path::Driver ? "[07] " : "[1C] ";
    const Lines error = {"Error: Length of response data", "", "Response length is unequal to 4", ""};
    struct Case { const char* answer; Lines log; };
    const Case cases[] = {
        {"1C 52", {"Response without completion code (2 bytes)"}},
        {"1C 52 00", {"Response[Len3]", " Response buffer:", netfn, "[52] ", "[00] ", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        RoadBench bench(GetParam(), road_machine(std::string(R"({"response": ")") + c.answer + "\"}"));
        INT8U byte = 0xA5;
        EXPECT_EQ(transfer(true, 0x03, byte), 0);
        EXPECT_EQ(byte, 0xA5);
        EXPECT_EQ(bench.traffic().size(), 1u);
        Lines log = c.log.size() == 1 ? Lines{} : error;
        log.insert(log.end(), c.log.begin(), c.log.end());
        EXPECT_EQ(bench.log_lines(), log);
    }
}

}  // namespace
