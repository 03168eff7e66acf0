// SPDX-License-Identifier: MIT
#include "driver_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

namespace sim {

DriverNode::DriverNode(BmcCore& core, Context context) : core_(core), context_(context) {}

int DriverNode::ioctl(unsigned long request, void* arg)
{
    switch (request) {
    case IPMICTL_SEND_COMMAND:
        return send(arg);
    case IPMICTL_RECEIVE_MSG:
        return receive(arg, false);
    case IPMICTL_RECEIVE_MSG_TRUNC:
        return receive(arg, true);
    default:
        errno = ENOTTY;
        return -1;
    }
}

std::optional<uint64_t> DriverNode::ready_at() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().ready_at;
}

int DriverNode::take_select_error()
{
    int e = select_errno_;
    select_errno_ = 0;
    return e;
}

// Checks the driver makes before a request goes anywhere: a system-interface
// address for the BMC's own channel, a sane LUN, a message that fits.
int DriverNode::send(void* arg)
{
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    auto* req = static_cast<ipmi_req*>(arg);
    if (!req->addr || req->addr_len > IPMI_MAX_ADDR_SIZE) {
        errno = req->addr ? EINVAL : EFAULT;
        return -1;
    }
    if (req->addr_len < sizeof(ipmi_system_interface_addr)) {
        errno = EINVAL;
        return -1;
    }
    ipmi_system_interface_addr addr;
    std::memcpy(&addr, req->addr, sizeof addr);
    if (addr.addr_type != IPMI_SYSTEM_INTERFACE_ADDR_TYPE || addr.channel != IPMI_BMC_CHANNEL || addr.lun > 3) {
        errno = EINVAL;
        return -1;
    }
    if (req->msg.data_len > IPMI_MAX_MSG_LENGTH) {
        errno = EMSGSIZE;
        return -1;
    }
    if (req->msg.data_len > 0 && !req->msg.data) {
        errno = EFAULT;
        return -1;
    }

    std::vector<uint8_t> message;
    message.reserve(2 + req->msg.data_len);
    message.push_back(static_cast<uint8_t>(req->msg.netfn << 2 | addr.lun));
    message.push_back(req->msg.cmd);
    message.insert(message.end(), req->msg.data, req->msg.data + req->msg.data_len);

    const std::string& bmc = core_.name();
    if (context_.trace.enabled())
        context_.trace.line("%s driver request id %ld: %s", bmc.c_str(), req->msgid, Trace::hex(message).c_str());

    BmcCore::Outcome out = core_.exchange(Road::Driver, message);
    const FaultAction* f = out.fault ? &*out.fault : nullptr;
    if (f && f->send_errno) {
        errno = f->send_errno;
        return -1;
    }
    if (f && f->select_errno)
        select_errno_ = f->select_errno;
    if (out.response.empty())
        return 0;  // the answer never comes

    Queued q{req->msgid + (f && f->wrong_id ? 1 : 0), context_.clock.elapsed_us() + out.delay_us, addr.lun,
             std::move(out.response), f ? f->receive_errno : 0};
    auto pos = std::upper_bound(queue_.begin(), queue_.end(), q.ready_at,
                                [](uint64_t at, const Queued& e) { return at < e.ready_at; });
    queue_.insert(pos, std::move(q));
    return 0;
}

int DriverNode::receive(void* arg, bool truncate)
{
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    auto* recv = static_cast<ipmi_recv*>(arg);
    if (queue_.empty() || queue_.front().ready_at > context_.clock.elapsed_us()) {
        errno = EAGAIN;
        return -1;
    }
    Queued& q = queue_.front();
    const std::string& bmc = core_.name();
    if (!q.traced && context_.trace.enabled())
        context_.trace.line("%s driver response id %ld: %s", bmc.c_str(), q.msgid, Trace::hex(q.response).c_str());
    q.traced = true;

    if (q.receive_errno) {
        errno = q.receive_errno;
        queue_.pop_front();
        return -1;
    }
    // Failures before anything is handed over leave the message queued.
    if (recv->addr_len < sizeof(ipmi_system_interface_addr)) {
        errno = EINVAL;
        return -1;
    }
    if (!recv->addr) {
        errno = EFAULT;
        return -1;
    }
    size_t data_len = q.response.size() - 2;
    if (data_len > recv->msg.data_len && !truncate) {
        errno = EMSGSIZE;
        return -1;
    }
    if (data_len > 0 && !recv->msg.data) {
        errno = EFAULT;
        return -1;
    }

    ipmi_system_interface_addr from{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, q.lun};
    std::memcpy(recv->addr, &from, sizeof from);
    recv->addr_len = sizeof from;
    recv->recv_type = IPMI_RESPONSE_RECV_TYPE;
    recv->msgid = q.msgid;
    recv->msg.netfn = q.response[0] >> 2;
    recv->msg.cmd = q.response[1];
    bool cut = data_len > recv->msg.data_len;
    size_t copied = cut ? recv->msg.data_len : data_len;
    if (copied > 0)
        std::memcpy(recv->msg.data, q.response.data() + 2, copied);
    recv->msg.data_len = static_cast<unsigned short>(copied);
    queue_.pop_front();
    if (cut) {
        // The driver hands over the truncated message and reports it anyway.
        errno = EMSGSIZE;
        return -1;
    }
    return 0;
}

}  // namespace sim
