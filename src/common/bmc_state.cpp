// SPDX-License-Identifier: MIT
#include "bmc_state.h"

int fd = -1;
int OpenIPMIDriverLoaded = 0;
INT16U ISA_SMS_DATA = 0x0CA2;
INT16U ISA_SMS_CMD_STATUS = 0x0CA3;
unsigned char ScanForBmc = 0;
unsigned char FoundBmc = 0;
unsigned char FirstBmcOpen = 0;
unsigned char SecondBmcOpen = 0;
unsigned char ThirdBmcOpen = 0;
unsigned char FourthBmcOpen = 0;
const char* BmcNodePath = "";
