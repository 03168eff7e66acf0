// SPDX-License-Identifier: MIT
#include "devices.h"

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

// The "type" names of the machine file.
const DeviceType kDeviceTypes[] = {
    {"qb40xx", &Controller::from_json},
    {"mux", &Mux::from_json},
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
