#include "settings.h"

#include <cstring>

#include "main/qb40tool.h"

namespace qbtest {

#define QB_SETTINGS(X)                                          \
    X(Help, CMDL_Help)                                          \
    X(FilenameSpecified, CMDL_FilenameSpecified)                \
    X(FrmUpgSet, FrmUpgSet)                                     \
    X(QuietMode, CMDL_QuietMode)                                \
    X(UnconditionalUpgrade, CMDL_UnconditionalUpgrade)          \
    X(DirectIO, CMDL_DirectIO)                                  \
    X(VerboseLog, CMDL_VerboseLog)                              \
    X(AppendLogFile, CMDL_AppendLogFile)                        \
    X(ContinousUpgrade, CMDL_ContinousUpgrade)                  \
    X(UpgradeMax, UpgradeMax)                                   \
    X(ContinousUpgradeDelay, CMDL_ContinousUpgradeDelay)        \
    X(BusIDRange, CMDL_BusIDRange)                              \
    X(ScanBusID_First, ScanBusID_First)                         \
    X(ScanBusID_Last, ScanBusID_Last)                           \
    X(GetI2CdeviceData, CMDL_GetI2CdeviceData)                  \
    X(VPDaddress, VPDaddress)                                   \
    X(VPD_BYTEStoREAD, VPD_BYTEStoREAD)                         \
    X(MuxChannelRange, CMDL_MuxChannelRange)                    \
    X(ScanChannels, CMDL_ScanChannels)                          \
    X(BusIDchannelFirst, BusIDchannelFirst)                     \
    X(BusIDchannelLast, BusIDchannelLast)                       \
    X(MuxAddress, CMDL_MuxAddress)                              \
    X(MUXaddress, MUXaddress)                                   \
    X(SendMuxSwitchingCommands, CMDL_SendMuxSwitchingCommands)  \
    X(ScanC0thruC6, ScanC0thruC6)                               \
    X(DiagnosticMode, CMDL_DiagnosticMode)                      \
    X(LEDcycling, CMDL_LEDcycling)

Settings Settings::current()
{
    Settings s{};
#define TAKE(field, global) s.field = ::global;
    QB_SETTINGS(TAKE)
#undef TAKE
    s.BinFilename = ::BinFilename;
    return s;
}

namespace {

// Static initialisation of this test binary runs before any test, while the
// globals still hold the values the program starts with.
const Settings kDefaults = Settings::current();

}  // namespace

const Settings& Settings::defaults() { return kDefaults; }

void restore_default_settings()
{
    const Settings& d = kDefaults;
#define PUT(field, global) ::global = static_cast<decltype(::global)>(d.field);
    QB_SETTINGS(PUT)
#undef PUT
    std::memset(::BinFilename, 0, sizeof ::BinFilename);
    std::strncpy(::BinFilename, d.BinFilename.c_str(), sizeof ::BinFilename - 1);
}

std::ostream& operator<<(std::ostream& out, const Settings& s)
{
#define SHOW(field, global) out << #field "=" << s.field << " ";
    QB_SETTINGS(SHOW)
#undef SHOW
    return out << "BinFilename=\"" << s.BinFilename << "\"";
}

}  // namespace qbtest
