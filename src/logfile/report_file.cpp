#include "report_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>


namespace {

// Another run of the tool may be writing its own report in the same
// directory; a name already taken is tried again with the next number.
constexpr unsigned kTempNameAttempts = 16;

char TempPath[REPORT_FILENAME_SIZE + 64];  // the directory of the report and a short name
char Buffer[8192];
size_t BufferUsed = 0;
int TempFd = -1;
int FirstError = 0;

void Fail(int error)
{
    if (FirstError == 0)
        FirstError = error ? error : EIO;
}

void Flush()
{
    const char* p = Buffer;
    size_t left = FirstError ? 0 : BufferUsed;
    while (left > 0) {
        ssize_t n = write(TempFd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Fail(errno);
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    BufferUsed = 0;
}

}  // namespace

int ReportFileOpen(const char* path)
{
    FirstError = 0;
    BufferUsed = 0;
    const char* slash = std::strrchr(path, '/');
    const int directory_length = slash ? static_cast<int>(slash - path + 1) : 0;
    for (unsigned attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        std::snprintf(TempPath, sizeof TempPath, "%.*s.qb40tool-report.%ld.%u.tmp", directory_length, path,
                      static_cast<long>(getpid()), attempt);
        // The tool runs as root: never through a link, never an existing file.
        TempFd = open(TempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (TempFd >= 0)
            return 1;
        if (errno != EEXIST)
            break;
    }
    Fail(errno);
    return 0;
}

void ReportPut(const char* bytes, size_t length)
{
    while (length > 0) {
        if (BufferUsed == sizeof Buffer)
            Flush();
        size_t n = length < sizeof Buffer - BufferUsed ? length : sizeof Buffer - BufferUsed;
        std::memcpy(Buffer + BufferUsed, bytes, n);
        BufferUsed += n;
        bytes += n;
        length -= n;
    }
}

void ReportPrintf(const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        ReportPut(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

int ReportFileCommit(const char* path)
{
    Flush();
    // On the disk before the name points at it, so that a crash leaves the
    // old report or the new one, never an empty file.
    if (FirstError == 0 && fsync(TempFd) != 0)
        Fail(errno);
    if (close(TempFd) != 0)
        Fail(errno);
    TempFd = -1;
    if (FirstError == 0 && std::rename(TempPath, path) != 0)
        Fail(errno);
    if (FirstError != 0) {
        unlink(TempPath);
        return 0;
    }
    return 1;
}

int ReportFileError() { return FirstError; }
