// SPDX-License-Identifier: MIT
// The total device summary, written after the last pass of a run that served
// more than one BMC, from the records every scan of the run appended.
#include "total_summary.h"

#include "../bmc/discovery.h"
#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "scan.h"

namespace {

// With -f on two BMCs each pass adds its pre-upgrade scan's N records and
// then its post-upgrade scan's N records; only the latter are shown, and only
// for the record counts that such runs produce.
bool IsPostUpgradeRecord(int index)
{
    constexpr unsigned char kCountsWithPostUpgradeBlocks[] = {4, 8, 12, 16};
    for (unsigned char count : kCountsWithPostUpgradeBlocks) {
        if (TotalChipCounter == count) {
            int n = count / 4;
            return index % (2 * n) >= n;
        }
    }
    return false;
}

}  // namespace

void PrintTotalSummary()
{
    pb("\n\n\n--------------------------------------------------");
    pb("TOTAL DEVICE SUMMARY");
    int records = TotalChipCounter < MAX_CHIPS ? TotalChipCounter : MAX_CHIPS;
    for (int i = 0; i < records; ++i) {
        const structChipInfo& chip = TotalChipInfo[i];
        if (!FrmUpgSet) {
            pb("QB40%d Device:", chip.ChipID);
            pb("%d: BusID:0x%02x ChipID:%d FW:[0x%02x:0x%02x] ADR:0x%02x Config:0x%02x", i, chip.busID,
               chip.ChipID, chip.FW_ID1, chip.FW_ID2, chip.i2c_addr, chip.ConfigByte);
        } else if (FoundBmc == 2 && IsPostUpgradeRecord(i)) {
            pb("QB40%d Device:", chip.ChipID);
            pb("BusID:0x%02x ChipID:%d FW:[0x%02x:0x%02x] ADR:0x%02x Config:0x%02x", chip.busID, chip.ChipID,
               chip.FW_ID1, chip.FW_ID2, chip.i2c_addr, chip.ConfigByte);
        }
    }
}
