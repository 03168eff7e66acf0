// SPDX-License-Identifier: MIT
// The invariants of how a run ends, by itself or by a signal:
//   run          it ended by itself: no crash, no sanitizer report, no stop
//                of the simulator, within the real-time bound
//   exit-status  with a status the tool defines
//   log-ending   log.txt ends the way that exit path ends it
//   terminal     a terminal put in raw mode is restored where the path restores it
//   signal       a run a signal stopped ends by it, its log, terminal and
//                report saying so, and begins no controller after it
//   session      after a signal the tool catches no controller is left in
//                its programming session
// and the endings other families read (closing lines, a plan's closing
// line, a refused or unwritable report).
#pragma once

#include <optional>

#include "evidence.h"

namespace campaign::invariants {

Finding run_ended(const Evidence& e);
Finding exit_status(const Evidence& e);
Finding log_ending(const Evidence& e);
Finding terminal(const Evidence& e);
Finding signalled(const Evidence& e);
Finding session(const Evidence& e);
// An argument beginning with -- that names no option, or gives a value to
// an option that takes none, ends the run with 5 before the log and before
// any request, saying why.
Finding spelling(const Evidence& e);

// log.txt ends with the closing lines of exit status `code`.
bool closing_lines(const Evidence& e, int code);

// A plan's closing line: "Plan: 1 of 2 controllers would be upgraded;
// nothing was written [RETURN CODE:0x04]".
struct PlanEnd {
    int would = 0;
    int of = 0;
    unsigned code = 0;
};

std::optional<PlanEnd> plan_end(const Evidence& e);

// --report named a file the report must never take the place of (said on
// the console too, where a lost log cannot tell it).
bool report_refused(const Evidence& e);

// --metrics or --capture named a file no output may take the place of.
bool metrics_or_capture_refused(const Evidence& e);

// The report's first record could not be written: the run does not begin.
bool report_unwritable(const Evidence& e);

}  // namespace campaign::invariants
