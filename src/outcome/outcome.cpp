// SPDX-License-Identifier: MIT
// Recording what became of the run and of every controller it met, and the
// exit status that --strict makes of it.
//
// A controller is one record per BMC pass, however many scans and cycles
// the pass runs: "firmware_before" is what the pass's first scan read,
// "firmware_last_seen" the last version read from it (by a scan, or by its
// programming before the erase and after the reset), "firmware_after" the
// version read back after its last programming, and "upgrade" the first
// failure of any cycle, else "upgraded" when a cycle flashed it, else
// "same_version".
#include "outcome.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../bmc/discovery.h"
#include "../bmc/lan/lan_road.h"
#include "../bmc/road.h"
#include "../capture/capture_run.h"
#include "../common/chip_table.h"
#include "../common/register_map.h"
#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../logfile/lost_files.h"
#include "../os/os.h"
#include "../output/output_file.h"
#include "metrics_text.h"
#include "report_json.h"

namespace {

// Where Linux keeps what identifies the machine beyond its host name.
constexpr const char* kProductSerialFile = "/sys/class/dmi/id/product_serial";
constexpr const char* kMachineIdFile = "/etc/machine-id";

RunRecord Run;

bool RunBegun = false;
bool RunEnded = false;
bool ReportRefused = false;
bool MetricsRefused = false;
bool ReportFailed = false;  // the operator has been told once
int FirstFailure = RC_OK;

// What the scan read from the controller it is recording, until it is noted.
INT8U PendingReading[READINGS];
INT8U PendingKnown = 0;
// Which of its version, revision and configuration registers were read.
enum PendingRegister : INT8U {
    PENDING_FWID0 = 1,
    PENDING_FWID1 = 2,
    PENDING_FWID2 = 4,
    PENDING_REVISION = 8,
    PENDING_CONFIG = 16,
};
constexpr INT8U kPendingVersion = PENDING_FWID0 | PENDING_FWID1 | PENDING_FWID2;
INT8U PendingRegisters = 0;
struct KnownRegister {
    INT8U reg;
    INT8U bit;  // PendingRegister
};
constexpr KnownRegister kKnownRegisters[] = {
    {QBREG_FWID0, PENDING_FWID0},       {QBREG_FWID1, PENDING_FWID1}, {QBREG_FWID2, PENDING_FWID2},
    {QBREG_REVISION, PENDING_REVISION}, {QBREG_CONFIG, PENDING_CONFIG},
};

struct ReadingRegister {
    INT8U reg;
    ControllerReading reading;
};
constexpr ReadingRegister kReadingRegisters[] = {
    {QBREG_SLOTS_USED, READING_SLOTS_USED}, {QBREG_SLOTS_MATED, READING_SLOTS_MATED},
    {QBREG_TEMP, READING_TEMP},             {QBREG_TEMP_AMBIENT, READING_TEMP_AMBIENT},
    {QBREG_TEMP_THRESH, READING_TEMP_THRESH},
};

long long NowUs()
{
    struct timeval tv;
    if (os::gettimeofday(&tv) != 0)
        return 0;
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// The exit status this run's metrics file gives, while it stands.
bool MetricsWritten = false;
int MetricsExitCode = RC_OK;

// Why the metrics file must not be written (the image, a secret, a log, the
// report's or the capture's file, no regular file), or null; decided once,
// at the start or, for a run that ends before it (a refused report), at the
// first write, so that no path writes a file the start would have refused.
bool MetricsChecked = false;
const char* MetricsWhy = nullptr;

const char* MetricsRefusal()
{
    if (!MetricsChecked) {
        MetricsChecked = true;
        const char* image = CMDL_FilenameSpecified ? BinFilename : nullptr;
        MetricsWhy = OutputFileRefusal(MetricsFilename, image, ReportFilename);
        if (!MetricsWhy)
            MetricsWhy = OutputFileRefusal(MetricsFilename, image, CaptureFilename);
        MetricsRefused = MetricsRefused || MetricsWhy;
    }
    return MetricsWhy;
}

// Writes the metrics as the record stands (at the end of the run); a file
// that cannot be written is told once and counted as lost. One written
// again keeps the run's end, and one that cannot be is removed, so that no
// status but the run's stands.
void WriteRunMetrics()
{
    if (!MetricsWritten)
        Run.finished_us = NowUs();
    if (int error = WriteMetrics(Run, MetricsFilename)) {
        if (MetricsWritten)
            OutputFileRemove(MetricsFilename);
        MetricsWritten = false;
        NoteOutputLost(OUTPUT_METRICS, MetricsFilename, std::strerror(error));
        return;
    }
    MetricsWritten = true;
    MetricsExitCode = Run.exit_code;
}

// A file lost after the metrics were written (the report's last write, the
// capture at its end) turns a strict run's 0 into 7: the metrics say so too.
void RewriteStaleMetrics()
{
    if (MetricsWritten && Run.exit_known && Run.exit_code != MetricsExitCode)
        WriteRunMetrics();
}
// The command line being parsed, for a report of an error in it.
int CommandLineArgc = 0;
char** CommandLineArgv = nullptr;
// The losses the report's last write held.
bool LossWritten[OUTPUT_KINDS];

// State of the scan, flash and cycle under way.
int NotRecordedInScan = 0;
time_t FlashStarted = 0;
INT8U FlashStepNow = STEP_NONE;
char FlashError[RECORD_ERROR_SIZE];
bool FlashAborted = false;
bool HaveReadBack = false;
INT8U ReadBack[RECORD_VERSION_BYTES];
bool MatchedInCycle[MAX_CHIPS];

BmcRecord* CurrentBmc() { return RunBegun && Run.bmc_count > 0 ? &Run.bmcs[Run.bmc_count - 1] : nullptr; }

// The record of the controller at `busID`/`i2c_addr` in the pass under way.
ControllerRecord* Listed(INT8U busID, INT8U i2c_addr)
{
    BmcRecord* bmc = CurrentBmc();
    if (!bmc)
        return nullptr;
    for (int i = 0; i < bmc->listed; ++i)
        if (bmc->controllers[i].busID == busID && bmc->controllers[i].i2c_addr == i2c_addr)
            return &bmc->controllers[i];
    return nullptr;
}

// A failure of any cycle stands for the pass, with the step and line that
// told of it; an upgrade outranks a match.
void Merge(ControllerRecord* c, INT8U now, INT8U step = STEP_NONE, const char* line = "")
{
    if (!c || c->upgrade >= UPGRADE_FAILED)
        return;
    if (now >= UPGRADE_UPGRADED || c->upgrade == UPGRADE_NONE)
        c->upgrade = now;
    if (now >= UPGRADE_FAILED) {
        c->failed_step = step;
        std::snprintf(c->error, sizeof c->error, "%s", line);
    }
}

// The first line of a small system file, without its line end; "" when it
// cannot be read.
void ReadSystemLine(const char* path, char* text, size_t size)
{
    ssize_t n = os::read_system_file(path, text, size - 1);
    text[n > 0 ? n : 0] = '\0';
    text[std::strcspn(text, "\r\n")] = '\0';
}

void RecordHost(HostRecord& host)
{
    if (os::gethostname(host.name, sizeof host.name) != 0)
        host.name[0] = '\0';
    host.name[sizeof host.name - 1] = '\0';
    ReadSystemLine(kProductSerialFile, host.product_serial, sizeof host.product_serial);
    ReadSystemLine(kMachineIdFile, host.machine_id, sizeof host.machine_id);
}

bool AnyOutputLost()
{
    for (int kind = 0; kind < OUTPUT_KINDS; ++kind)
        if (OutputLost(static_cast<OutputKind>(kind)))
            return true;
    return false;
}

// Under --strict a run that would end 0 but lost a file it writes does not.
int StrictCode(int code)
{
    return CMDL_Strict && code == RC_OK && AnyOutputLost() ? RC_OUTPUT_LOST : code;
}

// Writes the report as the record stands: the files lost so far, and, once
// the run has ended, its status with them. A report that cannot be written
// is told once; an old one that could not be replaced is removed, so that
// it cannot pass for this run's. Returns whether it was written.
bool WriteRunReport()
{
    Run.strict = CMDL_Strict;
    Run.image.family_from = ImageFamilyFromBaseName ? FAMILY_FROM_BASE_NAME : FAMILY_FROM_PATH;
    for (int kind = 0; kind < OUTPUT_KINDS; ++kind) {
        OutputKind k = static_cast<OutputKind>(kind);
        Run.lost[kind] = LossRecord{OutputLost(k), OutputLostPath(k), OutputLostWhy(k)};
        LossWritten[kind] = OutputLost(k);
    }
    if (Run.complete && Run.exit_known)
        Run.exit_code = StrictCode(Run.exit_code);
    int error = WriteReport(Run, ReportFilename);
    if (error == 0)
        return true;
    if (ReportFailed)
        return false;
    ReportFailed = true;
    NoteOutputLost(OUTPUT_REPORT, ReportFilename, std::strerror(error));
    if (!Run.complete)
        OutputFileRemove(ReportFilename);
    return false;
}

// The record of a run, from its command line on.
void BeginRecord(int argc, char** argv)
{
    Run.argc = argc;
    Run.argv = argv;
    Run.image.named = CMDL_FilenameSpecified;
    Run.image.file = BinFilename;
    Run.image.family = ImageFileName;
    std::memcpy(Run.image.sha256_expected, ExpectedImageSha256, sizeof Run.image.sha256_expected);
    Run.image.sha256_matched = -1;
    Run.plan = CMDL_Plan;
    RunBegun = true;
    if (MetricsFilename[0])
        Run.started_us = NowUs();
    if (ReportFilename[0]) {
        Run.started = os::time(nullptr);
        RecordHost(Run.host);
    }
}

// Whether `file`, named after `option` on a command line that was refused,
// may still be written: not when it is a file that must not be, nor when it
// is another argument or the value of a --NAME=VALUE one (any of them may
// have been meant as the image or a secret of --lan the parse never reached).
bool WritableAfterRefusal(const char* file, const char* option, const char* other_output)
{
    if (!file[0])
        return false;
    const size_t option_length = std::strlen(option);
    for (int i = 1; i < CommandLineArgc; ++i) {
        const char* arg = CommandLineArgv[i];
        const char* equals = std::strncmp(arg, "--", 2) == 0 ? std::strchr(arg, '=') : nullptr;
        const bool own_name = equals ? static_cast<size_t>(equals - arg) == option_length &&
                                           std::strncmp(arg, option, option_length) == 0
                                     : std::strcmp(CommandLineArgv[i - 1], option) == 0;
        if (!own_name && OutputFileRefusal(file, equals ? equals + 1 : arg, nullptr))
            return false;
    }
    return !OutputFileRefusal(file, nullptr, other_output);
}

// The command line was refused after --report FILE or --metrics FILE was
// taken: FILE says so of this run, unless it must be left alone (the run
// ends with 5 all the same).
void ReportCommandLineError()
{
    ReportRefused = !WritableAfterRefusal(ReportFilename, "--report", nullptr);
    MetricsRefused = !WritableAfterRefusal(MetricsFilename, "--metrics", ReportFilename);
    if (ReportRefused && MetricsRefused)
        return;
    BeginRecord(CommandLineArgc, CommandLineArgv);
}

// Under --strict, a run that would end 0 with a file lost ends with 7 and
// says so, once.
void SayOutputsLost()
{
    if (Run.exit_known && StrictCode(Run.exit_code) != Run.exit_code) {
        pb("ERROR: Not every file of the run was written [RETURN CODE:0x%02x]", RC_OUTPUT_LOST);
        Run.exit_code = RC_OUTPUT_LOST;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The run

void NoteCommandLine(int argc, char** argv)
{
    CommandLineArgc = argc;
    CommandLineArgv = argv;
}

void BeginRunOutcome(int argc, char** argv) { BeginRecord(argc, argv); }

void StartReport()
{
    if (!ReportFilename[0])
        return;
    const char* why = OutputFileRefusal(ReportFilename, CMDL_FilenameSpecified ? BinFilename : nullptr, nullptr);
    if (why) {
        pb("ERROR: Refusing to write report file %s: %s [RETURN CODE:0x%02x]", ReportFilename, why,
           RC_COMMAND_LINE);
        ReportRefused = true;
        int code = EndRun(RC_COMMAND_LINE);
        CloseLogFile();
        exit(FinishRun(code));
    }
    if (WriteRunReport())
        return;
    // What stands at FILE now is no report of this run: the run does not begin.
    pb("ERROR: No run without its report: nothing was sent [RETURN CODE:0x%02x]", RC_COMMAND_LINE);
    ReportRefused = true;
    int code = EndRun(RC_COMMAND_LINE);
    CloseLogFile();
    exit(FinishRun(code));
}

void StartMetrics()
{
    if (!MetricsFilename[0])
        return;
    const char* why = MetricsRefusal();
    if (!why)
        return;
    pb("ERROR: Refusing to write metrics file %s: %s [RETURN CODE:0x%02x]", MetricsFilename, why, RC_COMMAND_LINE);
    MetricsRefused = true;
    int code = EndRun(RC_COMMAND_LINE);
    CloseLogFile();
    exit(FinishRun(code));
}

void NoteBmcsFound(int count)
{
    if (RunBegun)
        Run.bmcs_found = count;
}

void NoteRegisterRead(INT8U reg, int value)
{
    for (const KnownRegister& k : kKnownRegisters) {
        if (k.reg == reg)
            PendingRegisters = static_cast<INT8U>(value >= 0 ? PendingRegisters | k.bit : PendingRegisters & ~k.bit);
    }
    for (const ReadingRegister& r : kReadingRegisters) {
        if (r.reg != reg)
            continue;
        PendingReading[r.reading] = static_cast<INT8U>(value & 0xFF);
        if (value >= 0)
            PendingKnown = static_cast<INT8U>(PendingKnown | 1u << r.reading);
        else
            PendingKnown = static_cast<INT8U>(PendingKnown & ~(1u << r.reading));
    }
}

int RunCode(int next)
{
    if (!CMDL_Strict)
        return next;
    if (FirstFailure == RC_OK)
        FirstFailure = next;
    return FirstFailure;
}

int EndRun(int code)
{
    if (!RunBegun && (ReportFilename[0] || MetricsFilename[0]) && CommandLineArgv)
        ReportCommandLineError();
    if (!RunBegun)
        return code;
    if (RunEnded)
        return Run.exit_code;
    RunEnded = true;
    Run.exit_code = CMDL_Strict && FirstFailure != RC_OK ? FirstFailure : code;
    Run.exit_known = Run.signal == nullptr;
    Run.complete = 1;
    // The files lost so far change a strict run's status before the metrics
    // give it; a metrics file that cannot be written is told after.
    SayOutputsLost();
    if (MetricsFilename[0] && !MetricsRefused && !MetricsRefusal())
        WriteRunMetrics();
    SayOutputsLost();
    if (ReportFilename[0] && !ReportRefused) {
        Run.finished = os::time(nullptr);
        WriteRunReport();
    }
    if (Run.exit_known)
        Run.exit_code = StrictCode(Run.exit_code);
    RewriteStaleMetrics();
    return Run.exit_code;
}

void ExitRun(int code) { exit(FinishRun(EndRun(code))); }

void CommandLineError(const char* fmt, ...)
{
    if (!CMDL_QuietMode) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(stdout, fmt, ap);
        va_end(ap);
        fputs("\r\n", stdout);
        fflush(stdout);
    }
    ExitRun(RC_COMMAND_LINE);
}

void RefuseCommandLine(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    // Under -q a timer's journal sees standard error alone.
    vfprintf(CMDL_QuietMode ? stderr : stdout, fmt, ap);
    va_end(ap);
    fputs(CMDL_QuietMode ? "\n" : "\r\n", CMDL_QuietMode ? stderr : stdout);
    fflush(stdout);
    ExitRun(RC_COMMAND_LINE);
}

void ReportLateLosses()
{
    if (!RunEnded || !ReportFilename[0] || ReportRefused || ReportFailed)
        return;
    for (int kind = 0; kind < OUTPUT_KINDS; ++kind) {
        if (OutputLost(static_cast<OutputKind>(kind)) && !LossWritten[kind]) {
            WriteRunReport();
            return;
        }
    }
}

int FinishRun(int code)
{
    CloseBmcRoads();
    CaptureEnd();
    ReportLateLosses();
    if (!RunEnded || !Run.exit_known)
        return code;
    Run.exit_code = StrictCode(Run.exit_code);
    RewriteStaleMetrics();
    return StrictCode(code);
}

void NoteRunSignal(const char* signal_name) { Run.signal = signal_name; }

void NoteImageLoaded(const INT8U* bytes, INT16U size)
{
    ImageRecord& image = Run.image;
    if (image.loaded)
        return;
    image.loaded = 1;
    image.size = size;
    std::memcpy(image.version, &bytes[IMAGE_VERSION_OFFSET], RECORD_VERSION_BYTES);
}

void NoteImageDigest(const char* sha256)
{
    ImageRecord& image = Run.image;
    if (BmcRecord* bmc = CurrentBmc())
        std::memcpy(bmc->image_sha256, sha256, sizeof bmc->image_sha256);
    if (!sha256[0])
        return;
    if (image.passes_read++ > 0) {
        if (std::strcmp(image.sha256, sha256) != 0)
            image.changed = 1;
        return;
    }
    std::memcpy(image.sha256, sha256, sizeof image.sha256);
    image.sha256_matched = -1;
    if (image.sha256_expected[0])
        image.sha256_matched = std::strcmp(image.sha256, image.sha256_expected) == 0 ? 1 : 0;
}

void NoteBmcPass(int opened)
{
    if (!RunBegun || Run.bmc_count == RECORD_MAX_BMCS)
        return;
    BmcRecord& bmc = Run.bmcs[Run.bmc_count++];
    bmc.opened = opened ? 1 : 0;
    bmc.listed = 0;
    bmc.interface = INTERFACE_NONE;
    if (Road == ROAD_LAN) {
        bmc.interface = INTERFACE_LAN;
        LanRoadFacts facts;
        LanRoadDescribe(&facts);
        std::snprintf(bmc.lan.host, sizeof bmc.lan.host, "%s", facts.host);
        bmc.lan.port = facts.port;
        bmc.lan.cipher_suite = facts.cipher_suite;
        bmc.lan.privilege = facts.privilege;
        std::snprintf(bmc.lan.user, sizeof bmc.lan.user, "%s", LanUser);
        std::snprintf(bmc.lan.error, sizeof bmc.lan.error, "%s", facts.error);
    } else if (opened && OpenIPMIDriverLoaded) {
        bmc.interface = INTERFACE_DRIVER;
        std::snprintf(bmc.device, sizeof bmc.device, "%s", BmcNodePath);
    } else if (opened) {
        bmc.interface = INTERFACE_KCS;
        bmc.data_port = ISA_SMS_DATA;
        bmc.status_port = ISA_SMS_CMD_STATUS;
    }
}

void NoteBmcLost(const char* why)
{
    BmcRecord* bmc = CurrentBmc();
    if (bmc && bmc->interface == INTERFACE_LAN)
        std::snprintf(bmc->lan.error, sizeof bmc->lan.error, "%s", why);
}

// ---------------------------------------------------------------------------
// The scan

void NoteScanBegins()
{
    NotRecordedInScan = 0;
    if (BmcRecord* bmc = CurrentBmc())
        ++bmc->scans;
}

void NoteControllerFound(const structChipInfo& rec, int MUXretval, int stored)
{
    if (!stored)
        ++NotRecordedInScan;
    ControllerRecord* c = Listed(rec.busID, rec.i2c_addr);
    BmcRecord* bmc = CurrentBmc();
    if (!c && bmc && bmc->listed < RECORD_MAX_CONTROLLERS) {
        c = &bmc->controllers[bmc->listed++];
        *c = ControllerRecord{};
        c->busID = rec.busID;
        c->i2c_addr = rec.i2c_addr;
        c->behind_mux = MUXretval ? 1 : 0;
        c->MUXaddress = rec.MUXaddress;
        c->ChannelNumber = rec.ChannelNumber;
        c->ChipID = rec.ChipID;
        c->ChipRev = rec.ChipRev;
        std::memcpy(c->ChipName, rec.ChipName, sizeof c->ChipName);
        c->ConfigByte = rec.ConfigByte;
        c->before[0] = rec.FW_ID0;
        c->before[1] = rec.FW_ID1;
        c->before[2] = rec.FW_ID2;
        const bool version = (PendingRegisters & kPendingVersion) == kPendingVersion;
        c->known = static_cast<INT8U>((version ? KNOWN_BEFORE : 0) |
                                      (PendingRegisters & PENDING_REVISION ? KNOWN_REVISION : 0) |
                                      (PendingRegisters & PENDING_CONFIG ? KNOWN_CONFIG : 0));
    }
    if (c) {
        c->last_seen[0] = rec.FW_ID0;
        c->last_seen[1] = rec.FW_ID1;
        c->last_seen[2] = rec.FW_ID2;
        if ((PendingRegisters & kPendingVersion) == kPendingVersion)
            c->known = static_cast<INT8U>(c->known | KNOWN_LAST_SEEN);
        else
            c->known = static_cast<INT8U>(c->known & ~KNOWN_LAST_SEEN);
        c->last_scan = bmc->scans;
        std::memcpy(c->reading, PendingReading, sizeof c->reading);
        c->reading_known = PendingKnown;
    }
    PendingKnown = 0;
    PendingRegisters = 0;
    // Only an upgrade run has something to say about a controller it could
    // not keep (a plan says it of its own).
    if (!stored && CMDL_FilenameSpecified && !CMDL_Plan)
        Merge(c, UPGRADE_NOT_RECORDED);
}

// ---------------------------------------------------------------------------
// The flash and the upgrade cycle

void NoteFlashBegins()
{
    FlashStarted = os::time(nullptr);
    FlashStepNow = STEP_NONE;
    FlashError[0] = '\0';
    FlashAborted = false;
    HaveReadBack = false;
}

void NoteFlashStep(INT8U step) { FlashStepNow = step; }

// The first line tells the failure; what follows is its consequence.
void NoteFlashError(const char* line)
{
    if (!FlashError[0])
        std::snprintf(FlashError, sizeof FlashError, "%s", line);
}

void NoteFlashAborted() { FlashAborted = true; }

void NoteVersionRead(INT8U busID, INT8U i2c_addr, const INT8U* version)
{
    ControllerRecord* c = Listed(busID, i2c_addr);
    if (!c)
        return;
    std::memcpy(c->last_seen, version, RECORD_VERSION_BYTES);
    c->known = static_cast<INT8U>(c->known | KNOWN_LAST_SEEN);
    c->last_scan = CurrentBmc()->scans;
}

void NoteVersionReadBack(const INT8U* version)
{
    std::memcpy(ReadBack, version, RECORD_VERSION_BYTES);
    HaveReadBack = true;
}

void NoteSameVersion(const structChipInfo& chip, INT8U ChipCounter)
{
    if (ChipCounter < MAX_CHIPS)
        MatchedInCycle[ChipCounter] = true;
    Merge(Listed(chip.busID, chip.i2c_addr), UPGRADE_SAME_VERSION);
}

void NotePlanned(const structChipInfo& chip, INT8U planned)
{
    if (ControllerRecord* c = Listed(chip.busID, chip.i2c_addr))
        c->planned = planned;
}

int NoteFlashResult(const structChipInfo& chip, int flashed, const INT8U* image_version)
{
    INT8U outcome = flashed ? UPGRADE_UPGRADED : FlashAborted ? UPGRADE_ABORTED : UPGRADE_FAILED;
    // A controller can take the downcopy-and-reset and still come back on
    // its old image. The record always says so; only under --strict does it
    // count as a failure, with its line in the log.
    if (flashed && !(HaveReadBack && std::memcmp(ReadBack, image_version, RECORD_VERSION_BYTES) == 0)) {
        std::snprintf(FlashError, sizeof FlashError,
                      "ERROR: Controller at I2C address 0x%02x on Bus 0x%02x runs FW:0x%02x Major-REV:0x%02x "
                      "Minor-Rev:0x%02x after the upgrade, expected FW:0x%02x Major-REV:0x%02x Minor-Rev:0x%02x",
                      chip.i2c_addr, chip.busID, ReadBack[0], ReadBack[1], ReadBack[2], image_version[0],
                      image_version[1], image_version[2]);
        FlashStepNow = STEP_READ_BACK;
        outcome = UPGRADE_VERSION_MISMATCH;
        if (CMDL_Strict) {
            pb("%s", FlashError);
            flashed = 0;
        }
    }
    if (ControllerRecord* c = Listed(chip.busID, chip.i2c_addr)) {
        if (!c->programming_started)
            c->programming_started = FlashStarted;
        c->programming_finished = os::time(nullptr);
        if (HaveReadBack) {
            std::memcpy(c->after, ReadBack, RECORD_VERSION_BYTES);
            c->read_back = 1;
        }
        Merge(c, outcome, FlashStepNow, FlashError);
    }
    FlashAborted = false;
    HaveReadBack = false;
    return flashed;
}

int UpgradeCycleResult(int result, const structChipInfo* chips, INT8U count)
{
    const INT8U found = count < MAX_CHIPS ? count : MAX_CHIPS;
    int strict_result = 1;
    for (INT8U i = 0; i < found; ++i)
        if (!chips[i].Updated && !MatchedInCycle[i])
            strict_result = 0;
    std::memset(MatchedInCycle, 0, sizeof MatchedInCycle);
    if (!CMDL_Strict)
        return result;
    if (NotRecordedInScan > 0) {
        pb("ERROR: %d controllers not upgraded: the device table holds %d", NotRecordedInScan, MAX_CHIPS);
        strict_result = 0;
    }
    return strict_result;
}
