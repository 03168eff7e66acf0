// SPDX-License-Identifier: MIT
// The device summary after every scan, the continuous-mode delay and the
// LED cycling (-z).
#pragma once

void DisplaySummary();
