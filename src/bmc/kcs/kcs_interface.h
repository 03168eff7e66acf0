// SPDX-License-Identifier: MIT
// The KCS system interface as the IPMI description defines it: the bits of
// its status register, its states and the control codes the host writes.
// The transfer (kcs_transfer.cpp) drives it; the recorder (capture/) reads
// the same accesses back into transfers.
#pragma once

// Status register.
#define KCS_OBF 0x01             // output buffer full: a byte for the host
#define KCS_IBF 0x02             // input buffer full: the BMC has not taken the last write
#define KCS_STATE_MASK 0xC0      // the interface's state, bits 7 and 6
#define KCS_IDLE_STATE 0x00
#define KCS_READ_STATE 0x40
#define KCS_WRITE_STATE 0x80
#define KCS_ERROR_STATE 0xC0

// Control codes.
#define KCS_GET_STATUS_ABORT 0x60
#define KCS_WRITE_START 0x61
#define KCS_WRITE_END 0x62
#define KCS_READ 0x68

// Nothing decodes an absent interface's port: the bus floats high.
#define KCS_NO_DEVICE 0xFF
