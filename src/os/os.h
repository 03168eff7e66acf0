// SPDX-License-Identifier: MIT
// The seam between the tool and the machine it runs on.
//
// Every call the tool makes into hardware, time, the shell or the terminal
// goes through these functions and nowhere else. Each one behaves like the
// call it is named after, including errno on failure.
//
// The calls themselves are in namespace sys: os_linux.cpp forwards them to
// the real system calls, the simulator (sim/os_sim.cpp) answers them from a
// simulated machine. The functions the tool calls wrap them for the
// recorder of --capture (capture.cpp): while it records, each call is
// written down with its result; otherwise a wrapper costs one test of a flag.
#pragma once

#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <cstddef>

namespace os {

namespace sys {

// Device nodes of the IPMI driver.
int open(const char* path, int flags);
int close(int fd);
int ioctl(int fd, unsigned long request, void* arg);

// Waits on the IPMI device node and polls standard input (descriptor 0).
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);

// x86 port I/O for the KCS interface.
int iopl(int level);
unsigned char inb(unsigned short port);
void outb(unsigned char value, unsigned short port);

// Time. A pause that a signal interrupts fails with EINTR and leaves the
// time still to sleep in *rem.
int nanosleep(const struct timespec* req, struct timespec* rem);
int gettimeofday(struct timeval* tv);
time_t time(time_t* t);
// Not called by the tool: the recorder's own clock (CLOCK_MONOTONIC).
int clock_gettime(clockid_t clock, struct timespec* ts);

// Shell commands (loading the driver modules).
int system(const char* command);

// Terminal and keys on standard input.
int tcgetattr(int fd, struct termios* attr);
int tcsetattr(int fd, int optional_actions, const struct termios* attr);
int getchar();       // one character from the buffered standard-input stream, or EOF
int fflush_stdin();  // fflush(stdin)

// Signals: the handlers of the run, and ending the process by the signal
// that stopped it.
int sigaction(int sig, const struct sigaction* act, struct sigaction* old);
int raise(int sig);

// Who the machine is, for the outcome report: its host name, and a small
// file the system keeps about itself (the DMI product serial, /etc/machine-id)
// read whole into `buf` (the number of bytes read, or -1 with errno).
int gethostname(char* name, size_t len);
ssize_t read_system_file(const char* path, char* buf, size_t size);

// The files the tool writes (the log, the report, the capture): created,
// written, put on the disk and renamed into place. A full or read-only file
// system, a failing disk or a file in use meets them here.
int open_file(const char* path, int flags, mode_t mode);
ssize_t write(int fd, const void* buf, size_t count);
int fsync(int fd);
int rename(const char* from, const char* to);
// A file others must read (the metrics for the node exporter) gets its mode
// whatever the umask.
int fchmod(int fd, mode_t mode);

// The network road: one connected UDP socket per LAN BMC.
int socket(int domain, int type, int protocol);
int connect(int fd, const struct sockaddr* addr, socklen_t len);
ssize_t send(int fd, const void* buf, size_t len);
ssize_t recv(int fd, void* buf, size_t len);   // MSG_DONTWAIT semantics: -1/EAGAIN when nothing is there
ssize_t getrandom(void* buf, size_t len);
// A host name or address and a port, as getaddrinfo(AI_SOCKTYPE=SOCK_DGRAM) gives them: 0, or an EAI_* code.
int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len);

}  // namespace sys

// The recorder's side of each call (capture.cpp); called only while it records.
namespace rec {

extern bool recording;

void open(const char* path, int flags, int result);
void close(int fd, int result);
void ioctl(int fd, unsigned long request, void* arg, int result);
void select_begin(int nfds, const fd_set* readfds, const struct timeval* timeout);
void select_end(int result, const fd_set* readfds);
void iopl(int level, int result);
unsigned char inb(unsigned short port, unsigned char value);  // the value the tool gets
void outb(unsigned char value, unsigned short port);
void nanosleep(const struct timespec* req, const struct timespec* rem, int result);
void time(time_t result);
void system(const char* command, int result);
void tcgetattr(int fd, int result);
void tcsetattr(int fd, int optional_actions, const struct termios* attr, int result);
void getchar(int result);
void fflush_stdin(int result);
// The recorder notes the signals the run's handlers receive: it installs the
// handlers itself, around the tool's.
int sigaction(int sig, const struct sigaction* act, struct sigaction* old);
void gethostname(const char* name, size_t len, int result);
void read_system_file(const char* path, const char* buf, ssize_t result);
// The run ends by the signal: the line is written and the capture put in
// place (capture_start's `before_raise`) before the signal is sent.
void raise(int sig);
// The network road's own notes (see lan_session below).
void lan_session(int bmc, const char* host, unsigned port, const char* user, int privilege, int suite,
                 const char* result);
void lan_request(int bmc, const unsigned char* req, size_t length);
void lan_answer(unsigned char* answer, size_t length);
void lan_close();

}  // namespace rec

inline int open(const char* path, int flags)
{
    int result = sys::open(path, flags);
    if (rec::recording)
        rec::open(path, flags, result);
    return result;
}

inline int close(int fd)
{
    int result = sys::close(fd);
    if (rec::recording)
        rec::close(fd, result);
    return result;
}

inline int ioctl(int fd, unsigned long request, void* arg)
{
    int result = sys::ioctl(fd, request, arg);
    if (rec::recording)
        rec::ioctl(fd, request, arg, result);
    return result;
}

inline int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    if (rec::recording)
        rec::select_begin(nfds, readfds, timeout);
    int result = sys::select(nfds, readfds, writefds, exceptfds, timeout);
    if (rec::recording)
        rec::select_end(result, readfds);
    return result;
}

inline int iopl(int level)
{
    int result = sys::iopl(level);
    if (rec::recording)
        rec::iopl(level, result);
    return result;
}

inline unsigned char inb(unsigned short port)
{
    unsigned char value = sys::inb(port);
    return rec::recording ? rec::inb(port, value) : value;
}

inline void outb(unsigned char value, unsigned short port)
{
    sys::outb(value, port);
    if (rec::recording)
        rec::outb(value, port);
}

inline int nanosleep(const struct timespec* req, struct timespec* rem)
{
    if (!rec::recording)
        return sys::nanosleep(req, rem);
    const struct timespec asked = *req;  // `rem` may be `req` itself
    int result = sys::nanosleep(req, rem);
    rec::nanosleep(&asked, rem, result);
    return result;
}

// The time base of the KCS waits: not recorded, since the times of the
// recorded calls tell it.
inline int gettimeofday(struct timeval* tv) { return sys::gettimeofday(tv); }

inline time_t time(time_t* t)
{
    time_t result = sys::time(t);
    if (rec::recording)
        rec::time(result);
    return result;
}

inline int system(const char* command)
{
    int result = sys::system(command);
    if (rec::recording)
        rec::system(command, result);
    return result;
}

inline int tcgetattr(int fd, struct termios* attr)
{
    int result = sys::tcgetattr(fd, attr);
    if (rec::recording)
        rec::tcgetattr(fd, result);
    return result;
}

inline int tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    int result = sys::tcsetattr(fd, optional_actions, attr);
    if (rec::recording)
        rec::tcsetattr(fd, optional_actions, attr, result);
    return result;
}

inline int getchar()
{
    int result = sys::getchar();
    if (rec::recording)
        rec::getchar(result);
    return result;
}

// The stop signals and the flag their handlers set, handed over once by the
// run's signal code: a wait for a key on the real terminal then ends as an
// interrupted read ends (EOF, errno EINTR) when a stop signal came after the
// run last cleared the flag, before the wait began or during it.
void set_stop_signals(const sigset_t* stops, volatile sig_atomic_t* arrived);
// std::getchar() with that wait (key_wait.cpp): the real seam's getchar, and
// the simulator's on the real terminal.
int getchar_unless_stopped();

inline int fflush_stdin()
{
    int result = sys::fflush_stdin();
    if (rec::recording)
        rec::fflush_stdin(result);
    return result;
}

inline int sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    return rec::recording ? rec::sigaction(sig, act, old) : sys::sigaction(sig, act, old);
}

inline int raise(int sig)
{
    if (rec::recording)
        rec::raise(sig);
    return sys::raise(sig);
}

inline int gethostname(char* name, size_t len)
{
    int result = sys::gethostname(name, len);
    if (rec::recording)
        rec::gethostname(name, len, result);
    return result;
}

inline ssize_t read_system_file(const char* path, char* buf, size_t size)
{
    ssize_t result = sys::read_system_file(path, buf, size);
    if (rec::recording)
        rec::read_system_file(path, buf, result);
    return result;
}

// The tool's own files are not recorded: they are what the run leaves
// behind, not what it asks of the machine, and a replay writes them anew.
inline int open_file(const char* path, int flags, mode_t mode) { return sys::open_file(path, flags, mode); }
inline ssize_t write(int fd, const void* buf, size_t count) { return sys::write(fd, buf, count); }
inline int fsync(int fd) { return sys::fsync(fd); }
inline int rename(const char* from, const char* to) { return sys::rename(from, to); }
inline int fchmod(int fd, mode_t mode) { return sys::fchmod(fd, mode); }

// The network road's socket is not recorded: its datagrams are encrypted
// and carry the session's secrets (its IDs, sequence numbers, random
// numbers, integrity codes), and the recorder could tell nothing from them.
// The road notes instead what a reader needs, below: the session it had
// and each request and answer as its exchange hands them.
inline int socket(int domain, int type, int protocol) { return sys::socket(domain, type, protocol); }
inline int connect(int fd, const struct sockaddr* addr, socklen_t len) { return sys::connect(fd, addr, len); }
inline ssize_t send(int fd, const void* buf, size_t len) { return sys::send(fd, buf, len); }
inline ssize_t recv(int fd, void* buf, size_t len) { return sys::recv(fd, buf, len); }
// The wait for the socket's next datagram, and its close.
inline int select_socket(int nfds, fd_set* readfds, struct timeval* timeout)
{
    return sys::select(nfds, readfds, nullptr, nullptr, timeout);
}
inline int close_socket(int fd) { return sys::close(fd); }
inline ssize_t getrandom(void* buf, size_t len) { return sys::getrandom(buf, len); }
inline int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    return sys::resolve(host, port, addr, len);
}

// The session had (or not: `result` names why) with the BMC of --lan
// number `bmc`: its host as given, port, user, privilege and cipher suite
// (0: none agreed). Never a secret, a random number or a session ID.
inline void lan_session(int bmc, const char* host, unsigned port, const char* user, int privilege, int suite,
                        const char* result)
{
    if (rec::recording)
        rec::lan_session(bmc, host, port, user, privilege, suite, result);
}
// One sending of a request (NetFn/LUN, command, data) in the session.
inline void lan_request(int bmc, const unsigned char* req, size_t length)
{
    if (rec::recording)
        rec::lan_request(bmc, req, length);
}
// Its answer (NetFn/LUN, command, completion code, data), or null when none
// came in the wait. While VPD text is redacted, the answer of a VPD read is
// redacted here, before the tool sees it.
inline void lan_answer(unsigned char* answer, size_t length)
{
    if (rec::recording)
        rec::lan_answer(answer, length);
}
// The session was closed.
inline void lan_close()
{
    if (rec::recording)
        rec::lan_close();
}

}  // namespace os
