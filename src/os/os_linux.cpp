// SPDX-License-Identifier: MIT
// The seam on a real Linux machine: each function is the system call it names.
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
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

int socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int connect(int fd, const struct sockaddr* addr, socklen_t len) { return ::connect(fd, addr, len); }
ssize_t send(int fd, const void* buf, size_t len) { return ::send(fd, buf, len, 0); }
ssize_t recv(int fd, void* buf, size_t len) { return ::recv(fd, buf, len, MSG_DONTWAIT); }
ssize_t getrandom(void* buf, size_t len) { return ::getrandom(buf, len, 0); }

#ifdef QB40_NUMERIC_HOSTS_ONLY
// The static tool resolves no names: glibc's resolver would load shared
// libraries of the glibc it was built with at run time. An address only.
int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    std::memset(addr, 0, sizeof *addr);
    const auto number = static_cast<uint16_t>(std::strtoul(port, nullptr, 10));
    auto* v4 = reinterpret_cast<struct sockaddr_in*>(addr);
    auto* v6 = reinterpret_cast<struct sockaddr_in6*>(addr);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(number);
        *len = sizeof *v4;
        return 0;
    }
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(number);
        *len = sizeof *v6;
        return 0;
    }
    return EAI_NONAME;
}
#else
int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* found = nullptr;
    int result = ::getaddrinfo(host, port, &hints, &found);
    if (result != 0)
        return result;
    std::memcpy(addr, found->ai_addr, found->ai_addrlen);
    *len = found->ai_addrlen;
    ::freeaddrinfo(found);
    return 0;
}

#endif

}  // namespace os::sys
