// SPDX-License-Identifier: MIT
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/settings.h"
#include "../os/os.h"

namespace {

constexpr size_t kPathSize = 4096 + 64;

// Readable and writable by the owner alone.
constexpr mode_t kOutputMode = 0600;

// A name someone else has taken (or planted) is tried again with new random bytes.
constexpr unsigned kTempNameAttempts = 8;

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
    char dir_a[kPathSize], dir_b[kPathSize];
    const char* name_a = SplitPath(a, dir_a, sizeof dir_a);
    const char* name_b = SplitPath(b, dir_b, sizeof dir_b);
    struct stat st_a, st_b;
    return std::strcmp(name_a, name_b) == 0 && stat(dir_a, &st_a) == 0 && stat(dir_b, &st_b) == 0 &&
           SameFile(st_a, st_b);
}

}  // namespace

const char* OutputFileRefusal(const char* path, const char* image_path, const char* other_output)
{
    struct stat target;
    const bool exists = lstat(path, &target) == 0;
    // Replacing a link was safe from links others plant, not from those the
    // system owns: /dev/stdout replaced by a report is a regular file for
    // the whole machine until it starts again.
    if (exists && S_ISLNK(target.st_mode))
        return "it is a symbolic link";
    if (!exists) {
        char dir[kPathSize];
        SplitPath(path, dir, sizeof dir);
        struct stat st;
        if (stat(dir, &st) != 0)
            return errno == ENOTDIR ? "its directory is not a directory" : "its directory does not exist";
        if (!S_ISDIR(st.st_mode))
            return "its directory is not a directory";
    }
    if (exists && S_ISDIR(target.st_mode))
        return "it is a directory";
    if (exists && (S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode)))
        return "it is a device";
    if (exists && S_ISFIFO(target.st_mode))
        return "it is a FIFO";
    if (exists && S_ISSOCK(target.st_mode))
        return "it is a socket";

    // The logs and the other output are never followed through a link; the
    // files the run reads are. The secrets of --lan are kept on every path
    // here, since an output over them would lose the operator's password.
    struct {
        const char* path;
        bool follow;
        const char* why;
    } const kept[] = {
        {image_path, true, "it is the image file"},
        {LanPasswordFile, true, "it is the password file of --lan"},
        {LanKgFile, true, "it is the K_G file of --lan"},
        {"log.txt", false, "it is the log file log.txt"},
        {"logprev.txt", false, "it is the previous log file logprev.txt"},
        {other_output, false, "another output of the run goes there"},
    };
    for (const auto& k : kept) {
        if (!k.path || !k.path[0])
            continue;
        struct stat st;
        if (SameName(path, k.path) ||
            (exists && (k.follow ? stat(k.path, &st) : lstat(k.path, &st)) == 0 && SameFile(st, target)))
            return k.why;
    }
    return nullptr;
}

int OutputTempFile(const char* path, const char* kind, char* temp_path, size_t temp_path_size)
{
    const char* slash = std::strrchr(path, '/');
    const int directory_length = slash ? static_cast<int>(slash - path + 1) : 0;
    for (unsigned attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        unsigned long long bits;
        if (!RandomBits(&bits))
            return -1;
        int n = std::snprintf(temp_path, temp_path_size, "%.*s.qb40tool-%s.%016llx.tmp", directory_length, path,
                              kind, bits);
        if (n < 0 || static_cast<size_t>(n) >= temp_path_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = os::open_file(temp_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOutputMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

int OutputScratchFile(const char* path)
{
    char dir[kPathSize];
    SplitPath(path, dir, sizeof dir);
    int fd = os::open_file(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, kOutputMode);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // A file system without unnamed files: a named one, unlinked at once.
    char temp[kPathSize];
    fd = OutputTempFile(path, "scratch", temp, sizeof temp);
    if (fd >= 0)
        unlink(temp);
    return fd;
}

int OutputFileCommit(int fd, const char* temp_path, const char* path)
{
    int error = 0;
    // On the disk before the name points at it, so that a crash leaves the
    // old file or the new one, never an empty one.
    if (os::fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && os::rename(temp_path, path) != 0)
        error = errno;
    if (error)
        unlink(temp_path);
    return error;
}

void OutputFileRemove(const char* path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        unlink(path);
}

int OutputBegin(OutputWriter* w, const char* path, const char* kind, mode_t mode)
{
    int fd = OutputTempFile(path, kind, w->temp_path, sizeof w->temp_path);
    WriterStart(&w->out, fd, w->buffer, sizeof w->buffer);
    if (fd < 0) {
        WriterFail(&w->out, errno);
        return 0;
    }
    w->exists = 1;
    if (mode != kOutputMode && os::fchmod(fd, mode) != 0)
        WriterFail(&w->out, errno);
    return 1;
}

int OutputEnd(OutputWriter* w, const char* path)
{
    WriterFlush(&w->out);
    if (w->out.error == 0) {
        if (int error = OutputFileCommit(w->out.fd, w->temp_path, path))
            WriterFail(&w->out, error);
    } else {
        close(w->out.fd);
        unlink(w->temp_path);
    }
    w->out.fd = -1;
    w->exists = 0;
    return w->out.error == 0;
}

void OutputDiscard(OutputWriter* w)
{
    if (!w->exists)
        return;
    close(w->out.fd);
    unlink(w->temp_path);
    w->exists = 0;
}
