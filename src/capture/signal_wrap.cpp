// SPDX-License-Identifier: MIT
#include "signal_wrap.h"

#include "../os/os.h"
#include "event_lines.h"

namespace os::recorder {

const char* const kStageNames[] = {"call", "send", "select", "receive"};

namespace {

// The signals the run's handlers received, in order. The recorder installs
// its own handler in place of the tool's: it notes the signal here and
// calls the tool's. Written by the handler only.
constexpr int kSignalRing = 64;
volatile sig_atomic_t SignalRing[kSignalRing];
volatile sig_atomic_t SignalsNoted = 0;
int SignalsWritten = 0;
void (*ToolHandlers[NSIG])(int);
void (*ToolActions[NSIG])(int, siginfo_t*, void*);

void Noted(int sig)
{
    int n = SignalsNoted;
    SignalRing[n % kSignalRing] = sig;
    SignalsNoted = n + 1;
}

void NoteSignal(int sig)
{
    Noted(sig);
    if (sig > 0 && sig < NSIG && ToolHandlers[sig])
        ToolHandlers[sig](sig);
}

void NoteSignalWithInfo(int sig, siginfo_t* info, void* context)
{
    Noted(sig);
    if (sig > 0 && sig < NSIG && ToolActions[sig])
        ToolActions[sig](sig, info, context);
}

bool IsHandler(const struct sigaction& a)
{
    return (a.sa_flags & SA_SIGINFO) || (a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN);
}

// `action` as installed: the recorder's handler in front of the tool's.
struct sigaction Wrapped(int sig, const struct sigaction& action)
{
    struct sigaction mine = action;
    ToolHandlers[sig] = nullptr;
    ToolActions[sig] = nullptr;
    if (action.sa_flags & SA_SIGINFO) {
        ToolActions[sig] = action.sa_sigaction;
        mine.sa_sigaction = NoteSignalWithInfo;
    } else if (IsHandler(action)) {
        ToolHandlers[sig] = action.sa_handler;
        mine.sa_handler = NoteSignal;
    }
    return mine;
}

// The tool's own handler where the recorder's stands.
void Unwrapped(struct sigaction& action, void (*handler)(int), void (*info_handler)(int, siginfo_t*, void*))
{
    if ((action.sa_flags & SA_SIGINFO) && action.sa_sigaction == NoteSignalWithInfo)
        action.sa_sigaction = info_handler;
    else if (!(action.sa_flags & SA_SIGINFO) && action.sa_handler == NoteSignal)
        action.sa_handler = handler;
}

}  // namespace

bool NextNotedSignal(int* sig)
{
    if (SignalsWritten >= SignalsNoted)
        return false;
    *sig = SignalRing[SignalsWritten++ % kSignalRing];
    return true;
}

// The handlers installed before the recording began get the recorder's in
// front of them too (stop: the tool's alone again).
void WrapInstalledHandlers(bool wrap)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current;
        if (sig == SIGKILL || sig == SIGSTOP || sys::sigaction(sig, nullptr, &current) != 0 || !IsHandler(current))
            continue;
        if (wrap) {
            struct sigaction mine = Wrapped(sig, current);
            sys::sigaction(sig, &mine, nullptr);
        } else {
            Unwrapped(current, ToolHandlers[sig], ToolActions[sig]);
            sys::sigaction(sig, &current, nullptr);
        }
    }
}

// "SIGTERM", or the number (0: an interruption no handler of the run saw).
void PutSignal(int sig)
{
    if (const char* name = SignalNameOf(sig))
        WriterPrintf(&Lines, "\"%s\"", name);
    else
        WriterPrintf(&Lines, "%d", sig);
}

int WrappedSigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    if (sig <= 0 || sig >= NSIG)
        return sys::sigaction(sig, act, old);
    void (*handler)(int) = ToolHandlers[sig];
    void (*info_handler)(int, siginfo_t*, void*) = ToolActions[sig];
    struct sigaction mine;
    if (act)
        mine = Wrapped(sig, *act);
    int result = sys::sigaction(sig, act ? &mine : nullptr, old);
    if (result == 0 && old)
        Unwrapped(*old, handler, info_handler);
    return result;
}

// What a sigaction call installs, as the capture names it.
const char* ActionName(const struct sigaction* act)
{
    if (!act)
        return "query";
    if (IsHandler(*act))
        return "handler";
    return act->sa_handler == SIG_IGN ? "ignore" : "default";
}

}  // namespace os::recorder
