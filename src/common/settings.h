// SPDX-License-Identifier: MIT
// The run-wide settings: what the command line asks of the run, written
// only while it is parsed (main/options.cpp), except where noted. Plain
// globals with fixed sizes and fixed defaults; every folder may read them.
#pragma once

#include "types.h"

extern unsigned char CMDL_Help;
extern unsigned char CMDL_FilenameSpecified;
extern unsigned char FrmUpgSet;
extern char BinFilename[255];
extern unsigned char CMDL_QuietMode;
extern unsigned char CMDL_UnconditionalUpgrade;
extern unsigned char CMDL_DirectIO;
extern unsigned char CMDL_VerboseLog;
extern unsigned char CMDL_AppendLogFile;  // also turned on by the run flow
extern unsigned char CMDL_ContinousUpgrade;
extern unsigned long UpgradeMax;
extern unsigned long CMDL_ContinousUpgradeDelay;  // seconds
extern unsigned char CMDL_BusIDRange;
extern unsigned char ScanBusID_First;
extern unsigned char ScanBusID_Last;
extern unsigned char CMDL_GetI2CdeviceData;
extern unsigned char VPDaddress;
extern unsigned char VPD_BYTEStoREAD;
extern unsigned char CMDL_MuxChannelRange;
extern unsigned char CMDL_ScanChannels;
extern unsigned char BusIDchannelFirst;
extern unsigned char BusIDchannelLast;
extern unsigned char CMDL_MuxAddress;
extern unsigned char MUXaddress;
extern unsigned char CMDL_SendMuxSwitchingCommands;
extern unsigned char ScanC0thruC6;
extern unsigned char CMDL_DiagnosticMode;
extern unsigned char CMDL_LEDcycling;

// The image's family as the file name names it (main/image.cpp checks the
// name): its text ("4073" .. "4083C"), the chip ID the image is for, and
// whether it was taken from the file's own name (else from the whole path).
extern char ImageFileName[6];
extern INT8U ChipIDshouldbe;
extern unsigned char ImageFamilyFromBaseName;

extern unsigned char CMDL_Strict;  // --strict: an exit status of the whole run
#define REPORT_FILENAME_SIZE 4096
extern char ReportFilename[REPORT_FILENAME_SIZE];  // --report FILE; "" when no report is asked for
// --expect N: the controllers the run must find over all its BMCs; 0 when not asked.
#define MAX_EXPECTED_CONTROLLERS (4 * MAX_CHIPS)  // four BMCs, each with a full device table
extern unsigned char CMDL_ExpectedControllers;
extern char ExpectedImageSha256[2 * 32 + 1];       // --image-sha256 HEX, in lower case; "" when not given
extern unsigned char CMDL_Plan;  // --plan: say what the upgrade would do, and write nothing
// --read-only: no register, LED or EEPROM byte of any device is written; the
// requests carry only the register or EEPROM address to read from, and with
// -ms the mux's channel selection (the mux put back as it was found).
extern unsigned char CMDL_ReadOnly;
extern unsigned char CMDL_HelpAll;  // --help-all: the help screen and every option beyond it
// --metrics FILE: Prometheus metrics of the run for the node exporter; "" when not asked for.
#define METRICS_FILENAME_SIZE 4096
extern char MetricsFilename[METRICS_FILENAME_SIZE];

// --capture FILE: the run recorded at the seam (capture/).
#define CAPTURE_FILENAME_SIZE 4096
extern char CaptureFilename[CAPTURE_FILENAME_SIZE];  // "" when no capture is asked for
extern unsigned char CMDL_CaptureRedactVpd;          // --capture-redact vpd
extern unsigned char CMDL_CaptureRedactHost;         // --capture-redact host

// --lan HOST[:PORT] (up to four times, one BMC each) and how to reach them:
// the network road (bmc/lan/). No BMC of the network road without --lan.
#define LAN_MAX_BMCS 4
#define LAN_HOST_SIZE 256
#define LAN_DEFAULT_PORT 623
extern unsigned char LanBmcCount;
extern char LanHosts[LAN_MAX_BMCS][LAN_HOST_SIZE];  // a name or an address (IPv6 without its brackets)
extern INT16U LanPorts[LAN_MAX_BMCS];
#define LAN_USER_SIZE 17  // an IPMI user name holds 16 bytes
extern char LanUser[LAN_USER_SIZE];             // --lan-user NAME; "" is the anonymous user
#define LAN_FILENAME_SIZE 4096
extern char LanPasswordFile[LAN_FILENAME_SIZE];  // --lan-password-file FILE; "": IPMI_PASSWORD, or none
extern char LanKgFile[LAN_FILENAME_SIZE];        // --lan-kg-file FILE; "": no K_G
extern unsigned char CMDL_LanCipher;             // --lan-cipher 17 or 3; 0: 17 if offered, else 3
extern unsigned char CMDL_LanPrivilege;          // --lan-privilege: 4 administrator, 3 operator
extern INT16U CMDL_LanTimeoutMs;                 // --lan-timeout MS: the wait for one answer
extern unsigned char CMDL_LanRetries;            // --lan-retries N: sendings of one request after the first
