// SPDX-License-Identifier: MIT
// A device on one of the BMC's I2C buses, as the BMC's Master Write-Read sees
// it: a transaction is an optional write part followed by an optional read
// part, and a device either acknowledges each part or does not (NAK).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace sim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;

    // The write part of a transaction. False: not acknowledged.
    virtual bool write(std::span<const uint8_t> data) = 0;
    // The read part: fills `out`. False: not acknowledged.
    virtual bool read(std::span<uint8_t> out) = 0;
};

// An I2C multiplexer: a device at its own address whose channel register
// decides which of its channels' devices the bus reaches.
class I2cMux : public I2cDevice {
public:
    // The device at `addr7` on a channel that is switched on, or nullptr.
    virtual I2cDevice* find(uint8_t addr7) = 0;
    // Switch to one channel (1 to 8) alone, as a BMC does that selects the
    // channel from the upper nibble of the bus byte.
    virtual void select_channel(unsigned channel) = 0;
};

// The name a device's trace lines carry: the place on the bus (`where`,
// "bmc0 bus 0x01") and its 8-bit address, "bmc0 bus 0x01 0xC0".
inline std::string device_name(const std::string& where, uint8_t addr8)
{
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", addr8);
    return where.empty() ? address : where + " " + address;
}

}  // namespace sim
