// SPDX-License-Identifier: MIT
// The device scan and the device tables it fills.
#pragma once

#include "../common/types.h"

extern structChipInfo ChipInfo[MAX_CHIPS];
extern structChipInfo QB4083CChipInfo[MAX_CHIPS];
extern structChipInfo TotalChipInfo[MAX_CHIPS];
extern INT8U ChipsFound;
extern unsigned char TotalChipCounter;
extern unsigned char FoundQB4083C;
extern char ScanChannels;
extern INT8U BusIDchannel;
extern INT8U i2c_addr_ScanLast;
// The controllers the last scan found after ChipInfo was full: dumped and
// marked, never upgraded; kept here only so that --plan can name them.
extern structChipInfo BeyondTableChipInfo[MAX_CHIPS];
extern INT8U ChipsBeyondTable;

int ScanForQBdevices();
// Records the controller just identified at the next index of ChipInfo (or,
// with the table full, only dumps and marks it). The scan's probe calls it;
// tests call it to reach the QB4083C branches, which no probe rule selects.
void RecordQBdevice(INT8U busID, INT8U i2c_addr, INT8U ChipID, const char* name, int MUXretval);
