// An in-process bench for the road to the BMC: a machine built from a
// machine file and installed in the test process, a fresh working directory
// holding the log and the simulator's trace, the console captured, and the
// road opened the way Kcs_Open leaves it (the driver's device node, or I/O
// privilege and the first KCS port pair). Tests then call the tool's
// transfer, exchange, I2C and register functions directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "in_process.h"
#include "machine.h"

namespace qbtest {

enum class Path { Driver, Kcs };

std::string path_name(Path path);

// A machine with one BMC at /dev/ipmi0 and at the first KCS port pair.
// `bmc_fields` go into its entry ("buses": ..., "faults": ...), `top_fields`
// into the top level ("port_access_ns": ...); both without braces.
std::string one_bmc(const std::string& bmc_fields, const std::string& top_fields = "");

class RoadBench {
public:
    // Installs the machine, starts the log, puts the settings back to the
    // program's defaults and opens the road.
    RoadBench(Path path, const std::string& machine_json);
    ~RoadBench();
    RoadBench(const RoadBench&) = delete;
    RoadBench& operator=(const RoadBench&) = delete;

    Path path() const { return path_; }
    sim::Machine& machine() { return sim::machine(); }
    double seconds() { return static_cast<double>(machine().clock.elapsed_us()) / 1e6; }

    std::string log() const { return dir_.read("log.txt"); }
    // The log's lines from the first line the test itself caused.
    std::vector<std::string> log_lines() const;
    std::string console() const { return console_.text(); }
    // Trace events (without times) since the bench opened the road.
    std::vector<std::string> trace() const;
    // The request messages the BMC received on either road, as hex text
    // ("18 52 01 C0 01"), and the responses it gave.
    std::vector<std::string> requests() const;
    std::vector<std::string> responses() const;
    // The message ids of the requests sent through the driver.
    std::vector<long> driver_ids() const;

private:
    std::vector<std::string> messages(const char* kind) const;

    Path path_;
    ScopedWorkDir dir_;
    CapturedStdout console_;
    size_t log_start_ = 0;
    size_t trace_start_ = 0;
};

// Hex text of bytes as the trace writes it: "18 52 01".
std::string hex(const std::vector<uint8_t>& bytes);

}  // namespace qbtest
