// SPDX-License-Identifier: MIT
// The Linux IPMI driver's road: the device nodes, one per BMC, and one
// request through a node: IPMICTL_SEND_COMMAND, a bounded select for the
// answer, IPMICTL_RECEIVE_MSG_TRUNC.
#include "driver_road.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "../../common/bmc_state.h"
#include "../../logfile/logfile.h"
#include "../../os/os.h"

#define DRIVER_DATA_SIZE 60     // request copy and response data through the driver
#define DRIVER_WAIT_SECONDS 30  // a driver that accepted a request answers well within this

namespace {

// Message id of the last request sent through the driver; never reset.
int seq_no = 0;

// One BMC per device node, in the order the passes serve them, with the flag
// that records that a normal-mode call has opened it.
struct BmcNode {
    const char* path;
    unsigned char* opened;
};

constexpr BmcNode kBmcNodes[] = {
    {"/dev/ipmi0", &FirstBmcOpen},
    {"/dev/ipmi1", &SecondBmcOpen},
    {"/dev/ipmi2", &ThirdBmcOpen},
    {"/dev/ipmi3", &FourthBmcOpen},
};
constexpr int kMaxBmcs = static_cast<int>(sizeof kBmcNodes / sizeof kBmcNodes[0]);

// The older device-file layout names the first interface /dev/ipmidev/0.
constexpr const char* kFirstBmcOtherName = "/dev/ipmidev/0";

// Sends the request through the driver, its bytes copied into `data`
// (DRIVER_DATA_SIZE bytes); false when the driver refuses it (said).
bool driver_send(const INT8U* ptr, INT16U write_length, INT8U* data)
{
    struct ipmi_system_interface_addr addr;
    struct ipmi_req req;

    INT16U copied = write_length > DRIVER_DATA_SIZE ? DRIVER_DATA_SIZE : write_length;
    memcpy(data, ptr, copied);

    memset(&addr, 0, sizeof(addr));
    addr.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    addr.channel = IPMI_BMC_CHANNEL;
    addr.lun = 0;

    memset(&req, 0, sizeof(req));
    // Wraps to 1 rather than overflowing: an endless continuous run sends
    // more than INT_MAX requests.
    seq_no = seq_no < INT_MAX ? seq_no + 1 : 1;
    req.addr = reinterpret_cast<unsigned char*>(&addr);
    req.addr_len = sizeof(addr);
    req.msgid = seq_no;
    req.msg.netfn = data[0] >> 2;
    req.msg.cmd = data[1];
    req.msg.data = data + 2;
    req.msg.data_len = copied >= 2 ? static_cast<unsigned short>(copied - 2) : 0;

    if (os::ioctl(fd, IPMICTL_SEND_COMMAND, &req) != 0) {
        pb("ERROR: OpenIPMI ioctl IPMICTL_SEND_COMMAND failed (%d)", errno);
        return false;
    }
    return true;
}

// Waits for the driver's answer; false when it does not come (said).
bool driver_wait_answer()
{
    fd_set rset;
    struct timeval wait;
    wait.tv_sec = DRIVER_WAIT_SECONDS;
    wait.tv_usec = 0;
    int ready;
    // A signal does not cut an exchange in half: the wait goes on for the
    // time left, which select leaves in `wait`.
    do {
        FD_ZERO(&rset);
        FD_SET(fd, &rset);
        ready = os::select(fd + 1, &rset, NULL, NULL, &wait);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        pb("ERROR: OpenIPMI select failed (%d)", errno);
        return false;
    }
    if (ready == 0) {
        pb("ERROR: OpenIPMI select timeout");
        return false;
    }
    if (!FD_ISSET(fd, &rset)) {
        pb("ERROR: OpenIPMI FD_ISSET failed (%d)", errno);
        return false;
    }
    return true;
}

// Takes the answer to the request sent last, through `data`, into
// `recvptr`; false when it cannot be taken or answers another (said).
bool driver_receive(INT8U* data, INT8U* recvptr, INT8U* recv_buffer_length)
{
    struct ipmi_system_interface_addr addr1;
    struct ipmi_recv recv;
    memset(&addr1, 0, sizeof(addr1));
    memset(&recv, 0, sizeof(recv));
    recv.addr = reinterpret_cast<unsigned char*>(&addr1);
    recv.addr_len = sizeof(addr1);
    recv.msg.data = data;
    recv.msg.data_len = DRIVER_DATA_SIZE;
    if (os::ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) != 0) {
        pb("ERROR: OpenIPMI ioctl IPMICTL_RECEIVE_MSG_TRUNC failed (%d)", errno);
        return false;
    }
    if (recv.msgid != seq_no) {
        pb("ERROR: Sequence number does not match");
        return false;
    }

    unsigned int length = recv.msg.data_len > DRIVER_DATA_SIZE ? DRIVER_DATA_SIZE : recv.msg.data_len;
    recvptr[0] = recv.msg.netfn;
    recvptr[1] = recv.msg.cmd;
    memcpy(recvptr + 2, data, length);
    *recv_buffer_length = static_cast<INT8U>(length + 2);
    return true;
}

}  // namespace

// Sent, waited for and received in one buffer.
INT8U DriverRoad_Exchange(const INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    INT8U data[DRIVER_DATA_SIZE];
    if (!driver_send(ptr, write_length, data) || !driver_wait_answer())
        return 0;
    return driver_receive(data, recvptr, recv_buffer_length) ? 1 : 0;
}


// Closes the descriptor `fd` holds before it is replaced, so that none leaks.
void DriverRoad_SetFd(int descriptor)
{
    if (fd >= 0)
        os::close(fd);
    fd = descriptor;
}

// Opens the device node of BMC `index` (0..3).
int DriverRoad_OpenNode(int index)
{
    BmcNodePath = kBmcNodes[index].path;
    int descriptor = os::open(BmcNodePath, O_RDWR);
    if (descriptor < 0 && index == 0) {
        descriptor = os::open(kFirstBmcOtherName, O_RDWR);
        if (descriptor >= 0)
            BmcNodePath = kFirstBmcOtherName;
    }
    return descriptor;
}


// Counts the BMCs behind the driver into FoundBmc. The descriptors are only
// looked at, never kept.
void DriverRoad_Count()
{
    for (int index = 0; index < kMaxBmcs; ++index) {
        DriverRoad_SetFd(-1);
        fd = DriverRoad_OpenNode(index);
        if (fd >= 0)
            ++FoundBmc;
    }
    DriverRoad_SetFd(-1);
}

// Opens the BMC after the last one opened so far. A node that does not open
// leaves fd at -1 and is tried again by the next call.
void DriverRoad_OpenNext()
{
    int index = 0;
    while (index < kMaxBmcs - 1 && *kBmcNodes[index].opened)
        ++index;
    DriverRoad_SetFd(-1);
    int descriptor = DriverRoad_OpenNode(index);
    // The first BMC counts as opened once it was tried; the others once
    // their node opened.
    if (index == 0 || descriptor >= 0)
        *kBmcNodes[index].opened = 1;
    fd = descriptor;
}

