// SPDX-License-Identifier: MIT
#include "mux.h"

namespace sim {

Mux::Mux(Context context, std::string name) : context_(context), name_(std::move(name)) {}

std::unique_ptr<Mux> Mux::from_json(const Field& entry, const Context& context, const std::string& where, uint8_t addr8)
{
    entry.only({"type", "address", "channels", "mask"});
    auto mux = std::make_unique<Mux>(context, device_name(where, addr8));
    // Switched on by whoever used it before the tool: not traced as a change.
    if (auto mask = entry.optional("mask"))
        mux->mask_ = mask->byte();
    return mux;
}

void Mux::add(unsigned channel, uint8_t addr7, std::unique_ptr<I2cDevice> device)
{
    channels_.at(channel - 1)[addr7] = std::move(device);
}

bool Mux::write(std::span<const uint8_t> data)
{
    // Every byte written is taken as the mask; the last one stays.
    for (uint8_t byte : data)
        set_mask(byte);
    return true;
}

bool Mux::read(std::span<uint8_t> out)
{
    for (uint8_t& byte : out)
        byte = mask_;
    return true;
}

I2cDevice* Mux::find(uint8_t addr7)
{
    // Two switched-on channels with a device at the same address would both
    // answer on a real bus; the lower channel wins here.
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        if (!(mask_ & (1u << ch)))
            continue;
        auto& devices = channels_[ch];
        auto it = devices.find(addr7);
        if (it != devices.end())
            return it->second.get();
        for (auto& [addr, device] : devices)
            if (auto* inner = dynamic_cast<I2cMux*>(device.get()))
                if (I2cDevice* found = inner->find(addr7))
                    return found;
    }
    return nullptr;
}

void Mux::select_channel(unsigned channel)
{
    set_mask(channel >= 1 && channel <= kChannels ? static_cast<uint8_t>(1u << (channel - 1)) : 0);
}

void Mux::set_mask(uint8_t mask)
{
    if (mask == mask_)
        return;
    mask_ = mask;
    context_.trace.line("mux %s channels %02X", name_.c_str(), mask_);
}

}  // namespace sim
