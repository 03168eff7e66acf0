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
// Fixed buffers only; the lines go out in large writes.
#include "capture.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "../os/os.h"

namespace os {

bool rec::recording = false;

namespace {

// ---------------------------------------------------------------------------
// Output

char Out[1 << 16];
size_t OutUsed = 0;
int EventsFd = -1;
int OutFd = -1;  // the events while recording, the capture file after
int WriteError = 0;

void Flush()
{
    const char* p = Out;
    size_t left = WriteError ? 0 : OutUsed;
    while (left > 0) {
        ssize_t n = sys::write(OutFd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            WriteError = n < 0 && errno ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    OutUsed = 0;
}

void Put(const char* bytes, size_t length)
{
    while (length > 0) {
        if (OutUsed == sizeof Out)
            Flush();
        size_t n = length < sizeof Out - OutUsed ? length : sizeof Out - OutUsed;
        std::memcpy(Out + OutUsed, bytes, n);
        OutUsed += n;
        bytes += n;
        length -= n;
    }
}

void Puts(const char* text) { Put(text, std::strlen(text)); }


const char kHexDigits[] = "0123456789ABCDEF";

// "18 52 01" without a call per byte.
void PutHex(const unsigned char* bytes, size_t length)
{
    char text[96];
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        if (used + 3 > sizeof text) {
            Put(text, used);
            used = 0;
        }
        if (i > 0)
            text[used++] = ' ';
        text[used++] = kHexDigits[bytes[i] >> 4];
        text[used++] = kHexDigits[bytes[i] & 0x0F];
    }
    Put(text, used);
}

void PutHexField(const char* name, const unsigned char* bytes, size_t length)
{
    capture_printf(",\"%s\":\"", name);
    PutHex(bytes, length);
    Put("\"", 1);
}

// A JSON string of text the tool passes to the seam (device paths, shell
// commands): plain ASCII, escaped where JSON needs it.
void PutText(const char* text)
{
    Put("\"", 1);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            char escaped[2] = {'\\', static_cast<char>(*p)};
            Put(escaped, 2);
        } else if (*p < 0x20 || *p >= 0x7F) {
            capture_printf("\\u%04x", *p);
        } else {
            Put(reinterpret_cast<const char*>(p), 1);
        }
    }
    Put("\"", 1);
}

struct ErrnoName {
    int value;
    const char* name;
};
constexpr ErrnoName kErrnoNames[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"}, {EINTR, "EINTR"},       {EIO, "EIO"},       {ENXIO, "ENXIO"},
    {EBADF, "EBADF"},   {EAGAIN, "EAGAIN"}, {ENOMEM, "ENOMEM"},     {EACCES, "EACCES"}, {EFAULT, "EFAULT"},
    {EBUSY, "EBUSY"},   {ENODEV, "ENODEV"}, {EINVAL, "EINVAL"},     {ENOTTY, "ENOTTY"}, {EMSGSIZE, "EMSGSIZE"},
    {ETIMEDOUT, "ETIMEDOUT"},
};

// ,"errno":"ENOENT" (or the number where the name is not in the table).
void PutErrno(const char* field, int value)
{
    for (const ErrnoName& e : kErrnoNames) {
        if (e.value == value) {
            capture_printf(",\"%s\":\"%s\"", field, e.name);
            return;
        }
    }
    capture_printf(",\"%s\":%d", field, value);
}

// ---------------------------------------------------------------------------
// Time

long long StartMonotonicUs = 0;
long long StartWallUs = 0;

long long MicrosecondsOf(const struct timespec& ts)
{
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

long long Now()
{
    struct timespec ts {};
    if (sys::clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 0;
    return MicrosecondsOf(ts) - StartMonotonicUs;
}

// When the last call the recorder saw returned: how long a key took to come
// is the time from there to the read that returned it.
long long LastCallUs = 0;

// ---------------------------------------------------------------------------
// Signals

// The call a signal came in: one of its own, or a stage of a driver request.
enum SignalStage { kPlainCall, kAtSend, kAtSelect, kAtReceive };
const char* const kStageNames[] = {"call", "send", "select", "receive"};

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

struct SignalName {
    int number;
    const char* name;
};
constexpr SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
    {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
    {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
    {SIGPWR, "SIGPWR"},   {SIGIO, "SIGIO"},     {SIGSTKFLT, "SIGSTKFLT"},
};

const char* SignalNameOf(int sig)
{
    for (const SignalName& n : kSignalNames)
        if (n.number == sig)
            return n.name;
    return nullptr;
}

// "SIGTERM", or the number (0: an interruption no handler of the run saw).
void PutSignal(int sig)
{
    if (const char* name = SignalNameOf(sig))
        capture_printf("\"%s\"", name);
    else
        capture_printf("%d", sig);
}

void BeginEvent(long long t, const char* kind)
{
    capture_printf("{\"t\":%lld,\"e\":\"%s\"", t, kind);
}

void EndEvent() { Put("}\n", 2); }

// ---------------------------------------------------------------------------
// The loaded image, and VPD redaction

const unsigned char* Image = nullptr;
unsigned ImageSize = 0;

bool RedactVpd = false;
unsigned char VpdAddress8 = 0;
constexpr int kMaxTextFields = 8;
unsigned char VpdTextFields[kMaxTextFields][2];
int VpdTextFieldCount = 0;

// The offset a VPD read asks for: the one the last pointer write to the
// same EEPROM (per way to the BMC, bus and device) set, once the BMC
// acknowledged it. A read takes it: the next read asks for none until the
// next pointer write, since what a lost or failed read moved is unknown.
struct VpdPointer {
    int channel;  // the driver's descriptor, or the KCS status port
    unsigned char bus;
    unsigned char address8;
    unsigned char offset;
    bool asked;  // `offset` is what the next read asks for
    bool used;
};
VpdPointer VpdPointers[16];
unsigned NextVpdPointer = 0;

VpdPointer* FindVpdPointer(int channel, unsigned char bus, unsigned char address8, bool create)
{
    for (VpdPointer& p : VpdPointers)
        if (p.used && p.channel == channel && p.bus == bus && p.address8 == address8)
            return &p;
    if (!create)
        return nullptr;
    VpdPointer& p = VpdPointers[NextVpdPointer++ % (sizeof VpdPointers / sizeof VpdPointers[0])];
    p = VpdPointer{channel, bus, address8, 0, false, true};
    return &p;
}

constexpr unsigned char kNetFnAppLun0 = 0x18;
constexpr unsigned char kMasterWriteRead = 0x52;
constexpr unsigned char kPlaceholder = 'X';

bool IsMasterWriteRead(const unsigned char* req, size_t length)
{
    return length >= 5 && req[0] == kNetFnAppLun0 && req[1] == kMasterWriteRead;
}

// What a request to the VPD EEPROM asks: a read of `count` bytes, from
// `offset` when `known` (else from wherever the EEPROM's pointer happens to
// be), or a pointer write to `offset`. All zero: nothing of the VPD.
struct VpdAsk {
    unsigned count;  // a read of this many bytes
    bool pointer_write;
    bool known;
    unsigned char offset;
};

// A request is about to reach the BMC.
VpdAsk VpdRequest(int channel, const unsigned char* req, size_t length)
{
    VpdAsk ask{};
    if (!RedactVpd || !IsMasterWriteRead(req, length) || req[3] != VpdAddress8)
        return ask;
    VpdPointer* p = FindVpdPointer(channel, req[2], req[3], true);
    if (req[4] == 0 && length == 6) {
        ask.pointer_write = true;
        ask.offset = req[5];
    } else if (req[4] != 0 && length == 5) {
        ask.count = req[4];
        ask.known = p->asked;
        ask.offset = p->offset;
    }
    // Whatever else reaches the EEPROM leaves its pointer unknown.
    p->asked = false;
    return ask;
}

// The BMC acknowledged a pointer write: the next read asks for its offset.
void VpdPointerSet(int channel, const unsigned char* req, const VpdAsk& ask)
{
    if (!ask.pointer_write)
        return;
    VpdPointer* p = FindVpdPointer(channel, req[2], req[3], true);
    p->offset = ask.offset;
    p->asked = true;
}

// Byte `index` of a read's answer as the tool is to see it.
unsigned char RedactedVpdByte(const VpdAsk& ask, unsigned index, unsigned char value)
{
    if (value == 0)
        return value;
    if (!ask.known)
        return kPlaceholder;
    unsigned offset = unsigned(ask.offset) + index;
    for (int i = 0; i < VpdTextFieldCount; ++i)
        if (offset >= VpdTextFields[i][0] && offset < unsigned(VpdTextFields[i][0]) + VpdTextFields[i][1])
            return kPlaceholder;
    return value;
}

// The host's identity in the capture.
bool RedactHost = false;
constexpr const char kHostPlaceholder[] = "redacted";

// ---------------------------------------------------------------------------
// Runs of flash byte commands

// 55 AA [F2] E0|E1 AH AL DD in a Master Write-Read write.
struct ByteCommand {
    size_t prefix_length;  // request bytes before AH
    unsigned address;
};

bool ParseImageByteCommand(const unsigned char* req, size_t length, ByteCommand* command)
{
    if (!Image || !IsMasterWriteRead(req, length) || req[4] != 0 || length < 5 + 6)
        return false;
    const unsigned char* data = req + 5;
    size_t data_length = length - 5;
    if (data[0] != 0x55 || data[1] != 0xAA)
        return false;
    size_t code_at = data[2] == 0xF2 ? 3 : 2;
    if (data_length != code_at + 4 || (data[code_at] != 0xE0 && data[code_at] != 0xE1))
        return false;
    unsigned address = static_cast<unsigned>(data[code_at + 1] << 8 | data[code_at + 2]);
    if (address >= ImageSize || data[code_at + 3] != Image[address])
        return false;
    command->prefix_length = 5 + code_at + 1;
    command->address = address;
    return true;
}

constexpr int kMaxMessage = 2 + 272;  // NetFn/LUN, command and the driver's longest data
constexpr int kMaxPollMarks = 1024;
constexpr int kMaxLate = 256;
// Differences in time a run of byte commands does not keep: a real bus and
// a real process are never exactly regular.
constexpr long long kJitterUs = 500;
constexpr size_t kMaxTokens = 8192;

struct Run {
    bool open;
    bool kcs;
    int fd;                             // driver
    unsigned short status_port, data_port;  // KCS
    unsigned char prefix[16];
    size_t prefix_length;
    unsigned first_address;
    unsigned long count;
    unsigned char resp[kMaxMessage];
    size_t resp_length;
    long first_id, last_id;
    // Driver: the first command's answer time and the time from an answer
    // to the next command; the commands that kept neither (by more than
    // kJitterUs) are listed with their own.
    long long t0, last_end, gap, latency;
    struct Late {
        unsigned long index;
        long long gap, latency;
    };
    Late late[kMaxLate];
    int late_count;
    unsigned long polls[kMaxPollMarks];  // command indexes a quiet poll of standard input came before
    int poll_count;
    char pattern[kMaxTokens];  // KCS: the port accesses of one command, its own bytes masked
    // The line of the run's first command, written as it is if no second one joins it.
    char first_line[kMaxTokens + 1024];
    size_t first_line_length;
};
Run TheRun;

void PutPolls(const Run& run)
{
    if (run.poll_count == 0)
        return;
    const unsigned long* p = run.polls;
    unsigned long every = run.poll_count > 1 ? p[1] - p[0] : 0;
    bool regular = every > 0;
    for (int i = 2; regular && i < run.poll_count; ++i)
        regular = p[i] - p[i - 1] == every;
    if (regular) {
        capture_printf(",\"polls\":{\"first\":%lu,\"every\":%lu,\"last\":%lu}", p[0], every, p[run.poll_count - 1]);
        return;
    }
    Puts(",\"polls\":[");
    for (int i = 0; i < run.poll_count; ++i)
        capture_printf("%s%lu", i ? "," : "", p[i]);
    Puts("]");
}

void WriteRun()
{
    Run& run = TheRun;
    if (!run.open)
        return;
    run.open = false;
    if (run.count == 1 && run.poll_count == 0) {
        Put(run.first_line, run.first_line_length);
        return;
    }
    BeginEvent(run.t0, run.kcs ? "kcs_run" : "x_run");
    if (run.kcs)
        capture_printf(",\"status\":\"0x%04X\",\"data\":\"0x%04X\"", run.status_port, run.data_port);
    else
        capture_printf(",\"fd\":%d,\"id\":%ld", run.fd, run.first_id);
    PutHexField("prefix", run.prefix, run.prefix_length);
    capture_printf(",\"first\":%u,\"count\":%lu", run.first_address, run.count);
    PutHexField("resp", run.resp, run.resp_length);
    if (run.kcs) {
        Puts(",\"ports\":\"");
        Puts(run.pattern);
        capture_printf("\",\"t1\":%lld", run.last_end);
    } else {
        capture_printf(",\"lat\":%lld,\"gap\":%lld,\"t1\":%lld", run.latency, run.gap, run.last_end);
        if (run.late_count) {
            Puts(",\"late\":[");
            for (int i = 0; i < run.late_count; ++i)
                capture_printf("%s[%lu,%lld,%lld]", i ? "," : "", run.late[i].index, run.late[i].gap, run.late[i].latency);
            Puts("]");
        }
    }
    PutPolls(run);
    EndEvent();
}

// A quiet poll of standard input during a run: remembered at its place.
bool PollJoinsRun()
{
    Run& run = TheRun;
    if (!run.open || run.poll_count == kMaxPollMarks)
        return false;
    run.polls[run.poll_count++] = run.count;
    return true;
}

// ---------------------------------------------------------------------------
// Requests through the driver

struct DriverExchange {
    bool open;
    int fd;
    long id;
    unsigned char req[kMaxMessage];
    size_t req_length;
    long long t_send;
    int send_errno;  // 0: sent
    VpdAsk vpd;
    bool selected;
    int select_result, select_errno;
    bool fd_ready;
    long long t_select;
    bool received;
    int recv_errno;
    long rid;
    unsigned char resp[kMaxMessage];
    size_t resp_length;
    long long t_recv;
    // Signals that came while the request was under way, and at which stage;
    // a select they interrupted was made again.
    struct Interruption {
        int sig;
        int stage;
        long long t;
    };
    Interruption signals[8];
    int signal_count;
};
DriverExchange Exchange;

// Where the driver's select of an exchange was asked for.
bool PendingSelect = false;
int PendingSelectFd = -1;
bool PendingSelectIsPoll = false;
long long PendingSelectTimeoutUs = -1;

bool CleanExchange(const DriverExchange& x)
{
    return x.send_errno == 0 && x.selected && x.select_result > 0 && x.fd_ready && x.received && x.recv_errno == 0 &&
           x.rid == x.id && x.signal_count == 0;
}

// Writes the exchange's line into `Out` (or into `line` when given).
void PutExchange(const DriverExchange& x)
{
    BeginEvent(x.t_send, "x");
    capture_printf(",\"fd\":%d,\"id\":%ld", x.fd, x.id);
    PutHexField("req", x.req, x.req_length);
    if (x.send_errno) {
        PutErrno("send_errno", x.send_errno);
        EndEvent();
        return;
    }
    if (x.selected && !(x.select_result > 0 && x.fd_ready)) {
        capture_printf(",\"st\":%lld,\"select\":%d", x.t_select, x.select_result);
        if (x.select_result < 0)
            PutErrno("select_errno", x.select_errno);
        else if (x.select_result > 0)
            Puts(",\"fd_ready\":false");
    }
    if (x.signal_count) {
        Puts(",\"signals\":[");
        for (int i = 0; i < x.signal_count; ++i) {
            Puts(i ? ",[" : "[");
            PutSignal(x.signals[i].sig);
            capture_printf(",\"%s\",%lld]", kStageNames[x.signals[i].stage], x.signals[i].t);
        }
        Puts("]");
    }
    if (x.received) {
        capture_printf(",\"rt\":%lld", x.t_recv);
        if (x.rid != x.id)
            capture_printf(",\"rid\":%ld", x.rid);
        if (x.resp_length)
            PutHexField("resp", x.resp, x.resp_length);
        if (x.recv_errno)
            PutErrno("recv_errno", x.recv_errno);
    }
    EndEvent();
}

// The first command of a possible run is kept as its line.
void KeepFirstLine(size_t from)
{
    Run& run = TheRun;
    size_t length = OutUsed - from;
    if (length > sizeof run.first_line) {
        run.open = false;  // too long to keep: it stays written
        return;
    }
    std::memcpy(run.first_line, Out + from, length);
    run.first_line_length = length;
    OutUsed = from;
}

// The command continues the run under way: the same prefix, the next
// address, the same answer (the way to the BMC is the caller's to check).
bool Continues(const Run& run, const unsigned char* req, const ByteCommand& command, const unsigned char* resp,
               size_t resp_length)
{
    return run.open && command.prefix_length == run.prefix_length &&
           std::memcmp(req, run.prefix, run.prefix_length) == 0 && command.address == run.first_address + run.count &&
           resp_length == run.resp_length && std::memcmp(resp, run.resp, run.resp_length) == 0;
}

// A run begins with this command; the line it would have alone is kept.
Run& BeginRun(bool kcs, const unsigned char* req, const ByteCommand& command, const unsigned char* resp,
              size_t resp_length, long long t0, long long end)
{
    WriteRun();
    Run& run = TheRun;
    run = Run{};
    run.open = true;
    run.kcs = kcs;
    std::memcpy(run.prefix, req, command.prefix_length);
    run.prefix_length = command.prefix_length;
    run.first_address = command.address;
    run.count = 1;
    std::memcpy(run.resp, resp, resp_length);
    run.resp_length = resp_length;
    run.t0 = t0;
    run.last_end = end;
    return run;
}

// Where the first command's line is written, with room to take it back.
size_t FirstLineStart()
{
    if (sizeof Out - OutUsed < sizeof TheRun.first_line)
        Flush();
    return OutUsed;
}

void WriteExchange();

// The line of a finished exchange, or its place in the run of byte commands.
void FinishDriverExchange()
{
    DriverExchange& x = Exchange;
    Run& run = TheRun;
    ByteCommand command{};
    bool candidate = CleanExchange(x) && ParseImageByteCommand(x.req, x.req_length, &command);
    if (candidate && !run.kcs && run.fd == x.fd && x.id == run.last_id + 1 &&
        Continues(run, x.req, command, x.resp, x.resp_length)) {
        long long gap = x.t_send - run.last_end, latency = x.t_recv - x.t_send;
        if (run.count == 1)
            run.gap = gap;
        long long off_gap = gap - run.gap, off_latency = latency - run.latency;
        if (off_gap > kJitterUs || off_gap < -kJitterUs || off_latency > kJitterUs || off_latency < -kJitterUs) {
            if (run.late_count == kMaxLate) {
                WriteRun();
                FinishDriverExchange();
                return;
            }
            run.late[run.late_count++] = Run::Late{run.count, gap, latency};
        }
        run.count++;
        run.last_id = x.id;
        run.last_end = x.t_recv;
        return;
    }
    if (!candidate) {
        WriteRun();
        PutExchange(x);
        return;
    }
    BeginRun(false, x.req, command, x.resp, x.resp_length, x.t_send, x.t_recv);
    run.fd = x.fd;
    run.first_id = run.last_id = x.id;
    run.latency = x.t_recv - x.t_send;
    size_t from = FirstLineStart();
    PutExchange(x);
    KeepFirstLine(from);
}

void WriteExchange()
{
    if (!Exchange.open)
        return;
    Exchange.open = false;
    FinishDriverExchange();
}

void DriverSend(int fd, const ipmi_req* req, int error)
{
    DriverExchange& x = Exchange;
    x = DriverExchange{};
    x.open = true;
    x.fd = fd;
    x.id = req->msgid;
    x.t_send = Now();
    const ipmi_system_interface_addr* addr = reinterpret_cast<const ipmi_system_interface_addr*>(req->addr);
    unsigned char lun = addr && req->addr_len >= sizeof *addr ? addr->lun : 0;
    x.req[0] = static_cast<unsigned char>(req->msg.netfn << 2 | (lun & 3));
    x.req[1] = req->msg.cmd;
    size_t data_length = req->msg.data_len < kMaxMessage - 2 ? req->msg.data_len : kMaxMessage - 2;
    if (req->msg.data && data_length)
        std::memcpy(x.req + 2, req->msg.data, data_length);
    x.req_length = 2 + data_length;
    x.send_errno = error;
    x.vpd = VpdRequest(fd, x.req, x.req_length);
}

void DriverReceive(int fd, ipmi_recv* recv, int error)
{
    DriverExchange& x = Exchange;
    if (!x.open || x.fd != fd) {
        // A receive without a send of its own.
        WriteExchange();
        x = DriverExchange{};
        x.open = true;
        x.fd = fd;
        x.id = -1;
        x.t_send = Now();
    }
    x.received = true;
    x.t_recv = Now();
    x.recv_errno = error;
    // The driver hands over a message cut short with EMSGSIZE; whether
    // anything came shows in the fields the tool cleared before the call.
    bool handed_over = error == 0 || (error == EMSGSIZE && (recv->msgid != 0 || recv->msg.netfn != 0));
    if (handed_over) {
        x.rid = recv->msgid;
        const ipmi_system_interface_addr* from = reinterpret_cast<const ipmi_system_interface_addr*>(recv->addr);
        unsigned char lun = from && recv->addr_len >= sizeof *from ? from->lun : 0;
        x.resp[0] = static_cast<unsigned char>(recv->msg.netfn << 2 | (lun & 3));
        x.resp[1] = recv->msg.cmd;
        size_t data_length = recv->msg.data_len < kMaxMessage - 2 ? recv->msg.data_len : kMaxMessage - 2;
        // A VPD read's text never reaches the tool, nor the capture: an
        // answer of any other request id is hidden as one that asks for no offset.
        if (x.vpd.count && data_length > 1 && recv->msg.data[0] == 0) {
            VpdAsk ask = x.vpd;
            if (x.rid != x.id)
                ask.known = false;
            for (size_t i = 1; i < data_length; ++i)
                recv->msg.data[i] = RedactedVpdByte(ask, unsigned(i - 1), recv->msg.data[i]);
        }
        if (x.vpd.pointer_write && data_length >= 1 && recv->msg.data[0] == 0 && x.rid == x.id && error == 0)
            VpdPointerSet(fd, x.req, x.vpd);
        if (recv->msg.data && data_length)
            std::memcpy(x.resp + 2, recv->msg.data, data_length);
        x.resp_length = 2 + data_length;
    } else {
        x.rid = x.id;
    }
    WriteExchange();
}

// ---------------------------------------------------------------------------
// KCS port accesses

constexpr unsigned short kIoDelayPort = 0x80;
constexpr unsigned char kWriteStart = 0x61;
constexpr unsigned char kWriteEnd = 0x62;
constexpr unsigned char kObf = 0x01;
constexpr unsigned char kStateMask = 0xC0;
constexpr unsigned char kStateIdle = 0x00;
constexpr unsigned char kStateRead = 0x40;
// A run of equal status reads that lasts this long carries its duration.
constexpr long long kTimedRunUs = 1000;

// Port accesses not yet known to belong to a transfer (those before
// WRITE_START), equal reads of one port folded.
struct LooseAccess {
    unsigned short port;
    bool write;
    unsigned char value;
    unsigned long count;
    long long t, t1;  // first and last of the folded reads
};
LooseAccess Loose[64];
int LooseCount = 0;

void WriteLoose()
{
    if (LooseCount > 0)
        WriteRun();  // they came after its last command
    for (int i = 0; i < LooseCount; ++i) {
        const LooseAccess& a = Loose[i];
        BeginEvent(a.t, a.write ? "outb" : "inb");
        capture_printf(",\"port\":\"0x%04X\",\"v\":\"%02X\"", a.port, a.value);
        if (a.count > 1)
            capture_printf(",\"n\":%lu", a.count);
        if (a.t1 - a.t >= kTimedRunUs)
            capture_printf(",\"d\":%lld", a.t1 - a.t);
        EndEvent();
    }
    LooseCount = 0;
}

enum class KcsPhase { Before, Write, WriteEnd, Read };

struct KcsTransfer {
    bool open;
    unsigned short status_port, data_port;
    char tokens[kMaxTokens];
    size_t used;
    // The status reads being counted: their value, count and times.
    bool counting;
    unsigned char count_value;
    unsigned long count_n;
    long long count_t0, count_t1;
    long long t0, t1;
    unsigned long accesses;
    int write_starts;
    KcsPhase phase;
    unsigned char last_status;
    unsigned char req[kMaxMessage];
    size_t req_length;
    size_t req_token[kMaxMessage];  // where each request byte's value stands in `tokens`
    bool req_complete;
    unsigned char resp[kMaxMessage];
    size_t resp_length;
    bool dummy_read;
    int signals;  // noted among the accesses
    VpdAsk vpd;
};
KcsTransfer Kcs;

void AddToken(const char* text)
{
    KcsTransfer& k = Kcs;
    size_t n = std::strlen(text);
    if (k.used + n + 2 > sizeof k.tokens)
        return;  // cannot happen with folded reads; a line stays whole
    if (k.used)
        k.tokens[k.used++] = ' ';
    std::memcpy(k.tokens + k.used, text, n);
    k.used += n;
    k.tokens[k.used] = '\0';
}

void EndStatusCount()
{
    KcsTransfer& k = Kcs;
    if (!k.counting)
        return;
    k.counting = false;
    char token[48];
    int n = std::snprintf(token, sizeof token, "s%02X", k.count_value);
    if (k.count_n > 1)
        n += std::snprintf(token + n, sizeof token - n, "*%lu", k.count_n);
    if (k.count_t1 - k.count_t0 >= kTimedRunUs)
        std::snprintf(token + n, sizeof token - n, "~%lld", k.count_t1 - k.count_t0);
    AddToken(token);
}

void WriteKcsTransfer();

// The transfer's own line: ports, the request and answer as the tool saw
// them, and every access.
void PutKcsTransfer(const KcsTransfer& k)
{
    BeginEvent(k.t0, "kcs");
    capture_printf(",\"status\":\"0x%04X\",\"data\":\"0x%04X\"", k.status_port, k.data_port);
    if (k.req_length)
        PutHexField("req", k.req, k.req_length);
    if (k.resp_length)
        PutHexField("resp", k.resp, k.resp_length);
    Puts(",\"ports\":\"");
    Puts(k.tokens);
    capture_printf("\",\"t1\":%lld,\"n\":%lu", k.t1, k.accesses);
    EndEvent();
}

// The port accesses of a clean byte command with its own bytes masked, to
// be compared with the run's.
void MaskedPattern(const KcsTransfer& k, const ByteCommand& command, char* out)
{
    std::memcpy(out, k.tokens, k.used + 1);
    for (size_t i = command.prefix_length; i < k.req_length; ++i) {
        out[k.req_token[i]] = '?';
        out[k.req_token[i] + 1] = '?';
    }
}

void FinishKcsTransfer()
{
    KcsTransfer& k = Kcs;
    Run& run = TheRun;
    ByteCommand command{};
    bool candidate = k.write_starts == 1 && k.req_complete && k.dummy_read && k.signals == 0 && k.resp_length >= 3 &&
                     ParseImageByteCommand(k.req, k.req_length, &command);
    static char pattern[kMaxTokens];
    if (candidate)
        MaskedPattern(k, command, pattern);
    if (candidate && run.kcs && run.status_port == k.status_port && run.data_port == k.data_port &&
        Continues(run, k.req, command, k.resp, k.resp_length) && std::strcmp(pattern, run.pattern) == 0) {
        run.count++;
        run.last_end = k.t1;
        return;
    }
    if (!candidate) {
        WriteRun();
        PutKcsTransfer(k);
        return;
    }
    BeginRun(true, k.req, command, k.resp, k.resp_length, k.t0, k.t1);
    run.status_port = k.status_port;
    run.data_port = k.data_port;
    std::memcpy(run.pattern, pattern, sizeof pattern);
    size_t from = FirstLineStart();
    PutKcsTransfer(k);
    KeepFirstLine(from);
}

void WriteKcsTransfer()
{
    if (!Kcs.open)
        return;
    EndStatusCount();
    Kcs.open = false;
    FinishKcsTransfer();
}

// Everything pending goes out before a line of another kind.
void Settle()
{
    WriteExchange();
    WriteKcsTransfer();
    WriteRun();
    WriteLoose();
}

// The signals noted since the last call: a line each (after what is
// pending), or, during a driver request, a note in its line.
void NoteSignals(int stage)
{
    while (SignalsWritten < SignalsNoted) {
        int sig = SignalRing[SignalsWritten++ % kSignalRing];
        long long t = Now();
        DriverExchange& x = Exchange;
        if (stage != kPlainCall && x.open) {
            if (x.signal_count < static_cast<int>(sizeof x.signals / sizeof x.signals[0]))
                x.signals[x.signal_count++] = DriverExchange::Interruption{sig, stage, t};
            continue;
        }
        Settle();
        BeginEvent(t, "signal");
        Puts(",\"sig\":");
        PutSignal(sig);
        EndEvent();
    }
}

// The signals noted since the last access, in the transfer under way at
// the access they came before: "!SIGINT@T".
void NoteTransferSignals()
{
    KcsTransfer& k = Kcs;
    while (SignalsWritten < SignalsNoted) {
        int sig = SignalRing[SignalsWritten++ % kSignalRing];
        EndStatusCount();
        char token[48], name[16];
        const char* named = SignalNameOf(sig);
        if (!named) {
            std::snprintf(name, sizeof name, "%d", sig);
            named = name;
        }
        std::snprintf(token, sizeof token, "!%s@%lld", named, Now());
        AddToken(token);
        k.signals++;
    }
}

void AddLoose(unsigned short port, bool write, unsigned char value, long long t)
{
    if (LooseCount > 0) {
        LooseAccess& last = Loose[LooseCount - 1];
        if (!write && !last.write && last.port == port && last.value == value) {
            last.count++;
            last.t1 = t;
            return;
        }
    }
    if (LooseCount == static_cast<int>(sizeof Loose / sizeof Loose[0]))
        WriteLoose();
    Loose[LooseCount++] = LooseAccess{port, write, value, 1, t, t};
}

// WRITE_START: a transfer begins at the status port `port`. The loose
// accesses just before it are its waits: reads of that port, and a byte
// dropped from the data port after a status read with OBF set. What came
// before them (another interface's status port, read by the port scan)
// stays loose.
void BeginKcsTransfer(unsigned short port, long long t)
{
    WriteKcsTransfer();
    WriteExchange();
    unsigned short data = 0;
    int first = LooseCount;
    while (first > 0) {
        const LooseAccess& a = Loose[first - 1];
        if (a.port == port) {
            --first;
            continue;
        }
        const LooseAccess* before = first > 1 ? &Loose[first - 2] : nullptr;
        bool dropped_byte = !a.write && a.count == 1 && (data == 0 || data == a.port) && before &&
                            before->port == port && !before->write && (before->value & kObf);
        if (!dropped_byte)
            break;
        data = a.port;
        --first;
    }
    int own = LooseCount - first;
    LooseCount = first;
    WriteLoose();
    KcsTransfer& k = Kcs;
    k = KcsTransfer{};
    k.open = true;
    k.status_port = port;
    k.data_port = data;
    k.t0 = own > 0 ? Loose[first].t : t;
    for (int i = first; i < first + own; ++i) {
        const LooseAccess& a = Loose[i];
        bool status = a.port == port;
        k.accesses += a.count;
        if (status && !a.write) {
            // Counted like the transfer's own status reads.
            k.counting = true;
            k.count_value = a.value;
            k.count_n = a.count;
            k.count_t0 = a.t;
            k.count_t1 = a.t1;
            k.last_status = a.value;
            EndStatusCount();
            continue;
        }
        char token[8];
        std::snprintf(token, sizeof token, "%c%02X", status ? 'c' : a.write ? 'w' : 'd', a.value);
        AddToken(token);
    }
    LooseCount = 0;
}

bool InKcsTransfer(unsigned short port)
{
    return Kcs.open && (port == Kcs.status_port || port == Kcs.data_port || Kcs.data_port == 0);
}

unsigned char KcsRead(unsigned short port, unsigned char value, long long t)
{
    KcsTransfer& k = Kcs;
    if (!InKcsTransfer(port)) {
        WriteKcsTransfer();
        AddLoose(port, false, value, t);
        return value;
    }
    k.t1 = t;
    k.accesses++;
    if (port == k.status_port) {
        if (k.counting && k.count_value == value) {
            k.count_n++;
            k.count_t1 = t;
        } else {
            EndStatusCount();
            k.counting = true;
            k.count_value = value;
            k.count_n = 1;
            k.count_t0 = k.count_t1 = t;
        }
        k.last_status = value;
        return value;
    }
    EndStatusCount();
    if (k.data_port == 0)
        k.data_port = port;
    bool closes = false;
    if (k.phase == KcsPhase::Read && (k.last_status & kStateMask) == kStateRead) {
        // A byte of the answer (every one is acknowledged with READ).
        if (k.vpd.count && k.resp_length >= 3 && k.resp[2] == 0)
            value = RedactedVpdByte(k.vpd, unsigned(k.resp_length - 3), value);
        if (k.resp_length < sizeof k.resp)
            k.resp[k.resp_length++] = value;
    } else if (k.phase == KcsPhase::Read && (k.last_status & kStateMask) == kStateIdle && (k.last_status & kObf)) {
        // The dummy byte after the answer: the transfer is over.
        k.dummy_read = true;
        closes = true;
        if (k.vpd.pointer_write && k.resp_length >= 3 && k.resp[2] == 0)
            VpdPointerSet(k.status_port, k.req, k.vpd);
    }
    char token[8];
    std::snprintf(token, sizeof token, "d%02X", value);
    AddToken(token);
    if (closes)
        WriteKcsTransfer();
    return value;
}

// WRITE_START anywhere but at the data port of the transfer under way
// (where 0x61 is a request byte) begins a transfer, or a new attempt.
bool BeginsTransfer(unsigned short port, unsigned char value)
{
    return value == kWriteStart && !(Kcs.open && Kcs.data_port != 0 && port == Kcs.data_port);
}

void KcsWrite(unsigned short port, unsigned char value, long long t)
{
    KcsTransfer& k = Kcs;
    if (BeginsTransfer(port, value))
        BeginKcsTransfer(port, t);
    if (!InKcsTransfer(port)) {
        WriteKcsTransfer();
        AddLoose(port, true, value, t);
        return;
    }
    EndStatusCount();
    k.t1 = t;
    k.accesses++;
    char token[8];
    if (port == k.status_port) {
        std::snprintf(token, sizeof token, "c%02X", value);
        AddToken(token);
        if (value == kWriteStart) {
            k.write_starts++;
            k.phase = KcsPhase::Write;
            k.req_length = 0;
            k.resp_length = 0;
            k.req_complete = false;
        } else if (value == kWriteEnd && k.phase == KcsPhase::Write) {
            k.phase = KcsPhase::WriteEnd;
        }
        return;
    }
    if (k.data_port == 0)
        k.data_port = port;
    std::snprintf(token, sizeof token, "w%02X", value);
    AddToken(token);
    if ((k.phase == KcsPhase::Write || k.phase == KcsPhase::WriteEnd) && k.req_length < sizeof k.req) {
        k.req_token[k.req_length] = k.used - 2;
        k.req[k.req_length++] = value;
        if (k.phase == KcsPhase::WriteEnd) {
            k.phase = KcsPhase::Read;
            k.req_complete = true;
            k.vpd = VpdRequest(k.status_port, k.req, k.req_length);
        }
    }
}

// ---------------------------------------------------------------------------
// Standard input and other calls

// The errno of a failed call, 0 after a good one.
int ErrnoOf(int result) { return result < 0 ? (errno ? errno : EIO) : 0; }

void PutResult(int result, int error)
{
    capture_printf(",\"r\":%d", result);
    if (result < 0)
        PutErrno("errno", error);
}

// tcsetattr's actions by value (TCSANOW, TCSADRAIN, TCSAFLUSH are 0, 1, 2).
constexpr const char* kTcsetattrActions[] = {"TCSANOW", "TCSADRAIN", "TCSAFLUSH"};
const char* TcsetattrAction(int action) { return action >= 0 && action <= 2 ? kTcsetattrActions[action] : "?"; }

// Saved around every hook: recording must never change what the tool sees.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

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
    capture_printf(",\"flags\":%d", flags);
    event.result(result);
}

void rec::close(int fd, int result)
{
    CallEvent event("close", result);
    capture_printf(",\"fd\":%d", fd);
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
        capture_printf(",\"fd\":%d,\"request\":\"0x%lX\"", fd, request);
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
    capture_printf(",\"fd\":%d,\"timeout\":%lld", PendingSelectFd, PendingSelectTimeoutUs);
    PutResult(result, error);
    if (result > 0)
        capture_printf(",\"fd_ready\":%s", fd_ready ? "true" : "false");
    EndEvent();
    LastCallUs = t;
}

void rec::iopl(int level, int result)
{
    CallEvent event("iopl", result);
    capture_printf(",\"level\":%d", level);
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
    capture_printf(",\"us\":%lld", MicrosecondsOf(*req));
    if (result != 0) {
        event.result(result);
        if (event.error == EINTR && rem)
            capture_printf(",\"left_us\":%lld", MicrosecondsOf(*rem));
    }
}

void rec::time(time_t result)
{
    CallEvent event("time", 0);
    capture_printf(",\"v\":%lld", static_cast<long long>(result));
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
    capture_printf(",\"fd\":%d", fd);
    event.result(result);
}

void rec::tcsetattr(int fd, int optional_actions, const struct termios* attr, int result)
{
    CallEvent event("tcsetattr", result);
    capture_printf(",\"fd\":%d,\"how\":\"%s\",\"raw\":%s", fd, TcsetattrAction(optional_actions),
           attr && !(attr->c_lflag & ICANON) ? "true" : "false");
    event.result(result);
}

void rec::getchar(int result)
{
    CallEvent event("key", result);
    capture_printf(",\"c\":%d,\"wait\":%lld", result, event.t - LastCallUs);
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

// What a sigaction call installs, as the capture names it.
const char* ActionName(const struct sigaction* act)
{
    if (!act)
        return "query";
    if (IsHandler(*act))
        return "handler";
    return act->sa_handler == SIG_IGN ? "ignore" : "default";
}

void (*BeforeRaise)() = nullptr;

}  // namespace

int rec::sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    int result;
    if (sig <= 0 || sig >= NSIG) {
        result = sys::sigaction(sig, act, old);
    } else {
        void (*handler)(int) = ToolHandlers[sig];
        void (*info_handler)(int, siginfo_t*, void*) = ToolActions[sig];
        struct sigaction mine;
        if (act)
            mine = Wrapped(sig, *act);
        result = sys::sigaction(sig, act ? &mine : nullptr, old);
        if (result == 0 && old)
            Unwrapped(*old, handler, info_handler);
    }
    CallEvent event("sigaction", result);
    Puts(",\"sig\":");
    PutSignal(sig);
    capture_printf(",\"act\":\"%s\"", ActionName(act));
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

// ---------------------------------------------------------------------------
// Control

int capture_start(int events_fd, void (*before_raise)())
{
    BeforeRaise = before_raise;
    struct timespec mono {}, wall {};
    if (sys::clock_gettime(CLOCK_MONOTONIC, &mono) != 0 || sys::clock_gettime(CLOCK_REALTIME, &wall) != 0)
        return errno ? errno : EIO;
    StartMonotonicUs = MicrosecondsOf(mono);
    StartWallUs = MicrosecondsOf(wall);
    LastCallUs = 0;
    EventsFd = OutFd = events_fd;
    OutUsed = 0;
    WriteError = 0;
    WrapInstalledHandlers(true);
    rec::recording = true;
    return 0;
}

long long capture_started_us() { return StartWallUs; }

void capture_image(const unsigned char* bytes, unsigned size)
{
    KeepErrno keep;
    if (rec::recording)
        Settle();  // a run never spans two loadings
    Image = bytes;
    ImageSize = size;
}

void capture_redact_vpd(unsigned char address8, const unsigned char (*text_fields)[2], int count)
{
    RedactVpd = true;
    VpdAddress8 = address8;
    VpdTextFieldCount = count < kMaxTextFields ? count : kMaxTextFields;
    for (int i = 0; i < VpdTextFieldCount; ++i) {
        VpdTextFields[i][0] = text_fields[i][0];
        VpdTextFields[i][1] = text_fields[i][1];
    }
}

void capture_redact_host() { RedactHost = true; }

int capture_stop()
{
    KeepErrno keep;
    if (!rec::recording)
        return WriteError;
    NoteSignals(kPlainCall);
    Settle();
    Flush();
    rec::recording = false;
    WrapInstalledHandlers(false);
    return WriteError;
}

void capture_write_begin(int out_fd)
{
    OutUsed = 0;
    OutFd = out_fd;
}

void capture_put(const char* bytes, size_t length) { Put(bytes, length); }

void capture_printf(const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        Put(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

int capture_write_end()
{
    KeepErrno keep;
    Flush();
    if (!WriteError && ::lseek(EventsFd, 0, SEEK_SET) != 0)
        WriteError = errno;
    while (!WriteError) {
        ssize_t n = ::read(EventsFd, Out, sizeof Out);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            WriteError = errno;
        if (n <= 0)
            break;
        OutUsed = static_cast<size_t>(n);
        Flush();
    }
    return WriteError;
}

}  // namespace os
