// SPDX-License-Identifier: MIT
// Compiled into each test program with the paths of its own build.
#include "programs.h"

namespace qbtest {

const char* const kToolSim = QB40TOOL_SIM;
const char* const kCaptureTool = QB40SIM_CAPTURE;
const char* const kBmcServer = QB40SIM_BMC;
const char* const kTool = QB40TOOL;
const char* const kUdpRelay = QB40_UDP_RELAY;
const bool kCpuBounds = QB40_CPU_BOUNDS;

}  // namespace qbtest
