// SPDX-License-Identifier: MIT
// --read-only: a scan that writes nothing. Every mode it allows, on every
// example machine, sends no request that writes a register, an LED or an
// EEPROM byte; its summary and report are a normal run's apart from the
// found marks; a controller reached on two paths still counts once, and two
// identical ones twice; the modes that write are refused before anything is
// sent; a mux the tool switches is left as it was found.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;
using namespace qbtest;
using Args = std::vector<std::string>;

namespace {

struct Request {
    std::string event;
    std::vector<int> bytes;  // NetFn/LUN, command, bus, address, read count, bytes written
};

// Every request a BMC received, on either road.
std::vector<Request> ro_requests(const std::string& trace)
{
    std::vector<Request> out;
    for (const std::string& e : trace_events(trace)) {
        size_t at = e.find(" request");
        size_t colon = e.find(": ", at);
        if (at == std::string::npos || colon == std::string::npos)
            continue;
        Request r{e, {}};
        std::istringstream hex(e.substr(colon + 2));
        for (std::string byte; hex >> byte;)
            r.bytes.push_back(std::stoi(byte, nullptr, 16));
        out.push_back(r);
    }
    return out;
}

// What a read-only run must never do: a Master Write-Read that writes more
// than the one byte naming a register, an EEPROM offset or a mux's
// channels, or anything that changes an LED. Empty when it did neither.
std::string ro_writes(const std::string& trace)
{
    std::string found;
    for (const Request& r : ro_requests(trace))
        if (r.bytes.size() >= 2 && r.bytes[1] == 0x52 && r.bytes.size() > 6)
            found += r.event + "\n";
    for (const std::string& e : trace_events(trace))
        if (e.starts_with("led "))
            found += e + "\n";
    return found;
}

// The last channel mask each mux was switched to ("bmc0 bus 0x03 0xE6" -> "04").
std::map<std::string, std::string> ro_last_masks(const std::string& trace)
{
    std::map<std::string, std::string> last;
    for (const std::string& e : trace_events(trace)) {
        const std::string prefix = "mux ", middle = " channels ";
        size_t at = e.find(middle);
        if (e.starts_with(prefix) && at != std::string::npos)
            last[e.substr(prefix.size(), at - prefix.size())] = e.substr(at + middle.size());
    }
    return last;
}

std::vector<std::string> ro_example_machines()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QB40_SOURCE_DIR) / "sim" / "machines"))
        if (entry.path().extension() == ".json")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One QB40xx controller of a machine file.
json ro_controller(const std::string& address, int chip_id, json extra = json::object())
{
    json c = {{"type", "qb40xx"}, {"address", address}, {"chip_id", chip_id}, {"firmware", {1, 2, 0}},
              {"registers", {{"0x30", 3}, {"0x36", "0x0F"}, {"0x38", "0x07"}}}};
    c.update(extra);
    return c;
}

json ro_machine(json buses)
{
    return {{"clock", {{"start", 1700000000}}},
            {"keys", json::array()},
            {"bmcs", {{{"node", "/dev/ipmi0"}, {"buses", buses}}}}};
}

// The console without the line that counts the arguments.
std::string ro_without_argc(const std::string& console)
{
    std::string out;
    for (const std::string& line : lines(console))
        if (!line.starts_with("Raw command line: (argc:"))
            out += line + "\n";
    return out;
}

// The log without the lines that name the arguments and without the
// read-only run's own lines (its register-pointer tests, the muxes it put
// back).
std::string ro_log_without_own_lines(const std::string& log)
{
    std::string out;
    bool arguments = false;
    for (const std::string& line : lines(log)) {
        if (line.starts_with("Raw command line: (argc:"))
            arguments = true;
        else if (line == "Command line info: ")
            arguments = false;
        if (arguments || line.starts_with("Selected --read-only") || line.starts_with("Register pointer at ") ||
            line.starts_with("Mux at ") || line.starts_with("Locate and Fail read 0xff: passed over"))
            continue;
        out += line + "\n";
    }
    return out;
}

}  // namespace

TEST(ReadOnly, EveryAllowedModeOnEveryExampleMachineWritesNothing)
{
    const std::vector<Args> modes = {
        {"--read-only", "-dio"},
        {"--read-only", "-dio", "-i", "-vpd"},
        {"--read-only", "-dio", "-mae6", "-i"},
        {"--read-only", "-dio", "-mae6", "-ms", "-i", "-b0f"},
        {"--read-only", "-dio", "-sc02", "-b0f"},
        {"--read-only", "-dio", "--plan", "-u", "-f", "fw_4077.bin"},
        {"--read-only", "-dio", "--report", "r.json", "--capture", "c.jsonl", "--metrics", "m.prom", "-c2", "-cd1",
         "--strict", "--expect", "1"},
    };
    const std::string image = make_image(16384, {1, 2, 0});
    int runs = 0;
    for (const std::string& name : ro_example_machines()) {
        for (const Args& args : modes) {
            SCOPED_TRACE(name + " " + testing::PrintToString(args));
            SimDir dir;
            dir.machine(machine_file(name));
            dir.write("fw_4077.bin", image);
            auto r = dir.run(args);
            ++runs;
            EXPECT_EQ(r.console.find("not allowed with --read-only"), std::string::npos) << r.console;
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(ro_writes(r.trace), "");
            if (std::ranges::count(args, "-ms")) {
                for (const auto& [mux, mask] : ro_last_masks(r.trace))
                    EXPECT_EQ(mask, "00") << mux << " is not left as it was found";
            }
        }
    }
    EXPECT_GE(runs, 17 * 7);
}

TEST(ReadOnly, SummaryAndReportAreANormalRunsApartFromTheMarks)
{
    struct Case {
        std::string machine;
        Args args;
    };
    const Case cases[] = {
        {"default.json", {"-i"}},
        {"vpd_eeproms.json", {"-vpd", "-i"}},
        {"mux_channels.json", {"-b14", "-mae6", "-i"}},
        {"mux_channels.json", {"-b14", "-mae6", "-ms", "-i"}},
        {"mux_channels.json", {"-b33", "-sc02", "-i"}},  // a controller reached twice
        {"two_bmcs.json", {"-c2"}},
        {"seventeen_controllers.json", {"-b15", "-i"}},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Every example machine, as it is (lit marks included), as a plan sees
    // it: its scan, summary and plan lines.
    for (const std::string& name : ro_example_machines())
        all.push_back({name, {"--plan", "-f", "fw_4077.bin", "-b0f", "-i"}});
    const std::string image = make_image(16384, {1, 2, 0});
    for (const Case& c : all) {
        SCOPED_TRACE(c.machine + " " + testing::PrintToString(c.args));
        const std::string machine = with_keys(machine_file(c.machine), {});
        SimDir normal, read_only;
        normal.machine(machine);
        read_only.machine(machine);
        normal.write("fw_4077.bin", image);
        read_only.write("fw_4077.bin", image);
        Args args = c.args;
        args.insert(args.end(), {"--report", "r.json"});
        auto n = normal.run(args);
        args.push_back("--read-only");
        auto r = read_only.run(args);
        EXPECT_EQ(r.status, n.status);
        EXPECT_EQ(ro_without_argc(r.console), ro_without_argc(n.console));
        EXPECT_EQ(ro_log_without_own_lines(read_only.log()), ro_log_without_own_lines(normal.log()));
        EXPECT_EQ(ro_log_without_own_lines(read_only.logprev()), ro_log_without_own_lines(normal.logprev()));
        json report_n = json::parse(normal.read("r.json")), report_r = json::parse(read_only.read("r.json"));
        for (json* report : {&report_n, &report_r})
            report->erase("arguments");
        EXPECT_EQ(report_r.dump(1), report_n.dump(1));
        EXPECT_EQ(ro_writes(r.trace), "");
        if (std::ranges::count(c.args, "--plan") == 0 && !lines_starting(lines(n.console), "Valid device found").empty()) {
            EXPECT_NE(ro_writes(n.trace), "") << "the normal run marks what it finds";
        }
    }
}

TEST(ReadOnly, AControllerReachedOnTwoPathsCountsOnceAndTwoIdenticalOnesTwice)
{
    const json qb4077 = ro_controller("0xC0", 77);
    // A mux on bus 3 (the BMC switching it) with `behind` on its channels 2 and 3.
    auto mux_bus = [](json channel2, json channel3, json beside, const std::string& address = "0xE6",
                      bool bmc_switches = true) {
        json devices = {{{"type", "mux"}, {"address", address}, {"channels", {{"2", channel2}, {"3", channel3}}}}};
        for (const json& d : beside)
            devices.push_back(d);
        return json{{"0x03", {{"bmc_switches_mux", bmc_switches}, {"devices", devices}}}};
    };
    const json warming = ro_controller("0xC0", 77, {{"drift", {{"0x56", 3}, {"0x57", 1}, {"0x38", 1}, {"0x00", 1}}}});
    struct Case {
        std::string what;
        json buses;
        Args args;
        size_t controllers;
        size_t found_before;
    };
    const Case cases[] = {
        {"the plain bus byte reaches the mux's last channel, then the channel itself",
         json::parse(machine_file("mux_channels.json"))["bmcs"][0]["buses"], {"-b33", "-sc02", "-i"}, 2, 1},
        {"not behind the mux: it answers on every channel the BMC switches to",
         mux_bus({ro_controller("0xC2", 76)}, json::array(), {qb4077}), {"-b33", "-mae6", "-i"}, 2, 2},
        {"not behind the mux: it answers on every channel the tool switches to",
         mux_bus({ro_controller("0xC2", 76)}, json::array(), {qb4077}), {"-b33", "-mae6", "-ms", "-i"}, 2, 2},
        {"another bus byte that leads to the same bus", {{"0x01", {{"devices", {qb4077}}}}, {"0x09", {{"same_bus_as", "0x01"}}}},
         {"-b19"}, 1, 1},
        {"its temperatures, drive state and mated slots change between the two reads",
         {{"0x01", {{"devices", {warming}}}}, {"0x09", {{"same_bus_as", "0x01"}}}}, {"-b19"}, 1, 1},
        {"two identical backplanes on two buses", {{"0x01", {{"devices", {qb4077}}}}, {"0x02", {{"devices", {qb4077}}}}},
         {"-b12"}, 2, 0},
        {"two identical backplanes, each also reached through a second bus byte",
         {{"0x01", {{"devices", {qb4077}}}}, {"0x02", {{"devices", {qb4077}}}}, {"0x09", {{"same_bus_as", "0x01"}}},
          {"0x0A", {{"same_bus_as", "0x02"}}}},
         {"-b1a"}, 2, 2},
        {"two identical backplanes behind two channels of one mux", mux_bus({qb4077}, {qb4077}, json::array()),
         {"-b33", "-mae6"}, 2, 0},
        {"the same, the tool switching", mux_bus({qb4077}, {qb4077}, json::array()), {"-b33", "-mae6", "-ms"}, 2, 0},
        // The classic reads switch 0xE6 and the writes the -ma address: a
        // read-only test that read through another mux would merge these.
        {"two identical backplanes behind a mux at 0xE4, the tool switching",
         mux_bus({qb4077}, {qb4077}, json::array(), "0xE4", false), {"-b33", "-mae4", "-mc23", "-ms"}, 2, 0},
        {"not behind a mux at 0xE4: it answers on every channel the tool switches to",
         mux_bus({ro_controller("0xC2", 76)}, json::array(), {qb4077}, "0xE4", false), {"-b33", "-mae4", "-mc23", "-ms", "-i"},
         2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> summaries;
        for (bool read_only : {false, true}) {
            SimDir dir;
            dir.machine(ro_machine(c.buses).dump());
            Args args = c.args;
            if (read_only)
                args.push_back("--read-only");
            auto r = dir.run(args);
            ASSERT_EQ(r.status, 0) << r.console;
            auto console = lines(r.console);
            EXPECT_EQ(lines_starting(console, "Valid device found at address").size(), c.controllers) << read_only;
            EXPECT_EQ(count_lines(console, "(Device Found, but skipping it, since it was found before)"), c.found_before)
                << read_only;
            std::string summary;
            for (const std::string& line : lines_after(console, "DEVICE SUMMARY", console.size()))
                summary += line + "\n";
            summaries.push_back(summary);
            if (read_only) {
                EXPECT_EQ(ro_writes(r.trace), "");
                // No channel is ever selected on a mux the operator did not name.
                const std::string named = std::string(" 0x") + (std::ranges::count(c.args, "-mae4") ? "E4" : "E6");
                for (const auto& [mux, mask] : ro_last_masks(r.trace))
                    EXPECT_TRUE(mux.ends_with(named)) << mux;
            }
        }
        EXPECT_EQ(summaries[1], summaries[0]);
    }
}

TEST(ReadOnly, LitMarksArePassedOverAsTheMarkingScanPassesThemOver)
{
    // Two QB4077 on 1.0.0, the second one with Locate and Fail lit as a
    // killed run leaves them: the plan, the read-only plan and the upgrade
    // all tell of the first one alone.
    json machine = json::parse(machine_file("upgrade_4077.json"));
    machine["bmcs"][0]["buses"]["0x02"]["devices"][0]["registers"] = {{"0x42", "0xFF"}, {"0x44", "0xFF"}};
    const std::string kept = "(Device Found, but skipping it, since it was found before)";
    const std::string image = make_image(16384, {1, 2, 0});
    std::vector<std::string> plans;
    for (const Args& args : {Args{"--plan", "-f", "fw_4077.bin", "--report", "r.json"},
                             Args{"--plan", "--read-only", "-f", "fw_4077.bin", "--report", "r.json"},
                             Args{"-q", "-u", "--strict", "-f", "fw_4077.bin", "--report", "r.json"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        SimDir dir;
        dir.machine(machine.dump());
        dir.write("fw_4077.bin", image);
        auto r = dir.run(args);
        auto log = lines(dir.log());
        EXPECT_EQ(count_lines(log, kept), std::ranges::count(args, "--plan") ? 1u : 2u) << "once per scan";
        json report = json::parse(dir.read("r.json"));
        ASSERT_EQ(report["bmcs"][0]["controllers"].size(), 1u) << report.dump(1);
        EXPECT_EQ(report["bmcs"][0]["controllers"][0]["bus"], "0x01");
        if (std::ranges::count(args, "--plan")) {
            EXPECT_EQ(r.status, 4);
            plans.push_back(report["bmcs"].dump());
            EXPECT_EQ(lines_starting(log, "Plan: BMC 0 BusID:").size(), 1u);
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(report["bmcs"][0]["controllers"][0]["upgrade"], "upgraded");
        }
        if (std::ranges::count(args, "--read-only")) {
            EXPECT_EQ(count_lines(log, "Locate and Fail read 0xff: passed over as found before, as a marking scan "
                                       "passes it over"),
                      1u);
        }
    }
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[1], plans[0]);
}

TEST(ReadOnly, WhatWritesIsRefusedBeforeAnythingIsSent)
{
    const std::pair<Args, std::string> cases[] = {
        {{"--read-only", "-d"}, "ERROR: -d not allowed with --read-only [RETURN CODE:0x05]"},
        {{"-z", "--read-only"}, "ERROR: -z not allowed with --read-only [RETURN CODE:0x05]"},
        {{"--read-only", "-u", "-f", "fw_4077.bin"},
         "ERROR: An upgrade not allowed with --read-only (--plan tells what it would do) [RETURN CODE:0x05]"},
        {{"fw_4077.bin", "--read-only"},
         "ERROR: An upgrade not allowed with --read-only (--plan tells what it would do) [RETURN CODE:0x05]"},
        {{"--read-only", "-d", "--plan", "-f", "fw_4077.bin"}, "ERROR: -d not allowed with --plan [RETURN CODE:0x05]"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        SimDir dir;
        dir.write("fw_4077.bin", make_image(16384));
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        EXPECT_TRUE(r.console.ends_with(message + "\n\r\n")) << r.console;
        EXPECT_TRUE(dir.log().ends_with(message + "\n\n")) << dir.log();
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
    }
    // What only reads goes with it.
    SimDir dir;
    dir.machine(machine_file("upgrade_4077.json"));
    dir.write("fw_4077.bin", make_image(16384, {1, 2, 0}));
    for (const Args& args : {Args{"--read-only", "--plan", "-u", "-f", "fw_4077.bin"},
                             Args{"--read-only", "-mae6", "-ms", "-i", "-vpd", "-c2", "-cd1", "-a", "-vl"}}) {
        auto r = dir.run(args);
        EXPECT_NE(r.status, 5) << r.console;
        EXPECT_NE(r.trace, "");
    }
}

TEST(ReadOnly, AMuxTheToolSwitchesIsLeftAsItWasFound)
{
    // Channel 3 was on before the run; a normal -ms run leaves the mux on the
    // last channel it scanned, a read-only one gives it channel 3 back, also
    // when a signal stops it in the middle of the scan.
    json buses = {{"0x03",
                   {{"devices",
                     {{{"type", "mux"},
                       {"address", "0xE6"},
                       {"mask", "0x04"},
                       {"channels", {{"2", {ro_controller("0xC0", 77)}}, {"4", {ro_controller("0xC2", 80)}}}}}}}}}};
    const Args args = {"-b33", "-mae6", "-ms", "-i"};
    const std::string mux = "bmc0 bus 0x03 0xE6";
    SimDir dir;
    dir.machine(ro_machine(buses).dump());
    auto normal = dir.run(args);
    EXPECT_EQ(ro_last_masks(normal.trace)[mux], "08");
    Args read_only = args;
    read_only.push_back("--read-only");
    auto r = dir.run(read_only);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ro_last_masks(r.trace)[mux], "04");
    EXPECT_EQ(ro_writes(r.trace), "");
    auto log = lines(dir.log());
    EXPECT_EQ(missing_in_order(log, {"Mux at 0xe6 on BusID 0x03 found on channels 0x04",
                                     "Mux at 0xe6 on BusID 0x03 put back on channels 0x04"}),
              "");

    json machine = ro_machine(buses);
    machine["signals"] = {{{"at", 0.02}, {"signal", "TERM"}}};
    dir.machine(machine.dump());
    auto stopped = dir.run(read_only);
    EXPECT_EQ(stopped.signal, 15);
    EXPECT_NE(ro_last_masks(stopped.trace)[mux], "") << "the scan had switched the mux when the signal came";
    EXPECT_EQ(ro_last_masks(stopped.trace)[mux], "04");
}
