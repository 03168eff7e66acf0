// SPDX-License-Identifier: MIT
// The network road's datagrams: one connected UDP socket to the BMC of the
// pass, through the seam, and the bounded wait for the next datagram.
#pragma once

#include <cstddef>

#include "../../common/types.h"

// Resolves `host` and connects a socket to it at `port`: null, or why not
// (the resolver's or the system's words).
const char* LanLink_Open(const char* host, INT16U port);
// Sends one datagram: false when the system refuses it.
bool LanLink_Send(const INT8U* datagram, size_t size);
// The next datagram that comes before `wait_us` microseconds have passed:
// its size, or 0 when none came. A signal does not shorten the wait.
size_t LanLink_Wait(INT8U* datagram, size_t capacity, long long wait_us);
void LanLink_Close();
bool LanLink_IsOpen();
// Microseconds of the machine's clock.
long long LanLink_Now();
