// SPDX-License-Identifier: MIT
#include "eeprom.h"

#include <algorithm>

namespace sim {

Eeprom::Eeprom(size_t size, std::span<const uint8_t> contents) : memory_(size, 0xFF)
{
    std::copy_n(contents.begin(), std::min(contents.size(), size), memory_.begin());
}

std::unique_ptr<I2cDevice> Eeprom::from_json(const Field& entry, const Context&, const std::string&, uint8_t)
{
    entry.only({"type", "address", "size", "contents"});
    size_t size = kMaxSize;
    if (auto s = entry.optional("size"))
        size = s->unsigned_in(1, kMaxSize);
    std::vector<uint8_t> contents;
    if (auto c = entry.optional("contents")) {
        contents = c->bytes();
        if (contents.size() > size)
            c->fail("holds " + std::to_string(contents.size()) + " bytes, more than the size " + std::to_string(size));
    }
    return std::make_unique<Eeprom>(size, contents);
}

bool Eeprom::write(std::span<const uint8_t> data)
{
    if (data.empty())
        return true;  // the address alone: acknowledged, nothing changes
    pointer_ = static_cast<uint8_t>(data[0] % memory_.size());
    for (uint8_t byte : data.subspan(1)) {
        memory_[pointer_] = byte;
        advance();
    }
    return true;
}

bool Eeprom::read(std::span<uint8_t> out)
{
    for (uint8_t& byte : out) {
        byte = memory_[pointer_];
        advance();
    }
    return true;
}

std::unique_ptr<I2cDevice> FixedBytes::from_json(const Field& entry, const Context&, const std::string&, uint8_t)
{
    entry.only({"type", "address", "contents"});
    return std::make_unique<FixedBytes>(entry["contents"].bytes());
}

bool FixedBytes::read(std::span<uint8_t> out)
{
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = i < contents_.size() ? contents_[i] : 0xFF;
    return true;
}

}  // namespace sim
