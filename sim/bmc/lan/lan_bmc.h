// SPDX-License-Identifier: MIT
// The LAN interface of one simulated BMC: IPMI v2.0 RMCP+ sessions over UDP
// datagrams, in front of the same BMC core that the driver and the KCS
// ports reach. It takes a datagram from a console at a time and gives the
// datagrams the BMC sends back, each with the time it leaves; it has no
// socket and no clock of its own, so that the simulated machine (virtual
// time) and qb40sim-bmc (real UDP, real time) both carry it.
//
// What it does, where the standard leaves room:
//   - Get Channel Authentication Capabilities in the v1.5 form (session-less
//     v1.5 packet) and the v2.0 form; Get Channel Cipher Suites, paged in
//     16-byte pieces; both also inside a session.
//   - A session: Open Session, RAKP 1 to 4 (RAKP-none, RAKP-HMAC-SHA1,
//     RAKP-HMAC-SHA256), K_G for the session key when the BMC has one, else
//     the user's key. The keys K1 and K2 come from 20-byte constants for
//     SHA-256 suites as for SHA-1 ones, as deployed consoles compute them.
//   - Inside a session every packet is checked for its session ID, its
//     integrity code and its sequence number: a number already taken, more
//     than 16 behind the highest one taken or more than 16 ahead of it is
//     dropped. The BMC's own numbers start at 1 and skip 0.
//   - A session starts at User privilege; Set Session Privilege Level raises
//     it up to the role of RAKP 1. Master Write-Read needs Operator (or what
//     the machine file says), other commands User.
//   - A session ends by Close Session, or after the idle timeout without a
//     packet for it; a RAKP 3 with an error status ends it without answer.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "../../basics/context.h"
#include "../bmc.h"
#include "lan_config.h"
#include "lan_faults.h"
#include "rmcp.h"

namespace sim::lan {

// Where the BMC's random numbers (session IDs, its RAKP random number, the
// IVs) come from: a seeded generator in the simulated machine, so that a
// run is repeatable, getrandom(2) in qb40sim-bmc.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void fill(std::span<uint8_t> out) = 0;
};

class SeededRandom : public RandomSource {
public:
    explicit SeededRandom(uint64_t seed) : generator_(seed) {}
    void fill(std::span<uint8_t> out) override;

private:
    std::mt19937_64 generator_;
};

// Who sent a datagram.
struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;
};

class LanBmc {
public:
    LanBmc(BmcCore& core, LanConfig config, Context context, std::unique_ptr<RandomSource> random);
    ~LanBmc();
    LanBmc(const LanBmc&) = delete;
    LanBmc& operator=(const LanBmc&) = delete;

    struct Datagram {
        Bytes bytes;
        uint64_t at_us;  // when it leaves the BMC
    };
    // A datagram from `peer` arrives at `now_us` (microseconds of the BMC's
    // clock): what the BMC sends back to it, in order.
    std::vector<Datagram> receive(std::span<const uint8_t> datagram, const Peer& peer, uint64_t now_us);

    // The timed events due by `now_us`: sessions idle too long, restarts.
    // receive() does it first; a server waiting for datagrams calls it at
    // next_deadline().
    void advance(uint64_t now_us);
    std::optional<uint64_t> next_deadline() const;

    const LanConfig& config() const { return config_; }
    BmcCore& core() { return core_; }
    size_t sessions() const;         // every session, also those being set up
    size_t active_sessions() const;  // those past RAKP 4
    uint64_t datagrams_dropped() const { return dropped_; }
    LanFaults& faults() { return faults_; }

private:
    struct Session;
    struct Inbound;
    struct Reply;

    Inbound decode(std::span<const uint8_t> datagram) const;
    void process(std::span<const uint8_t> datagram, const Peer& peer, uint64_t now_us, std::vector<Datagram>& out);
    void process_held(const std::pair<Bytes, Peer>& held, uint64_t now_us, std::vector<Datagram>& out);
    bool accept_sequence(Session& s, uint32_t seq);

    std::optional<Reply> handle(Inbound& in, const Peer& peer, uint64_t now_us);
    Reply open_session(const Inbound& in, const Peer& peer, uint64_t now_us);
    std::optional<Reply> rakp1(const Inbound& in);
    std::optional<Reply> rakp3(const Inbound& in);
    std::optional<Reply> ipmi_request(Inbound& in, uint64_t now_us);
    // The LAN interface's own commands; nullopt: the core answers.
    std::optional<Bytes> own_command(const LanMessage& m, Session* s);
    Bytes auth_capabilities(std::span<const uint8_t> data) const;
    Bytes cipher_suites(std::span<const uint8_t> data) const;
    Bytes set_privilege(std::span<const uint8_t> data, Session& s);
    Bytes close_session(std::span<const uint8_t> data, Session& s);
    Bytes session_info(std::span<const uint8_t> data, Session& s) const;
    uint8_t required_privilege(const LanMessage& m) const;
    std::string traced_request(const LanMessage& m);

    Bytes encode(const Reply& r, std::optional<Forgery> forge = std::nullopt);
    void send(Reply& r, std::optional<LanFaultAction> fault, std::vector<Datagram>& out);

    Session* find(uint32_t bmc_id);
    void remove(uint32_t bmc_id);
    void end_all(const char* why, uint64_t now_us);
    uint32_t new_session_id();
    void trace_fault(Direction d, MessageKind kind, size_t rule, uint64_t injection, const LanFaultAction& a);

    BmcCore& core_;
    LanConfig config_;
    Context context_;
    std::unique_ptr<RandomSource> random_;
    LanFaults faults_;
    std::vector<std::unique_ptr<Session>> sessions_;
    unsigned next_handle_ = 1;
    std::vector<bool> event_done_;
    uint64_t session_requests_ = 0;  // IPMI requests taken inside a session
    uint64_t down_until_us_ = 0;
    std::optional<Datagram> held_answer_;  // reordered: goes after the next answer
    std::optional<std::pair<Bytes, Peer>> held_request_;  // reordered: reaches the BMC after the next one
    bool bypass_request_faults_ = false;
    uint64_t dropped_ = 0;
};

}  // namespace sim::lan
