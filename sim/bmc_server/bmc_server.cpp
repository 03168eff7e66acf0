// SPDX-License-Identifier: MIT
#include "bmc_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace sim::vm {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

bool send_all(int fd, const std::vector<uint8_t>& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

BmcServer::BmcServer(Session::Responder responder, Context context, std::string name)
    : responder_(std::move(responder)),
      context_(context),
      name_(std::move(name)),
      started_(std::chrono::steady_clock::now())
{
    context_.clock.follow_wall_clock();
}

uint64_t BmcServer::follow_wall_clock()
{
    auto elapsed = std::chrono::steady_clock::now() - started_;
    context_.clock.advance_to(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    return context_.clock.elapsed_us();
}

BmcServer::~BmcServer()
{
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

uint16_t BmcServer::listen_loopback()
{
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail("bind");
    if (::listen(listen_fd_, 1) != 0)
        fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        fail("getsockname");
    return ntohs(addr.sin_port);
}

void BmcServer::run(const volatile std::sig_atomic_t& stop)
{
    while (!stop) {
        pollfd p{listen_fd_, POLLIN, 0};
        int n = ::poll(&p, 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("poll");
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            fail("accept");
        }
        serve(fd, &stop);
    }
}

void BmcServer::serve_one()
{
    int fd;
    do
        fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        fail("accept");
    serve(fd, nullptr);
}

void BmcServer::serve(int fd, const volatile std::sig_atomic_t* stop)
{
    // Every response is one small write that the machine waits for.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    follow_wall_clock();
    context_.trace.line("%s vm connected", name_.c_str());
    Session session(responder_, context_.trace, name_);
    bool open = send_all(fd, session.greeting());
    uint8_t buffer[4096];
    while (open && !(stop && *stop)) {
        // Sleep until the machine sends or a delayed answer is due.
        int wait_ms = -1;
        if (auto at = session.next_due()) {
            uint64_t now = follow_wall_clock();
            wait_ms = *at > now ? static_cast<int>((*at - now + 999) / 1000) : 0;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, wait_ms);
        if (ready < 0 && errno != EINTR)
            break;
        uint64_t now = follow_wall_clock();
        std::vector<uint8_t> reply;
        if (ready > 0) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            reply = session.receive(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), now);
        } else {
            reply = session.due(now);
        }
        if (!reply.empty())
            open = send_all(fd, reply);
    }
    ::close(fd);
    follow_wall_clock();
    context_.trace.line("%s vm disconnected", name_.c_str());
}

}  // namespace sim::vm
