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

// A JSON string (file names and arguments can hold any byte: json_text.h).
void PutText(const char* text) { WriterPutJson(&Report.out, text, JSON_UTF8); }

void PutVersion(const INT8U* version) { WriterPrintf(&Report.out, "[%d, %d, %d]", version[0], version[1], version[2]); }

// ISO 8601, in UTC.
void PutTime(time_t t)
{
    char text[32];
    struct tm utc;
    if (gmtime_r(&t, &utc) && std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc))
        PutText(text);
    else
        WriterPrintf(&Report.out, "null");
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
        WriterPrintf(&Report.out, "null");
}

void PutVersionOrNull(bool known, const INT8U* version)
{
    if (known)
        PutVersion(version);
    else
        WriterPrintf(&Report.out, "null");
}

void PutByteOrNull(bool known, INT8U value)
{
    if (known)
        WriterPrintf(&Report.out, "%d", value);
    else
        WriterPrintf(&Report.out, "null");
}

void PutTimeOrNull(time_t t)
{
    if (t)
        PutTime(t);
    else
        WriterPrintf(&Report.out, "null");
}

void PutHost(const HostRecord& host)
{
    WriterPrintf(&Report.out, "{\"name\": ");
    PutTextOrNull(host.name);
    WriterPrintf(&Report.out, ", \"product_serial\": ");
    PutTextOrNull(host.product_serial);
    WriterPrintf(&Report.out, ", \"machine_id\": ");
    PutTextOrNull(host.machine_id);
    WriterPrintf(&Report.out, "}");
}

void PutImage(const ImageRecord& image)
{
    if (!image.named) {
        WriterPrintf(&Report.out, "null");
        return;
    }
    WriterPrintf(&Report.out, "{\"file\": ");
    PutText(image.file);
    WriterPrintf(&Report.out, ", \"family\": ");
    PutText(image.family);
    WriterPrintf(&Report.out, ", \"family_from\": \"%s\"",
                 image.family_from == FAMILY_FROM_BASE_NAME ? "base_name" : "path");
    if (image.loaded) {
        WriterPrintf(&Report.out, ", \"size\": %d, \"version\": ", image.size);
        PutVersion(image.version);
    } else {
        WriterPrintf(&Report.out, ", \"size\": null, \"version\": null");
    }
    WriterPrintf(&Report.out, ", \"sha256\": ");
    PutTextOrNull(image.sha256);
    WriterPrintf(&Report.out, ", \"sha256_expected\": ");
    PutTextOrNull(image.sha256_expected);
    WriterPrintf(&Report.out, ", \"sha256_matched\": %s",
                 image.sha256_matched < 0 ? "null" : image.sha256_matched ? "true" : "false");
    WriterPrintf(&Report.out, ", \"changed_between_passes\": %s}",
                 image.passes_read == 0 ? "null" : image.changed ? "true" : "false");
}

void PutLosses(const LossRecord* lost)
{
    static const char* const kFiles[] = {"log", "report", "capture", "metrics"};
    WriterPrintf(&Report.out, "[");
    const char* comma = "";
    for (int kind = 0; kind < 4; ++kind) {
        if (!lost[kind].lost)
            continue;
        WriterPrintf(&Report.out, "%s{\"file\": \"%s\", \"path\": ", comma, kFiles[kind]);
        PutText(lost[kind].path);
        WriterPrintf(&Report.out, ", \"error\": ");
        PutText(lost[kind].why);
        WriterPrintf(&Report.out, "}");
        comma = ", ";
    }
    WriterPrintf(&Report.out, "]");
}

void PutController(const BmcRecord& bmc, const ControllerRecord& c)
{
    WriterPrintf(&Report.out, "{\"bus\": \"0x%02X\", \"address\": \"0x%02X\", \"mux\": ", c.busID, c.i2c_addr);
    if (c.behind_mux)
        WriterPrintf(&Report.out, "{\"address\": \"0x%02X\", \"channel\": %d}", c.MUXaddress, c.ChannelNumber);
    else
        WriterPrintf(&Report.out, "null");
    // A register whose read failed is null, not the 255 the device table keeps.
    WriterPrintf(&Report.out, ", \"chip_id\": %d, \"chip_revision\": ", c.ChipID);
    PutByteOrNull(c.known & KNOWN_REVISION, c.ChipRev);
    WriterPrintf(&Report.out, ", \"model\": ");
    WriterPutJson(&Report.out, c.ChipName, strnlen(c.ChipName, sizeof c.ChipName), JSON_UTF8);
    WriterPrintf(&Report.out, ", \"config\": ");
    PutByteOrNull(c.known & KNOWN_CONFIG, c.ConfigByte);
    WriterPrintf(&Report.out, ",\n        \"firmware_before\": ");
    PutVersionOrNull(c.known & KNOWN_BEFORE, c.before);
    WriterPrintf(&Report.out, ", \"firmware_after\": ");
    PutVersionOrNull(c.read_back, c.after);
    // The last version read from it, unless a scan missed it since: a
    // controller that scan missed runs nothing the report could tell.
    WriterPrintf(&Report.out, ", \"firmware_last_seen\": ");
    PutVersionOrNull(c.last_scan == bmc.scans && (c.known & KNOWN_LAST_SEEN), c.last_seen);
    WriterPrintf(&Report.out, ",\n        \"planned\": ");
    PutTextOrNull(kPlannedWords[c.planned]);
    WriterPrintf(&Report.out, ", \"upgrade\": ");
    PutTextOrNull(kUpgradeWords[c.upgrade]);
    WriterPrintf(&Report.out, ", \"failed_step\": ");
    PutTextOrNull(kStepWords[c.failed_step]);
    WriterPrintf(&Report.out, ", \"error\": ");
    PutTextOrNull(c.error);
    WriterPrintf(&Report.out, ",\n        \"programming_started\": ");
    PutTimeOrNull(c.programming_started);
    WriterPrintf(&Report.out, ", \"programming_finished\": ");
    PutTimeOrNull(c.programming_finished);
    WriterPrintf(&Report.out, "}");
}

void PutInterface(const BmcRecord& bmc)
{
    if (bmc.interface == INTERFACE_DRIVER) {
        WriterPrintf(&Report.out, "{\"type\": \"driver\", \"device\": ");
        PutText(bmc.device);
        WriterPrintf(&Report.out, "}");
    } else if (bmc.interface == INTERFACE_KCS) {
        WriterPrintf(&Report.out, "{\"type\": \"kcs\", \"data_port\": \"0x%04X\", \"status_port\": \"0x%04X\"}",
                     bmc.data_port, bmc.status_port);
    } else if (bmc.interface == INTERFACE_LAN) {
        WriterPrintf(&Report.out, "{\"type\": \"lan\", \"host\": ");
        PutText(bmc.lan.host);
        WriterPrintf(&Report.out, ", \"port\": %u, \"cipher_suite\": ", bmc.lan.port);
        if (bmc.lan.cipher_suite)
            WriterPrintf(&Report.out, "%d", bmc.lan.cipher_suite);
        else
            WriterPrintf(&Report.out, "null");
        WriterPrintf(&Report.out, ", \"privilege\": \"%s\", \"user\": ",
                     bmc.lan.privilege == 3 ? "operator" : "administrator");
        PutText(bmc.lan.user);
        WriterPrintf(&Report.out, ", \"error\": ");
        PutTextOrNull(bmc.lan.error);
        WriterPrintf(&Report.out, "}");
    } else {
        WriterPrintf(&Report.out, "null");
    }
}

void PutBmc(int index, const BmcRecord& bmc)
{
    WriterPrintf(&Report.out, "{\"index\": %d, \"interface\": ", index);
    PutInterface(bmc);
    WriterPrintf(&Report.out, ", \"opened\": %s, \"image_sha256\": ", bmc.opened ? "true" : "false");
    PutTextOrNull(bmc.image_sha256);
    WriterPrintf(&Report.out, ", \"controllers\": [");
    for (int i = 0; i < bmc.listed; ++i) {
        WriterPrintf(&Report.out, "%s\n      ", i ? "," : "");
        PutController(bmc, bmc.controllers[i]);
    }
    WriterPrintf(&Report.out, "%s]}", bmc.listed ? "\n    " : "");
}

}  // namespace

int WriteReport(const RunRecord& run, const char* path)
{
    if (!OutputBegin(&Report, path, "report", 0600))
        return Report.out.error;
    WriterPrintf(&Report.out, "{\n  \"schema_version\": %d,\n  \"tool_version\": ", kSchemaVersion);
    PutText(QB40_TOOL_VERSION);
    WriterPrintf(&Report.out, ",\n  \"complete\": %s,\n  \"exit_code\": ", run.complete ? "true" : "false");
    if (run.complete && run.exit_known) {
        WriterPrintf(&Report.out, "%d,\n  \"exit_meaning\": ", run.exit_code);
        PutText(ExitMeaningOf(run.exit_code, run.plan));
    } else {
        WriterPrintf(&Report.out, "null,\n  \"exit_meaning\": null");
    }
    WriterPrintf(&Report.out, ",\n  \"signal\": ");
    PutTextOrNull(run.signal);
    WriterPrintf(&Report.out, ",\n  \"strict\": %s,\n  \"plan\": %s,\n  \"arguments\": [", run.strict ? "true" : "false",
                 run.plan ? "true" : "false");
    for (int i = 1; i < run.argc; ++i) {
        WriterPrintf(&Report.out, "%s", i > 1 ? ", " : "");
        PutText(run.argv[i]);
    }
    WriterPrintf(&Report.out, "],\n  \"host\": ");
    PutHost(run.host);
    WriterPrintf(&Report.out, ",\n  \"started\": ");
    PutTime(run.started);
    WriterPrintf(&Report.out, ",\n  \"finished\": ");
    PutTimeOrNull(run.complete ? run.finished : 0);
    WriterPrintf(&Report.out, ",\n  \"image\": ");
    PutImage(run.image);
    WriterPrintf(&Report.out, ",\n  \"outputs_lost\": ");
    PutLosses(run.lost);
    WriterPrintf(&Report.out, ",\n  \"bmcs\": [");
    for (int i = 0; i < run.bmc_count; ++i) {
        WriterPrintf(&Report.out, "%s\n    ", i ? "," : "");
        PutBmc(i, run.bmcs[i]);
    }
    WriterPrintf(&Report.out, "%s]\n}\n", run.bmc_count ? "\n  " : "");
    return OutputEnd(&Report, path) ? 0 : Report.out.error;
}
