// The simulated BMC on its own: Master Write-Read over its buses, through a
// mux switched by the tool or by the BMC, the driver's device node as the
// Linux driver behaves, and fault rules that fire on the requests they name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <string>
#include <vector>

#include "bmc.h"
#include "machine.h"
#include "machine_file.h"
#include "sim_run.h"
#include "trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::BmcCore& core_of(const std::string& json)
{
    sim::install(sim::load_machine_json(json));
    return *sim::machine().bmcs.at(0).core;
}

std::string ask(sim::BmcCore& core, const Bytes& request)
{
    return sim::Trace::hex(core.handle(request));
}

const std::string kMuxMachine = R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {
    "0x03": {"bmc_switches_mux": true, "devices": [
        {"type": "mux", "address": "0xE6", "channels": {
            "2": [{"type": "registers", "address": "0xC0", "registers": {"0x00": "0x22"}}],
            "5": [{"type": "registers", "address": "0xC0", "registers": {"0x00": "0x55"}}]}},
        {"type": "registers", "address": "0xA0", "registers": {"0x00": "0xA0"}}]},
    "0x04": {"devices": [
        {"type": "mux", "address": "0xE6", "channels": {
            "1": [{"type": "registers", "address": "0xC2", "registers": {"0x00": "0x11"}}]}}]}}}]})";

TEST(Bmc, MasterWriteReadReachesTheDevicesOfItsBusesOnly)
{
    sim::BmcCore& core = core_of(kMuxMachine);
    struct Case {
        const char* name;
        Bytes request;
        const char* response;
    };
    const Case cases[] = {
        {"device on the bus", {0x18, 0x52, 0x03, 0xA0, 0x02, 0x00}, "1C 52 00 A0 00"},
        {"no such bus", {0x18, 0x52, 0x05, 0xA0, 0x01}, "1C 52 CC"},
        {"nobody at the address", {0x18, 0x52, 0x03, 0xB0, 0x01}, "1C 52 83"},
        {"write to nobody", {0x18, 0x52, 0x03, 0xB0, 0x00, 0x01}, "1C 52 83"},
        {"behind a mux that is off", {0x18, 0x52, 0x04, 0xC2, 0x01}, "1C 52 83"},
        {"mux switched to channel 1", {0x18, 0x52, 0x04, 0xE6, 0x00, 0x01}, "1C 52 00"},
        {"behind the mux now", {0x18, 0x52, 0x04, 0xC2, 0x01}, "1C 52 00 11"},
        {"the BMC switches channel 2", {0x18, 0x52, 0x23, 0xC0, 0x01}, "1C 52 00 22"},
        {"the BMC switches channel 5", {0x18, 0x52, 0x53, 0xC0, 0x01}, "1C 52 00 55"},
        {"channel 9 switches all off", {0x18, 0x52, 0x93, 0xC0, 0x01}, "1C 52 83"},
        {"a bus whose BMC does not switch", {0x18, 0x52, 0x14, 0xC2, 0x01}, "1C 52 CC"},
        {"unknown command", {0x18, 0x53, 0x03}, "1C 53 C1"},
        {"Master Write-Read without its fields", {0x18, 0x52, 0x03, 0xA0}, "1C 52 C7"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ask(core, c.request), c.response) << c.name;
}

TEST(Bmc, RegisterBankPointerWrapsAfterTheLastRegister)
{
    sim::BmcCore& core = core_of(R"({"bmcs": [{"buses": {"0x01": {"devices": [
        {"type": "registers", "address": "0xC0", "registers": {"0xFF": 1, "0x00": 2}}]}}}]})");
    EXPECT_EQ(ask(core, {0x18, 0x52, 0x01, 0xC0, 0x02, 0xFF}), "1C 52 00 01 02");
    EXPECT_EQ(ask(core, {0x18, 0x52, 0x01, 0xC0, 0x00, 0xFE, 7, 8, 9}), "1C 52 00");
    EXPECT_EQ(ask(core, {0x18, 0x52, 0x01, 0xC0, 0x03, 0xFE}), "1C 52 00 07 08 09");
}

// The driver's device node, used as a program would use it.
struct Node {
    int fd;
    ipmi_system_interface_addr addr{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};

    int send(long msgid, const Bytes& request)
    {
        Bytes data(request.begin() + 2, request.end());
        ipmi_req req{};
        req.addr = reinterpret_cast<unsigned char*>(&addr);
        req.addr_len = sizeof addr;
        req.msgid = msgid;
        req.msg.netfn = request[0] >> 2;
        req.msg.cmd = request[1];
        req.msg.data = data.data();
        req.msg.data_len = static_cast<unsigned short>(data.size());
        return sim::machine().ioctl(fd, IPMICTL_SEND_COMMAND, &req);
    }

    struct Received {
        int result;
        int error;
        long msgid;
        Bytes bytes;  // netfn, cmd, data as the driver handed them over
    };
    Received receive(unsigned long request, unsigned short room)
    {
        ipmi_system_interface_addr from{};
        Bytes data(room, 0xEE);
        ipmi_recv recv{};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof from;
        recv.msg.data = data.data();
        recv.msg.data_len = room;
        errno = 0;
        int r = sim::machine().ioctl(fd, request, &recv);
        Received out{r, errno, recv.msgid, {}};
        if (recv.msg.data_len <= room && (r == 0 || errno == EMSGSIZE)) {
            out.bytes.resize(2u + recv.msg.data_len);
            out.bytes[0] = recv.msg.netfn;
            out.bytes[1] = recv.msg.cmd;
            std::copy_n(data.begin(), recv.msg.data_len, out.bytes.begin() + 2);
        }
        return out;
    }
};

TEST(Bmc, TheDriverNodeEchoesIdsAndTruncatesAsTheDriverDoes)
{
    core_of(R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
        {"type": "registers", "address": "0xC0", "registers": {"0x00": 1, "0x01": 2, "0x02": 3, "0x03": 4}}]}}}]})");
    Node node{sim::machine().open("/dev/ipmi0", 2)};
    const Bytes read4 = {0x18, 0x52, 0x01, 0xC0, 0x04, 0x00};  // from register 0

    Node::Received nothing = node.receive(IPMICTL_RECEIVE_MSG_TRUNC, 60);
    EXPECT_EQ(nothing.result, -1);
    EXPECT_EQ(nothing.error, EAGAIN);

    ASSERT_EQ(node.send(4242, read4), 0);
    // Too small a buffer without truncation: refused, the message stays queued.
    Node::Received refused = node.receive(IPMICTL_RECEIVE_MSG, 3);
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(refused.error, EMSGSIZE);
    // With truncation: what fits is handed over and the call still fails.
    Node::Received cut = node.receive(IPMICTL_RECEIVE_MSG_TRUNC, 3);
    EXPECT_EQ(cut.result, -1);
    EXPECT_EQ(cut.error, EMSGSIZE);
    EXPECT_EQ(cut.msgid, 4242);
    EXPECT_EQ(sim::Trace::hex(cut.bytes), "07 52 00 01 02");
    // ... and the message is gone.
    EXPECT_EQ(node.receive(IPMICTL_RECEIVE_MSG_TRUNC, 60).error, EAGAIN);

    ASSERT_EQ(node.send(-7, read4), 0);
    Node::Received whole = node.receive(IPMICTL_RECEIVE_MSG_TRUNC, 60);
    EXPECT_EQ(whole.result, 0);
    EXPECT_EQ(whole.msgid, -7);
    EXPECT_EQ(sim::Trace::hex(whole.bytes), "07 52 00 01 02 03 04");

    node.addr.channel = 0;  // not the BMC's own channel
    errno = 0;
    EXPECT_EQ(node.send(1, read4), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Bmc, FaultRulesFireOnTheRequestsTheyName)
{
    struct Case {
        const char* rules;
        std::string outcomes;  // per request of the sequence: '.' clean, or the digit of the rule that fired
    };
    // The sequence: reads on bus 1 at C0, C2, C0, C2, C0, C2, C0, C2.
    const Case cases[] = {
        {R"([{"completion_code": "0x83"}])", "0......."},
        {R"([{"completion_code": "0x83", "nth": 3, "count": 2}])", "..00...."},
        {R"([{"completion_code": "0x83", "nth": 6, "count": "all"}])", ".....000"},
        {R"([{"completion_code": "0x83", "address": "0xC2", "nth": 2}])", "...0...."},
        {R"([{"completion_code": "0x83", "request": "18 52 01 C2", "count": 2}])", ".0.0...."},
        {R"([{"completion_code": "0x83", "bus": "0x02", "count": "all"}])", "........"},
        // The first rule that fires wins; the others still count the request.
        {R"([{"completion_code": "0x83", "nth": 2, "count": 2}, {"lose": true, "nth": 3, "count": 2}])", ".001...."},
        {R"([{"lose": true, "road": "kcs", "count": "all"}])", "........"},
        {R"([{"wrong_id": true, "count": "all"}, {"kcs": "error_state", "count": "all"}])", "00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        sim::BmcCore& core = core_of(std::string(R"({"bmcs": [{"node": "/dev/ipmi0", "faults": )") + c.rules + "}]}");
        std::string outcomes;
        for (int i = 0; i < 8; ++i) {
            std::vector<uint64_t> before;
            for (size_t r = 0; r < core.faults().rules(); ++r)
                before.push_back(core.faults().injected(r));
            uint8_t addr = i % 2 ? 0xC2 : 0xC0;
            bool faulted = core.exchange(sim::Road::Driver, Bytes{0x18, 0x52, 0x01, addr, 0x01}).fault.has_value();
            char fired = '.';
            for (size_t r = 0; r < core.faults().rules(); ++r)
                if (core.faults().injected(r) != before[r])
                    fired = static_cast<char>('0' + r);
            EXPECT_EQ(faulted, fired != '.');
            outcomes += fired;
        }
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_EQ(core.faults().injected(), static_cast<uint64_t>(8 - std::count(outcomes.begin(), outcomes.end(), '.')));
    }
}

TEST(Bmc, RandomFaultsRepeatWithTheirSeed)
{
    auto pattern = [](const char* seed) {
        sim::BmcCore& core = core_of(std::string(R"({"bmcs": [{"faults": [{"completion_code": "0x81", "count": "all",
            "probability": 0.5, "seed": )") + seed + "}]}]}");
        std::string p;
        for (int i = 0; i < 64; ++i)
            p += core.exchange(sim::Road::Kcs, Bytes{0x18, 0x52, 0x01, 0xC0, 0x01}).fault ? 'x' : '.';
        return p;
    };
    std::string a = pattern("7");
    EXPECT_EQ(a, pattern("7"));
    EXPECT_NE(a, pattern("8"));
    size_t fired = static_cast<size_t>(std::count(a.begin(), a.end(), 'x'));
    EXPECT_GT(fired, 16u);
    EXPECT_LT(fired, 48u);
}

TEST(Bmc, InjectedFaultsAreTraced)
{
    qbtest::SimDir dir;
    dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {}, "faults": [
        {"completion_code": "0x83", "count": 2}, {"send_errno": "EBUSY", "nth": 3}]}]})");
    qbtest::RunResult r = dir.run({"-b11"});
    EXPECT_EQ(qbtest::missing_in_order(qbtest::trace_events(r.trace),
                                       {"bmc0 driver request id 1: 18 52 01 C0 00 63",
                                        "bmc0 fault 0 #1 on driver request: completion code 83",
                                        "bmc0 fault 0 #2 on driver request: completion code 83",
                                        "bmc0 fault 1 #1 on driver request: send fails EBUSY"}),
              "");
}

TEST(Bmc, FaultRulesThatCannotWorkAreRefusedByField)
{
    struct Case {
        const char* faults;
        const char* field;
    };
    const Case cases[] = {
        {R"([{"nth": 2}])", "bmcs[0].faults[0]"},
        {R"([{"lose": true, "colour": 1}])", "bmcs[0].faults[0].colour"},
        {R"([{"kcs": "sideways"}])", "bmcs[0].faults[0].kcs"},
        {R"([{"kcs": "error_state", "road": "driver"}])", "bmcs[0].faults[0]"},
        {R"([{"wrong_id": true, "road": "kcs"}])", "bmcs[0].faults[0]"},
        {R"([{"lose": true, "for_ms": 5}])", "bmcs[0].faults[0].for_ms"},
        {R"([{"send_errno": "EWHAT"}])", "bmcs[0].faults[0].send_errno"},
        {R"([{"lose": true, "probability": 2}])", "bmcs[0].faults[0].probability"},
        {R"([{"response": "1C"}])", "bmcs[0].faults[0].response"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        try {
            sim::load_machine_json(std::string(R"({"bmcs": [{"faults": )") + c.faults + "}]}");
            ADD_FAILURE() << "accepted";
        } catch (const sim::MachineFileError& e) {
            EXPECT_EQ(e.field(), c.field) << e.what();
        }
    }
}

}  // namespace
