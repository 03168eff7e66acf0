// --strict and --report: what became of every controller the run met, the
// exit status that --strict makes of it, and the JSON report.
//
// A controller is one record per BMC pass, however many scans and cycles
// the pass runs: "firmware_before" is what the pass's first scan read,
// "firmware_after" the version read back after its last reset by the
// upgrade, and "upgrade" the first failure of any cycle, else "upgraded" when
// a cycle flashed it, else "same_version".
#include "outcome.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../kcs/kcs.h"
#include "../logfile/logfile.h"
#include "../logfile/report_file.h"
#include "../os/os.h"

unsigned char CMDL_Strict = 0;
char ReportFilename[REPORT_FILENAME_SIZE] = "";

namespace {

// What the upgrade did to one controller; the failures come last, so that
// one comparison tells them.
enum UpgradeOutcome : INT8U {
    UPGRADE_NONE,
    UPGRADE_SAME_VERSION,
    UPGRADE_UPGRADED,
    UPGRADE_FAILED,
    UPGRADE_ABORTED,
    UPGRADE_VERSION_MISMATCH,
    UPGRADE_NOT_RECORDED,
};
constexpr const char* kUpgradeWords[] = {
    nullptr, "same_version", "upgraded", "failed", "aborted", "version_mismatch", "not_recorded",
};

struct ExitMeaning {
    int code;
    const char* words;
};
constexpr ExitMeaning kExitMeanings[] = {
    {RC_OK, "done"},
    {RC_IMAGE_FILE, "image file unusable"},
    {RC_UPGRADE_ABORTED, "upgrade aborted"},
    {RC_UPGRADE_INCOMPLETE, "not every controller upgraded"},
    {RC_COMMAND_LINE, "command line or image refused"},
    {RC_DIAGNOSTICS_ABORTED, "diagnostics aborted"},
    {RC_NO_DEVICES, "no controller found"},
    {RC_BMC_OPEN_FAILED, "BMC open failed"},
};

// Offsets of the version bytes inside an image.
constexpr int kImageVersion = 51;
constexpr size_t kVersionBytes = 3;

struct ControllerOutcome {
    INT8U busID;
    INT8U i2c_addr;
    INT8U behind_mux;
    INT8U MUXaddress;
    INT8U ChannelNumber;
    INT8U ChipID;
    char ChipName[7];
    INT8U ConfigByte;
    INT8U before[kVersionBytes];
    INT8U after[kVersionBytes];
    INT8U read_back;  // `after` holds a version
    INT8U upgrade;
};

// The table's 16 and as many again that it could not hold.
constexpr int kMaxListed = 2 * MAX_CHIPS;
constexpr int kMaxPasses = 4;

struct PassOutcome {
    INT8U opened;
    char road[32];  // "" when the BMC did not open
    int listed;
    ControllerOutcome controllers[kMaxListed];
};

PassOutcome Passes[kMaxPasses];
int PassCount = 0;

int RunArgc = 0;
char** RunArgv = nullptr;
bool RunBegun = false;
bool RunEnded = false;
int FinalCode = RC_OK;
int FirstFailure = RC_OK;
time_t Started = 0;

// State of the scan, flash and cycle under way.
int NotRecordedInScan = 0;
bool FlashAborted = false;
bool HaveReadBack = false;
INT8U ReadBack[kVersionBytes];
bool MatchedInCycle[MAX_CHIPS];
bool ImageLoaded = false;

// The record of the controller at `busID`/`i2c_addr` in the pass under way.
ControllerOutcome* Listed(INT8U busID, INT8U i2c_addr)
{
    if (!RunBegun || PassCount == 0)
        return nullptr;
    PassOutcome& pass = Passes[PassCount - 1];
    for (int i = 0; i < pass.listed; ++i)
        if (pass.controllers[i].busID == busID && pass.controllers[i].i2c_addr == i2c_addr)
            return &pass.controllers[i];
    return nullptr;
}

// A failure of any cycle stands for the pass; an upgrade outranks a match.
void Merge(ControllerOutcome* c, INT8U now)
{
    if (!c || c->upgrade >= UPGRADE_FAILED)
        return;
    if (now >= UPGRADE_UPGRADED || c->upgrade == UPGRADE_NONE)
        c->upgrade = now;
}

bool IsImageVersion(const INT8U* version)
{
    return std::memcmp(version, &FirmwareImage[kImageVersion], kVersionBytes) == 0;
}

// ---------------------------------------------------------------------------
// JSON

// Length of the well-formed UTF-8 sequence at `p`, 0 when it is none.
size_t Utf8SequenceLength(const unsigned char* p, size_t left)
{
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3;
        low = p[0] == 0xE0 ? 0xA0 : low;   // no overlong forms
        high = p[0] == 0xED ? 0x9F : high;  // no surrogates
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4;
        low = p[0] == 0xF0 ? 0x90 : low;
        high = p[0] == 0xF4 ? 0x8F : high;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t k = 2; k < length; ++k)
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    return length;
}

// A JSON string of `length` bytes. File names and arguments can hold any
// byte: control characters are escaped, and a byte that is not part of
// well-formed UTF-8 becomes U+FFFD, so that every reader can parse the report.
void PutString(const char* text, size_t length)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    ReportPut("\"", 1);
    size_t pending = 0;  // start of the bytes that go out as they are
    for (size_t i = 0; i < length;) {
        char escape[8] = "";
        size_t step = 1;
        if (s[i] == '"' || s[i] == '\\')
            std::snprintf(escape, sizeof escape, "\\%c", s[i]);
        else if (s[i] == '\n')
            std::snprintf(escape, sizeof escape, "\\n");
        else if (s[i] == '\t')
            std::snprintf(escape, sizeof escape, "\\t");
        else if (s[i] < 0x20)
            std::snprintf(escape, sizeof escape, "\\u%04x", s[i]);
        else if (s[i] >= 0x80 && (step = Utf8SequenceLength(s + i, length - i)) == 0)
            std::snprintf(escape, sizeof escape, "\\ufffd");
        if (escape[0]) {
            ReportPut(text + pending, i - pending);
            ReportPut(escape, std::strlen(escape));
            step = 1;
            pending = i + 1;
        }
        i += step;
    }
    ReportPut(text + pending, length - pending);
    ReportPut("\"", 1);
}

void PutText(const char* text) { PutString(text, std::strlen(text)); }

void PutVersion(const INT8U* version)
{
    ReportPrintf("[%d, %d, %d]", version[0], version[1], version[2]);
}

// ISO 8601, in UTC.
void PutTime(time_t t)
{
    char text[32];
    struct tm utc;
    if (gmtime_r(&t, &utc) && std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc))
        PutText(text);
    else
        ReportPrintf("null");
}

const char* ExitMeaningOf(int code)
{
    for (const ExitMeaning& m : kExitMeanings)
        if (m.code == code)
            return m.words;
    return "unknown";
}

void PutImage()
{
    if (!CMDL_FilenameSpecified) {
        ReportPrintf("null");
        return;
    }
    ReportPrintf("{\"file\": ");
    PutText(BinFilename);
    ReportPrintf(", \"family\": ");
    PutText(ImageFileName);
    if (ImageLoaded) {
        ReportPrintf(", \"size\": %d, \"version\": ", FileImageSize);
        PutVersion(&FirmwareImage[kImageVersion]);
        ReportPrintf("}");
    } else {
        ReportPrintf(", \"size\": null, \"version\": null}");
    }
}

void PutController(const ControllerOutcome& c)
{
    ReportPrintf("{\"bus\": \"0x%02X\", \"address\": \"0x%02X\", \"mux\": ", c.busID, c.i2c_addr);
    if (c.behind_mux)
        ReportPrintf("{\"address\": \"0x%02X\", \"channel\": %d}", c.MUXaddress, c.ChannelNumber);
    else
        ReportPrintf("null");
    ReportPrintf(", \"chip_id\": %d, \"model\": ", c.ChipID);
    PutString(c.ChipName, strnlen(c.ChipName, sizeof c.ChipName));
    ReportPrintf(", \"config\": %d, \"firmware_before\": ", c.ConfigByte);
    PutVersion(c.before);
    ReportPrintf(", \"firmware_after\": ");
    if (c.read_back)
        PutVersion(c.after);
    else
        ReportPrintf("null");
    ReportPrintf(", \"upgrade\": ");
    if (kUpgradeWords[c.upgrade])
        PutText(kUpgradeWords[c.upgrade]);
    else
        ReportPrintf("null");
    ReportPrintf("}");
}

void PutPass(int index, const PassOutcome& pass)
{
    ReportPrintf("{\"index\": %d, \"road\": ", index);
    if (pass.road[0])
        PutText(pass.road);
    else
        ReportPrintf("null");
    ReportPrintf(", \"opened\": %s, \"controllers\": [", pass.opened ? "true" : "false");
    for (int i = 0; i < pass.listed; ++i) {
        ReportPrintf("%s\n      ", i ? "," : "");
        PutController(pass.controllers[i]);
    }
    ReportPrintf("%s]}", pass.listed ? "\n    " : "");
}

void WriteReport()
{
    if (!ReportFileOpen(ReportFilename)) {
        pb("ERROR: Unable to write report file %s: %s", ReportFilename, std::strerror(ReportFileError()));
        return;
    }
    ReportPrintf("{\n  \"exit_code\": %d,\n  \"exit_meaning\": ", FinalCode);
    PutText(ExitMeaningOf(FinalCode));
    ReportPrintf(",\n  \"strict\": %s,\n  \"arguments\": [", CMDL_Strict ? "true" : "false");
    for (int i = 1; i < RunArgc; ++i) {
        ReportPrintf("%s", i > 1 ? ", " : "");
        PutText(RunArgv[i]);
    }
    ReportPrintf("],\n  \"started\": ");
    PutTime(Started);
    ReportPrintf(",\n  \"finished\": ");
    PutTime(os::time(nullptr));
    ReportPrintf(",\n  \"image\": ");
    PutImage();
    ReportPrintf(",\n  \"bmcs\": [");
    for (int i = 0; i < PassCount; ++i) {
        ReportPrintf("%s\n    ", i ? "," : "");
        PutPass(i, Passes[i]);
    }
    ReportPrintf("%s]\n}\n", PassCount ? "\n  " : "");
    if (!ReportFileCommit(ReportFilename))
        pb("ERROR: Unable to write report file %s: %s", ReportFilename, std::strerror(ReportFileError()));
}

}  // namespace

// ---------------------------------------------------------------------------
// The run

void BeginRunOutcome(int argc, char** argv)
{
    RunArgc = argc;
    RunArgv = argv;
    RunBegun = true;
    if (ReportFilename[0])
        Started = os::time(nullptr);
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
    if (!RunBegun)
        return code;
    if (RunEnded)
        return FinalCode;
    RunEnded = true;
    FinalCode = CMDL_Strict && FirstFailure != RC_OK ? FirstFailure : code;
    if (ReportFilename[0])
        WriteReport();
    return FinalCode;
}

void ExitRun(int code) { exit(EndRun(code)); }

int StrictUpgradeWithoutBmc()
{
    if (LoadFirmwareImage() != 0)
        return RC_IMAGE_FILE;
    NoteImageLoaded();
    pb("ERROR: No BMC found, no controller upgraded [RETURN CODE:0x%02x]\n", RC_NO_DEVICES);
    return RunCode(RC_NO_DEVICES);
}

void NoteImageLoaded() { ImageLoaded = true; }

void NoteBmcPass(int opened)
{
    if (!RunBegun || PassCount == kMaxPasses)
        return;
    PassOutcome& pass = Passes[PassCount++];
    pass.opened = opened ? 1 : 0;
    pass.listed = 0;
    pass.road[0] = '\0';
    if (opened && OpenIPMIDriverLoaded)
        std::snprintf(pass.road, sizeof pass.road, "%s", BmcNodePath);
    else if (opened)
        std::snprintf(pass.road, sizeof pass.road, "kcs 0x%X/0x%X", ISA_SMS_DATA, ISA_SMS_CMD_STATUS);
}

// ---------------------------------------------------------------------------
// The scan

void NoteScanBegins() { NotRecordedInScan = 0; }

void NoteControllerFound(const structChipInfo& rec, int MUXretval, int stored)
{
    if (!stored)
        ++NotRecordedInScan;
    ControllerOutcome* c = Listed(rec.busID, rec.i2c_addr);
    if (!c && RunBegun && PassCount > 0 && Passes[PassCount - 1].listed < kMaxListed) {
        PassOutcome& pass = Passes[PassCount - 1];
        c = &pass.controllers[pass.listed++];
        *c = ControllerOutcome{};
        c->busID = rec.busID;
        c->i2c_addr = rec.i2c_addr;
        c->behind_mux = MUXretval ? 1 : 0;
        c->MUXaddress = rec.MUXaddress;
        c->ChannelNumber = rec.ChannelNumber;
        c->ChipID = rec.ChipID;
        std::memcpy(c->ChipName, rec.ChipName, sizeof c->ChipName);
        c->ConfigByte = rec.ConfigByte;
        c->before[0] = rec.FW_ID0;
        c->before[1] = rec.FW_ID1;
        c->before[2] = rec.FW_ID2;
    }
    // Only an upgrade run has something to say about a controller it could
    // not keep.
    if (!stored && CMDL_FilenameSpecified)
        Merge(c, UPGRADE_NOT_RECORDED);
}

// ---------------------------------------------------------------------------
// The flash and the upgrade cycle

void NoteFlashAborted() { FlashAborted = true; }

void NoteVersionReadBack(const INT8U* version)
{
    std::memcpy(ReadBack, version, kVersionBytes);
    HaveReadBack = true;
}

void NoteSameVersion(const structChipInfo& chip, INT8U ChipCounter)
{
    if (ChipCounter < MAX_CHIPS)
        MatchedInCycle[ChipCounter] = true;
    Merge(Listed(chip.busID, chip.i2c_addr), UPGRADE_SAME_VERSION);
}

int NoteFlashResult(const structChipInfo& chip, int flashed)
{
    INT8U outcome = flashed ? UPGRADE_UPGRADED : FlashAborted ? UPGRADE_ABORTED : UPGRADE_FAILED;
    // A controller can take the downcopy-and-reset and still come back on
    // its old image: under --strict only the version it reads back counts.
    if (flashed && CMDL_Strict && !(HaveReadBack && IsImageVersion(ReadBack))) {
        pb("ERROR: Controller at I2C address 0x%02x on Bus 0x%02x runs FW:0x%02x Major-REV:0x%02x "
           "Minor-Rev:0x%02x after the upgrade, expected FW:0x%02x Major-REV:0x%02x Minor-Rev:0x%02x",
           chip.i2c_addr, chip.busID, ReadBack[0], ReadBack[1], ReadBack[2], FirmwareImage[kImageVersion],
           FirmwareImage[kImageVersion + 1], FirmwareImage[kImageVersion + 2]);
        outcome = UPGRADE_VERSION_MISMATCH;
        flashed = 0;
    }
    ControllerOutcome* c = Listed(chip.busID, chip.i2c_addr);
    if (c && HaveReadBack) {
        std::memcpy(c->after, ReadBack, kVersionBytes);
        c->read_back = 1;
    }
    Merge(c, outcome);
    FlashAborted = false;
    HaveReadBack = false;
    return flashed;
}

int UpgradeCycleResult(int result)
{
    const INT8U found = ChipsFound < MAX_CHIPS ? ChipsFound : MAX_CHIPS;
    int strict_result = 1;
    for (INT8U i = 0; i < found; ++i)
        if (!ChipInfo[i].Updated && !MatchedInCycle[i])
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
