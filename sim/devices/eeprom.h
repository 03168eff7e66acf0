// SPDX-License-Identifier: MIT
// Plain memories on an I2C bus: the VPD EEPROM and the fixed-contents device
// (the 14-byte device at 0x40 of a QB4077 backplane).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../basics/context.h"
#include "i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

// A byte-addressed EEPROM of up to 256 bytes with a one-byte address pointer:
// the first byte of a write sets the pointer, further bytes are stored from
// there on; a read continues from the pointer. Both wrap at the end.
class Eeprom : public I2cDevice {
public:
    static constexpr size_t kMaxSize = 256;

    // `contents` fills the first bytes; the rest read 0xFF, as an erased part does.
    Eeprom(size_t size, std::span<const uint8_t> contents);

    // {"type": "eeprom", "address": .., "size": .., "contents": ..}
    static std::unique_ptr<I2cDevice> from_json(const Field& entry, const Context& context, const std::string& where,
                                                uint8_t addr8);

    bool write(std::span<const uint8_t> data) override;
    bool read(std::span<uint8_t> out) override;

    const std::vector<uint8_t>& memory() const { return memory_; }
    uint8_t pointer() const { return pointer_; }

private:
    void advance() { pointer_ = static_cast<uint8_t>((pointer_ + 1) % memory_.size()); }

    std::vector<uint8_t> memory_;
    uint8_t pointer_ = 0;
};

// A device that has no address pointer: every read returns its contents from
// the first byte (0xFF past the end); writes are acknowledged and ignored.
class FixedBytes : public I2cDevice {
public:
    explicit FixedBytes(std::vector<uint8_t> contents) : contents_(std::move(contents)) {}

    // {"type": "bytes", "address": .., "contents": ..}
    static std::unique_ptr<I2cDevice> from_json(const Field& entry, const Context& context, const std::string& where,
                                                uint8_t addr8);

    bool write(std::span<const uint8_t>) override { return true; }
    bool read(std::span<uint8_t> out) override;

private:
    std::vector<uint8_t> contents_;
};

}  // namespace sim
