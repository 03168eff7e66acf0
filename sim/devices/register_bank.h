// SPDX-License-Identifier: MIT
// A generic register-bank device: 256 one-byte registers behind a register
// pointer. The first byte written sets the pointer, further written bytes are
// stored from it on, and reads continue from it; the pointer wraps at 0xFF.
// Good for register-level tests of the I2C road without a controller model.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "../basics/context.h"
#include "i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

class RegisterBank : public I2cDevice {
public:
    // {"type": "registers", "address": "0x..", "registers": {"0x63": 73, ...}}
    static std::unique_ptr<I2cDevice> from_json(const Field& entry, const Context& context, const std::string& where,
                                                uint8_t addr8);

    bool write(std::span<const uint8_t> data) override;
    bool read(std::span<uint8_t> out) override;

    std::array<uint8_t, 256> registers{};
    uint8_t pointer = 0;
};

}  // namespace sim
