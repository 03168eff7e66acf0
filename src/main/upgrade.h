// SPDX-License-Identifier: MIT
// The upgrade of all controllers the scan has just found.
#pragma once

#include "../common/types.h"

// 1 every controller upgraded (or already on the image's version), 2 the
// operator did not confirm a QB4083C image, 0 otherwise.
int UpgradeFirmwareOnAllFoundThread();
// The checks the upgrade makes of one record before it flashes it.
bool IsKnownChip(INT8U ChipID);                // a chip ID the upgrade acts on at all
bool ImageIsForChip(INT8U ChipID);             // the image's family takes it
bool UpgradeAsksFirst();                       // a QB4083C image, to be confirmed by the operator
bool RunsImageVersion(const structChipInfo& chip);
