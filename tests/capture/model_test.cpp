// SPDX-License-Identifier: MIT
// qb40sim-capture model: what it infers from a capture of a run on a known
// machine (the devices, their registers and contents, the buses a BMC
// refuses, a mux the BMC switches, the flash timing of an upgrade, fault
// rules for what no device explains) and what it says it could not know.
// The round trip (campaign/tests/round_trip_test.cpp) runs the tool on the
// model of every example machine; this checks the inference itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/capture/model_machine.h"
#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;

struct ModelCase {
    const char* name;
    std::string machine;
    std::vector<std::string> args;
    std::function<void(const sim::capture::Model&)> check;
};

// A fixture stays out of the anonymous namespace: the test files are compiled in batches.
class ModelInference : public testing::TestWithParam<ModelCase> {};

namespace {

// The device at `address` on `bus` of the model's first BMC (behind the
// bus's mux when `channel` is given), or null.
json model_device(const json& machine, const std::string& bus, const std::string& address,
                  const std::string& channel = "")
{
    const json& buses = machine["bmcs"][0]["buses"];
    if (!buses.contains(bus))
        return nullptr;
    for (const json& d : buses[bus]["devices"]) {
        if (channel.empty() && d["address"] == address)
            return d;
        if (!channel.empty() && d["type"] == "mux" && d["channels"].contains(channel))
            for (const json& inner : d["channels"][channel])
                if (inner["address"] == address)
                    return inner;
    }
    return nullptr;
}

bool notes_say(const json& machine, const std::string& words)
{
    for (const json& note : machine["inferred"])
        if (note.get<std::string>().find(words) != std::string::npos)
            return true;
    return false;
}

std::string controller_machine(const std::string& extra)
{
    return R"({"clock": {"start": 1700000000}, "bmcs": [{"node": "/dev/ipmi0", "buses": {
        "0x01": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0],
                              "revision": 3, "registers": {"0x30": 5, "0x36": "0x0F", "0x57": 33},
                              "erase_ms": 730, "reset_ms": 2200},
                             {"type": "eeprom", "address": "0xA0", "contents": "01 02 03 51 42 2D 34"}]},
        "0x02": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 73}]}})" +
           extra + "}]}";
}

const ModelCase kModelCases[] = {
    {"a report: controllers as read, the flash timing unknown",
     controller_machine(""),
     {"-a"},
     [](const sim::capture::Model& m) {
         json c = model_device(m.machine, "0x01", "0xC0");
         ASSERT_FALSE(c.is_null()) << m.machine.dump();
         EXPECT_EQ(c["type"], "qb40xx");
         EXPECT_EQ(c["chip_id"], 77);
         EXPECT_EQ(c["firmware"], json({1, 0, 0}));
         EXPECT_EQ(c["revision"], 3);
         EXPECT_EQ(c["registers"], json({{"0x30", "0x05"}, {"0x36", "0x0F"}, {"0x57", "0x21"}}));
         EXPECT_FALSE(c.contains("erase_ms"));
         EXPECT_TRUE(notes_say(m.machine, "erase time: not captured, default used"));
         EXPECT_EQ(model_device(m.machine, "0x02", "0xC0")["chip_id"], 73);
         // The scan asked for buses the BMC does not have: they stay refused.
         EXPECT_FALSE(m.machine["bmcs"][0]["buses"].contains("0x03"));
         EXPECT_EQ(m.fault_rules, 0u);
     }},
    {"an upgrade: erase and reset times within what the capture shows",
     controller_machine(""),
     {"-u", "-f", "fw_4077.bin"},
     [](const sim::capture::Model& m) {
         json c = model_device(m.machine, "0x01", "0xC0");
         ASSERT_FALSE(c.is_null()) << m.machine.dump();
         // The tool's dummy commands come a tick (55 ms) apart: refused at
         // about 715 ms, acknowledged at about 770. The model takes the middle,
         // not an edge that a late tick on a server would cross.
         int erase = c.value("erase_ms", 0);
         EXPECT_GT(erase, 730);
         EXPECT_LT(erase, 760);
         EXPECT_FALSE(notes_say(m.machine, "0x01 0xC0: erase time"));
         EXPECT_TRUE(c.contains("reset_ms"));
         EXPECT_EQ(m.fault_rules, 0u);
     }},
    {"the VPD: an EEPROM with the bytes read",
     controller_machine(""),
     {"-vpd", "-i"},
     [](const sim::capture::Model& m) {
         json e = model_device(m.machine, "0x01", "0xA0");
         ASSERT_FALSE(e.is_null()) << m.machine.dump();
         EXPECT_EQ(e["type"], "eeprom");
         EXPECT_EQ(e["contents"], "01 02 03 51 42 2D 34");
     }},
    {"a mux the BMC switches, its channels' controllers",
     qbtest::machine_file("mux_channels.json"),
     {"-mae6", "-i"},
     [](const sim::capture::Model& m) {
         const json& bus = m.machine["bmcs"][0]["buses"]["0x03"];
         EXPECT_EQ(bus.value("bmc_switches_mux", false), true) << bus.dump();
         EXPECT_EQ(model_device(m.machine, "0x03", "0xC0", "2")["chip_id"], 'L');
         EXPECT_EQ(model_device(m.machine, "0x03", "0xC0", "3")["chip_id"], 'P');
         EXPECT_EQ(model_device(m.machine, "0x03", "0xC0", "4")["chip_id"], 'T');
     }},
    {"a mux the tool switches",
     qbtest::machine_file("mux_channels.json"),
     {"-mae6", "-ms"},
     [](const sim::capture::Model& m) {
         const json& bus = m.machine["bmcs"][0]["buses"]["0x03"];
         EXPECT_FALSE(bus.value("bmc_switches_mux", false)) << bus.dump();
         EXPECT_EQ(model_device(m.machine, "0x03", "0xC0", "2")["chip_id"], 'L');
     }},
    {"a completion code no device gives: one rule at that request",
     controller_machine(R"(, "faults": [{"address": "0xC0", "request": "18 52 01 C0 01", "completion_code": "0x82", "nth": 2}])"),
     {"-a"},
     [](const sim::capture::Model& m) {
         ASSERT_EQ(m.fault_rules, 1u) << m.machine.dump();
         const json& rule = m.machine["bmcs"][0]["faults"][0];
         EXPECT_EQ(rule["request"], "18 52 01 C0 01");
         EXPECT_EQ(rule["nth"], 2);
         EXPECT_EQ(rule["response"], "1C 52 82");
         // The device itself is still inferred whole.
         EXPECT_EQ(model_device(m.machine, "0x01", "0xC0")["chip_id"], 77);
     }},
    {"a lost answer and a failing send",
     controller_machine(R"(, "faults": [{"request": "18 52 02 C0 00 63", "lose": true},
                                        {"road": "driver", "request": "18 52 01 C0 00 64", "send_errno": "EIO"}])"),
     {"-a"},
     [](const sim::capture::Model& m) {
         ASSERT_EQ(m.fault_rules, 2u) << m.machine.dump();
         const json& faults = m.machine["bmcs"][0]["faults"];
         EXPECT_TRUE(faults[0].value("send_errno", "") == "EIO" || faults[1].value("send_errno", "") == "EIO");
         EXPECT_TRUE(faults[0].value("lose", false) || faults[1].value("lose", false));
     }},
    {"a BMC's time to answer through the driver",
     controller_machine(R"(, "latency_us": 250)"),
     {"-a"},
     [](const sim::capture::Model& m) { EXPECT_EQ(m.machine["bmcs"][0].value("latency_us", 0), 250); }},
    {"a BMC's time to answer at the KCS ports, from the status reads before the answer",
     R"({"clock": {"start": 1700000000}, "driver": "absent", "port_access_ns": 1000, "bmcs": [{"kcs": 1,
         "latency_us": 537, "buses": {"0x01": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77}]}}}]})",
     {"-dio"},
     [](const sim::capture::Model& m) {
         const json& bmc = m.machine["bmcs"][0];
         EXPECT_EQ(bmc.value("kcs", -1), 1) << bmc.dump();
         EXPECT_FALSE(bmc.contains("node"));
         EXPECT_EQ(m.machine.value("port_access_ns", 0), 1000);
         // Known to one status read and its delay write: 2 us.
         int latency = bmc.value("latency_us", 0);
         EXPECT_GT(latency, 537 - 2);
         EXPECT_LE(latency, 537);
         EXPECT_EQ(m.machine.value("driver", ""), "absent");
     }},
    {"an operator's answer: at the look where it was read, not before its time",
     R"({"clock": {"start": 1700000000}, "driver": "loadable", "keys": [{"at": 2.5, "key": "y"}],
         "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})",
     {"-u"},
     [](const sim::capture::Model& m) {
         EXPECT_EQ(m.machine["driver"], "loadable");
         EXPECT_EQ(m.machine["keys"], json::parse(R"([{"look": 1, "at": 2.5, "key": 121}])"));
     }},
};

TEST_P(ModelInference, InfersWhatTheCaptureShows)
{
    const ModelCase& c = GetParam();
    SCOPED_TRACE(c.name);
    qbtest::SimDir dir;
    dir.machine(c.machine);
    dir.write("fw_4077.bin", qbtest::make_image(4096, {1, 2, 0}));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--capture", "c.jsonl"});
    dir.run(args);
    std::string capture = dir.read("c.jsonl");
    ASSERT_FALSE(capture.empty());
    sim::capture::Model m = sim::capture::model_machine(qbtest::lines(capture), std::nullopt);
    ASSERT_TRUE(m.machine.contains("inferred"));
    EXPECT_FALSE(m.machine.contains("replay"));
    c.check(m);
}

INSTANTIATE_TEST_SUITE_P(Captures, ModelInference, testing::ValuesIn(kModelCases),
                         [](const testing::TestParamInfo<ModelCase>& info) { return std::to_string(info.index); });

// Every time of the capture from `line` on, later by `us`: a sleep that
// lasted that much longer than asked, as a loaded server's ticks do.
std::vector<std::string> later_from(const std::vector<std::string>& lines, size_t line, uint64_t us)
{
    std::vector<std::string> out(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(line));
    for (size_t i = line; i < lines.size(); ++i) {
        json e = json::parse(lines[i]);
        for (const char* field : {"t", "st", "rt", "t1"})
            if (e.contains(field))
                e[field] = e[field].get<uint64_t>() + us;
        out.push_back(e.dump());
    }
    return out;
}

// On a server the tool's tick after the erase ran 45 ms late: the
// controller, busy for 105 ms, was still busy at that probe (100 ms) and
// ready at the next. On the model the simulator's exact ticks must find it
// so too: busy at 55 ms, ready at 110.
TEST(ModelTiming, ALateTickOnTheServerMovesNoProbeOnTheModel)
{
    qbtest::SimDir server;
    server.machine(R"({"clock": {"start": 1700000000}, "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices":
        [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0], "erase_ms": 105}]}}}]})");
    server.write("fw_4077.bin", qbtest::make_image(2048, {1, 2, 0}));
    const std::vector<std::string> args = {"-u", "-f", "fw_4077.bin", "--capture", "c.jsonl"};
    server.run(args);
    std::vector<std::string> capture = qbtest::lines(server.read("c.jsonl"));
    size_t erase = 0, tick = 0;
    for (size_t i = 1; i < capture.size() && !tick; ++i) {
        json e = json::parse(capture[i]);
        if (e.value("req", "").ends_with("55 AA EE"))
            erase = i;
        else if (erase && e.value("e", "") == "sleep")
            tick = i;
    }
    ASSERT_GT(tick, 0u) << "no tick after the erase";
    sim::capture::Model m = sim::capture::model_machine(later_from(capture, tick, 45000), std::nullopt);

    qbtest::SimDir replica;
    replica.machine(m.machine.dump());
    replica.write("fw_4077.bin", qbtest::make_image(2048, {1, 2, 0}));
    replica.run(args);
    EXPECT_EQ(replica.log(), server.log());
}

}  // namespace
