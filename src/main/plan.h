// SPDX-License-Identifier: MIT
// --plan: what the upgrade of the controllers the scan has just found would
// do, one line each, with no flash command; then, at the end of the run,
// the plan's code and its closing line.
#pragma once

void PlanUpgradeOfAllFound(int bmc);
void PlanFoundNoController();  // a pass's scan found none
int PlanRunCode();
void PrintPlanEnd(int code);
