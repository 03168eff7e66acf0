// SPDX-License-Identifier: MIT
// Finding and opening the BMC: the driver's device node, or with -dio the
// KCS interface at one of the known port pairs. What was opened is the
// road every exchange takes (exchange.h).
#pragma once

#include "../common/bmc_state.h"
#include "../common/types.h"

INT8U Kcs_Open();
void Kcs_Close();
// Why the BMC of the pass was lost in the middle of it, or null (only the
// network road loses one so: the others fail request by request).
const char* Kcs_RoadLost();
// Every ending the process controls: what a road keeps open beyond a pass
// (the network road's session, its secrets) is closed.
void CloseBmcRoads();
