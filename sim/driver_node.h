// The Linux IPMI driver's character device for one BMC (/dev/ipmiN), as the
// tool sees it through ioctl and select.
#pragma once

#include <cstdint>
#include <optional>

#include "bmc.h"
#include "context.h"

namespace sim {

class DriverNode {
public:
    DriverNode(BmcCore& core, Context context);

    // IPMICTL_SEND_COMMAND and IPMICTL_RECEIVE_MSG_TRUNC; -1 with errno on failure.
    int ioctl(unsigned long request, void* arg);

    // Virtual time (elapsed µs) at which the oldest queued response can be
    // received; nullopt when nothing is queued.
    std::optional<uint64_t> ready_at() const;

private:
    BmcCore& core_;
    Context context_;
};

}  // namespace sim
