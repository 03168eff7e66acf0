// SPDX-License-Identifier: MIT
// The Linux IPMI driver's character device for one BMC (/dev/ipmiN), as the
// tool sees it through ioctl and select. It behaves as the driver does, also
// where the tool expects otherwise: message ids are echoed as given, failures
// are -1 with errno, a receive into a too small buffer with
// IPMICTL_RECEIVE_MSG_TRUNC copies what fits and still fails with EMSGSIZE.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "bmc.h"
#include "../basics/context.h"

namespace sim {

class DriverNode {
public:
    DriverNode(BmcCore& core, Context context);

    // IPMICTL_SEND_COMMAND, IPMICTL_RECEIVE_MSG and IPMICTL_RECEIVE_MSG_TRUNC;
    // -1 with errno on failure.
    int ioctl(unsigned long request, void* arg);

    // Virtual time (elapsed µs) at which the oldest queued response can be
    // received; nullopt when nothing is queued.
    std::optional<uint64_t> ready_at() const;

    // An injected select failure waiting for the next select on this node:
    // its errno, or 0. Taking it clears it.
    int take_select_error();

private:
    struct Queued {
        long msgid;
        uint64_t ready_at;
        uint8_t lun;
        std::vector<uint8_t> response;  // KCS layout
        int receive_errno;
        bool traced = false;
    };

    int send(void* arg);
    int receive(void* arg, bool truncate);

    BmcCore& core_;
    Context context_;
    std::deque<Queued> queue_;  // ordered by ready_at
    int select_errno_ = 0;
};

}  // namespace sim
