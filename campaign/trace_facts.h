// SPDX-License-Identifier: MIT
// The few things the campaign's checks read from the simulator's trace
// (sim/README.md, Trace): the controllers' flash events, the writes to their
// LED registers, the terminal's last mode change, the signals sent, where
// faults fired and whether one answered for a device, the requests the BMCs
// received, and the file-system errors the tool's files met.
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

// A request that writes a controller's LED register (Activity 0x40, Locate
// 0x42, Fail 0x44, Rebuild 0x46), as the BMC received it.
struct LedWrite {
    int bmc = 0;
    uint8_t bus = 0;      // the bus byte of the request
    uint8_t address = 0;  // 8-bit
    uint8_t reg = 0;
    uint8_t value = 0;
    size_t line = 0;
};

// A file-system error the machine gave one of the tool's files.
struct FileFaultEvent {
    std::string call;   // "open", "write", "fsync", "rename"
    std::string file;   // "log", "report" or "capture"
    std::string name;   // as the trace names it: "log.txt", "r.json" (a rename's target), ...
    std::string error;  // "ENOSPC"
};

// A mux's channel mask changing, as the trace names it ("bmc0 bus 0x03 0xE6").
struct MuxChange {
    std::string mux;
    uint8_t mask = 0;
    size_t line = 0;
};

struct TraceFacts {
    std::vector<FlashEvent> flash;
    std::vector<LedWrite> led_writes;
    // Master Write-Read requests that write more than one byte: more than a
    // register number, an EEPROM offset or a mux's channels (the request's line).
    std::vector<std::string> wide_writes;
    std::vector<MuxChange> mux_changes;
    std::vector<std::pair<int, size_t>> faults;  // where a fault rule fired: the BMC, the line
    std::optional<std::string> terminal;  // "raw" or "cooked": the last mode change
    std::vector<SignalEvent> signals;
    // A fault rule answered in the BMC's place with completion code 0x00:
    // the tool then takes a command as done that no device received.
    bool forged_success = false;
    std::vector<FileFaultEvent> file_faults;
    size_t requests = 0;  // requests a BMC received, on either road
};

TraceFacts read_trace(std::string_view trace);

}  // namespace campaign
