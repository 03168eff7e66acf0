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
    // Requests the model answers otherwise than the capture has them: no
    // fault rule brings their answer (or its time) back.
    size_t unexplained = 0;
    // Lines of the capture the model has no place for: their calls are not
    // made on the model (a request on a descriptor no open gave, ...).
    size_t unused_lines = 0;
    // What was inferred and what could not be, in words (also the machine's
    // "inferred"): the defaults used, each BMC's answer time, the
    // unexplained requests' and unused lines' counts and the first few of each.
    std::vector<std::string> notes;

    bool exact() const { return unexplained == 0 && unused_lines == 0; }
};

// The capture's lines (the header first). `image`: the image file the run
// programmed, so that the byte commands carry its bytes (without it the
// controllers' checksums cannot be worked out from the capture).
// `lan_password`: the password of the user a network-road capture logged in
// as (replay_machine_file.h).
Model model_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image,
                    const std::optional<std::string>& lan_password = std::nullopt);

}  // namespace sim::capture
