// SPDX-License-Identifier: MIT
// LED commands over the found backplanes, and the LEDs the pass lit.
#pragma once

#include "../common/types.h"

void EnableLampTest(INT8U BackplaneNum);
void TurnOnAllStatusLEDs();
void TurnOnAllActivityLEDs();
void TurnOffAllLEDs();
void DisableLampTest(INT8U BackplaneNum);
// The LEDs the pass lit: every write to an LED register tells it before and
// after it is sent. A run that a signal stops puts out those still lit
// (PutOutLitLeds); a pass forgets them when it closes its BMC.
enum LedWriteStage { LED_WRITE_BEFORE, LED_WRITE_AFTER };
void NoteLedWrite(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U value, LedWriteStage stage);
void PutOutLitLeds();
void ForgetLitLeds();
