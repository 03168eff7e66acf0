// SPDX-License-Identifier: MIT
// The LAN BMC of a machine file on a real UDP socket: datagrams from any
// console go to the BMC's LAN interface (lan_bmc.h) and its answers go back
// to the console when they are due, on the wall clock. Random numbers come
// from getrandom(2).
#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <string>

#include "../basics/context.h"
#include "../bmc/lan/lan_bmc.h"

namespace sim::vm {

// The operating system's random numbers, for a BMC on a real network.
class SystemRandom : public lan::RandomSource {
public:
    void fill(std::span<uint8_t> out) override;
};

class LanServer {
public:
    // The BMC's clock follows the wall clock from here on.
    LanServer(lan::LanBmc& bmc, Context context);
    ~LanServer();
    LanServer(const LanServer&) = delete;
    LanServer& operator=(const LanServer&) = delete;

    // Binds "ADDR:PORT": an IPv4 address, an IPv6 address in brackets or a
    // host name, and a port (0: one the system picks). Returns the port.
    // Throws std::system_error (or std::invalid_argument for a malformed
    // ADDR:PORT) when the socket cannot be set up.
    uint16_t listen(const std::string& address);

    // Serves datagrams until `stop` becomes non-zero (set it from a signal
    // handler: the wait is interrupted by the signal).
    void run(const volatile std::sig_atomic_t& stop);

private:
    struct Pending {
        lan::Bytes bytes;
        uint64_t at_us;
        lan::Peer to;
    };

    uint64_t follow_wall_clock();
    void take_datagrams(uint64_t now_us);
    void send_due(uint64_t now_us);

    lan::LanBmc& bmc_;
    Context context_;
    uint64_t started_ns_;
    int fd_ = -1;
    std::deque<Pending> pending_;  // by the time each is due
};

}  // namespace sim::vm
