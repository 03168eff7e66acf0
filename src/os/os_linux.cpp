// SPDX-License-Identifier: MIT
// The seam on a real Linux machine: each function is the system call it names.
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace os::sys {

int open(const char* path, int flags) { return ::open(path, flags); }
int close(int fd) { return ::close(fd); }
int ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    return ::select(nfds, readfds, writefds, exceptfds, timeout);
}

int iopl(int level) { return ::iopl(level); }
unsigned char inb(unsigned short port) { return ::inb(port); }
void outb(unsigned char value, unsigned short port) { ::outb(value, port); }

int nanosleep(const struct timespec* req, struct timespec* rem) { return ::nanosleep(req, rem); }
int gettimeofday(struct timeval* tv) { return ::gettimeofday(tv, nullptr); }
time_t time(time_t* t) { return ::time(t); }
int clock_gettime(clockid_t clock, struct timespec* ts) { return ::clock_gettime(clock, ts); }

int system(const char* command) { return std::system(command); }

int tcgetattr(int fd, struct termios* attr) { return ::tcgetattr(fd, attr); }
int tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    return ::tcsetattr(fd, optional_actions, attr);
}
int getchar() { return os::getchar_unless_stopped(); }
int fflush_stdin() { return std::fflush(stdin); }

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) { return ::sigaction(sig, act, old); }
int raise(int sig) { return ::raise(sig); }
int gethostname(char* name, size_t len) { return ::gethostname(name, len); }

ssize_t read_system_file(const char* path, char* buf, size_t size)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0) {
            int cause = errno;
            ::close(fd);
            errno = cause;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return static_cast<ssize_t>(got);
}

int open_file(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int fsync(int fd) { return ::fsync(fd); }
int rename(const char* from, const char* to) { return std::rename(from, to); }
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

}  // namespace os::sys
