// SPDX-License-Identifier: MIT
// One connection from a virtual machine's external-BMC device: turns the
// bytes it sends into requests for the BMC and the BMC's answers into bytes
// to send back, each when it is due. No sockets and no clock of its own
// here, so that the protocol can be tested alone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../basics/trace.h"
#include "vm_codec.h"

namespace sim::vm {

class Session {
public:
    struct Answer {
        // KCS layout (NetFn/LUN, command, completion code, data); empty: the
        // BMC stays silent.
        std::vector<uint8_t> response;
        uint64_t delay_us = 0;  // from the request to the answer
    };
    // Answers a request in KCS layout (NetFn/LUN, command, data).
    using Responder = std::function<Answer(std::span<const uint8_t> request)>;

    // `name` starts the trace lines ("bmc0 vm request id 3: 18 01").
    Session(Responder responder, Trace& trace, std::string name);

    // What to send when the connection opens: the protocol version.
    std::vector<uint8_t> greeting() const;

    // Takes bytes from the machine at `now_us`; returns the bytes to send at
    // once (answers without delay).
    std::vector<uint8_t> receive(std::span<const uint8_t> bytes, uint64_t now_us);
    // The answers due by `now_us`, as bytes to send.
    std::vector<uint8_t> due(uint64_t now_us);
    // When the next delayed answer is due.
    std::optional<uint64_t> next_due() const;

    // Whether the machine was told to raise its interrupt for responses.
    bool irq_enabled() const { return irq_enabled_; }

private:
    struct Pending {
        uint64_t at_us;
        uint8_t msgid;
        std::vector<uint8_t> request;
        std::vector<uint8_t> response;
    };

    void on_message(const Frame& frame, uint64_t now_us);
    void on_command(const Frame& frame);
    void send(const Pending& p, std::vector<uint8_t>& out);

    Responder responder_;
    Trace& trace_;
    std::string name_;
    Decoder decoder_;
    std::deque<Pending> pending_;  // in the order they are due
    bool irq_enabled_ = false;
};

}  // namespace sim::vm
