// SPDX-License-Identifier: MIT
// The KCS road (-dio): finding the BMC's KCS interface at the known port
// pairs, and one request through it with the transfer's retries.
#include "kcs_road.h"

#include "../../common/bmc_state.h"
#include "../../logfile/logfile.h"
#include "../../os/os.h"
#include "kcs_interface.h"
#include "kcs_transfer.h"

#define KCS_RETRIES 3

namespace {

struct KcsPortPair {
    INT16U data;
    INT16U cmd_status;
};

// Where a BMC's KCS system interface may sit.
constexpr KcsPortPair kKcsPorts[] = {
    {0x0CA2, 0x0CA3},
    {0x0CA8, 0x0CAC},
    {0x0CB0, 0x0CB4},
};
constexpr int kLastKcsPort = static_cast<int>(sizeof kKcsPorts / sizeof kKcsPorts[0]) - 1;

}  // namespace

INT8U KcsRoad_Open()
{
    pb("WARNING: Unable to open IPMI driver\n");
    pb("Using direct IO access to BMC\n");
    pb("WARNING: Unable to open OpenIPMI driver\n");
    pb("Using direct IO access to BMC\n");
    if (os::iopl(3) != 0) {
        pb("ERROR: Unable to set I/O permissions. Please try loggin in as root or using sudo\n");
        return 0;
    }
    for (INT8U port = 0; port <= kLastKcsPort; ++port) {
        pb("Scanning BMC Port Address %d of %d", port, kLastKcsPort);
        ISA_SMS_DATA = kKcsPorts[port].data;
        ISA_SMS_CMD_STATUS = kKcsPorts[port].cmd_status;
        if (qb_inp(ISA_SMS_CMD_STATUS) == KCS_NO_DEVICE) {
            pb("BMC not Found at CMD/STAT:0x%04x DATA:0x%04x", ISA_SMS_CMD_STATUS, ISA_SMS_DATA);
            continue;
        }
        pb("BMC Found at CMD/STAT:0x%04x DATA:0x%04x", ISA_SMS_CMD_STATUS, ISA_SMS_DATA);
        if (ScanForBmc)
            ++FoundBmc;
        return 1;
    }
    pb("BMC NOT FOUND! A BMC must be present to upgrade the firmware");
    return 0;
}

INT8U KcsRoad_Exchange(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    int countdown = KCS_RETRIES;
    while (Kcs_Write(ptr, write_length) != KCS_DONE) {
        if (countdown == 0) {
            pf("\nKCS: Read After Write: Write Error\n");
            return 0;
        }
        pf("\nKCS: Read After Write (write) Retry Countdown: %d", countdown);
        countdown--;
    }
    // A failed read is repeated on its own: the request is in the BMC already.
    countdown = KCS_RETRIES;
    while (Kcs_Read(recvptr, recv_buffer_length) != KCS_DONE) {
        if (countdown == 0) {
            pf("\nKCS: Read After Write: Read Error\n");
            return 0;
        }
        pf("\nKCS: Read After Write (read) Retry Countdown: %d", countdown);
        countdown--;
    }
    return 1;
}
