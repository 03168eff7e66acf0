// SPDX-License-Identifier: MIT
// --read-only with -ms: the tool switches the muxes itself, and leaves each
// as it found it. Before its first channel selection on a bus in a BMC pass
// it reads the mux's register (the channel mask); at the end of the pass,
// and when a signal stops the run, a mux it switched to another mask gets
// the one it was found with. A mux whose register cannot be read is not
// given anything back: nothing answered there to be switched.
//
// A read-only run switches only the -ma mux (i2c.cpp); a mux is kept per
// bus and address all the same. Its own reads and writes carry the plain bus
// number, so they switch nothing themselves.
#include "mux_as_found.h"

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "master_write_read.h"

namespace {

constexpr int kBuses = 16;
constexpr int kMuxesPerBus = 2;

struct MuxState {
    bool used;      // this slot names a mux
    INT8U address;  // 8-bit
    bool known;     // `found` holds what its register read before the first switch
    INT8U found;
    bool switched;  // the run has sent it a channel selection since
    INT8U set;      // the last one sent
};

MuxState Muxes[kBuses][kMuxesPerBus];

MuxState* Find(INT8U bus, INT8U address, bool claim)
{
    for (MuxState& m : Muxes[bus & 0x0F]) {
        if (m.used && m.address == address)
            return &m;
        if (!m.used && claim) {
            m = MuxState{};
            m.used = true;
            m.address = address;
            return &m;
        }
    }
    return nullptr;
}

}  // namespace

void KeepMuxAsFound(unsigned char busID, INT8U mux_address)
{
    if (!CMDL_ReadOnly || Find(busID, mux_address, false))
        return;
    MuxState* m = Find(busID, mux_address, true);
    const INT8U bus = busID & 0x0F;
    // The scan tells a refused bus by the last completion code: this read
    // must not change what the transfer it comes before leaves there.
    const INT8U last_code = I2C_LastCompletionCode;
    INT8U mask = 0;
    if (mwr_read(mux_address >> 1, &mask, 1, bus) == 1) {
        m->known = true;
        m->found = mask;
        pf("Mux at 0x%02x on BusID 0x%02x found on channels 0x%02x", mux_address, bus, mask);
    } else {
        pf("Mux at 0x%02x on BusID 0x%02x: its channels cannot be read", mux_address, bus);
    }
    I2C_LastCompletionCode = last_code;
}

void NoteMuxSwitched(unsigned char busID, INT8U mux_address, INT8U mask)
{
    if (!CMDL_ReadOnly)
        return;
    if (MuxState* m = Find(busID, mux_address, true)) {
        m->switched = true;
        m->set = mask;
    }
}

void PutMuxesBackAsFound()
{
    if (!CMDL_ReadOnly)
        return;
    for (int bus = 0; bus < kBuses; bus++) {
        // The mux switched first last: one behind another's channel is
        // reached only while that channel is on.
        for (int i = kMuxesPerBus - 1; i >= 0; i--) {
            MuxState& m = Muxes[bus][i];
            if (m.used && m.known && m.switched && m.set != m.found) {
                pf("Mux at 0x%02x on BusID 0x%02x put back on channels 0x%02x", m.address, bus, m.found);
                mwr_write(m.address >> 1, &m.found, 1, static_cast<unsigned char>(bus));
            }
            m = MuxState{};
        }
    }
}
