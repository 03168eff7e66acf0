// SPDX-License-Identifier: MIT
// I2C through the BMC: every read or write is one Master Write-Read request.
// Addresses are 7-bit here.
#pragma once

#include "../common/types.h"

int i2c_master_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char busID);
int i2c_master_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char busID);

// Completion code of the last response the I2C layer received, 0 when the
// last call got none; the scan tells a refused bus (0xCC) from other failures
// by it.
extern INT8U I2C_LastCompletionCode;
// Whether the last call handed its own request to the BMC (whatever came
// back): 0 when it gave up before, e.g. when its mux switch got no answer.
// An LED counts as put out only once the write that puts it out was sent.
extern INT8U I2C_LastRequestSent;
