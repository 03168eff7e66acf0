// SPDX-License-Identifier: MIT
// The socket side of the external BMC: listens on a loopback port and serves
// the connections of a virtual machine's external-BMC device one after the
// other (the machine reconnects after a reset), each through a Session.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

#include "../basics/context.h"
#include "vm_session.h"

namespace sim::vm {

class BmcServer {
public:
    // The BMC's clock follows the wall clock from here on: the machine's time
    // passes for real between its requests.
    // `name` starts the trace lines.
    BmcServer(Session::Responder responder, Context context, std::string name);
    ~BmcServer();
    BmcServer(const BmcServer&) = delete;
    BmcServer& operator=(const BmcServer&) = delete;

    // Listens on 127.0.0.1 at a port the system picks; returns that port.
    // Throws std::system_error when the socket cannot be set up.
    uint16_t listen_loopback();

    // Serves connections until `stop` becomes non-zero (set it from a
    // signal handler: the wait is interrupted by the signal).
    void run(const volatile std::sig_atomic_t& stop);

    // Accepts one connection and serves it until the peer closes it.
    void serve_one();

private:
    void serve(int fd, const volatile std::sig_atomic_t* stop);
    // Moves the BMC's clock to the wall clock; returns its time.
    uint64_t follow_wall_clock();

    Session::Responder responder_;
    Context context_;
    std::string name_;
    std::chrono::steady_clock::time_point started_;
    int listen_fd_ = -1;
};

}  // namespace sim::vm
