// One connection from a virtual machine's external-BMC device: turns the
// bytes it sends into requests for the BMC and the BMC's answers into bytes
// to send back. No sockets here, so that the protocol can be tested alone.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "../trace.h"
#include "vm_codec.h"

namespace sim::vm {

class Session {
public:
    // Answers a request in KCS layout (NetFn/LUN, command, data) with a
    // response in the same layout (NetFn/LUN, command, completion code,
    // data); an empty response means the BMC stays silent.
    using Responder = std::function<std::vector<uint8_t>(std::span<const uint8_t>)>;

    Session(Responder responder, Trace& trace);

    // What to send when the connection opens: the protocol version.
    std::vector<uint8_t> greeting() const;

    // Takes bytes from the machine; returns the bytes to send back.
    std::vector<uint8_t> receive(std::span<const uint8_t> bytes);

    // Whether the machine was told to raise its interrupt for responses.
    bool irq_enabled() const { return irq_enabled_; }

private:
    void on_message(const Frame& frame, std::vector<uint8_t>& out);
    void on_command(const Frame& frame);

    Responder responder_;
    Trace& trace_;
    Decoder decoder_;
    bool irq_enabled_ = false;
};

}  // namespace sim::vm
