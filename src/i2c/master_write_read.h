// SPDX-License-Identifier: MIT
// One I2C read or write on a bus as it stands: the Master Write-Read request
// carried by the exchange, its completion code judged, bus trouble retried.
// No mux is switched here (i2c.h switches one first where -ms asks). Every
// read and write of the tool comes through these two.
#pragma once

#include "../common/types.h"

// The bytes read or written, 0 on any failure. Addresses are 7-bit; `bus`
// is the bus byte the request carries. A read whose caller redoes what it
// belongs to (`redone_by_caller`) is not sent again when its answer is
// lost on a road that can lose one after the BMC carried it out: it fails
// with I2C_LastAnswerLost set.
int mwr_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char bus, bool redone_by_caller = false);
int mwr_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char bus);

// Completion code of the last response the I2C layer received, 0 when the
// last call got none; the scan tells a refused bus (0xCC) from other failures
// by it.
extern INT8U I2C_LastCompletionCode;
// Whether the last call handed its own request to the BMC (whatever came
// back): 0 when it gave up before, e.g. when its mux switch got no answer.
// An LED counts as put out only once the write that puts it out was sent.
extern INT8U I2C_LastRequestSent;
// The last read's answer was lost after the BMC may have carried it out.
extern INT8U I2C_LastAnswerLost;

#define NETFN_APP_LUN0 0x18
#define CMD_MASTER_WRITE_READ 0x52
#define MWR_HEADER 5        // NetFn/LUN, command, bus, address, read count
#define MWR_MAX_WRITE 123   // bytes one write request holds
