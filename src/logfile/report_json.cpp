// Encoding the run's record as the JSON of the outcome report. Every string
// the record holds may come from the command line and so hold any byte: the
// encoding keeps the report well-formed whatever it holds.
#include "report_json.h"

#include <cstdio>
#include <cstring>

#include "report_file.h"

namespace {

// The report's layout; a change that a reader must know of raises it
// (share/qb40tool/report.schema.json describes it).
constexpr int kSchemaVersion = 1;

// Indexed by ControllerUpgrade and FlashStep; null where the report has null.
constexpr const char* kUpgradeWords[] = {
    nullptr, "same_version", "upgraded", "failed", "aborted", "version_mismatch", "not_recorded",
};
constexpr const char* kStepWords[] = {
    nullptr, "read_before", "erase", "write", "verify", "status", "downcopy", "reset_wait", "read_back",
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

// A JSON string of `length` bytes. Control characters are escaped, and a
// byte that is not part of well-formed UTF-8 becomes U+FFFD, so that every
// reader can parse the report.
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

void PutVersion(const INT8U* version) { ReportPrintf("[%d, %d, %d]", version[0], version[1], version[2]); }

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

// A string, or null for none or an empty one.
void PutTextOrNull(const char* text)
{
    if (text && text[0])
        PutText(text);
    else
        ReportPrintf("null");
}

void PutVersionOrNull(bool known, const INT8U* version)
{
    if (known)
        PutVersion(version);
    else
        ReportPrintf("null");
}

void PutTimeOrNull(time_t t)
{
    if (t)
        PutTime(t);
    else
        ReportPrintf("null");
}

void PutHost(const HostRecord& host)
{
    ReportPrintf("{\"name\": ");
    PutTextOrNull(host.name);
    ReportPrintf(", \"product_serial\": ");
    PutTextOrNull(host.product_serial);
    ReportPrintf(", \"machine_id\": ");
    PutTextOrNull(host.machine_id);
    ReportPrintf("}");
}

void PutImage(const ImageRecord& image)
{
    if (!image.named) {
        ReportPrintf("null");
        return;
    }
    ReportPrintf("{\"file\": ");
    PutText(image.file);
    ReportPrintf(", \"family\": ");
    PutText(image.family);
    if (image.loaded) {
        ReportPrintf(", \"size\": %d, \"version\": ", image.size);
        PutVersion(image.version);
    } else {
        ReportPrintf(", \"size\": null, \"version\": null");
    }
    ReportPrintf(", \"sha256\": ");
    PutTextOrNull(image.sha256);
    ReportPrintf(", \"sha256_expected\": ");
    PutTextOrNull(image.sha256_expected);
    ReportPrintf(", \"sha256_matched\": %s}",
                 image.sha256_matched < 0 ? "null" : image.sha256_matched ? "true" : "false");
}

void PutController(const BmcRecord& bmc, const ControllerRecord& c)
{
    ReportPrintf("{\"bus\": \"0x%02X\", \"address\": \"0x%02X\", \"mux\": ", c.busID, c.i2c_addr);
    if (c.behind_mux)
        ReportPrintf("{\"address\": \"0x%02X\", \"channel\": %d}", c.MUXaddress, c.ChannelNumber);
    else
        ReportPrintf("null");
    ReportPrintf(", \"chip_id\": %d, \"chip_revision\": %d, \"model\": ", c.ChipID, c.ChipRev);
    PutString(c.ChipName, strnlen(c.ChipName, sizeof c.ChipName));
    ReportPrintf(", \"config\": %d,\n        \"firmware_before\": ", c.ConfigByte);
    PutVersion(c.before);
    ReportPrintf(", \"firmware_after\": ");
    PutVersionOrNull(c.read_back, c.after);
    // Only what the pass's last scan saw: a controller that scan missed
    // runs nothing the report could tell.
    ReportPrintf(", \"firmware_last_seen\": ");
    PutVersionOrNull(c.last_scan == bmc.scans, c.last_seen);
    ReportPrintf(",\n        \"upgrade\": ");
    PutTextOrNull(kUpgradeWords[c.upgrade]);
    ReportPrintf(", \"failed_step\": ");
    PutTextOrNull(kStepWords[c.failed_step]);
    ReportPrintf(", \"error\": ");
    PutTextOrNull(c.error);
    ReportPrintf(",\n        \"programming_started\": ");
    PutTimeOrNull(c.programming_started);
    ReportPrintf(", \"programming_finished\": ");
    PutTimeOrNull(c.programming_finished);
    ReportPrintf("}");
}

void PutInterface(const BmcRecord& bmc)
{
    if (bmc.interface == INTERFACE_DRIVER) {
        ReportPrintf("{\"type\": \"driver\", \"device\": ");
        PutText(bmc.device);
        ReportPrintf("}");
    } else if (bmc.interface == INTERFACE_KCS) {
        ReportPrintf("{\"type\": \"kcs\", \"data_port\": \"0x%04X\", \"status_port\": \"0x%04X\"}", bmc.data_port,
                     bmc.status_port);
    } else {
        ReportPrintf("null");
    }
}

void PutBmc(int index, const BmcRecord& bmc)
{
    ReportPrintf("{\"index\": %d, \"interface\": ", index);
    PutInterface(bmc);
    ReportPrintf(", \"opened\": %s, \"controllers\": [", bmc.opened ? "true" : "false");
    for (int i = 0; i < bmc.listed; ++i) {
        ReportPrintf("%s\n      ", i ? "," : "");
        PutController(bmc, bmc.controllers[i]);
    }
    ReportPrintf("%s]}", bmc.listed ? "\n    " : "");
}

}  // namespace

int WriteReport(const RunRecord& run, const char* path)
{
    if (!ReportFileOpen(path))
        return ReportFileError();
    ReportPrintf("{\n  \"schema_version\": %d,\n  \"tool_version\": ", kSchemaVersion);
    PutText(QB40_TOOL_VERSION);
    ReportPrintf(",\n  \"complete\": %s,\n  \"exit_code\": ", run.complete ? "true" : "false");
    if (run.complete && run.exit_known) {
        ReportPrintf("%d,\n  \"exit_meaning\": ", run.exit_code);
        PutText(ExitMeaningOf(run.exit_code));
    } else {
        ReportPrintf("null,\n  \"exit_meaning\": null");
    }
    ReportPrintf(",\n  \"signal\": ");
    PutTextOrNull(run.signal);
    ReportPrintf(",\n  \"strict\": %s,\n  \"arguments\": [", run.strict ? "true" : "false");
    for (int i = 1; i < run.argc; ++i) {
        ReportPrintf("%s", i > 1 ? ", " : "");
        PutText(run.argv[i]);
    }
    ReportPrintf("],\n  \"host\": ");
    PutHost(run.host);
    ReportPrintf(",\n  \"started\": ");
    PutTime(run.started);
    ReportPrintf(",\n  \"finished\": ");
    PutTimeOrNull(run.complete ? run.finished : 0);
    ReportPrintf(",\n  \"image\": ");
    PutImage(run.image);
    ReportPrintf(",\n  \"bmcs\": [");
    for (int i = 0; i < run.bmc_count; ++i) {
        ReportPrintf("%s\n    ", i ? "," : "");
        PutBmc(i, run.bmcs[i]);
    }
    ReportPrintf("%s]\n}\n", run.bmc_count ? "\n  " : "");
    return ReportFileCommit(path) ? 0 : ReportFileError();
}
