// PLACEHOLDER until the KCS transfer lands.
#include "../os/os.h"
#include "kcs.h"

INT8U qb_inp(unsigned int Port) { return os::inb(static_cast<unsigned short>(Port)); }
INT8U qb_outp(unsigned int Port, INT8U Val)
{
    os::outb(Val, static_cast<unsigned short>(Port));
    return 0;
}
void qb_delay(unsigned int Val) { os::usleep(Val * 1000); }
void timedelay(unsigned int tickToDelay) { os::usleep(tickToDelay * 55000); }
INT16S timeout(TIMER*, INT16U) { return 1; }
INT16S WaitOBFSet(INT16U) { return -1; }
INT16S WaitIBFClear(INT16U) { return -1; }
INT16S Kcs_Write(INT8U*, INT16U) { return 2; }
INT16S Kcs_Read(INT8U*, INT8U*) { return 2; }
