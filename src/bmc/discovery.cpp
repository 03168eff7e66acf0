// SPDX-License-Identifier: MIT
// Finding and opening the BMC. The Linux IPMI driver's device node is the
// preferred road; when it cannot be opened the tool offers to load the
// driver modules, or, with -dio, talks to the BMC's KCS interface through
// I/O ports. Called once in scan mode to count the BMCs behind the driver,
// then once per BMC to open the next one.
#include "discovery.h"

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../waits/pause.h"
#include "../waits/terminal.h"
#include "driver/driver_road.h"
#include "kcs/kcs_road.h"
#include "lan/lan_road.h"
#include "road.h"

BmcRoad Road = ROAD_DRIVER;

namespace {

struct DriverModule {
    const char* announce;
    const char* command;
    unsigned int pause_ms;  // time for the module to register its devices
};

constexpr DriverModule kDriverModules[] = {
    {"    Loading ipmi_si driver...", "modprobe ipmi_si", 3000},
    {"    Loading ipmi_devintf driver...", "modprobe ipmi_devintf", 3000},
    {"    Loading ipmi_msghandler driver...", "modprobe ipmi_msghandler", 4000},
};

constexpr const char* kLoadHints[] = {
    "Try the following commands to load the OpenIPMI driver:",
    "  modprobe ipmi_si",
    "  modprobe ipmi_devintf",
    "  modprobe ipmi_msghandler\n",
};

// Quiet mode loads without asking, this many times at most.
constexpr INT16U kQuietLoadAttempts = 2;

void LoadDriverModules()
{
    for (const DriverModule& module : kDriverModules) {
        pb("%s", module.announce);
        os::system(module.command);
        qb_delay(module.pause_ms);
    }
}

void PrintLoadHints(bool log_only)
{
    for (const char* line : kLoadHints) {
        if (log_only)
            pf("%s", line);
        else
            pb("%s", line);
    }
}

}  // namespace

INT8U Kcs_Open()
{
    INT16U j = 0;  // load attempts made in quiet mode

    // --lan: the BMCs are on the network; no driver is looked for.
    if (LanBmcCount) {
        Road = ROAD_LAN;
        if (ScanForBmc) {
            LanRoad_Count();
            return 1;
        }
        return LanRoad_Open();
    }

    for (;;) {
        // Probe: is the driver there at all?
        DriverRoad_SetFd(-1);
        fd = DriverRoad_OpenNode(0);
        if (fd >= 0)
            break;

        OpenIPMIDriverLoaded = 0;
        if (CMDL_DirectIO) {
            Road = ROAD_KCS;
            return KcsRoad_Open();
        }

        pb("ERROR: Unable to open IPMI driver\n");
        if (CMDL_QuietMode) {
            pb("Trying to Load OpenIPMI drivers...");
            LoadDriverModules();
            if (++j == kQuietLoadAttempts) {
                pb("\nLoading IPMI driver failed");
                PrintLoadHints(true);
                return 0;
            }
            continue;
        }

        pb("Load OpenIPMI drivers? Press Y or N (Yes or No): ");
        set_tty_raw();
        int ch = getch();
        set_tty_cooked();
        if (ch != 'y' && ch != 'Y') {
            PrintLoadHints(false);
            return 0;
        }
        pb("Loading OpenIPMI drivers...");
        LoadDriverModules();
    }

    OpenIPMIDriverLoaded = 1;
    Road = ROAD_DRIVER;
    if (ScanForBmc)
        DriverRoad_Count();
    else
        DriverRoad_OpenNext();
    pb("Successfully opened OpenIPMI driver");
    return 1;
}

void Kcs_Close()
{
    if (Road == ROAD_LAN)
        LanRoad_Close();
    else if (OpenIPMIDriverLoaded)
        DriverRoad_SetFd(-1);
    pf("Kcs Close");
}

const char* Kcs_RoadLost() { return Road == ROAD_LAN ? LanRoad_Lost() : nullptr; }

void CloseBmcRoads() { LanRoad_End(); }
