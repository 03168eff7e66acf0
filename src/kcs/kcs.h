// SPDX-License-Identifier: MIT
// BMC access: discovery and open, KCS port transfer, and the one
// request/response exchange with the BMC.
#pragma once

#include "../main/qb40tool.h"

typedef INT32U TIMER;  // microseconds of the wall clock, modulo 2^32

#define KCS_TIMEOUT_TICKS 72  // 72 ticks of 55 ms: 3.96 s

// Discovery and open (discovery.cpp).
extern int fd;
extern int OpenIPMIDriverLoaded;
extern INT16U ISA_SMS_DATA;
extern INT16U ISA_SMS_CMD_STATUS;
extern unsigned char ScanForBmc;
extern unsigned char FoundBmc;
extern unsigned char FirstBmcOpen;
extern unsigned char SecondBmcOpen;
extern unsigned char ThirdBmcOpen;
extern unsigned char FourthBmcOpen;
extern const char* BmcNodePath;  // the device node opened last, for the run's report

INT8U Kcs_Open();
void Kcs_Close();

// Port transfer and time base (kcs_transfer.cpp).
INT8U qb_inp(unsigned int Port);
INT8U qb_outp(unsigned int Port, INT8U Val);
void qb_delay(unsigned int Val);
void timedelay(unsigned int tickToDelay);
INT16S timeout(TIMER* timer, INT16U tick);
INT16S WaitOBFSet(INT16U thetimeout);
INT16S WaitIBFClear(INT16U thetimeout);
INT16S Kcs_Write(INT8U* msgBuf, INT16U length);
INT16S Kcs_Read(INT8U* msgBuf, INT8U* msgLen);

// Request/response exchange (exchange.cpp).
INT8U Kcs_Read_After_Write(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length);
