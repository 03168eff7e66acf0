// SPDX-License-Identifier: MIT
// I2C through the BMC: every read or write is one Master Write-Read request,
// with the mux in front of the target switched first where -ms asks.
// Addresses are 7-bit here.
#pragma once

#include "../common/types.h"
#include "master_write_read.h"

int i2c_master_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char busID);
int i2c_master_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char busID);
