// PLACEHOLDER until the driver model lands.
#include "driver_node.h"

#include <cerrno>

namespace sim {

DriverNode::DriverNode(BmcCore& core, Context context) : core_(core), context_(context) {}

int DriverNode::ioctl(unsigned long, void*)
{
    errno = ENOSYS;
    return -1;
}

std::optional<uint64_t> DriverNode::ready_at() const { return std::nullopt; }

}  // namespace sim
