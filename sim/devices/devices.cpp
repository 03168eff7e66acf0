// SPDX-License-Identifier: MIT
#include "devices.h"

#include <cstdio>

#include "controller.h"
#include "eeprom.h"
#include "mux.h"
#include "register_bank.h"

namespace sim {

namespace {

// Builds one device from its entry; it sits at `where` under the 8-bit address `addr8`.
using DeviceFactory = std::unique_ptr<I2cDevice> (*)(const Field& entry, const Context& context,
                                                     const std::string& where, uint8_t addr8);

struct DeviceType {
    const char* type;
    DeviceFactory make;
};

// A mux with the devices of its channels, which sit at `where` + " mux 0xE6 ch N".
std::unique_ptr<I2cDevice> mux_from_json(const Field& entry, const Context& context, const std::string& where,
                                         uint8_t addr8)
{
    std::unique_ptr<Mux> mux = Mux::from_json(entry, context, where, addr8);
    if (auto channels = entry.optional("channels")) {
        channels->each_member([&](const std::string& key, const Field& devices) {
            auto channel = parse_unsigned(key);
            if (!channel || *channel < 1 || *channel > Mux::kChannels)
                devices.fail("a channel is numbered 1 to 8");
            char here[64];
            std::snprintf(here, sizeof here, " mux 0x%02X ch %u", addr8, static_cast<unsigned>(*channel));
            devices.each_item([&](const Field& device) {
                PlacedDevice placed = make_device(device, context, where + here);
                if (mux->channels()[*channel - 1].count(placed.addr7))
                    device["address"].fail("another device on this channel has this address");
                mux->add(static_cast<unsigned>(*channel), placed.addr7, std::move(placed.device));
            });
        });
    }
    return mux;
}

// The "type" names of the machine file.
const DeviceType kDeviceTypes[] = {
    {"qb40xx", &Controller::from_json},
    {"mux", &mux_from_json},
    {"eeprom", &Eeprom::from_json},
    {"bytes", &FixedBytes::from_json},
    {"registers", &RegisterBank::from_json},
};

}  // namespace

PlacedDevice make_device(const Field& entry, const Context& context, const std::string& where)
{
    Field type = entry["type"];
    std::string name = type.string();
    Field address = entry["address"];
    uint8_t addr8 = address.byte();
    if (addr8 & 1)
        address.fail("expected an 8-bit address, which is even (0xC0, not 0x60)");
    std::string known;
    for (const DeviceType& t : kDeviceTypes) {
        if (name == t.type)
            return {static_cast<uint8_t>(addr8 >> 1), t.make(entry, context, where, addr8)};
        known += known.empty() ? "" : ", ";
        known += t.type;
    }
    type.fail("unknown device type \"" + name + "\" (known: " + known + ")");
}

}  // namespace sim
