// SPDX-License-Identifier: MIT
// The run-wide settings and the defaults the run starts with.
#include "settings.h"

unsigned char CMDL_Help = 0;
unsigned char CMDL_FilenameSpecified = 0;
unsigned char FrmUpgSet = 0;
char BinFilename[255] = "";
unsigned char CMDL_QuietMode = 0;
unsigned char CMDL_UnconditionalUpgrade = 0;
unsigned char CMDL_DirectIO = 0;
unsigned char CMDL_VerboseLog = 0;
unsigned char CMDL_AppendLogFile = 0;
unsigned char CMDL_ContinousUpgrade = 0;
unsigned long UpgradeMax = 1;
unsigned long CMDL_ContinousUpgradeDelay = 0;
unsigned char CMDL_BusIDRange = 0;
unsigned char ScanBusID_First = 1;
unsigned char ScanBusID_Last = 0x0F;
unsigned char CMDL_GetI2CdeviceData = 0;
unsigned char VPDaddress = 0xA0;
unsigned char VPD_BYTEStoREAD = 0x52;
unsigned char CMDL_MuxChannelRange = 0;
unsigned char CMDL_ScanChannels = 0;
unsigned char BusIDchannelFirst = 2;
unsigned char BusIDchannelLast = 4;
unsigned char CMDL_MuxAddress = 0;
unsigned char MUXaddress = 0xE6;
unsigned char CMDL_SendMuxSwitchingCommands = 0;
unsigned char ScanC0thruC6 = 0;
unsigned char CMDL_DiagnosticMode = 0;
unsigned char CMDL_LEDcycling = 0;

char ImageFileName[6] = "";
INT8U ChipIDshouldbe = 0;
unsigned char ImageFamilyFromBaseName = 0;

unsigned char CMDL_Strict = 0;
char ReportFilename[REPORT_FILENAME_SIZE] = "";
unsigned char CMDL_ExpectedControllers = 0;
char ExpectedImageSha256[2 * 32 + 1] = "";
unsigned char CMDL_Plan = 0;
unsigned char CMDL_ReadOnly = 0;
unsigned char CMDL_HelpAll = 0;
char MetricsFilename[METRICS_FILENAME_SIZE] = "";

char CaptureFilename[CAPTURE_FILENAME_SIZE] = "";
unsigned char CMDL_CaptureRedactVpd = 0;
unsigned char CMDL_CaptureRedactHost = 0;

unsigned char LanBmcCount = 0;
char LanHosts[LAN_MAX_BMCS][LAN_HOST_SIZE] = {};
INT16U LanPorts[LAN_MAX_BMCS] = {};
char LanUser[LAN_USER_SIZE] = "";
char LanPasswordFile[LAN_FILENAME_SIZE] = "";
char LanKgFile[LAN_FILENAME_SIZE] = "";
unsigned char CMDL_LanCipher = 0;
unsigned char CMDL_LanPrivilege = 4;
INT16U CMDL_LanTimeoutMs = 300;
unsigned char CMDL_LanRetries = 4;
