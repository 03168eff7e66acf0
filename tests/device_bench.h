// A bench for the simulated bus devices: a virtual clock and a trace written
// to a temporary file, so that device tests can drive an I2cDevice directly
// (no process, no BMC) and read back the trace lines it left.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "context.h"
#include "devices.h"
#include "i2c_device.h"
#include "sim_run.h"

namespace qbtest {

class DeviceBench {
public:
    DeviceBench() : clock_(0, false), trace_(clock_), path_(dir_.path() / "trace.txt")
    {
        if (!trace_.open(path_.string()))
            throw std::runtime_error("cannot open the bench trace");
    }

    sim::Context context() { return sim::Context{clock_, trace_}; }
    sim::VirtualClock& clock() { return clock_; }
    void advance_ms(uint64_t ms) { clock_.advance(ms * 1000); }

    // Builds a device from one machine-file entry placed at "bmc0 bus 0x01".
    sim::PlacedDevice make(const std::string& json)
    {
        documents_.push_back(std::make_unique<nlohmann::json>(nlohmann::json::parse(json)));
        return sim::make_device(sim::Field(*documents_.back(), "dev"), context(), "bmc0 bus 0x01");
    }

    // The trace lines so far, without their time stamps; `forget` drops them
    // from later calls.
    std::vector<std::string> trace_lines()
    {
        std::vector<std::string> out;
        for (const std::string& l : lines(dir_.read("trace.txt"))) {
            auto blank = l.find(' ');
            out.push_back(blank == std::string::npos ? l : l.substr(blank + 1));
        }
        out.erase(out.begin(), out.begin() + static_cast<long>(std::min(seen_, out.size())));
        return out;
    }
    void forget() { seen_ += trace_lines().size(); }

private:
    SimDir dir_;
    sim::VirtualClock clock_;
    sim::Trace trace_;
    std::filesystem::path path_;
    std::vector<std::unique_ptr<nlohmann::json>> documents_;
    size_t seen_ = 0;
};

// One write part / read part, as the BMC's Master Write-Read hands them over.
inline bool write_bytes(sim::I2cDevice& d, std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> v(bytes);
    return d.write(v);
}

// The read part; empty when the device did not acknowledge.
inline std::vector<uint8_t> read_bytes(sim::I2cDevice& d, size_t n)
{
    std::vector<uint8_t> v(n, 0xEE);
    if (!d.read(v))
        return {};
    return v;
}

// ReadQBreg's two transactions: the pointer, then one byte. -1 on a NAK.
inline int read_register(sim::I2cDevice& d, uint8_t reg)
{
    if (!write_bytes(d, {reg}))
        return -1;
    auto v = read_bytes(d, 1);
    return v.empty() ? -1 : v[0];
}

}  // namespace qbtest
