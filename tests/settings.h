// The run-wide settings as one value, for tests that parse command lines in
// the test process: take them, compare them, and put the program's own
// defaults back before each case.
#pragma once

#include <ostream>
#include <string>

namespace qbtest {

struct Settings {
    int Help, FilenameSpecified, FrmUpgSet;
    std::string BinFilename;
    int QuietMode, UnconditionalUpgrade, DirectIO, VerboseLog, AppendLogFile, ContinousUpgrade;
    unsigned long UpgradeMax, ContinousUpgradeDelay;
    int BusIDRange, ScanBusID_First, ScanBusID_Last;
    int GetI2CdeviceData, VPDaddress, VPD_BYTEStoREAD;
    int MuxChannelRange, ScanChannels, BusIDchannelFirst, BusIDchannelLast;
    int MuxAddress, MUXaddress, SendMuxSwitchingCommands;
    int ScanC0thruC6, DiagnosticMode, LEDcycling;

    bool operator==(const Settings&) const = default;

    // The settings in force now.
    static Settings current();
    // The settings the program starts with (taken before any test ran).
    static const Settings& defaults();
};

// Puts the program's defaults back into the run-wide settings.
void restore_default_settings();

std::ostream& operator<<(std::ostream& out, const Settings& s);

}  // namespace qbtest
