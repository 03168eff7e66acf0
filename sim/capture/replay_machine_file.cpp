// SPDX-License-Identifier: MIT
#include "replay_machine_file.h"

#include <cctype>
#include <arpa/inet.h>
#include <cstdio>
#include <map>

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

nlohmann::json lan_bmcs(const std::vector<Event>& events, const std::optional<std::string>& lan_password)
{
    std::map<int, nlohmann::json> lan;
    std::optional<uint64_t> quickest;
    for (const Event& e : events) {
        if (e.kind == Kind::LanExchange && e.received && (!quickest || e.rt - e.t < *quickest))
            quickest = e.rt - e.t;
        if (e.kind == Kind::LanRun && (!quickest || e.latency < *quickest))
            quickest = e.latency;
        if (e.kind != Kind::LanSession || lan.count(e.bmc))
            continue;
        nlohmann::json l;
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, e.host.c_str(), &v4) == 1)
            l["ipv4"] = e.host;
        else if (inet_pton(AF_INET6, e.host.c_str(), &v6) == 1)
            l["ipv6"] = e.host;
        else
            l["host"] = e.host;
        l["port"] = e.port;
        nlohmann::json user = {{"name", e.user}, {"password", lan_password.value_or("")}};
        if (e.privilege == "administrator" || e.privilege == "operator" || e.privilege == "user")
            user["privilege"] = e.privilege;
        l["users"] = nlohmann::json::array({user});
        if (e.suite)
            l["cipher_suites"] = {e.suite};
        lan[e.bmc] = l;
    }
    nlohmann::json bmcs = nlohmann::json::array();
    for (auto& [number, l] : lan) {
        l["answer_us"] = quickest.value_or(0);
        bmcs.push_back({{"lan", l}});
    }
    return bmcs;
}

nlohmann::json replay_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image,
                              const std::optional<std::string>& lan_password)
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
    if (nlohmann::json bmcs = lan_bmcs(parsed, lan_password); !bmcs.empty())
        machine["bmcs"] = bmcs;
    machine["replay"] = {{"header", header}, {"events", events}};
    if (image)
        machine["replay"]["image"] = *image;
    return machine;
}

}  // namespace sim::capture
