// SPDX-License-Identifier: MIT
#include "event_lines.h"

#include <unistd.h>

#include "../os/os.h"
#include "../output/json_text.h"
#include "capture.h"

namespace os::recorder {

namespace {

char Buffer[1 << 16];
int EventsFd = -1;

const char kHexDigits[] = "0123456789ABCDEF";

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

long long StartMonotonicUs = 0;
long long StartWallUs = 0;

}  // namespace

BufferedWriter Lines = {Buffer, sizeof Buffer, 0, -1, 0};
long long LastCallUs = 0;

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
    WriterPrintf(&Lines, ",\"%s\":\"", name);
    PutHex(bytes, length);
    Put("\"", 1);
}

void PutText(const char* text) { WriterPutJson(&Lines, text, JSON_ASCII); }

void PutErrno(const char* field, int value)
{
    for (const ErrnoName& e : kErrnoNames) {
        if (e.value == value) {
            WriterPrintf(&Lines, ",\"%s\":\"%s\"", field, e.name);
            return;
        }
    }
    WriterPrintf(&Lines, ",\"%s\":%d", field, value);
}

void PutResult(int result, int error)
{
    WriterPrintf(&Lines, ",\"r\":%d", result);
    if (result < 0)
        PutErrno("errno", error);
}

void BeginEvent(long long t, const char* kind)
{
    WriterPrintf(&Lines, "{\"t\":%lld,\"e\":\"%s\"", t, kind);
}

void EndEvent() { Put("}\n", 2); }

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

int StartLines(int events_fd)
{
    struct timespec mono {}, wall {};
    if (sys::clock_gettime(CLOCK_MONOTONIC, &mono) != 0 || sys::clock_gettime(CLOCK_REALTIME, &wall) != 0)
        return errno ? errno : EIO;
    StartMonotonicUs = MicrosecondsOf(mono);
    StartWallUs = MicrosecondsOf(wall);
    LastCallUs = 0;
    EventsFd = events_fd;
    WriterStart(&Lines, events_fd, Buffer, sizeof Buffer);
    return 0;
}

long long StartedWallUs() { return StartWallUs; }

}  // namespace os::recorder

namespace os {

using namespace recorder;

BufferedWriter* capture_write_begin(int out_fd)
{
    Lines.used = 0;
    Lines.fd = out_fd;
    return &Lines;
}

int capture_write_end()
{
    KeepErrno keep;
    WriterFlush(&Lines);
    if (!Lines.error && ::lseek(EventsFd, 0, SEEK_SET) != 0)
        WriterFail(&Lines, errno);
    while (!Lines.error) {
        ssize_t n = ::read(EventsFd, Buffer, sizeof Buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            WriterFail(&Lines, errno);
        if (n <= 0)
            break;
        Lines.used = static_cast<size_t>(n);
        WriterFlush(&Lines);
    }
    return Lines.error;
}

}  // namespace os
