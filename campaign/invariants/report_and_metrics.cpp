// SPDX-License-Identifier: MIT
#include "report_and_metrics.h"

#include <algorithm>
#include <cstdio>

#include "endings.h"
#include "../metrics_reading.h"

namespace campaign::invariants {

namespace {

// The controller a qb40_controller_info series names, as the device summary
// lists it: "BusID:0x21 ChipID:77 FW:[0x02:0x00] ADR:0xc0 Config:0x05".
std::optional<std::string> summary_text(const MetricsText& m, const MetricSample& info)
{
    auto label = [&](const char* name) { return info.labels.count(name) ? info.labels.at(name) : std::string(); };
    unsigned id = 0, major = 0, minor = 0, bus = 0, channel = 0;
    // A version whose read was given up is "unknown" in the metrics; the
    // summary then shows whatever bytes the failed read left, which the
    // line's other fields still place.
    const bool known = label("firmware") != "unknown";
    if ((known && std::sscanf(label("firmware").c_str(), "%u.%u.%u", &id, &major, &minor) != 3) ||
        std::sscanf(label("bus").c_str(), "0x%x", &bus) != 1 || std::sscanf(label("mux_channel").c_str(), "%u", &channel) != 1)
        return std::nullopt;
    char text[96];
    std::snprintf(text, sizeof text, "BusID:0x%02x ChipID:%s", (channel << 4) | bus, label("chip_id").c_str());
    if (!known)
        return std::string(text);
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

}  // namespace

// A name where no report may ever be written: the image or a log.
bool names_no_output(const Scenario& s, const std::string& file)
{
    const std::vector<std::string> inputs = s.input_files();
    return file == "log.txt" || file == "logprev.txt" || std::find(inputs.begin(), inputs.end(), file) != inputs.end();
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
    if (names_no_output(e.scenario, *file)) {
        auto image = e.scenario.files.find(*file);
        if (image != e.scenario.files.end() && e.out.report != image->second)
            return *file + ", a file the run only reads, changed although it was named as the report";
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

// --metrics FILE: written at every end the process controls, in the text
// format a scraper takes, with the run's own status, and with the
// controllers the summaries listed when it says the scan went through.
Finding metrics(const Evidence& e)
{
    if (!e.scenario.metrics_file() || e.out.timed_out || killed(e) || run_ended(e))
        return std::nullopt;
    bool refused_at_start = e.exited_defined() && e.out.status == 5 && e.trace.requests == 0;
    // Named as the image or a secret: the file is the inputs invariant's to judge, the run must not go on.
    if (names_no_output(e.scenario, *e.scenario.metrics_file()))
        return refused_at_start || !e.exited_defined()
                   ? std::nullopt
                   : std::optional<std::string>("the metrics were named as " + *e.scenario.metrics_file() +
                                                ", which no output may take, yet the run ended with " +
                                                std::to_string(e.out.status));
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

}  // namespace campaign::invariants
