// SPDX-License-Identifier: MIT
// --read-only: telling a controller that one scan reaches a second time
// from another controller, without the found mark a normal scan writes into
// its Locate and Fail registers. A second path to one controller is another
// channel nibble or mux channel when it is not behind the mux (or the BMC
// does not switch on the nibble), or another bus byte that leads to the same
// bus.
//
// Two sightings can be one controller only when they answer at the same
// address with the same chip ID and the same registers that do not change
// while it runs (firmware ID and revisions, chip revision, configuration);
// temperatures, LEDs, activity and drive state may change between two reads
// and are not compared. Two identical backplanes agree on all of those, so
// the last word goes to the controller's register pointer, which every
// register read sets with a one-byte write: the pointer is set to the
// chip-ID register through the new path, then to a register holding another
// value through the recorded path, and one byte is read through the new path
// without setting it. One controller answers with the second register's
// value, two controllers with the chip ID. Only register numbers are
// written; a failed transfer leaves the sighting a controller of its own.
#include "same_controller.h"

#include "../common/register_map.h"
#include "../i2c/i2c.h"
#include "../i2c/registers.h"
#include "../logfile/logfile.h"
#include "device_table.h"

namespace {

// Registers whose value a running controller keeps, and where the device
// table holds what the scan read from them.
struct StableRegister {
    INT8U reg;
    INT8U structChipInfo::*field;
};
constexpr StableRegister kStableRegisters[] = {
    {QBREG_FWID0, &structChipInfo::FW_ID0},     {QBREG_FWID1, &structChipInfo::FW_ID1},
    {QBREG_FWID2, &structChipInfo::FW_ID2},     {QBREG_REVISION, &structChipInfo::ChipRev},
    {QBREG_CONFIG, &structChipInfo::ConfigByte},
};
constexpr int kStableCount = sizeof kStableRegisters / sizeof kStableRegisters[0];

// The stable registers at the new path, read once per sighting and only
// when a recorded controller could be the same.
struct Sighting {
    INT8U busID;
    INT8U i2c_addr;
    INT8U ChipID;
    bool read;
    INT8U stable[kStableCount];
};

void ReadStable(Sighting& s)
{
    for (int i = 0; i < kStableCount; i++)
        s.stable[i] = static_cast<INT8U>(ReadQBreg(s.busID, s.i2c_addr, kStableRegisters[i].reg) & 0xFF);
    s.read = true;
}

bool LooksAlike(const structChipInfo& recorded, Sighting& s)
{
    if (recorded.i2c_addr != s.i2c_addr || recorded.ChipID != s.ChipID || recorded.busID == s.busID)
        return false;
    if (!s.read)
        ReadStable(s);
    for (int i = 0; i < kStableCount; i++)
        if (recorded.*kStableRegisters[i].field != s.stable[i])
            return false;
    return true;
}

// The register-pointer test described above.
bool SharesRegisterPointer(const structChipInfo& recorded, const Sighting& s)
{
    const StableRegister* other = nullptr;
    for (const StableRegister& r : kStableRegisters) {
        if (recorded.*r.field != s.ChipID) {
            other = &r;
            break;
        }
    }
    if (!other)
        return false;  // every register reads as the chip ID: nothing to tell them apart by
    const INT8U addr7 = s.i2c_addr >> 1;
    INT8U reg = QBREG_CHIP_ID;
    if (i2c_master_write(addr7, &reg, 1, s.busID) != 1)
        return false;
    reg = other->reg;
    if (i2c_master_write(addr7, &reg, 1, recorded.busID) != 1)
        return false;
    INT8U value = 0;
    if (i2c_master_read(addr7, &value, 1, s.busID) != 1)
        return false;
    const bool same = value == recorded.*other->field;
    pf("Register pointer at 0x%02x through BusID 0x%02x, read through BusID 0x%02x: 0x%02x (%s)", other->reg,
       recorded.busID, s.busID, value, same ? "one controller" : "another controller");
    return same;
}

bool SameAs(const structChipInfo& recorded, Sighting& s)
{
    return LooksAlike(recorded, s) && SharesRegisterPointer(recorded, s);
}

}  // namespace

bool ReachedBeforeInScan(INT8U busID, INT8U i2c_addr, INT8U ChipID)
{
    Sighting s = {busID, i2c_addr, ChipID, false, {}};
    for (INT8U i = 0; i < ChipsFound; i++)
        if (SameAs(ChipInfo[i], s))
            return true;
    for (INT8U i = 0; i < ChipsBeyondTable; i++)
        if (SameAs(BeyondTableChipInfo[i], s))
            return true;
    return false;
}
