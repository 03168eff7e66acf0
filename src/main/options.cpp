// SPDX-License-Identifier: MIT
// The command line: the parser that fills the run-wide settings
// (common/settings.h), the command-line report with its conflict checks,
// and the help screen.
//
// Keys are found by substring search, in the fixed order of kOptionKeys: a
// key may stand anywhere in an argument, and its value part is whatever
// follows the first place where it occurs. The order is part of the
// interface ("-cd" before "-c", "-dio" before "-d").
#include "options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "image.h"
#include "whole_options.h"

namespace {

// `-c` without a usable count: as good as endless.
constexpr unsigned long kEndlessCycles = 100000;

enum OptionAction {
    OPT_FILE,
    OPT_QUIET,
    OPT_DIRECT_IO,
    OPT_VERBOSE_LOG,
    OPT_APPEND_LOG,
    OPT_CYCLE_DELAY,
    OPT_CONTINUOUS,
    OPT_BUS_RANGE,
    OPT_VPD,
    OPT_MUX_CHANNELS,
    OPT_SCAN_CHANNELS,
    OPT_MUX_ADDRESS,
    OPT_UNCONDITIONAL,
    OPT_MUX_SWITCHING,
    OPT_ALL_ADDRESSES,
    OPT_DIAGNOSTICS,
    OPT_LED_CYCLING,
    OPT_HELP,
};

struct OptionKey {
    const char* key;
    OptionAction action;
};

// Tested in this order; the first key that takes an argument decides it.
constexpr OptionKey kOptionKeys[] = {
    {"-f", OPT_FILE},
    {"-q", OPT_QUIET},
    {"-dio", OPT_DIRECT_IO},
    {"-vl", OPT_VERBOSE_LOG},
    {"-a", OPT_APPEND_LOG},
    {"-cd", OPT_CYCLE_DELAY},
    {"-c", OPT_CONTINUOUS},
    {"-b", OPT_BUS_RANGE},
    {"-vpd", OPT_VPD},
    {"-mc", OPT_MUX_CHANNELS},
    {"-sc", OPT_SCAN_CHANNELS},
    {"-ma", OPT_MUX_ADDRESS},
    {"-u", OPT_UNCONDITIONAL},
    {"-ms", OPT_MUX_SWITCHING},
    {"-i", OPT_ALL_ADDRESSES},
    {"-d", OPT_DIAGNOSTICS},
    {"-z", OPT_LED_CYCLING},
    {"-?", OPT_HELP},
    {"-h", OPT_HELP},
    {"/?", OPT_HELP},
    {"/h", OPT_HELP},
    {"--help", OPT_HELP},
};

constexpr const char* kHelpLines[] = {
    "\n     -f file           Firmware file",
    "\n     -q                Suppress all screen output (quiet mode)",
    "\n     -vl               Verbose log file",
    "\n     -a                Append log-file (only in Continous Mode)",
    "\n     -c                Continous Mode, upgrades same firmware continously",
    "\n     -c[NUM]           Continous Mode, upgrades [NUM] times",
    "\n     -cd[NUM]          Continous Mode Delay (in seconds)",
    "\n     -b[NUM][NUM]      BusID scan range [NUM] must be between 1-9",
    "\n                       (defaults to -b0f)",
    "\n     -vpd              Displays VPD data-structure of an EEPROM",
    "\n                       Default address is 0xA0 and lenght of 0x52(82)",
    "\n     -vpd[ADR]         Displays VPD at address [ADR]",
    "\n     -vpd[ADR][LEN]    Displays VPD at address [ADR] of lenght [LEN]",
    "\n                       The data is read in 16-byte chunks",
    "\n     -mc[NUM][NUM]     Mux Channel scan range [NUM] must be between 1-9",
    "\n                       (defaults to -mc24, requires -ma)",
    "\n     -ma[NUM]          Enables Mux support and specifies Mux Address [NUM]",
    "\n                       (for example: -mae6 specifies mux at slave addr 0xE6)",
    "\n     -sc[NUM][NUM]     Scan Channel. This is the upper nibble of the BusID",
    "\n                       (for example: -b88 -sc13 will scan busIDs 18, 28 and 38",
    "\n     -u                Unconditional Upgrade, does not ask to confirm",
    "\n     -i                Scan Addresses 0xc0 thru 0xc6",
    "\n     -s[NUM]\t       Scans Special BusID [NUM] only, i.e. -s20 scans BusID 20",
    "\n     -d                Diagnostic Mode, blinks LEDs and reads mated status",
    "\n     -z                After scan, LEDs will cycle through the backplanes in ",
    "\n                       sequence: ALL,0,1,2,.. then back to ALL again.",
    "\n     -?, -h, --help    Displays this screen",
};

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

// Exactly two hexadecimal digits and nothing after them.
bool IsTwoHexDigits(const char* value)
{
    return IsHexDigit(value[0]) && IsHexDigit(value[1]) && value[2] == '\0';
}

// The two digits read as one byte, the first one the high nibble.
unsigned char HexByte(const char* value)
{
    return static_cast<unsigned char>(HexDigitValue(value[0]) << 4 | HexDigitValue(value[1]));
}

// Two hexadecimal digits naming a range in either order: stored lowest first.
bool ParseHexRange(const char* value, unsigned char* first, unsigned char* last)
{
    if (!IsTwoHexDigits(value))
        return false;
    int a = HexDigitValue(value[0]), b = HexDigitValue(value[1]);
    *first = static_cast<unsigned char>(a < b ? a : b);
    *last = static_cast<unsigned char>(a < b ? b : a);
    return true;
}

bool StartsWithDigit1to9(const char* value) { return value[0] >= '1' && value[0] <= '9'; }

// The decimal number at the start of `value`, read up to the first non-digit.
unsigned long LeadingNumber(const char* value) { return strtoul(value, nullptr, 10); }

// An accepted image file name goes into BinFilename whole, or not at all.
void TakeImageFileName(const char* name)
{
    if (strlen(name) >= sizeof BinFilename)
        CommandLineError("ERROR: Filename too long (max 254 characters) [RETURN CODE:0x%02x]", RC_COMMAND_LINE);
    strcpy(BinFilename, name);
    CMDL_FilenameSpecified = 1;
    CheckImageFileName();
}

// The keys that only turn settings on: each sets one flag, or two.
struct PlainFlag {
    OptionAction action;
    unsigned char* setting;
    unsigned char* also;  // or null
};
const PlainFlag kPlainFlags[] = {
    {OPT_QUIET, &CMDL_QuietMode, &CMDL_UnconditionalUpgrade},
    {OPT_DIRECT_IO, &CMDL_DirectIO, nullptr},
    {OPT_VERBOSE_LOG, &CMDL_VerboseLog, nullptr},
    {OPT_APPEND_LOG, &CMDL_AppendLogFile, nullptr},
    {OPT_UNCONDITIONAL, &CMDL_UnconditionalUpgrade, nullptr},
    {OPT_MUX_SWITCHING, &CMDL_SendMuxSwitchingCommands, nullptr},
    {OPT_ALL_ADDRESSES, &ScanC0thruC6, nullptr},
    {OPT_DIAGNOSTICS, &CMDL_DiagnosticMode, nullptr},
    {OPT_LED_CYCLING, &CMDL_LEDcycling, nullptr},
    {OPT_HELP, &CMDL_Help, nullptr},
};

// -vpd alone, or with an address and a length: -vpdA0, -vpdA052.
bool TakeVpd(const char* argument, const char* value)
{
    if (strcmp(argument, "-vpd") == 0) {
        CMDL_GetI2CdeviceData = 1;
        return true;
    }
    size_t length = strlen(value);
    if ((length != 2 && length != 4) || !IsHexDigit(value[0]) || !IsHexDigit(value[1]))
        return false;
    VPDaddress = HexByte(value);
    CMDL_GetI2CdeviceData = 1;
    if (length == 4 && IsHexDigit(value[2]) && IsHexDigit(value[3]))
        VPD_BYTEStoREAD = HexByte(value + 2);
    return true;
}

// The classic keys with a value part in the same argument (-cd5, -c3, -b13,
// -vpdA0, -mc24, -sc13, -mae6). False when the value part does not have the
// form the key needs (and for every other key).
bool ApplyValuedKey(OptionAction action, const char* argument, const char* value)
{
    switch (action) {
    case OPT_CYCLE_DELAY:
        // Any other value part is accepted and leaves the delay alone.
        if (StartsWithDigit1to9(value))
            CMDL_ContinousUpgradeDelay = LeadingNumber(value);
        return true;
    case OPT_CONTINUOUS:
        CMDL_ContinousUpgrade = 1;
        UpgradeMax = StartsWithDigit1to9(value) ? LeadingNumber(value) : kEndlessCycles;
        return true;
    case OPT_BUS_RANGE:
        if (!ParseHexRange(value, &ScanBusID_First, &ScanBusID_Last))
            return false;
        CMDL_BusIDRange = 1;
        return true;
    case OPT_VPD:
        return TakeVpd(argument, value);
    case OPT_MUX_CHANNELS:
        if (!(value[0] >= '0' && value[0] <= '9' && StartsWithDigit1to9(value + 1) && value[2] == '\0'))
            return false;
        BusIDchannelFirst = static_cast<unsigned char>(value[0] - '0');
        BusIDchannelLast = static_cast<unsigned char>(value[1] - '0');
        CMDL_MuxChannelRange = 1;
        return true;
    case OPT_SCAN_CHANNELS:
        if (!ParseHexRange(value, &BusIDchannelFirst, &BusIDchannelLast))
            return false;
        CMDL_ScanChannels = 1;
        return true;
    case OPT_MUX_ADDRESS:
        if (!IsTwoHexDigits(value))
            return false;
        MUXaddress = HexByte(value);
        CMDL_MuxAddress = 1;
        return true;
    default:
        return false;
    }
}

// The options that take the next argument (-f FILE, --report FILE, ...):
// true once taken, and a missing or wrong argument ends the run with 5.
// False for every other key.
bool ApplyOptionWithArgument(OptionAction action, int& index, int argc, char** argv)
{
    switch (action) {
    case OPT_FILE:
        FrmUpgSet = 1;
        if (index + 1 >= argc)
            CommandLineError("ERROR: No filename specified after -f [RETURN CODE:0x%02x]", RC_COMMAND_LINE);
        ++index;
        TakeImageFileName(argv[index]);
        return true;
    default:
        return false;
    }
}

// Applies one key to its argument. Returns false when the key's value part
// does not have the form the key needs; the argument then goes on to the
// next key as if this one had not been found.
bool ApplyOption(OptionAction action, const char* argument, const char* value, int& index, int argc, char** argv)
{
    for (const PlainFlag& f : kPlainFlags) {
        if (f.action == action) {
            *f.setting = 1;
            if (f.also)
                *f.also = 1;
            return true;
        }
    }
    return ApplyOptionWithArgument(action, index, argc, argv) || ApplyValuedKey(action, argument, value);
}

// Tries the keys in order on argv[index]; false when none takes it.
bool ParseOneArgument(int& index, int argc, char** argv)
{
    if (TakeWholeArgumentOption(index, argc, argv))
        return true;
    const char* argument = argv[index];
    for (const OptionKey& k : kOptionKeys) {
        const char* found = strstr(argument, k.key);
        if (found && ApplyOption(k.action, argument, found + strlen(k.key), index, argc, argv))
            return true;
    }
    // A name given without -f counts only as the first argument.
    if (index == 1 && strchr(argument, '.')) {
        TakeImageFileName(argument);
        return true;
    }
    return false;
}

}  // namespace

void ParseCommandLine(int argc, char** argv)
{
    NoteCommandLine(argc, argv);
    for (int index = 1; index < argc; ++index) {
        if (!ParseOneArgument(index, argc, argv))
            CommandLineError("ERROR: Invalid Syntax \"%s\" [RETURN CODE:0x%02x]", argv[index], RC_COMMAND_LINE);
    }
    CheckWholeArgumentOptionsParsed();
    // What decides which controllers get the image must not be a directory's name.
    if ((CMDL_Strict || CMDL_Plan) && CMDL_FilenameSpecified)
        CheckImageBaseName();
}

namespace {

// The classic options the command line selected, a line each in the log.
// Each line has a format of its own, so each is written where the compiler
// can check its arguments.
void LogClassicOptions()
{
    if (CMDL_QuietMode)
        pf("Selected -q for quiet mode");
    if (CMDL_DirectIO)
        pf("Selected -dio for direct io access");
    if (CMDL_VerboseLog)
        pf("Selected -vl for verbose logging");
    if (CMDL_AppendLogFile)
        pf("Selected -a for append logging");
    if (CMDL_ContinousUpgrade)
        pf("Selected -c for %ld continous upgrades", static_cast<long>(UpgradeMax));
    if (CMDL_ContinousUpgradeDelay)
        pf("Selected -cd for %ld (ms) delay ", static_cast<long>(CMDL_ContinousUpgradeDelay));
    if (CMDL_UnconditionalUpgrade)
        pf("Selected -u for unconditional upgrade");
    if (ScanC0thruC6)
        pf("Selected -i for Scan 0xc0 thru 0xc6");
    if (CMDL_BusIDRange)
        pf("Selected -b for BusID range: 0x%02x to 0x%02x", ScanBusID_First, ScanBusID_Last);
    if (CMDL_GetI2CdeviceData)
        pf("Selected -vpd to Display VPD data at address 0xa0");
    if (CMDL_MuxChannelRange)
        pf("Selected -mc for Mux Channel range: 0x%02x to 0x%02x", BusIDchannelFirst, BusIDchannelLast);
    if (CMDL_ScanChannels)
        pf("Selected -sc for Scanning BMC Channel range: 0x%02x to 0x%02x", BusIDchannelFirst, BusIDchannelLast);
    if (CMDL_MuxAddress)
        pf("Selected -ma for Mux Address: 0x%02x", MUXaddress);
    if (CMDL_SendMuxSwitchingCommands)
        pf("Selected -ms to Send Mux switching commands instead of relying on BMC");
    if (CMDL_DiagnosticMode)
        pf("Selected -d for diagnostic mode\n");
}

// The classic options that do not go together end the run with 5.
void CheckClassicConflicts()
{
    if (CMDL_QuietMode && CMDL_ContinousUpgrade) {
        pb("ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x%02x]\n", RC_COMMAND_LINE);
        EndOnConflict();
    }
    if (CMDL_QuietMode && CMDL_DiagnosticMode) {
        pb("ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x%02x]\n", RC_COMMAND_LINE);
        EndOnConflict();
    }
    if (CMDL_SendMuxSwitchingCommands && !CMDL_MuxAddress) {
        pb("ERROR: Manual Sending of Mux commands \"-ms\" specified without MuxAddress \"-ma[NUM]\" "
           "[RETURN CODE:0x%02x]\n",
           RC_COMMAND_LINE);
        EndOnConflict();
    }
}

}  // namespace

void LogCommandLineInfo(int argc, char** argv)
{
    pb("\nRaw command line: (argc:%d)", argc);
    for (int i = 0; i < argc; ++i)
        pf("%d: %s ", i, argv[i]);
    pf("\nCommand line info: ");
    if (argc == 1) {
        pb("No command line arguments");
        pb("%s", "");
        return;
    }

    if (CMDL_FilenameSpecified)
        pf("Filename of binary: %s", BinFilename);
    else
        pb("No file name specified as command line, entering non-upgrade mode");

    LogClassicOptions();
    LogWholeArgumentOptions();
    pf(" ");

    CheckClassicConflicts();
    CheckWholeArgumentConflicts();
}

void DisplayCommandLineHelp()
{
    ps_no_rn("\n Usage: qb40tool [options]");
    ps(" ");
    for (const char* line : kHelpLines)
        ps_no_rn("%s", line);
    if (CMDL_HelpAll) {
        ps_no_rn("\n");
        DisplayWholeArgumentHelp();
    }
    ps_no_rn("\n\n");
}
