// SPDX-License-Identifier: MIT
// The KCS road (-dio): the BMC's KCS system interface at one of the known
// port pairs, each request written and its answer read through the ports.
#pragma once

#include "../../common/types.h"

// Finds the interface (counting it in scan mode): 1 when one answers.
INT8U KcsRoad_Open();
// One request: a failed write is written again, a failed read read again
// (the request is in the BMC already), up to three times each.
INT8U KcsRoad_Exchange(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length);
