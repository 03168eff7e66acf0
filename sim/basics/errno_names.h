// SPDX-License-Identifier: MIT
// errno values by name, as machine files and captures write them ("EIO").
#pragma once

#include <string>

#include "json_field.h"

namespace sim {

// The name of `value` ("EIO"), or "E?" when it has none here.
const char* errno_name(int value);

// A name from the table or a number (1 to 4095); refused otherwise.
int parse_errno(const Field& f);

}  // namespace sim
