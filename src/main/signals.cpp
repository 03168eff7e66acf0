// SPDX-License-Identifier: MIT
// What a signal does to the run. A controller flashed in part is a dead
// backplane, so the handlers only record the signal and the run acts on it
// where that is safe: outside a controller's programming at the next call
// into the machine (the run stops there, cleanly), inside it at the
// programming's next safe point (the flash code asks SignalStopsProgramming),
// after which the run stops before anything else is begun. The process then
// ends by the same signal, so that shells and supervisors see what they
// would see without the handlers.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "logfile/logfile.h"
#include "os/os.h"
#include "outcome.h"
#include "qb40tool.h"

namespace {

// A hung-up session, an operator's Ctrl-C or Ctrl-\, a supervisor's stop.
constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

struct SignalName {
    int number;
    const char* name;
};
constexpr SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
};

// Written by the handler only. The first signals are kept by number, so
// that each can be named in the log; the run ends by the first.
constexpr int kKept = 4;
volatile sig_atomic_t Received[kKept];
volatile sig_atomic_t ReceivedCount = 0;

int Noted = 0;              // signals already written to the log while deferring
bool Programming = false;   // a controller is between its erase and its end

void RecordSignal(int sig)
{
    int n = ReceivedCount;
    if (n < kKept)
        Received[n] = sig;
    ReceivedCount = n + 1;
}

const char* NameOf(int sig)
{
    for (const SignalName& s : kSignalNames)
        if (s.number == sig)
            return s.name;
    return "signal";
}

// Inside a controller's programming: each signal received is written once
// to the console and the log, and changes nothing else.
void NoteDeferredSignals()
{
    for (int count = ReceivedCount; Noted < count; ++Noted) {
        int sig = Received[Noted < kKept ? Noted : kKept - 1];  // beyond the kept ones: the last kept
        pb("%s received: stopping at the controller's next safe point", NameOf(sig));
    }
}

// The run stops here: the terminal restored, the report (naming the signal
// in place of an exit status), the closing lines, the log closed, and the
// process ended by the first signal received.
[[noreturn]] void StopRunOnSignal()
{
    const int sig = Received[0];
    const char* name = NameOf(sig);
    set_tty_cooked();  // a hung-up terminal refuses: nothing more can be done for it
    pb("\nRun stopped by %s", name);
    NoteRunSignal(name);
    EndRun(128 + sig);
    time_t t = os::time(nullptr);
    const char* text = ctime(&t);
    pf("\nFinished: %s", text ? text : "(time unknown)\n");
    pf("Exited on signal %s", name);
    CloseLogFile();

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    os::sigaction(sig, &action, nullptr);
    os::raise(sig);
    exit(128 + sig);  // not reached: the signal's default action ends the process
}

}  // namespace

void InstallSignalHandlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RecordSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopSignals)
        sigaddset(&action.sa_mask, sig);
    // Without SA_RESTART: a wait for a key ends when a signal comes. The
    // waits that must go on (pauses, the driver's answer) go on by themselves.
    action.sa_flags = 0;
    for (int sig : kStopSignals) {
        struct sigaction before;
        // A signal ignored when the tool was started (nohup, a background
        // job) stays ignored: whoever started it asked for that.
        if (os::sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        os::sigaction(sig, &action, nullptr);
    }
    // A reader that went away (qb40tool ... | head) costs the console lines,
    // not the run: a failed console write is dropped.
    action.sa_handler = SIG_IGN;
    os::sigaction(SIGPIPE, &action, nullptr);
}

int SignalReceived() { return ReceivedCount > 0 ? Received[0] : 0; }

void CheckSignal()
{
    if (ReceivedCount == 0)
        return;
    if (Programming)
        NoteDeferredSignals();
    else
        StopRunOnSignal();
}

void ProgrammingBegins()
{
    CheckSignal();
    Programming = true;
}

void ProgrammingEnds() { Programming = false; }

bool SignalStopsProgramming()
{
    CheckSignal();
    return ReceivedCount > 0;
}
