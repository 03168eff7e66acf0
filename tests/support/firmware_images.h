// SPDX-License-Identifier: MIT
// Firmware image files for tests: the byte pattern sim/images/make-image.sh
// writes, with the version bytes where image_version.h says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/devices/image_version.h"

namespace qbtest {

struct ImageVersion {
    uint8_t fw_id = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
};

inline std::string make_image(size_t size, ImageVersion version = {})
{
    std::string image(size, '\0');
    for (size_t n = 0; n < size; n++)
        image[n] = static_cast<char>(n * 13 + 7 + (n >> 8));
    const uint8_t bytes[sim::kImageVersionBytes] = {version.fw_id, version.major, version.minor};
    for (size_t i = 0; i < sim::kImageVersionBytes && sim::kImageVersionOffset + i < size; i++)
        image[sim::kImageVersionOffset + i] = static_cast<char>(bytes[i]);
    return image;
}

}  // namespace qbtest
