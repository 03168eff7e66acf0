// SPDX-License-Identifier: MIT
// The signals of the run, as the recorder sees them: while it records, its
// own handler stands in front of every handler the tool installs (or had
// installed), notes the signal and calls the tool's. The recorder writes
// what it noted at its next line.
#pragma once

#include <csignal>

#include "../common/signal_names.h"

namespace os::recorder {

// The call a signal came in: one of its own, or a stage of a driver request.
enum SignalStage { kPlainCall, kAtSend, kAtSelect, kAtReceive };
extern const char* const kStageNames[];

// The next signal a handler noted that no line tells yet: false when none.
bool NextNotedSignal(int* sig);

// Puts the recorder's handler in front of the tool's handlers installed
// before the recording began (`wrap`), or takes it away again.
void WrapInstalledHandlers(bool wrap);

// sigaction as the tool calls it, with the recorder's handler in front of
// the one `act` installs, and the tool's own in `old`.
int WrappedSigaction(int sig, const struct sigaction* act, struct sigaction* old);

// What a sigaction call installs, as the capture names it.
const char* ActionName(const struct sigaction* act);

// "SIGTERM", or the number (0: an interruption no handler of the run saw).
void PutSignal(int sig);

}  // namespace os::recorder
