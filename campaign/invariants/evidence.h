// SPDX-License-Identifier: MIT
// Everything the invariants read of one run, taken apart once: the run's
// log, console, standard error and trace, the flash events followed from
// power-on; and the readings more than one family of invariants shares
// (the signal that stopped the run, the versions each BMC pass read).
#pragma once

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "../run.h"
#include "../scenario.h"
#include "../trace_facts.h"

namespace campaign::invariants {

// What an invariant found broken; nullopt when it holds.
using Finding = std::optional<std::string>;

// Text as lines, without their line ends (CR LF too).
std::vector<std::string> split_lines(const std::string& text);

// What a console line shows: a progress counter ends in "\r" and the next
// text overwrites it.
std::string shown(const std::string& line);

// "21 22 23", as the trace writes a version.
std::string version_text(const Version& v);

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

// What every controller's flash events add up to: the finding of the
// downcopy rule, that of the old-image rule, and the images running at the end.
struct FlashWalk {
    explicit FlashWalk(const Scenario& s) : final_images(s) {}
    Finding downcopies, kept;
    RunningImages final_images;
};

// Everything the checks read, taken apart once.
struct Evidence {
    Evidence(const Scenario& s, const RunOutput& o);

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

    // It exited by itself, with a status the tool defines.
    bool exited_defined() const;
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
const SignalEvent* stop_signal(const Evidence& e);

// The first signal sent that the tool must catch (every kind whose default
// action ends the process, but SIGKILL), whether a handler took it or not.
const SignalEvent* catchable_signal(const Evidence& e);

// The number of a signal the campaign sends ("SIGTERM"), -1 for another name.
int signal_number(const std::string& name);

// The machine sent SIGKILL and it ended the run: the one ending nothing in
// the tool can act on.
bool killed(const Evidence& e);

// What the tool writes when a signal comes while a controller is programmed.
bool deferral_line(const std::string& line);

// Each controller's firmware_last_seen is the last version its pass read
// from it, null when a scan missed it since: what the report and the signal
// invariants hold a report to.
Finding last_seen(const Evidence& e, const nlohmann::json& report);

}  // namespace campaign::invariants
