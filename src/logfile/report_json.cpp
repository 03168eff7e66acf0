// SPDX-License-Identifier: MIT
// Encoding the run's record as the JSON of the outcome report. Every string
// the record holds may come from the command line and so hold any byte: the
// encoding keeps the report well-formed whatever it holds.
#include "report_json.h"

#include <cstdio>
#include <cstring>

#include "json_text.h"
#include "report_file.h"

namespace {

// The report's layout; a change that a reader must know of raises it
// (share/qb40tool/report.schema.json describes it).
constexpr int kSchemaVersion = 2;

// Indexed by ControllerUpgrade and FlashStep; null where the report has null.
constexpr const char* kUpgradeWords[] = {
    nullptr, "same_version", "upgraded", "failed", "aborted", "version_mismatch", "not_recorded",
};
constexpr const char* kPlannedWords[] = {
    nullptr, "upgrade", "same_version", "other_family", "not_reached", "not_recorded",
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
    {RC_OUTPUT_LOST, "output not written"},
    {RC_NO_DEVICES, "no controller found"},
    {RC_BMC_OPEN_FAILED, "BMC open failed"},
};

// A JSON string of `length` bytes (file names and arguments can hold any
// byte: json_text.h).
void PutString(const char* text, size_t length)
{
    ReportPut("\"", 1);
    char chunk[256];
    for (size_t at = 0; at < length;) {
        size_t n = JsonEscape(text, length, &at, chunk, sizeof chunk);
        ReportPut(chunk, n);
    }
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

// A plan's 0 and 4 say what an upgrade would do, not what was done.
constexpr ExitMeaning kPlanExitMeanings[] = {
    {RC_OK, "nothing to upgrade"},
    {RC_UPGRADE_INCOMPLETE, "would upgrade"},
};

const char* ExitMeaningOf(int code, bool plan)
{
    if (plan)
        for (const ExitMeaning& m : kPlanExitMeanings)
            if (m.code == code)
                return m.words;
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
    ReportPrintf(", \"family_from\": \"%s\"", image.family_from == FAMILY_FROM_BASE_NAME ? "base_name" : "path");
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
    ReportPrintf(", \"sha256_matched\": %s", image.sha256_matched < 0 ? "null" : image.sha256_matched ? "true" : "false");
    ReportPrintf(", \"changed_between_passes\": %s}",
                 image.passes_read == 0 ? "null" : image.changed ? "true" : "false");
}

void PutLosses(const LossRecord* lost)
{
    static const char* const kFiles[] = {"log", "report", "capture", "metrics"};
    ReportPrintf("[");
    const char* comma = "";
    for (int kind = 0; kind < 4; ++kind) {
        if (!lost[kind].lost)
            continue;
        ReportPrintf("%s{\"file\": \"%s\", \"path\": ", comma, kFiles[kind]);
        PutText(lost[kind].path);
        ReportPrintf(", \"error\": ");
        PutText(lost[kind].why);
        ReportPrintf("}");
        comma = ", ";
    }
    ReportPrintf("]");
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
    // The last version read from it, unless a scan missed it since: a
    // controller that scan missed runs nothing the report could tell.
    ReportPrintf(", \"firmware_last_seen\": ");
    PutVersionOrNull(c.last_scan == bmc.scans, c.last_seen);
    ReportPrintf(",\n        \"planned\": ");
    PutTextOrNull(kPlannedWords[c.planned]);
    ReportPrintf(", \"upgrade\": ");
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
    ReportPrintf(", \"opened\": %s, \"image_sha256\": ", bmc.opened ? "true" : "false");
    PutTextOrNull(bmc.image_sha256);
    ReportPrintf(", \"controllers\": [");
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
        PutText(ExitMeaningOf(run.exit_code, run.plan));
    } else {
        ReportPrintf("null,\n  \"exit_meaning\": null");
    }
    ReportPrintf(",\n  \"signal\": ");
    PutTextOrNull(run.signal);
    ReportPrintf(",\n  \"strict\": %s,\n  \"plan\": %s,\n  \"arguments\": [", run.strict ? "true" : "false",
                 run.plan ? "true" : "false");
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
    ReportPrintf(",\n  \"outputs_lost\": ");
    PutLosses(run.lost);
    ReportPrintf(",\n  \"bmcs\": [");
    for (int i = 0; i < run.bmc_count; ++i) {
        ReportPrintf("%s\n    ", i ? "," : "");
        PutBmc(i, run.bmcs[i]);
    }
    ReportPrintf("%s]\n}\n", run.bmc_count ? "\n  " : "");
    return ReportFileCommit(path) ? 0 : ReportFileError();
}
