// SPDX-License-Identifier: MIT
#include "kcs_folding.h"

#include <cstdio>
#include <cstring>

#include "../bmc/kcs/kcs_interface.h"
#include "driver_folding.h"
#include "event_lines.h"
#include "image_runs.h"
#include "redaction.h"
#include "signal_wrap.h"

namespace os::recorder {

namespace {

constexpr unsigned char kWriteStart = KCS_WRITE_START;
constexpr unsigned char kWriteEnd = KCS_WRITE_END;
constexpr unsigned char kObf = KCS_OBF;
constexpr unsigned char kStateMask = KCS_STATE_MASK;
constexpr unsigned char kStateIdle = KCS_IDLE_STATE;
constexpr unsigned char kStateRead = KCS_READ_STATE;
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

}  // namespace

void WriteLoose()
{
    if (LooseCount > 0)
        WriteRun();  // they came after its last command
    for (int i = 0; i < LooseCount; ++i) {
        const LooseAccess& a = Loose[i];
        BeginEvent(a.t, a.write ? "outb" : "inb");
        WriterPrintf(&Lines, ",\"port\":\"0x%04X\",\"v\":\"%02X\"", a.port, a.value);
        if (a.count > 1)
            WriterPrintf(&Lines, ",\"n\":%lu", a.count);
        if (a.t1 - a.t >= kTimedRunUs)
            WriterPrintf(&Lines, ",\"d\":%lld", a.t1 - a.t);
        EndEvent();
    }
    LooseCount = 0;
}

namespace {

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

// The transfer's own line: ports, the request and answer as the tool saw
// them, and every access.
void PutKcsTransfer(const KcsTransfer& k)
{
    BeginEvent(k.t0, "kcs");
    WriterPrintf(&Lines, ",\"status\":\"0x%04X\",\"data\":\"0x%04X\"", k.status_port, k.data_port);
    if (k.req_length)
        PutHexField("req", k.req, k.req_length);
    if (k.resp_length)
        PutHexField("resp", k.resp, k.resp_length);
    Puts(",\"ports\":\"");
    Puts(k.tokens);
    WriterPrintf(&Lines, "\",\"t1\":%lld,\"n\":%lu", k.t1, k.accesses);
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

}  // namespace

void WriteKcsTransfer()
{
    if (!Kcs.open)
        return;
    EndStatusCount();
    Kcs.open = false;
    FinishKcsTransfer();
}

// The signals noted since the last access, in the transfer under way at
// the access they came before: "!SIGINT@T".
void NoteTransferSignals()
{
    KcsTransfer& k = Kcs;
    int sig;
    while (NextNotedSignal(&sig)) {
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

}  // namespace os::recorder
