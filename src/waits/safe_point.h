// SPDX-License-Identifier: MIT
// Safe points: the places where a signal the run has received may stop it,
// between two exchanges with the BMC and in every wait. What a signal does
// there is the run flow's to say (main/signals.cpp installs its check when
// it installs the handlers); until then a safe point does nothing, since no
// handler of the run can have recorded a signal.
#pragma once

// Installs the check every safe point makes.
void SetSafePointCheck(void (*check)());

// A safe point: the installed check, if any.
void SafePoint();
