// SPDX-License-Identifier: MIT
// qb40sim-capture replay: a capture made into a replay machine (sim/replay/replay.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::capture {

// The capture's lines (the header first) as a machine file whose every call
// is answered from them. `image`: the image file the run programmed, so
// that the replay checks the data bytes of its byte commands too.
nlohmann::json replay_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image);

// The TZ value that gives the capture's dates: its zone at the start, as a
// fixed offset from UTC.
std::string time_zone_of(const std::string& name, int64_t utc_offset_s);

struct Event;
// What one I/O port access took, in nanoseconds, from the KCS transfers
// (`events` of any kind); nullopt without one.
std::optional<uint64_t> port_access_ns(const std::vector<Event>& events);

}  // namespace sim::capture
