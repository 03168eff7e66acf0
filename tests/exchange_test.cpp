// One request and its response on both roads: message ids through the
// driver, the 60-byte driver buffer, the write and read retry countdowns of
// the KCS road, every driver failure with its message, and the verbose dump.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kcs/kcs.h"
#include "road_bench.h"
#include "sim_run.h"

using qbtest::hex;
using qbtest::one_bmc;
using qbtest::Path;
using qbtest::RoadBench;

namespace {

const std::string kRegisters =
    R"("buses": {"0x01": {"devices": [{"type": "registers", "address": "0xC0", "registers": {"0x00": "0x4D"}}]}})";
const std::string kFastPorts = R"("port_access_ns": 20000)";

std::string machine(const std::string& faults = "")
{
    return one_bmc(kRegisters + (faults.empty() ? "" : R"(, "faults": [)" + faults + "]"), kFastPorts);
}

struct Exchange {
    INT8U result;
    std::vector<uint8_t> response;
};

Exchange exchange(std::vector<uint8_t> request)
{
    INT8U buf[70] = {};
    INT8U len = 0;
    INT8U r = Kcs_Read_After_Write(request.data(), static_cast<INT16U>(request.size()), buf, &len);
    return {r, r ? std::vector<uint8_t>(buf, buf + len) : std::vector<uint8_t>{}};
}

const std::vector<uint8_t> kRead1 = {0x18, 0x52, 0x01, 0xC0, 0x01};

class ExchangeRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(Exchange, ExchangeRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return qbtest::path_name(info.param); });

TEST_P(ExchangeRoads, RequestsReachTheBmcWholeOrCutToTheDriversSixtyBytes)
{
    struct Case {
        size_t length;
        size_t driver_length;  // what the BMC receives through the driver
    };
    for (Case c : {Case{2, 2}, Case{5, 5}, Case{60, 60}, Case{61, 60}, Case{70, 60}}) {
        SCOPED_TRACE(c.length);
        RoadBench bench(GetParam(), machine());
        CMDL_VerboseLog = 1;
        // A register write of length - 5 bytes, or a command without data.
        std::vector<uint8_t> request{0x18, 0x52, 0x01, 0xC0, 0x00};
        request.resize(c.length);
        for (size_t i = 5; i < c.length; ++i)
            request[i] = static_cast<uint8_t>(i);
        Exchange e = exchange(request);
        EXPECT_EQ(e.result, 1);

        size_t reached = GetParam() == Path::Driver ? c.driver_length : c.length;
        EXPECT_EQ(bench.requests(), std::vector<std::string>{hex({request.begin(), request.begin() + static_cast<long>(reached)})});
        // The dump lists the request as the caller gave it, whole.
        std::string expected_response = c.length == 2 ? "1C 52 C7" : "1C 52 00";  // C7: no bus, address, count
        if (GetParam() == Path::Driver)
            expected_response.replace(0, 2, "07");  // the driver's netfn, unshifted
        EXPECT_EQ(bench.log_lines(), (std::vector<std::string>{"", "KCS Request: " + hex(request) + " ",
                                                               "KCS Response: " + expected_response + " "}));
        EXPECT_EQ(hex(e.response), expected_response);
    }
}

TEST_P(ExchangeRoads, ACompletionCodeIsNoFailureOfTheExchangeAndQuietWithoutVerboseLog)
{
    RoadBench bench(GetParam(), machine());
    Exchange e = exchange({0x18, 0x52, 0x05, 0xC0, 0x01});  // a bus the BMC does not have
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(hex(e.response), GetParam() == Path::Driver ? "07 52 CC" : "1C 52 CC");
    EXPECT_TRUE(bench.log_lines().empty());
    EXPECT_EQ(bench.console(), "");
}

TEST_P(ExchangeRoads, TheAnswerWaitsForTheBmcsLatency)
{
    RoadBench bench(GetParam(), one_bmc(kRegisters + R"(, "latency_us": 2500)", kFastPorts));
    double start = bench.seconds();
    Exchange e = exchange(kRead1);
    EXPECT_EQ(hex(e.response).substr(2), " 52 00 4D");
    EXPECT_GE(bench.seconds() - start, 0.0025);
    EXPECT_LT(bench.seconds() - start, 0.0050);
}

TEST(ExchangeDriver, MessageIdsCountOnPastAMismatch)
{
    RoadBench bench(Path::Driver, machine(R"({"wrong_id": true, "nth": 2})"));
    std::vector<INT8U> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(exchange(kRead1).result);
    EXPECT_EQ(results, (std::vector<INT8U>{1, 0, 1, 1}));
    std::vector<long> ids = bench.driver_ids();
    ASSERT_EQ(ids.size(), 4u);
    for (size_t i = 1; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], ids[0] + static_cast<long>(i));
    EXPECT_EQ(bench.log_lines(), std::vector<std::string>{"ERROR: Sequence number does not match"});
    EXPECT_EQ(bench.console(), "ERROR: Sequence number does not match\r\n");
}

TEST(ExchangeDriver, TheFirstRequestOfARunCarriesIdOne)
{
    qbtest::SimDir dir;
    qbtest::RunResult r = dir.run({});
    std::vector<std::string> ids;
    for (const std::string& e : qbtest::trace_events(r.trace))
        if (e.starts_with("bmc0 driver request id "))
            ids.push_back(e.substr(23, e.find(':') - 23));
    ASSERT_GE(ids.size(), 3u);
    EXPECT_EQ(ids[0], "1");
    EXPECT_EQ(ids[1], "2");
    EXPECT_EQ(ids[2], "3");
}

TEST(ExchangeDriver, EachFailureOfTheDriverEndsTheExchangeWithItsMessage)
{
    std::string answer_61 = "1C 52 00";  // 61 data bytes with the completion code
    for (int i = 0; i < 60; ++i)
        answer_61 += " AA";
    struct Case {
        std::string fault;
        std::string message;
        double waited;  // virtual seconds
    };
    const Case cases[] = {
        {R"({"send_errno": "EIO"})", "ERROR: OpenIPMI ioctl IPMICTL_SEND_COMMAND failed (5)", 0},
        {R"({"select_errno": "EINTR"})", "ERROR: OpenIPMI select failed (4)", 0},
        {R"({"receive_errno": "EBUSY"})", "ERROR: OpenIPMI ioctl IPMICTL_RECEIVE_MSG_TRUNC failed (16)", 0},
        {R"({"response": ")" + answer_61 + "\"}", "ERROR: OpenIPMI ioctl IPMICTL_RECEIVE_MSG_TRUNC failed (90)", 0},
        {R"({"lose": true})", "ERROR: OpenIPMI select timeout", 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RoadBench bench(Path::Driver, machine(c.fault));
        double start = bench.seconds();
        EXPECT_EQ(exchange(kRead1).result, 0);
        EXPECT_EQ(bench.log_lines(), std::vector<std::string>{c.message});
        EXPECT_EQ(bench.console(), c.message + "\r\n");
        EXPECT_NEAR(bench.seconds() - start, c.waited, 0.001);
    }
}

TEST(ExchangeDriver, SixtyResponseDataBytesFitTheBuffer)
{
    std::string answer = "1C 52 00";
    for (int i = 0; i < 59; ++i)
        answer += " 5A";
    RoadBench bench(Path::Driver, machine(R"({"response": ")" + answer + "\"}"));
    Exchange e = exchange(kRead1);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(hex(e.response), "07" + answer.substr(2));
    EXPECT_EQ(e.response.size(), 62u);
}

TEST(ExchangeDriver, ANodeThatDidNotOpenFailsEverySend)
{
    RoadBench bench(Path::Driver, machine());
    fd = -1;
    EXPECT_EQ(exchange(kRead1).result, 0);
    EXPECT_EQ(bench.log_lines(), std::vector<std::string>{"ERROR: OpenIPMI ioctl IPMICTL_SEND_COMMAND failed (9)"});
}

// The countdown lines of the KCS road as the log shows them.
std::vector<std::string> countdown(const char* phase, const std::vector<std::string>& cause, int attempts,
                                   bool gives_up)
{
    std::vector<std::string> out;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        out.insert(out.end(), cause.begin(), cause.end());
        out.push_back("");
        if (attempt < 4) {
            out.push_back(std::string("KCS: Read After Write (") + phase + ") Retry Countdown: " +
                          std::to_string(4 - attempt));
        } else if (gives_up) {
            out.push_back(std::string("KCS: Read After Write: ") + (phase[0] == 'w' ? "Write" : "Read") + " Error");
            out.push_back("");
        }
    }
    return out;
}

TEST(ExchangeKcs, AWriteThatNeverGoesThroughIsWrittenFourTimes)
{
    RoadBench bench(Path::Kcs, machine(R"({"kcs": "error_state", "count": "all"})"));
    EXPECT_EQ(exchange(kRead1).result, 0);
    EXPECT_EQ(bench.requests(), std::vector<std::string>(4, "18 52 01 C0 01"));
    EXPECT_EQ(bench.log_lines(),
              countdown("write", {"ERROR: Fail to transfer to read state ISA_STATE=c0"}, 4, true));
}

TEST(ExchangeKcs, AWriteThatFailsOnceIsWrittenAgain)
{
    // The BMC hangs for a second with IBF set, then drops the request.
    RoadBench bench(Path::Kcs, machine(R"({"kcs": "ibf_stuck", "for_ms": 1000})"));
    Exchange e = exchange(kRead1);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(qbtest::hex(e.response), "1C 52 00 4D");
    EXPECT_EQ(bench.requests(), std::vector<std::string>(2, "18 52 01 C0 01"));
    EXPECT_EQ(bench.log_lines(), countdown("write", {"ERROR: Fail to transfer to read state ISA_STATE=0"}, 1, false));
}

TEST(ExchangeKcs, AFailedReadIsRetriedByReadingAgainNeverByWriting)
{
    const std::vector<std::string> no_obf = {"WaitOBFSet Timeout!", "ERROR: Wait no OBF in read state"};
    {
        SCOPED_TRACE("the answer never comes");
        RoadBench bench(Path::Kcs, machine(R"({"lose": true})"));
        double start = bench.seconds();
        EXPECT_EQ(exchange(kRead1).result, 0);
        EXPECT_EQ(bench.requests(), std::vector<std::string>{"18 52 01 C0 01"});
        EXPECT_EQ(bench.log_lines(), countdown("read", no_obf, 4, true));
        EXPECT_NEAR(bench.seconds() - start, 4 * 3.96, 0.01);
    }
    {
        SCOPED_TRACE("the answer comes late");
        RoadBench bench(Path::Kcs, machine(R"({"delay_ms": 5000})"));
        Exchange e = exchange(kRead1);
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(hex(e.response), "1C 52 00 4D");
        EXPECT_EQ(bench.requests(), std::vector<std::string>{"18 52 01 C0 01"});
        EXPECT_EQ(bench.log_lines(), countdown("read", no_obf, 1, false));
    }
}

}  // namespace
