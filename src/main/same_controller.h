// SPDX-License-Identifier: MIT
// --read-only: telling a controller one scan reaches a second time.
#pragma once

#include "../common/types.h"

// Whether the controller just identified at `busID`/`i2c_addr` is one the
// scan has already recorded, reached again on another path; told without
// writing anything but register numbers.
bool ReachedBeforeInScan(INT8U busID, INT8U i2c_addr, INT8U ChipID);
