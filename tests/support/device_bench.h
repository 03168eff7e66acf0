// SPDX-License-Identifier: MIT
// A bench for the simulated bus devices: a virtual clock and a trace written
// to a temporary file, so that device tests can drive an I2cDevice directly
// (no process, no BMC) and read back the trace lines it left.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/basics/context.h"
#include "sim/devices/devices.h"
#include "sim/devices/i2c_device.h"
#include "sim_run.h"

namespace qbtest {

class DeviceBench {
public:
    DeviceBench() : clock_(0, false), trace_(clock_)
    {
        if (!trace_.open((dir_.path() / "trace.txt").string()))
            throw std::runtime_error("cannot open the bench trace");
    }

    void advance_ms(uint64_t ms) { clock_.advance(ms * 1000); }
    // The clock as qb40sim-bmc has it: moved to the wall clock between a guest's requests.
    void follow_wall_clock() { clock_.follow_wall_clock(); }

    // Builds a device from one machine-file entry placed at "bmc0 bus 0x01".
    sim::PlacedDevice make(const std::string& json)
    {
        documents_.push_back(std::make_unique<nlohmann::json>(nlohmann::json::parse(json)));
        return sim::make_device(sim::Field(*documents_.back(), "dev"), sim::Context{clock_, trace_}, "bmc0 bus 0x01");
    }

    // The trace events so far.
    std::vector<std::string> trace_lines() const { return trace_events(dir_.read("trace.txt")); }

private:
    SimDir dir_;
    sim::VirtualClock clock_;
    sim::Trace trace_;
    std::vector<std::unique_ptr<nlohmann::json>> documents_;
};

// One write part, as the BMC's Master Write-Read hands it over.
inline bool write_bytes(sim::I2cDevice& d, std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> v(bytes);
    return d.write(v);
}

// The read part; empty when the device did not acknowledge.
inline std::vector<uint8_t> read_bytes(sim::I2cDevice& d, size_t n)
{
    std::vector<uint8_t> v(n, 0xEE);
    return d.read(v) ? v : std::vector<uint8_t>{};
}

// ReadQBreg's two transactions: the pointer, then one byte. -1 on a NAK.
inline int read_register(sim::I2cDevice& d, uint8_t reg)
{
    auto v = write_bytes(d, {reg}) ? read_bytes(d, 1) : std::vector<uint8_t>{};
    return v.empty() ? -1 : v[0];
}

}  // namespace qbtest
