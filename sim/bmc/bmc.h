// SPDX-License-Identifier: MIT
// One simulated BMC: its I2C buses with their devices, the IPMI commands it
// answers and the faults injected into its exchanges. The front ends (the
// driver's device node, the KCS ports, the external-BMC socket) only carry
// request and response messages to and from BmcCore.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../basics/context.h"
#include "faults.h"
#include "../devices/i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

// IPMI completion codes the BMC model gives itself.
inline constexpr uint8_t kCcOk = 0x00;
inline constexpr uint8_t kCcInvalidCommand = 0xC1;
inline constexpr uint8_t kCcRequestLength = 0xC7;
inline constexpr uint8_t kCcInvalidField = 0xCC;
inline constexpr uint8_t kCcI2cNak = 0x83;

class I2cBus {
public:
    void add(uint8_t addr7, std::unique_ptr<I2cDevice> device);
    // The device answering at `addr7`: on the bus itself, or behind a mux.
    I2cDevice* find(uint8_t addr7);
    // The first mux on the bus, for a BMC that switches it itself.
    I2cMux* mux() const { return muxes_.empty() ? nullptr : muxes_.front(); }
    // The devices on the bus itself, by 7-bit address.
    const std::map<uint8_t, std::unique_ptr<I2cDevice>>& devices() const { return devices_; }

    // The BMC selects the mux channel from the upper nibble of the bus byte.
    bool bmc_switches_mux = false;
    // Another bus byte for the bus keyed by this one: a BMC that decodes
    // only part of the bus byte reaches one bus by two.
    std::optional<uint8_t> same_bus_as;

private:
    std::map<uint8_t, std::unique_ptr<I2cDevice>> devices_;
    std::vector<I2cMux*> muxes_;
};

// How a BMC's KCS interface goes through the handshake, where the IPMI
// standard leaves it to the interface (the host copes with either).
struct KcsHandshake {
    // Every byte the host writes in the write phase is followed by a dummy
    // byte in the data port (OBF set), which the host reads away.
    bool dummy_after_write = false;
    // While the BMC works on a request its last byte stays unread: the
    // status shows the write state with IBF until the answer is there.
    bool ibf_while_busy = false;
    // The status shows C/D after a write to the command port.
    bool command_flag = true;
    // A dummy byte is the data register as it is, the last byte the BMC
    // put there (else 0x00).
    bool dummy_is_last_byte = false;
};

class BmcCore;

// Where a replayed BMC's answers come from: the capture the machine was
// rebuilt from, not its devices (replay.h).
class AnswerSource {
public:
    virtual ~AnswerSource() = default;
    struct Answer {
        std::vector<uint8_t> response;  // empty: none came
        uint64_t delay_us = 0;
    };
    virtual Answer answer(const BmcCore& core, std::span<const uint8_t> request) = 0;
};

class BmcCore {
public:
    BmcCore(Context context, std::string name);

    // {"buses": {...}, "faults": [...], "latency_us": N, ...} of one entry of "bmcs".
    static std::unique_ptr<BmcCore> from_json(const Field& bmc, Context context, std::string name);

    const std::string& name() const { return name_; }
    Context context() const { return context_; }

    // A request message in KCS layout (NetFn/LUN, command, data) and the
    // response message in the same layout (NetFn/LUN, command, completion
    // code, data). No faults, no latency: the BMC's own answer.
    std::vector<uint8_t> handle(std::span<const uint8_t> request);

    // One exchange as a front end sees it: the fault to inject (if any) and
    // the answer, due `delay_us` after the request (the BMC's latency plus any
    // injected delay). `response` is empty when no answer will come.
    struct Outcome {
        std::optional<FaultAction> fault;
        std::vector<uint8_t> response;
        uint64_t delay_us = 0;
    };
    Outcome exchange(Road road, std::span<const uint8_t> request);

    // The BMC's GUID, as Get Device GUID answers it.
    static std::array<uint8_t, 16> guid();

    I2cBus& bus(uint8_t bus_byte) { return buses_[bus_byte]; }
    const std::map<uint8_t, I2cBus>& buses() const { return buses_; }
    FaultInjector& faults() { return faults_; }
    uint64_t latency_us = 0;  // time from request to response
    KcsHandshake kcs_handshake;
    // Set on a replay machine's BMC: every exchange is answered from there.
    AnswerSource* answers = nullptr;

    // The commands the BMC answers, by network function and command code.
    using Handler = std::vector<uint8_t> (BmcCore::*)(std::span<const uint8_t> data);
    struct Command {
        uint8_t netfn;
        uint8_t cmd;
        size_t min_length;  // request data bytes the command needs
        Handler handler;    // returns completion code and response data
    };

private:
    std::vector<uint8_t> master_write_read(std::span<const uint8_t> data);
    // What an IPMI driver asks while it probes the BMC (probe_commands.cpp).
    std::vector<uint8_t> get_device_id(std::span<const uint8_t> data);
    std::vector<uint8_t> get_device_guid(std::span<const uint8_t> data);
    std::vector<uint8_t> set_global_enables(std::span<const uint8_t> data);
    std::vector<uint8_t> get_global_enables(std::span<const uint8_t> data);
    std::vector<uint8_t> clear_message_flags(std::span<const uint8_t> data);
    std::vector<uint8_t> get_message_flags(std::span<const uint8_t> data);
    std::vector<uint8_t> read_event_message_buffer(std::span<const uint8_t> data);

    static const Command kCommands[];

    Context context_;
    std::string name_;
    std::map<uint8_t, I2cBus> buses_;
    FaultInjector faults_;
    uint8_t global_enables_ = 0;
};

}  // namespace sim
