// SPDX-License-Identifier: MIT
// The one request/response exchange with the BMC, through the Linux IPMI
// driver's device node or through the KCS ports, with the optional verbose
// dump of both messages into the log.
#include "exchange.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../os/os.h"
#include "../waits/safe_point.h"
#include "discovery.h"
#include "kcs_transfer.h"

#define DRIVER_DATA_SIZE 60     // request copy and response data through the driver
#define DRIVER_WAIT_SECONDS 30  // a driver that accepted a request answers well within this
#define KCS_RETRIES 3

// Message id of the last request sent through the driver; never reset.
static int seq_no = 0;

// "<title>XX XX ...\n" straight into the log, formatted in a fixed buffer and
// written in pieces, so that a long message costs a few writes, not one per byte.
static void dump_message(const char* title, const INT8U* bytes, unsigned int length)
{
    static const char digits[] = "0123456789ABCDEF";
    char text[256];
    size_t used = 0;
    fputs(title, log_file);
    for (unsigned int i = 0; i < length; i++) {
        if (used + 3 > sizeof(text)) {
            fwrite(text, 1, used, log_file);
            used = 0;
        }
        text[used++] = digits[bytes[i] >> 4];
        text[used++] = digits[bytes[i] & 0x0F];
        text[used++] = ' ';
    }
    fwrite(text, 1, used, log_file);
    fputc('\n', log_file);
    fflush(log_file);
}

static INT8U exchange_kcs(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    int countdown = KCS_RETRIES;
    while (Kcs_Write(ptr, write_length) > 0) {
        if (countdown == 0) {
            pf("\nKCS: Read After Write: Write Error\n");
            return 0;
        }
        pf("\nKCS: Read After Write (write) Retry Countdown: %d", countdown);
        countdown--;
    }
    // A failed read is repeated on its own: the request is in the BMC already.
    countdown = KCS_RETRIES;
    while (Kcs_Read(recvptr, recv_buffer_length) > 0) {
        if (countdown == 0) {
            pf("\nKCS: Read After Write: Read Error\n");
            return 0;
        }
        pf("\nKCS: Read After Write (read) Retry Countdown: %d", countdown);
        countdown--;
    }
    return 1;
}

// Sends the request through the driver, its bytes copied into `data`
// (DRIVER_DATA_SIZE bytes); false when the driver refuses it (said).
static bool driver_send(const INT8U* ptr, INT16U write_length, INT8U* data)
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
static bool driver_wait_answer()
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
static bool driver_receive(INT8U* data, INT8U* recvptr, INT8U* recv_buffer_length)
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

// One request through the driver's device node: sent, waited for and
// received in one buffer.
static INT8U exchange_driver(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    INT8U data[DRIVER_DATA_SIZE];
    if (!driver_send(ptr, write_length, data) || !driver_wait_answer())
        return 0;
    return driver_receive(data, recvptr, recv_buffer_length) ? 1 : 0;
}

INT8U Kcs_Read_After_Write(INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    // Between two exchanges is where a signal can stop the run.
    SafePoint();
    if (CMDL_VerboseLog && log_file)
        dump_message("\nKCS Request: ", ptr, write_length);

    INT8U ok = OpenIPMIDriverLoaded ? exchange_driver(ptr, write_length, recvptr, recv_buffer_length)
                                    : exchange_kcs(ptr, write_length, recvptr, recv_buffer_length);
    if (!ok)
        return 0;

    if (CMDL_VerboseLog && log_file)
        dump_message("KCS Response: ", recvptr, *recv_buffer_length);
    return 1;
}
