// SPDX-License-Identifier: MIT
#include "buffered_writer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../os/os.h"

void WriterStart(BufferedWriter* w, int fd, char* buffer, size_t size)
{
    w->buffer = buffer;
    w->size = size;
    w->used = 0;
    w->fd = fd;
    w->error = 0;
}

void WriterFail(BufferedWriter* w, int error)
{
    if (w->error == 0)
        w->error = error ? error : EIO;
}

void WriterFlush(BufferedWriter* w)
{
    const char* p = w->buffer;
    size_t left = w->error ? 0 : w->used;
    while (left > 0) {
        ssize_t n = os::write(w->fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            WriterFail(w, n < 0 ? errno : 0);
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    w->used = 0;
}

void WriterPut(BufferedWriter* w, const char* bytes, size_t length)
{
    while (length > 0) {
        if (w->used == w->size)
            WriterFlush(w);
        size_t n = length < w->size - w->used ? length : w->size - w->used;
        std::memcpy(w->buffer + w->used, bytes, n);
        w->used += n;
        bytes += n;
        length -= n;
    }
}

void WriterPuts(BufferedWriter* w, const char* text) { WriterPut(w, text, std::strlen(text)); }

void WriterPrintf(BufferedWriter* w, const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        WriterPut(w, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}
