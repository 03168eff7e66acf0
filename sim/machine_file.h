// Machine files: JSON descriptions of a simulated machine (see sim/README.md).
#pragma once

#include <memory>
#include <string>

#include "machine.h"

namespace sim {

// Throws MachineFileError naming the field that is wrong.
std::unique_ptr<Machine> load_machine_json(const std::string& text);

// The machine named by QB40SIM_MACHINE (or the built-in default machine),
// with the trace file of QB40SIM_TRACE. A machine file that cannot be read or
// is malformed ends the process with a message naming the file and the field.
std::unique_ptr<Machine> load_machine_from_environment();

// The built-in default machine (sim/machines/default.json).
extern const char* const kDefaultMachineJson;

}  // namespace sim
