// SPDX-License-Identifier: MIT
// The device tables the scan fills: the controllers of the pass
// (ChipInfo, one record per backplane number), their QB4083C readings, the
// run-wide table over every BMC, and those found beyond the sixteenth.
// Every mode reads them; only the scan writes them (the upgrade writes
// `Updated`).
#pragma once

#include "../common/types.h"

extern structChipInfo ChipInfo[MAX_CHIPS];
extern structChipInfo QB4083CChipInfo[MAX_CHIPS];
extern structChipInfo TotalChipInfo[MAX_CHIPS];
extern INT8U ChipsFound;
extern unsigned char TotalChipCounter;
extern unsigned char FoundQB4083C;
// The controllers the last scan found after ChipInfo was full: dumped and
// marked, never upgraded; kept here only so that --plan can name them.
extern structChipInfo BeyondTableChipInfo[MAX_CHIPS];
extern INT8U ChipsBeyondTable;
