// SPDX-License-Identifier: MIT
// What one KCS transfer's port accesses, as a capture holds them, tell of
// the interface and of the BMC behind it: how the interface goes through
// the handshake, how long the BMC took to answer, and where a transfer that
// failed broke off (the KCS faults of the simulator, which the model gives
// back as fault rules).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "../replay/capture_file.h"
#include "../bmc/faults.h"

namespace sim::capture {

struct KcsPortsSeen {
    // The request reached the BMC: WRITE_END, then its last byte.
    bool request_complete = false;
    // The interface put a dummy byte into the data port after a byte the
    // host wrote (the host read it away in the write phase).
    bool dummy_after_write = false;
    // After the request's last byte the status showed the write state with
    // IBF (true) or the read state without OBF (false) until the answer;
    // nullopt: the answer was there at the first look.
    std::optional<bool> ibf_while_busy;
    // The status after WRITE_START showed C/D (the last write went to the
    // command port); nullopt: no status was read there.
    std::optional<bool> command_flag;
    // A dummy byte read was not 0x00: the data register as the BMC last
    // left it.
    bool dummy_not_zero = false;
    // How the transfer ended, as the simulator's faults would make it end:
    // answered (KcsFault::None, lost false), the answer lost, or a KCS fault.
    bool answered = false;
    bool lost = false;
    KcsFault fault = KcsFault::None;
    // Answered: the status reads after the last byte that did not see the answer yet.
    uint64_t busy_reads = 0;
    // IbfStuck, IbfStuckInRead: how long IBF stayed set before the interface
    // went idle; 0: until the transfer's end.
    uint64_t stuck_us = 0;
    // None of the above: the ports show something the model does not know.
    bool unknown = false;
};

// `read_ns`: what one status read costs the host (the read and its delay
// write), for a stuck IBF whose duration the capture does not give.
KcsPortsSeen read_kcs_ports(const std::vector<PortToken>& ports, uint64_t read_ns);

}  // namespace sim::capture
