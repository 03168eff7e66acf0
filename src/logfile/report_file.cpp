// SPDX-License-Identifier: MIT
#include "report_file.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "../os/os.h"
#include "output_file.h"

namespace {

char TempPath[REPORT_FILENAME_SIZE + 64];  // the directory of the report and a short name
char Buffer[8192];
size_t BufferUsed = 0;
int TempFd = -1;
volatile sig_atomic_t TempExists = 0;  // TempPath names our temporary file
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
        ssize_t n = os::write(TempFd, p, left);
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

const char* ReportFileRefusal(const char* path, const char* image_path)
{
    return OutputFileRefusal(path, image_path, nullptr);
}

int ReportFileOpen(const char* path)
{
    FirstError = 0;
    BufferUsed = 0;
    TempFd = OutputTempFile(path, "report", TempPath, sizeof TempPath);
    if (TempFd < 0) {
        Fail(errno);
        return 0;
    }
    TempExists = 1;
    return 1;
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
    if (FirstError == 0) {
        if (int error = OutputFileCommit(TempFd, TempPath, path))
            Fail(error);
    } else {
        close(TempFd);
        unlink(TempPath);
    }
    TempFd = -1;
    TempExists = 0;
    return FirstError == 0;
}

int ReportFileError() { return FirstError; }

void ReportFileDiscard()
{
    if (!TempExists)
        return;
    close(TempFd);
    unlink(TempPath);
    TempExists = 0;
}

void ReportFileRemove(const char* path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        unlink(path);
}
