// SPDX-License-Identifier: MIT
// Encoding the run's record as the JSON of the outcome report. Every string
// the record holds may come from the command line and so hold any byte: the
// encoding keeps the report well-formed whatever it holds.
#include "report_json.h"

#include <cstdio>
#include <cstring>

#include "../common/version.h"
#include "../output/json_text.h"
#include "../output/output_file.h"

namespace {

OutputWriter Report;

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
    OutputPut(&Report, "\"", 1);
    char chunk[256];
    for (size_t at = 0; at < length;) {
        size_t n = JsonEscape(text, length, &at, chunk, sizeof chunk);
        OutputPut(&Report, chunk, n);
    }
    OutputPut(&Report, "\"", 1);
}

void PutText(const char* text) { PutString(text, std::strlen(text)); }

void PutVersion(const INT8U* version) { OutputPrintf(&Report, "[%d, %d, %d]", version[0], version[1], version[2]); }

// ISO 8601, in UTC.
void PutTime(time_t t)
{
    char text[32];
    struct tm utc;
    if (gmtime_r(&t, &utc) && std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc))
        PutText(text);
    else
        OutputPrintf(&Report, "null");
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
        OutputPrintf(&Report, "null");
}

void PutVersionOrNull(bool known, const INT8U* version)
{
    if (known)
        PutVersion(version);
    else
        OutputPrintf(&Report, "null");
}

void PutTimeOrNull(time_t t)
{
    if (t)
        PutTime(t);
    else
        OutputPrintf(&Report, "null");
}

void PutHost(const HostRecord& host)
{
    OutputPrintf(&Report, "{\"name\": ");
    PutTextOrNull(host.name);
    OutputPrintf(&Report, ", \"product_serial\": ");
    PutTextOrNull(host.product_serial);
    OutputPrintf(&Report, ", \"machine_id\": ");
    PutTextOrNull(host.machine_id);
    OutputPrintf(&Report, "}");
}

void PutImage(const ImageRecord& image)
{
    if (!image.named) {
        OutputPrintf(&Report, "null");
        return;
    }
    OutputPrintf(&Report, "{\"file\": ");
    PutText(image.file);
    OutputPrintf(&Report, ", \"family\": ");
    PutText(image.family);
    OutputPrintf(&Report, ", \"family_from\": \"%s\"",
                 image.family_from == FAMILY_FROM_BASE_NAME ? "base_name" : "path");
    if (image.loaded) {
        OutputPrintf(&Report, ", \"size\": %d, \"version\": ", image.size);
        PutVersion(image.version);
    } else {
        OutputPrintf(&Report, ", \"size\": null, \"version\": null");
    }
    OutputPrintf(&Report, ", \"sha256\": ");
    PutTextOrNull(image.sha256);
    OutputPrintf(&Report, ", \"sha256_expected\": ");
    PutTextOrNull(image.sha256_expected);
    OutputPrintf(&Report, ", \"sha256_matched\": %s",
                 image.sha256_matched < 0 ? "null" : image.sha256_matched ? "true" : "false");
    OutputPrintf(&Report, ", \"changed_between_passes\": %s}",
                 image.passes_read == 0 ? "null" : image.changed ? "true" : "false");
}

void PutLosses(const LossRecord* lost)
{
    static const char* const kFiles[] = {"log", "report", "capture", "metrics"};
    OutputPrintf(&Report, "[");
    const char* comma = "";
    for (int kind = 0; kind < 4; ++kind) {
        if (!lost[kind].lost)
            continue;
        OutputPrintf(&Report, "%s{\"file\": \"%s\", \"path\": ", comma, kFiles[kind]);
        PutText(lost[kind].path);
        OutputPrintf(&Report, ", \"error\": ");
        PutText(lost[kind].why);
        OutputPrintf(&Report, "}");
        comma = ", ";
    }
    OutputPrintf(&Report, "]");
}

void PutController(const BmcRecord& bmc, const ControllerRecord& c)
{
    OutputPrintf(&Report, "{\"bus\": \"0x%02X\", \"address\": \"0x%02X\", \"mux\": ", c.busID, c.i2c_addr);
    if (c.behind_mux)
        OutputPrintf(&Report, "{\"address\": \"0x%02X\", \"channel\": %d}", c.MUXaddress, c.ChannelNumber);
    else
        OutputPrintf(&Report, "null");
    OutputPrintf(&Report, ", \"chip_id\": %d, \"chip_revision\": %d, \"model\": ", c.ChipID, c.ChipRev);
    PutString(c.ChipName, strnlen(c.ChipName, sizeof c.ChipName));
    OutputPrintf(&Report, ", \"config\": %d,\n        \"firmware_before\": ", c.ConfigByte);
    PutVersion(c.before);
    OutputPrintf(&Report, ", \"firmware_after\": ");
    PutVersionOrNull(c.read_back, c.after);
    // The last version read from it, unless a scan missed it since: a
    // controller that scan missed runs nothing the report could tell.
    OutputPrintf(&Report, ", \"firmware_last_seen\": ");
    PutVersionOrNull(c.last_scan == bmc.scans, c.last_seen);
    OutputPrintf(&Report, ",\n        \"planned\": ");
    PutTextOrNull(kPlannedWords[c.planned]);
    OutputPrintf(&Report, ", \"upgrade\": ");
    PutTextOrNull(kUpgradeWords[c.upgrade]);
    OutputPrintf(&Report, ", \"failed_step\": ");
    PutTextOrNull(kStepWords[c.failed_step]);
    OutputPrintf(&Report, ", \"error\": ");
    PutTextOrNull(c.error);
    OutputPrintf(&Report, ",\n        \"programming_started\": ");
    PutTimeOrNull(c.programming_started);
    OutputPrintf(&Report, ", \"programming_finished\": ");
    PutTimeOrNull(c.programming_finished);
    OutputPrintf(&Report, "}");
}

void PutInterface(const BmcRecord& bmc)
{
    if (bmc.interface == INTERFACE_DRIVER) {
        OutputPrintf(&Report, "{\"type\": \"driver\", \"device\": ");
        PutText(bmc.device);
        OutputPrintf(&Report, "}");
    } else if (bmc.interface == INTERFACE_KCS) {
        OutputPrintf(&Report, "{\"type\": \"kcs\", \"data_port\": \"0x%04X\", \"status_port\": \"0x%04X\"}",
                     bmc.data_port, bmc.status_port);
    } else {
        OutputPrintf(&Report, "null");
    }
}

void PutBmc(int index, const BmcRecord& bmc)
{
    OutputPrintf(&Report, "{\"index\": %d, \"interface\": ", index);
    PutInterface(bmc);
    OutputPrintf(&Report, ", \"opened\": %s, \"image_sha256\": ", bmc.opened ? "true" : "false");
    PutTextOrNull(bmc.image_sha256);
    OutputPrintf(&Report, ", \"controllers\": [");
    for (int i = 0; i < bmc.listed; ++i) {
        OutputPrintf(&Report, "%s\n      ", i ? "," : "");
        PutController(bmc, bmc.controllers[i]);
    }
    OutputPrintf(&Report, "%s]}", bmc.listed ? "\n    " : "");
}

}  // namespace

int WriteReport(const RunRecord& run, const char* path)
{
    if (!OutputBegin(&Report, path, "report", 0600))
        return Report.error;
    OutputPrintf(&Report, "{\n  \"schema_version\": %d,\n  \"tool_version\": ", kSchemaVersion);
    PutText(QB40_TOOL_VERSION);
    OutputPrintf(&Report, ",\n  \"complete\": %s,\n  \"exit_code\": ", run.complete ? "true" : "false");
    if (run.complete && run.exit_known) {
        OutputPrintf(&Report, "%d,\n  \"exit_meaning\": ", run.exit_code);
        PutText(ExitMeaningOf(run.exit_code, run.plan));
    } else {
        OutputPrintf(&Report, "null,\n  \"exit_meaning\": null");
    }
    OutputPrintf(&Report, ",\n  \"signal\": ");
    PutTextOrNull(run.signal);
    OutputPrintf(&Report, ",\n  \"strict\": %s,\n  \"plan\": %s,\n  \"arguments\": [", run.strict ? "true" : "false",
                 run.plan ? "true" : "false");
    for (int i = 1; i < run.argc; ++i) {
        OutputPrintf(&Report, "%s", i > 1 ? ", " : "");
        PutText(run.argv[i]);
    }
    OutputPrintf(&Report, "],\n  \"host\": ");
    PutHost(run.host);
    OutputPrintf(&Report, ",\n  \"started\": ");
    PutTime(run.started);
    OutputPrintf(&Report, ",\n  \"finished\": ");
    PutTimeOrNull(run.complete ? run.finished : 0);
    OutputPrintf(&Report, ",\n  \"image\": ");
    PutImage(run.image);
    OutputPrintf(&Report, ",\n  \"outputs_lost\": ");
    PutLosses(run.lost);
    OutputPrintf(&Report, ",\n  \"bmcs\": [");
    for (int i = 0; i < run.bmc_count; ++i) {
        OutputPrintf(&Report, "%s\n    ", i ? "," : "");
        PutBmc(i, run.bmcs[i]);
    }
    OutputPrintf(&Report, "%s]\n}\n", run.bmc_count ? "\n  " : "");
    return OutputEnd(&Report, path) ? 0 : Report.error;
}
