// SPDX-License-Identifier: MIT
// Programming the loaded image into one controller.
#pragma once

#include "../common/types.h"

// The QB4083C command set: set by the upgrade once the operator confirmed a "4083" image.
extern INT8U QB4083CUpgrade;
// 1 when the controller was programmed and came back; 0 otherwise.
int FlashFirmwareOverI2C(INT8U ChipID, INT8U i2c_addr, INT8U busID, INT8U MUXaddress, INT8U MUXchannel,
                         INT8U ProgInd, INT8U ProgTotal);
