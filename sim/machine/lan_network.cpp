// SPDX-License-Identifier: MIT
#include "lan_network.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

namespace sim {

namespace {

// The management node's own addresses (documentation ranges).
constexpr const char* kConsoleIpv4 = "203.0.113.1";
constexpr const char* kConsoleIpv6 = "2001:db8::100";

sockaddr_storage ipv4(const in_addr& a, uint16_t port)
{
    sockaddr_storage s{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&s);
    v4->sin_family = AF_INET;
    v4->sin_addr = a;
    v4->sin_port = htons(port);
    return s;
}

sockaddr_storage ipv6(const in6_addr& a, uint16_t port)
{
    sockaddr_storage s{};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&s);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = a;
    v6->sin6_port = htons(port);
    return s;
}

socklen_t length_of(const sockaddr_storage& s)
{
    return s.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::optional<uint16_t> parse_port(const char* port)
{
    if (!port || !*port)
        return uint16_t{0};
    unsigned long value = 0;
    for (const char* c = port; *c; ++c) {
        if (*c < '0' || *c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(*c - '0');
        if (value > 65535)
            return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

bool same_endpoint(const sockaddr_storage& a, const sockaddr_storage& b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET) {
        const auto& x = reinterpret_cast<const sockaddr_in&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

}  // namespace

std::string LanNetwork::text(const sockaddr_storage& addr)
{
    char host[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(addr);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return std::string("[") + host + "]:" + std::to_string(ntohs(v6.sin6_port));
}

int LanNetwork::resolve(const char* host, const char* port, sockaddr_storage* addr, socklen_t* len) const
{
    std::optional<uint16_t> number = parse_port(port);
    auto answer = [&](const sockaddr_storage& found) {
        *addr = found;
        *len = length_of(found);
        context_.trace.line("resolve %s %s = %s", host ? host : "(null)", port ? port : "(null)",
                            text(found).c_str());
        return 0;
    };
    auto refuse = [&](int code, const char* name) {
        context_.trace.line("resolve %s %s = %s", host ? host : "(null)", port ? port : "(null)", name);
        return code;
    };
    if (!host || !*host)
        return refuse(EAI_NONAME, "EAI_NONAME");
    if (!number)
        return refuse(EAI_SERVICE, "EAI_SERVICE");
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host, &v4) == 1)
        return answer(ipv4(v4, *number));
    if (inet_pton(AF_INET6, host, &v6) == 1)
        return answer(ipv6(v6, *number));
    for (const lan::LanBmc* bmc : bmcs_) {
        const lan::LanAddress& a = bmc->config().address;
        if (a.host.empty() || strcasecmp(a.host.c_str(), host) != 0)
            continue;
        return answer(a.ipv4 ? ipv4(*a.ipv4, *number) : ipv6(*a.ipv6, *number));
    }
    return refuse(EAI_NONAME, "EAI_NONAME");
}

lan::LanBmc* LanNetwork::bmc_at(const sockaddr_storage& addr) const
{
    for (lan::LanBmc* bmc : bmcs_) {
        const lan::LanAddress& a = bmc->config().address;
        if ((a.ipv4 && same_endpoint(addr, ipv4(*a.ipv4, a.port))) ||
            (a.ipv6 && same_endpoint(addr, ipv6(*a.ipv6, a.port))))
            return bmc;
    }
    return nullptr;
}

int LanNetwork::socket(int fd, int domain, int type, int protocol)
{
    if (domain != AF_INET && domain != AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if ((type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) != SOCK_DGRAM || (protocol != 0 && protocol != IPPROTO_UDP)) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    Socket s;
    s.domain = domain;
    sockaddr_storage self{};
    uint16_t port = next_port_++;
    if (domain == AF_INET) {
        in_addr a{};
        inet_pton(AF_INET, kConsoleIpv4, &a);
        self = ipv4(a, port);
    } else {
        in6_addr a{};
        inet_pton(AF_INET6, kConsoleIpv6, &a);
        self = ipv6(a, port);
    }
    s.self.address = self;
    s.self.length = length_of(self);
    sockets_.emplace(fd, std::move(s));
    context_.trace.line("socket %s = %d", domain == AF_INET ? "AF_INET" : "AF_INET6", fd);
    return fd;
}

int LanNetwork::connect(int fd, const sockaddr* addr, socklen_t len)
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) {
        errno = EBADF;
        return -1;
    }
    if (!addr) {
        errno = EFAULT;
        return -1;
    }
    sockaddr_storage to{};
    if (addr->sa_family != it->second.domain) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    socklen_t need = addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (len < need) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(&to, addr, need);
    it->second.peer = to;
    it->second.bmc = bmc_at(to);
    context_.trace.line("connect %d %s%s%s", fd, text(to).c_str(), it->second.bmc ? " " : "",
                        it->second.bmc ? it->second.bmc->core().name().c_str() : "");
    return 0;
}

ssize_t LanNetwork::send(int fd, const void* buf, size_t len)
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) {
        errno = EBADF;
        return -1;
    }
    Socket& s = it->second;
    if (!s.peer) {
        errno = EDESTADDRREQ;
        return -1;
    }
    if (len > 65507) {
        errno = EMSGSIZE;
        return -1;
    }
    if (!buf && len > 0) {
        errno = EFAULT;
        return -1;
    }
    if (!s.bmc)
        return static_cast<ssize_t>(len);  // nobody is there
    std::span<const uint8_t> datagram(static_cast<const uint8_t*>(buf), len);
    for (lan::LanBmc::Datagram& d : s.bmc->receive(datagram, s.self, context_.clock.elapsed_us())) {
        auto pos = std::upper_bound(s.inbox.begin(), s.inbox.end(), d.at_us,
                                    [](uint64_t at, const lan::LanBmc::Datagram& e) { return at < e.at_us; });
        s.inbox.insert(pos, std::move(d));
    }
    return static_cast<ssize_t>(len);
}

ssize_t LanNetwork::recv(int fd, void* buf, size_t len)
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end()) {
        errno = EBADF;
        return -1;
    }
    Socket& s = it->second;
    if (s.inbox.empty() || s.inbox.front().at_us > context_.clock.elapsed_us()) {
        errno = EAGAIN;
        return -1;
    }
    if (!buf && len > 0) {
        errno = EFAULT;
        return -1;
    }
    const lan::Bytes& d = s.inbox.front().bytes;
    size_t n = std::min(len, d.size());  // the rest of a longer datagram is lost, as UDP does
    std::memcpy(buf, d.data(), n);
    s.inbox.pop_front();
    return static_cast<ssize_t>(n);
}

int LanNetwork::close(int fd)
{
    if (sockets_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    context_.trace.line("close %d", fd);
    return 0;
}

std::optional<uint64_t> LanNetwork::ready_at(int fd) const
{
    auto it = sockets_.find(fd);
    if (it == sockets_.end() || it->second.inbox.empty())
        return std::nullopt;
    return it->second.inbox.front().at_us;
}

}  // namespace sim
