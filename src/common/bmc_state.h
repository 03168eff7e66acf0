// SPDX-License-Identifier: MIT
// The BMC the run has open, as discovery (bmc/discovery.cpp) opened it and
// every road reads it: written by discovery and the road that opens the
// BMC of a pass, read by the exchange, the roads and the run's report.
#pragma once

#include "types.h"

extern int fd;                   // the open device node, or -1
extern int OpenIPMIDriverLoaded; // 1: the road is the driver; 0: the KCS ports (or the network)
extern INT16U ISA_SMS_DATA;      // the KCS port pair in use
extern INT16U ISA_SMS_CMD_STATUS;
extern unsigned char ScanForBmc; // Kcs_Open only counts the BMCs into FoundBmc
extern unsigned char FoundBmc;
extern unsigned char FirstBmcOpen;
extern unsigned char SecondBmcOpen;
extern unsigned char ThirdBmcOpen;
extern unsigned char FourthBmcOpen;
extern const char* BmcNodePath;  // the device node opened last, for the run's report
