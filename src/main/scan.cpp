// SPDX-License-Identifier: MIT
// Device scan: walks the configured buses, channels and addresses, probes
// each position for a QB40xx controller by its chip-ID register, logs the
// register dump of every controller it accepts and records it in ChipInfo.
#include "scan.h"

#include <cstring>

#include "../common/chip_table.h"
#include "../common/register_map.h"
#include "../common/settings.h"
#include "../i2c/i2c.h"
#include "../i2c/registers.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "leds.h"
#include "same_controller.h"
#include "vpd.h"

char ScanChannels = 0;
INT8U BusIDchannel = 0;
INT8U i2c_addr_ScanLast = 0;

namespace {

constexpr INT8U kCompletionInvalidDataField = 0xCC;
constexpr INT8U kFoundMark = 0xFF;

const char kFoundBefore[] = "(Device Found, but skipping it, since it was found before)";
const char kDashes49[] = "-------------------------------------------------";
const char kEquals36[] = "====================================";

// Registers the dump logs after the configuration byte, without storing them.
// The labels are padded so that the values line up in the log.
struct LoggedRegister {
    INT8U reg;
    const char* label;
};
constexpr LoggedRegister kAdditionalRegisters[] = {
    {QBREG_SGPIO_CONFIG, "SGPIO Config      "},     {QBREG_SLOTS_USED, "Slots Used        "},
    {QBREG_SLOTS_MATED, "Slots Mated       "},      {QBREG_ACTIVITY, "Activity          "},
    {QBREG_LOCATE, "Locate            "},           {QBREG_FAIL, "Fail              "},
    {QBREG_REBUILD, "Rebuild           "},          {QBREG_SUPPORTED_DRIVES, "Supported Drives  "},
};
constexpr LoggedRegister kTemperatureRegisters[] = {
    {QBREG_TEMP, "Temp Sensor        "},
    {QBREG_TEMP_AMBIENT, "Temp Sensor Ambient"},
    {QBREG_TEMP_THRESH, "Temp Sensor Thresh "},
};
constexpr INT8U kDriveRegisterCount = 8;

// A failed read is stored as its low byte, so it shows as 0xFF.
INT8U LowByte(int value) { return static_cast<INT8U>(value & 0xFF); }

// A version register, read with the plain or the QB4083C command form; the
// outcome learns whether the plain read gave a value.
INT8U ReadVersionRegister(bool qb4083c, INT8U busID, INT8U i2c_addr, INT8U reg)
{
    if (qb4083c)
        return LowByte(ReadQB4083Creg(busID, i2c_addr, reg));
    int value = ReadQBreg(busID, i2c_addr, reg);
    NoteRegisterRead(reg, value);
    return LowByte(value);
}

void ReadVersionRegisters(structChipInfo& rec, bool qb4083c, INT8U busID, INT8U i2c_addr)
{
    rec.FW_ID0 = ReadVersionRegister(qb4083c, busID, i2c_addr, QBREG_FWID0);
    pf("FWID0 Reg 0x60:0x%02x ", rec.FW_ID0);
    rec.FW_ID1 = ReadVersionRegister(qb4083c, busID, i2c_addr, QBREG_FWID1);
    pf("FWID1 Reg 0x61:0x%02x ", rec.FW_ID1);
    rec.FW_ID2 = ReadVersionRegister(qb4083c, busID, i2c_addr, QBREG_FWID2);
    pf("FWID2 Reg 0x62:0x%02x ", rec.FW_ID2);
    rec.ChipRev = ReadVersionRegister(qb4083c, busID, i2c_addr, QBREG_REVISION);
    // The label names 0x63, as operators' logs have always shown it; the
    // value is the revision register 0x64.
    pf("RevID Reg 0x63:0x%02x ", rec.ChipRev);
}

void LogAdditionalRegisters(structChipInfo& rec, INT8U busID, INT8U i2c_addr)
{
    pf("\tAdditional Chip Info:");
    int config = ReadQBreg(busID, i2c_addr, QBREG_CONFIG);
    NoteRegisterRead(QBREG_CONFIG, config);
    rec.ConfigByte = LowByte(config);
    pf("\tConfiguration      (Reg 0x30):0x%02x", rec.ConfigByte);
    for (const LoggedRegister& r : kAdditionalRegisters) {
        int value = ReadQBreg(busID, i2c_addr, r.reg);
        NoteRegisterRead(r.reg, value);
        pf("\t%s (Reg 0x%02x):0x%02x", r.label, r.reg, LowByte(value));
    }
    for (INT8U reg = QBREG_DRIVE0; reg < QBREG_DRIVE0 + kDriveRegisterCount; reg++)
        pf("\tDrive (Reg 0x%02x): Byte: 0x%02x", reg, LowByte(ReadQBreg(busID, i2c_addr, reg)));
    for (const LoggedRegister& r : kTemperatureRegisters) {
        int value = ReadQBreg(busID, i2c_addr, r.reg);
        NoteRegisterRead(r.reg, value);
        pf("\t%s (Reg 0x%02x):0x%02x", r.label, r.reg, LowByte(value));
    }
}

bool ChannelsScanned() { return ScanChannels || CMDL_ScanChannels; }

// Reads one byte from the mux; the result (non-zero: a mux answered) decides
// whether the records of this bus carry the mux address.
int ProbeMux(INT8U busID)
{
    pb("%s", kDashes49);
    pb("Checking for Mux at address: 0x%02x ", MUXaddress);
    INT8U value = 0;
    int result = i2c_master_read(MUXaddress >> 1, &value, 1, busID);
    if (result) {
        pb("   Mux Detected at address: 0x%02x Read:0x%02x", MUXaddress, value);
        ScanChannels = 1;
    } else {
        if (I2C_LastCompletionCode == kCompletionInvalidDataField)
            pb("MUX reading requested on Illegal BusID...");
        else
            pb("Mux Not Detected");
        ScanChannels = 0;
    }
    return result;
}

enum ProbeOutcome { PROBE_NEXT, PROBE_ILLEGAL_BUS };

ProbeOutcome ProbePosition(INT8U busID, INT8U i2c_addr, int MUXretval)
{
    pb("%s", kDashes49);
    pb("Scanning for device at BusID: 0x%02x Address: 0x%02x", busID, i2c_addr);
    int chip = ReadQBreg(busID, i2c_addr, QBREG_CHIP_ID);
    FoundQB4083C = 0;
    if (chip == -1 && I2C_LastCompletionCode == kCompletionInvalidDataField) {
        pb("Illegal BusID...skipping to next bus...");
        return PROBE_ILLEGAL_BUS;
    }
    // The register is read as a signed byte: 0 and 0x80..0xFF mean nothing there.
    if (chip == -1 || static_cast<signed char>(LowByte(chip)) <= 0) {
        pb("(no device at 0x%02x)", i2c_addr);
        return PROBE_NEXT;
    }
    // Lit marks are judged alike with and without --read-only, so that a
    // read-only scan (a plan, the monitoring) tells what a marking scan,
    // and so the upgrade, will do: a controller a killed run left marked is
    // passed over by both.
    int locate = ReadQBreg(busID, i2c_addr, QBREG_LOCATE);
    int fail = ReadQBreg(busID, i2c_addr, QBREG_FAIL);
    if (locate == kFoundMark && fail == kFoundMark) {
        if (CMDL_ReadOnly)
            pf("Locate and Fail read 0x%02x: passed over as found before, as a marking scan passes it over",
               kFoundMark);
        pb("%s", kFoundBefore);
        return PROBE_NEXT;
    }
    const ChipFamily* family = ScannedFamilyOf(LowByte(chip));
    if (!family) {
        pb("Chip Found at address 0x%02x does not appear to be a valid QB40xx device", i2c_addr);
        return PROBE_NEXT;
    }
    if (CMDL_ReadOnly && ReachedBeforeInScan(busID, i2c_addr, LowByte(chip))) {
        pb("%s", kFoundBefore);
        return PROBE_NEXT;
    }
    RecordQBdevice(busID, i2c_addr, LowByte(chip), family->model, MUXretval);
    return PROBE_NEXT;
}

void AppendToTotal()
{
    // The run-wide table holds 16 records; what comes after is not kept.
    for (INT8U i = 0; i < ChipsFound && TotalChipCounter < MAX_CHIPS; i++)
        TotalChipInfo[TotalChipCounter++] = ChipInfo[i];
}

}  // namespace

void RecordQBdevice(INT8U busID, INT8U i2c_addr, INT8U ChipID, const char* name, int MUXretval)
{
    // Past the table's end the controller is still dumped and marked, but
    // its data goes nowhere the upgrade looks (a record of its own for the
    // plan, as long as there is room).
    structChipInfo overflow{};
    structChipInfo overflow4083C{};
    bool stored = ChipsFound < MAX_CHIPS;
    if (!stored && ChipsBeyondTable < MAX_CHIPS)
        BeyondTableChipInfo[ChipsBeyondTable] = structChipInfo{};
    structChipInfo& rec = stored                           ? ChipInfo[ChipsFound]
                          : ChipsBeyondTable < MAX_CHIPS ? BeyondTableChipInfo[ChipsBeyondTable]
                                                           : overflow;
    structChipInfo& rec4083C = stored ? QB4083CChipInfo[ChipsFound] : overflow4083C;

    std::memcpy(rec.ChipName, name, sizeof rec.ChipName);

    pf("%s", kEquals36);
    pb("Valid device found at address 0x%02x", i2c_addr);
    pf("%s", kEquals36);
    pb("Found %.7s at I2C address 0x%02x on Bus 0x%02x", rec.ChipName, i2c_addr, busID);
    pf("Found %.7s at I2C address 0x%02x on Bus 0x%02x", rec.ChipName, i2c_addr, busID);
    if (FoundQB4083C)
        pb("Found QB4083C at I2C address 0x%02x on Bus 0x%02x", i2c_addr, busID);

    pf("Chip Information:");
    rec.ChipID = ChipID;
    ReadVersionRegisters(rec, false, busID, i2c_addr);
    LogAdditionalRegisters(rec, busID, i2c_addr);

    if (FoundQB4083C) {
        pf("QB4083C Chip Information:");
        rec4083C.ChipID = FoundQB4083C;
        ReadVersionRegisters(rec4083C, true, busID, i2c_addr);
    }

    if (MUXretval) {
        rec.MUXaddress = MUXaddress;
        pb("Stored ChipInfo: MUXaddress: 0x%02x", MUXaddress);
    }
    rec.busID = busID;
    rec.i2c_addr = i2c_addr;
    rec.ChannelNumber = ChannelsScanned() ? BusIDchannel : 0;

    if (!CMDL_ReadOnly) {
        WriteLed(busID, i2c_addr, QBREG_LOCATE, kFoundMark);
        WriteLed(busID, i2c_addr, QBREG_FAIL, kFoundMark);
    }
    NoteControllerFound(rec, MUXretval, stored);

    if (stored) {
        ChipsFound++;
    } else {
        if (ChipsBeyondTable < MAX_CHIPS)
            ChipsBeyondTable++;
        pb("MAX CHIPS PER SYSTEM OF %d REACHED!!", MAX_CHIPS);
    }
}

int ScanForQBdevices()
{
    INT8U busID = ScanBusID_First;
    pb("Entered ScanForQBdevices()");
    NoteScanBegins();
    BusIDchannel = BusIDchannelFirst;
    ChipsFound = 0;
    ChipsBeyondTable = 0;
    pb("Scanning I2C busses for QB40xx...");
    int MUXretval = 0;

    if (ScanBusID_First <= ScanBusID_Last) {
        do {
            pb("--------------");
            if (CMDL_ScanChannels)
                pb("| BusID:0x%02x Channel: 0x%01x | ", busID, BusIDchannel);
            else
                pb("| BusID:0x%02x  | ", busID);
            if (CMDL_MuxAddress)
                MUXretval = ProbeMux(busID);
            else
                pb("%s", kDashes49);

            i2c_addr_ScanLast = ScanC0thruC6 ? 0xC6 : 0xC0;
            // Every address is probed on every channel before the next
            // address: the channel varies fastest.
            for (unsigned addr = 0xC0; addr <= i2c_addr_ScanLast;) {
                if (ChannelsScanned()) {
                    pb("%s", kDashes49);
                    pb("Scanning Channel: 0x%02x:", BusIDchannel);
                    busID = static_cast<INT8U>((busID & 0x0F) + 16 * BusIDchannel);
                }
                if (CMDL_GetI2CdeviceData)
                    GetI2CdeviceData(busID);
                if (ProbePosition(busID, static_cast<INT8U>(addr), MUXretval) == PROBE_ILLEGAL_BUS)
                    break;
                if (ChannelsScanned()) {
                    BusIDchannel++;
                    if (BusIDchannel > BusIDchannelLast) {
                        BusIDchannel = BusIDchannelFirst;
                        addr += 2;
                    }
                } else {
                    addr += 2;
                }
            }
            busID = static_cast<INT8U>((busID & 0x0F) + 1);
        } while (busID <= ScanBusID_Last);
    }

    if (ChipsFound == 0)
        return 0;
    AppendToTotal();
    return 1;
}
