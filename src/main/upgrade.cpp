// SPDX-License-Identifier: MIT
// One upgrade cycle over the controllers the scan has just found: confirm a
// QB4083C image, refuse an image of another family, skip controllers that
// already run the image's version, flash the others and count the result.
#include "upgrade.h"

#include <cstdio>

#include "../common/chip_table.h"
#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "../waits/terminal.h"
#include "flash.h"
#include "image.h"
#include "scan.h"
#include "signals.h"

namespace {

// A "4083" image: meant for every known family, and sent with the QB4083C
// command set once the operator has confirmed it.
bool ImageForEveryFamily()
{
    const ChipFamily* family = ChipFamilyOf(ChipIDshouldbe);
    return family && family->image_commands == COMMANDS_QB4083C;
}

}  // namespace

// The records of any other chip ID are skipped.
bool IsKnownChip(INT8U ChipID) { return ChipFamilyOf(ChipID) != nullptr; }

bool ImageIsForChip(INT8U ChipID) { return ChipID == ChipIDshouldbe || ImageForEveryFamily(); }

bool UpgradeAsksFirst() { return !CMDL_UnconditionalUpgrade && ImageForEveryFamily(); }

bool RunsImageVersion(const structChipInfo& chip)
{
    const INT8U* version = &FirmwareImage[IMAGE_VERSION_OFFSET];
    return chip.FW_ID0 == version[0] && chip.FW_ID1 == version[1] && chip.FW_ID2 == version[2];
}

int UpgradeFirmwareOnAllFoundThread()
{
    INT8U UpgradedSucessfully = 0;
    bool fw_match = false;
    char SuccUpgMsg[255];

    if (UpgradeAsksFirst()) {
        pb("Proceed with Firmware Upgrade on QB4083C? Press [y] (Version info: FW:[0x%02x:0x%02x])\n",
           FirmwareImage[IMAGE_VERSION_OFFSET + 1], FirmwareImage[IMAGE_VERSION_OFFSET + 2]);
        int key = getch();
        if (key != 'y' && key != 'Y') {
            pb("Upgrade Aborted");
            return 2;
        }
        pb("[y]-key pressed.Proceeding with Upgrade...");
        QB4083CUpgrade = 1;
    }

    const INT8U found = ChipsFound < MAX_CHIPS ? ChipsFound : MAX_CHIPS;
    for (INT8U ChipCounter = 0; ChipCounter < found; ChipCounter++) {
        CheckSignal();  // after a signal no further controller is begun
        structChipInfo& chip = ChipInfo[ChipCounter];
        if (!IsKnownChip(chip.ChipID))
            continue;
        if (!ImageIsForChip(chip.ChipID)) {
            pf("Chip ID Mismatch. ChipCounter:%d ChipIDshouldbe:%d ChipInfo[0].ChipID:%d", ChipCounter,
               ChipIDshouldbe, ChipInfo[0].ChipID);
            CommandLineError("ERROR: The image is not for this QB40xx-version [RETURN CODE:0x%02x]",
                             RC_COMMAND_LINE);
        }
        if (RunsImageVersion(chip)) {
            pb("Firmware IMAGE matches with existing firmware on the device, Utility will exit now");
            fw_match = true;
            NoteSameVersion(chip, ChipCounter);
            continue;
        }
        NoteFlashBegins();
        int flashed = FlashFirmwareOverI2C(chip.ChipID, chip.i2c_addr, chip.busID, chip.MUXaddress, chip.MUXchannel,
                                           static_cast<INT8U>(ChipCounter + 1), ChipsFound);
        chip.Updated = static_cast<INT8U>(NoteFlashResult(chip, flashed, &FirmwareImage[IMAGE_VERSION_OFFSET]));
    }

    CheckSignal();

    // Records matched or skipped now still count when an earlier cycle of
    // this pass upgraded them.
    for (INT8U i = 0; i < found; i++)
        if (ChipInfo[i].Updated)
            UpgradedSucessfully++;
    std::snprintf(SuccUpgMsg, sizeof(SuccUpgMsg), "Sucessfully Upgraded %d of %d parts", UpgradedSucessfully,
                  ChipsFound);
    pb("%s", SuccUpgMsg);

    return UpgradeCycleResult((UpgradedSucessfully == ChipsFound || fw_match) ? 1 : 0, ChipInfo, ChipsFound);
}
