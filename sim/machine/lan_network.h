// SPDX-License-Identifier: MIT
// The management network of the simulated machine: the tool's UDP sockets
// and the LAN BMCs they reach, on the virtual clock. A datagram the tool
// sends reaches its BMC at once; each of the BMC's answers waits in the
// socket until its time (the BMC's answer time and any delay), and select
// on the socket waits for it in virtual time. A datagram to an address no
// BMC has goes nowhere, as on a network where nothing answers. Host names
// resolve to the BMCs' own.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

#include "../basics/context.h"
#include "../bmc/lan/lan_bmc.h"

namespace sim {

class LanNetwork {
public:
    explicit LanNetwork(Context context) : context_(context) {}

    // A BMC on the network, at the address of its configuration.
    void attach(lan::LanBmc& bmc) { bmcs_.push_back(&bmc); }
    bool empty() const { return bmcs_.empty(); }

    // getaddrinfo for SOCK_DGRAM: a numeric address, or the host name of a
    // LAN BMC; 0 or an EAI_* code.
    int resolve(const char* host, const char* port, sockaddr_storage* addr, socklen_t* len) const;

    // The calls on a socket; `fd` is the descriptor the machine gives it.
    // -1 with errno on failure, as the system calls.
    int socket(int fd, int domain, int type, int protocol);
    bool owns(int fd) const { return sockets_.count(fd) != 0; }
    int connect(int fd, const sockaddr* addr, socklen_t len);
    ssize_t send(int fd, const void* buf, size_t len);
    ssize_t recv(int fd, void* buf, size_t len);
    int close(int fd);
    // When the first datagram waiting in the socket can be read; nullopt: none waits.
    std::optional<uint64_t> ready_at(int fd) const;
    size_t open_sockets() const { return sockets_.size(); }

private:
    struct Socket {
        int domain;
        std::optional<sockaddr_storage> peer;
        lan::LanBmc* bmc = nullptr;  // the BMC at the peer's address, if any
        lan::Peer self;              // the console's own address, as the BMC sees it
        std::deque<lan::LanBmc::Datagram> inbox;  // by time of arrival
    };

    lan::LanBmc* bmc_at(const sockaddr_storage& addr) const;
    static std::string text(const sockaddr_storage& addr);

    Context context_;
    std::vector<lan::LanBmc*> bmcs_;
    std::map<int, Socket> sockets_;
    uint16_t next_port_ = 49152;
};

}  // namespace sim
