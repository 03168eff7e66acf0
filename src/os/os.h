// The seam between the tool and the machine it runs on.
//
// Every call the tool makes into hardware, time, the shell or the terminal
// goes through these functions and nowhere else. os_linux.cpp forwards them
// to the real system calls; the simulator (sim/os_sim.cpp) answers them from
// a simulated machine. Each one behaves like the call it is named after,
// including errno on failure.
#pragma once

#include <signal.h>
#include <sys/select.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>

namespace os {

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

}  // namespace os
