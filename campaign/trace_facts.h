// SPDX-License-Identifier: MIT
// The few things the campaign's checks read from the simulator's trace
// (sim/README.md, Trace): the controllers' flash events, the terminal's last
// mode change, the signals sent, and whether a fault answered for a device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace campaign {

struct FlashEvent {
    std::string controller;  // as the trace names it: "bmc0 bus 0x03 mux 0xE6 ch 2 0xC0"
    int bmc = 0;
    uint8_t bus = 0;
    uint8_t address = 0;
    std::string event;  // "erase, busy 500 ms", "status 55 AA E2 01 00 00", ...
    size_t line = 0;    // index of its line in the trace
};

// A signal of the machine file, as the simulator sent it.
struct SignalEvent {
    std::string name;  // "SIGTERM"
    size_t line = 0;
    bool handled = true;  // false: ignored, or it ended the process without a handler
};

struct TraceFacts {
    std::vector<FlashEvent> flash;
    std::optional<std::string> terminal;  // "raw" or "cooked": the last mode change
    std::vector<SignalEvent> signals;
    // A fault rule answered in the BMC's place with completion code 0x00:
    // the tool then takes a command as done that no device received.
    bool forged_success = false;
};

TraceFacts read_trace(std::string_view trace);

}  // namespace campaign
