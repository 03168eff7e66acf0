// SPDX-License-Identifier: MIT
// A read whose answer was lost on a road that can lose one after the BMC
// carried out the request (the network road): the read has moved the
// device's pointer, so it is not sent again alone. What it belonged to is
// redone whole: the device's last pointer write and the reads since, each
// as it was made (with its mux switch), then the read. Per 7-bit address,
// whatever bus byte reached the device: the read-only pointer test sets the
// pointer through one bus byte and reads through another. Not on the other
// roads, whose reads are sent again as they always were.
#pragma once

#include "../common/types.h"

// Every I2C read and write made through i2c.h, as it is made.
void NoteI2cTransfer(bool write, INT8U i2c_addr, const INT8U* bytes, INT8U num_bytes, unsigned char busID);
enum RedoResult { REDONE, REDO_FAILED, REDO_IMPOSSIBLE };
// Sends again, in their order, the pointer write and the reads before the
// read at `i2c_addr` whose answer was lost; their answers are not looked
// at. REDO_FAILED when one of them failed (it may be tried again);
// REDO_IMPOSSIBLE when the reads since the pointer write were too many to
// keep, or while a redo is under way: the read then fails.
// The transfers are the caller's (i2c.cpp passes its own read and write),
// so that this bookkeeping calls nothing above it.
using I2cWrite = int (*)(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char busID);
using I2cRead = int (*)(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char busID);
RedoResult RedoBeforeLostRead(INT8U i2c_addr, I2cWrite write, I2cRead read);
// How often a read is tried when its answers are lost.
int LostReadAttempts();
