// SPDX-License-Identifier: MIT
#include "device_table.h"

structChipInfo ChipInfo[MAX_CHIPS];
structChipInfo QB4083CChipInfo[MAX_CHIPS];
structChipInfo TotalChipInfo[MAX_CHIPS];
INT8U ChipsFound = 0;
unsigned char TotalChipCounter = 0;
unsigned char FoundQB4083C = 0;
structChipInfo BeyondTableChipInfo[MAX_CHIPS];
INT8U ChipsBeyondTable = 0;
