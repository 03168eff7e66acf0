// SPDX-License-Identifier: MIT
// KCS port transfer: one request into the BMC and one response out of it
// through the data and command/status ports, each byte with a handshake on
// the status register; below that the pausing port accesses, the waits on
// the status bits and the time base they use.
//
// Both transfers are written as the host's half of the interface's state
// machine (the IPMI description's write and read transfers): one step per
// state of the enums below, each taken in one case of a switch, its next
// step named where it ends. Every port access, wait and message of a step
// is in that case, in the order it is made.
#include "kcs_transfer.h"

#include "../../common/bmc_state.h"
#include "../../logfile/logfile.h"
#include "../../os/os.h"
#include "../../waits/pause.h"
#include "kcs_interface.h"

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
// the moment the BMC is ready; they are no safe point either: a signal is
// taken between two exchanges, never inside a transfer.
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
    return KCS_TIMED_OUT;
}

// The host's steps of a write transfer.
enum KcsWriteStep {
    WRITE_WAIT_READY,    // the interface must take a control code (IBF clear) before anything is sent
    WRITE_START,         // a stale output byte dropped, WRITE_START written
    WRITE_WAIT_STARTED,  // WRITE_START taken: the interface is in its write state
    WRITE_END,           // before the last byte: WRITE_END written and taken
    WRITE_CHECK_STATE,   // before each byte: still in the write state, or the BMC gave up
    WRITE_BYTE,          // a stale output byte dropped, the byte written and taken
    WRITE_CHECK_READ,    // every byte taken: the interface has turned to its read state
};

// The step before byte `i` of `length`: the last one is announced by WRITE_END.
static KcsWriteStep before_byte(INT16U i, INT16U length)
{
    if (i >= length)
        return WRITE_CHECK_READ;
    return i == length - 1 ? WRITE_END : WRITE_CHECK_STATE;
}

INT16S Kcs_Write(INT8U* msgBuf, INT16U length)
{
    INT16U i = 0;
    KcsWriteStep step = WRITE_WAIT_READY;
    for (;;) {
        switch (step) {
        case WRITE_WAIT_READY:
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
                return write_ibf_timeout();
            step = WRITE_START;
            break;
        case WRITE_START:
            clear_obf();
            qb_outp(ISA_SMS_CMD_STATUS, KCS_WRITE_START);
            step = WRITE_WAIT_STARTED;
            break;
        case WRITE_WAIT_STARTED:
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
                return write_ibf_timeout();
            step = before_byte(i, length);
            break;
        case WRITE_END:
            qb_outp(ISA_SMS_CMD_STATUS, KCS_WRITE_END);
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
                return write_ibf_timeout();
            step = WRITE_CHECK_STATE;
            break;
        case WRITE_CHECK_STATE:
            if (kcs_state() != KCS_WRITE_STATE) {
                pb("ERROR: Not in write state ISA_STATE=%x", kcs_state());
                return KCS_WRONG_STATE;
            }
            step = WRITE_BYTE;
            break;
        case WRITE_BYTE:
            clear_obf();
            qb_outp(ISA_SMS_DATA, msgBuf[i]);
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0)
                return write_ibf_timeout();
            step = before_byte(++i, length);
            break;
        case WRITE_CHECK_READ:
            if (kcs_state() != KCS_READ_STATE) {
                pb("ERROR: Fail to transfer to read state ISA_STATE=%x", kcs_state());
                return KCS_WRONG_STATE;
            }
            return KCS_DONE;
        }
    }
}

// The host's step of a read transfer, chosen anew by the interface's state
// before each one.
enum KcsReadStep {
    READ_BYTE,        // read state: wait for OBF, take the byte, acknowledge it with READ
    READ_BMC_GAVE_UP, // write or error state: drop the BMC's byte, or wait (bounded) for one
    READ_DUMMY,       // idle state: the response is complete; take the dummy byte after it
};

static KcsReadStep read_step(INT8U state)
{
    if (state == KCS_READ_STATE)
        return READ_BYTE;
    if (state == KCS_WRITE_STATE || state == KCS_ERROR_STATE)
        return READ_BMC_GAVE_UP;
    return READ_DUMMY;
}

INT16S Kcs_Read(INT8U* msgBuf, INT8U* msgLen)
{
    INT8U i = 0;
    // Write or error state without a byte to drop: wait for one, but no
    // longer than any other KCS wait.
    TIMER stuck_timer = 0;
    int stuck = 0;

    for (;;) {
        KcsReadStep step = read_step(kcs_state());
        if (step != READ_BMC_GAVE_UP)
            stuck = 0;

        switch (step) {
        case READ_BYTE:
            if (WaitOBFSet(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: Wait no OBF in read state");
                return KCS_TIMED_OUT;
            }
            msgBuf[i] = qb_inp(ISA_SMS_DATA);
            i++;
            if (i >= KCS_MAX_RESPONSE) {
                // The byte just read is not acknowledged: the interface stays
                // in the read state until the next WRITE_START.
                pb("ERROR: Response length too long (%d)", i);
                *msgLen = i;
                return KCS_DONE;
            }
            qb_outp(ISA_SMS_DATA, KCS_READ);
            if (WaitIBFClear(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: Wait IBF Error");
                return KCS_TIMED_OUT;
            }
            break;
        case READ_BMC_GAVE_UP:
            if (qb_inp(ISA_SMS_CMD_STATUS) & KCS_OBF) {
                qb_inp(ISA_SMS_DATA);
                *msgLen = i;
                pb("ERROR: Error State");
                return KCS_WRONG_STATE;
            }
            if (!stuck) {
                timeout(&stuck_timer, 0);
                stuck = 1;
            } else if (timeout(&stuck_timer, KCS_TIMEOUT_TICKS)) {
                pb("ERROR: Wait no OBF in error state");
                return KCS_TIMED_OUT;
            }
            break;
        case READ_DUMMY:
            if (WaitOBFSet(KCS_TIMEOUT_TICKS) != 0) {
                pb("ERROR: ISA_IDLE_STATE");
                return KCS_TIMED_OUT;
            }
            qb_inp(ISA_SMS_DATA);
            *msgLen = i;
            return KCS_DONE;
        }
    }
}
