// SPDX-License-Identifier: MIT
// The programs the tests run, of the test program's own build: the tests'
// code is compiled once and linked twice, against the tool and the simulator
// built optimised and built under ASan and UBSan (tests/CMakeLists.txt), so
// each link says here which programs go with it.
#pragma once

namespace qbtest {

extern const char* const kToolSim;      // qb40tool-sim
extern const char* const kCaptureTool;  // qb40sim-capture
extern const char* const kBmcServer;    // qb40sim-bmc
extern const char* const kTool;         // qb40tool, the real program (one build for both)
extern const char* const kUdpRelay;     // qb40-udp-relay (rig/ipmi_sim)
// Whether bounds on a run's resources hold (CPU time, address space under
// ulimit -v): for the optimised build, not under the sanitizers.
extern const bool kCpuBounds;

}  // namespace qbtest
