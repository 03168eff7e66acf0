// SPDX-License-Identifier: MIT
// Device summary after every scan: lists the found controllers, clears the
// found mark the scan left on them, counts down the continuous-mode delay,
// cycles the Fail LEDs through the backplanes when asked (-z) and pauses.
#include "summary.h"

#include <cstdarg>

#include "../bmc/discovery.h"
#include "../common/register_map.h"
#include "../common/settings.h"
#include "../i2c/i2c.h"
#include "../i2c/registers.h"
#include "../logfile/logfile.h"
#include "../waits/pause.h"
#include "../waits/terminal.h"
#include "leds.h"
#include "scan.h"

namespace {

constexpr INT8U kQB4077 = 77;
constexpr INT8U kAdr0x40 = 0x40;  // 8-bit address of the 14-byte device beside a QB4077
constexpr INT8U kAdr0x40Bytes = 14;
constexpr int kKeySpace = 0x20;
constexpr unsigned kPhaseMs = 2000;

const char kDashes50[] = "--------------------------------------------------";

// With several BMCs the summaries would crowd the console between passes;
// they then go to the log only.
int SummaryPrint(const char* fmt, ...) QB_PRINTF(1, 2);
int SummaryPrint(const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return FoundBmc > 1 ? pf("%s", line) : pb("%s", line);
}

void PrintAdr0x40(INT8U busID)
{
    INT8U bytes[kAdr0x40Bytes];
    if (i2c_master_read(kAdr0x40 >> 1, bytes, kAdr0x40Bytes, busID) != kAdr0x40Bytes) {
        SummaryPrint("       Adr 0x%02x (no response)", kAdr0x40);
        return;
    }
    static const char kHex[] = "0123456789abcdef";
    char text[kAdr0x40Bytes * 3 + 1];
    char* out = text;
    for (INT8U b : bytes) {
        *out++ = ' ';
        *out++ = kHex[b >> 4];
        *out++ = kHex[b & 0x0F];
    }
    *out = '\0';
    SummaryPrint("      Adr 0x%02x: %s", kAdr0x40, text);
}

void PrintRecord(INT8U i)
{
    const structChipInfo& c = ChipInfo[i];
    SummaryPrint("QB40%d Device:", c.ChipID);
    SummaryPrint("%d: BusID:0x%02x ChipID:%d FW:[0x%02x:0x%02x] ADR:0x%02x Config:0x%02x", i, c.busID, c.ChipID,
                 c.FW_ID1, c.FW_ID2, c.i2c_addr, c.ConfigByte);
    if (FoundQB4083C) {
        const structChipInfo& q = QB4083CChipInfo[i];
        SummaryPrint("QB4083C Device Summary:");
        SummaryPrint("%d: BusID:0x%02x ChipID:%dC FW:[0x%02x:0x%02x] ADR:0x%02x", i, c.busID, q.ChipID, q.FW_ID1,
                     q.FW_ID2, c.i2c_addr);
    }
    // Clear the found mark, so that the next scan finds the controller
    // again; a read-only scan set none.
    if (!CMDL_ReadOnly) {
        WriteLed(c.busID, c.i2c_addr, QBREG_LOCATE, 0x00);
        WriteLed(c.busID, c.i2c_addr, QBREG_FAIL, 0x00);
    }
    if (c.ChipID == kQB4077)
        PrintAdr0x40(c.busID);
}

void SetFailOnAll(INT8U value)
{
    for (INT8U i = 0; i < ChipsFound; i++)
        WriteLed(ChipInfo[i].busID, ChipInfo[i].i2c_addr, QBREG_FAIL, value);
}

// A waiting key is consumed and stops the cycling.
bool KeyTaken()
{
    if (!kbhit())
        return false;
    getch();
    return true;
}

// Key check, a phase of two seconds, key check. True: a key was pressed.
bool HoldPhase()
{
    if (KeyTaken())
        return true;
    qb_delay(kPhaseMs);
    return KeyTaken();
}

// One pass: all lit, each backplane alone, all dark; until a key.
void CycleUntilKey()
{
    for (;;) {
        SetFailOnAll(0xFF);
        if (HoldPhase())
            return;
        for (INT8U k = 0; k < ChipsFound; k++) {
            SetFailOnAll(0x00);
            WriteLed(ChipInfo[k].busID, ChipInfo[k].i2c_addr, QBREG_FAIL, 0xFF);
            if (HoldPhase())
                return;
        }
        SetFailOnAll(0x00);
        if (HoldPhase())
            return;
    }
}

void CycleLEDs()
{
    SummaryPrint("Cycling through the LEDs on the %d backplanes found...(press any key to stop)", ChipsFound);
    CycleUntilKey();
    for (INT8U i = 0; i < ChipsFound; i++) {
        WriteLed(ChipInfo[i].busID, ChipInfo[i].i2c_addr, QBREG_LOCATE, 0x00);
        WriteLed(ChipInfo[i].busID, ChipInfo[i].i2c_addr, QBREG_FAIL, 0x00);
    }
    SummaryPrint("All LEDs turned off. Exiting...");
}

void CountDownDelay()
{
    for (unsigned long n = CMDL_ContinousUpgradeDelay; n > 0; n--) {
        ps_r("\r delay...: %li ", static_cast<long>(n));
        qb_delay(1000);
    }
}

// A space holds the summary on screen until the next key.
void ClosingPause()
{
    if (kbhit() && getch() == kKeySpace) {
        getch();
        return;
    }
    qb_delay(1000);
}

}  // namespace

void DisplaySummary()
{
    SummaryPrint("%s", kDashes50);
    SummaryPrint(ScanChannels ? "DEVICE SUMMARY: (Mux Detected)" : "DEVICE SUMMARY");
    if (ChipsFound == 0) {
        SummaryPrint("NO DEVICES FOUND");
        SummaryPrint("%s", kDashes50);
    } else {
        for (INT8U i = 0; i < ChipsFound; i++)
            PrintRecord(i);
        CountDownDelay();
        if (CMDL_LEDcycling)
            CycleLEDs();
    }
    ClosingPause();
}
