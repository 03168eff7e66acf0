// SPDX-License-Identifier: MIT
// The recorder of --capture. Every call of the seam is written down as one
// line of JSON with its time in microseconds since the recording started
// (the monotonic clock) and its result. What would make the file large is
// folded as it goes:
//
// - a request through the driver (send, select, receive) is one line;
// - the port accesses of a KCS transfer are one line from WRITE_START to
//   the dummy byte, with repeated status reads counted, not repeated;
// - a run of flash byte commands that carry the loaded image's bytes at
//   their own addresses, all answered alike, is one line that names the
//   run and holds no image byte.
//
// Fixed buffers only; the lines go out in large writes. This file holds the
// hooks the seam calls and the recorder's entry points; the lines
// (event_lines), the folding of driver requests (driver_folding), of KCS
// transfers (kcs_folding) and of runs of byte commands (image_runs), the
// redaction and the signals' wrapping each have their own.
#include "capture.h"

#include <cerrno>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "../os/os.h"
#include "driver_folding.h"
#include "event_lines.h"
#include "image_runs.h"
#include "kcs_folding.h"
#include "lan_folding.h"
#include "redaction.h"
#include "signal_wrap.h"

namespace os {

bool rec::recording = false;

using namespace recorder;

namespace {

// Where the driver's select of an exchange was asked for.
bool PendingSelect = false;
int PendingSelectFd = -1;
bool PendingSelectIsPoll = false;
long long PendingSelectTimeoutUs = -1;

// Everything pending goes out before a line of another kind.
void Settle()
{
    WriteExchange();
    WriteLanExchange();
    WriteKcsTransfer();
    WriteRun();
    WriteLoose();
}

// The signals noted since the last call: a line each (after what is
// pending), or, during a driver request, a note in its line.
void NoteSignals(int stage)
{
    int sig;
    while (NextNotedSignal(&sig)) {
        long long t = Now();
        if (NoteExchangeSignal(sig, stage, t))
            continue;
        Settle();
        BeginEvent(t, "signal");
        Puts(",\"sig\":");
        PutSignal(sig);
        EndEvent();
    }
}

// tcsetattr's actions by value (TCSANOW, TCSADRAIN, TCSAFLUSH are 0, 1, 2).
constexpr const char* kTcsetattrActions[] = {"TCSANOW", "TCSADRAIN", "TCSAFLUSH"};
const char* TcsetattrAction(int action) { return action >= 0 && action <= 2 ? kTcsetattrActions[action] : "?"; }

// The line of a plain call, begun once the call has returned and ended with
// its result: the signals it saw come first, loose port accesses are settled.
struct CallEvent {
    KeepErrno keep;
    int error;
    long long t = 0;
    CallEvent(const char* kind, int result) : error(ErrnoOf(result))
    {
        NoteSignals(kPlainCall);
        Settle();
        t = Now();
        BeginEvent(t, kind);
    }
    CallEvent(const CallEvent&) = delete;
    CallEvent& operator=(const CallEvent&) = delete;
    void result(int r) const { PutResult(r, error); }
    ~CallEvent()
    {
        EndEvent();
        LastCallUs = t;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// The hooks

void rec::open(const char* path, int flags, int result)
{
    CallEvent event("open", result);
    Puts(",\"path\":");
    PutText(path);
    WriterPrintf(&Lines, ",\"flags\":%d", flags);
    event.result(result);
}

void rec::close(int fd, int result)
{
    CallEvent event("close", result);
    WriterPrintf(&Lines, ",\"fd\":%d", fd);
    event.result(result);
}

void rec::ioctl(int fd, unsigned long request, void* arg, int result)
{
    KeepErrno keep;
    int error = ErrnoOf(result);
    if (request == IPMICTL_SEND_COMMAND && arg) {
        WriteExchange();
        WriteKcsTransfer();
        WriteLoose();
        DriverSend(fd, static_cast<const ipmi_req*>(arg), error);
        NoteSignals(kAtSend);
        if (error)
            WriteExchange();
    } else if (request == IPMICTL_RECEIVE_MSG_TRUNC && arg) {
        NoteSignals(kAtReceive);
        DriverReceive(fd, static_cast<ipmi_recv*>(arg), error);
    } else {
        NoteSignals(kPlainCall);
        Settle();
        BeginEvent(Now(), "ioctl");
        WriterPrintf(&Lines, ",\"fd\":%d,\"request\":\"0x%lX\"", fd, request);
        PutResult(result, error);
        EndEvent();
    }
    LastCallUs = Now();
}

void rec::select_begin(int nfds, const fd_set* readfds, const struct timeval* timeout)
{
    KeepErrno keep;
    PendingSelect = true;
    PendingSelectFd = -1;
    int watched = 0;
    for (int f = 0; readfds && f < nfds && f < FD_SETSIZE; ++f) {
        if (FD_ISSET(f, readfds)) {
            PendingSelectFd = f;
            ++watched;
        }
    }
    if (watched != 1)
        PendingSelectFd = -1;
    PendingSelectTimeoutUs = timeout ? static_cast<long long>(timeout->tv_sec) * 1000000LL + timeout->tv_usec : -1;
    PendingSelectIsPoll = PendingSelectFd == 0 && PendingSelectTimeoutUs == 0;
}

void rec::select_end(int result, const fd_set* readfds)
{
    KeepErrno keep;
    int error = ErrnoOf(result);
    if (!PendingSelect)
        return;
    PendingSelect = false;
    long long t = Now();
    bool fd_ready = PendingSelectFd >= 0 && readfds && FD_ISSET(PendingSelectFd, readfds);
    if (PendingSelectFd > 0 && Exchange.open && Exchange.fd == PendingSelectFd && !Exchange.selected) {
        int before = Exchange.signal_count;
        NoteSignals(kAtSelect);
        if (result < 0 && error == EINTR) {
            // The wait goes on for the time left: the same request's.
            if (Exchange.signal_count == before && before < static_cast<int>(sizeof Exchange.signals / sizeof Exchange.signals[0]))
                Exchange.signals[Exchange.signal_count++] = DriverExchange::Interruption{0, kAtSelect, t};
            LastCallUs = t;
            return;
        }
        Exchange.selected = true;
        Exchange.select_result = result;
        Exchange.select_errno = error;
        Exchange.fd_ready = fd_ready;
        Exchange.t_select = t;
        if (!(result > 0 && fd_ready))
            WriteExchange();
        LastCallUs = t;
        return;
    }
    NoteSignals(kPlainCall);
    if (PendingSelectIsPoll) {
        WriteExchange();
        WriteKcsTransfer();
        WriteLoose();
        if (result == 0 && PollJoinsRun()) {
            LastCallUs = t;
            return;
        }
        WriteRun();
        BeginEvent(t, "poll");
        PutResult(result, error);
        EndEvent();
        LastCallUs = t;
        return;
    }
    Settle();
    BeginEvent(t, "select");
    WriterPrintf(&Lines, ",\"fd\":%d,\"timeout\":%lld", PendingSelectFd, PendingSelectTimeoutUs);
    PutResult(result, error);
    if (result > 0)
        WriterPrintf(&Lines, ",\"fd_ready\":%s", fd_ready ? "true" : "false");
    EndEvent();
    LastCallUs = t;
}

void rec::iopl(int level, int result)
{
    CallEvent event("iopl", result);
    WriterPrintf(&Lines, ",\"level\":%d", level);
    event.result(result);
}

unsigned char rec::inb(unsigned short port, unsigned char value)
{
    KeepErrno keep;
    if (InKcsTransfer(port))
        NoteTransferSignals();
    else
        NoteSignals(kPlainCall);
    WriteExchange();
    long long t = Now();
    value = KcsRead(port, value, t);
    LastCallUs = t;
    return value;
}

void rec::outb(unsigned char value, unsigned short port)
{
    // The I/O delay after every access: the tool's own habit, no device's.
    if (port == kIoDelayPort)
        return;
    KeepErrno keep;
    if (InKcsTransfer(port) && !BeginsTransfer(port, value))
        NoteTransferSignals();
    else
        NoteSignals(kPlainCall);
    WriteExchange();
    long long t = Now();
    KcsWrite(port, value, t);
    LastCallUs = t;
}

void rec::nanosleep(const struct timespec* req, const struct timespec* rem, int result)
{
    CallEvent event("sleep", result);
    WriterPrintf(&Lines, ",\"us\":%lld", MicrosecondsOf(*req));
    if (result != 0) {
        event.result(result);
        if (event.error == EINTR && rem)
            WriterPrintf(&Lines, ",\"left_us\":%lld", MicrosecondsOf(*rem));
    }
}

void rec::time(time_t result)
{
    CallEvent event("time", 0);
    WriterPrintf(&Lines, ",\"v\":%lld", static_cast<long long>(result));
}

void rec::system(const char* command, int result)
{
    CallEvent event("shell", result);
    Puts(",\"cmd\":");
    PutText(command);
    event.result(result);
}

void rec::tcgetattr(int fd, int result)
{
    CallEvent event("tcgetattr", result);
    WriterPrintf(&Lines, ",\"fd\":%d", fd);
    event.result(result);
}

void rec::tcsetattr(int fd, int optional_actions, const struct termios* attr, int result)
{
    CallEvent event("tcsetattr", result);
    WriterPrintf(&Lines, ",\"fd\":%d,\"how\":\"%s\",\"raw\":%s", fd, TcsetattrAction(optional_actions),
           attr && !(attr->c_lflag & ICANON) ? "true" : "false");
    event.result(result);
}

void rec::getchar(int result)
{
    CallEvent event("key", result);
    WriterPrintf(&Lines, ",\"c\":%d,\"wait\":%lld", result, event.t - LastCallUs);
    // A wait for a key that a signal ended.
    if (event.error == EINTR)
        PutErrno("errno", event.error);
}

void rec::fflush_stdin(int result)
{
    CallEvent event("fflush", result);
    event.result(result);
}

namespace {

void (*BeforeRaise)() = nullptr;

}  // namespace

int rec::sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    int result = WrappedSigaction(sig, act, old);
    CallEvent event("sigaction", result);
    Puts(",\"sig\":");
    PutSignal(sig);
    WriterPrintf(&Lines, ",\"act\":\"%s\"", ActionName(act));
    event.result(result);
    return result;
}

void rec::gethostname(const char* name, size_t len, int result)
{
    CallEvent event("hostname", result);
    if (result == 0) {
        // Cut short to `len` bytes, the name need not end in a 0.
        char text[256];
        size_t n = strnlen(name, len < sizeof text ? len : sizeof text - 1);
        std::memcpy(text, name, n);
        text[n] = '\0';
        Puts(",\"name\":");
        PutText(RedactHost ? kHostPlaceholder : text);
    }
    event.result(result);
}

void rec::read_system_file(const char* path, const char* buf, ssize_t result)
{
    CallEvent event("sysfile", static_cast<int>(result < 0 ? -1 : 0));
    Puts(",\"path\":");
    PutText(path);
    // The files the tool reads here are the machine's identity.
    static const char kPlaceholderLine[] = "redacted\n";
    if (result >= 0 && RedactHost) {
        PutHexField("bytes", reinterpret_cast<const unsigned char*>(kPlaceholderLine), sizeof kPlaceholderLine - 1);
        result = sizeof kPlaceholderLine - 1;
    } else if (result >= 0) {
        PutHexField("bytes", reinterpret_cast<const unsigned char*>(buf), static_cast<size_t>(result));
    }
    event.result(static_cast<int>(result < 0 ? -1 : result));
}

void rec::raise(int sig)
{
    {
        CallEvent event("raise", 0);
        Puts(",\"sig\":");
        PutSignal(sig);
    }
    if (BeforeRaise)
        BeforeRaise();
}

void rec::lan_session(int bmc, const char* host, unsigned port, const char* user, int privilege, int suite,
                      const char* result)
{
    KeepErrno keep;
    NoteSignals(kPlainCall);
    Settle();
    LanSession(bmc, host, port, user, privilege, suite, result);
    LastCallUs = Now();
}

void rec::lan_request(int bmc, const unsigned char* req, size_t length)
{
    KeepErrno keep;
    NoteSignals(kPlainCall);
    WriteExchange();
    WriteLanExchange();
    WriteKcsTransfer();
    WriteLoose();
    LanRequest(bmc, req, length);
}

void rec::lan_answer(unsigned char* answer, size_t length)
{
    KeepErrno keep;
    LanAnswer(answer, length);
    LastCallUs = Now();
}

void rec::lan_close()
{
    KeepErrno keep;
    NoteSignals(kPlainCall);
    Settle();
    LanClose();
    LastCallUs = Now();
}

// ---------------------------------------------------------------------------
// Control

int capture_start(int events_fd, void (*before_raise)())
{
    BeforeRaise = before_raise;
    if (int error = StartLines(events_fd))
        return error;
    WrapInstalledHandlers(true);
    rec::recording = true;
    return 0;
}

long long capture_started_us() { return StartedWallUs(); }

void capture_image(const unsigned char* bytes, unsigned size)
{
    KeepErrno keep;
    if (rec::recording)
        Settle();  // a run never spans two loadings
    SetImage(bytes, size);
}

int capture_stop()
{
    KeepErrno keep;
    if (!rec::recording)
        return Lines.error;
    NoteSignals(kPlainCall);
    Settle();
    WriterFlush(&Lines);
    rec::recording = false;
    WrapInstalledHandlers(false);
    return Lines.error;
}

}  // namespace os
