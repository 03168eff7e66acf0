// SPDX-License-Identifier: MIT
// Faults injected into a BMC's exchanges. Each rule picks requests by road,
// bus, address and leading request bytes, and acts on the n-th matching
// request and a run of them after it, optionally only with a probability
// drawn from its own seeded generator, so every run injects the same faults.
// Every injection is counted and written to the trace.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../basics/context.h"
#include "../basics/json_field.h"

namespace sim {

enum class Road { Driver, Kcs, Lan };
const char* road_name(Road road);

// What a KCS interface does instead of following the protocol.
enum class KcsFault {
    None,
    IbfStuck,     // after the last request byte IBF stays set (for `for_us`, or for good)
    ErrorState,   // after the last request byte the interface shows the error state
    ErrorInRead,  // after the first response byte the interface falls into the error state, with a byte in OBF
    ErrorNoObf,   // after the first response byte the interface falls into the error state, OBF left clear
    IbfStuckInRead,  // the host's first READ is not taken: IBF stays set (for `for_us`, or for good)
    NoDummy,         // after the last response byte the interface goes idle without the dummy byte
};
// Its name in a machine file ("ibf_stuck"), "none" for None.
const char* kcs_fault_name(KcsFault k);

// The effect of one injected fault. Fields combine; unset ones leave the
// exchange alone.
struct FaultAction {
    std::optional<std::vector<uint8_t>> response;  // replaces the BMC's answer; the request reaches no device
    std::optional<uint8_t> completion_code;        // answer with this code and no data; no device is reached
    bool lose = false;                             // the BMC never answers
    uint64_t delay_us = 0;                         // the answer comes this much later
    int send_errno = 0;                            // driver: IPMICTL_SEND_COMMAND fails
    int receive_errno = 0;                         // driver: the receive fails (the message is gone)
    int select_errno = 0;                          // driver: the select after the send fails
    bool wrong_id = false;                         // driver: the answer carries another message id
    KcsFault kcs = KcsFault::None;
    uint64_t for_us = 0;  // how long IbfStuck or IbfStuckInRead lasts; 0: for good

    // Whether the request still reaches the BMC's buses.
    bool request_executed() const
    {
        return !response && !completion_code && send_errno == 0 && kcs != KcsFault::IbfStuck &&
               kcs != KcsFault::ErrorState;
    }
    std::string describe() const;
};

struct FaultRule {
    // Matching.
    std::optional<Road> road;
    std::optional<uint8_t> bus;      // request byte 2 of a Master Write-Read
    std::optional<uint8_t> address;  // request byte 3, 8-bit form
    std::vector<uint8_t> request;    // leading request bytes (KCS layout)
    // Which matching requests: the nth (1 = the first) and the count - 1 after
    // it; count 0: every one from the nth on.
    uint64_t nth = 1;
    uint64_t count = 1;
    double probability = 1.0;
    uint32_t seed = 1;

    FaultAction action;

    bool matches(Road r, std::span<const uint8_t> req) const;
};

class FaultInjector {
public:
    FaultInjector(Context context, std::string bmc_name);

    void add(FaultRule rule);
    // The "faults" list of one BMC in the machine file.
    void load(const Field& faults);

    // Called once per request the BMC receives on `road`: the fault to inject,
    // if any rule fires (the first one in the list wins). Traced.
    std::optional<FaultAction> decide(Road road, std::span<const uint8_t> request);

    // Injections so far, in total and per rule (in the order added).
    uint64_t injected() const;
    uint64_t injected(size_t rule) const { return rules_.at(rule).injected; }
    size_t rules() const { return rules_.size(); }

private:
    struct Entry {
        FaultRule rule;
        std::mt19937 random;
        uint64_t matched = 0;
        uint64_t injected = 0;
    };

    Context context_;
    std::string bmc_name_;
    std::vector<Entry> rules_;
};

FaultRule parse_fault_rule(const Field& entry);

}  // namespace sim
