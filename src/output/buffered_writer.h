// SPDX-License-Identifier: MIT
// A descriptor written through a fixed buffer its owner provides, so that a
// file costs a handful of large writes however many pieces it is put
// together from. The report, the metrics and the capture all go through
// it. The first failure is kept and what comes after it is dropped, for
// the owner to tell once, at the end.
#pragma once

#include <cstddef>

struct BufferedWriter {
    char* buffer;
    size_t size;
    size_t used;
    int fd;
    int error;  // errno of the first failure; 0 while none
};

// Starts writing to `fd` through `buffer` (`size` bytes), with no failure kept.
void WriterStart(BufferedWriter* w, int fd, char* buffer, size_t size);
void WriterPut(BufferedWriter* w, const char* bytes, size_t length);
void WriterPuts(BufferedWriter* w, const char* text);
// Up to 511 bytes of text.
void WriterPrintf(BufferedWriter* w, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes out what the buffer holds (once a write has failed: drops it).
void WriterFlush(BufferedWriter* w);
// Keeps `error` (EIO for 0) unless a failure is kept already.
void WriterFail(BufferedWriter* w, int error);
