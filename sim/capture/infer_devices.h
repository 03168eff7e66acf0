// SPDX-License-Identifier: MIT
// The devices on a BMC's buses, inferred from the requests they answered:
// where the muxes are, and at each address the model (a controller, an
// EEPROM, fixed bytes) that explains its answers best.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "seen.h"

namespace sim::capture {

// The "buses" of the BMC `name` (as its trace lines name it), with the
// muxes at `mux_addresses`; what could not be inferred goes to `notes`.
nlohmann::json bus_json(const SeenBmc& bmc, const std::set<uint8_t>& mux_addresses, std::vector<std::string>& notes,
                        const std::string& name);

}  // namespace sim::capture
