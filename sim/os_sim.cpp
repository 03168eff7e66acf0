// SPDX-License-Identifier: MIT
// The seam in the simulator: every call is answered by the simulated
// machine, or by its replay of a capture (current_machine.h picks which).
#include "../src/os/os.h"

#include "current_machine.h"

namespace os::sys {

int open(const char* path, int flags) { return sim::seam().open(path, flags); }
int close(int fd) { return sim::seam().close(fd); }
int ioctl(int fd, unsigned long request, void* arg) { return sim::seam().ioctl(fd, request, arg); }

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    return sim::seam().select(nfds, readfds, writefds, exceptfds, timeout);
}

int iopl(int level) { return sim::seam().iopl(level); }
unsigned char inb(unsigned short port) { return sim::seam().inb(port); }
void outb(unsigned char value, unsigned short port) { sim::seam().outb(value, port); }

int nanosleep(const struct timespec* req, struct timespec* rem) { return sim::seam().nanosleep(req, rem); }
int gettimeofday(struct timeval* tv) { return sim::seam().gettimeofday(tv); }
time_t time(time_t* t) { return sim::seam().time(t); }
int clock_gettime(clockid_t clock, struct timespec* ts) { return sim::seam().clock_gettime(clock, ts); }

int system(const char* command) { return sim::seam().system(command); }

int tcgetattr(int fd, struct termios* attr) { return sim::seam().tcgetattr(fd, attr); }
int tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    return sim::seam().tcsetattr(fd, optional_actions, attr);
}
int getchar() { return sim::seam().getchar(); }
int fflush_stdin() { return sim::seam().fflush_stdin(); }

int sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    return sim::seam().sigaction(sig, act, old);
}
int raise(int sig) { return sim::seam().raise(sig); }
int gethostname(char* name, size_t len) { return sim::seam().gethostname(name, len); }
ssize_t read_system_file(const char* path, char* buf, size_t size)
{
    return sim::seam().read_system_file(path, buf, size);
}

int open_file(const char* path, int flags, mode_t mode) { return sim::seam().open_file(path, flags, mode); }
ssize_t write(int fd, const void* buf, size_t count) { return sim::seam().write(fd, buf, count); }
int fsync(int fd) { return sim::seam().fsync(fd); }
int rename(const char* from, const char* to) { return sim::seam().rename(from, to); }
int socket(int domain, int type, int protocol) { return sim::seam().socket(domain, type, protocol); }
int connect(int fd, const struct sockaddr* addr, socklen_t len) { return sim::seam().connect(fd, addr, len); }
ssize_t send(int fd, const void* buf, size_t len) { return sim::seam().send(fd, buf, len); }
ssize_t recv(int fd, void* buf, size_t len) { return sim::seam().recv(fd, buf, len); }
ssize_t getrandom(void* buf, size_t len) { return sim::seam().getrandom(buf, len); }
int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    return sim::seam().resolve(host, port, addr, len);
}

// The files are real files: their mode is the real one.
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

}  // namespace os::sys
