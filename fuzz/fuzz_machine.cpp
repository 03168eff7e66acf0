// SPDX-License-Identifier: MIT
#include "fuzz_machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <linux/ipmi.h>
#include <netdb.h>
#include <netinet/in.h>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>

#include "lan_bmc.h"
#include "os/os.h"

namespace qbfuzz {

namespace {

// Costs in virtual time: a status poll takes one of the tool's 55 ms ticks,
// so a KCS wait times out after some 72 input bytes; without input left a
// poll takes a second and every wait ends at once.
constexpr uint64_t kPortAccessUs = 55'000;
constexpr uint64_t kPortAccessExhaustedUs = 1'000'000;

constexpr uint64_t kClockStarts[] = {
    1'700'000'000'000'000ULL,       // an ordinary date
    (1ULL << 32) - 2'000'000,       // the 32-bit microsecond count wraps 2 s in
    (1ULL << 32) * 400'000 - 500,   // a recent date, the count wrapping 0.5 ms in
    0,                              // the epoch
};

struct Machine {
    MachineShape shape;
    Answers* answers = nullptr;
    uint64_t now_us = 0;
    bool clock_unreadable = false;
    long last_msgid = 0;
    ipmi_msg last_request{};  // netfn, cmd and the read count of the last send
    unsigned last_read_count = 0;
    int next_fd = 10;
    std::set<int> open_fds;  // as the kernel, calls on any other descriptor fail with EBADF
};

Machine machine;

bool bad_descriptor(int fd)
{
    if (machine.open_fds.count(fd))
        return false;
    errno = EBADF;
    return true;
}

uint8_t next(uint8_t when_exhausted) { return machine.answers->byte(when_exhausted); }

// A failure, with an errno from `errors`, when the byte is at or above `from`.
int fail_from(uint8_t b, uint8_t from, std::span<const int> errors)
{
    if (b < from)
        return 0;
    errno = errors[b % errors.size()];
    return -1;
}

int send_command(ipmi_req* req)
{
    static constexpr int kErrors[] = {EIO, EBUSY, EINVAL, ENOMEM, EFAULT};
    if (fail_from(next(0xFF), 0xF0, kErrors) != 0)
        return -1;
    machine.last_msgid = req->msgid;
    machine.last_request = req->msg;
    // The read count of a Master Write-Read is its data byte 2.
    machine.last_read_count = req->msg.data_len > 2 ? req->msg.data[2] : 0;
    return 0;
}

// The first byte shapes the answer. Below 0x60: a well-formed answer to the
// request, completion code 0 and as many data bytes as it asked for, from
// the input; below 0x80: well-formed with the next byte as completion code
// and no data; below 0xF0: any id (off by the next byte as signed, 0
// echoes), network function, command and length, then the bytes; else the
// receive fails.
int receive_message(ipmi_recv* recv)
{
    static constexpr int kErrors[] = {EAGAIN, EINTR, EFAULT, EIO};
    uint8_t shape = next(0xFF);
    if (fail_from(shape, 0xF0, kErrors) != 0)
        return -1;
    recv->recv_type = IPMI_RESPONSE_RECV_TYPE;
    ipmi_system_interface_addr addr{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
    if (recv->addr && recv->addr_len >= sizeof addr) {
        std::memcpy(recv->addr, &addr, sizeof addr);
        recv->addr_len = sizeof addr;
    }
    const bool well_formed = shape < 0x80;
    recv->msgid = machine.last_msgid + (well_formed ? 0 : static_cast<int8_t>(next(0)));
    recv->msg.netfn = well_formed ? machine.last_request.netfn + 1 : next(0x07);
    recv->msg.cmd = well_formed ? machine.last_request.cmd : next(0x52);
    unsigned length = 0;
    if (shape < 0x60) {
        if (recv->msg.data_len > 0)
            recv->msg.data[0] = 0;
        length = 1 + machine.last_read_count;
    } else if (well_formed) {
        if (recv->msg.data_len > 0)
            recv->msg.data[0] = next(0);
        length = 1;
    } else {
        // Up to 63 bytes against the tool's 60: the longer ones are truncated.
        length = next(0) & 0x3F;
    }
    unsigned copied = std::min<unsigned>(length, recv->msg.data_len);
    unsigned from = well_formed ? std::min(1u, copied) : 0;  // the completion code is in place
    auto data = machine.answers->bytes(copied - from);
    std::memset(recv->msg.data + from, 0, copied - from);
    std::memcpy(recv->msg.data + from, data.data(), data.size());
    recv->msg.data_len = static_cast<unsigned short>(copied);
    if (length > copied) {
        errno = EMSGSIZE;
        return -1;
    }
    return 0;
}

}  // namespace

void start_machine(MachineShape shape, Answers& answers)
{
    machine = Machine{};
    machine.shape = shape;
    machine.answers = &answers;
    uint8_t clock = next(0);
    machine.now_us = kClockStarts[clock % std::size(kClockStarts)];
    machine.clock_unreadable = clock & 0x80;
    lan_bmc_start(shape.lan_kg);
}

}  // namespace qbfuzz

using qbfuzz::machine;
using qbfuzz::next;

namespace os::sys {

int open(const char*, int)
{
    static constexpr int kErrors[] = {ENOENT, EACCES, ENXIO, EBUSY};
    if (!machine.shape.driver_nodes) {
        errno = ENOENT;
        return -1;
    }
    if (qbfuzz::fail_from(next(0xFF), 0xE0, kErrors) != 0)
        return -1;
    machine.open_fds.insert(machine.next_fd);
    return machine.next_fd++;
}

int close(int fd) { return qbfuzz::bad_descriptor(fd) ? -1 : (machine.open_fds.erase(fd), 0); }

int ioctl(int fd, unsigned long request, void* arg)
{
    if (qbfuzz::bad_descriptor(fd))
        return -1;
    if (request == IPMICTL_SEND_COMMAND)
        return qbfuzz::send_command(static_cast<ipmi_req*>(arg));
    if (request == IPMICTL_RECEIVE_MSG_TRUNC)
        return qbfuzz::receive_message(static_cast<ipmi_recv*>(arg));
    errno = ENOTTY;
    return -1;
}

int select(int nfds, fd_set* readfds, fd_set*, fd_set*, struct timeval* timeout)
{
    // Polling standard input for a key: at the end of the input it reads as
    // ready, as a pipe at its end does.
    if (nfds == 1) {
        if (next(1) & 1)
            return 1;
        FD_ZERO(readfds);
        return 0;
    }
    uint8_t b = next(0xE0);
    if (b < 0xE0)
        return 1;
    if (b < 0xF0) {
        if (timeout)
            machine.now_us += timeout->tv_sec * 1'000'000ULL + timeout->tv_usec;
        FD_ZERO(readfds);
        return 0;
    }
    if (b < 0xF8) {
        errno = b & 1 ? EINTR : EBADF;
        return -1;
    }
    // Ready by the count, yet not in the set.
    FD_ZERO(readfds);
    return 1;
}

int iopl(int)
{
    static constexpr int kErrors[] = {EPERM};
    return qbfuzz::fail_from(next(0xFF), 0xF0, kErrors);
}

unsigned char inb(unsigned short)
{
    machine.now_us += machine.answers->exhausted() ? qbfuzz::kPortAccessExhaustedUs : qbfuzz::kPortAccessUs;
    return next(0xFF);
}

void outb(unsigned char, unsigned short) {}

int nanosleep(const struct timespec* req, struct timespec*)
{
    machine.now_us += static_cast<uint64_t>(req->tv_sec) * 1'000'000 + static_cast<uint64_t>(req->tv_nsec) / 1000;
    return 0;
}

int gettimeofday(struct timeval* tv)
{
    if (machine.clock_unreadable) {
        errno = EFAULT;
        return -1;
    }
    tv->tv_sec = static_cast<time_t>(machine.now_us / 1'000'000);
    tv->tv_usec = static_cast<suseconds_t>(machine.now_us % 1'000'000);
    return 0;
}

time_t time(time_t* t)
{
    time_t now = static_cast<time_t>(machine.now_us / 1'000'000);
    if (t)
        *t = now;
    return now;
}

int clock_gettime(clockid_t, struct timespec* ts)
{
    ts->tv_sec = static_cast<time_t>(machine.now_us / 1'000'000);
    ts->tv_nsec = static_cast<long>(machine.now_us % 1'000'000) * 1000;
    return 0;
}

int system(const char*)
{
    static constexpr int kStatuses[] = {0, 1 << 8, 127 << 8, -1};
    return kStatuses[next(1) % std::size(kStatuses)];
}

int tcgetattr(int, struct termios* attr)
{
    static constexpr int kErrors[] = {ENOTTY, EBADF};
    if (qbfuzz::fail_from(next(0), 0xC0, kErrors) != 0)
        return -1;
    std::memset(attr, 0, sizeof *attr);
    attr->c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    return 0;
}

int tcsetattr(int, int, const struct termios*)
{
    static constexpr int kErrors[] = {ENOTTY, EINTR};
    return qbfuzz::fail_from(next(0), 0xC0, kErrors);
}

int getchar() { return machine.answers->exhausted() ? EOF : next(0); }

int fflush_stdin() { return 0; }

// No signal ever reaches a fuzzed run: the handlers are installed and stay idle.
int sigaction(int, const struct sigaction*, struct sigaction* old)
{
    if (old)
        std::memset(old, 0, sizeof *old);
    return 0;
}

int raise(int sig) { std::exit(128 + sig); }

// The machine's identity only fills the report, which a fuzzed run never writes.
int gethostname(char* name, size_t len)
{
    std::snprintf(name, len, "fuzz");
    return 0;
}

ssize_t read_system_file(const char*, char*, size_t)
{
    errno = ENOENT;
    return -1;
}

// The tool's own files are real ones in the harness's scratch directory; the
// input is not spent on them, so that a corpus keeps its meaning.
int open_file(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
int fsync(int fd) { return ::fsync(fd); }
int rename(const char* from, const char* to) { return std::rename(from, to); }
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

// The network road: the input chooses failures, and the bytes and lengths
// of every datagram that comes in, or a well-formed answer of the BMC; what
// goes out is taken whole, and read by the BMC.
int socket(int, int, int)
{
    static constexpr int kErrors[] = {EMFILE, ENOBUFS, EACCES};
    if (qbfuzz::fail_from(next(0xFF), 0xF0, kErrors) != 0)
        return -1;
    machine.open_fds.insert(machine.next_fd);
    return machine.next_fd++;
}

int connect(int fd, const struct sockaddr*, socklen_t)
{
    static constexpr int kErrors[] = {ENETUNREACH, EACCES, EINVAL};
    if (qbfuzz::bad_descriptor(fd))
        return -1;
    return qbfuzz::fail_from(next(0), 0xF0, kErrors);
}

ssize_t send(int fd, const void* buf, size_t len)
{
    static constexpr int kErrors[] = {ENOBUFS, ECONNREFUSED, EMSGSIZE, EINTR};
    if (qbfuzz::bad_descriptor(fd))
        return -1;
    if (qbfuzz::fail_from(next(0), 0xF0, kErrors) != 0)
        return -1;
    qbfuzz::lan_bmc_heard(static_cast<const uint8_t*>(buf), len);
    return static_cast<ssize_t>(len);
}

// The first byte: at 0xF0 and above a failure (nothing there, refused,
// interrupted); below 0xC0 the BMC's well-formed answer to the last
// datagram sent, its fields from the input (lan_bmc.h); else, or when the
// BMC could not read what was sent, the next two bytes are the datagram's
// length, then its bytes, cut to the buffer as UDP cuts them.
ssize_t recv(int fd, void* buf, size_t len)
{
    static constexpr int kErrors[] = {EAGAIN, ECONNREFUSED, EINTR};
    if (qbfuzz::bad_descriptor(fd))
        return -1;
    const uint8_t shape = next(0xFF);
    if (qbfuzz::fail_from(shape, 0xF0, kErrors) != 0)
        return -1;
    if (shape < 0xC0)
        if (size_t n = qbfuzz::lan_bmc_answer(*machine.answers, shape, static_cast<uint8_t*>(buf), len))
            return static_cast<ssize_t>(n);
    size_t length = next(0);
    length |= static_cast<size_t>(next(0)) << 8;
    auto data = machine.answers->bytes(length);
    size_t n = std::min(len, data.size());
    std::memcpy(buf, data.data(), n);
    return static_cast<ssize_t>(n);
}

// The first byte: at 0xF8 and above a failure; else up to 16 times one more
// than its low five bits of bytes (a call for more than 256 that a signal
// interrupts gives fewer), then those bytes.
ssize_t getrandom(void* buf, size_t len)
{
    static constexpr int kErrors[] = {EINTR, ENOSYS, EAGAIN};
    const uint8_t shape = next(0);
    if (qbfuzz::fail_from(shape, 0xF8, kErrors) != 0)
        return -1;
    const size_t n = std::min<size_t>(len, 16 * (1 + (shape & 0x1F)));
    auto data = machine.answers->bytes(n);
    std::memset(buf, 0, n);
    std::memcpy(buf, data.data(), data.size());
    return static_cast<ssize_t>(n);
}

int resolve(const char*, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    static constexpr int kCodes[] = {EAI_NONAME, EAI_AGAIN, EAI_SERVICE, EAI_FAIL};
    uint8_t b = next(0xFF);
    if (b >= 0xF0)
        return kCodes[b % std::size(kCodes)];
    std::memset(addr, 0, sizeof *addr);
    uint16_t number = static_cast<uint16_t>(port ? std::atoi(port) : 0);
    if (b & 1) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(number);
        *len = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_port = htons(number);
        *len = sizeof *v4;
    }
    return 0;
}

}  // namespace os::sys
