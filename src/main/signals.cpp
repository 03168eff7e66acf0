// SPDX-License-Identifier: MIT
// What a signal does to the run. A controller flashed in part is a dead
// backplane, so the handlers only record the signal and the run acts on it
// where that is safe: outside a controller's programming at the next call
// into the machine (the run stops there, cleanly), inside it at the
// programming's next safe point (the flash code asks SignalStopsProgramming),
// after which the run stops before anything else is begun. The process then
// ends by the same signal, so that shells and supervisors see what they
// would see without the handlers.
#include "signals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../bmc/discovery.h"
#include "../common/signal_names.h"
#include "../i2c/mux_as_found.h"
#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../outcome/outcome.h"
#include "../waits/safe_point.h"
#include "../waits/terminal.h"
#include "leds.h"

namespace {

// Every signal whose default action ends the process and that comes from
// outside it: a hung-up session, an operator's Ctrl-C or Ctrl-\, a
// supervisor's stop, a timer or a CPU or file-size limit running out, a
// power failure, a stray kill. Left to their default, any of them would end
// the process in the middle of a controller's programming. Not here: the
// signals of the process's own faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP, SIGSYS, SIGABRT), SIGPIPE (ignored below), SIGKILL and SIGSTOP
// (which cannot be caught) and the real-time signals.
// (The list: kStopSignals, common/signal_names.h.)
using StopSignal = NamedSignal;

constexpr int kKinds = sizeof kStopSignals / sizeof kStopSignals[0];

// Written by the handler only (which runs with every stop signal blocked):
// each kind of signal received, in the order of its first coming; the run
// ends by the first. A kind that comes again is not kept again: a console
// over its file-size limit raises SIGXFSZ at every line it is written.
volatile sig_atomic_t Received[kKinds];
volatile sig_atomic_t ReceivedCount = 0;
// Set by the handler at every stop signal, cleared where the run looks at
// them: a wait for a key that begins with it set ends at once (os.h).
volatile sig_atomic_t Arrived = 0;

int Noted = 0;              // kinds already written to the log while deferring
bool Programming = false;   // a controller is between its erase and its end
bool Stopping = false;      // the stop is under way: its own requests go on

void RecordSignal(int sig)
{
    Arrived = 1;
    int n = ReceivedCount;
    for (int i = 0; i < n; i++)
        if (Received[i] == sig)
            return;
    if (n < kKinds) {
        Received[n] = sig;
        ReceivedCount = n + 1;
    }
}

const char* NameOf(int sig)
{
    for (const StopSignal& s : kStopSignals)
        if (s.number == sig)
            return s.name;
    return "signal";
}

// Inside a controller's programming: each kind of signal received is
// written once to the console and the log, and changes nothing else.
void NoteDeferredSignals()
{
    for (int count = ReceivedCount; Noted < count; ++Noted)
        pb("%s received: stopping at the controller's next safe point", NameOf(Received[Noted]));
}

// The run stops here: the terminal restored, the LEDs the run lit put out,
// the report (naming the signal in place of an exit status), the closing
// lines, the log closed, and the process ended by the first signal received.
[[noreturn]] void StopRunOnSignal()
{
    Stopping = true;
    const int sig = Received[0];
    const char* name = NameOf(sig);
    set_tty_cooked();  // a hung-up terminal refuses: nothing more can be done for it
    // A found mark or a lamp test left lit sends a technician to a healthy
    // drive, and a next scan skips a controller whose marks are lit.
    PutOutLitLeds();
    PutMuxesBackAsFound();  // --read-only -ms: each mux as the run found it
    CloseBmcRoads();        // the network road's session
    pb("\nRun stopped by %s", name);
    NoteRunSignal(name);
    EndRun(128 + sig);
    time_t t = os::time(nullptr);
    const char* text = ctime(&t);
    pf("\nFinished: %s", text ? text : "(time unknown)\n");
    pf("Exited on signal %s", name);
    CloseLogFile();
    ReportLateLosses();

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
    SetSafePointCheck(CheckSignal);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RecordSignal;
    sigemptyset(&action.sa_mask);
    for (const StopSignal& s : kStopSignals)
        sigaddset(&action.sa_mask, s.number);
    // Without SA_RESTART: a wait for a key ends when a signal comes. The
    // waits that must go on (pauses, the driver's answer) go on by themselves.
    action.sa_flags = 0;
    os::set_stop_signals(&action.sa_mask, &Arrived);
    for (const StopSignal& s : kStopSignals) {
        struct sigaction before;
        // A signal ignored when the tool was started (nohup, a background
        // job) stays ignored: whoever started it asked for that.
        if (os::sigaction(s.number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        os::sigaction(s.number, &action, nullptr);
    }
    // A reader that went away (qb40tool ... | head) costs the console lines,
    // not the run: a failed console write is dropped.
    action.sa_handler = SIG_IGN;
    os::sigaction(SIGPIPE, &action, nullptr);
}

int SignalReceived() { return ReceivedCount > 0 ? Received[0] : 0; }

void CheckSignal()
{
    Arrived = 0;  // what came by now is acted on here
    if (ReceivedCount == 0 || Stopping)
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
