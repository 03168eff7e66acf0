// SPDX-License-Identifier: MIT
// LED commands over the found backplanes, and the LEDs the pass lit.
#pragma once

#include "../common/types.h"

void EnableLampTest(INT8U BackplaneNum);
void TurnOnAllStatusLEDs();
void TurnOnAllActivityLEDs();
void TurnOffAllLEDs();
void DisableLampTest(INT8U BackplaneNum);
// A write of `value` to the LED register `reg` (the found mark, the
// summary's clearing, the cycling): every LED write goes through it, so
// that the pass knows the LEDs it lit. A run that a signal stops puts out
// those still lit (PutOutLitLeds); a pass forgets them when it closes its BMC.
void WriteLed(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U value);
void PutOutLitLeds();
void ForgetLitLeds();
