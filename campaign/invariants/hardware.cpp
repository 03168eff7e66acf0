// SPDX-License-Identifier: MIT
#include "hardware.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <tuple>

#include "endings.h"
#include "tests/support/sha256_hex.h"

namespace campaign::invariants {

namespace {

// One upgrade cycle as the log shows it: its count line and the records the
// summary before it listed, each with whether its controller (found by bus
// number and address) runs the image's version at the end of the run. Once a
// controller runs the image it keeps it, so the end speaks for every cycle.
struct UpgradeCycle {
    std::string count_line;
    int counted = 0, parts = 0;
    std::vector<std::pair<std::string, bool>> records;  // "BusID:0x01 ADR:0xc0", on the image's version
};

std::vector<UpgradeCycle> upgrade_cycles(const Evidence& e, const Version& image)
{
    const RunningImages& final_images = e.flash.final_images;
    std::vector<UpgradeCycle> cycles;
    UpgradeCycle cycle;
    for (const std::string& line : e.whole_log) {
        unsigned index, bus, chip, fw1, fw2, address, config;
        if (line.starts_with("DEVICE SUMMARY")) {
            cycle.records.clear();
        } else if (std::sscanf(line.c_str(), "%u: BusID:0x%x ChipID:%u FW:[0x%x:0x%x] ADR:0x%x Config:0x%x", &index,
                               &bus, &chip, &fw1, &fw2, &address, &config) == 7) {
            auto v = final_images.at(static_cast<uint8_t>(bus & 0x0F), static_cast<uint8_t>(address));
            char name[32];
            std::snprintf(name, sizeof name, "BusID:0x%02x ADR:0x%02x", bus, address);
            cycle.records.emplace_back(name, v && *v == image);
        } else if (std::sscanf(line.c_str(), "Sucessfully Upgraded %d of %d parts", &cycle.counted, &cycle.parts) ==
                   2) {
            cycle.count_line = line;
            cycles.push_back(cycle);
        }
    }
    return cycles;
}

// The power-on mask of every mux that sits on a bus itself and that only
// the tool's requests switch (its bus's BMC does not switch it from the bus
// byte), by the name the trace gives it ("bmc0 bus 0x03 0xE6").
std::map<std::string, uint8_t> tool_switched_muxes(const Scenario& s)
{
    std::map<std::string, uint8_t> muxes;
    if (!s.machine.contains("bmcs"))
        return muxes;
    const nlohmann::json& bmcs = s.machine["bmcs"];
    for (size_t b = 0; b < bmcs.size(); ++b) {
        if (!bmcs[b].contains("buses"))
            continue;
        for (const auto& [key, bus] : bmcs[b]["buses"].items()) {
            if (bus.value("bmc_switches_mux", false) || !bus.contains("devices"))
                continue;
            for (const nlohmann::json& d : bus["devices"]) {
                if (d.value("type", "") != "mux")
                    continue;
                unsigned bus_byte = std::stoul(key, nullptr, 0), address = std::stoul(d["address"].get<std::string>(), nullptr, 0);
                unsigned mask = d.contains("mask") ? std::stoul(d["mask"].get<std::string>(), nullptr, 0) : 0;
                char name[40];
                std::snprintf(name, sizeof name, "bmc%zu bus 0x%02X 0x%02X", b, bus_byte, address);
                muxes[name] = static_cast<uint8_t>(mask);
            }
        }
    }
    return muxes;
}

}  // namespace

Finding downcopy(const Evidence& e) { return e.flash.downcopies; }

Finding old_image(const Evidence& e) { return e.flash.kept; }

// Updated carries over between the cycles of a pass and a version-matched
// record keeps it: both count records whose controllers do run the image's
// version, since a controller that matched by its registers runs it (the
// generator keeps every other version out of the image's byte range).
Finding upgrade_count(const Evidence& e)
{
    std::optional<Version> image = e.scenario.image_version();
    if (!image || e.trace.forged_success || e.log_lost)
        return std::nullopt;
    for (const UpgradeCycle& c : upgrade_cycles(e, *image)) {
        if (static_cast<size_t>(c.parts) != c.records.size())
            return "\"" + c.count_line + "\" after a summary of " + std::to_string(c.records.size()) + " records";
        auto on_image = std::count_if(c.records.begin(), c.records.end(), [](const auto& r) { return r.second; });
        if (c.counted > on_image)
            return "\"" + c.count_line + "\" but only " + std::to_string(on_image) + " of those records run FW " +
                   version_text(*image) + " afterwards";
    }
    return std::nullopt;
}

// Under --strict an exit status 0 says every controller of every upgrade
// cycle ended on the image's version.
Finding strict_zero(const Evidence& e)
{
    std::optional<Version> image = e.scenario.image_version();
    if (!e.scenario.strict() || !image || !e.exited_defined() || e.out.status != 0 || e.trace.forged_success ||
        e.log_lost)
        return std::nullopt;
    for (const UpgradeCycle& c : upgrade_cycles(e, *image))
        for (const auto& [record, on_image] : c.records)
            if (!on_image)
                return "exit status 0 under --strict, but the record " + record + " of \"" + c.count_line +
                       "\" does not run FW " + version_text(*image);
    return std::nullopt;
}

// Every ending but SIGKILL leaves the LEDs as a completed run of the same
// mode leaves them: every LED register the tool lit (a write of a value
// other than 0x00 that reached the BMC) it also put out again last. Not
// held to it: a run that did not end by itself, a table that was full (the
// 17th controller keeps its found marks), and an LED whose last lighting a
// fault followed on its BMC (the write that puts it out may never have
// reached the BMC).
Finding leds(const Evidence& e)
{
    const SignalEvent* stop = catchable_signal(e);
    bool by_signal = stop && e.out.signal == signal_number(stop->name);
    if (e.out.timed_out || killed(e) || (run_ended(e) && !by_signal))
        return std::nullopt;
    if (std::any_of(e.whole_log.begin(), e.whole_log.end(),
                    [](const std::string& l) { return l.starts_with("MAX CHIPS PER SYSTEM OF "); }))
        return std::nullopt;
    std::map<std::tuple<int, uint8_t, uint8_t, uint8_t>, const LedWrite*> last;
    for (const LedWrite& w : e.trace.led_writes)
        last[{w.bmc, w.bus, w.address, w.reg}] = &w;
    for (const auto& [key, w] : last) {
        if (w->value == 0)
            continue;
        if (std::any_of(e.trace.faults.begin(), e.trace.faults.end(),
                        [&](const auto& f) { return f.first == w->bmc && f.second > w->line; }))
            continue;
        char what[96];
        std::snprintf(what, sizeof what, "bmc%d bus 0x%02X 0x%02X register 0x%02X left at 0x%02X", w->bmc, w->bus,
                      w->address, w->reg, w->value);
        return std::string(what) + (by_signal ? " after " + stop->name : std::string(" at the end of the run"));
    }
    return std::nullopt;
}

// --image-sha256 HEX: a file with another digest is never programmed, and
// the file with that digest is never refused for it.
Finding image_digest(const Evidence& e)
{
    const std::vector<std::string> args = e.scenario.whole_args();
    auto at = std::find(args.begin(), args.end(), "--image-sha256");
    auto image = e.scenario.image ? e.scenario.files.find(*e.scenario.image) : e.scenario.files.end();
    if (at == args.end() || at + 1 == args.end() || image == e.scenario.files.end())
        return std::nullopt;
    std::string pinned = *(at + 1);
    std::transform(pinned.begin(), pinned.end(), pinned.begin(), [](unsigned char c) { return std::tolower(c); });
    bool refused = std::any_of(e.whole_log.begin(), e.whole_log.end(),
                               [](const std::string& l) { return l.starts_with("ERROR: Image file "); });
    if (pinned == qbtest::sha256_hex(image->second))
        return refused ? std::optional<std::string>("the image with the pinned digest was refused") : std::nullopt;
    if (!e.trace.flash.empty())
        return "an image whose digest is not " + pinned + " was programmed";
    return std::nullopt;
}

// --plan: no flash command reaches a controller; a plan that ran to its
// closing lines names as many controllers it would upgrade as its count
// says, and the exit status.
Finding planned(const Evidence& e)
{
    if (!e.scenario.plan())
        return std::nullopt;
    if (!e.trace.flash.empty())
        return "a plan sent a flash command: " + e.trace.flash.front().controller + " " +
               e.trace.flash.front().event;
    if (!e.exited_defined() || !closing_lines(e, e.out.status) || e.log_lost)
        return std::nullopt;  // ended before its plan: a conflict, the image, a BMC (or its log is not whole)
    std::optional<PlanEnd> end = plan_end(e);
    if (!end)
        return std::string("a plan ended without its closing line");
    if (static_cast<int>(end->code) != e.out.status)
        return "the plan's closing line shows code " + std::to_string(end->code) + ", the exit status is " +
               std::to_string(e.out.status);
    auto would = std::count_if(e.whole_log.begin(), e.whole_log.end(), [](const std::string& l) {
        return l.starts_with("Plan: BMC ") && l.find(": would upgrade from ") != std::string::npos;
    });
    if (would != end->would)
        return "the plan names " + std::to_string(would) + " controllers to upgrade, its closing line counts " +
               std::to_string(end->would);
    return std::nullopt;
}

// --read-only: no request writes more than one byte (a register number, an
// EEPROM offset or a mux's channels), so no register, LED or EEPROM byte;
// and every ending but SIGKILL leaves each mux that only the tool switches
// on the channels it had before the run, unless a fault fired on its BMC
// after its last change (the write that puts it back may not have reached it).
Finding read_only(const Evidence& e)
{
    if (!e.scenario.read_only())
        return std::nullopt;
    if (!e.trace.wide_writes.empty())
        return "a read-only run wrote: " + e.trace.wide_writes.front();
    const SignalEvent* stop = catchable_signal(e);
    bool by_signal = stop && e.out.signal == signal_number(stop->name);
    if (e.out.timed_out || killed(e) || (run_ended(e) && !by_signal))
        return std::nullopt;
    std::map<std::string, const MuxChange*> last;
    for (const MuxChange& c : e.trace.mux_changes)
        last[c.mux] = &c;
    for (const auto& [mux, mask] : tool_switched_muxes(e.scenario)) {
        auto it = last.find(mux);
        if (it == last.end() || it->second->mask == mask)
            continue;
        int bmc = std::stoi(mux.substr(3));
        if (std::any_of(e.trace.faults.begin(), e.trace.faults.end(),
                        [&](const auto& f) { return f.first == bmc && f.second > it->second->line; }))
            continue;
        char what[96];
        std::snprintf(what, sizeof what, "mux %s left on channels 0x%02X, found on 0x%02X", mux.c_str(),
                      it->second->mask, mask);
        return std::string(what) + (by_signal ? " after " + stop->name : std::string(" at the end of the run"));
    }
    return std::nullopt;
}

}  // namespace campaign::invariants
