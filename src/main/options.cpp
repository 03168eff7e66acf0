// PLACEHOLDER until the command line lands: the settings with their defaults.
#include <cstdarg>
#include <cstdlib>

#include "qb40tool.h"

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

void ParseCommandLine(int, char**) {}
void LogCommandLineInfo(int, char**) {}
void DisplayCommandLineHelp() {}

void CommandLineError(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    exit(RC_COMMAND_LINE);
}
