// SPDX-License-Identifier: MIT
// The calls of the seam (src/os/os.h) as the simulator answers them. Two
// machines implement it: the simulated machine (machine.h), and the replay
// of a capture (replay.h), which answers from the capture's events and
// leaves the clock, the files and the signal handlers to the machine it
// runs on. os_sim.cpp talks to the one that current_machine.h picked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>

namespace sim {

class Seam {
public:
    virtual ~Seam() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) = 0;
    virtual int iopl(int level) = 0;
    virtual uint8_t inb(uint16_t port) = 0;
    virtual void outb(uint8_t value, uint16_t port) = 0;
    virtual int nanosleep(const struct timespec* req, struct timespec* rem) = 0;
    virtual int gettimeofday(struct timeval* tv) = 0;
    virtual time_t time(time_t* t) = 0;
    virtual int clock_gettime(clockid_t clock, struct timespec* ts) = 0;
    virtual int system(const char* command) = 0;
    virtual int tcgetattr(int fd, struct termios* attr) = 0;
    virtual int tcsetattr(int fd, int optional_actions, const struct termios* attr) = 0;
    virtual int getchar() = 0;
    virtual int fflush_stdin() = 0;
    virtual int sigaction(int sig, const struct sigaction* act, struct sigaction* old) = 0;
    virtual int raise(int sig) = 0;
    virtual int gethostname(char* name, size_t len) = 0;
    virtual ssize_t read_system_file(const char* path, char* buf, size_t size) = 0;
    virtual int open_file(const char* path, int flags, mode_t mode) = 0;
    virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
    virtual int fsync(int fd) = 0;
    virtual int rename(const char* from, const char* to) = 0;
    virtual int socket(int domain, int type, int protocol) = 0;
    virtual int connect(int fd, const struct sockaddr* addr, socklen_t len) = 0;
    virtual ssize_t send(int fd, const void* buf, size_t len) = 0;
    virtual ssize_t recv(int fd, void* buf, size_t len) = 0;
    virtual ssize_t getrandom(void* buf, size_t len) = 0;
    virtual int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len) = 0;

    // The run ends (the process exits): a replay checks that its capture
    // is over too.
    virtual void finish() {}
};

}  // namespace sim
