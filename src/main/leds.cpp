// SPDX-License-Identifier: MIT
// LED commands over the found backplanes. Each write goes straight to the
// I2C layer and its result is ignored: a backplane that does not answer must
// not keep the others dark or lit.
#include "qb40tool.h"

namespace {

constexpr INT8U kAllOn = 0xFF;
constexpr INT8U kAllOff = 0x00;

// Every LED register, cleared in this order.
constexpr INT8U kLedRegisters[] = {QBREG_ACTIVITY, QBREG_LOCATE, QBREG_FAIL, QBREG_REBUILD};

void WriteLedRegister(const structChipInfo& chip, INT8U reg, INT8U value)
{
    const INT8U wbuf[2] = {reg, value};
    i2c_master_write(chip.i2c_addr >> 1, wbuf, sizeof wbuf, chip.busID);
}

void WriteOnEveryBackplane(INT8U reg, INT8U value)
{
    for (INT8U i = 0; i < ChipsFound; i++)
        WriteLedRegister(ChipInfo[i], reg, value);
}

}  // namespace

void EnableLampTest(INT8U BackplaneNum)
{
    if (BackplaneNum >= ChipsFound)
        return;
    WriteLedRegister(ChipInfo[BackplaneNum], QBREG_ACTIVITY, kAllOn);
    WriteLedRegister(ChipInfo[BackplaneNum], QBREG_FAIL, kAllOn);
}

void TurnOnAllStatusLEDs() { WriteOnEveryBackplane(QBREG_FAIL, kAllOn); }

void TurnOnAllActivityLEDs() { WriteOnEveryBackplane(QBREG_ACTIVITY, kAllOn); }

void TurnOffAllLEDs()
{
    // All four registers of one backplane before the next one.
    for (INT8U i = 0; i < ChipsFound; i++)
        for (INT8U reg : kLedRegisters)
            WriteLedRegister(ChipInfo[i], reg, kAllOff);
}

// Ends a lamp test by darkening every backplane, whichever one was lit.
void DisableLampTest(INT8U) { TurnOffAllLEDs(); }
