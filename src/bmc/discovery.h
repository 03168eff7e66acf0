// SPDX-License-Identifier: MIT
// Finding and opening the BMC: the driver's device node, or with -dio the
// KCS interface at one of the known port pairs. What was opened is the
// road every exchange takes (exchange.h).
#pragma once

#include "../common/types.h"

extern int fd;                   // the open device node, or -1
extern int OpenIPMIDriverLoaded; // 1: the road is the driver; 0: the KCS ports
extern INT16U ISA_SMS_DATA;      // the KCS port pair in use
extern INT16U ISA_SMS_CMD_STATUS;
extern unsigned char ScanForBmc; // Kcs_Open only counts the BMCs into FoundBmc
extern unsigned char FoundBmc;
extern unsigned char FirstBmcOpen;
extern unsigned char SecondBmcOpen;
extern unsigned char ThirdBmcOpen;
extern unsigned char FourthBmcOpen;
extern const char* BmcNodePath;  // the device node opened last, for the run's report

INT8U Kcs_Open();
void Kcs_Close();
