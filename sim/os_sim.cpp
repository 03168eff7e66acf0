// SPDX-License-Identifier: MIT
// The seam in the simulator: every call is answered by the simulated machine.
#include "../src/os/os.h"

#include "current_machine.h"

namespace os::sys {

int open(const char* path, int flags) { return sim::machine().open(path, flags); }
int close(int fd) { return sim::machine().close(fd); }
int ioctl(int fd, unsigned long request, void* arg) { return sim::machine().ioctl(fd, request, arg); }

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    return sim::machine().select(nfds, readfds, writefds, exceptfds, timeout);
}

int iopl(int level) { return sim::machine().iopl(level); }
unsigned char inb(unsigned short port) { return sim::machine().inb(port); }
void outb(unsigned char value, unsigned short port) { sim::machine().outb(value, port); }

int nanosleep(const struct timespec* req, struct timespec* rem) { return sim::machine().nanosleep(req, rem); }
int gettimeofday(struct timeval* tv) { return sim::machine().gettimeofday(tv); }
time_t time(time_t* t) { return sim::machine().time(t); }
int clock_gettime(clockid_t clock, struct timespec* ts) { return sim::machine().clock_gettime(clock, ts); }

int system(const char* command) { return sim::machine().system(command); }

int tcgetattr(int fd, struct termios* attr) { return sim::machine().tcgetattr(fd, attr); }
int tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    return sim::machine().tcsetattr(fd, optional_actions, attr);
}
int getchar() { return sim::machine().getchar(); }
int fflush_stdin() { return sim::machine().fflush_stdin(); }

int sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    return sim::machine().sigaction(sig, act, old);
}
int raise(int sig) { return sim::machine().raise(sig); }
int gethostname(char* name, size_t len) { return sim::machine().gethostname(name, len); }
ssize_t read_system_file(const char* path, char* buf, size_t size)
{
    return sim::machine().read_system_file(path, buf, size);
}

int open_file(const char* path, int flags, mode_t mode) { return sim::machine().open_file(path, flags, mode); }
ssize_t write(int fd, const void* buf, size_t count) { return sim::machine().write(fd, buf, count); }
int fsync(int fd) { return sim::machine().fsync(fd); }
int rename(const char* from, const char* to) { return sim::machine().rename(from, to); }
// The files are real files: their mode is the real one.
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

}  // namespace os::sys
