// SPDX-License-Identifier: MIT
// Shared declarations of qb40tool: integer names, the controller record,
// the run-wide settings and every function one module calls in another.
//
// The tool keeps its state in plain globals with fixed sizes and fixed
// defaults; nothing is allocated while it runs.
#pragma once

#include <cstdio>

#include "../common/chip_table.h"
#include "../common/register_map.h"
#include "../common/types.h"
#include "../common/version.h"

// ---------------------------------------------------------------------------
// Run-wide settings, written only while the command line is parsed
// (options.cpp), except where noted.
extern unsigned char CMDL_Help;
extern unsigned char CMDL_FilenameSpecified;
extern unsigned char FrmUpgSet;
extern char BinFilename[255];
extern unsigned char CMDL_QuietMode;
extern unsigned char CMDL_UnconditionalUpgrade;
extern unsigned char CMDL_DirectIO;
extern unsigned char CMDL_VerboseLog;
extern unsigned char CMDL_AppendLogFile;  // also turned on by the run flow
extern unsigned char CMDL_ContinousUpgrade;
extern unsigned long UpgradeMax;
extern unsigned long CMDL_ContinousUpgradeDelay;  // seconds
extern unsigned char CMDL_BusIDRange;
extern unsigned char ScanBusID_First;
extern unsigned char ScanBusID_Last;
extern unsigned char CMDL_GetI2CdeviceData;
extern unsigned char VPDaddress;
extern unsigned char VPD_BYTEStoREAD;
extern unsigned char CMDL_MuxChannelRange;
extern unsigned char CMDL_ScanChannels;
extern unsigned char BusIDchannelFirst;
extern unsigned char BusIDchannelLast;
extern unsigned char CMDL_MuxAddress;
extern unsigned char MUXaddress;
extern unsigned char CMDL_SendMuxSwitchingCommands;
extern unsigned char ScanC0thruC6;
extern unsigned char CMDL_DiagnosticMode;
extern unsigned char CMDL_LEDcycling;
extern unsigned char CMDL_Strict;  // --strict: an exit status of the whole run
#define REPORT_FILENAME_SIZE 4096
extern char ReportFilename[REPORT_FILENAME_SIZE];  // --report FILE; "" when no report is asked for
// --expect N: the controllers the run must find over all its BMCs; 0 when not asked.
#define MAX_EXPECTED_CONTROLLERS (4 * MAX_CHIPS)  // four BMCs, each with a full device table
extern unsigned char CMDL_ExpectedControllers;
extern char ExpectedImageSha256[2 * 32 + 1];       // --image-sha256 HEX, in lower case; "" when not given
extern unsigned char CMDL_Plan;  // --plan: say what the upgrade would do, and write nothing
// --read-only: no register, LED or EEPROM byte of any device is written; the
// requests carry only the register or EEPROM address to read from, and with
// -ms the mux's channel selection (the mux put back as it was found).
extern unsigned char CMDL_ReadOnly;
extern unsigned char CMDL_HelpAll;
// --metrics FILE: Prometheus metrics of the run for the node exporter; "" when not asked for.
#define METRICS_FILENAME_SIZE 4096
extern char MetricsFilename[METRICS_FILENAME_SIZE];  // --help-all: the help screen and every option beyond it

// --capture: the run recorded at the seam (capture_run.cpp).
#define CAPTURE_FILENAME_SIZE 4096
extern char CaptureFilename[CAPTURE_FILENAME_SIZE];  // "" when no capture is asked for
extern unsigned char CMDL_CaptureRedactVpd;          // --capture-redact vpd
extern unsigned char CMDL_CaptureRedactHost;         // --capture-redact host
// Starts the capture before anything is sent; ends the process with 5 when
// the file is refused.
void CaptureBegin(int argc, char** argv);
// The image is loaded: the capture names it, and its byte commands go in runs.
void CaptureImageLoaded();
// Puts the capture file in place; at exit at the latest. A capture that
// cannot be written is said, and the report (written already) says it too.
void CaptureEnd();

// Command line (options.cpp).
void ParseCommandLine(int argc, char** argv);  // ends the process with 5 on an error
void LogCommandLineInfo(int argc, char** argv);
void DisplayCommandLineHelp();
[[noreturn]] void CommandLineError(const char* fmt, ...) QB_PRINTF(1, 2);

// Run flow (main.cpp).
extern unsigned long UpgradeCounter;  // cycles begun in this run; never reset

// The devices of every BMC of the run, after the last pass (total_summary.cpp).
void PrintTotalSummary();

// ---------------------------------------------------------------------------
// Signals (signals.cpp). The handlers only record a signal; the run looks at
// it at safe points.
void InstallSignalHandlers();
// The first signal received, 0 while none came.
int SignalReceived();
// A safe point: outside a controller's programming a signal received stops
// the run here (and the process ends by that signal); inside it, the signal
// is written to the log once and the programming goes on.
void CheckSignal();
// The programming of one controller, from its erase to its end. A signal
// that came before it begins stops the run at once.
void ProgrammingBegins();
void ProgrammingEnds();
// At a safe point of the programming: true when a signal asks it to stop there.
bool SignalStopsProgramming();

// ---------------------------------------------------------------------------
// Terminal and keys (terminal.cpp).
int set_tty_raw();
int set_tty_cooked();
int getch();
int kbhit();

#define KEY_ESC 27

// ---------------------------------------------------------------------------
// I2C through the BMC (i2c.cpp). Addresses are 7-bit here.
int i2c_master_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char busID);
int i2c_master_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char busID);

// Completion code of the last response the I2C layer received, 0 when the
// last call got none; the scan tells a refused bus (0xCC) from other failures
// by it.
extern INT8U I2C_LastCompletionCode;

// --read-only with -ms (mux_as_found.cpp): the mux's register is read before
// the run's first channel selection on its bus, every selection is noted,
// and each mux the run switched gets its found channels back at the end of
// the BMC pass or when a signal stops the run. Nothing in other runs.
void KeepMuxAsFound(unsigned char busID, INT8U mux_address);
void NoteMuxSwitched(unsigned char busID, INT8U mux_address, INT8U mask);
void PutMuxesBackAsFound();

// Controller registers (registers.cpp). Addresses are 8-bit here.
int ReadQBreg(INT8U busID, INT8U i2c_addr, INT8U reg);
int WriteQBreg(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U data);
int ReadQB4083Creg(INT8U busID, INT8U i2c_addr, INT8U reg);

// ---------------------------------------------------------------------------
// Device tables (scan.cpp).
extern structChipInfo ChipInfo[MAX_CHIPS];
extern structChipInfo QB4083CChipInfo[MAX_CHIPS];
extern structChipInfo TotalChipInfo[MAX_CHIPS];
extern INT8U ChipsFound;
extern unsigned char TotalChipCounter;
extern unsigned char FoundQB4083C;
extern char ScanChannels;
extern INT8U BusIDchannel;
extern INT8U i2c_addr_ScanLast;
// The controllers the last scan found after ChipInfo was full: dumped and
// marked, never upgraded; kept here only so that --plan can name them.
extern structChipInfo BeyondTableChipInfo[MAX_CHIPS];
extern INT8U ChipsBeyondTable;

int ScanForQBdevices();
// Records the controller just identified at the next index of ChipInfo (or,
// with the table full, only dumps and marks it). The scan's probe calls it;
// tests call it to reach the QB4083C branches, which no probe rule selects.
void RecordQBdevice(INT8U busID, INT8U i2c_addr, INT8U ChipID, const char* name, int MUXretval);
// --read-only (same_controller.cpp): whether the controller just identified
// at `busID`/`i2c_addr` is one the scan has already recorded, reached again
// on another path; told without writing anything but register numbers.
bool ReachedBeforeInScan(INT8U busID, INT8U i2c_addr, INT8U ChipID);

// VPD EEPROM dump at one probe position (vpd.cpp).
void GetI2CdeviceData(unsigned char busID);
// --capture-redact vpd: the capture's recorder replaces the text fields.
void RedactVpdText();

// Summary, delay countdown and LED cycling (summary.cpp).
void DisplaySummary();

// LED commands (leds.cpp).
void EnableLampTest(INT8U BackplaneNum);
void TurnOnAllStatusLEDs();
void TurnOnAllActivityLEDs();
void TurnOffAllLEDs();
void DisableLampTest(INT8U BackplaneNum);
// The LEDs the pass lit: every write to an LED register tells it before and
// after it is sent. A run that a signal stops puts out those still lit
// (PutOutLitLeds); a pass forgets them when it closes its BMC.
enum LedWriteStage { LED_WRITE_BEFORE, LED_WRITE_AFTER };
void NoteLedWrite(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U value, LedWriteStage stage);
void PutOutLitLeds();
void ForgetLitLeds();

// Diagnostics (diagnostics.cpp).
int PerformDiagnostics();

// ---------------------------------------------------------------------------
// Firmware image (image.cpp).
extern char ImageFileName[6];
extern INT8U ChipIDshouldbe;
extern INT8U FirmwareImage[FIRMWARE_IMAGE_SIZE];
extern INT16U FileImageSize;
// SHA-256 of the whole image file as last loaded, in hexadecimal, when the
// run needs it (--report, --image-sha256); "" otherwise or when the file
// could not be read to its end.
extern char ImageSha256[2 * 32 + 1];

void CheckImageFileName();  // ends the process with 5 on a bad name
// --strict, --plan: the family from the file's own name, never from a
// directory's; ends the process with 5 when the name holds no key, or a
// directory holds one that the name does not.
void CheckImageBaseName();
// The family was taken from the file's own name (else from the whole path).
extern unsigned char ImageFamilyFromBaseName;
int LoadFirmwareImage();    // 0, or 1 after closing the BMC and the log

// Flash programming (flash.cpp).
extern INT8U QB4083CUpgrade;
int FlashFirmwareOverI2C(INT8U ChipID, INT8U i2c_addr, INT8U busID, INT8U MUXaddress, INT8U MUXchannel,
                         INT8U ProgInd, INT8U ProgTotal);

// Upgrade of all found controllers (upgrade.cpp).
int UpgradeFirmwareOnAllFoundThread();
// The checks the upgrade makes of one record before it flashes it.
bool IsKnownChip(INT8U ChipID);                // a chip ID the upgrade acts on at all
bool ImageIsForChip(INT8U ChipID);             // the image's family takes it
bool UpgradeAsksFirst();                       // a QB4083C image, to be confirmed by the operator
bool RunsImageVersion(const structChipInfo& chip);

// --plan (plan.cpp): what the upgrade of the controllers the scan has just
// found would do, one line each, with no flash command; then, at the end of
// the run, the plan's code and its closing line.
void PlanUpgradeOfAllFound(int bmc);
void PlanFoundNoController();  // a pass's scan found none
int PlanRunCode();
void PrintPlanEnd(int code);
