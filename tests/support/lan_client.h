// SPDX-License-Identifier: MIT
// A small IPMI v2.0 RMCP+ console for the tests of the simulator's LAN BMC:
// written apart from the BMC (its own packet layout, nettle directly), so
// that the two check each other. It opens a session (Open Session, RAKP 1
// to 4), sends IPMI requests inside it and checks every answer's session
// ID, integrity code and sequence number, counting what it throws away.
// Its datagrams go through the seam (the simulated machine's sockets, on
// the virtual clock) or through a real UDP socket (qb40sim-bmc).
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace qbtest::lan {

using Bytes = std::vector<uint8_t>;

class Link {
public:
    virtual ~Link() = default;
    virtual void send(const Bytes& datagram) = 0;
    // The next datagram that arrives within `timeout_us`; nullopt when none does.
    virtual std::optional<Bytes> receive(uint64_t timeout_us) = 0;
    virtual uint64_t now_us() = 0;
};

// A connected UDP socket of the simulated machine, through os::sys.
class SeamLink : public Link {
public:
    explicit SeamLink(const std::string& host, const std::string& port = "623");
    ~SeamLink() override;
    SeamLink(const SeamLink&) = delete;
    SeamLink& operator=(const SeamLink&) = delete;
    void send(const Bytes& datagram) override;
    std::optional<Bytes> receive(uint64_t timeout_us) override;
    uint64_t now_us() override;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// A real UDP socket to a port on 127.0.0.1.
class UdpLink : public Link {
public:
    explicit UdpLink(uint16_t port);
    ~UdpLink() override;
    UdpLink(const UdpLink&) = delete;
    UdpLink& operator=(const UdpLink&) = delete;
    void send(const Bytes& datagram) override;
    std::optional<Bytes> receive(uint64_t timeout_us) override;
    uint64_t now_us() override;

private:
    int fd_ = -1;
};

struct Login {
    std::string user = "admin";
    std::string password;
    std::string kg;    // the BMC key the console knows; empty: none
    uint8_t suite = 17;
    uint8_t role = 4;  // the privilege RAKP 1 asks for
    uint8_t open_privilege = 0;  // Open Session's requested maximum; 0: the highest
};

struct Handshake {
    std::optional<uint8_t> open_status;  // nullopt: no answer came
    std::optional<uint8_t> rakp2_status;
    bool rakp2_code_ok = false;  // the BMC proved it knows the user's password
    std::optional<uint8_t> rakp4_status;
    bool rakp4_code_ok = false;  // the BMC has the same session key
    bool active() const { return rakp4_code_ok; }
};

class Client {
public:
    explicit Client(Link& link, uint64_t timeout_us = 2'000'000, uint32_t seed = 7);

    // The ASF presence ping; nullopt without a pong, else whether IPMI is supported.
    std::optional<bool> ping();
    // Session-less: Get Channel Authentication Capabilities (the v1.5 packet
    // for the v1.5 form) and one page of Get Channel Cipher Suites. The
    // answer's completion code and data.
    std::optional<Bytes> auth_capabilities(bool v2_form, uint8_t privilege = 4);
    std::optional<Bytes> cipher_suite_page(uint8_t index);

    // The whole handshake; RAKP 3 goes out even after a RAKP 2 whose code
    // did not match when `rakp3_anyway`, with what the console computed.
    Handshake open(const Login& login, bool rakp3_anyway = false);

    // An IPMI request inside the session, in the core's layout (NetFn/LUN,
    // command, data); the answer in the same layout (NetFn/LUN, command,
    // completion code, data), or nullopt when none comes in time.
    std::optional<Bytes> call(const Bytes& core_request);
    bool close();

    // For tests of the BMC's own checks: a packet of the session with the
    // given sequence number, sent as it is; the answer to it, if any.
    Bytes packet(const Bytes& core_request, uint32_t sequence);
    std::optional<Bytes> await(uint8_t cmd);
    uint32_t next_sequence() const { return out_sequence_ + 1; }
    uint32_t bmc_session_id() const { return bmc_id_; }

    // Datagrams thrown away: another session's, a bad integrity code, a
    // sequence number taken already or far off, an answer to nothing asked.
    size_t discarded() const { return discarded_; }

private:
    Bytes session_packet(const Bytes& core_request, uint32_t sequence, uint8_t rq_seq);
    std::optional<Bytes> presession(uint8_t payload_type, const Bytes& payload, uint8_t answer_type);
    std::optional<Bytes> sessionless_ipmi(const Bytes& core_request, bool v15);
    std::optional<Bytes> unwrap(const Bytes& datagram);

    Link& link_;
    uint64_t timeout_us_;
    std::mt19937 random_;
    // The session.
    uint32_t console_id_ = 0x51423430;
    uint32_t bmc_id_ = 0;
    uint8_t auth_ = 0, integrity_ = 0, confidentiality_ = 0;
    Bytes k1_, k2_;
    uint32_t out_sequence_ = 0;
    uint32_t highest_in_ = 0;
    std::set<uint32_t> seen_;
    uint8_t rq_seq_ = 0;
    size_t discarded_ = 0;
};

}  // namespace qbtest::lan
