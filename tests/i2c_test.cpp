// I2C reads and writes through the BMC on both roads: the Master Write-Read
// requests byte for byte (bus nibble rule, mux switching), the judgement of
// every completion code with the bus retry counter, the BMC retry counter
// for exchanges without response, and the length check of a read.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "main/qb40tool.h"
#include "road_bench.h"
#include "sim_run.h"

using qbtest::missing_in_order;
using qbtest::one_bmc;
using qbtest::Path;
using qbtest::RoadBench;

namespace {

// A device that takes any write and always reads `value`, however often a
// lost answer made the BMC read it.
std::string device_at(const char* address, const char* value = "4D")
{
    return std::string(R"({"type": "bytes", "address": ")") + address + R"(", "contents": ")" + value + R"("})";
}

// Bus 0x03 with a device at 0xC0 and two stand-ins for a mux (0xE6, 0xE8);
// bus 0x23 with its own device at 0xC0.
const std::string kBuses = R"("buses": {"0x03": {"devices": [)" + device_at("0xC0") + ", " + device_at("0xE6") +
                           ", " + device_at("0xE8") + R"(]}, "0x23": {"devices": [)" + device_at("0xC0", "23") +
                           "]}}";
// Port accesses cost 0.2 ms, so that the 3.96 s waits of lost answers on the
// KCS road take few polls.
const std::string kFastPorts = R"("port_access_ns": 200000)";

std::string machine(const std::string& faults = "")
{
    return one_bmc(kBuses + (faults.empty() ? "" : R"(, "faults": [)" + faults + "]"), kFastPorts);
}

// The requests the BMC received and the sleeps between them, in order.
std::vector<std::string> traffic(const RoadBench& bench)
{
    std::regex request(R"(bmc\d+ (?:driver request id \d+|kcs request): (.*))");
    std::vector<std::string> out;
    for (const std::string& e : bench.trace()) {
        std::smatch m;
        if (std::regex_match(e, m, request))
            out.push_back(m[1]);
        else if (e.starts_with("sleep "))
            out.push_back(e);
    }
    return out;
}

enum class Op { Read, Write };

// A read of one byte or a write of 0x40 0x01 at 0x60 (8-bit 0xC0).
int transfer(Op op, unsigned char busID, INT8U* byte_read = nullptr)
{
    INT8U scratch = 0;
    if (op == Op::Read)
        return i2c_master_read(0x60, byte_read ? byte_read : &scratch, 1, busID);
    const INT8U data[] = {0x40, 0x01};
    return i2c_master_write(0x60, data, 2, busID);
}

class I2cRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(I2c, I2cRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return qbtest::path_name(info.param); });

TEST_P(I2cRoads, RequestsCarryTheBusByteAfterTheNibbleRuleAndTheMuxSwitchFirst)
{
    struct Case {
        const char* name;
        Op op;
        unsigned char busID;
        unsigned char ms, ma, sc, mux_address;
        std::vector<std::string> traffic;
    };
    const Case cases[] = {
        {"read", Op::Read, 0x03, 0, 0, 0, 0xE6, {"18 52 03 C0 01"}},
        {"write", Op::Write, 0x03, 0, 0, 0, 0xE6, {"18 52 03 C0 00 40 01"}},
        {"channel dropped", Op::Read, 0x23, 0, 0, 0, 0xE6, {"18 52 03 C0 01"}},
        {"channel kept for a channel scan", Op::Read, 0x23, 0, 0, 1, 0xE6, {"18 52 23 C0 01"}},
        {"channel kept with a mux address", Op::Write, 0x23, 0, 1, 0, 0xE6, {"18 52 23 C0 00 40 01"}},
        {"read switches the mux at 0xE6", Op::Read, 0x23, 1, 0, 0, 0xE8,
         {"18 52 03 E6 00 02", "sleep 1000", "18 52 03 C0 01"}},
        {"write switches the mux at MUXaddress", Op::Write, 0x23, 1, 0, 0, 0xE8,
         {"18 52 03 E8 00 02", "sleep 1000", "18 52 03 C0 00 40 01"}},
        {"switched channel stays out of the transfer", Op::Read, 0x23, 1, 1, 1, 0xE6,
         {"18 52 03 E6 00 02", "sleep 1000", "18 52 03 C0 01"}},
        {"channel 8", Op::Write, 0x83, 1, 0, 0, 0xE6, {"18 52 03 E6 00 80", "sleep 1000", "18 52 03 C0 00 40 01"}},
        {"channel 9 selects nothing", Op::Read, 0x93, 1, 0, 0, 0xE6,
         {"18 52 03 E6 00 00", "sleep 1000", "18 52 03 C0 01"}},
        {"no channel, no switch", Op::Read, 0x03, 1, 0, 0, 0xE6, {"18 52 03 C0 01"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoadBench bench(GetParam(), machine());
        CMDL_SendMuxSwitchingCommands = c.ms;
        CMDL_MuxAddress = c.ma;
        CMDL_ScanChannels = c.sc;
        MUXaddress = c.mux_address;
        INT8U byte = 0;
        EXPECT_EQ(transfer(c.op, c.busID, &byte), c.op == Op::Read ? 1 : 2);
        EXPECT_EQ(traffic(bench), c.traffic);
        if (c.op == Op::Read) {
            EXPECT_EQ(byte, c.traffic.back().starts_with("18 52 23") ? 0x23 : 0x4D);
        }
        EXPECT_TRUE(bench.log_lines().empty());
    }
}

TEST_P(I2cRoads, AMuxSwitchWithoutResponseEndsTheTransferBeforeItStarts)
{
    RoadBench bench(GetParam(), machine(R"({"lose": true, "count": 1})"));
    CMDL_SendMuxSwitchingCommands = 1;
    EXPECT_EQ(transfer(Op::Write, 0x23), 0);
    EXPECT_EQ(traffic(bench), std::vector<std::string>{"18 52 03 E6 00 02"});
}

// The log lines of one completion code, as the bus retry writes them.
std::vector<std::string> code_lines(Op op, uint8_t code)
{
    switch (code) {
    case 0x81: return {"", "Lost Arbitration (0x81)"};
    case 0x82: return {"", "Bus Error (0x82)"};
    case 0x83: return {"", "SMBus NACK (0x83)"};
    case 0x84: return {"", "Truncated Read (0x84)"};
    case 0xC0: return {"", "Bus Hardware Error, possible clock stuck low. (Responce:0xc0)"};
    case 0xFF: return {"", "Bus Hardware Error, possible clock stuck low. (Responce:0xff)"};
    case 0xCC: return {"", "Invalid Data Field (0xcc)"};
    default: {
        char text[80];
        if (op == Op::Read)
            std::snprintf(text, sizeof text, "UNHANDELED COMMAND RESPONCE: [%02x]", code);
        else
            std::snprintf(text, sizeof text, "UNHANDELED COMMAND RESPONCE:[%02x] BusID:03 I2Cadr:60", code);
        return {"", text, "", "ANY KEY"};
    }
    }
}

TEST_P(I2cRoads, CompletionCodesAreRetriedThreeTimesOrFailAtOnce)
{
    struct Case {
        uint8_t code;
        int times;  // answers with the code before the BMC answers well
    };
    std::vector<Case> cases;
    for (uint8_t code : {0x81, 0x82, 0x83, 0x84, 0xC0, 0xFF, 0xC3, 0x01})
        for (int times : {1, 2, 3})
            cases.push_back({code, times});
    cases.push_back({0xCC, 1});
    for (Op op : {Op::Read, Op::Write}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (op == Op::Read ? "read " : "write ") << std::hex << int(c.code)
                                            << " x" << c.times);
            char fault[96];
            std::snprintf(fault, sizeof fault, R"({"completion_code": "0x%02X", "count": %d})", c.code, c.times);
            RoadBench bench(GetParam(), machine(fault));
            bool final_at_once = c.code == 0xCC;
            bool gives_up = final_at_once || c.times == 3;

            std::vector<std::string> expected;
            std::vector<std::string> console;
            for (int answer = 1; answer <= c.times; ++answer) {
                std::vector<std::string> lines = code_lines(op, c.code);
                expected.insert(expected.end(), lines.begin(), lines.end());
                if (lines.size() == 4)
                    console.insert(console.end(), lines.begin(), lines.end());
                if (final_at_once)
                    break;
                expected.push_back(answer == 3 ? "Retry Count Exceeded" : "Retry countdown: " + std::to_string(3 - answer));
            }
            INT8U byte = 0xA5;
            int result = transfer(op, 0x03, &byte);
            EXPECT_EQ(result, gives_up ? 0 : op == Op::Read ? 1 : 2);
            EXPECT_EQ(byte, gives_up || op == Op::Write ? 0xA5 : 0x4D);
            EXPECT_EQ(bench.log_lines(), expected);
            EXPECT_EQ(qbtest::lines(bench.console()), console);
            EXPECT_EQ(traffic(bench).size(), static_cast<size_t>(gives_up ? c.times : c.times + 1));
            EXPECT_EQ(I2C_LastCompletionCode, gives_up ? c.code : 0x00);
        }
    }
}

// What the log shows for one exchange that got no response at all, after
// the road's own lines for it.
std::vector<std::string> no_response_dump(Op op, int retry)
{
    std::vector<std::string> out = {"Kcs_Read_After_Write Returned 0. Retry " + std::to_string(retry),
                                    "",
                                    "",
                                    op == Op::Read ? "Function: i2c_master_read" : "Function: i2c_master_write",
                                    "",
                                    "No response",
                                    "Sent Cmd Buffer: ",
                                    "[18] ",
                                    "[52] ",
                                    "[03] ",
                                    "[C0] ",
                                    op == Op::Read ? "[01] " : "[00] ",
                                    "",
                                    op == Op::Read ? "Sent Data (1) bytes" : "Sent Data (2) bytes"};
    if (op == Op::Write) {
        out.push_back("[40] ");
        out.push_back("[01] ");
    }
    return out;
}

size_t count(const std::vector<std::string>& lines, const std::string& prefix)
{
    size_t n = 0;
    for (const std::string& l : lines)
        n += l.starts_with(prefix);
    return n;
}

TEST_P(I2cRoads, ExchangesWithoutResponseAreSentThreeTimes)
{
    for (Op op : {Op::Read, Op::Write}) {
        for (int lost : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << (op == Op::Read ? "read, " : "write, ") << lost << " lost");
            RoadBench bench(GetParam(), machine(R"({"lose": true, "count": )" + std::to_string(lost) + "}"));
            INT8U byte = 0xA5;
            int result = transfer(op, 0x03, &byte);
            bool gives_up = lost == 3;
            EXPECT_EQ(result, gives_up ? 0 : op == Op::Read ? 1 : 2);
            EXPECT_EQ(I2C_LastCompletionCode, 0x00);
            EXPECT_EQ(traffic(bench).size(), static_cast<size_t>(gives_up ? 3 : lost + 1));

            std::vector<std::string> log = bench.log_lines();
            std::vector<std::string> expected;
            for (int attempt = 1; attempt <= lost; ++attempt) {
                std::vector<std::string> dump = no_response_dump(op, 4 - attempt);
                expected.insert(expected.end(), dump.begin(), dump.end());
                expected.push_back(attempt == 3 ? "\t[BMC retries of 3 exceeded]"
                                                : "\t[BMC retry countdown " + std::to_string(3 - attempt) + "]");
            }
            EXPECT_EQ(missing_in_order(log, expected), "");
            EXPECT_EQ(count(log, "Kcs_Read_After_Write Returned 0"), static_cast<size_t>(lost));
            EXPECT_EQ(count(log, "\t[BMC retr"), static_cast<size_t>(lost));
        }
    }
}

TEST_P(I2cRoads, TheTwoRetryCountersCountApart)
{
    // Lost, NAK, lost, NAK, then a good answer: two of each kind are allowed.
    RoadBench bench(GetParam(), machine(R"({"lose": true, "nth": 1}, {"completion_code": "0x83", "nth": 2},
                                           {"lose": true, "nth": 3}, {"completion_code": "0x83", "nth": 4})"));
    INT8U byte = 0;
    EXPECT_EQ(transfer(Op::Read, 0x03, &byte), 1);
    EXPECT_EQ(byte, 0x4D);
    EXPECT_EQ(traffic(bench).size(), 5u);
    std::vector<std::string> log = bench.log_lines();
    EXPECT_EQ(missing_in_order(log, {"\t[BMC retry countdown 2]", "Retry countdown: 2", "\t[BMC retry countdown 1]",
                                     "Retry countdown: 1"}),
              "");
    EXPECT_EQ(count(log, "Retry Count Exceeded") + count(log, "\t[BMC retries"), 0u);
}

TEST_P(I2cRoads, AGoodReadOfTheWrongLengthIsDumpedAndNotRetried)
{
    const std::string netfn = GetParam() == Path::Driver ? "[07] " : "[1C] ";
    struct Case {
        const char* answer;
        std::vector<std::string> bytes;
    };
    const Case cases[] = {
        {"1C 52 00", {netfn, "[52] ", "[00] "}},
        {"1C 52 00 4D 4E", {netfn, "[52] ", "[00] ", "[4D] ", "[4E] "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        RoadBench bench(GetParam(), machine(std::string(R"({"response": ")") + c.answer + R"("})"));
        INT8U byte = 0xA5;
        EXPECT_EQ(transfer(Op::Read, 0x03, &byte), 0);
        EXPECT_EQ(byte, 0xA5);
        EXPECT_EQ(traffic(bench).size(), 1u);
        std::vector<std::string> expected = {"Error: Length of response data", "", "Response length is unequal to 4", "",
                                             "Response[Len" + std::to_string(c.bytes.size()) + "]", " Response buffer:"};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        expected.insert(expected.end(), {"", ""});
        EXPECT_EQ(bench.log_lines(), expected);
    }
}

TEST_P(I2cRoads, AnAnswerWithoutCompletionCodeFailsAtOnce)
{
    RoadBench bench(GetParam(), machine(R"({"response": "1C 52"})"));
    EXPECT_EQ(transfer(Op::Write, 0x03), 0);
    EXPECT_EQ(traffic(bench).size(), 1u);
    EXPECT_EQ(bench.log_lines(), std::vector<std::string>{"Response without completion code (2 bytes)"});
}

TEST(I2c, AWriteTooLongForTheRequestBufferSendsNothing)
{
    RoadBench bench(Path::Driver, machine());
    INT8U data[124] = {};
    EXPECT_EQ(i2c_master_write(0x60, data, 123, 0x03), 123);
    EXPECT_EQ(i2c_master_write(0x60, data, 124, 0x03), 0);
    EXPECT_EQ(traffic(bench).size(), 1u);
}

}  // namespace
