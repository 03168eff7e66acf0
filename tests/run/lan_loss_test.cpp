// SPDX-License-Identifier: MIT
// A lost datagram never changes a byte the tool reports or writes. The LAN
// BMC drops, by rule, the answer (or the request) of one message the run
// depends on, or 5% of all datagrams both ways for a range of seeds: each
// run shows what the loss-free run shows (console, log, report, what the
// devices did), or ends with its clear failure. Among them the read whose
// answer is lost after the pointer write: sent again alone it would read
// the next register (73 00 where 40 73 is).
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "lan_roads.h"
#include "sim_run.h"

using namespace qbtest;
using nlohmann::json;

namespace {

using Args = std::vector<std::string>;

// The default machine, its QB4077's drive bytes 0x00 and 0x01 40 and 73:
// a read sent again alone after pointer 0 gives 73 where 40 is.
std::string ll_scan_machine()
{
    json m = json::parse(machine_file("default.json"));
    m["clock"]["start"] = 1700000000;
    json& registers = m["bmcs"][0]["buses"]["0x01"]["devices"][0]["registers"];
    registers["0x00"] = "0x40";
    registers["0x01"] = "0x73";
    return m.dump();
}

std::string ll_upgrade_machine()
{
    json m = json::parse(machine_file("upgrade_4077.json"));
    m["bmcs"][0]["buses"].erase("0x02");  // one controller is enough to flash
    return m.dump();
}

// What a run shows that a lost datagram must not change.
struct Outcome {
    int status = -1, signal = 0;
    Lines console, log;
    json report;
    Lines devices;
};

// The log without the lines of what is tried again: the controller's busy
// polls (while it erases or resets it refuses the dummy command, and a run
// that waited for a lost answer polls fewer times) and the I2C layer's
// sendings of a request the road got no answer to. What they ended in stays.
Lines ll_without_retries(const Lines& log)
{
    static const char* const kRetryLines[] = {
        "SMBus NACK (0x83)", "Retry countdown: ", "Retry Count Exceeded", "Delay 1 tick...",
        "Writing dummy command: ", "Kcs_Read_After_Write Returned 0.", "Function: i2c_master_", "No response",
        "Sent Cmd Buffer: ", "Sent Data (", "\t[BMC retry countdown "};
    Lines out;
    for (const std::string& line : log)
        if (!line.empty() && !(line.size() == 5 && line[0] == '[' && line[3] == ']') &&  // a byte sent: "[18] "
            std::ranges::none_of(kRetryLines, [&](const char* l) { return line.starts_with(l); }))
            out.push_back(line);
    return out;
}

Outcome ll_outcome(const SimDir& dir, const RunResult& r)
{
    return {r.status,
            r.signal,
            without_dates(without_road_lines(r.console)),
            ll_without_retries(without_dates(without_road_lines(dir.log()))),
            without_dates(report_without_road(dir.read("r.json"))),
            device_effects(r.trace)};
}

std::string ll_differences(const Outcome& expected, const Outcome& actual)
{
    std::string out;
    auto note = [&](const char* what, const std::string& d) {
        if (!d.empty())
            out += std::string(what) + ": " + d + "\n";
    };
    if (expected.status != actual.status || expected.signal != actual.signal)
        out += "exit " + std::to_string(actual.status) + " where the loss-free run has " +
               std::to_string(expected.status) + "\n";
    note("console", first_difference(expected.console, actual.console));
    note("log", first_difference(expected.log, actual.log));
    note("report", first_difference(expected.report, actual.report));
    note("devices", first_difference(expected.devices, actual.devices));
    return out;
}

// A run of `machine` over --lan with `faults` on its BMC.
struct LossRun {
    RunResult result;
    Outcome outcome;
    std::string trace;
};

LossRun ll_run(const std::string& machine, const Args& args, const json& faults, int cipher = 17,
               const json& lan = json::object())
{
    SimDir dir;
    LanSetUp setup{.cipher = cipher};
    setup.lan.update(lan);
    setup.lan["faults"] = faults;
    dir.machine(lan_machine(machine, setup));
    // A quarter of a full image: the flash protocol is the same, and a
    // random loss hits it as often per exchange.
    dir.write("fw_4077.bin", make_image(4096, {1, 2, 0}));
    Args all = lan_arguments(dir, 1, setup);
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--report", "r.json"});
    RunResult r = dir.run(all);
    Outcome o = ll_outcome(dir, r);
    return {r, o, r.trace};
}

const Args kScan{"-i", "-vpd", "-d", "-b11"};
const Args kUpgrade{"-u", "-f", "fw_4077.bin", "-b11"};

}  // namespace

TEST(LanLoss, OneDatagramLostByRuleChangesNothing)
{
    struct Case {
        const char* name;
        const Args& args;
        json fault;          // its "nth" comes from the loss-free run when `prefix` is set
        const char* prefix;  // the request bytes the fault acts on
        const char* after;   // ... the first of them right after this request
        json lan = json::object();  // the LAN BMC's own settings
    };
    const Case cases[] = {
        {"the answer of a pointer write", kScan, {{"message", "master_write_read"}, {"drop", true}},
         "18 52 01 C0 00 38", ""},
        {"the answer of the read after pointer 0 (40 73, never 73 00)", kScan, {{"drop", true}}, "18 52 01 C0 01",
         "18 52 01 C0 00 00"},
        {"the answer of the read after pointer 1", kScan, {{"drop", true}}, "18 52 01 C0 01", "18 52 01 C0 00 01"},
        {"the request of the read after pointer 0", kScan, {{"direction", "request"}, {"drop", true}},
         "18 52 01 C0 01", "18 52 01 C0 00 00"},
        {"the answer of a VPD read", kScan, {{"drop", true}}, "18 52 01 A0 10", "18 52 01 A0 00 10"},
        {"the answer of an LED write", kScan, {{"drop", true}}, "18 52 01 C0 00 42", ""},
        {"the answer of the read at 0x40", kScan, {{"drop", true}}, "18 52 01 40 0E", ""},
        {"the answer of Open Session", kScan, {{"message", "open_session"}, {"drop", true}}, "", ""},
        {"the answer of RAKP 1", kScan, {{"message", "rakp1"}, {"drop", true}}, "", ""},
        {"the answer of RAKP 3", kScan, {{"message", "rakp3"}, {"drop", true}}, "", ""},
        {"the answer of RAKP 3, from a BMC that answers it sent again inside the session", kScan,
         {{"message", "rakp3"}, {"drop", true}}, "", "", {{"repeated_rakp3", "in_session"}}},
        {"the request of RAKP 3", kScan, {{"direction", "request"}, {"message", "rakp3"}, {"drop", true}}, "", ""},
        {"the answer of Set Session Privilege Level", kScan, {{"message", "set_privilege"}, {"drop", true}}, "", ""},
        {"the answer of Close Session", kScan, {{"message", "close_session"}, {"drop", true}}, "", ""},
        {"the answer of the flash erase", kUpgrade, {{"drop", true}}, "18 52 01 C0 00 55 AA", ""},
        {"the answer of the read after the end of verification", kUpgrade, {{"drop", true}}, "18 52 01 C0",
         "18 52 01 C0 00 55 AA E2"},
    };
    std::map<const Args*, LossRun> loss_free;
    for (const Args* args : {&kScan, &kUpgrade})
        loss_free.emplace(args, ll_run(args == &kScan ? ll_scan_machine() : ll_upgrade_machine(), *args, json::array()));
    ASSERT_NE(loss_free.at(&kUpgrade).trace.find("downcopy and reset"), std::string::npos)
        << "the loss-free upgrade flashes nothing";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LossRun& reference = loss_free.at(&c.args);
        json fault = c.fault;
        if (*c.prefix) {
            const uint64_t nth = nth_request(reference.trace, c.prefix, c.after);
            ASSERT_GT(nth, 0u) << "the loss-free run sends no such request";
            fault["request"] = c.prefix;
            fault["nth"] = nth;
        }
        const LossRun lossy = ll_run(&c.args == &kScan ? ll_scan_machine() : ll_upgrade_machine(), c.args,
                                     json::array({fault}), 17, c.lan);
        EXPECT_NE(lossy.trace.find(" lan fault 0 #1 "), std::string::npos) << "the fault never fired";
        if (c.lan.contains("repeated_rakp3")) {
            EXPECT_NE(lossy.trace.find("rakp 4 in the session"), std::string::npos) << "RAKP 3 was not sent again";
        }
        EXPECT_EQ(ll_differences(reference.outcome, lossy.outcome), "");
        EXPECT_EQ(sessions_left_open(lossy.trace), Lines{});
    }
}

// A flash byte write or verify is not sent again as if nothing had
// happened: the controller may have taken it, and a refusal of the second
// sending proves nothing about the first. A lost answer there fails the
// upgrade where it happens, before the downcopy, so the controller keeps
// running its old image, and the run says so.
TEST(LanLoss, ALostFlashAnswerFailsTheUpgradeBeforeTheDowncopy)
{
    const LossRun reference = ll_run(ll_upgrade_machine(), kUpgrade, json::array());
    ASSERT_NE(reference.trace.find("downcopy and reset"), std::string::npos) << "the loss-free upgrade flashes nothing";
    for (const char* prefix : {"18 52 01 C0 00 55 AA E0 0A 00", "18 52 01 C0 00 55 AA E1 0A 00"}) {
        SCOPED_TRACE(prefix);
        json fault = {{"drop", true}, {"request", prefix}};
        fault["nth"] = nth_request(reference.trace, prefix, "");
        ASSERT_GT(fault["nth"].get<uint64_t>(), 0u);
        const LossRun lossy = ll_run(ll_upgrade_machine(), kUpgrade, json::array({fault}));
        EXPECT_NE(lossy.trace.find(" lan fault 0 #1 "), std::string::npos) << "the fault never fired";
        EXPECT_EQ(lossy.result.status, 4);
        EXPECT_EQ(lossy.trace.find("downcopy and reset"), std::string::npos);
        EXPECT_GT(count_containing(lossy.outcome.console, "Error writing data on SMBus"), 0u);
        EXPECT_EQ(sessions_left_open(lossy.trace), Lines{});
    }
}

// 5% of the datagrams lost both ways, at random: each run is the loss-free
// run, or it says it failed. Never an answer that is not the one asked for.
TEST(LanLoss, FivePercentLostAtRandomBothWays)
{
    struct Load {
        const char* name;
        std::string machine;
        const Args& args;
        int seeds;
    };
    const Load loads[] = {{"scan, VPD and diagnostics", ll_scan_machine(), kScan, 16},
                          {"QB4077 upgrade", ll_upgrade_machine(), kUpgrade, 3}};
    int equal = 0, failed = 0;
    for (const Load& load : loads) {
        for (int cipher : {17, 3}) {
            const LossRun reference = ll_run(load.machine, load.args, json::array(), cipher);
            for (int seed = 1; seed <= load.seeds; ++seed) {
                SCOPED_TRACE(std::string(load.name) + ", suite " + std::to_string(cipher) + ", seed " +
                             std::to_string(seed));
                const json chance = {{"direction", "both"}, {"message", "any"}, {"count", "all"},
                                     {"probability", 0.05}, {"seed", seed},     {"drop", true}};
                const LossRun lossy = ll_run(load.machine, load.args, json::array({chance}), cipher);
                EXPECT_NE(lossy.trace.find(" lan fault 0 #1 "), std::string::npos) << "nothing was lost";
                const std::string differences = ll_differences(reference.outcome, lossy.outcome);
                if (differences.empty()) {
                    ++equal;
                } else {
                    ++failed;
                    EXPECT_NE(lossy.result.status, 0) << differences;
                    EXPECT_GT(count_containing(lossy.outcome.console, "ERROR") +
                                  count_containing(lossy.outcome.console, "Error"),
                              0u)
                        << differences;
                }
                EXPECT_EQ(sessions_left_open(lossy.trace), Lines{});
            }
        }
    }
    RecordProperty("equal", equal);
    RecordProperty("failed", failed);
    EXPECT_GT(equal, failed) << "a 5% loss should mostly be carried";
}
