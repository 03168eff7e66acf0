// SPDX-License-Identifier: MIT
// The run-wide settings, for tests that parse command lines in the test
// process.
#pragma once

#include <string>

namespace qbtest {

// Puts the program's defaults back into the run-wide settings.
void restore_default_settings();

// The settings that now differ from the program's defaults, as "Name=value"
// words in a fixed order (names without their "CMDL_"); "" when none does.
std::string changed_settings();

}  // namespace qbtest
