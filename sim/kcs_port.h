// The BMC side of a KCS system interface at one port pair.
#pragma once

#include <cstdint>

#include "bmc.h"
#include "context.h"

namespace sim {

class KcsPort {
public:
    KcsPort(BmcCore& core, Context context, uint16_t data_port, uint16_t status_port);

    bool owns(uint16_t port) const { return port == data_port_ || port == status_port_; }
    uint8_t read(uint16_t port);
    void write(uint16_t port, uint8_t value);

private:
    BmcCore& core_;
    Context context_;
    uint16_t data_port_;
    uint16_t status_port_;
};

}  // namespace sim
