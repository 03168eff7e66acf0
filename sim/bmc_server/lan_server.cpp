// SPDX-License-Identifier: MIT
#include "lan_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace sim::vm {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

uint64_t steady_ns()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

void SystemRandom::fill(std::span<uint8_t> out)
{
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::getrandom(out.data() + got, out.size() - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("getrandom");
        got += static_cast<size_t>(n);
    }
}

LanServer::LanServer(lan::LanBmc& bmc, Context context) : bmc_(bmc), context_(context), started_ns_(steady_ns())
{
    context_.clock.follow_wall_clock();
}

LanServer::~LanServer()
{
    if (fd_ >= 0)
        ::close(fd_);
}

uint64_t LanServer::follow_wall_clock()
{
    context_.clock.advance_to((steady_ns() - started_ns_) / 1000);
    return context_.clock.elapsed_us();
}

uint16_t LanServer::listen(const std::string& address)
{
    std::string host, port;
    if (!address.empty() && address[0] == '[') {
        size_t close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
            throw std::invalid_argument("expected [IPv6]:PORT");
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    } else {
        size_t colon = address.rfind(':');
        if (colon == std::string::npos || address.find(':') != colon)
            throw std::invalid_argument("expected ADDR:PORT (an IPv6 address in brackets)");
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("expected ADDR:PORT with a numeric port");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int r = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0)
        throw std::invalid_argument(std::string("cannot resolve ") + host + ": " + gai_strerror(r));
    fd_ = ::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        ::freeaddrinfo(found);
        fail("socket");
    }
    int bound = ::bind(fd_, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    if (bound != 0)
        fail("bind");
    sockaddr_storage self{};
    socklen_t len = sizeof self;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len) != 0)
        fail("getsockname");
    uint16_t bound_port = self.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(self).sin_port)
                                                    : ntohs(reinterpret_cast<sockaddr_in6&>(self).sin6_port);
    follow_wall_clock();
    context_.trace.line("%s lan listening on port %u", bmc_.core().name().c_str(), bound_port);
    return bound_port;
}

void LanServer::take_datagrams(uint64_t now_us)
{
    uint8_t buffer[65536];
    for (;;) {
        lan::Peer peer;
        peer.length = sizeof peer.address;
        ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer.address),
                               &peer.length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;  // EAGAIN: all taken; anything else: the next poll tells
        std::span<const uint8_t> datagram(buffer, static_cast<size_t>(n));
        for (lan::LanBmc::Datagram& d : bmc_.receive(datagram, peer, now_us)) {
            auto pos = std::upper_bound(pending_.begin(), pending_.end(), d.at_us,
                                        [](uint64_t at, const Pending& p) { return at < p.at_us; });
            pending_.insert(pos, Pending{std::move(d.bytes), d.at_us, peer});
        }
    }
}

void LanServer::send_due(uint64_t now_us)
{
    while (!pending_.empty() && pending_.front().at_us <= now_us) {
        const Pending& p = pending_.front();
        ssize_t n;
        do
            n = ::sendto(fd_, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to.address),
                         p.to.length);
        while (n < 0 && errno == EINTR);
        // A datagram the system will not send is lost, as on any network.
        pending_.pop_front();
    }
}

void LanServer::run(const volatile std::sig_atomic_t& stop)
{
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    while (!stop) {
        uint64_t now = follow_wall_clock();
        std::optional<uint64_t> wake = bmc_.next_deadline();
        if (!pending_.empty() && (!wake || pending_.front().at_us < *wake))
            wake = pending_.front().at_us;
        // Woken to the microsecond: an answer due in 1 ms must not leave
        // 1.2 ms later, or the BMC's answer time is not what the machine
        // file says (a millisecond poll rounds up, and the timer's slack
        // adds 50 us).
        timespec wait{};
        if (wake) {
            const uint64_t us = *wake > now ? std::min<uint64_t>(*wake - now, 60ULL * 1000 * 1000) : 0;
            wait.tv_sec = static_cast<time_t>(us / 1000000);
            wait.tv_nsec = static_cast<long>(us % 1000000) * 1000;
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = ::ppoll(&p, 1, wake ? &wait : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            fail("poll");
        now = follow_wall_clock();
        bmc_.advance(now);
        if (ready > 0)
            take_datagrams(now);
        send_due(now);
    }
    follow_wall_clock();
    context_.trace.line("%s lan stops with %zu session%s open", bmc_.core().name().c_str(), bmc_.active_sessions(),
                        bmc_.active_sessions() == 1 ? "" : "s");
}

}  // namespace sim::vm
