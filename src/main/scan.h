// SPDX-License-Identifier: MIT
// The device scan, which fills the device tables (device_table.h).
#pragma once

#include "../common/types.h"
#include "device_table.h"

extern char ScanChannels;
extern INT8U BusIDchannel;
extern INT8U i2c_addr_ScanLast;

int ScanForQBdevices();
// Records the controller just identified at the next index of ChipInfo (or,
// with the table full, only dumps and marks it). The scan's probe calls it;
// tests call it to reach the QB4083C branches, which no probe rule selects.
void RecordQBdevice(INT8U busID, INT8U i2c_addr, INT8U ChipID, const char* name, int MUXretval);
