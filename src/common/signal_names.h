// SPDX-License-Identifier: MIT
// The signals that stop a run in order, by name: the run's handlers
// (main/signals.cpp) catch these, and the log, the report and the capture
// name a signal so.
#pragma once

#include <csignal>

struct NamedSignal {
    int number;
    const char* name;
};

// Every signal an operator, a supervisor or the system sends to end or warn
// a process: a dropped terminal, Ctrl-C, a supervisor's stop, a timer, a
// power failure, a stray kill.
inline constexpr NamedSignal kStopSignals[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGTERM, "SIGTERM"},
    {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},     {SIGXCPU, "SIGXCPU"},
    {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGPWR, "SIGPWR"},
    {SIGIO, "SIGIO"},     {SIGSTKFLT, "SIGSTKFLT"},
};

// The name of a stop signal or of SIGPIPE (which the run ignores), or null.
inline const char* SignalNameOf(int sig)
{
    if (sig == SIGPIPE)
        return "SIGPIPE";
    for (const NamedSignal& s : kStopSignals)
        if (s.number == sig)
            return s.name;
    return nullptr;
}
