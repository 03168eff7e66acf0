// SPDX-License-Identifier: MIT
// The Linux IPMI driver's road: one BMC per device node, /dev/ipmi0 to
// /dev/ipmi3 (the first also as /dev/ipmidev/0), each request sent, waited
// for and received through it. The modules are loaded by discovery.
#pragma once

#include "../../common/types.h"

// Opens the device node of BMC `index` (0..3): the descriptor, or -1.
int DriverRoad_OpenNode(int index);
// Closes the node `fd` holds, if any, before it is replaced.
void DriverRoad_SetFd(int descriptor);
// Counts the BMCs behind the driver into FoundBmc.
void DriverRoad_Count();
// Opens the BMC after the last one opened so far.
void DriverRoad_OpenNext();
// One request: 1 with the answer, 0 when the driver refused it or did not
// answer in time (said).
INT8U DriverRoad_Exchange(const INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length);
