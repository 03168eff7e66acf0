// SPDX-License-Identifier: MIT
// Console and log output. Console lines end in CR LF so that they stay whole
// on a serial console left in raw mode; log lines end in LF. Every write is
// flushed at once: the tool may end the process with exit() at any point and
// the log must then hold every line written so far.
//
// The tool runs as root in whatever directory it is started from, which
// others may be able to write to: the log files are never reached through a
// symbolic link, and only a regular file is ever written.
#include "logfile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/settings.h"
#include "../os/os.h"
#include "lost_files.h"

FILE* log_file = nullptr;

namespace {

const char kPreviousLog[] = "logprev.txt";
const char kDefaultLog[] = "log.txt";

// Nobody but the owner may change what the tool writes, whatever the umask.
constexpr mode_t kNotWritableByOthers = S_IWGRP | S_IWOTH;

// The log's stream writes through the seam, so that a full or failing disk
// is seen: the first write that fails is said once and kept for the report.
ssize_t LogStreamWrite(void* cookie, const char* bytes, size_t size)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    size_t done = 0;
    while (done < size) {
        ssize_t n = os::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            NoteOutputLost(OUTPUT_LOG, kDefaultLog, strerror(n < 0 && errno ? errno : EIO));
            return static_cast<ssize_t>(done);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

int LogStreamClose(void* cookie) { return close(static_cast<int>(reinterpret_cast<intptr_t>(cookie))); }

// The formatted text on the console followed by `line_end`, unless quiet.
int console_write(const char* line_end, const char* fmt, va_list ap)
{
    if (CMDL_QuietMode)
        return 0;
    int n = vfprintf(stdout, fmt, ap);
    fputs(line_end, stdout);
    fflush(stdout);
    return n;
}

// The formatted text in the log followed by a line feed; -1 without a log.
int log_write(const char* fmt, va_list ap)
{
    if (!log_file)
        return -1;
    int n = vfprintf(log_file, fmt, ap);
    fputc('\n', log_file);
    fflush(log_file);
    return n;
}

// `fd` from open(), kept when it is a regular file (truncated when `truncate`
// says so, once that is known), else closed; -1 then, and `why` (may be
// null) names what it is.
int KeepRegularFile(int fd, bool truncate, const char** why)
{
    if (why)
        *why = nullptr;
    if (fd < 0)
        return -1;
    struct stat st {};
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular && why)
        *why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file";
    if (!regular || (truncate && ftruncate(fd, 0) != 0)) {
        int cause = regular ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = cause;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens the log for writing (truncated) or appending, or returns null. A
// link or anything but a regular file is refused; so is an existing file
// where `must_be_new` says the rotation has just moved the old log away.
FILE* OpenLog(const char* path, bool append, bool must_be_new)
{
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | (append ? O_APPEND : 0) | (must_be_new ? O_EXCL : 0);
    // O_NONBLOCK: a FIFO planted under the name must not hold the run.
    const char* why = nullptr;
    int fd = KeepRegularFile(os::open_file(path, flags | O_NONBLOCK | O_CLOEXEC, 0644), !append, &why);
    if (fd < 0) {
        NoteOutputLost(OUTPUT_LOG, kDefaultLog, why ? why : strerror(errno));
        return nullptr;
    }
    // An old log that others may write to is not carried on as it is.
    struct stat st {};
    if (fstat(fd, &st) == 0 && (st.st_mode & kNotWritableByOthers))
        fchmod(fd, st.st_mode & 07777 & ~kNotWritableByOthers);
    // The descriptor's O_APPEND does the appending: the stream itself only writes.
    cookie_io_functions_t calls{nullptr, LogStreamWrite, nullptr, LogStreamClose};
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", calls);
    if (!stream) {
        NoteOutputLost(OUTPUT_LOG, kDefaultLog, strerror(errno));
        close(fd);
    }
    return stream;
}

}  // namespace

FILE* OpenRegularFile(const char* path, int flags, const char* mode, const char** why)
{
    // O_NONBLOCK: a FIFO planted under the name must not hold the run.
    int fd = KeepRegularFile(open(path, flags | O_NONBLOCK | O_CLOEXEC, 0644), mode[0] == 'w', why);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (!stream)
        close(fd);
    return stream;
}

void OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;  // nothing more can be done; the lowest free one was not it
}

int ps(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("\r\n", fmt, ap);
    va_end(ap);
    return n;
}

int ps_no_rn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("", fmt, ap);
    va_end(ap);
    return n;
}

int ps_r(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("\r", fmt, ap);
    va_end(ap);
    return n;
}

int pb(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    console_write("\r\n", fmt, ap);
    int n = log_write(fmt, again);
    va_end(again);
    va_end(ap);
    return n;
}

int pf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = log_write(fmt, ap);
    va_end(ap);
    return n;
}

int StartLogFile(const char* log_file_filename)
{
    if (log_file)
        return 0;

    // Only two generations are kept: the one before the previous goes first.
    // A link is not opened, so it is not deleted either; the rename below
    // replaces the link itself.
    int probe = open(kPreviousLog, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (probe >= 0) {
        close(probe);
        if (remove(kPreviousLog) != 0)
            ps("Error Deleting %s", kPreviousLog);
    }

    char path[128];
    const char* name = log_file_filename && *log_file_filename ? log_file_filename : kDefaultLog;
    snprintf(path, sizeof path, "./%s", name);

    // Fails on a first run, when there is no log yet; that is not worth a word.
    // A link named log.txt moves as a link, without being followed.
    bool moved_away = os::rename(path, kPreviousLog) == 0;

    const char* mode = CMDL_AppendLogFile ? "a" : "w";
    log_file = OpenLog(path, CMDL_AppendLogFile, moved_away);
    if (!log_file)
        return 0;
    if (CMDL_VerboseLog)
        pf("fopen(\"%s\", \"%s\")... [OK]", path, mode);
    return 1;
}

int CloseLogFile()
{
    if (log_file) {
        fclose(log_file);
        log_file = nullptr;
    }
    return 0;
}
