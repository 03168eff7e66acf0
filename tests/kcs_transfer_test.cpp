// The tool's KCS host against the simulator's KCS BMC, port access by port
// access: the handshakes of a write and a read, the limits of the request
// and response lengths, and every wait that ends after 72 ticks of the
// virtual clock, also across the wrap of the 32-bit microsecond count.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kcs/kcs.h"
#include "road_bench.h"
#include "sim_run.h"

using qbtest::hex;
using qbtest::missing_in_order;
using qbtest::one_bmc;
using qbtest::Path;
using qbtest::RoadBench;

namespace {

constexpr uint64_t kWaitUs = 72 * 55000;  // 3.96 s
// Port accesses cost 20 µs here so that a 3.96 s wait takes few real loops;
// one status poll (read and delay write) is then 40 µs.
const std::string kFastPorts = R"("port_access_ns": 20000)";
const std::string kTracedPorts = R"("port_access_ns": 20000, "trace_ports": true)";

const std::string kRegisters = R"("buses": {"0x01": {"devices": [{"type": "registers", "address": "0xC0", "registers": {"0x63": "0x4D"}}]}})";

std::vector<std::string> port_writes(const std::vector<std::string>& trace)
{
    std::vector<std::string> out;
    for (const std::string& e : trace)
        if (e.starts_with("outb "))
            out.push_back(e.substr(5));
    return out;
}

std::vector<std::string> data_port_reads(const std::vector<std::string>& trace)
{
    std::vector<std::string> out;
    for (const std::string& e : trace)
        if (e.starts_with("inb 0x0CA2 = "))
            out.push_back(e.substr(13));
    return out;
}

std::vector<uint8_t> read_response(INT16S* result)
{
    INT8U buf[64] = {};
    INT8U len = 0xEE;
    *result = Kcs_Read(buf, &len);
    return std::vector<uint8_t>(buf, buf + (len == 0xEE ? 0 : len));
}

TEST(KcsTransfer, HandshakesWriteEachByteAndAcknowledgeEachResponseByte)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        std::vector<std::string> writes;  // port and value of every write but the delay port's
        std::vector<uint8_t> response;
    };
    const Case cases[] = {
        {"register read",
         {0x18, 0x52, 0x01, 0xC0, 0x01},
         {"0x0CA3 61", "0x0CA2 18", "0x0CA2 52", "0x0CA2 01", "0x0CA2 C0", "0x0CA3 62", "0x0CA2 01", "0x0CA2 68",
          "0x0CA2 68", "0x0CA2 68", "0x0CA2 68"},
         {0x1C, 0x52, 0x00, 0x4D}},
        // A one-byte request is its own last byte: WRITE_END comes before it.
        {"one byte", {0x18}, {"0x0CA3 61", "0x0CA3 62", "0x0CA2 18", "0x0CA2 68", "0x0CA2 68", "0x0CA2 68"},
         {0x1C, 0x00, 0xC1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoadBench bench(Path::Kcs, one_bmc(kRegisters, kTracedPorts));
        // The register pointer of the device is at 0x63 after this.
        INT8U pointer[] = {0x18, 0x52, 0x01, 0xC0, 0x00, 0x63};
        ASSERT_EQ(Kcs_Write(pointer, sizeof pointer), 0);
        INT16S r;
        read_response(&r);
        ASSERT_EQ(r, 0);
        size_t before = bench.trace().size();

        std::vector<uint8_t> request = c.request;
        EXPECT_EQ(Kcs_Write(request.data(), static_cast<INT16U>(request.size())), 0);
        std::vector<uint8_t> response = read_response(&r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(hex(response), hex(c.response));

        std::vector<std::string> trace = bench.trace();
        trace.erase(trace.begin(), trace.begin() + static_cast<long>(before));
        EXPECT_EQ(port_writes(trace), c.writes);
        // Every response byte and then the dummy byte of the idle state.
        std::vector<std::string> expected_reads;
        for (uint8_t b : c.response)
            expected_reads.push_back(hex({b}));
        expected_reads.push_back("00");
        EXPECT_EQ(data_port_reads(trace), expected_reads);
    }
}

TEST(KcsTransfer, AnEmptyRequestOnlyStartsTheWriteAndFailsTheReadStateCheck)
{
    RoadBench bench(Path::Kcs, one_bmc(kRegisters, kTracedPorts));
    INT8U none[1] = {0};
    EXPECT_EQ(Kcs_Write(none, 0), 1);
    EXPECT_EQ(port_writes(bench.trace()), std::vector<std::string>{"0x0CA3 61"});
    EXPECT_EQ(bench.log_lines(), std::vector<std::string>{"ERROR: Fail to transfer to read state ISA_STATE=80"});
    EXPECT_TRUE(bench.requests().empty());
}

TEST(KcsTransfer, ResponsesStopAfterTheThirtyFifthByte)
{
    for (size_t length : {3, 34, 35, 36, 40}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> answer{0x1C, 0x52, 0x00};
        for (size_t i = 3; i < length; ++i)
            answer.push_back(static_cast<uint8_t>(i));
        RoadBench bench(Path::Kcs, one_bmc(kRegisters + R"(, "faults": [{"response": ")" + hex(answer) + R"("}])",
                                           kFastPorts));
        INT8U request[] = {0x18, 0x52, 0x01, 0xC0, 0x01};
        ASSERT_EQ(Kcs_Write(request, sizeof request), 0);
        INT16S r;
        std::vector<uint8_t> got = read_response(&r);
        EXPECT_EQ(r, 0);
        size_t kept = std::min<size_t>(length, 35);
        EXPECT_EQ(hex(got), hex({answer.begin(), answer.begin() + static_cast<long>(kept)}));
        std::vector<std::string> errors;
        if (length >= 35)
            errors.push_back("ERROR: Response length too long (35)");
        EXPECT_EQ(bench.log_lines(), errors);

        // The interface left in the read state is taken back by the next request.
        ASSERT_EQ(Kcs_Write(request, sizeof request), 0);
        got = read_response(&r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(hex(got), "1C 52 00 00");
    }
}

TEST(KcsTransfer, ADeadStatusPortTimesTheWriteOutAfterExactly396Seconds)
{
    // Started 0.967296 s before the 32-bit microsecond count wraps, the wait
    // crosses the wrap and must still last its full time.
    for (const char* start : {"1000", "4294"}) {
        SCOPED_TRACE(start);
        RoadBench bench(Path::Kcs, std::string(R"({"port_access_ns": 20000, "clock": {"start": )") + start + "}}");
        uint64_t begin = bench.machine().clock.elapsed_us();
        INT8U request[] = {0x18, 0x52, 0x01, 0xC0, 0x01};
        EXPECT_EQ(Kcs_Write(request, sizeof request), 2);
        uint64_t waited = bench.machine().clock.elapsed_us() - begin;
        EXPECT_GT(waited, kWaitUs);
        EXPECT_LE(waited, kWaitUs + 120);  // the last poll and the status read for the message
        EXPECT_EQ(bench.log_lines(),
                  (std::vector<std::string>{"WaitIBFClear Timeout!", "ERROR: Wait IBF clear timeout ISA_IBF=2"}));
    }
}

TEST(KcsTransfer, TimeoutCountsOnAcrossTheWrapOfTheMicrosecondCount)
{
    struct Case {
        const char* start;  // the machine's clock at start, seconds
        uint64_t after_us;
        INT16S expired;
    };
    // 4294 s is 4,294,000,000 µs: 967,296 µs below 2^32.
    const Case cases[] = {
        {"1000", kWaitUs - 1, 0}, {"1000", kWaitUs, 0}, {"1000", kWaitUs + 1, 1},
        {"4294", kWaitUs - 1, 0}, {"4294", kWaitUs, 0}, {"4294", kWaitUs + 1, 1},
        {"4294", 967295, 0},      {"4294", 967297, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " +" + std::to_string(c.after_us));
        RoadBench bench(Path::Kcs, std::string(R"({"clock": {"start": )") + c.start + "}}");
        TIMER timer = 0;
        EXPECT_EQ(timeout(&timer, 0), 0);
        EXPECT_EQ(timer, static_cast<TIMER>(bench.machine().clock.epoch_us()));
        bench.machine().clock.advance(c.after_us);
        EXPECT_EQ(timeout(&timer, 72), c.expired);
    }
}

TEST(KcsTransfer, InterfaceFaultsEndThePhaseWithTheirResultAndMessage)
{
    struct Case {
        const char* fault;
        INT16S write_result;
        INT16S read_result;  // when the write went through
        std::vector<std::string> lines;
        uint64_t waited_us;  // at least, in the failing phase
    };
    const Case cases[] = {
        {R"({"kcs": "ibf_stuck"})", 2, 0, {"WaitIBFClear Timeout!", "ERROR: Wait IBF clear timeout ISA_IBF=2"}, kWaitUs},
        {R"({"kcs": "error_state"})", 1, 0, {"ERROR: Fail to transfer to read state ISA_STATE=c0"}, 0},
        {R"({"lose": true})", 0, 2, {"WaitOBFSet Timeout!", "ERROR: Wait no OBF in read state"}, kWaitUs},
        {R"({"kcs": "error_in_read"})", 0, 1, {"ERROR: Error State"}, 0},
        {R"({"kcs": "error_no_obf"})", 0, 2, {"ERROR: Wait no OBF in error state"}, kWaitUs},
        {R"({"kcs": "ibf_stuck_in_read"})", 0, 2, {"WaitIBFClear Timeout!", "ERROR: Wait IBF Error"}, kWaitUs},
        {R"({"kcs": "no_dummy"})", 0, 2, {"WaitOBFSet Timeout!", "ERROR: ISA_IDLE_STATE"}, kWaitUs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        RoadBench bench(Path::Kcs, one_bmc(kRegisters + R"(, "faults": [)" + c.fault + "]", kFastPorts));
        INT8U request[] = {0x18, 0x52, 0x01, 0xC0, 0x01};
        uint64_t begin = bench.machine().clock.elapsed_us();
        INT16S w = Kcs_Write(request, sizeof request);
        EXPECT_EQ(w, c.write_result);
        if (w == 0) {
            begin = bench.machine().clock.elapsed_us();
            INT8U buf[64];
            INT8U len = 0xEE;
            EXPECT_EQ(Kcs_Read(buf, &len), c.read_result);
            if (c.read_result == 1) {
                EXPECT_EQ(len, 1);  // the bytes read before the error
            }
        }
        uint64_t waited = bench.machine().clock.elapsed_us() - begin;
        EXPECT_GE(waited, c.waited_us);
        EXPECT_LT(waited, c.waited_us + 3000);  // the accesses of the phase itself
        EXPECT_EQ(bench.log_lines(), c.lines);
    }
}

}  // namespace
