// SPDX-License-Identifier: MIT
#include "files.h"

#include <algorithm>
#include <cstdio>

#include "report_and_metrics.h"

namespace campaign::invariants {

// No file the tool writes is writable by the group or others, whatever the
// umask; the report and the capture are readable by their owner alone.
Finding file_modes(const Evidence& e)
{
    const std::optional<std::string> report = e.scenario.report_file(), capture = e.scenario.capture_file(),
                                     metrics = e.scenario.metrics_file();
    const std::vector<std::string> inputs = e.scenario.input_files();
    for (const auto& [name, mode] : e.out.modes) {
        bool planted = e.scenario.files.count(name) > 0;
        if (planted && std::find(inputs.begin(), inputs.end(), name) != inputs.end())
            continue;  // a file the run only reads: the inputs invariant's
        bool replaced_report = planted && name == report && e.scenario.old_report && e.out.report != e.scenario.old_report;
        bool replaced_metrics =
            planted && name == metrics && e.scenario.old_metrics && e.out.metrics != e.scenario.old_metrics;
        if (planted && !replaced_report && !replaced_metrics)
            continue;  // the campaign's own file, left as it was
        char text[16];
        std::snprintf(text, sizeof text, "0%o", mode);
        if (mode & 022)
            return name + " is mode " + text + ": others may write it";
        bool output = (name == report && !names_no_output(e.scenario, name)) || name == capture;
        if (output && mode != 0600)
            return name + " is mode " + text + ", not the owner's alone (0600)";
        if (name == metrics && mode != 0644)
            return name + " is mode " + text + ", not 0644 (the node exporter reads it as another user)";
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

// A file the run only reads (the image, the password of --lan) is as it
// was afterwards, whatever the run did and whichever output named it.
Finding inputs(const Evidence& e)
{
    for (const std::string& name : e.scenario.input_files()) {
        auto before = e.scenario.files.find(name);
        auto after = e.out.inputs.find(name);
        if (before == e.scenario.files.end() || after == e.out.inputs.end())
            continue;  // not planted (a missing image), or not looked at
        if (!after->second)
            return name + " is gone, though the run only reads it";
        if (*after->second != before->second)
            return name + " changed, though the run only reads it";
    }
    return std::nullopt;
}

}  // namespace campaign::invariants
