#include "report_file.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A name someone else has taken (or planted) is tried again with new random bytes.
constexpr unsigned kTempNameAttempts = 8;

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

// 64 bits from the kernel's random source, so that nobody can guess the
// name and place a file or link there first.
bool RandomBits(unsigned long long* bits)
{
    char* p = reinterpret_cast<char*>(bits);
    size_t got = 0;
    while (got < sizeof *bits) {
        ssize_t n = getrandom(p + got, sizeof *bits - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The directory part of `path` ("." for a bare name) into `dir`; returns
// the name after it.
const char* SplitPath(const char* path, char* dir, size_t size)
{
    const char* slash = std::strrchr(path, '/');
    if (!slash)
        std::snprintf(dir, size, ".");
    else if (slash == path)
        std::snprintf(dir, size, "/");
    else
        std::snprintf(dir, size, "%.*s", static_cast<int>(slash - path), path);
    return slash ? slash + 1 : path;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// `a` and `b` are one name in one directory, whether the file exists or not.
bool SameName(const char* a, const char* b)
{
    char dir_a[REPORT_FILENAME_SIZE], dir_b[REPORT_FILENAME_SIZE];
    const char* name_a = SplitPath(a, dir_a, sizeof dir_a);
    const char* name_b = SplitPath(b, dir_b, sizeof dir_b);
    struct stat st_a, st_b;
    return std::strcmp(name_a, name_b) == 0 && stat(dir_a, &st_a) == 0 && stat(dir_b, &st_b) == 0 &&
           SameFile(st_a, st_b);
}

}  // namespace

const char* ReportFileRefusal(const char* path, const char* image_path)
{
    struct stat report;
    const bool exists = lstat(path, &report) == 0;
    if (exists && S_ISDIR(report.st_mode))
        return "it is a directory";
    if (exists && (S_ISCHR(report.st_mode) || S_ISBLK(report.st_mode)))
        return "it is a device";
    if (exists && S_ISFIFO(report.st_mode))
        return "it is a FIFO";
    if (exists && S_ISSOCK(report.st_mode))
        return "it is a socket";

    // The logs are never followed through a link; the image is.
    struct {
        const char* path;
        bool follow;
        const char* why;
    } const kept[] = {
        {image_path, true, "it is the image file"},
        {"log.txt", false, "it is the log file log.txt"},
        {"logprev.txt", false, "it is the previous log file logprev.txt"},
    };
    for (const auto& k : kept) {
        if (!k.path || !k.path[0])
            continue;
        struct stat st;
        if (SameName(path, k.path) ||
            (exists && (k.follow ? stat(k.path, &st) : lstat(k.path, &st)) == 0 && SameFile(st, report)))
            return k.why;
    }
    return nullptr;
}

int ReportFileOpen(const char* path)
{
    FirstError = 0;
    BufferUsed = 0;
    const char* slash = std::strrchr(path, '/');
    const int directory_length = slash ? static_cast<int>(slash - path + 1) : 0;
    for (unsigned attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        unsigned long long bits;
        if (!RandomBits(&bits))
            break;
        std::snprintf(TempPath, sizeof TempPath, "%.*s.qb40tool-report.%016llx.tmp", directory_length, path, bits);
        // The tool runs as root: never through a link, never an existing file.
        TempFd = open(TempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (TempFd >= 0) {
            TempExists = 1;
            return 1;
        }
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
    if (FirstError != 0)
        unlink(TempPath);
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
