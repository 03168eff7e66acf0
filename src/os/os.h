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
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <cstddef>

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

// Who the machine is, for the outcome report: its host name, and a small
// file the system keeps about itself (the DMI product serial, /etc/machine-id)
// read whole into `buf` (the number of bytes read, or -1 with errno).
int gethostname(char* name, size_t len);
ssize_t read_system_file(const char* path, char* buf, size_t size);

}  // namespace os
