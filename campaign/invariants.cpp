// SPDX-License-Identifier: MIT
// The invariants in the order they run; each family, with the rules it
// holds a run to, in invariants/ (invariants.h names them all).
#include "invariants.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "invariants/captures.h"
#include "invariants/endings.h"
#include "invariants/evidence.h"
#include "invariants/files.h"
#include "invariants/hardware.h"
#include "invariants/report_and_metrics.h"

namespace campaign {

namespace {

struct Invariant {
    const char* name;
    invariants::Finding (*check)(const invariants::Evidence&);
};

// In the order they run, each with the file of its family.
constexpr Invariant kInvariants[] = {
    {"run", invariants::run_ended},                 // invariants/endings.cpp
    {"exit-status", invariants::exit_status},       // invariants/endings.cpp
    {"log-ending", invariants::log_ending},         // invariants/endings.cpp
    {"terminal", invariants::terminal},             // invariants/endings.cpp
    {"downcopy", invariants::downcopy},             // invariants/hardware.cpp
    {"old-image", invariants::old_image},           // invariants/hardware.cpp
    {"upgrade-count", invariants::upgrade_count},   // invariants/hardware.cpp
    {"strict", invariants::strict_zero},            // invariants/hardware.cpp
    {"report", invariants::report},                 // invariants/report_and_metrics.cpp
    {"signal", invariants::signalled},              // invariants/endings.cpp
    {"session", invariants::session},               // invariants/endings.cpp
    {"leds", invariants::leds},                     // invariants/hardware.cpp
    {"image-digest", invariants::image_digest},     // invariants/hardware.cpp
    {"plan", invariants::planned},                  // invariants/hardware.cpp
    {"stale-report", invariants::stale_report},     // invariants/report_and_metrics.cpp
    {"file-modes", invariants::file_modes},         // invariants/files.cpp
    {"redaction", invariants::redaction},           // invariants/captures.cpp
    {"output-loss", invariants::output_loss},       // invariants/files.cpp
    {"inputs", invariants::inputs},                 // invariants/files.cpp
    {"read-only", invariants::read_only},           // invariants/hardware.cpp
    {"metrics", invariants::metrics},               // invariants/report_and_metrics.cpp
    {"spelling", invariants::spelling},             // invariants/endings.cpp
};

}  // namespace

std::vector<Violation> check(const Scenario& scenario, const RunOutput& output, Coverage* coverage)
{
    invariants::Evidence evidence(scenario, output);
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
        coverage->plans += scenario.plan() && invariants::plan_end(evidence).has_value();
        coverage->killed += invariants::killed(evidence);
        coverage->file_faults += !evidence.trace.file_faults.empty();
        coverage->old_reports += scenario.old_report.has_value();
        coverage->redacted_captures += output.capture && (scenario.redacts("vpd") || scenario.redacts("host"));
        coverage->closed_descriptors += !scenario.closed_descriptors.empty();
        coverage->open_umask += scenario.machine.value("umask", "") == "000";
        coverage->metrics += output.metrics && output.metrics != scenario.old_metrics;
        coverage->equals_spellings += scenario.equals_spelling();
        coverage->refused_spellings += scenario.refused_spelling().has_value();
        coverage->lan_runs += scenario.lan_road();
        if (const SignalEvent* stop = invariants::stop_signal(evidence)) {
            ++coverage->signalled;
            std::map<std::tuple<int, uint8_t, uint8_t, uint8_t>, uint8_t> before;
            for (const LedWrite& w : evidence.trace.led_writes)
                if (w.line < stop->line)
                    before[{w.bmc, w.bus, w.address, w.reg}] = w.value;
            coverage->lit_at_signal +=
                std::any_of(before.begin(), before.end(), [](const auto& led) { return led.second != 0; });
            if (std::any_of(evidence.whole_log.begin(), evidence.whole_log.end(), invariants::deferral_line)) {
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
        if (invariants::Finding f = i.check(evidence))
            found.push_back({i.name, *f});
    return found;
}

std::optional<std::string> report_for_schema(const Scenario& scenario, const RunOutput& output)
{
    invariants::Evidence evidence(scenario, output);
    const SignalEvent* stop = invariants::stop_signal(evidence);
    bool stopped = stop && output.signal == invariants::signal_number(stop->name);
    if (!scenario.report_file() || !(evidence.exited_defined() || stopped) || !output.report ||
        (!output.log && !evidence.log_lost) || invariants::report_refused(evidence) ||
        invariants::names_no_output(scenario, *scenario.report_file()))
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
