// SPDX-License-Identifier: MIT
#include "evidence.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>

#include "../hex.h"

namespace campaign::invariants {

namespace {

constexpr int kDefinedStatuses[] = {0, 1, 3, 4, 5, 6, 7, 171, 172};

std::optional<Version> version_in(const std::string& text)
{
    std::vector<uint8_t> b = bytes_from_spaced_hex(text);
    if (b.size() != 3)
        return std::nullopt;
    return Version{b[0], b[1], b[2]};
}

// The verification status the tool accepts: 55 AA E2, byte 3 non-zero, byte 4 zero.
bool accepted_status(const std::string& event)
{
    std::vector<uint8_t> b = bytes_from_spaced_hex(event.substr(7));
    return b.size() == 6 && b[0] == 0x55 && b[1] == 0xAA && b[2] == 0xE2 && b[3] != 0 && b[4] == 0;
}

// `whole_log` false: log.txt is not whole, and its lines cannot be counted on.
FlashWalk follow_flash(const Scenario& scenario, const TraceFacts& trace, const std::vector<std::string>& whole_log,
                       bool log_whole)
{
    FlashWalk walk(scenario);
    RunningImages& running = walk.final_images;
    std::map<std::string, bool> verified;  // per controller: the status since its last erase is accepted
    size_t copies = 0;
    auto note = [](Finding& to, const std::string& what) {
        if (!to)
            to = what;
    };
    for (const FlashEvent& f : trace.flash) {
        Version* now = running.of(f);
        if (!now) {
            note(walk.downcopies, "a flash event of " + f.controller + ", which the machine does not have");
            continue;
        }
        if (f.event.starts_with("erase")) {
            verified[f.controller] = false;
        } else if (f.event.starts_with("status ")) {
            verified[f.controller] = accepted_status(f.event);
        } else if (size_t at = f.event.find(", running FW "); at != std::string::npos) {
            std::optional<Version> v = version_in(f.event.substr(at + 13));
            if (!v)
                continue;
            if (f.event.starts_with("downcopy")) {
                ++copies;
                // A forged answer can make the tool accept a status the controller never gave.
                if (!verified[f.controller] && !trace.forged_success)
                    note(walk.downcopies,
                         f.controller + " took a downcopy without a verification status the tool accepts");
                if (auto image = scenario.image_version(); image && *v != *image)
                    note(walk.downcopies, f.controller + " runs FW " + version_text(*v) +
                                              " after its downcopy, not the image's " + version_text(*image));
                verified[f.controller] = false;
            } else if (*v != *now) {
                note(walk.kept, f.controller + " runs FW " + version_text(*v) + " after \"" + f.event.substr(0, at) +
                                    "\", not its old " + version_text(*now));
            }
            *now = *v;
        }
    }
    size_t verified_lines = static_cast<size_t>(
        std::count(whole_log.begin(), whole_log.end(), "Image verified OK. Replacing old image with new..."));
    if (copies > verified_lines && !trace.forged_success && log_whole)
        note(walk.downcopies, std::to_string(copies) + " downcopies, but the log reports only " +
                                  std::to_string(verified_lines) + " verified images");
    return walk;
}

// The last version each BMC pass read from every controller, as the log
// shows it, unless a scan of the pass missed the controller since: a pass
// begins with its "BmcOpen" line, a scan with "Entered ScanForQBdevices()",
// a controller it finds with "Found MODEL at I2C address 0xAA on Bus 0xBB"
// and its version registers with "FWIDn Reg ..."; a programming begins with
// "Updating firmware on bus 0xBB at I2C address 0xAA" and shows the version
// it reads before the erase and after the reset as "CHIP: FW:0x.. Major-REV:
// 0x.. Minor-Rev:0x.." and "Chip: FW:...". A version register whose read
// failed (a failure line between the register before it and its own line)
// leaves the version unknown.
using LastRead = std::map<std::pair<unsigned, unsigned>, std::optional<Version>>;  // bus, address

// The lines with which the I2C layer gives a transfer up.
bool transfer_failed(const std::string& line)
{
    return line == "Retry Count Exceeded" || line.starts_with("Response without completion code") ||
           line == "Invalid Data Field (0xcc)" || line.starts_with("Error: Length of response data") ||
           (line.starts_with("\t[BMC retries of ") && line.ends_with(" exceeded]"));
}

// `stopped_at`: the bus and address of the last controller the log shows a
// scan found, the one a signal may have stopped the scan at before the
// run recorded it.
std::vector<LastRead> last_reads(const Evidence& e, std::optional<std::pair<unsigned, unsigned>>* stopped_at)
{
    std::vector<LastRead> passes;
    std::optional<Version>* current = nullptr;  // the controller whose registers the scan dumps
    std::pair<unsigned, unsigned> flashed;      // the controller being programmed
    bool failed = false;                        // a transfer given up since the last register line
    for (const std::string& line : e.whole_log) {
        unsigned bus, address, reg, value, v[3];
        size_t at = line.find(" at I2C address 0x");
        if (transfer_failed(line)) {
            failed = true;
        } else if (line == "BmcOpen Success" || line == "BmcOpen Failed") {
            passes.emplace_back();
            current = nullptr;
        } else if (line == "Entered ScanForQBdevices()" && !passes.empty()) {
            passes.back().clear();
            current = nullptr;
        } else if (line.starts_with("Found ") && at != std::string::npos && !passes.empty() &&
                   std::sscanf(line.c_str() + at, " at I2C address 0x%x on Bus 0x%x", &address, &bus) == 2) {
            current = &passes.back()[{bus, address}];
            *current = Version{};
            *stopped_at = std::pair<unsigned, unsigned>{bus, address};
            failed = false;
        } else if (current && std::sscanf(line.c_str(), "FWID%*u Reg 0x%x:0x%x", &reg, &value) == 2 && reg >= 0x60 &&
                   reg <= 0x62) {
            if (failed)
                current->reset();
            else if (*current)
                (**current)[reg - 0x60] = static_cast<uint8_t>(value);
            failed = false;
        } else if (line.find("Reg 0x") != std::string::npos) {
            failed = false;
        } else if (std::sscanf(line.c_str(), "Updating firmware on bus 0x%x at I2C address 0x%x", &bus, &address) ==
                   2) {
            flashed = {bus, address};
            current = nullptr;
        } else if (!passes.empty() && (line.starts_with("CHIP: FW:") || line.starts_with("Chip: FW:")) &&
                   std::sscanf(line.c_str() + 9, "0x%x Major-REV:0x%x Minor-Rev:0x%x", &v[0], &v[1], &v[2]) == 3) {
            passes.back()[flashed] = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]),
                                      static_cast<uint8_t>(v[2])};
        }
    }
    return passes;
}

}  // namespace

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with('\r'))
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

// What a console line shows: a progress counter ends in "\r" and the next
// text overwrites it.
std::string shown(const std::string& line)
{
    size_t cr = line.rfind('\r');
    return cr == std::string::npos ? line : line.substr(cr + 1);
}

std::string version_text(const Version& v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", v[0], v[1], v[2]);
    return text;
}

Evidence::Evidence(const Scenario& s, const RunOutput& o)
    : scenario(s),
      out(o),
      log(split_lines(o.log.value_or(""))),
      console(split_lines(o.console)),
      trace(read_trace(o.trace)),
      flash(s)
{
    // The whole run's log: a second cycle moves the first one's log to logprev.txt.
    whole_log = split_lines(o.logprev.value_or(""));
    whole_log.insert(whole_log.end(), log.begin(), log.end());
    // A log the machine failed to open or write is not whole: what it
    // holds, or ends with, tells nothing (output-loss holds the run to
    // saying so).
    for (const FileFaultEvent& f : trace.file_faults)
        log_lost |= f.file == "log" && f.call != "rename";
    flash = follow_flash(s, trace, whole_log, !log_lost);
    // A report, capture or metrics file that cannot be written adds its
    // error line wherever the run ends; the ending is what comes without it.
    for (const std::string& l : log)
        if (!l.empty() && !report_error(l) && !l.starts_with("ERROR: Unable to write capture file ") &&
            !l.starts_with("ERROR: Unable to write metrics file "))
            log_tail.push_back(l);
    std::erase_if(console, [](const std::string& l) { return report_error(shown(l)); });
    errors = split_lines(o.errors);
}

bool Evidence::exited_defined() const
{
    return out.signal == 0 && !out.timed_out &&
           std::find(std::begin(kDefinedStatuses), std::end(kDefinedStatuses), out.status) !=
               std::end(kDefinedStatuses);
}

// The signal that stops the run: the first one sent whose handler ran (the
// tool catches every signal whose default action ends the process, and
// ignores SIGPIPE).
const SignalEvent* stop_signal(const Evidence& e)
{
    for (const SignalEvent& s : e.trace.signals)
        if (s.handled)
            return &s;
    return nullptr;
}

// The first signal sent that the tool must catch (every kind whose default
// action ends the process, but SIGKILL), whether a handler took it or not.
const SignalEvent* catchable_signal(const Evidence& e)
{
    for (const SignalEvent& s : e.trace.signals)
        if (s.name != "SIGKILL" && signal_number(s.name) > 0)
            return &s;
    return nullptr;
}

int signal_number(const std::string& name)
{
    static const std::pair<const char*, int> kNumbers[] = {
        {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},     {"SIGQUIT", SIGQUIT}, {"SIGTERM", SIGTERM},
        {"SIGALRM", SIGALRM}, {"SIGUSR1", SIGUSR1},   {"SIGUSR2", SIGUSR2}, {"SIGXCPU", SIGXCPU},
        {"SIGXFSZ", SIGXFSZ}, {"SIGVTALRM", SIGVTALRM}, {"SIGPROF", SIGPROF}, {"SIGPWR", SIGPWR},
        {"SIGIO", SIGIO},     {"SIGSTKFLT", SIGSTKFLT}, {"SIGKILL", SIGKILL}};
    for (const auto& [n, number] : kNumbers)
        if (name == n)
            return number;
    return -1;
}

// The machine sent SIGKILL and it ended the run: the one ending nothing in
// the tool can act on.
bool killed(const Evidence& e)
{
    return e.out.signal == SIGKILL && std::any_of(e.trace.signals.begin(), e.trace.signals.end(), [](const auto& s) {
               return s.name == "SIGKILL";
           });
}

// What the tool writes when a signal comes while a controller is programmed.
bool deferral_line(const std::string& line)
{
    return line.ends_with(" received: stopping at the controller's next safe point");
}

// Each controller's firmware_last_seen is the last version its pass read
// from it, null when a scan missed it since or a read of it failed (or
// when a signal stopped the scan at it).
Finding last_seen(const Evidence& e, const nlohmann::json& report)
{
    if (!e.out.log || e.log_lost)
        return std::nullopt;
    std::optional<std::pair<unsigned, unsigned>> stopped_at;
    std::vector<LastRead> passes = last_reads(e, &stopped_at);
    const nlohmann::json bmcs = report.value("bmcs", nlohmann::json::array());
    for (size_t pass = 0; pass < bmcs.size() && pass < passes.size(); ++pass) {
        for (const nlohmann::json& c : bmcs[pass].value("controllers", nlohmann::json::array())) {
            unsigned bus = 0, address = 0;
            std::sscanf(c.value("bus", "").c_str(), "0x%x", &bus);
            std::sscanf(c.value("address", "").c_str(), "0x%x", &address);
            auto seen = passes[pass].find({bus, address});
            nlohmann::json expected =
                seen == passes[pass].end() || !seen->second ? nlohmann::json() : nlohmann::json(*seen->second);
            const nlohmann::json reported = c.value("firmware_last_seen", nlohmann::json("missing"));
            // A signal that stopped the run while the scan dumped this
            // controller came before the scan recorded it: not seen yet.
            const bool stopped_here = e.out.signal && pass + 1 == passes.size() &&
                                      stopped_at == std::pair<unsigned, unsigned>{bus, address};
            if (reported != expected && !(stopped_here && reported.is_null()))
                return "the report's firmware_last_seen of bus " + c.value("bus", "") + " address " +
                       c.value("address", "") + " in BMC pass " + std::to_string(pass) + " is " +
                       c.value("firmware_last_seen", nlohmann::json()).dump() + ", the last version the pass read " +
                       expected.dump();
        }
    }
    return std::nullopt;
}

}  // namespace campaign::invariants
