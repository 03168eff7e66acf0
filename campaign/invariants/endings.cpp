// SPDX-License-Identifier: MIT
#include "endings.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace campaign::invariants {

namespace {

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

// The endings, one per exit path (those other families read too, from
// closing_lines on, below).
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
        "ERROR: -dio not allowed with --lan [RETURN CODE:0x05]",
    };
    return std::find(std::begin(kConflicts), std::end(kConflicts), e.last()) != std::end(kConflicts);
}

bool family_mismatch(const Evidence& e)
{
    return e.last().starts_with("Chip ID Mismatch. ChipCounter:") &&
           (e.console.empty() ||
            shown(e.console.back()) == "ERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]");
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
               metrics_or_capture_refused(e) || report_unwritable(e);
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

}  // namespace

// log.txt ends with the closing lines of exit status `code`.
bool closing_lines(const Evidence& e, int code)
{
    char line[48];
    std::snprintf(line, sizeof line, "Exited with return code: 0x%02x", code);
    return e.last() == line && e.last(1).starts_with("Finished: ");
}

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

namespace {

// The log ends with a line `refusal` takes, or, where a lost log cannot
// tell it, the console shows one.
bool ends_refused(const Evidence& e, bool (*refusal)(const std::string&))
{
    return refusal(e.last()) ||
           (e.log_lost && std::any_of(e.console.begin(), e.console.end(), [&](const std::string& l) {
                return refusal(shown(l));
            }));
}

}  // namespace

// --report named a file the report must never take the place of (said on
// the console too, where a lost log cannot tell it).
bool report_refused(const Evidence& e)
{
    return ends_refused(e, [](const std::string& l) {
        return l.starts_with("ERROR: Refusing to write report file ") && l.ends_with("[RETURN CODE:0x05]");
    });
}

// --metrics or --capture named a file no output may take the place of.
bool metrics_or_capture_refused(const Evidence& e)
{
    return ends_refused(e, [](const std::string& l) {
        return (l.starts_with("ERROR: Refusing to write metrics file ") ||
                (l.starts_with("ERROR: Capture file ") && l.find(" refused: ") != std::string::npos)) &&
               l.ends_with("[RETURN CODE:0x05]");
    });
}

// The report's first record could not be written: the run does not begin.
bool report_unwritable(const Evidence& e)
{
    return e.last() == "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]";
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

Finding spelling(const Evidence& e)
{
    std::optional<std::string> word = e.scenario.refused_spelling();
    if (!word)
        return std::nullopt;
    if (!e.exited_defined() || e.out.status != 5)
        return "the argument " + *word + " did not end the run with 5";
    if (e.trace.requests != 0)
        return "the argument " + *word + " was refused after " + std::to_string(e.trace.requests) + " requests";
    if (e.out.log)
        return "the argument " + *word + " was refused after the log was started";
    auto says = [](const std::vector<std::string>& lines) {
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("ERROR: ") != std::string::npos && l.find("[RETURN CODE:0x05]") != std::string::npos;
        });
    };
    // Where standard output or error was closed at start, the line has nowhere to go.
    const std::set<int>& closed = e.scenario.closed_descriptors;
    const bool can_say = !closed.contains(1) && !closed.contains(2);
    if (can_say && !says(e.console) && !says(e.errors))
        return "the argument " + *word + " was refused without an error line";
    return std::nullopt;
}

}  // namespace campaign::invariants
