// The application commands a system's IPMI driver sends to the BMC while it
// probes the interface (device ID and GUID, global enables, message flags,
// event buffer). The tool never sends them; they matter when a real driver
// sits between the tool and the simulated BMC.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

// What those commands remember between requests, per BMC.
struct AppCommandState {
    uint8_t global_enables = 0;
};

// The response (KCS layout: NetFn/LUN, command, completion code, data) when
// `request` (NetFn/LUN, command, data) is one of those commands; nullopt
// otherwise.
std::optional<std::vector<uint8_t>> answer_app_command(AppCommandState& state, std::span<const uint8_t> request);

}  // namespace sim
