// SPDX-License-Identifier: MIT
#include "machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "../../src/os/os.h"

namespace sim {

Machine::Machine(int64_t start_epoch_us, bool real_time)
    : clock(start_epoch_us, real_time), trace(clock), keyboard(context(), false, {})
{
}

Machine::~Machine()
{
    for (const auto& [sig, action] : original_actions_)
        ::sigaction(sig, &action, nullptr);
}

void Machine::add_bmc(std::string node, int kcs_pair, std::unique_ptr<BmcCore> core)
{
    Bmc bmc;
    bmc.node = std::move(node);
    bmc.kcs_pair = kcs_pair;
    bmc.core = std::move(core);
    if (!bmc.node.empty())
        bmc.driver_node = std::make_unique<DriverNode>(*bmc.core, context());
    if (kcs_pair >= 0)
        bmc.kcs = std::make_unique<KcsPort>(*bmc.core, context(), kKcsPortPairs[kcs_pair].data,
                                            kKcsPortPairs[kcs_pair].status);
    bmcs.push_back(std::move(bmc));
}

void Machine::add_lan(lan::LanConfig config)
{
    Bmc& bmc = bmcs.back();
    uint32_t seed = config.seed;
    bmc.lan = std::make_unique<lan::LanBmc>(*bmc.core, std::move(config), context(),
                                            std::make_unique<lan::SeededRandom>(seed));
    network.attach(*bmc.lan);
}

bool Machine::driver_loaded() const
{
    if (driver == DriverState::Loaded)
        return true;
    // The device nodes appear once the system interface and the device
    // interface modules are in (modprobe pulls in the message handler).
    return modules_.count("ipmi_si") && modules_.count("ipmi_devintf");
}

DriverNode* Machine::node_of(int fd)
{
    auto it = open_nodes_.find(fd);
    return it == open_nodes_.end() ? nullptr : it->second;
}

int Machine::open(const char* path, int /*flags*/)
{
    auto vanishing = vanishing_nodes.find(path);
    bool vanished = vanishing != vanishing_nodes.end() && opens_[path] >= vanishing->second;
    if (driver_loaded() && !vanished) {
        for (Bmc& bmc : bmcs) {
            if (bmc.driver_node && bmc.node == path) {
                ++opens_[path];
                int fd = next_fd_++;
                open_nodes_[fd] = bmc.driver_node.get();
                trace.line("open %s = %d", path, fd);
                return fd;
            }
        }
    }
    trace.line("open %s = -1 ENOENT", path);
    errno = ENOENT;
    return -1;
}

int Machine::close(int fd)
{
    if (network.owns(fd))
        return network.close(fd);
    if (open_nodes_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    trace.line("close %d", fd);
    return 0;
}

int Machine::ioctl(int fd, unsigned long request, void* arg)
{
    DriverNode* node = node_of(fd);
    if (!node && network.owns(fd)) {
        errno = ENOTTY;  // a socket has no IPMI ioctls
        return -1;
    }
    if (!node) {
        errno = EBADF;
        return -1;
    }
    return node->ioctl(request, arg);
}

int Machine::select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    // Standard input without a key script is the real one.
    bool only_stdin = readfds && nfds == 1 && FD_ISSET(0, readfds);
    if (panel_ && only_stdin)
        panel_->pause();
    if (only_stdin && !keyboard.scripted())
        return ::select(nfds, readfds, writefds, exceptfds, timeout);
    if (readfds && nfds > 0 && FD_ISSET(0, readfds))
        keyboard.look(false);

    Readiness readable = readiness(nfds, readfds);
    if (readable.error) {
        errno = readable.error;
        return -1;
    }
    const std::optional<uint64_t>& first_ready = readable.first;
    const std::vector<int>& watched = readable.watched;
    uint64_t now = clock.elapsed_us();
    uint64_t limit = UINT64_MAX;
    if (timeout)
        limit = now + static_cast<uint64_t>(timeout->tv_sec) * 1000000 + static_cast<uint64_t>(timeout->tv_usec);
    uint64_t wake = first_ready ? std::max(*first_ready, now) : limit;
    if (wake > limit)
        wake = limit;
    // As on Linux, the timeout is left holding the time not waited.
    auto time_left = [&] {
        if (timeout) {
            uint64_t left = limit - std::min(limit, clock.elapsed_us());
            timeout->tv_sec = static_cast<time_t>(left / 1000000);
            timeout->tv_usec = static_cast<suseconds_t>(left % 1000000);
        }
    };
    // Nothing will ever arrive and there is no time limit: only a signal
    // can end the wait.
    bool forever = wake == UINT64_MAX;
    if (wait_until(forever ? signals.last_at().value_or(now) : wake)) {
        time_left();
        errno = EINTR;
        return -1;  // the descriptor sets are left as they were
    }
    if (forever) {
        // The real call would block for good. Say so instead of hanging the test.
        std::fprintf(stderr, "qb40tool-sim: select() would wait forever\n");
        std::_Exit(98);
    }
    time_left();
    if (writefds)
        FD_ZERO(writefds);
    if (exceptfds)
        FD_ZERO(exceptfds);

    int ready = 0;
    if (readfds)
        FD_ZERO(readfds);
    for (int f : watched) {
        std::optional<uint64_t> at = f == 0 ? std::nullopt : node_of(f) ? node_of(f)->ready_at() : network.ready_at(f);
        bool readable = f == 0 ? keyboard.waiting() : at && *at <= wake;
        if (readable) {
            FD_SET(f, readfds);
            ++ready;
        }
    }
    return ready;
}

Machine::Readiness Machine::readiness(int nfds, const fd_set* readfds)
{
    Readiness r;
    for (int f = 0; readfds && f < nfds; ++f) {
        if (!FD_ISSET(f, readfds))
            continue;
        std::optional<uint64_t> at;
        if (f == 0) {
            at = keyboard.ready_at();
        } else if (DriverNode* node = node_of(f)) {
            if (int e = node->take_select_error()) {
                r.error = e;
                return r;
            }
            at = node->ready_at();
        } else if (network.owns(f)) {
            at = network.ready_at(f);
        } else {
            r.error = EBADF;
            return r;
        }
        r.watched.push_back(f);
        if (at && (!r.first || *at < *r.first))
            r.first = at;
    }
    return r;
}

int Machine::iopl(int level)
{
    if (!iopl_allowed && level > 0) {
        trace.line("iopl %d = -1 EPERM", level);
        errno = EPERM;
        return -1;
    }
    trace.line("iopl %d = 0", level);
    iopl_granted_ = level >= 3;
    return 0;
}

void Machine::spend_port_access()
{
    port_time_ns_ += port_access_ns;
    clock.advance(port_time_ns_ / 1000);
    port_time_ns_ %= 1000;
    deliver_due_signals();
}

uint8_t Machine::inb(uint16_t port)
{
    if (!iopl_granted_) {
        // A real process without I/O privilege dies with SIGSEGV here.
        std::fprintf(stderr, "qb40tool-sim: inb(0x%04x) without I/O privilege\n", port);
        std::_Exit(139);
    }
    spend_port_access();
    for (Bmc& bmc : bmcs) {
        if (bmc.kcs && bmc.kcs->owns(port)) {
            uint8_t value = bmc.kcs->read(port);
            if (trace.port_accesses)
                trace.line("inb 0x%04X = %02X", port, value);
            return value;
        }
    }
    if (trace.port_accesses)
        trace.line("inb 0x%04X = FF", port);
    return 0xFF;  // nothing decodes this port
}

void Machine::outb(uint8_t value, uint16_t port)
{
    if (!iopl_granted_) {
        std::fprintf(stderr, "qb40tool-sim: outb(0x%04x) without I/O privilege\n", port);
        std::_Exit(139);
    }
    spend_port_access();
    if (port == 0x80)
        return;  // the POST code port: the tool writes it only as a delay
    if (trace.port_accesses)
        trace.line("outb 0x%04X %02X", port, value);
    for (Bmc& bmc : bmcs) {
        if (bmc.kcs && bmc.kcs->owns(port)) {
            bmc.kcs->write(port, value);
            return;
        }
    }
}

int Machine::nanosleep(const struct timespec* req, struct timespec* rem)
{
    if (req->tv_sec < 0 || req->tv_nsec < 0 || req->tv_nsec >= 1000000000) {
        errno = EINVAL;
        return -1;
    }
    uint64_t usec = static_cast<uint64_t>(req->tv_sec) * 1000000 + static_cast<uint64_t>(req->tv_nsec) / 1000;
    if (panel_)
        panel_->pause();
    trace.line("sleep %llu", static_cast<unsigned long long>(usec));
    uint64_t wake = clock.elapsed_us() + usec;
    if (wait_until(wake)) {
        if (rem) {
            uint64_t left = wake - clock.elapsed_us();
            rem->tv_sec = static_cast<time_t>(left / 1000000);
            rem->tv_nsec = static_cast<long>(left % 1000000) * 1000;
        }
        errno = EINTR;
        return -1;
    }
    return 0;
}

int Machine::gettimeofday(struct timeval* tv)
{
    int64_t us = clock.epoch_us();
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 0;
}

time_t Machine::time(time_t* t)
{
    time_t now = static_cast<time_t>(clock.epoch_us() / 1000000);
    if (t)
        *t = now;
    return now;
}

// The recorder's clock: the monotonic clock counts from the machine's start.
int Machine::clock_gettime(clockid_t which, struct timespec* ts)
{
    if (which != CLOCK_MONOTONIC && which != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    int64_t us = which == CLOCK_MONOTONIC ? static_cast<int64_t>(clock.elapsed_us()) : clock.epoch_us();
    ts->tv_sec = static_cast<time_t>(us / 1000000);
    ts->tv_nsec = static_cast<long>(us % 1000000) * 1000;
    return 0;
}

int Machine::system(const char* command)
{
    trace.line("shell \"%s\"", command);
    static const char* const kModules[] = {"ipmi_si", "ipmi_devintf", "ipmi_msghandler"};
    for (const char* module : kModules) {
        if (std::string("modprobe ") + module != command)
            continue;
        if (driver == DriverState::Absent) {
            std::fprintf(stderr, "modprobe: FATAL: Module %s not found.\n", module);
            return 1 << 8;  // exit status 1, as system() reports it
        }
        modules_.insert(module);
        return 0;
    }
    std::fprintf(stderr, "sh: 1: %s: not found\n", command);
    return 127 << 8;
}

int Machine::tcgetattr(int fd, struct termios* attr)
{
    if (!keyboard.scripted())
        return ::tcgetattr(fd, attr);
    if (fd != 0) {
        errno = ENOTTY;
        return -1;
    }
    *attr = keyboard.attributes;
    return 0;
}

int Machine::tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    if (!keyboard.scripted())
        return ::tcsetattr(fd, optional_actions, attr);
    if (fd != 0) {
        errno = ENOTTY;
        return -1;
    }
    keyboard.attributes = *attr;
    bool raw = !(attr->c_lflag & ICANON);
    trace.line("terminal %s", raw ? "raw" : "cooked");
    if (optional_actions == TCSAFLUSH)
        keyboard.discard_waiting();
    return 0;
}

int Machine::getchar()
{
    std::vector<int> handled;  // signals sent as this wait begins whose handler ran
    for (int sig : signals.key_wait_begins()) {
        trace.line("signal %s", SignalSchedule::name(sig).c_str());
        if (deliver(sig))
            handled.push_back(sig);
    }
    if (panel_) {
        if (stdin_ready())
            panel_->pause();  // a key typed ahead: the tool does not wait
        else
            panel_->key_wait();
    }
    if (!keyboard.scripted()) {
        // The real seam's wait: a signal whose handler ran since the tool
        // last looked ends it.
        int c = os::getchar_unless_stopped();
        if (c == EOF)
            trace.line("key EOF");
        else
            trace.line("key 0x%02X", c);
        return c;
    }
    keyboard.look(true);
    // Waiting for the next key: a signal whose handler does not ask for
    // restarting ends the read, and the stream reports EOF. One that came as
    // the wait began ends it too: the real wait lets no signal slip by.
    auto interrupts = [](int sig) {
        struct sigaction action {};
        ::sigaction(sig, nullptr, &action);
        return !(action.sa_flags & SA_RESTART);
    };
    auto interrupted = [&] {
        trace.line("key interrupted");
        errno = EINTR;
        return EOF;
    };
    if (std::ranges::any_of(handled, interrupts))
        return interrupted();
    if (std::optional<uint64_t> at = keyboard.next_at()) {
        while (std::optional<int> sig = wait_until(*at))
            if (interrupts(*sig))
                return interrupted();
    }
    return keyboard.take();
}

bool Machine::stdin_ready()
{
    if (keyboard.scripted())
        return keyboard.waiting();
    fd_set in;
    FD_ZERO(&in);
    FD_SET(0, &in);
    struct timeval now {};
    return ::select(1, &in, nullptr, nullptr, &now) > 0;
}

int Machine::fflush_stdin()
{
    return keyboard.scripted() ? 0 : std::fflush(stdin);
}

int Machine::sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    if (act && !original_actions_.count(sig)) {
        struct sigaction before {};
        if (::sigaction(sig, nullptr, &before) == 0)
            original_actions_[sig] = before;
    }
    return ::sigaction(sig, act, old);
}

int Machine::raise(int sig)
{
    trace.line("raise %s", SignalSchedule::name(sig).c_str());
    deliver(sig);
    return 0;
}

std::optional<int> Machine::wait_until(uint64_t wake)
{
    while (std::optional<SignalSchedule::Signal> s = signals.next_due(wake)) {
        clock.advance_to(s->at_us);
        signals.pop();
        trace.line("signal %s", SignalSchedule::name(s->number).c_str());
        if (deliver(s->number))
            return s->number;
    }
    clock.advance_to(wake);
    return std::nullopt;
}

void Machine::deliver_due_signals()
{
    while (std::optional<SignalSchedule::Signal> s = signals.next_due(clock.elapsed_us())) {
        signals.pop();
        trace.line("signal %s", SignalSchedule::name(s->number).c_str());
        deliver(s->number);
    }
}

bool Machine::deliver(int sig)
{
    struct sigaction action {};
    ::sigaction(sig, nullptr, &action);
    if (sig == SIGKILL || (!(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL))
        end_by_signal(sig);
    if (!(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN) {
        trace.line("signal %s ignored", SignalSchedule::name(sig).c_str());
        return false;
    }
    if (action.sa_flags & SA_SIGINFO) {
        siginfo_t info {};
        info.si_signo = sig;
        info.si_code = SI_USER;
        action.sa_sigaction(sig, &info, nullptr);
    } else {
        action.sa_handler(sig);
    }
    return true;
}

void Machine::end_by_signal(int sig)
{
    // Every signal the machine sends terminates by default. The trace is
    // flushed line by line; the panel draws its last frame.
    trace.line("signal %s ends the process", SignalSchedule::name(sig).c_str());
    panel_.reset();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(sig, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    std::_Exit(128 + sig);  // not reached
}

int Machine::gethostname(char* name, size_t len)
{
    if (host.name.size() >= len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name, host.name.c_str(), host.name.size() + 1);
    return 0;
}

ssize_t Machine::read_system_file(const char* path, char* buf, size_t size)
{
    // As Linux keeps them: one line each; the serial readable by root alone.
    const std::optional<std::string>* content = nullptr;
    int unreadable = ENOENT;
    if (std::strcmp(path, "/sys/class/dmi/id/product_serial") == 0) {
        content = &host.product_serial;
        unreadable = EACCES;
    } else if (std::strcmp(path, "/etc/machine-id") == 0) {
        content = &host.machine_id;
    }
    if (!content || !content->has_value()) {
        errno = unreadable;
        return -1;
    }
    std::string text = **content + "\n";
    size_t n = std::min(size, text.size());
    std::memcpy(buf, text.data(), n);
    return static_cast<ssize_t>(n);
}

}  // namespace sim

namespace sim {

int Machine::socket(int domain, int type, int protocol)
{
    int fd = network.socket(next_fd_, domain, type, protocol);
    if (fd >= 0)
        ++next_fd_;
    return fd;
}

int Machine::connect(int fd, const struct sockaddr* addr, socklen_t len)
{
    if (node_of(fd)) {
        errno = ENOTSOCK;
        return -1;
    }
    return network.connect(fd, addr, len);
}

ssize_t Machine::send(int fd, const void* buf, size_t len)
{
    if (node_of(fd)) {
        errno = ENOTSOCK;
        return -1;
    }
    return network.send(fd, buf, len);
}

ssize_t Machine::recv(int fd, void* buf, size_t len)
{
    if (node_of(fd)) {
        errno = ENOTSOCK;
        return -1;
    }
    return network.recv(fd, buf, len);
}

ssize_t Machine::getrandom(void* buf, size_t len)
{
    auto* out = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < len; ++i)
        out[i] = static_cast<uint8_t>(random() >> 56);
    return static_cast<ssize_t>(len);
}

int Machine::resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    return network.resolve(host, port, addr, len);
}

}  // namespace sim
