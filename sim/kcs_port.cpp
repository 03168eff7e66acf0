// PLACEHOLDER until the KCS model lands: an idle interface that never answers.
#include "kcs_port.h"

namespace sim {

KcsPort::KcsPort(BmcCore& core, Context context, uint16_t data_port, uint16_t status_port)
    : core_(core), context_(context), data_port_(data_port), status_port_(status_port)
{
}

uint8_t KcsPort::read(uint16_t) { return 0x00; }
void KcsPort::write(uint16_t, uint8_t) {}

}  // namespace sim
