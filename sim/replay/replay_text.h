// SPDX-License-Identifier: MIT
// How the replay writes bytes and ports in the messages that name a call
// and the capture's next event.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../basics/trace.h"

namespace sim::replay_text {

inline std::string hex(const std::vector<uint8_t>& bytes) { return Trace::hex(bytes); }

inline std::string hex_byte(uint8_t b)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

inline std::string port_name(uint16_t port)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", port);
    return text;
}

}  // namespace sim::replay_text
