// SPDX-License-Identifier: MIT
// --plan: what the upgrade would do to each controller the scan has just
// found, told one line each, without a single flash command. The walk
// mirrors the upgrade cycle (upgrade.cpp): the same order, the same checks,
// and the same stop at a controller of another family; then the controllers
// the device table could not hold, which the upgrade never reaches.
//
// The plan's code, at the end of the run: 5 when the upgrade would stop at a
// controller of another family, 171 when a BMC showed no controller, 4 when
// the upgrade would program at least one, 0 when it would have nothing to do.
#include "plan.h"

#include <cstdarg>
#include <cstdio>

#include "../bmc/discovery.h"
#include "../common/chip_table.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "image.h"
#include "scan.h"
#include "signals.h"
#include "upgrade.h"

namespace {

int WouldUpgrade = 0;          // controllers the upgrade would program, over the run
int Planned = 0;               // controllers told of, over the run
bool StopsAtFamily = false;    // the upgrade would end the run with 5 at one of them
bool PassFoundNone = false;    // a pass's scan found no controller

struct VersionText {
    char text[12];  // "255.255.255"
};

VersionText Version(INT8U a, INT8U b, INT8U c)
{
    VersionText v;
    std::snprintf(v.text, sizeof v.text, "%d.%d.%d", a, b, c);
    return v;
}

VersionText Running(const structChipInfo& chip) { return Version(chip.FW_ID0, chip.FW_ID1, chip.FW_ID2); }

VersionText Image()
{
    const INT8U* version = &FirmwareImage[IMAGE_VERSION_OFFSET];
    return Version(version[0], version[1], version[2]);
}

// "Plan: BMC 0 BusID:0x01 ADR:0xc0 QB4077: would upgrade from 1.0.0 to 1.2.0"
void Tell(int bmc, const structChipInfo& chip, INT8U planned, const char* fmt, ...) QB_PRINTF(4, 5);
void Tell(int bmc, const structChipInfo& chip, INT8U planned, const char* fmt, ...)
{
    char what[96];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    pb("Plan: BMC %d BusID:0x%02x ADR:0x%02x %.7s: %s", bmc, chip.busID, chip.i2c_addr, chip.ChipName, what);
    NotePlanned(chip, planned);
    ++Planned;
}

}  // namespace

void PlanUpgradeOfAllFound(int bmc)
{
    if (UpgradeAsksFirst() && !StopsAtFamily)
        pb("Plan: the upgrade would first ask to proceed with the QB4083C image (3 if not confirmed)");

    const INT8U found = ChipsFound < MAX_CHIPS ? ChipsFound : MAX_CHIPS;
    for (INT8U i = 0; i < found; i++) {
        CheckSignal();
        const structChipInfo& chip = ChipInfo[i];
        if (StopsAtFamily) {
            Tell(bmc, chip, PLAN_NOT_REACHED, "not reached: the upgrade stops before it");
        } else if (!IsKnownChip(chip.ChipID)) {
            continue;  // the upgrade passes it over without a word
        } else if (!ImageIsForChip(chip.ChipID)) {
            StopsAtFamily = true;
            Tell(bmc, chip, PLAN_OTHER_FAMILY, "another family: the upgrade would stop here with %d", RC_COMMAND_LINE);
        } else if (RunsImageVersion(chip)) {
            Tell(bmc, chip, PLAN_SAME_VERSION, "already on %s", Image().text);
        } else {
            ++WouldUpgrade;
            Tell(bmc, chip, PLAN_UPGRADE, "would upgrade from %s to %s", Running(chip).text, Image().text);
        }
    }
    for (INT8U i = 0; i < ChipsBeyondTable; i++)
        Tell(bmc, BeyondTableChipInfo[i], PLAN_NOT_RECORDED, "beyond the device table: the upgrade would not reach it");
}

void PlanFoundNoController() { PassFoundNone = true; }

int PlanRunCode()
{
    if (StopsAtFamily)
        return RC_COMMAND_LINE;
    if (PassFoundNone || FoundBmc == 0)
        return RC_NO_DEVICES;
    return WouldUpgrade > 0 ? RC_UPGRADE_INCOMPLETE : RC_OK;
}

void PrintPlanEnd(int code)
{
    pb("Plan: %d of %d controllers would be upgraded; nothing was written [RETURN CODE:0x%02x]", WouldUpgrade, Planned,
       code);
}
