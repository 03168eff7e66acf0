// SPDX-License-Identifier: MIT
// The run: command line, log, banner, BMC discovery, one pass per BMC with
// one or more cycles of the selected mode, the total device summary, and
// the return code that tells scripts what happened.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../bmc/discovery.h"
#include "../capture/capture_run.h"
#include "../common/settings.h"
#include "../common/version.h"
#include "../i2c/mux_as_found.h"
#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../outcome/outcome.h"
#include "../waits/pause.h"
#include "../waits/terminal.h"
#include "diagnostics.h"
#include "image.h"
#include "leds.h"
#include "options.h"
#include "plan.h"
#include "scan.h"
#include "signals.h"
#include "summary.h"
#include "total_summary.h"
#include "upgrade.h"
#include "vpd.h"

unsigned long UpgradeCounter = 0;

namespace {

// What a pass's mode tells the run: go on with the next pass, or end the
// run at once with the code it carries.
constexpr int kRunGoesOn = -1;

// ctime() text of the machine's current time, with its own line feed.
const char* NowText()
{
    time_t t = os::time(nullptr);
    const char* text = ctime(&t);
    return text ? text : "(time unknown)\n";
}

void PrintBanner()
{
    pb("%s", "");
    pb("QB40XX Firmware Upgrade tool ver " QB40_TOOL_VERSION " 10/22/2010");
    pb("Finds, reports and upgrades QB40xx backplane controllers through the BMC");
    pb("Use -h for the list of options");
}

// --expect N: per pass the fewest controllers any of its cycles' scans found
// (a controller still erasing when one cycle began, or a cable that came
// loose, shows there), summed over the passes.
int FoundInPass = -1;  // -1: no cycle of the pass has scanned yet
int FoundInRun = 0;

// After the scan that begins a cycle.
void CountFound()
{
    if (FoundInPass < 0 || ChipsFound < FoundInPass)
        FoundInPass = ChipsFound;
}

void CountPassEnds()
{
    if (FoundInPass > 0)
        FoundInRun += FoundInPass;
    FoundInPass = -1;
}

// The run's code once it is known how many controllers were found.
int CheckExpectedControllers(int ret_code)
{
    if (FoundInRun >= CMDL_ExpectedControllers)
        return ret_code;
    pb("ERROR: Controllers found: %d, expected: %d [RETURN CODE:0x%02x]", FoundInRun, CMDL_ExpectedControllers,
       RC_NO_DEVICES);
    return RunCode(RC_NO_DEVICES);
}

// Start of every report and upgrade cycle. From the second cycle of a run on,
// the log continues in a fresh log.txt so that one long continuous run does
// not grow a single file without end; the first cycle's log, with the banner
// and the command line, moves to logprev.txt.
void BeginCycle(bool upgrade)
{
    bool first_cycle = UpgradeCounter == 0;
    ++UpgradeCounter;
    if (!first_cycle && !CMDL_AppendLogFile) {
        CloseLogFile();
        CMDL_AppendLogFile = 1;
        StartLogFile("log.txt");
    }
    if (CMDL_ContinousUpgrade) {
        if (upgrade)
            pb("\n[Continous Upgrade Mode, Count %li of %li]", static_cast<long>(UpgradeCounter),
               static_cast<long>(UpgradeMax));
        else
            pb("\n[Continous Mode, Count %li of %li]", static_cast<long>(UpgradeCounter),
               static_cast<long>(UpgradeMax));
        pb("%s", NowText());
    }
}

// Report cycles; the scan results do not change the run's code.
int RunReportCycles()
{
    do {
        BeginCycle(false);
        if (CMDL_DiagnosticMode) {
            pf("Entering Diagnostic Mode\n");
            ScanForQBdevices();
            CountFound();
            DisplaySummary();
            if (PerformDiagnostics()) {
                set_tty_cooked();
                return RC_DIAGNOSTICS_ABORTED;
            }
        } else {
            pf("Enterting Non-upgrade Mode\n");
            ScanForQBdevices();
            CountFound();
            DisplaySummary();
        }
    } while (UpgradeCounter < UpgradeMax);
    return kRunGoesOn;
}

// Upgrade cycles: they go on only while every cycle succeeds. Returns the
// code that ends the run at once, or kRunGoesOn with `ret_code` updated.
int RunUpgradePath(int& ret_code)
{
    if (LoadFirmwareImage() != 0)
        return RC_IMAGE_FILE;  // the BMC and the log are closed already
    NoteImageLoaded(FirmwareImage, FileImageSize);

    for (;;) {
        BeginCycle(true);
        int found = ScanForQBdevices();
        CountFound();
        if (!found) {
            pb("No Devices Found [RETURN CODE:0x%02x]\n", RC_NO_DEVICES);
            ret_code = RunCode(RC_NO_DEVICES);
            break;
        }
        DisplaySummary();
        set_tty_raw();
        int result = UpgradeFirmwareOnAllFoundThread();
        if (result == 1) {
            pb("Upgrade Sucessful [RETURN CODE:0x%02x]\n", RC_OK);
            ScanForQBdevices();
            DisplaySummary();
            set_tty_cooked();
            ret_code = RunCode(RC_OK);
            if (UpgradeCounter < UpgradeMax)
                continue;
            break;
        }
        ret_code = RunCode(result == 2 ? RC_UPGRADE_ABORTED : RC_UPGRADE_INCOMPLETE);
        // Give the controllers time to settle, then show the state they are in.
        qb_delay(2000);
        ScanForQBdevices();
        DisplaySummary();
        set_tty_cooked();
        break;
    }

    if (CMDL_DiagnosticMode) {
        pf("Entering Diagnostic Mode\n");
        if (PerformDiagnostics()) {
            set_tty_cooked();
            ret_code = RunCode(RC_DIAGNOSTICS_ABORTED);
        }
    }
    return kRunGoesOn;
}

// --plan: the upgrade path as far as the upgrade would begin, then what it
// would do to each controller. No key is read, so the terminal stays as it is.
int RunPlanPath(int bmc)
{
    if (LoadFirmwareImage() != 0)
        return RC_IMAGE_FILE;  // the BMC and the log are closed already
    NoteImageLoaded(FirmwareImage, FileImageSize);
    BeginCycle(true);
    int found = ScanForQBdevices();
    CountFound();
    if (!found) {
        pb("No Devices Found [RETURN CODE:0x%02x]\n", RC_NO_DEVICES);
        PlanFoundNoController();
        return kRunGoesOn;
    }
    DisplaySummary();
    PlanUpgradeOfAllFound(bmc);
    return kRunGoesOn;
}

// --strict or --plan, an upgrade asked for where discovery found no BMC: the
// image is still checked, so that a bad image is not reported as a mere empty
// machine. Returns 1 (the image failed, the log is closed) or 171.
int StrictUpgradeWithoutBmc()
{
    if (LoadFirmwareImage() != 0)
        return RC_IMAGE_FILE;
    NoteImageLoaded(FirmwareImage, FileImageSize);
    pb("ERROR: No BMC found, no controller upgraded [RETURN CODE:0x%02x]\n", RC_NO_DEVICES);
    return RunCode(RC_NO_DEVICES);
}

// One BMC: open it, run the selected mode, close it.
int RunBmcPass(int bmc, int argc, int& ret_code)
{
    FileImageSize = 0;
    memset(ChipInfo, 0, sizeof ChipInfo);

    INT8U opened = Kcs_Open();
    NoteBmcPass(opened);
    if (!opened) {
        CheckSignal();
        pb("BmcOpen Failed");
        pb("[RETURN CODE:0x%02x]\n", RC_BMC_OPEN_FAILED);
        ExitRun(RC_BMC_OPEN_FAILED);
    }
    pf("BmcOpen Success");

    int end = kRunGoesOn;
    if (argc == 1) {
        pb("No commandline, Entering Non-upgrade Mode...");
        ScanForQBdevices();
        DisplaySummary();
    } else if (!CMDL_FilenameSpecified) {
        end = RunReportCycles();
    } else if (CMDL_Plan) {
        end = RunPlanPath(bmc);
    } else {
        end = RunUpgradePath(ret_code);
    }
    if (end != kRunGoesOn)
        return end;
    // The network road lost its BMC in the middle of the pass (it stopped
    // answering, or refuses Master Write-Read): the pass ends as a BMC that
    // cannot be opened ends the run.
    if (const char* why = Kcs_RoadLost()) {
        NoteBmcLost(why);
        CheckSignal();
        pb("BmcOpen Failed");
        pb("[RETURN CODE:0x%02x]\n", RC_BMC_OPEN_FAILED);
        ExitRun(RC_BMC_OPEN_FAILED);
    }

    CountPassEnds();
    PutMuxesBackAsFound();
    ForgetLitLeds();  // a later stop cannot reach this BMC
    Kcs_Close();
    return kRunGoesOn;
}

}  // namespace

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    InstallSignalHandlers();
    // A parse error ends the run here, before anything is logged.
    if (argc >= 2)
        ParseCommandLine(argc, argv);
    // --capture: the recorder starts before anything is sent.
    if (const char* why = CaptureBegin(argc, argv, ReportLateLosses))
        CommandLineError("ERROR: Capture file %s refused: %s [RETURN CODE:0x%02x]", CaptureFilename, why,
                         RC_COMMAND_LINE);
    if (CMDL_CaptureRedactVpd)
        RedactVpdText();
    BeginRunOutcome(argc, argv);

    if (!StartLogFile("log.txt"))
        ps("Unable to create logfile %s\n", "log.txt");
    PrintBanner();
    StartReport();
    StartMetrics();

    if (CMDL_Help) {
        DisplayCommandLineHelp();
        pf("Command-Line help only");
        CheckSignal();
        int code = EndRun(RC_OK);
        CloseLogFile();
        return FinishRun(code);
    }

    LogCommandLineInfo(argc, argv);
    pf("OS: Linux");
    pb("Started: %s", NowText());

    ScanForBmc = 1;
    Kcs_Open();
    ScanForBmc = 0;
    NoteBmcsFound(FoundBmc);
    pb("\nTotal BMC found: %d", FoundBmc);
    // Several BMCs share one log: it is never reopened between their cycles.
    if (FoundBmc > 1)
        CMDL_AppendLogFile = 1;

    int ret_code = RC_OK;
    if ((CMDL_Strict || CMDL_Plan) && FoundBmc == 0 && CMDL_FilenameSpecified) {
        ret_code = StrictUpgradeWithoutBmc();
        if (ret_code == RC_IMAGE_FILE)
            return FinishRun(EndRun(ret_code));  // the log is closed already
    }
    for (int BMCCounter = 0; BMCCounter < FoundBmc; ++BMCCounter) {
        int end = RunBmcPass(BMCCounter, argc, ret_code);
        if (end != kRunGoesOn) {
            CheckSignal();
            return FinishRun(EndRun(end));
        }
    }

    if (FoundBmc > 1)
        PrintTotalSummary();

    if (CMDL_Plan)
        ret_code = PlanRunCode();
    if (CMDL_ExpectedControllers)
        ret_code = CheckExpectedControllers(ret_code);
    CheckSignal();
    ret_code = EndRun(ret_code);
    if (CMDL_Plan)
        PrintPlanEnd(ret_code);
    pf("\nFinished: %s", NowText());
    pf("Exited with return code: 0x%02x", ret_code);
    CloseLogFile();
    return FinishRun(ret_code);
}
