// SPDX-License-Identifier: MIT
// Diagnostics: lights the LEDs of the found backplanes and has the operator
// confirm with single keys what is seen: all activity LEDs, all status LEDs,
// then each backplane alone with its slot count and mated slots.
#include "diagnostics.h"

#include "../common/register_map.h"
#include "../i2c/registers.h"
#include "../logfile/logfile.h"
#include "../waits/terminal.h"
#include "leds.h"
#include "scan.h"

namespace {

const char kStars36[] = "************************************";
const char kAborted[] = "Diagnostics aborted";

// Upper-case letter of a key; other bytes as they are.
int KeyLetter(int key) { return (key >= 'a' && key <= 'z') ? key - 'a' + 'A' : key; }

// Reads keys until one of `choices` (upper-case letters) or Esc. The end of
// input counts as Esc: nobody is left to answer the question.
int ReadChoice(const char* choices)
{
    for (;;) {
        int key = getch();
        if (key == EOF || key == KEY_ESC)
            return KEY_ESC;
        for (const char* c = choices; *c; c++)
            if (KeyLetter(key) == *c)
                return *c;
    }
}

int CountBits(INT8U mask)
{
    int n = 0;
    for (; mask; mask >>= 1)
        n += mask & 1;
    return n;
}

// One of the two questions over all backplanes. Returns 0 passed, 1 failed,
// -1 aborted (all LEDs are then off).
int AskAllLEDs(const char* question)
{
    pb("%s", question);
    pb("    Press Y or N (Yes or No):");
    switch (ReadChoice("YN")) {
    case 'Y':
        pb("    [Y] Key pressed. Test passed.");
        return 0;
    case 'N':
        pb("    [N] Key pressed. Test failed.");
        return 1;
    default:
        TurnOffAllLEDs();
        pb("    [ESC] Key pressed. %s.", kAborted);
        return -1;
    }
}

// Lights one backplane and asks about its slots until Y or N. Returns 0
// passed, 1 failed, -1 aborted.
int TestBackplane(INT8U ChipCounter)
{
    const structChipInfo& chip = ChipInfo[ChipCounter];
    for (;;) {
        DisableLampTest(ChipCounter);
        char MatedList[24] = "";
        char* end = MatedList;

        INT8U SlotsUsedBitMask = static_cast<INT8U>(ReadQBreg(chip.busID, chip.i2c_addr, QBREG_SLOTS_USED));
        int SlotsUsedNum = CountBits(SlotsUsedBitMask);
        INT8U SlotsMatedBitMask = static_cast<INT8U>(ReadQBreg(chip.busID, chip.i2c_addr, QBREG_SLOTS_MATED));
        int SlotsMatedNum = 0;
        for (int slot = 0; SlotsMatedBitMask >> slot; slot++) {
            if ((SlotsMatedBitMask >> slot) & 1) {
                *end++ = static_cast<char>('0' + slot);
                *end++ = ',';
                SlotsMatedNum++;
            }
        }
        *end = '\0';

        EnableLampTest(ChipCounter);
        pb("    Is the active backplane a %d slot with %d drive(s) inserted?", SlotsUsedNum, SlotsMatedNum);
        if (end == MatedList) {
            pb("    (No Drives installed)");
        } else {
            end[-1] = '\0';  // no comma after the last slot
            pb("    Drives installed in slots: %s", MatedList);
        }
        pb("    Press Y, N, or L (Yes, No, or Loop): ");
        switch (ReadChoice("YNL")) {
        case 'Y':
            pb("    [Y] Key pressed. Backplane passed.\n");
            DisableLampTest(ChipCounter);
            return 0;
        case 'N':
            pb("    [N] Key pressed. Test failed\n");
            DisableLampTest(ChipCounter);
            return 1;
        case 'L':
            pb("    [L] Key pressed. Running test again.\n");
            continue;
        default:
            DisableLampTest(ChipCounter);
            pb("    [ESC] Key pressed. %s.\n", kAborted);
            return -1;
        }
    }
}

const char* PassFail(int status) { return status ? "Fail" : "Pass"; }

}  // namespace

int PerformDiagnostics()
{
    if (ChipsFound == 0)
        return 0;

    set_tty_raw();
    TurnOffAllLEDs();
    pb(" ");
    pb("%s", kStars36);
    pb("ENTERING DIAGNOSTICS MODE");
    pb("%s", kStars36);
    pb(" ");

    pb("  Activity LED Test:");
    TurnOnAllActivityLEDs();
    int Status_ActivityLEDTest = AskAllLEDs("    Are all activity (green) LEDs active?");
    if (Status_ActivityLEDTest < 0)
        return -1;

    TurnOffAllLEDs();
    pb(" ");
    pb("  Status LED Test:");
    TurnOnAllStatusLEDs();
    int Status_StatusLEDTest = AskAllLEDs("    Are all status (amber) LEDs active?");
    if (Status_StatusLEDTest < 0)
        return -1;

    TurnOffAllLEDs();
    pb(" ");
    pb("  Individual Backplane Drive Mated Test:");
    int Status_SlotsMatedTest = 0;
    for (INT8U ChipCounter = 0; ChipCounter < ChipsFound; ChipCounter++) {
        int result = TestBackplane(ChipCounter);
        if (result < 0)
            return -1;
        if (result > 0)
            Status_SlotsMatedTest = 1;
    }

    pb(" ");
    pb("%s", kStars36);
    pb("DIAGNOSTICS SUMMARY:");
    pb("%s", kStars36);
    TurnOffAllLEDs();
    for (INT8U i = 0; i < ChipsFound; i++)
        pb("Devices Tested: Addr: 0x%02x, BusID: 0x%02x:", ChipInfo[i].i2c_addr, ChipInfo[i].busID);
    pb("%s", "");
    pb("Activity LED Test...........................%s", PassFail(Status_ActivityLEDTest));
    pb("Status LED Test.............................%s", PassFail(Status_StatusLEDTest));
    pb("Slots Mated Test............................%s", PassFail(Status_SlotsMatedTest));
    set_tty_cooked();
    return 0;
}
