// SPDX-License-Identifier: MIT
// Where a firmware image keeps the version it installs: the FW ID, then the
// major and minor revision, which the controller's version registers read
// once the image runs. The simulated controller, the campaign and the tests
// make and read images by it.
#pragma once

#include <cstddef>

namespace sim {

inline constexpr size_t kImageVersionOffset = 51;
inline constexpr size_t kImageVersionBytes = 3;

}  // namespace sim
