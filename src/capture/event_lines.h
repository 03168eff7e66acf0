// SPDX-License-Identifier: MIT
// The recorder's lines: one JSON object per call of the seam, written
// through one buffer into the events file while the recording lasts and
// into the capture file after it; the pieces every line is made of, and the
// clock its times are read on.
#pragma once

#include <cerrno>
#include <cstddef>
#include <ctime>

#include "../output/buffered_writer.h"

namespace os::recorder {

// The events while recording, the capture file after; its buffer is large,
// so that a line (and a run's first line kept back, image_runs.h) always
// fits in what is left after one flush.
extern BufferedWriter Lines;

inline void Put(const char* bytes, size_t length) { WriterPut(&Lines, bytes, length); }
inline void Puts(const char* text) { WriterPuts(&Lines, text); }

// "18 52 01" without a call per byte.
void PutHex(const unsigned char* bytes, size_t length);
// ,"name":"18 52 01"
void PutHexField(const char* name, const unsigned char* bytes, size_t length);
// A JSON string of text the tool passes to the seam (device paths, shell
// commands): plain ASCII, escaped where JSON needs it.
void PutText(const char* text);
// ,"errno":"ENOENT" (or the number where the name is not in the table).
void PutErrno(const char* field, int value);
// ,"r":-1,"errno":"EIO": a call's result, with its errno when it failed.
void PutResult(int result, int error);
void BeginEvent(long long t, const char* kind);
void EndEvent();

// Microseconds since the recording started, on the monotonic clock.
long long Now();
long long MicrosecondsOf(const struct timespec& ts);
// When the last call the recorder saw returned: how long a key took to come
// is the time from there to the read that returned it.
extern long long LastCallUs;

// Starts the clock and the lines into `events_fd`: 0, or the errno of a
// clock that cannot be read.
int StartLines(int events_fd);
// The wall-clock time StartLines was called, microseconds since the epoch.
long long StartedWallUs();

// The errno of a failed call, 0 after a good one.
inline int ErrnoOf(int result) { return result < 0 ? (errno ? errno : EIO) : 0; }

// Saved around every hook: recording must never change what the tool sees.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

}  // namespace os::recorder
