// SPDX-License-Identifier: MIT
// What a signal does to the run. The handlers only record a signal; the run
// looks at it at safe points (waits/safe_point.h).
#pragma once

// Installs the handlers, and CheckSignal as the check of every safe point.
void InstallSignalHandlers();
// The first signal received, 0 while none came.
int SignalReceived();
// A safe point: outside a controller's programming a signal received stops
// the run here (and the process ends by that signal); inside it, the signal
// is written to the log once and the programming goes on.
void CheckSignal();
// The programming of one controller, from its erase to its end. A signal
// that came before it begins stops the run at once.
void ProgrammingBegins();
void ProgrammingEnds();
// At a safe point of the programming: true when a signal asks it to stop there.
bool SignalStopsProgramming();
