// SPDX-License-Identifier: MIT
// Encoding the run's record as Prometheus metrics. Every metric is a gauge
// with its HELP and TYPE lines and all its samples right after them, as the
// format wants; no sample carries a timestamp (the textfile collector
// refuses them). Label values are numbers and model names, which need no
// escaping. A controller is named across runs by the BMC's index, the bus
// number, the channel nibble of the bus byte, the address and the model.
#include "metrics_text.h"

#include <cstdio>

#include "../common/version.h"
#include "../output/output_file.h"

namespace {

OutputWriter Metrics;

constexpr int kSlots = 8;

void Header(const char* name, const char* help)
{
    WriterPrintf(&Metrics.out, "# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

// A controller the metrics name: found by its pass's last scan.
bool Current(const BmcRecord& bmc, const ControllerRecord& c) { return c.last_scan == bmc.scans; }

// Walks the current controllers of every pass; `bmc` is the pass of the
// one returned.
struct Cursor {
    int bmc;
    int index;
};

const ControllerRecord* Next(const RunRecord& run, Cursor* k)
{
    for (; k->bmc < run.bmc_count; ++k->bmc, k->index = 0) {
        const BmcRecord& bmc = run.bmcs[k->bmc];
        while (k->index < bmc.listed) {
            const ControllerRecord& c = bmc.controllers[k->index++];
            if (Current(bmc, c))
                return &c;
        }
    }
    return nullptr;
}

// name{bmc="0",bus="0x01",mux_channel="0",address="0xc0",model="QB4077"
// (without the closing brace, for the labels a metric adds).
void Identity(const char* name, int bmc, const ControllerRecord& c)
{
    WriterPrintf(&Metrics.out, "%s{bmc=\"%d\",bus=\"0x%02x\",mux_channel=\"%d\",address=\"0x%02x\",model=\"%.7s\"", name,
                 bmc, c.busID & 0x0F, c.busID >> 4, c.i2c_addr, c.ChipName);
}

bool Known(const ControllerRecord& c, ControllerReading r) { return c.reading_known & (1u << r); }

int Bits(INT8U mask)
{
    int n = 0;
    for (; mask; mask &= static_cast<INT8U>(mask - 1))
        ++n;
    return n;
}

// A gauge with one sample per controller from one of its readings, when it
// was read: the reading itself, or (`count_bits`) how many bits it has set.
void PutReading(const RunRecord& run, const char* name, ControllerReading r, bool count_bits)
{
    for (Cursor k{}; const ControllerRecord* c = Next(run, &k);) {
        if (!Known(*c, r))
            continue;
        Identity(name, k.bmc, *c);
        WriterPrintf(&Metrics.out, "} %d\n", count_bits ? Bits(c->reading[r]) : c->reading[r]);
    }
}

void PutRun(const RunRecord& run, bool success)
{
    Header("qb40_tool_info", "The version of qb40tool that wrote these metrics.");
    WriterPrintf(&Metrics.out, "qb40_tool_info{version=\"%s\"} 1\n", QB40_TOOL_VERSION);
    Header("qb40_scan_success",
           "1 when the run ended by itself with status 0 (a plan also with 4), found a BMC and opened every one; "
           "only then are controllers listed.");
    WriterPrintf(&Metrics.out, "qb40_scan_success %d\n", success ? 1 : 0);
    if (run.exit_known) {
        Header("qb40_run_exit_status", "The exit status of the run (0 done, 171 none or too few found, 172 BMC open "
                                       "failed, 5 command line refused, ...).");
        WriterPrintf(&Metrics.out, "qb40_run_exit_status %d\n", run.exit_code);
    }
    Header("qb40_run_duration_seconds", "How long the run took, from its command line to its end.");
    long long duration = run.finished_us > run.started_us ? run.finished_us - run.started_us : 0;
    WriterPrintf(&Metrics.out, "qb40_run_duration_seconds %lld.%06lld\n", duration / 1000000, duration % 1000000);
    Header("qb40_run_end_timestamp_seconds", "When the run ended, in seconds since the epoch.");
    WriterPrintf(&Metrics.out, "qb40_run_end_timestamp_seconds %lld.%06lld\n", run.finished_us / 1000000,
                 run.finished_us % 1000000);
    Header("qb40_bmcs_found", "The BMCs discovery counted.");
    WriterPrintf(&Metrics.out, "qb40_bmcs_found %d\n", run.bmcs_found);
}

void PutControllers(const RunRecord& run)
{
    Header("qb40_controllers_found", "The controllers the last scan of the BMC's pass found, each counted once.");
    for (int b = 0; b < run.bmc_count; ++b) {
        int found = 0;
        for (int i = 0; i < run.bmcs[b].listed; ++i)
            found += Current(run.bmcs[b], run.bmcs[b].controllers[i]);
        WriterPrintf(&Metrics.out, "qb40_controllers_found{bmc=\"%d\"} %d\n", b, found);
    }

    Header("qb40_controller_info",
           "A controller the scan found: its chip ID, running firmware (ID.major.minor) and chip revision.");
    // A register whose read failed is "unknown" in a label and has no sample.
    for (Cursor k{}; const ControllerRecord* c = Next(run, &k);) {
        Identity("qb40_controller_info", k.bmc, *c);
        WriterPrintf(&Metrics.out, ",chip_id=\"%d\",firmware=\"", c->ChipID);
        if (c->known & KNOWN_LAST_SEEN)
            WriterPrintf(&Metrics.out, "%d.%d.%d", c->last_seen[0], c->last_seen[1], c->last_seen[2]);
        else
            WriterPrintf(&Metrics.out, "unknown");
        if (c->known & KNOWN_REVISION)
            WriterPrintf(&Metrics.out, "\",revision=\"%d\"} 1\n", c->ChipRev);
        else
            WriterPrintf(&Metrics.out, "\",revision=\"unknown\"} 1\n");
    }
    Header("qb40_controller_config", "The controller's configuration register 0x30.");
    for (Cursor k{}; const ControllerRecord* c = Next(run, &k);) {
        if (!(c->known & KNOWN_CONFIG))
            continue;
        Identity("qb40_controller_config", k.bmc, *c);
        WriterPrintf(&Metrics.out, "} %d\n", c->ConfigByte);
    }

    Header("qb40_controller_slots_used", "Slots the backplane has in use (the bits of register 0x36).");
    PutReading(run, "qb40_controller_slots_used", READING_SLOTS_USED, true);
    Header("qb40_controller_drives_mated", "Drives mated in the backplane's slots (the bits of register 0x38).");
    PutReading(run, "qb40_controller_drives_mated", READING_SLOTS_MATED, true);
    Header("qb40_slot_drive_mated", "1 when a drive is mated in the slot, for every slot in use or holding a drive.");
    for (Cursor k{}; const ControllerRecord* c = Next(run, &k);) {
        if (!Known(*c, READING_SLOTS_USED) || !Known(*c, READING_SLOTS_MATED))
            continue;
        const INT8U used = c->reading[READING_SLOTS_USED], mated = c->reading[READING_SLOTS_MATED];
        for (int slot = 0; slot < kSlots; ++slot) {
            if (!((used | mated) & (1u << slot)))
                continue;
            Identity("qb40_slot_drive_mated", k.bmc, *c);
            WriterPrintf(&Metrics.out, ",slot=\"%d\"} %d\n", slot, (mated >> slot) & 1);
        }
    }

    Header("qb40_temperature_register",
           "A temperature register as read, in the controller's own scale: sensor \"controller\" is register 0x56, "
           "\"ambient\" 0x57.");
    static const struct {
        ControllerReading reading;
        const char* sensor;
    } kSensors[] = {{READING_TEMP, "controller"}, {READING_TEMP_AMBIENT, "ambient"}};
    for (Cursor k{}; const ControllerRecord* c = Next(run, &k);) {
        for (const auto& s : kSensors) {
            if (!Known(*c, s.reading))
                continue;
            Identity("qb40_temperature_register", k.bmc, *c);
            WriterPrintf(&Metrics.out, ",sensor=\"%s\"} %d\n", s.sensor, c->reading[s.reading]);
        }
    }
    Header("qb40_temperature_threshold_register",
           "The temperature threshold register 0x58 as read, in the scale of qb40_temperature_register.");
    PutReading(run, "qb40_temperature_threshold_register", READING_TEMP_THRESH, false);
}

}  // namespace

bool ScanSucceeded(const RunRecord& run)
{
    if (!run.complete || !run.exit_known || run.bmcs_found == 0 || run.bmc_count < run.bmcs_found)
        return false;
    for (int b = 0; b < run.bmc_count; ++b)
        if (!run.bmcs[b].opened)
            return false;
    return run.exit_code == RC_OK || (run.plan && run.exit_code == RC_UPGRADE_INCOMPLETE);
}

int WriteMetrics(const RunRecord& run, const char* path)
{
    if (!OutputBegin(&Metrics, path, "metrics", 0644))
        return Metrics.out.error;
    const bool success = ScanSucceeded(run);
    PutRun(run, success);
    if (success)
        PutControllers(run);
    OutputEnd(&Metrics, path);
    return Metrics.out.error;
}
