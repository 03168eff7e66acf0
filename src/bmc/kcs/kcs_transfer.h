// SPDX-License-Identifier: MIT
// KCS port transfer: one request into the BMC and one response out of it
// through the data and command/status ports of the pair discovery chose,
// with the pausing port accesses and the status waits below them.
#pragma once

#include "../../common/types.h"

typedef INT32U TIMER;  // microseconds of the wall clock, modulo 2^32

#define KCS_TIMEOUT_TICKS 72  // 72 ticks of 55 ms: 3.96 s

// What a transfer gives back.
#define KCS_DONE 0
#define KCS_WRONG_STATE 1  // the interface was not in the state the step needs
#define KCS_TIMED_OUT 2    // a status bit did not come in time

INT8U qb_inp(unsigned int Port);
INT8U qb_outp(unsigned int Port, INT8U Val);
INT16S timeout(TIMER* timer, INT16U tick);
INT16S WaitOBFSet(INT16U thetimeout);
INT16S WaitIBFClear(INT16U thetimeout);
INT16S Kcs_Write(INT8U* msgBuf, INT16U length);  // KCS_DONE, KCS_WRONG_STATE or KCS_TIMED_OUT
INT16S Kcs_Read(INT8U* msgBuf, INT8U* msgLen);   // the same
