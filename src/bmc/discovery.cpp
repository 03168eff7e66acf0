// SPDX-License-Identifier: MIT
// Finding and opening the BMC. The Linux IPMI driver's device node is the
// preferred road; when it cannot be opened the tool offers to load the
// driver modules, or, with -dio, talks to the BMC's KCS interface through
// I/O ports. Called once in scan mode to count the BMCs behind the driver,
// then once per BMC to open the next one.
#include "discovery.h"

#include <fcntl.h>

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../waits/pause.h"
#include "../waits/terminal.h"
#include "kcs_transfer.h"

int fd = -1;
int OpenIPMIDriverLoaded = 0;
INT16U ISA_SMS_DATA = 0x0CA2;
INT16U ISA_SMS_CMD_STATUS = 0x0CA3;
unsigned char ScanForBmc = 0;
unsigned char FoundBmc = 0;
unsigned char FirstBmcOpen = 0;
unsigned char SecondBmcOpen = 0;
unsigned char ThirdBmcOpen = 0;
unsigned char FourthBmcOpen = 0;
const char* BmcNodePath = "";

namespace {

struct KcsPortPair {
    INT16U data;
    INT16U cmd_status;
};

// Where a BMC's KCS system interface may sit.
constexpr KcsPortPair kKcsPorts[] = {
    {0x0CA2, 0x0CA3},
    {0x0CA8, 0x0CAC},
    {0x0CB0, 0x0CB4},
};
constexpr int kLastKcsPort = static_cast<int>(sizeof kKcsPorts / sizeof kKcsPorts[0]) - 1;

// Nothing decodes the port: the bus floats high.
constexpr INT8U kNoDevice = 0xFF;

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

// One BMC per device node, in the order the passes serve them, with the flag
// that records that a normal-mode call has opened it.
struct BmcNode {
    const char* path;
    unsigned char* opened;
};

constexpr BmcNode kBmcNodes[] = {
    {"/dev/ipmi0", &FirstBmcOpen},
    {"/dev/ipmi1", &SecondBmcOpen},
    {"/dev/ipmi2", &ThirdBmcOpen},
    {"/dev/ipmi3", &FourthBmcOpen},
};
constexpr int kMaxBmcs = static_cast<int>(sizeof kBmcNodes / sizeof kBmcNodes[0]);

// The older device-file layout names the first interface /dev/ipmidev/0.
constexpr const char* kFirstBmcOtherName = "/dev/ipmidev/0";

// Closes the descriptor `fd` holds before it is replaced, so that none leaks.
void SetFd(int descriptor)
{
    if (fd >= 0)
        os::close(fd);
    fd = descriptor;
}

// Opens the device node of BMC `index` (0..3).
int OpenBmcNode(int index)
{
    BmcNodePath = kBmcNodes[index].path;
    int descriptor = os::open(BmcNodePath, O_RDWR);
    if (descriptor < 0 && index == 0) {
        descriptor = os::open(kFirstBmcOtherName, O_RDWR);
        if (descriptor >= 0)
            BmcNodePath = kFirstBmcOtherName;
    }
    return descriptor;
}

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

// Counts the BMCs behind the driver into FoundBmc. The descriptors are only
// looked at, never kept.
void CountDriverBmcs()
{
    for (int index = 0; index < kMaxBmcs; ++index) {
        SetFd(-1);
        fd = OpenBmcNode(index);
        if (fd >= 0)
            ++FoundBmc;
    }
    SetFd(-1);
}

// Opens the BMC after the last one opened so far. A node that does not open
// leaves fd at -1 and is tried again by the next call.
void OpenNextDriverBmc()
{
    int index = 0;
    while (index < kMaxBmcs - 1 && *kBmcNodes[index].opened)
        ++index;
    SetFd(-1);
    int descriptor = OpenBmcNode(index);
    // The first BMC counts as opened once it was tried; the others once
    // their node opened.
    if (index == 0 || descriptor >= 0)
        *kBmcNodes[index].opened = 1;
    fd = descriptor;
}

// Looks for a KCS interface at the known port pairs.
INT8U OpenDirectIo()
{
    pb("WARNING: Unable to open IPMI driver\n");
    pb("Using direct IO access to BMC\n");
    pb("WARNING: Unable to open OpenIPMI driver\n");
    pb("Using direct IO access to BMC\n");
    if (os::iopl(3) != 0) {
        pb("ERROR: Unable to set I/O permissions. Please try loggin in as root or using sudo\n");
        return 0;
    }
    for (INT8U port = 0; port <= kLastKcsPort; ++port) {
        pb("Scanning BMC Port Address %d of %d", port, kLastKcsPort);
        ISA_SMS_DATA = kKcsPorts[port].data;
        ISA_SMS_CMD_STATUS = kKcsPorts[port].cmd_status;
        if (qb_inp(ISA_SMS_CMD_STATUS) == kNoDevice) {
            pb("BMC not Found at CMD/STAT:0x%04x DATA:0x%04x", ISA_SMS_CMD_STATUS, ISA_SMS_DATA);
            continue;
        }
        pb("BMC Found at CMD/STAT:0x%04x DATA:0x%04x", ISA_SMS_CMD_STATUS, ISA_SMS_DATA);
        if (ScanForBmc)
            ++FoundBmc;
        return 1;
    }
    pb("BMC NOT FOUND! A BMC must be present to upgrade the firmware");
    return 0;
}

}  // namespace

INT8U Kcs_Open()
{
    INT16U j = 0;  // load attempts made in quiet mode

    for (;;) {
        // Probe: is the driver there at all?
        SetFd(-1);
        fd = OpenBmcNode(0);
        if (fd >= 0)
            break;

        OpenIPMIDriverLoaded = 0;
        if (CMDL_DirectIO)
            return OpenDirectIo();

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
    if (ScanForBmc)
        CountDriverBmcs();
    else
        OpenNextDriverBmc();
    pb("Successfully opened OpenIPMI driver");
    return 1;
}

void Kcs_Close()
{
    if (OpenIPMIDriverLoaded)
        SetFd(-1);
    pf("Kcs Close");
}
