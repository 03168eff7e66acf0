// SPDX-License-Identifier: MIT
// The KCS interface's control codes and status register as the IPMI
// standard defines them, spelt once for the BMC's port model, the replay of
// a capture's port accesses and the capture's reader.
#pragma once

#include <cstdint>

namespace sim::kcs {

// Control codes: WRITE_START and WRITE_END go to the command port, READ to
// the data port (one per answer byte).
constexpr uint8_t kWriteStart = 0x61;
constexpr uint8_t kWriteEnd = 0x62;
constexpr uint8_t kRead = 0x68;

// Status register: the flags, and the interface's state in the top two bits.
constexpr uint8_t kObf = 0x01;
constexpr uint8_t kIbf = 0x02;
constexpr uint8_t kCommandLast = 0x08;  // C/D: the last write went to the command port
constexpr uint8_t kStateMask = 0xC0;
constexpr uint8_t kStateIdle = 0x00;
constexpr uint8_t kStateRead = 0x40;
constexpr uint8_t kStateWrite = 0x80;
constexpr uint8_t kStateError = 0xC0;

}  // namespace sim::kcs
