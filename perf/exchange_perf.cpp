// SPDX-License-Identifier: MIT
// CPU cost of one exchange with the BMC on each road, measured against the
// simulated machine with zero BMC latency.
//
// The driver road's total includes the simulator answering the ioctls and
// the select; SimulatedDriverOnly makes the same seam calls without the
// tool, so the difference of the two is the tool's own cost. On the KCS road
// the tool's work is the port protocol itself: the counters give the port
// accesses of one exchange, and SimulatedPortAccess the simulator's cost of
// one of them.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <vector>

#include "bmc/discovery.h"
#include "bmc/road.h"
#include "bmc/exchange.h"
#include "bmc/lan/lan_road.h"
#include "bmc/lan/lan_secrets.h"
#include "bmc/lan/rmcp.h"
#include "common/settings.h"
#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"
#include "i2c/registers.h"
#include "os/os.h"

namespace {

const char* const kMachine = R"({"port_access_ns": 1000, "bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {
    "0x01": {"devices": [{"type": "registers", "address": "0xC0", "registers": {"0x63": "0x4D"}}]}}}]})";

// A register read at 0xC0 on bus 1, as the scan sends it thousands of times.
INT8U kRequest[] = {0x18, 0x52, 0x01, 0xC0, 0x01};

void open_driver_road()
{
    sim::install(sim::load_machine_json(kMachine));
    CMDL_VerboseLog = 0;
    fd = os::open("/dev/ipmi0", O_RDWR);
    OpenIPMIDriverLoaded = 1;
    Road = ROAD_DRIVER;
}

void open_kcs_road()
{
    sim::install(sim::load_machine_json(kMachine));
    CMDL_VerboseLog = 0;
    os::iopl(3);
    OpenIPMIDriverLoaded = 0;
    Road = ROAD_KCS;
    ISA_SMS_DATA = 0x0CA2;
    ISA_SMS_CMD_STATUS = 0x0CA3;
}

// The same register behind a BMC on the network (suites 17 and 3 offered),
// reached with --lan as admin: every exchange is sealed and opened on both
// sides (AES-CBC-128 and the suite's HMAC), so the figure is the tool's
// crypto and the simulated BMC's together, an upper bound of the tool's.
const char* const kLanMachine = R"({"bmcs": [{"lan": {"host": "bmc-a.lab",
    "users": [{"name": "admin", "password": "perf-secret"}], "cipher_suites": [17, 3]}, "buses": {
    "0x01": {"devices": [{"type": "registers", "address": "0xC0", "registers": {"0x63": "0x4D"}}]}}}]})";

bool open_lan_road(int suite)
{
    sim::install(sim::load_machine_json(kLanMachine));
    CMDL_VerboseLog = 0;
    LanBmcCount = 1;
    std::strcpy(LanHosts[0], "bmc-a.lab");
    LanPorts[0] = 623;
    std::strcpy(LanUser, "admin");
    LanPasswordSize = std::strlen("perf-secret");
    std::memcpy(LanPassword, "perf-secret", LanPasswordSize);
    CMDL_LanCipher = static_cast<unsigned char>(suite);
    CMDL_LanPrivilege = 4;
    CMDL_LanTimeoutMs = 300;
    CMDL_LanRetries = 4;
    OpenIPMIDriverLoaded = 0;
    Road = ROAD_LAN;
    return LanRoad_Open() == 1;
}

void count_exchanges(benchmark::State& state)
{
    // Per CPU second; the CPU column is the cost of one exchange.
    state.counters["exchanges/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The tool's exchange of kRequest, over whichever road is open.
void exchange_loop(benchmark::State& state)
{
    INT8U response[70];
    INT8U length = 0;
    for (auto _ : state) {
        if (!Kcs_Read_After_Write(kRequest, sizeof kRequest, response, &length)) {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(response);
    }
    count_exchanges(state);
}

void DriverExchange(benchmark::State& state)
{
    open_driver_road();
    exchange_loop(state);
}
BENCHMARK(DriverExchange);

// The seam calls of one driver exchange, made directly: send, select, receive.
void SimulatedDriverOnly(benchmark::State& state)
{
    open_driver_road();
    sim::Machine& m = sim::machine();
    unsigned char data[60];
    ipmi_system_interface_addr addr{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
    ipmi_system_interface_addr from{};
    long id = 0;
    for (auto _ : state) {
        ipmi_req req{};
        req.addr = reinterpret_cast<unsigned char*>(&addr);
        req.addr_len = sizeof addr;
        req.msgid = ++id;
        req.msg.netfn = kRequest[0] >> 2;
        req.msg.cmd = kRequest[1];
        req.msg.data = kRequest + 2;
        req.msg.data_len = sizeof kRequest - 2;
        m.ioctl(fd, IPMICTL_SEND_COMMAND, &req);
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval wait{30, 0};
        m.select(fd + 1, &set, nullptr, nullptr, &wait);
        ipmi_recv recv{};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof from;
        recv.msg.data = data;
        recv.msg.data_len = sizeof data;
        if (m.ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) != 0) {
            state.SkipWithError("receive failed");
            break;
        }
        benchmark::DoNotOptimize(data);
    }
    count_exchanges(state);
}
BENCHMARK(SimulatedDriverOnly);

void KcsExchange(benchmark::State& state)
{
    open_kcs_road();
    uint64_t start_us = sim::machine().clock.elapsed_us();
    exchange_loop(state);
    // One port access costs 1 µs of virtual time on this machine.
    double accesses = static_cast<double>(sim::machine().clock.elapsed_us() - start_us);
    state.counters["port accesses/exchange"] =
        benchmark::Counter(accesses / static_cast<double>(state.iterations()));
}
BENCHMARK(KcsExchange);

void SimulatedPortAccess(benchmark::State& state)
{
    open_kcs_road();
    sim::Machine& m = sim::machine();
    for (auto _ : state)
        benchmark::DoNotOptimize(m.inb(0x0CA3));
}
BENCHMARK(SimulatedPortAccess);

void RegisterRead(benchmark::State& state)
{
    open_driver_road();
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadQBreg(0x01, 0xC0, 0x63));
    // Two exchanges each: the pointer write and the read.
    state.counters["reads/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(RegisterRead);

}  // namespace

// One register read's exchange in the session, per cipher suite.
void LanExchange(benchmark::State& state)
{
    if (!open_lan_road(static_cast<int>(state.range(0)))) {
        state.SkipWithError("no session");
        return;
    }
    exchange_loop(state);
    LanRoad_Close();
}
BENCHMARK(LanExchange)->Arg(17)->Arg(3);

// The tool's own share of one exchange in the session, without a BMC: the
// request made into an IPMI LAN message and sealed (AES-CBC-128 and the
// integrity code), the answer checked, decrypted and read. The answer is
// sealed once, beforehand, with the same keys.
void LanToolOnly(benchmark::State& state)
{
    RmcpProtection keys{};
    keys.on = true;
    keys.hash = state.range(0) == 17 ? LAN_SHA256 : LAN_SHA1;
    for (size_t i = 0; i < LAN_MAX_DIGEST; ++i) {
        keys.k1[i] = static_cast<INT8U>(0x11 + i);
        keys.k2[i] = static_cast<INT8U>(0xA5 ^ i);
    }
    INT8U iv[LAN_AES_BLOCK] = {};
    // A register read's answer: NetFn/LUN, command, completion code, one byte.
    const INT8U answer_message[] = {0x81, 0x1C, 0x63, 0x20, 0x04, 0x52, 0x00, 0x77, 0x13};
    INT8U answer[LAN_MAX_PACKET];
    const size_t answer_size = RmcpV20(answer, RMCP_PAYLOAD_IPMI, 0x01020304, 1, answer_message,
                                       sizeof answer_message, &keys, iv);
    const INT8U request[] = {0x18, 0x52, 0x01, 0xC0, 0x01};
    INT8U message[LAN_MAX_MESSAGE], out[LAN_MAX_PACKET], data[LAN_MAX_MESSAGE];
    RmcpInbound in;
    for (auto _ : state) {
        const size_t m = IpmiLanRequest(message, request, sizeof request, 1);
        benchmark::DoNotOptimize(RmcpV20(out, RMCP_PAYLOAD_IPMI, 0x0A0B0C0D, 2, message, m, &keys, iv));
        INT8U rq_seq = 0;
        size_t data_size = 0;
        if (RmcpRead(answer, answer_size, &keys, &in) != RMCP_V20_PACKET ||
            !IpmiLanResponse(in.payload, in.size, &rq_seq, data, &data_size)) {
            state.SkipWithError("the sealed answer does not read back");
            return;
        }
        benchmark::DoNotOptimize(data);
    }
    state.counters["exchanges/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(LanToolOnly)->Arg(17)->Arg(3);

BENCHMARK_MAIN();
