// SPDX-License-Identifier: MIT
// I2C through the BMC: every read or write at a slave address on a bus is one
// Master Write-Read request (master_write_read.h), with an optional mux
// switch in front of it.
#include "i2c.h"

#include "../bmc/exchange.h"
#include "../common/settings.h"
#include "../waits/pause.h"
#include "lost_answers.h"
#include "master_write_read.h"
#include "mux_as_found.h"

#define RESPONSE_SIZE 128
#define DEFAULT_MUX_ADDRESS 0xE6  // the read's mux switch always goes here

// Step before the transfer: with -ms the mux in front of the target is
// switched to the channel named by the upper nibble, and only the bus
// number goes into the transfer. Returns 0 when the switch got no response.
static int bus_byte_for(unsigned char busID, INT8U mux_address, INT8U* bus)
{
    *bus = busID;
    if (CMDL_SendMuxSwitchingCommands && (busID & 0xF0)) {
        KeepMuxAsFound(busID, mux_address);
        INT8U request[6];
        INT8U response[RESPONSE_SIZE];
        INT8U length = 0;
        request[0] = NETFN_APP_LUN0;
        request[1] = CMD_MASTER_WRITE_READ;
        request[2] = busID & 0x0F;
        request[3] = mux_address;
        request[4] = 0;
        request[5] = static_cast<INT8U>(1 << ((busID >> 4) - 1));  // channels 9 to 15 select nothing
        NoteMuxSwitched(busID, mux_address, request[5]);
        if (!Kcs_Read_After_Write(request, sizeof(request), response, &length))
            return 0;
        qb_delay(1);
        *bus = busID & 0x0F;
    }
    if (!CMDL_MuxAddress && !CMDL_ScanChannels)
        *bus &= 0x0F;
    return 1;
}

// The mux a read switches first. The classic flow always names 0xE6 there
// (the write names the -ma address); a read-only run switches no mux the
// operator did not name, and its reads must follow their own bus byte for
// the register-pointer test to tell two controllers apart.
static INT8U read_switch_mux() { return CMDL_ReadOnly ? MUXaddress : DEFAULT_MUX_ADDRESS; }

int i2c_master_read(INT8U i2c_addr, INT8U* p_rbuf, INT8U num_bytes, unsigned char busID)
{
    for (int attempt = 1;; ++attempt) {
        INT8U bus;
        I2C_LastCompletionCode = 0;
        I2C_LastRequestSent = 0;
        if (!bus_byte_for(busID, read_switch_mux(), &bus))
            return 0;
        int read = mwr_read(i2c_addr, p_rbuf, num_bytes, bus, true);
        if (read) {
            NoteI2cTransfer(false, i2c_addr, p_rbuf, num_bytes, busID);
            return read;
        }
        // A lost answer (the network road): the read has moved the pointer;
        // what it belongs to is redone first, as often as the attempts allow.
        // A redo that fails takes an attempt; one that succeeds leaves the
        // attempt to the read that follows it.
        if (!I2C_LastAnswerLost)
            return 0;
        for (RedoResult redo = REDO_FAILED; redo != REDONE;) {
            if (attempt >= LostReadAttempts())
                return 0;
            redo = RedoBeforeLostRead(i2c_addr, i2c_master_write, i2c_master_read);
            if (redo == REDO_IMPOSSIBLE)
                return 0;
            if (redo == REDO_FAILED)
                ++attempt;
        }
    }
}

int i2c_master_write(INT8U i2c_addr, const INT8U* p_wbuf, INT8U num_bytes, unsigned char busID)
{
    INT8U bus;
    I2C_LastCompletionCode = 0;
    I2C_LastRequestSent = 0;
    if (num_bytes > MWR_MAX_WRITE)
        return 0;  // before the mux is switched for it
    if (!bus_byte_for(busID, MUXaddress, &bus))
        return 0;
    int written = mwr_write(i2c_addr, p_wbuf, num_bytes, bus);
    if (written)
        NoteI2cTransfer(true, i2c_addr, p_wbuf, num_bytes, busID);
    return written;
}
