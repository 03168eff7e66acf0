// SPDX-License-Identifier: MIT
// The one request/response exchange with the BMC, on the road discovery
// opened: the driver's device node or the KCS ports.
#pragma once

#include "../common/types.h"

// 1 with the response (NetFn/LUN, command, completion code, data) in
// `recvptr` and its length in `*recv_buffer_length`; 0 on any failure.
INT8U Kcs_Read_After_Write(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length);

// The last exchange failed because its answer was lost after the BMC may
// have carried out the request (the network road, for a request that is
// sent once): 0 on every other road and for every other failure.
extern INT8U ExchangeAnswerLost;
