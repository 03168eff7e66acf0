// SPDX-License-Identifier: MIT
#include "replay_machine_file.h"

#include <cctype>
#include <cstdio>

#include "../replay/capture_file.h"

namespace sim::capture {

std::string time_zone_of(const std::string& name, int64_t utc_offset_s)
{
    // TZ counts the other way round: "<CET>-01:00:00" is an hour east of UTC.
    std::string safe;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-')
            safe += c;
    if (safe.size() < 3)
        safe = "LOC";
    int64_t west = -utc_offset_s;
    char text[64];
    std::snprintf(text, sizeof text, "<%s>%c%02lld:%02lld:%02lld", safe.c_str(), west < 0 ? '-' : '+',
                  static_cast<long long>((west < 0 ? -west : west) / 3600),
                  static_cast<long long>((west < 0 ? -west : west) / 60 % 60),
                  static_cast<long long>((west < 0 ? -west : west) % 60));
    return text;
}

// What one I/O port access took, in nanoseconds: the quickest transfer's
// time over its accesses, each followed by the tool's delay write to port
// 0x80 (what else the host did between them only makes a transfer slower).
std::optional<uint64_t> port_access_ns(const std::vector<Event>& events)
{
    std::optional<uint64_t> quickest;
    for (const Event& e : events) {
        if (e.kind != Kind::Kcs || e.n < 2)
            continue;
        uint64_t accesses = 2 * (e.n - 1);
        uint64_t ns = ((e.t1 - e.t) * 1000 + accesses / 2) / accesses;
        if (!quickest || ns < *quickest)
            quickest = ns;
    }
    return quickest;
}

nlohmann::json replay_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image)
{
    Capture c = parse_capture(lines);
    const Header& h = c.header;
    nlohmann::json header = line_json(lines.at(0), 1);
    nlohmann::json events = nlohmann::json::array();
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty())
            events.push_back(line_json(lines[i], i + 1));
    const std::vector<Event>& parsed = c.events;
    nlohmann::json machine;
    machine["clock"] = {{"start_us", h.start_us}, {"time_zone", time_zone_of(h.zone_name, h.utc_offset_s)}};
    if (auto ns = port_access_ns(parsed))
        machine["port_access_ns"] = *ns;
    machine["replay"] = {{"header", header}, {"events", events}};
    if (image)
        machine["replay"]["image"] = *image;
    return machine;
}

}  // namespace sim::capture
