// Encoding the run's record as the JSON of the outcome report. Every string
// the record holds may come from the command line and so hold any byte: the
// encoding keeps the report well-formed whatever it holds.
#include "report_json.h"

#include <cstdio>
#include <cstring>

#include "logfile.h"
#include "report_file.h"

namespace {

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
        ReportPrintf("}");
    } else {
        ReportPrintf(", \"size\": null, \"version\": null}");
    }
}

void PutController(const ControllerRecord& c)
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

void PutBmc(int index, const BmcRecord& bmc)
{
    ReportPrintf("{\"index\": %d, \"road\": ", index);
    if (bmc.interface == INTERFACE_DRIVER)
        PutText(bmc.device);
    else if (bmc.interface == INTERFACE_KCS)
        ReportPrintf("\"kcs 0x%X/0x%X\"", bmc.data_port, bmc.status_port);
    else
        ReportPrintf("null");
    ReportPrintf(", \"opened\": %s, \"controllers\": [", bmc.opened ? "true" : "false");
    for (int i = 0; i < bmc.listed; ++i) {
        ReportPrintf("%s\n      ", i ? "," : "");
        PutController(bmc.controllers[i]);
    }
    ReportPrintf("%s]}", bmc.listed ? "\n    " : "");
}

}  // namespace

int WriteReport(const RunRecord& run, const char* path)
{
    if (!ReportFileOpen(path)) {
        pb("ERROR: Unable to write report file %s: %s", path, std::strerror(ReportFileError()));
        return 0;
    }
    ReportPrintf("{\n  \"exit_code\": %d,\n  \"exit_meaning\": ", run.exit_code);
    PutText(ExitMeaningOf(run.exit_code));
    ReportPrintf(",\n  \"strict\": %s,\n  \"arguments\": [", run.strict ? "true" : "false");
    for (int i = 1; i < run.argc; ++i) {
        ReportPrintf("%s", i > 1 ? ", " : "");
        PutText(run.argv[i]);
    }
    ReportPrintf("],\n  \"started\": ");
    PutTime(run.started);
    ReportPrintf(",\n  \"finished\": ");
    PutTime(run.finished);
    ReportPrintf(",\n  \"image\": ");
    PutImage(run.image);
    ReportPrintf(",\n  \"bmcs\": [");
    for (int i = 0; i < run.bmc_count; ++i) {
        ReportPrintf("%s\n    ", i ? "," : "");
        PutBmc(i, run.bmcs[i]);
    }
    ReportPrintf("%s]\n}\n", run.bmc_count ? "\n  " : "");
    if (!ReportFileCommit(path)) {
        pb("ERROR: Unable to write report file %s: %s", path, std::strerror(ReportFileError()));
        return 0;
    }
    return 1;
}
