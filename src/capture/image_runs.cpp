// SPDX-License-Identifier: MIT
#include "image_runs.h"

#include <cstring>

#include "event_lines.h"
#include "redaction.h"

namespace os::recorder {

namespace {

const unsigned char* Image = nullptr;
unsigned ImageSize = 0;

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
        WriterPrintf(&Lines, ",\"polls\":{\"first\":%lu,\"every\":%lu,\"last\":%lu}", p[0], every, p[run.poll_count - 1]);
        return;
    }
    Puts(",\"polls\":[");
    for (int i = 0; i < run.poll_count; ++i)
        WriterPrintf(&Lines, "%s%lu", i ? "," : "", p[i]);
    Puts("]");
}

}  // namespace

Run TheRun;

void SetImage(const unsigned char* bytes, unsigned size)
{
    Image = bytes;
    ImageSize = size;
}

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
    BeginEvent(run.t0, run.kcs ? "kcs_run" : run.lan ? "lan_run" : "x_run");
    if (run.kcs)
        WriterPrintf(&Lines, ",\"status\":\"0x%04X\",\"data\":\"0x%04X\"", run.status_port, run.data_port);
    else if (!run.lan)
        WriterPrintf(&Lines, ",\"fd\":%d,\"id\":%ld", run.fd, run.first_id);
    PutHexField("prefix", run.prefix, run.prefix_length);
    WriterPrintf(&Lines, ",\"first\":%u,\"count\":%lu", run.first_address, run.count);
    PutHexField("resp", run.resp, run.resp_length);
    if (run.kcs) {
        Puts(",\"ports\":\"");
        Puts(run.pattern);
        WriterPrintf(&Lines, "\",\"t1\":%lld", run.last_end);
    } else {
        WriterPrintf(&Lines, ",\"lat\":%lld,\"gap\":%lld,\"t1\":%lld", run.latency, run.gap, run.last_end);
        if (run.late_count) {
            Puts(",\"late\":[");
            for (int i = 0; i < run.late_count; ++i)
                WriterPrintf(&Lines, "%s[%lu,%lld,%lld]", i ? "," : "", run.late[i].index, run.late[i].gap, run.late[i].latency);
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

bool JoinRun(Run& run, long long t_send, long long t_recv)
{
    long long gap = t_send - run.last_end, latency = t_recv - t_send;
    if (run.count == 1)
        run.gap = gap;
    long long off_gap = gap - run.gap, off_latency = latency - run.latency;
    if (off_gap > kJitterUs || off_gap < -kJitterUs || off_latency > kJitterUs || off_latency < -kJitterUs) {
        if (run.late_count == kMaxLate)
            return false;
        run.late[run.late_count++] = Run::Late{run.count, gap, latency};
    }
    run.count++;
    run.last_end = t_recv;
    return true;
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
    if (Lines.size - Lines.used < sizeof TheRun.first_line)
        WriterFlush(&Lines);
    return Lines.used;
}

// The first command of a possible run is kept as its line.
void KeepFirstLine(size_t from)
{
    Run& run = TheRun;
    size_t length = Lines.used - from;
    if (length > sizeof run.first_line) {
        run.open = false;  // too long to keep: it stays written
        return;
    }
    std::memcpy(run.first_line, Lines.buffer + from, length);
    run.first_line_length = length;
    Lines.used = from;
}

}  // namespace os::recorder
