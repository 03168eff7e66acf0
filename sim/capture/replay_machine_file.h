// SPDX-License-Identifier: MIT
// qb40sim-capture replay: a capture made into a replay machine (sim/replay/replay.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::capture {

struct Event;

// The capture's lines (the header first) as a machine file whose every call
// is answered from them. `image`: the image file the run programmed, so
// that the replay checks the data bytes of its byte commands too.
// `lan_password`: the password of the user a network-road capture logged in
// as, which the capture does not hold (none: the empty password).
nlohmann::json replay_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image,
                              const std::optional<std::string>& lan_password = std::nullopt);

// The LAN BMCs of a network-road capture ("bmcs" entries holding "lan"
// alone), one per BMC its lan_session lines name, in their order: the host
// (or address) and port as given, the user with `lan_password` and the
// privilege the run asked for, the one cipher suite agreed, and the answer
// time its quickest answer took. Empty for a capture of another road.
nlohmann::json lan_bmcs(const std::vector<Event>& events, const std::optional<std::string>& lan_password);

// The TZ value that gives the capture's dates: its zone at the start, as a
// fixed offset from UTC.
std::string time_zone_of(const std::string& name, int64_t utc_offset_s);

// What one I/O port access took, in nanoseconds, from the KCS transfers
// (`events` of any kind); nullopt without one.
std::optional<uint64_t> port_access_ns(const std::vector<Event>& events);

}  // namespace sim::capture
