// SPDX-License-Identifier: MIT
// The devices of every BMC of the run, after the last pass.
#pragma once

void PrintTotalSummary();
