// SPDX-License-Identifier: MIT
// One request and its response on both roads: message ids through the
// driver, the 60-byte driver buffer, every driver failure with its message,
// the write and read retry countdowns of the KCS road, and the verbose dump.
#include <gtest/gtest.h>

#include "bmc/exchange.h"
#include "bmc/kcs/kcs_transfer.h"
#include "common/settings.h"
#include "road_bench.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// The response to a read of register 0x00 as hex text, or "failed".
std::string exchange(std::vector<uint8_t> request = {0x18, 0x52, 0x01, 0xC0, 0x01})
{
    INT8U buf[70] = {};
    INT8U len = 0;
    if (!Kcs_Read_After_Write(request.data(), static_cast<INT16U>(request.size()), buf, &len))
        return "failed";
    return hex({buf, buf + len});
}

class ExchangeRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(Exchange, ExchangeRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return path_name(info.param); });

TEST_P(ExchangeRoads, RequestsReachTheBmcWholeOrCutToTheDriversSixtyBytes)
{
    // C7: no bus, address or count; CC: a bus the BMC does not have, asked without -vl.
    struct Case { size_t length; uint8_t bus; const char* code; };
    for (Case c : {Case{2, 1, "C7"}, Case{60, 1, "00"}, Case{61, 1, "00"}, Case{5, 5, "CC"}}) {
        SCOPED_TRACE(c.length);
        RoadBench bench(GetParam(), road_machine());
        CMDL_VerboseLog = c.bus == 1;
        std::vector<uint8_t> request{0x18, 0x52, c.bus, 0xC0, 0x00};
        for (size_t i = 5; i < c.length; ++i)
            request.push_back(static_cast<uint8_t>(i));
        request.resize(c.length);
        // A completion code is no failure of the exchange; the driver's netfn comes unshifted.
        std::string response = std::string(GetParam() == Path::Driver ? "07 52 " : "1C 52 ") + c.code;
        EXPECT_EQ(exchange(request), response);
        size_t reached = GetParam() == Path::Driver ? std::min<size_t>(c.length, 60) : c.length;
        EXPECT_EQ(bench.traffic(), Lines{hex({request.begin(), request.begin() + static_cast<long>(reached)})});
        // The dump lists the request as the caller gave it, whole.
        Lines dump = {"", "KCS Request: " + hex(request) + " ", "KCS Response: " + response + " "};
        EXPECT_EQ(bench.log_lines(), CMDL_VerboseLog ? dump : Lines{});
        EXPECT_EQ(bench.console(), "");
    }
}

TEST(ExchangeDriver, IdsCountFromOneAndGoOnPastAMismatchedAnswer)
{
    SimDir dir;
    dir.machine(road_machine(R"({"wrong_id": true, "nth": 2})"));
    RunResult r = dir.run({"-b11"});
    Lines ids;
    for (const std::string& e : trace_events(r.trace))
        if (e.starts_with("bmc0 driver request id "))
            ids.push_back(e.substr(23, e.find(':') - 23));
    ASSERT_GE(ids.size(), 3u);
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], std::to_string(i + 1));
    EXPECT_EQ(missing_in_order(lines(r.console), {"ERROR: Sequence number does not match"}), "");
}

TEST(ExchangeDriver, EachFailureOfTheDriverEndsTheExchangeWithItsMessage)
{
    std::string answer = "1C 52 00";  // with 60 data bytes, completion code included
    for (int i = 1; i < 60; ++i)
        answer += " 5A";
    struct Case { std::string fault, message; double waited_s; };
    const Case cases[] = {
        {R"({"send_errno": "EIO"})", "ERROR: OpenIPMI ioctl IPMICTL_SEND_COMMAND failed (5)", 0},
        {R"({"select_errno": "ENOMEM"})", "ERROR: OpenIPMI select failed (12)", 0},
        {R"({"receive_errno": "EBUSY"})", "ERROR: OpenIPMI ioctl IPMICTL_RECEIVE_MSG_TRUNC failed (16)", 0},
        {R"({"response": ")" + answer + " 5A\"}", "ERROR: OpenIPMI ioctl IPMICTL_RECEIVE_MSG_TRUNC failed (90)", 0},
        {R"({"lose": true})", "ERROR: OpenIPMI select timeout", 30},
        {R"({"response": ")" + answer + "\"}", "", 0},  // what just fits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RoadBench bench(Path::Driver, road_machine(c.fault));
        uint64_t start = bench.elapsed_us();
        EXPECT_EQ(exchange(), c.message.empty() ? "07" + answer.substr(2) : "failed");
        EXPECT_EQ(bench.console(), c.message.empty() ? "" : c.message + "\r\n");
        EXPECT_EQ(bench.log_lines(), c.message.empty() ? Lines{} : Lines{c.message});
        EXPECT_NEAR(static_cast<double>(bench.elapsed_us() - start) / 1e6, c.waited_s, 0.001);
    }
}

TEST(ExchangeKcs, AFailedWriteIsWrittenAgainAndAFailedReadOnlyReadAgain)
{
    // A phase that fails four times fails the exchange; before, it is repeated with a countdown line.
    struct Case { const char* fault; std::string phase; Lines cause; int failures; size_t writes; };
    const Lines no_obf = {"WaitOBFSet Timeout!", "ERROR: Wait no OBF in read state"};
    const std::string not_read = "ERROR: Fail to transfer to read state ISA_STATE=";
    const Case cases[] = {
        {R"({"kcs": "error_state", "count": "all"})", "write", {not_read + "c0"}, 4, 4},
        // The BMC hangs for a second with IBF set, then drops the request.
        {R"({"kcs": "ibf_stuck", "for_ms": 1000})", "write", {not_read + "0"}, 1, 2},
        {R"({"lose": true})", "read", no_obf, 4, 1},
        {R"({"delay_ms": 5000})", "read", no_obf, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RoadBench bench(Path::Kcs, road_machine(c.fault));
        EXPECT_EQ(exchange(), c.failures == 4 ? "failed" : "1C 52 00 4D");
        EXPECT_EQ(bench.traffic(), Lines(c.writes, "18 52 01 C0 01"));
        Lines log;
        for (int attempt = 1; attempt <= c.failures; ++attempt) {
            log.insert(log.end(), c.cause.begin(), c.cause.end());
            log.push_back("");
            log.push_back(attempt < 4 ? "KCS: Read After Write (" + c.phase + ") Retry Countdown: " +
                                            std::to_string(4 - attempt)
                          : c.phase == "write" ? "KCS: Read After Write: Write Error"
                                               : "KCS: Read After Write: Read Error");
        }
        if (c.failures == 4)
            log.push_back("");
        EXPECT_EQ(bench.log_lines(), log);
    }
}

}  // namespace
