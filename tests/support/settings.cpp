// SPDX-License-Identifier: MIT
#include "settings.h"

#include <cstring>
#include <sstream>
#include <string_view>

#include "common/settings.h"

namespace qbtest {

#define QB_SETTINGS(X)                                                                                       \
    X(CMDL_Help) X(CMDL_FilenameSpecified) X(FrmUpgSet) X(CMDL_QuietMode) X(CMDL_UnconditionalUpgrade)        \
    X(CMDL_DirectIO) X(CMDL_VerboseLog) X(CMDL_AppendLogFile) X(CMDL_ContinousUpgrade) X(UpgradeMax)         \
    X(CMDL_ContinousUpgradeDelay) X(CMDL_BusIDRange) X(ScanBusID_First) X(ScanBusID_Last)                     \
    X(CMDL_GetI2CdeviceData) X(VPDaddress) X(VPD_BYTEStoREAD) X(CMDL_MuxChannelRange) X(CMDL_ScanChannels)   \
    X(BusIDchannelFirst) X(BusIDchannelLast) X(CMDL_MuxAddress) X(MUXaddress) X(CMDL_SendMuxSwitchingCommands) \
    X(ScanC0thruC6) X(CMDL_DiagnosticMode) X(CMDL_LEDcycling) X(CMDL_Strict) X(CMDL_ExpectedControllers) \
    X(CMDL_Plan) X(CMDL_ReadOnly) X(CMDL_HelpAll)

namespace {

struct Snapshot {
#define FIELD(g) decltype(::g) g = ::g;
    QB_SETTINGS(FIELD)
#undef FIELD
    std::string BinFilename = ::BinFilename;
    std::string ReportFilename = ::ReportFilename;
    std::string ExpectedImageSha256 = ::ExpectedImageSha256;
};

// Static initialisation of this test binary runs before any test, while the
// globals still hold the values the program starts with.
const Snapshot kDefaults;

}  // namespace

void restore_default_settings()
{
#define PUT(g) ::g = kDefaults.g;
    QB_SETTINGS(PUT)
#undef PUT
    std::memset(::BinFilename, 0, sizeof ::BinFilename);
    std::strncpy(::BinFilename, kDefaults.BinFilename.c_str(), sizeof ::BinFilename - 1);
    std::memset(::ReportFilename, 0, sizeof ::ReportFilename);
    std::strncpy(::ReportFilename, kDefaults.ReportFilename.c_str(), sizeof ::ReportFilename - 1);
    std::memset(::ExpectedImageSha256, 0, sizeof ::ExpectedImageSha256);
    std::strncpy(::ExpectedImageSha256, kDefaults.ExpectedImageSha256.c_str(), sizeof ::ExpectedImageSha256 - 1);
}

std::string changed_settings()
{
    std::ostringstream out;
    auto show = [&](std::string_view name, auto value) {
        if (name.starts_with("CMDL_"))
            name.remove_prefix(5);
        out << (out.tellp() > 0 ? " " : "") << name << '=' << value;
    };
#define SHOW(g) if (::g != kDefaults.g) show(#g, +::g);
    QB_SETTINGS(SHOW)
#undef SHOW
    if (kDefaults.BinFilename != ::BinFilename)
        show("BinFilename", ::BinFilename);
    if (kDefaults.ReportFilename != ::ReportFilename)
        show("ReportFilename", ::ReportFilename);
    if (kDefaults.ExpectedImageSha256 != ::ExpectedImageSha256)
        show("ExpectedImageSha256", ::ExpectedImageSha256);
    return out.str();
}

}  // namespace qbtest
