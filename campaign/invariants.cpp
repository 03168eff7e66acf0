// SPDX-License-Identifier: MIT
#include "invariants.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>

#include "hex.h"
#include "metrics_reading.h"
#include "trace_facts.h"
#include "tests/support/sha256_hex.h"

namespace campaign {

namespace {

constexpr int kDefinedStatuses[] = {0, 1, 3, 4, 5, 6, 7, 171, 172};

// How the simulator itself ends a run it cannot go on with (sim/README.md),
// and the status the campaign gives a sanitizer report (run.cpp).
struct SimulatorStop {
    int status;
    const char* meaning;
};
constexpr SimulatorStop kSimulatorStops[] = {
    {2, "the simulator refused the machine file"},
    {86, "sanitizer report"},
    {98, "a select() that would wait forever"},
    {139, "a port access without I/O privilege"},
};

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

std::optional<Version> version_in(const std::string& text)
{
    std::vector<uint8_t> b = bytes_from_spaced_hex(text);
    if (b.size() != 3)
        return std::nullopt;
    return Version{b[0], b[1], b[2]};
}

using Finding = std::optional<std::string>;

// What a controller runs, followed through the trace from power-on.
class RunningImages {
public:
    explicit RunningImages(const Scenario& s)
    {
        for (const ControllerModel& c : s.controllers)
            running_[{c.bmc, c.bus, c.address}] = c.firmware;
    }
    Version* of(const FlashEvent& f)
    {
        auto it = running_.find({f.bmc, f.bus, f.address});
        return it == running_.end() ? nullptr : &it->second;
    }
    std::optional<Version> at(uint8_t bus, uint8_t address) const
    {
        for (const auto& [key, version] : running_)
            if (std::get<1>(key) == bus && std::get<2>(key) == address)
                return version;
        return std::nullopt;
    }

private:
    std::map<std::tuple<int, uint8_t, uint8_t>, Version> running_;
};

// The verification status the tool accepts: 55 AA E2, byte 3 non-zero, byte 4 zero.
bool accepted_status(const std::string& event)
{
    std::vector<uint8_t> b = bytes_from_spaced_hex(event.substr(7));
    return b.size() == 6 && b[0] == 0x55 && b[1] == 0xAA && b[2] == 0xE2 && b[3] != 0 && b[4] == 0;
}

// What every controller's flash events add up to: the finding of the
// downcopy rule, that of the old-image rule, and the images running at the end.
struct FlashWalk {
    explicit FlashWalk(const Scenario& s) : final_images(s) {}
    Finding downcopies, kept;
    RunningImages final_images;
};

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

// Everything the checks read, taken apart once.
struct Evidence {
    Evidence(const Scenario& s, const RunOutput& o)
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

    static bool report_error(const std::string& line)
    {
        return line.starts_with("ERROR: Unable to write report file ");
    }
    // The run said that a file of `kind` ("log", "report", "capture") was lost.
    bool said_lost(const std::string& kind) const
    {
        const std::string start = "ERROR: Unable to write " + kind + " file ";
        auto said = [&](const std::string& l) { return l.starts_with(start); };
        return std::any_of(errors.begin(), errors.end(), said) || std::any_of(whole_log.begin(), whole_log.end(), said);
    }

    bool exited_defined() const
    {
        return out.signal == 0 && !out.timed_out &&
               std::find(std::begin(kDefinedStatuses), std::end(kDefinedStatuses), out.status) !=
                   std::end(kDefinedStatuses);
    }
    // The n-th non-empty line of log.txt from the end (0: the last), "" if none.
    std::string last(size_t n = 0) const { return n < log_tail.size() ? log_tail[log_tail.size() - 1 - n] : ""; }
    bool logged(const std::string& line) const
    {
        return std::find(whole_log.begin(), whole_log.end(), line) != whole_log.end();
    }

    const Scenario& scenario;
    const RunOutput& out;
    std::vector<std::string> log, console, whole_log, log_tail, errors;
    TraceFacts trace;
    FlashWalk flash;
    bool log_lost = false;
};

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

Finding run_ended(const Evidence& e)
{
    if (e.out.timed_out)
        return "no end within the real-time bound; killed";
    const SignalEvent* stop = stop_signal(e);
    if (e.out.signal && !(stop && e.out.signal == signal_number(stop->name)) && !killed(e))
        return "killed by signal " + std::to_string(e.out.signal);
    for (const std::string& line : split_lines(e.out.errors))
        if (line.find("Sanitizer") != std::string::npos || line.find("runtime error:") != std::string::npos)
            return "sanitizer: " + line;
    for (const SimulatorStop& stop : kSimulatorStops)
        if (e.out.status == stop.status)
            return std::string(stop.meaning) + " (exit status " + std::to_string(stop.status) + ")";
    return std::nullopt;
}

Finding exit_status(const Evidence& e)
{
    if (e.out.signal || e.out.timed_out || e.exited_defined())
        return std::nullopt;
    for (const SimulatorStop& stop : kSimulatorStops)
        if (e.out.status == stop.status)
            return std::nullopt;  // reported as the run's end
    return "exit status " + std::to_string(e.out.status) + " is none the tool defines";
}

// The endings, one per exit path.
bool closing_lines(const Evidence& e, int code)
{
    char line[48];
    std::snprintf(line, sizeof line, "Exited with return code: 0x%02x", code);
    return e.last() == line && e.last(1).starts_with("Finished: ");
}

bool help_only(const Evidence& e) { return e.last() == "Command-Line help only"; }

// A help run under --strict that lost a file it writes (the metrics: its
// lines that say which are not in the tail) says so after the help's own
// last line.
bool help_then_lost(const Evidence& e)
{
    return e.last() == "ERROR: Not every file of the run was written [RETURN CODE:0x07]" &&
           e.last(1) == "Command-Line help only";
}

bool image_refused(const Evidence& e)
{
    const std::string cause = e.last(1);
    return e.last() == "Kcs Close" && cause.ends_with("[RETURN CODE:0x01]") &&
           (cause.starts_with("ERROR: Can't open file ") || cause.starts_with("ERROR: Can't read file ") ||
            cause.starts_with("ERROR: Invalid file size for QB") || cause.starts_with("ERROR: Image file "));
}

bool refused_before_the_log(const Evidence& e)
{
    // The parser's errors come before the log is started and reach the console only.
    if (e.out.log || e.out.logprev)
        return false;
    return e.console.empty() || (e.console.size() == 1 && shown(e.console[0]).starts_with("ERROR: ") &&
                                 e.console[0].ends_with("[RETURN CODE:0x05]"));
}

bool option_conflict(const Evidence& e)
{
    static const char* const kConflicts[] = {
        "ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x05]",
        "ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x05]",
        "ERROR: Manual Sending of Mux commands \"-ms\" specified without MuxAddress \"-ma[NUM]\" [RETURN CODE:0x05]",
        "ERROR: --plan needs an image file (-f FILE) [RETURN CODE:0x05]",
        "ERROR: -c not allowed with --plan [RETURN CODE:0x05]",
        "ERROR: -d not allowed with --plan [RETURN CODE:0x05]",
        "ERROR: -z not allowed with --plan [RETURN CODE:0x05]",
        "ERROR: -d not allowed with --read-only [RETURN CODE:0x05]",
        "ERROR: -z not allowed with --read-only [RETURN CODE:0x05]",
        "ERROR: An upgrade not allowed with --read-only (--plan tells what it would do) [RETURN CODE:0x05]",
    };
    return std::find(std::begin(kConflicts), std::end(kConflicts), e.last()) != std::end(kConflicts);
}

bool family_mismatch(const Evidence& e)
{
    return e.last().starts_with("Chip ID Mismatch. ChipCounter:") &&
           (e.console.empty() ||
            shown(e.console.back()) == "ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]");
}

// --report named a file the report must never take the place of (said on
// the console too, where a lost log cannot tell it).
bool report_refused(const Evidence& e)
{
    auto refusal = [](const std::string& l) {
        return l.starts_with("ERROR: Refusing to write report file ") && l.ends_with("[RETURN CODE:0x05]");
    };
    return refusal(e.last()) ||
           (e.log_lost && std::any_of(e.console.begin(), e.console.end(), [&](const std::string& l) {
                return refusal(shown(l));
            }));
}

// The report's first record could not be written: the run does not begin.
bool report_unwritable(const Evidence& e)
{
    return e.last() == "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]";
}

bool bmc_open_failed(const Evidence& e) { return e.last() == "[RETURN CODE:0xac]" && e.last(1) == "BmcOpen Failed"; }

bool diagnostics_aborted(const Evidence& e) { return e.last() == "    [ESC] Key pressed. Diagnostics aborted."; }

// A code set by the upgrade path, with the closing lines: its cause is in the log.
bool closing_with_cause(const Evidence& e)
{
    int code = e.out.status;
    if (!closing_lines(e, code))
        return false;
    auto has_line = [&](auto&& match) { return std::any_of(e.whole_log.begin(), e.whole_log.end(), match); };
    switch (code) {
    case 3:
        return e.logged("Upgrade Aborted");
    case 4:  // under --strict also a full device table
        return has_line([](const std::string& l) {
            int n, m;
            return (std::sscanf(l.c_str(), "Sucessfully Upgraded %d of %d parts", &n, &m) == 2 && n < m) ||
                   l.find(" controllers not upgraded: the device table holds ") != std::string::npos;
        });
    case 6:
        return has_line([](const std::string& l) { return l.find("Diagnostics aborted") != std::string::npos; });
    case 171:  // under --strict also an upgrade without a BMC
        return has_line([](const std::string& l) {
            return l.starts_with("No Devices Found [RETURN CODE:0x") ||
                   l.starts_with("ERROR: No BMC found, no controller upgraded [RETURN CODE:0xab]");
        });
    default:
        return true;
    }
}

// A plan's closing line: "Plan: 1 of 2 controllers would be upgraded;
// nothing was written [RETURN CODE:0x04]".
struct PlanEnd {
    int would = 0;
    int of = 0;
    unsigned code = 0;
};

std::optional<PlanEnd> plan_end(const Evidence& e)
{
    for (auto line = e.whole_log.rbegin(); line != e.whole_log.rend(); ++line) {
        PlanEnd end;
        if (std::sscanf(line->c_str(),
                        "Plan: %d of %d controllers would be upgraded; nothing was written [RETURN CODE:0x%x]",
                        &end.would, &end.of, &end.code) == 3)
            return end;
    }
    return std::nullopt;
}

// Whether the log ends the way the path that exits with `status` ends it.
bool ends_as(const Evidence& e, int status)
{
    // A plan that ran to its end has its own closing line before the
    // closing lines (the plan invariant weighs what it says).
    if (e.scenario.plan() && closing_lines(e, status) && plan_end(e))
        return true;
    switch (status) {
    case 0:
        return closing_lines(e, 0) || help_only(e);
    case 1:
        return image_refused(e);
    case 5:
        return refused_before_the_log(e) || option_conflict(e) || family_mismatch(e) || report_refused(e) ||
               report_unwritable(e);
    case 7:  // --strict: a file lost; after the log was closed, the log still shows the 0 it made 7 of
        return closing_lines(e, 7) || help_then_lost(e) || ((closing_lines(e, 0) || help_only(e)) &&
                                       (e.said_lost("capture") || e.said_lost("report") || e.said_lost("log")));
    case 6:
        return closing_with_cause(e) || diagnostics_aborted(e);
    case 172:
        return bmc_open_failed(e);
    default:
        return closing_with_cause(e);
    }
}

Finding log_ending(const Evidence& e)
{
    if (!e.exited_defined() || e.log_lost)
        return std::nullopt;
    // Under --strict a failure of an earlier pass stands, however the run
    // then ends: the closing line shows it (ends_as), and an end without
    // closing lines that can follow a pass leaves its own lines.
    bool after_a_pass = image_refused(e) || family_mismatch(e) || diagnostics_aborted(e) || bmc_open_failed(e);
    bool fits = ends_as(e, e.out.status) || (e.scenario.strict() && e.out.status != 0 && after_a_pass);
    if (fits)
        return std::nullopt;
    if (!e.out.log)
        return "exit status " + std::to_string(e.out.status) + " without a log.txt";
    return "exit status " + std::to_string(e.out.status) + " but log.txt ends \"" + e.last(1) + "\" / \"" + e.last() +
           "\"";
}

Finding terminal(const Evidence& e)
{
    // Only a key script simulates the terminal; without one the tool's calls
    // go to /dev/null and fail.
    if (!e.scenario.keys_scripted() || !e.exited_defined() || e.trace.terminal != "raw")
        return std::nullopt;
    // CommandLineError ends the upgrade where it stands (a lost log cannot say it was that).
    if (family_mismatch(e) || (e.log_lost && e.out.status == 5))
        return std::nullopt;
    return "the run ended (exit status " + std::to_string(e.out.status) + ") with the terminal in raw mode";
}

Finding downcopy(const Evidence& e) { return e.flash.downcopies; }

Finding old_image(const Evidence& e) { return e.flash.kept; }

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

// The last version each BMC pass read from every controller, as the log
// shows it, unless a scan of the pass missed the controller since: a pass
// begins with its "BmcOpen" line, a scan with "Entered ScanForQBdevices()",
// a controller it finds with "Found MODEL at I2C address 0xAA on Bus 0xBB"
// and its version registers with "FWIDn Reg ..."; a programming begins with
// "Updating firmware on bus 0xBB at I2C address 0xAA" and shows the version
// it reads before the erase and after the reset as "CHIP: FW:0x.. Major-REV:
// 0x.. Minor-Rev:0x.." and "Chip: FW:...".
using LastRead = std::map<std::pair<unsigned, unsigned>, Version>;  // bus, address

std::vector<LastRead> last_reads(const Evidence& e)
{
    std::vector<LastRead> passes;
    Version* current = nullptr;           // the controller whose registers the scan dumps
    std::pair<unsigned, unsigned> flashed;  // the controller being programmed
    for (const std::string& line : e.whole_log) {
        unsigned bus, address, reg, value, v[3];
        size_t at = line.find(" at I2C address 0x");
        if (line == "BmcOpen Success" || line == "BmcOpen Failed") {
            passes.emplace_back();
            current = nullptr;
        } else if (line == "Entered ScanForQBdevices()" && !passes.empty()) {
            passes.back().clear();
            current = nullptr;
        } else if (line.starts_with("Found ") && at != std::string::npos && !passes.empty() &&
                   std::sscanf(line.c_str() + at, " at I2C address 0x%x on Bus 0x%x", &address, &bus) == 2) {
            current = &passes.back()[{bus, address}];
        } else if (current && std::sscanf(line.c_str(), "FWID%*u Reg 0x%x:0x%x", &reg, &value) == 2 && reg >= 0x60 &&
                   reg <= 0x62) {
            (*current)[reg - 0x60] = static_cast<uint8_t>(value);
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

// Each controller's firmware_last_seen is the last version its pass read
// from it, null when a scan missed it since.
Finding last_seen(const Evidence& e, const nlohmann::json& report)
{
    if (!e.out.log || e.log_lost)
        return std::nullopt;
    std::vector<LastRead> passes = last_reads(e);
    const nlohmann::json bmcs = report.value("bmcs", nlohmann::json::array());
    for (size_t pass = 0; pass < bmcs.size() && pass < passes.size(); ++pass) {
        for (const nlohmann::json& c : bmcs[pass].value("controllers", nlohmann::json::array())) {
            unsigned bus = 0, address = 0;
            std::sscanf(c.value("bus", "").c_str(), "0x%x", &bus);
            std::sscanf(c.value("address", "").c_str(), "0x%x", &address);
            auto seen = passes[pass].find({bus, address});
            nlohmann::json expected = seen == passes[pass].end() ? nlohmann::json() : nlohmann::json(seen->second);
            if (c.value("firmware_last_seen", nlohmann::json("missing")) != expected)
                return "the report's firmware_last_seen of bus " + c.value("bus", "") + " address " +
                       c.value("address", "") + " in BMC pass " + std::to_string(pass) + " is " +
                       c.value("firmware_last_seen", nlohmann::json()).dump() + ", the last version the pass read " +
                       expected.dump();
        }
    }
    return std::nullopt;
}

// A name where no report may ever be written: the image or a log.
bool names_no_report(const Scenario& s, const std::string& file)
{
    return file == "log.txt" || file == "logprev.txt" || (s.image && file == *s.image);
}

// --report FILE: refused (exit status 5, the file left alone) when it names
// the image, a log or no regular file; else written at every end once the
// command line is accepted (the run has a log then), as JSON that says the
// run is complete, whose exit_code is the exit status and whose controllers
// were last seen as the log shows; a file that cannot be written costs an
// error line instead. Its schema is checked for all runs at once
// (report_for_schema).
Finding report(const Evidence& e)
{
    std::optional<std::string> file = e.scenario.report_file();
    if (!file || !e.exited_defined())
        return std::nullopt;
    // A report of another run is the stale-report invariant's to judge.
    if (e.out.report && e.out.report == e.scenario.old_report)
        return std::nullopt;
    // The image or a log named as the report: never written as one, whatever else became of the run.
    if (names_no_report(e.scenario, *file)) {
        auto image = e.scenario.files.find(*file);
        if (image != e.scenario.files.end() && e.out.report != image->second)
            return "the image " + *file + " changed although it was named as the report";
        return std::nullopt;
    }
    if (!e.out.log && !e.log_lost) {
        // The command line was refused: after --report FILE was taken, FILE says so of this run.
        if (!e.out.report)
            return std::nullopt;
        nlohmann::json j = nlohmann::json::parse(*e.out.report, nullptr, false);
        if (!j.is_object() || j.value("exit_code", -1) != 5 || j.value("arguments", nlohmann::json()) != e.scenario.args)
            return "the report of a refused command line is not this run's with exit code 5";
        return std::nullopt;
    }
    if (report_unwritable(e))
        return e.out.status == 5 ? std::nullopt : std::optional<std::string>("the report could not be written at the "
                                                                             "start, but the run went on");
    if (report_refused(e)) {
        auto image = e.scenario.image ? e.scenario.files.find(*e.scenario.image) : e.scenario.files.end();
        if (e.out.status != 5)
            return "the report file was refused, but the exit status is " + std::to_string(e.out.status);
        if (image != e.scenario.files.end() && *file == image->first && e.out.report != image->second)
            return "the image " + *file + " changed although the report was refused";
        return std::nullopt;
    }
    const bool said = e.said_lost("report");
    if (!e.out.report)
        return said || e.log_lost ? std::nullopt
                                  : std::optional<std::string>("no report in " + *file + " and no error line");
    nlohmann::json j = nlohmann::json::parse(*e.out.report, nullptr, false);
    if (j.is_discarded())
        return "the report in " + *file + " is not JSON";
    // A later write that failed leaves an earlier record of this run.
    if (said)
        return j.is_object() && j.value("arguments", nlohmann::json()) == e.scenario.args
                   ? std::nullopt
                   : std::optional<std::string>("the report left after a failed write is not this run's");
    if (!j.is_object() || j.value("exit_code", -1) != e.out.status)
        return "the report's exit_code " + (j.is_object() ? j.value("exit_code", nlohmann::json()).dump() : "") +
               " is not the exit status " + std::to_string(e.out.status);
    if (j.value("complete", false) != true)
        return "the report of a run that ended says it is not complete";
    return last_seen(e, j);
}

// What the flash writes when it fails on its own, after which it sends no
// reset, with a signal or without.
bool flash_failure(const std::string& line)
{
    static const char* const kFailures[] = {
        "Error Erasing Firmware image.", "Chip Erase did not succeed.", "Error writing data on SMBus", "Error",
        "verification failed!", "Upgrade failed, with compare error! try again...", "Error Issuing Reset",
        "Device never came out of reset after firmware upgrade!", "Device is not responding on the SMBus.",
        "SMBus read failed",
    };
    return std::find(std::begin(kFailures), std::end(kFailures), line) != std::end(kFailures);
}

// Whether the log's last flash of the controller at `f` (its heading names
// the bus number and the address) ended in a failure of its own.
bool flash_failed(const Evidence& e, const FlashEvent& f)
{
    auto heading = [](const std::string& l, unsigned* bus, unsigned* address) {
        return std::sscanf(l.c_str(), "Updating firmware on bus 0x%x at I2C address 0x%x", bus, address) == 2;
    };
    auto from = e.whole_log.end();
    for (auto it = e.whole_log.begin(); it != e.whole_log.end(); ++it) {
        unsigned bus, address;
        if (heading(*it, &bus, &address) && (bus & 0x0F) == f.bus && address == f.address)
            from = it;
    }
    for (auto it = from; it != e.whole_log.end(); ++it) {
        unsigned bus, address;
        if (it != from && heading(*it, &bus, &address))
            break;
        if (flash_failure(*it))
            return true;
    }
    return false;
}

// A run stopped by a signal: it ends by that signal with its log closed as
// the stop closes it, the terminal restored and its report (if one was
// asked for) naming the signal in place of an exit code; it begins no
// controller after the signal.
Finding signalled(const Evidence& e)
{
    const SignalEvent* stop = stop_signal(e);
    if (!stop || e.out.timed_out || killed(e))
        return std::nullopt;
    const std::string& name = stop->name;
    if (e.out.signal != signal_number(name))
        return name + " came, but the run " +
               (e.out.signal ? "was ended by signal " + std::to_string(e.out.signal)
                             : "exited with status " + std::to_string(e.out.status));
    if (!e.log_lost && (e.last() != "Exited on signal " + name || !e.last(1).starts_with("Finished: ") ||
                        e.last(2) != "Run stopped by " + name))
        return "stopped by " + name + " but log.txt ends \"" + e.last(2) + "\" / \"" + e.last(1) + "\" / \"" +
               e.last() + "\"";
    if (e.scenario.keys_scripted() && e.trace.terminal == "raw")
        return "stopped by " + name + " with the terminal in raw mode";
    if (std::optional<std::string> file = e.scenario.report_file()) {
        nlohmann::json j = nlohmann::json::parse(e.out.report.value_or(""), nullptr, false);
        bool said = e.said_lost("report");
        if (!said && (!j.is_object() || !j.contains("exit_code") || !j["exit_code"].is_null() ||
                      j.value("signal", nlohmann::json()) != name || j.value("complete", false) != true))
            return "stopped by " + name + " but the report in " + *file + " does not say so: " +
                   (j.is_object() ? "complete " + j.value("complete", nlohmann::json()).dump() + ", exit_code " +
                                        j.value("exit_code", nlohmann::json()).dump() + ", signal " +
                                        j.value("signal", nlohmann::json()).dump()
                                  : std::string("no report"));
        if (!said)
            if (Finding f = last_seen(e, j))
                return "stopped by " + name + ", " + *f;
    }

    auto after = std::find_if(e.whole_log.begin(), e.whole_log.end(), [](const std::string& l) {
        return deferral_line(l) || l.starts_with("Run stopped by ");
    });
    if (std::any_of(after, e.whole_log.end(), [](const std::string& l) { return l.starts_with("Upgrading ChipID:"); }))
        return "a controller was begun after " + name;
    // The one erase a signal may precede in the trace: that of the
    // controller whose erase command was on its way (KCS road).
    auto erases_after = std::count_if(e.trace.flash.begin(), e.trace.flash.end(), [&](const FlashEvent& f) {
        return f.line > stop->line && f.event.starts_with("erase");
    });
    if (erases_after > 1)
        return std::to_string(erases_after) + " controllers erased after " + name;
    return std::nullopt;
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

// After a signal the tool must catch, no controller is left in its
// programming session: each erase is followed by the abort's reset or a
// downcopy, unless the log shows that flash failing on its own, after which
// no reset is sent.
Finding session(const Evidence& e)
{
    // A run that ended otherwise than by the signal breaks the signal rule already.
    const SignalEvent* stop = catchable_signal(e);
    if (!stop || e.out.signal != signal_number(stop->name) || e.trace.forged_success)
        return std::nullopt;
    const std::string& name = stop->name;
    std::map<std::string, const FlashEvent*> last_erase;
    for (const FlashEvent& f : e.trace.flash)
        if (f.event.starts_with("erase"))
            last_erase[f.controller] = &f;
    for (const auto& [controller, erase] : last_erase) {
        const FlashEvent& began = *erase;
        bool ended = std::any_of(e.trace.flash.begin(), e.trace.flash.end(), [&](const FlashEvent& f) {
            return f.line > began.line && f.controller == began.controller &&
                   (f.event.starts_with("reset") || f.event.starts_with("downcopy"));
        });
        if (!ended && !e.log_lost && !flash_failed(e, began))
            return controller + " was left in its programming session after " + name +
                   ", without the abort's reset, a downcopy or a failure";
    }
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
    const std::vector<std::string>& args = e.scenario.args;
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

// A report of an earlier run planted at --report's FILE: after the run,
// FILE holds this run's report, unless the run ended with 5 before a BMC
// heard a word (the file could not be written or replaced, the command line
// was refused before the report was taken), or SIGKILL ended it before.
Finding stale_report(const Evidence& e)
{
    if (!e.scenario.old_report || !e.out.report || *e.out.report != *e.scenario.old_report)
        return std::nullopt;
    if (e.trace.requests == 0 && ((e.exited_defined() && e.out.status == 5) || killed(e)))
        return std::nullopt;  // or killed before it could write a word
    return "the report file still holds an earlier run's report after a run that " +
           (e.trace.requests ? std::to_string(e.trace.requests) + " requests reached"
                             : "ended " + (e.out.signal ? "by signal " + std::to_string(e.out.signal)
                                                        : "with status " + std::to_string(e.out.status)));
}

// No file the tool writes is writable by the group or others, whatever the
// umask; the report and the capture are readable by their owner alone.
Finding file_modes(const Evidence& e)
{
    const std::optional<std::string> report = e.scenario.report_file(), capture = e.scenario.capture_file(),
                                     metrics = e.scenario.metrics_file();
    for (const auto& [name, mode] : e.out.modes) {
        bool planted = e.scenario.files.count(name) > 0;
        bool replaced_report = planted && name == report && e.scenario.old_report && e.out.report != e.scenario.old_report;
        bool replaced_metrics =
            planted && name == metrics && e.scenario.old_metrics && e.out.metrics != e.scenario.old_metrics;
        if (planted && !replaced_report && !replaced_metrics)
            continue;  // the campaign's own file, left as it was
        char text[16];
        std::snprintf(text, sizeof text, "0%o", mode);
        if (mode & 022)
            return name + " is mode " + text + ": others may write it";
        bool output = (name == report && !names_no_report(e.scenario, name)) || name == capture;
        if (output && mode != 0600)
            return name + " is mode " + text + ", not the owner's alone (0600)";
        if (name == metrics && mode != 0644)
            return name + " is mode " + text + ", not 0644 (the node exporter reads it as another user)";
    }
    return std::nullopt;
}

// The VPD EEPROM address the command line's -vpd asks for, when it asks.
std::optional<unsigned> vpd_address(const std::vector<std::string>& args)
{
    std::optional<unsigned> address;
    for (const std::string& a : args) {
        size_t at = a.find("-vpd");
        if (at == std::string::npos)
            continue;
        std::string value = a.substr(at + 4);
        unsigned v;
        if (value.empty())
            address = 0xA0;
        else if ((value.size() == 2 || value.size() == 4) && std::sscanf(value.substr(0, 2).c_str(), "%2x", &v) == 1 &&
                 std::isxdigit(static_cast<unsigned char>(value[1])))
            address = v;
    }
    return address;
}

// Six bytes in a row of the text fields (offsets 0x0E to 0x35) of every
// EEPROM at `address`, none of them 0: what a leak of VPD text would show.
std::vector<std::vector<uint8_t>> vpd_text_windows(const nlohmann::json& machine, unsigned address)
{
    std::vector<std::vector<uint8_t>> windows;
    const nlohmann::json bmcs = machine.value("bmcs", nlohmann::json::array());
    for (const nlohmann::json& bmc : bmcs) {
        const nlohmann::json buses = bmc.value("buses", nlohmann::json::object());
        for (const auto& [bus, b] : buses.items()) {
            const nlohmann::json devices = b.value("devices", nlohmann::json::array());
            for (const nlohmann::json& d : devices) {
                unsigned at = 0;
                if (d.value("type", "") != "eeprom" ||
                    std::sscanf(d.value("address", "").c_str(), "0x%x", &at) != 1 || at != address)
                    continue;
                std::vector<uint8_t> bytes = bytes_from_spaced_hex(d.value("contents", ""));
                for (size_t i = 0x0E; i + 6 <= 0x36 && i + 6 <= bytes.size(); ++i)
                    if (std::count(bytes.begin() + i, bytes.begin() + i + 6, 0) == 0)
                        windows.emplace_back(bytes.begin() + i, bytes.begin() + i + 6);
            }
        }
    }
    return windows;
}

// The bytes the capture holds of each answer: those of a request's answer
// through the driver, those the tool read from the data port of a KCS transfer.
std::vector<std::vector<uint8_t>> captured_answers(const std::string& capture)
{
    std::vector<std::vector<uint8_t>> answers;
    for (const std::string& line : split_lines(capture)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object())
            continue;
        if (j.contains("resp") && j["resp"].is_string())
            answers.push_back(bytes_from_spaced_hex(j["resp"].get<std::string>()));
        if (j.contains("ports") && j["ports"].is_string()) {
            std::vector<uint8_t> read;
            std::istringstream tokens(j["ports"].get<std::string>());
            for (std::string t; tokens >> t;)
                if (t.size() == 3 && t[0] == 'd')
                    read.push_back(static_cast<uint8_t>(std::stoul(t.substr(1), nullptr, 16)));
            answers.push_back(read);
        }
    }
    return answers;
}

std::string spaced_upper_hex(const std::string& text)
{
    std::string out;
    char byte[4];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "%s%02X", out.empty() ? "" : " ", c);
        out += byte;
    }
    return out;
}

// A capture taken with --capture-redact holds no VPD text (vpd) and
// nothing of the host's name, DMI serial or machine id (host).
Finding redaction(const Evidence& e)
{
    if (!e.out.capture)
        return std::nullopt;
    const std::string& capture = *e.out.capture;
    std::optional<unsigned> address = vpd_address(e.scenario.args);
    if (e.scenario.redacts("vpd") && address) {
        std::vector<std::vector<uint8_t>> answers = captured_answers(capture);
        for (const std::vector<uint8_t>& window : vpd_text_windows(e.scenario.machine, *address))
            for (const std::vector<uint8_t>& answer : answers)
                if (std::search(answer.begin(), answer.end(), window.begin(), window.end()) != answer.end())
                    return "the capture holds VPD text " + spaced_hex(window);
    }
    if (e.scenario.redacts("host")) {
        const nlohmann::json host = e.scenario.machine.value("host", nlohmann::json::object());
        for (const char* field : {"name", "product_serial", "machine_id"}) {
            if (!host.contains(field) || !host[field].is_string())
                continue;
            const std::string text = host[field].get<std::string>();
            for (const std::string& form : {text, spaced_upper_hex(text.substr(0, 6))})
                if (!form.empty() && capture.find(form) != std::string::npos)
                    return std::string("the capture holds the host's ") + field + " (" + form + ")";
        }
    }
    return std::nullopt;
}

// A file the machine failed to write (its log, report or capture; the log's
// rotation aside, which the tool passes over in silence) is said on
// standard error, unless that is closed, or the run ended with 5 before a
// BMC heard a word (a capture that could not be begun); and under --strict
// such a run does not end 0.
Finding output_loss(const Evidence& e)
{
    if (!e.exited_defined() && !e.out.signal)
        return std::nullopt;
    for (const FileFaultEvent& f : e.trace.file_faults) {
        if (f.file == "log" && f.call == "rename")
            continue;
        if (e.scenario.strict() && e.out.status == 0 && e.exited_defined())
            return "the " + f.file + " file was lost (" + f.call + " " + f.error + "), yet the run ended 0 under --strict";
        bool refused_at_start = e.exited_defined() && e.out.status == 5 && e.trace.requests == 0;
        if (!e.scenario.closed_descriptors.count(2) && !e.said_lost(f.file) && !refused_at_start)
            return "the " + f.file + " file was lost (" + f.call + " " + f.error + ") without a word on standard error";
    }
    return std::nullopt;
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

// The controller a qb40_controller_info series names, as the device summary
// lists it: "BusID:0x21 ChipID:77 FW:[0x02:0x00] ADR:0xc0 Config:0x05".
std::optional<std::string> summary_text(const MetricsText& m, const MetricSample& info)
{
    auto label = [&](const char* name) { return info.labels.count(name) ? info.labels.at(name) : std::string(); };
    unsigned id = 0, major = 0, minor = 0, bus = 0, channel = 0;
    if (std::sscanf(label("firmware").c_str(), "%u.%u.%u", &id, &major, &minor) != 3 ||
        std::sscanf(label("bus").c_str(), "0x%x", &bus) != 1 || std::sscanf(label("mux_channel").c_str(), "%u", &channel) != 1)
        return std::nullopt;
    char text[96];
    std::snprintf(text, sizeof text, "BusID:0x%02x ChipID:%s FW:[0x%02x:0x%02x] ADR:%s", (channel << 4) | bus,
                  label("chip_id").c_str(), major, minor, label("address").c_str());
    std::string line = text;
    for (const MetricSample* config : m.named("qb40_controller_config")) {
        bool same = std::all_of(config->labels.begin(), config->labels.end(),
                                [&](const auto& l) { return label(l.first.c_str()) == l.second; });
        if (same) {
            char config_text[16];
            std::snprintf(config_text, sizeof config_text, " Config:0x%02x", static_cast<unsigned>(config->value));
            line += config_text;
        }
    }
    return line;
}

// --metrics FILE: written at every end the process controls, in the text
// format a scraper takes, with the run's own status, and with the
// controllers the summaries listed when it says the scan went through.
Finding metrics(const Evidence& e)
{
    if (!e.scenario.metrics_file() || e.out.timed_out || killed(e) || run_ended(e))
        return std::nullopt;
    bool refused_at_start = e.exited_defined() && e.out.status == 5 && e.trace.requests == 0;
    if (!e.out.metrics || e.out.metrics == e.scenario.old_metrics) {
        if (refused_at_start || e.said_lost("metrics") || e.scenario.closed_descriptors.count(2))
            return std::nullopt;
        return std::string(e.out.metrics ? "an earlier run's metrics file still stands" : "no metrics file") +
               " after a run that " + (e.out.signal ? "a signal stopped" : "ended with " + std::to_string(e.out.status));
    }
    MetricsText m = parse_metrics(*e.out.metrics);
    if (m.error)
        return "the metrics file: " + *m.error;
    std::vector<const MetricSample*> status = m.named("qb40_run_exit_status"), success = m.named("qb40_scan_success");
    if (success.size() != 1)
        return "the metrics file does not say whether the scan succeeded";
    if (e.out.signal && !status.empty())
        return "the metrics of a run a signal stopped give an exit status";
    if (e.exited_defined() && (status.size() != 1 || status[0]->value != e.out.status))
        return "the metrics give exit status " + (status.empty() ? "none" : std::to_string(static_cast<int>(status[0]->value))) +
               " to a run that ended with " + std::to_string(e.out.status);
    bool through = e.exited_defined() && (e.out.status == 0 || (e.scenario.plan() && e.out.status == 4));
    if (success[0]->value == 1 && !through)
        return "the metrics say the scan succeeded in a run that " +
               (e.out.signal ? std::string("a signal stopped") : "ended with " + std::to_string(e.out.status));
    std::vector<const MetricSample*> infos = m.named("qb40_controller_info");
    double found = 0;
    for (const MetricSample* f : m.named("qb40_controllers_found"))
        found += f->value;
    if (success[0]->value != 1 && !infos.empty())
        return "the metrics of a scan that did not succeed name controllers";
    if (found != static_cast<double>(infos.size()) && success[0]->value == 1)
        return "the metrics count " + std::to_string(static_cast<int>(found)) + " controllers and describe " +
               std::to_string(infos.size());
    // The summaries are in the log, and on the console unless it is quiet (in
    // raw mode its lines end with CR LF); a log that could not be written
    // may hold none of them.
    auto listed = [&](const std::string& text) {
        return e.out.console.find(text) != std::string::npos ||
               std::any_of(e.whole_log.begin(), e.whole_log.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    for (const MetricSample* info : infos) {
        std::optional<std::string> line = summary_text(m, *info);
        if (!line || (!listed(*line) && !e.said_lost("log")))
            return "no device summary lists the controller of the metrics: " + line.value_or("(labels unreadable)");
    }
    return std::nullopt;
}

struct Invariant {
    const char* name;
    Finding (*check)(const Evidence&);
};

constexpr Invariant kInvariants[] = {
    {"run", run_ended},     {"exit-status", exit_status}, {"log-ending", log_ending},       {"terminal", terminal},
    {"downcopy", downcopy}, {"old-image", old_image},     {"upgrade-count", upgrade_count}, {"strict", strict_zero},
    {"report", report},     {"signal", signalled},       {"session", session},             {"leds", leds},
    {"image-digest", image_digest}, {"plan", planned},
    {"stale-report", stale_report}, {"file-modes", file_modes}, {"redaction", redaction}, {"output-loss", output_loss},
    {"read-only", read_only}, {"metrics", metrics},
};

}  // namespace

std::vector<Violation> check(const Scenario& scenario, const RunOutput& output, Coverage* coverage)
{
    Evidence evidence(scenario, output);
    if (coverage) {
        for (const FlashEvent& f : evidence.trace.flash) {
            coverage->downcopies += f.event.starts_with("downcopy");
            coverage->qb4083c_sets += f.event.starts_with("checksum upper");
        }
        for (const std::string& line : evidence.whole_log)
            coverage->count_lines += line.starts_with("Sucessfully Upgraded ");
        coverage->raw_terminals += scenario.keys_scripted() && evidence.trace.terminal.has_value();
        coverage->forged += evidence.trace.forged_success;
        coverage->reports += output.report.has_value();
        coverage->strict_zeros += scenario.strict() && scenario.image && output.status == 0 && !output.signal;
        coverage->plans += scenario.plan() && plan_end(evidence).has_value();
        coverage->killed += killed(evidence);
        coverage->file_faults += !evidence.trace.file_faults.empty();
        coverage->old_reports += scenario.old_report.has_value();
        coverage->redacted_captures += output.capture && (scenario.redacts("vpd") || scenario.redacts("host"));
        coverage->closed_descriptors += !scenario.closed_descriptors.empty();
        coverage->open_umask += scenario.machine.value("umask", "") == "000";
        coverage->metrics += output.metrics && output.metrics != scenario.old_metrics;
        if (const SignalEvent* stop = stop_signal(evidence)) {
            ++coverage->signalled;
            std::map<std::tuple<int, uint8_t, uint8_t, uint8_t>, uint8_t> before;
            for (const LedWrite& w : evidence.trace.led_writes)
                if (w.line < stop->line)
                    before[{w.bmc, w.bus, w.address, w.reg}] = w.value;
            coverage->lit_at_signal +=
                std::any_of(before.begin(), before.end(), [](const auto& led) { return led.second != 0; });
            if (std::any_of(evidence.whole_log.begin(), evidence.whole_log.end(), deferral_line)) {
                ++coverage->deferred;
                coverage->signal_aborts += std::any_of(evidence.trace.flash.begin(), evidence.trace.flash.end(),
                                                       [&](const FlashEvent& f) {
                                                           return f.line > stop->line && f.event.starts_with("reset");
                                                       });
            }
        }
    }
    std::vector<Violation> found;
    for (const Invariant& i : kInvariants)
        if (Finding f = i.check(evidence))
            found.push_back({i.name, *f});
    return found;
}

std::optional<std::string> report_for_schema(const Scenario& scenario, const RunOutput& output)
{
    Evidence evidence(scenario, output);
    const SignalEvent* stop = stop_signal(evidence);
    bool stopped = stop && output.signal == signal_number(stop->name);
    if (!scenario.report_file() || !(evidence.exited_defined() || stopped) || !output.report ||
        (!output.log && !evidence.log_lost) || report_refused(evidence) ||
        names_no_report(scenario, *scenario.report_file()))
        return std::nullopt;
    return output.report;
}

std::vector<std::string> invariant_names()
{
    std::vector<std::string> names;
    for (const Invariant& i : kInvariants)
        names.push_back(i.name);
    return names;
}

}  // namespace campaign
