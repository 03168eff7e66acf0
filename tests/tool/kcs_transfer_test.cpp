// SPDX-License-Identifier: MIT
// The tool's KCS host against the simulator's KCS BMC, port access by port
// access: the handshakes of a write and a read, the limits of the request
// and response lengths, and every wait that ends after 72 ticks of the
// virtual clock, also across the wrap of the 32-bit microsecond count.
#include <gtest/gtest.h>

#include "bmc/kcs/kcs_transfer.h"
#include "road_bench.h"

using namespace qbtest;

namespace {

constexpr uint64_t kWaitUs = 72 * 55000;  // 3.96 s
const std::vector<uint8_t> kRead1 = {0x18, 0x52, 0x01, 0xC0, 0x01};
// Port accesses of 20 µs: the waits end within a few µs of their time.
const std::string kFastPorts = R"("port_access_ns": 20000)";

INT16S write(std::vector<uint8_t> request) { return Kcs_Write(request.data(), static_cast<INT16U>(request.size())); }

// The response read as hex text, checking the result of the read.
std::string read(INT16S expected_result)
{
    INT8U buf[64] = {};
    INT8U len = 0;
    EXPECT_EQ(Kcs_Read(buf, &len), expected_result);
    return hex({buf, buf + len});
}

TEST(KcsTransfer, WritesEachByteAndAcknowledgesEachResponseByte)
{
    struct Case { std::vector<uint8_t> request; const char* writes; const char* response; };
    const Case cases[] = {  // every port write but the delay port's: the request, then READ for each response byte
        {kRead1, "A3=61 A2=18 A2=52 A2=01 A2=C0 A3=62 A2=01 A2=68 A2=68 A2=68 A2=68", "1C 52 00 4D"},
        // A one-byte request is its own last byte: WRITE_END comes before it.
        {{0x18}, "A3=61 A3=62 A2=18 A2=68 A2=68 A2=68", "1C 00 C1"},
        // An empty one only starts the write and never reaches the read state.
        {{}, "A3=61", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hex(c.request));
        RoadBench bench(Path::Kcs, road_machine("", kFastPorts + R"(, "trace_ports": true)"));
        EXPECT_EQ(write(c.request), c.request.empty() ? 1 : 0);
        if (c.response) {
            EXPECT_EQ(read(0), c.response);
        }
        std::string writes;
        for (const std::string& e : bench.trace()) {
            if (!e.starts_with("outb 0x0C"))
                continue;
            // Appended piece by piece: GCC 12 at -O3 takes `"literal" + string`
            // for an overlapping copy (-Wrestrict).
            if (!writes.empty())
                writes += ' ';
            writes.append(e, 9, 2).append("=").append(e, 12);
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(bench.log_lines(), c.request.empty() ? Lines{"ERROR: Fail to transfer to read state ISA_STATE=80"}
                                                       : Lines{});
    }
}

// The port reads of a trace, folded as a capture writes them: "s81 d00 s82*3".
std::string port_reads(const std::vector<std::string>& trace)
{
    std::vector<std::pair<std::string, int>> reads;
    for (const std::string& e : trace) {
        if (!e.starts_with("inb 0x0C"))
            continue;
        std::string read = std::string(e[9] == '3' ? "s" : "d") + e.substr(e.size() - 2);
        if (!reads.empty() && reads.back().first == read)
            ++reads.back().second;
        else
            reads.emplace_back(read, 1);
    }
    std::string out;
    for (const auto& [read, n] : reads)
        out += (out.empty() ? "" : " ") + read + (n > 1 ? "*" + std::to_string(n) : "");
    return out;
}

// An interface that puts a dummy byte after every byte written (the data
// register as the BMC last left it), holds the request's last byte (IBF)
// while the BMC works and shows no C/D flag, as QEMU's does: the tool reads
// the dummy bytes away and waits for IBF in the write phase, so an answer
// later than its wait fails the write phase, not the read phase.
TEST(KcsTransfer, AnInterfaceThatHoldsTheLastByteWhileBusyIsWaitedForInTheWritePhase)
{
    struct Case { uint64_t latency_us; INT16S write_result, read_result; const char* reads; Lines log; };
    const Case cases[] = {
        {100, 0, 0,
         "s00*2 s81*3 d00 s81*3 d00 s81*3 d00 s81*3 d00 s81*4 d00 s82*2 s41*4 d1C s41*3 d52 s41*3 d00 s41*3 d4D "
         "s01*3 d4D",
         {}},
        {kWaitUs + 100000, 2, 0, nullptr, {"WaitIBFClear Timeout!", "ERROR: Wait IBF clear timeout ISA_IBF=2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.latency_us);
        RoadBench bench(Path::Kcs, "{" + kFastPorts + R"(, "trace_ports": true, "bmcs": [{"kcs": 0,
            "kcs_handshake": {"dummy_after_write": true, "ibf_while_busy": true, "command_flag": false,
                              "dummy_is_last_byte": true}, "latency_us": )" +
                                       std::to_string(c.latency_us) + R"(, "buses": {"0x01": {"devices": [
            {"type": "bytes", "address": "0xC0", "contents": "4D"}]}}}]})");
        EXPECT_EQ(write(kRead1), c.write_result);
        if (c.reads) {
            EXPECT_EQ(read(c.read_result), "1C 52 00 4D");
            EXPECT_EQ(port_reads(bench.trace()), c.reads);
        }
        EXPECT_EQ(bench.log_lines(), c.log);
    }
}

TEST(KcsTransfer, ResponsesStopAfterTheThirtyFifthByte)
{
    for (long length : {34, 35, 40}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> answer{0x1C, 0x52, 0x00};
        while (answer.size() < static_cast<size_t>(length))
            answer.push_back(static_cast<uint8_t>(answer.size()));
        RoadBench bench(Path::Kcs, road_machine(R"({"response": ")" + hex(answer) + "\"}"));
        ASSERT_EQ(write(kRead1), 0);
        EXPECT_EQ(read(0), hex({answer.begin(), answer.begin() + std::min(length, 35L)}));
        EXPECT_EQ(bench.log_lines(), length < 35 ? Lines{} : Lines{"ERROR: Response length too long (35)"});
        // The interface left in the read state is taken back by the next request.
        ASSERT_EQ(write(kRead1), 0);
        EXPECT_EQ(read(0), "1C 52 00 4D");
    }
}

TEST(KcsTransfer, ATimeoutExpiresOnlyWhenMoreThanItsTicksHavePassedAlsoAcrossTheWrap)
{
    for (const char* start : {"1000", "4294"}) {  // 4294 s: 967,296 µs below 2^32 µs
        for (uint64_t after_us : {kWaitUs, kWaitUs + 1}) {
            SCOPED_TRACE(std::string(start) + " s + " + std::to_string(after_us) + " µs");
            RoadBench bench(Path::Kcs, std::string(R"({"clock": {"start": )") + start + "}}");
            TIMER timer = 0;
            EXPECT_EQ(timeout(&timer, 0), 0);
            sim::machine().clock.advance(after_us);
            EXPECT_EQ(timeout(&timer, 72), after_us > kWaitUs);
        }
    }
}

TEST(KcsTransfer, EachFailingWaitOrStateEndsThePhaseWithItsResultAndMessage)
{
    // The time waited in the failing phase, and at most how much longer its own accesses took.
    struct Case {
        std::string machine;
        INT16S write_result, read_result;
        Lines log;
        uint64_t waited_us, more_us = 3000;
    };
    auto fault = [](const char* rule) { return road_machine(rule, kFastPorts); };
    const Lines ibf_timeout = {"WaitIBFClear Timeout!", "ERROR: Wait IBF clear timeout ISA_IBF=2"};
    const Case cases[] = {
        // No BMC: the status port reads 0xFF. The wait starts 0.97 s before
        // the 32-bit microsecond count wraps and must still last its time.
        {"{" + kFastPorts + R"(, "clock": {"start": 4294}})", 2, 0, ibf_timeout, kWaitUs, 120},
        {fault(R"({"kcs": "ibf_stuck"})"), 2, 0, ibf_timeout, kWaitUs},
        {fault(R"({"kcs": "error_state"})"), 1, 0, {"ERROR: Fail to transfer to read state ISA_STATE=c0"}, 0},
        {fault(R"({"lose": true})"), 0, 2, {"WaitOBFSet Timeout!", "ERROR: Wait no OBF in read state"}, kWaitUs},
        {fault(R"({"kcs": "error_in_read"})"), 0, 1, {"ERROR: Error State"}, 0},
        {fault(R"({"kcs": "error_no_obf"})"), 0, 2, {"ERROR: Wait no OBF in error state"}, kWaitUs},
        {fault(R"({"kcs": "ibf_stuck_in_read"})"), 0, 2, {"WaitIBFClear Timeout!", "ERROR: Wait IBF Error"}, kWaitUs},
        {fault(R"({"kcs": "no_dummy"})"), 0, 2, {"WaitOBFSet Timeout!", "ERROR: ISA_IDLE_STATE"}, kWaitUs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.back());
        RoadBench bench(Path::Kcs, c.machine);
        uint64_t begin = bench.elapsed_us();
        EXPECT_EQ(write(kRead1), c.write_result);
        if (c.write_result == 0) {
            begin = bench.elapsed_us();
            EXPECT_EQ(read(c.read_result), c.read_result == 1 ? "1C" : "");  // what came before an error state
        }
        EXPECT_GT(bench.elapsed_us() - begin, c.waited_us);
        EXPECT_LE(bench.elapsed_us() - begin, c.waited_us + c.more_us);
        EXPECT_EQ(bench.log_lines(), c.log);
    }
}

}  // namespace
