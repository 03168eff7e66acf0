// SPDX-License-Identifier: MIT
// Machine files: JSON descriptions of a simulated machine (see sim/README.md).
#pragma once

#include <memory>
#include <string>

#include "../machine/machine.h"

namespace sim {

// Throws MachineFileError naming the field that is wrong.
std::unique_ptr<Machine> load_machine_json(const std::string& text);

// The built-in default machine (sim/machines/default.json).
extern const char* const kDefaultMachineJson;

}  // namespace sim
