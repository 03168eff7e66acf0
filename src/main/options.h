// SPDX-License-Identifier: MIT
// The command line: parsed into the run-wide settings (common/settings.h),
// written to the log with its conflicts refused, and the help screen.
#pragma once

#include "../common/types.h"

void ParseCommandLine(int argc, char** argv);  // ends the process with 5 on an error
void LogCommandLineInfo(int argc, char** argv);
void DisplayCommandLineHelp();
