// SPDX-License-Identifier: MIT
// qb40sim-capture model: an ordinary machine for qb40tool-sim inferred from a
// capture alone: its BMCs, buses, muxes, controllers, EEPROMs and timing,
// with fault rules for the answers no device model gives.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::capture {

struct Model {
    nlohmann::json machine;
    // Fault rules added for answers the inferred devices do not give.
    size_t fault_rules = 0;
    // Exchanges whose answer a fault rule could not bring back (a KCS
    // interface's own misbehaviour, an answer the tool never had whole).
    size_t unexplained = 0;
};

// The capture's lines (the header first). `image`: the image file the run
// programmed, so that the byte commands carry its bytes (without it the
// controllers' checksums cannot be worked out from the capture).
Model model_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image);

}  // namespace sim::capture
