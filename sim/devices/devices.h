// SPDX-License-Identifier: MIT
// Building the devices of a bus from the machine file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "../basics/context.h"
#include "i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

struct PlacedDevice {
    uint8_t addr7;  // the machine file gives 8-bit addresses (0xC0); buses use 7-bit ones
    std::unique_ptr<I2cDevice> device;
};

// One entry of a bus's "devices" list: {"type": "...", "address": "0x..", ...}.
// `where` names the place for trace lines, e.g. "bmc0 bus 0x01" or
// "bmc0 bus 0x03 mux 0xE6 ch 2"; the device adds its own address.
PlacedDevice make_device(const Field& entry, const Context& context, const std::string& where);

}  // namespace sim
