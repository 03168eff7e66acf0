// SPDX-License-Identifier: MIT
// An in-process bench for the road to the BMC: a machine built from a
// machine file and installed in the test process, a fresh working directory
// holding the log and the simulator's trace, the console captured, and the
// road opened the way Kcs_Open leaves it (the driver's device node, or I/O
// privilege and the first KCS port pair). Tests then call the tool's
// transfer, exchange, I2C and register functions directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "in_process.h"
#include "sim/current_machine.h"

namespace qbtest {

using Lines = std::vector<std::string>;

enum class Path { Driver, Kcs };

inline std::string path_name(Path path) { return path == Path::Driver ? "Driver" : "Kcs"; }

// A machine with one BMC at /dev/ipmi0 and at the first KCS port pair, with
// the `faults` rules (without brackets), the `top` fields (port accesses of
// 0.2 ms, so that the 3.96 s waits of the KCS road take few polls) and:
// - bus 0x01: a register bank at 0xC0 (0x00 holds 0x4D, 0x63 0x49, 0x44
//   0xFF), a QB4083C at 0xC4 (firmware 7 8 9, revision 3) and a register
//   bank at 0xC6; nobody at 0xC2;
// - bus 0x03: devices at 0xC0 (reading 0x4D), 0xE6 and 0xE8 (stand-ins
//   for a mux); bus 0x23: a device at 0xC0 (reading 0x23). They take any
//   write and read the same byte however often a lost answer made the BMC
//   read them.
std::string road_machine(const std::string& faults = "", const std::string& top = R"("port_access_ns": 200000)");

class RoadBench {
public:
    // Installs the machine, starts the log, puts the settings back to the
    // program's defaults and opens the road.
    RoadBench(Path path, const std::string& machine_json);
    ~RoadBench();
    RoadBench(const RoadBench&) = delete;
    RoadBench& operator=(const RoadBench&) = delete;

    uint64_t elapsed_us() const { return sim::machine().clock.elapsed_us(); }
    // The log's lines from the first line the test itself caused.
    std::vector<std::string> log_lines() const;
    std::string console() const { return console_.text(); }
    // Trace events (without times) since the bench opened the road.
    std::vector<std::string> trace() const;
    // The request messages the BMC received on either road, as hex text
    // ("18 52 01 C0 01"), and the tool's sleeps between them ("sleep 1000").
    Lines traffic() const;

private:
    Path path_;
    ScopedWorkDir dir_;
    CapturedStdout console_;
    size_t log_start_ = 0;
    size_t trace_start_ = 0;
};

// Hex text of bytes as the trace writes it: "18 52 01".
std::string hex(const std::vector<uint8_t>& bytes);

}  // namespace qbtest
