// SPDX-License-Identifier: MIT
// The names every part of the tool shares: the fixed-width integers, the
// attribute that has the compiler check printf-style messages, the run's
// return codes and the record of one found controller.
#pragma once

typedef unsigned char INT8U;
typedef unsigned short INT16U;
typedef short INT16S;
typedef unsigned int INT32U;

#define QB_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Return codes of the run (exit status).
enum {
    RC_OK = 0x00,
    RC_IMAGE_FILE = 0x01,
    RC_UPGRADE_ABORTED = 0x03,
    RC_UPGRADE_INCOMPLETE = 0x04,
    RC_COMMAND_LINE = 0x05,
    RC_DIAGNOSTICS_ABORTED = 0x06,
    // --strict: the run would end 0, but its log, report or capture could
    // not be written completely.
    RC_OUTPUT_LOST = 0x07,
    RC_NO_DEVICES = 0xAB,
    RC_BMC_OPEN_FAILED = 0xAC,
};

// One found controller, as the scan records it in the device tables
// (main/scan.h); the upgrade writes `Updated`.
struct structChipInfo {
    char ChipName[7];  // "QB4073S" fills all seven bytes, unterminated
    INT8U FW_ID0;
    INT8U FW_ID1;
    INT8U FW_ID2;
    INT8U ChipID;
    INT8U ChipRev;
    INT8U busID;
    INT8U ChannelNumber;
    INT8U i2c_addr;  // 8-bit form
    INT8U MUXaddress;
    INT8U MUXchannel;
    INT8U BusIDchannel;
    INT8U ConfigByte;
    INT8U Updated;  // written by the upgrade
};

// Records in each device table.
#define MAX_CHIPS 16
