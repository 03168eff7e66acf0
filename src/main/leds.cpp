// SPDX-License-Identifier: MIT
// LED commands over the found backplanes. Each write goes straight to the
// I2C layer and its result is ignored: a backplane that does not answer must
// not keep the others dark or lit.
#include "leds.h"

#include <cstring>

#include "../common/register_map.h"
#include "../i2c/master_write_read.h"
#include "../i2c/registers.h"
#include "device_table.h"

namespace {

constexpr INT8U kAllOn = 0xFF;
constexpr INT8U kAllOff = 0x00;

// Every LED register, cleared in this order.
constexpr INT8U kLedRegisters[] = {QBREG_ACTIVITY, QBREG_LOCATE, QBREG_FAIL, QBREG_REBUILD};

// The LEDs this pass lit and has not put out since: per bus ID and
// controller address (0xC0 to 0xC6), one bit per LED register. A run that
// a signal stops puts them out, as a finished run of the same mode would
// have; a controller the pass lights again after a stop cannot be, since the
// pass is over.
constexpr int kControllerAddresses = 4;
INT8U LitLeds[256][kControllerAddresses];

// The bit of `reg` in LitLeds, 0 for a register that is no LED.
INT8U LedBit(INT8U reg)
{
    for (unsigned i = 0; i < sizeof kLedRegisters; i++)
        if (kLedRegisters[i] == reg)
            return static_cast<INT8U>(1u << i);
    return 0;
}

// The LitLeds entry of a controller, nullptr for an address no scan probes.
INT8U* LitEntry(INT8U busID, INT8U i2c_addr)
{
    if (i2c_addr < 0xC0 || i2c_addr > 0xC6 || (i2c_addr & 1))
        return nullptr;
    return &LitLeds[busID][(i2c_addr - 0xC0) / 2];
}

enum LedWriteStage { LED_WRITE_BEFORE, LED_WRITE_AFTER };

// An LED counts as lit from before the write that lights it is sent (an
// attempt whose answer was lost may have lit it), and as dark only once the
// write that puts it out was sent, whatever its answer: a finished run does
// no more for it. A write the I2C layer gave up on before sending it (its
// mux switch got no answer) put nothing out.
void NoteLedWrite(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U value, LedWriteStage stage)
{
    INT8U bit = LedBit(reg);
    INT8U* lit = LitEntry(busID, i2c_addr);
    if (!bit || !lit)
        return;
    if (value && stage == LED_WRITE_BEFORE)
        *lit = static_cast<INT8U>(*lit | bit);
    else if (!value && stage == LED_WRITE_AFTER && I2C_LastRequestSent)
        *lit = static_cast<INT8U>(*lit & ~bit);
}

void WriteLedRegister(const structChipInfo& chip, INT8U reg, INT8U value)
{
    WriteLed(chip.busID, chip.i2c_addr, reg, value);
}

void WriteOnEveryBackplane(INT8U reg, INT8U value)
{
    for (INT8U i = 0; i < ChipsFound; i++)
        WriteLedRegister(ChipInfo[i], reg, value);
}

}  // namespace

// A write to an LED register, noted before and after it is sent.
void WriteLed(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U value)
{
    NoteLedWrite(busID, i2c_addr, reg, value, LED_WRITE_BEFORE);
    WriteQBreg(busID, i2c_addr, reg, value);
    NoteLedWrite(busID, i2c_addr, reg, value, LED_WRITE_AFTER);
}

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

void PutOutLitLeds()
{
    for (int bus = 0; bus < 256; bus++)
        for (int a = 0; a < kControllerAddresses; a++)
            for (INT8U reg : kLedRegisters)
                if (LitLeds[bus][a] & LedBit(reg))
                    WriteLed(static_cast<INT8U>(bus), static_cast<INT8U>(0xC0 + 2 * a), reg, 0x00);
}

void ForgetLitLeds() { memset(LitLeds, 0, sizeof LitLeds); }
