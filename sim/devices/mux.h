// SPDX-License-Identifier: MIT
// The I2C multiplexer: one register, the channel-enable mask (bit n-1
// switches channel n on). The bus reaches the devices of the channels that
// are switched on and nothing of the others.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "../basics/context.h"
#include "i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

class Mux : public I2cMux {
public:
    static constexpr unsigned kChannels = 8;

    // `name` ("bmc0 bus 0x03 0xE6") is what its trace lines carry.
    Mux(Context context, std::string name);

    // {"type": "mux", "address": .., "channels": {"1": [devices], ...}, "mask": ..}
    // without the channels' devices, which make_device (devices.h) puts in.
    static std::unique_ptr<Mux> from_json(const Field& entry, const Context& context, const std::string& where,
                                          uint8_t addr8);

    // Puts a device behind channel 1 to 8.
    void add(unsigned channel, uint8_t addr7, std::unique_ptr<I2cDevice> device);

    bool write(std::span<const uint8_t> data) override;
    bool read(std::span<uint8_t> out) override;
    I2cDevice* find(uint8_t addr7) override;
    void select_channel(unsigned channel) override;

    uint8_t mask() const { return mask_; }
    // The devices behind channel n + 1, by 7-bit address.
    const std::array<std::map<uint8_t, std::unique_ptr<I2cDevice>>, kChannels>& channels() const { return channels_; }

private:
    void set_mask(uint8_t mask);

    Context context_;
    std::string name_;
    uint8_t mask_ = 0;  // switched off at power-on, unless the machine file says otherwise
    std::array<std::map<uint8_t, std::unique_ptr<I2cDevice>>, kChannels> channels_;
};

}  // namespace sim
