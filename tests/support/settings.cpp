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
    X(CMDL_Plan) X(CMDL_ReadOnly) X(CMDL_HelpAll) X(CMDL_CaptureRedactVpd) X(CMDL_CaptureRedactHost)      \
    X(LanBmcCount) X(CMDL_LanCipher) X(CMDL_LanPrivilege) X(CMDL_LanTimeoutMs) X(CMDL_LanRetries)
// The settings that hold text.
#define QB_TEXT_SETTINGS(X)                                                                         \
    X(BinFilename) X(ReportFilename) X(ExpectedImageSha256) X(CaptureFilename) X(MetricsFilename) X(LanUser) \
    X(LanPasswordFile) X(LanKgFile)

namespace {

struct Snapshot {
#define FIELD(g) decltype(::g) g = ::g;
    QB_SETTINGS(FIELD)
#undef FIELD
#define TEXT_FIELD(g) std::string g = ::g;
    QB_TEXT_SETTINGS(TEXT_FIELD)
#undef TEXT_FIELD
};

// Static initialisation of this test binary runs before any test, while the
// globals still hold the values the program starts with.
const Snapshot kDefaults;

}  // namespace

void restore_default_settings()
{
    std::memset(::LanHosts, 0, sizeof ::LanHosts);
    std::memset(::LanPorts, 0, sizeof ::LanPorts);
#define PUT(g) ::g = kDefaults.g;
    QB_SETTINGS(PUT)
#undef PUT
#define PUT_TEXT(g)                        \
    std::memset(::g, 0, sizeof ::g); \
    std::strncpy(::g, kDefaults.g.c_str(), sizeof ::g - 1);
    QB_TEXT_SETTINGS(PUT_TEXT)
#undef PUT_TEXT
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
#define SHOW_TEXT(g)            \
    if (kDefaults.g != ::g) \
        show(#g, ::g);
    QB_TEXT_SETTINGS(SHOW_TEXT)
#undef SHOW_TEXT
    for (int i = 0; i < ::LanBmcCount; ++i)
        show("LanHosts[" + std::to_string(i) + "]", std::string(::LanHosts[i]) + ":" + std::to_string(::LanPorts[i]));
    return out.str();
}

}  // namespace qbtest
