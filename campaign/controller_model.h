// SPDX-License-Identifier: MIT
// What the campaign knows of a machine's controllers beyond its machine
// file: where each one sits and what it runs at power-on.
#pragma once

#include <array>
#include <cstdint>

namespace campaign {

using Version = std::array<uint8_t, 3>;  // an image's version bytes (sim/devices/image_version.h)

// A controller of the machine. The generator gives every controller of a
// machine its own bus number (low nibble) and address, so a device-table
// record's bus ID and address name exactly one of them.
struct ControllerModel {
    int bmc = 0;
    uint8_t bus = 0;      // bus key in the machine file (0x00 to 0x0F)
    uint8_t address = 0;  // 8-bit address
    uint8_t chip_id = 0;
    Version firmware{};  // running at power-on
};

}  // namespace campaign
