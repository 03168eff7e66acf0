// SPDX-License-Identifier: MIT
// Runs of flash byte commands: the commands that carry the loaded image's
// bytes at their own addresses, one after another on one way to the BMC
// and all answered alike, are one line that names the run and holds no
// image byte. The driver's and the KCS folding both feed the one run.
#pragma once

#include <cstddef>

namespace os::recorder {

constexpr int kMaxMessage = 2 + 272;  // NetFn/LUN, command and the driver's longest data
constexpr int kMaxPollMarks = 1024;
constexpr int kMaxLate = 256;
// Differences in time a run of byte commands does not keep: a real bus and
// a real process are never exactly regular.
constexpr long long kJitterUs = 500;
constexpr size_t kMaxTokens = 8192;

// The image as loaded (capture.h: capture_image).
void SetImage(const unsigned char* bytes, unsigned size);

// 55 AA [F2] E0|E1 AH AL DD in a Master Write-Read write.
struct ByteCommand {
    size_t prefix_length;  // request bytes before AH
    unsigned address;
};

// Whether `req` is a byte command that carries the loaded image's byte at
// its address.
bool ParseImageByteCommand(const unsigned char* req, size_t length, ByteCommand* command);

struct Run {
    bool open;
    bool kcs;
    bool lan;                           // the network road: `fd` is the --lan BMC's number
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
extern Run TheRun;

// Writes the run under way, if any, and closes it.
void WriteRun();
// A quiet poll of standard input during a run: remembered at its place.
bool PollJoinsRun();
// The command continues the run under way: the same prefix, the next
// address, the same answer (the way to the BMC is the caller's to check).
bool Continues(const Run& run, const unsigned char* req, const ByteCommand& command, const unsigned char* resp,
               size_t resp_length);
// The command that continues the run joins it, taking its times: one whose
// gap or latency is off by more than kJitterUs is listed with its own.
// False, with nothing taken, when that list is full: the caller writes the
// run and begins another.
bool JoinRun(Run& run, long long t_send, long long t_recv);
// A run begins with this command (the one under way is written first).
Run& BeginRun(bool kcs, const unsigned char* req, const ByteCommand& command, const unsigned char* resp,
              size_t resp_length, long long t0, long long end);
// The first command's line is written from FirstLineStart() on, with room
// to take it back, and KeepFirstLine takes it back into the run: it goes
// out as it is if no second command joins the run.
size_t FirstLineStart();
void KeepFirstLine(size_t from);

}  // namespace os::recorder
