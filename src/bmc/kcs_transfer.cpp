// SPDX-License-Identifier: MIT
// KCS port transfer: one request into the BMC and one response out of it
// through the data and command/status ports, each byte with a handshake on
// the status register; below that the pausing port accesses, the waits on
// the status bits and the time base they use.
#include "kcs_transfer.h"

#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../waits/pause.h"
#include "discovery.h"

// Status register.
#define KCS_OBF 0x01
#define KCS_IBF 0x02
#define KCS_STATE_MASK 0xC0
#define KCS_IDLE_STATE 0x00
#define KCS_READ_STATE 0x40
#define KCS_WRITE_STATE 0x80
#define KCS_ERROR_STATE 0xC0

// Control codes.
#define KCS_WRITE_START 0x61
#define KCS_WRITE_END 0x62
#define KCS_READ 0x68

#define KCS_MAX_RESPONSE 35  // NetFn/LUN, command, completion code and 32 data bytes

#define IO_DELAY_PORT 0x80

static TIMER kcs_timer;

// The pausing read (inb_p): the write to port 0x80 gives the slow interface
// time before the next access.
INT8U qb_inp(unsigned int Port)
{
    INT8U value = os::inb(static_cast<unsigned short>(Port));
    os::outb(value, IO_DELAY_PORT);
    return value;
}

// The pausing write (outb_p).
INT8U qb_outp(unsigned int Port, INT8U Val)
{
    os::outb(Val, static_cast<unsigned short>(Port));
    os::outb(Val, IO_DELAY_PORT);
    return 0;
}

// With tick 0 starts *timer; otherwise 1 once more than tick ticks have
// passed since. The count is kept modulo 2^32 and compared by unsigned
// difference, so one wrap between start and check does no harm.
INT16S timeout(TIMER* timer, INT16U tick)
{
    struct timeval tv;
    if (os::gettimeofday(&tv) != 0)
        return 1;
    TIMER now = static_cast<TIMER>(static_cast<unsigned long long>(tv.tv_sec) * 1000000ULL +
                                   static_cast<unsigned long long>(tv.tv_usec));
    if (tick == 0) {
        *timer = now;
        return 0;
    }
    TIMER passed = now - *timer;
    return passed > static_cast<TIMER>(tick) * TICK_US ? 1 : 0;
}

// Both waits spin on the status port without sleeping, so a transfer goes on
// the moment the BMC is ready.
static INT16S WaitStatusBit(INT8U bit, bool set, INT16U thetimeout, const char* name)
{
    timeout(&kcs_timer, 0);
    for (;;) {
        if (timeout(&kcs_timer, thetimeout)) {
            pb("%s Timeout!", name);
            return -1;
        }
        if (((qb_inp(ISA_SMS_CMD_STATUS) & bit) != 0) == set)
            return 0;
    }
}

INT16S WaitOBFSet(INT16U thetimeout) { return WaitStatusBit(KCS_OBF, true, thetimeout, "WaitOBFSet"); }

INT16S WaitIBFClear(INT16U thetimeout) { return WaitStatusBit(KCS_IBF, false, thetimeout, "WaitIBFClear"); }

static INT8U kcs_state()
{
    return qb_inp(ISA_SMS_CMD_STATUS) & KCS_STATE_MASK;
}

// Drops a byte left in the output register.
static void clear_obf()
{
    if (qb_inp(ISA_SMS_CMD_STATUS) & KCS_OBF)
        qb_inp(ISA_SMS_DATA);
}

static INT16S write_ibf_timeout()
{
    pb("ERROR: Wait IBF clear timeout ISA_IBF=%x", qb_inp(ISA_SMS_CMD_STATUS) & KCS_IBF);
    return 2;
}

INT16S Kcs_Write(INT8U* msgBuf, INT16U length)
{
    if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
        return write_ibf_timeout();
    clear_obf();
    qb_outp(ISA_SMS_CMD_STATUS, KCS_WRITE_START);
    if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
        return write_ibf_timeout();

    for (INT16U i = 0; i < length; i++) {
        if (i == length - 1) {
            qb_outp(ISA_SMS_CMD_STATUS, KCS_WRITE_END);
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
                return write_ibf_timeout();
        }
        if (kcs_state() != KCS_WRITE_STATE) {
            pb("ERROR: Not in write state ISA_STATE=%x", kcs_state());
            return 1;
        }
        clear_obf();
        qb_outp(ISA_SMS_DATA, msgBuf[i]);
        if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
            return write_ibf_timeout();
    }

    if (kcs_state() != KCS_READ_STATE) {
        pb("ERROR: Fail to transfer to read state ISA_STATE=%x", kcs_state());
        return 1;
    }
    return 0;
}

INT16S Kcs_Read(INT8U* msgBuf, INT8U* msgLen)
{
    INT8U i = 0;
    // Write or error state without a byte to drop: wait for one, but no
    // longer than any other KCS wait.
    TIMER stuck_timer = 0;
    int stuck = 0;

    for (;;) {
        INT8U state = kcs_state();
        if (state != KCS_WRITE_STATE && state != KCS_ERROR_STATE)
            stuck = 0;

        if (state == KCS_READ_STATE) {
            if (WaitOBFSet(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: Wait no OBF in read state");
                return 2;
            }
            msgBuf[i] = qb_inp(ISA_SMS_DATA);
            i++;
            if (i >= KCS_MAX_RESPONSE) {
                // The byte just read is not acknowledged: the interface stays
                // in the read state until the next WRITE_START.
                pb("ERROR: Response length too long (%d)", i);
                *msgLen = i;
                return 0;
            }
            qb_outp(ISA_SMS_DATA, KCS_READ);
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: Wait IBF Error");
                return 2;
            }
        } else if (state == KCS_WRITE_STATE || state == KCS_ERROR_STATE) {
            if (qb_inp(ISA_SMS_CMD_STATUS) & KCS_OBF) {
                qb_inp(ISA_SMS_DATA);
                *msgLen = i;
                pb("ERROR: Error State");
                return 1;
            }
            if (!stuck) {
                timeout(&stuck_timer, 0);
                stuck = 1;
            } else if (timeout(&stuck_timer, KCS_TIMEOUT_TICKS)) {
                pb("ERROR: Wait no OBF in error state");
                return 2;
            }
        } else {
            // Idle: the message is complete; the BMC follows it with a dummy byte.
            if (WaitOBFSet(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: ISA_IDLE_STATE");
                return 2;
            }
            qb_inp(ISA_SMS_DATA);
            *msgLen = i;
            return 0;
        }
    }
}
