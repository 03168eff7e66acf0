// SPDX-License-Identifier: MIT
// Real programs over real UDP on loopback: qb40sim-bmc serving a machine
// file's LAN BMC, the UDP relay that loses, duplicates and logs datagrams
// between a console and that BMC, and any program run to its end or
// started beside others.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qbtest {

struct Ran {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out, err;
};

// A program started in `dir` with standard input from /dev/null and its
// output in `dir`/out.txt and err.txt; finish() waits for its end.
class Started {
public:
    Started(const std::filesystem::path& dir, const std::vector<std::string>& args);
    ~Started();
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
    Ran finish();

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

// Runs a program to its end (as Started).
Ran run_program(const std::filesystem::path& dir, const std::vector<std::string>& args);

// qb40sim-bmc serving BMC `bmc` of a machine file on 127.0.0.1 at a port the
// system picks, its trace in `trace`; stopped (SIGTERM) by stop() or at the
// end of the object.
class BmcServer {
public:
    BmcServer(const std::filesystem::path& machine_file, int bmc, const std::filesystem::path& trace);
    ~BmcServer();
    BmcServer(const BmcServer&) = delete;
    BmcServer& operator=(const BmcServer&) = delete;

    uint16_t port() const { return port_; }
    // Stops the server; its trace, which ends with the sessions left open.
    std::string stop();
    int exit_status() const { return exit_status_; }

private:
    std::filesystem::path trace_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    int exit_status_ = -1;
};

// qb40-udp-relay in front of the BMC at port `to`, with its options
// (--drop FROM:KIND:N, --loss PERCENT --seed S, ...), its log in `log`.
class UdpRelay {
public:
    UdpRelay(uint16_t to, const std::filesystem::path& log, const std::vector<std::string>& options);
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    uint16_t port() const { return port_; }
    // Stops the relay; its log, a line per datagram.
    std::string stop();

private:
    std::filesystem::path log_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

}  // namespace qbtest
