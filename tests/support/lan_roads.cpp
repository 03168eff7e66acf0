// SPDX-License-Identifier: MIT
#include "lan_roads.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>

#include "in_process.h"

namespace qbtest {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kPasswordFile = "lan.pw";
constexpr const char* kKgFile = "lan.kg";

std::string host_of(size_t bmc) { return "bmc" + std::to_string(bmc) + ".lab"; }

void write_secret(SimDir& dir, const char* name, const char* secret)
{
    dir.write(name, std::string(secret) + "\n");
    fs::permissions(dir.path() / name, fs::perms::owner_read | fs::perms::owner_write);
}

std::string hex_of(const std::string& text, bool upper, const char* between)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < text.size(); ++i) {
        std::snprintf(byte, sizeof byte, upper ? "%02X" : "%02x", static_cast<unsigned char>(text[i]));
        out += (i ? between : "") + std::string(byte);
    }
    return out;
}

}  // namespace

std::string lan_machine(const std::string& machine, const LanSetUp& setup)
{
    json m = json::parse(machine);
    m.erase("vanishing_nodes");
    for (size_t i = 0; i < m["bmcs"].size(); ++i) {
        json& bmc = m["bmcs"][i];
        for (const char* road : {"node", "kcs", "kcs_handshake"})
            bmc.erase(road);
        json lan = {{"host", host_of(i)},
                    {"users", {{{"name", "admin"}, {"password", kLanPassword}, {"privilege", "administrator"}}}}};
        if (setup.kg)
            lan["kg"] = kLanKg;
        lan.update(setup.lan);
        bmc["lan"] = lan;
    }
    return m.dump();
}

std::string driver_machine(const std::string& machine)
{
    json m = json::parse(machine);
    for (const char* field : {"vanishing_nodes", "driver"})
        m.erase(field);
    for (size_t i = 0; i < m["bmcs"].size(); ++i) {
        json& bmc = m["bmcs"][i];
        for (const char* road : {"kcs", "kcs_handshake", "lan"})
            bmc.erase(road);
        bmc["node"] = "/dev/ipmi" + std::to_string(i);
    }
    return m.dump();
}

std::vector<std::string> lan_arguments(SimDir& dir, size_t bmcs, const LanSetUp& setup)
{
    std::vector<std::string> args;
    for (size_t i = 0; i < bmcs; ++i)
        args.insert(args.end(), {"--lan", host_of(i)});
    args.insert(args.end(), {"--lan-user", "admin"});
    if (setup.password_in_environment) {
        dir.env("IPMI_PASSWORD", kLanPassword);
    } else {
        write_secret(dir, kPasswordFile, kLanPassword);
        args.insert(args.end(), {"--lan-password-file", kPasswordFile});
    }
    if (setup.kg) {
        write_secret(dir, kKgFile, kLanKg);
        args.insert(args.end(), {"--lan-kg-file", kKgFile});
    }
    if (setup.cipher)
        args.insert(args.end(), {"--lan-cipher", std::to_string(setup.cipher)});
    return args;
}

size_t bmc_count(const std::string& machine) { return json::parse(machine)["bmcs"].size(); }

Lines without_road_lines(const std::string& text)
{
    static const std::regex raw_argument(R"(\d+: .* )");
    Lines out;
    bool in_raw_command_line = false;
    for (const std::string& line : lines(text)) {
        if (in_raw_command_line && std::regex_match(line, raw_argument))
            continue;
        in_raw_command_line = false;
        if (line.starts_with("Raw command line: (argc:")) {
            in_raw_command_line = true;
            continue;
        }
        if (line == "Successfully opened OpenIPMI driver" || line.starts_with("Opened an RMCP+ session with ") ||
            line.starts_with("LAN: ") || line.starts_with("Selected --lan"))
            continue;
        out.push_back(line);
    }
    return out;
}

Lines without_dates(const Lines& in)
{
    static const std::regex date(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})");
    Lines out;
    for (const std::string& line : in)
        out.push_back(line.find(':') == std::string::npos ? line : std::regex_replace(line, date, "<date>"));
    return out;
}

json report_without_road(const std::string& text)
{
    if (text.empty())
        return nullptr;
    json report = json::parse(text);
    report.erase("arguments");
    for (json& bmc : report["bmcs"])
        bmc.erase("interface");
    return report;
}

json without_dates(json report)
{
    static const std::regex date(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    if (report.is_string() && std::regex_match(report.get<std::string>(), date))
        return "<date>";
    if (report.is_structured())
        for (json& value : report)
            value = without_dates(value);
    return report;
}

namespace {

// Calls `f` with each event of a trace (a line without its time) as a view
// into the trace: the traces of an upgrade have tens of thousands of lines,
// and the tests' own code is built unoptimised.
template <class F>
void each_event(const std::string& trace, F f)
{
    for (size_t at = 0; at < trace.size();) {
        size_t end = trace.find('\n', at);
        if (end == std::string::npos)
            end = trace.size();
        std::string_view line(trace.data() + at, end - at);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        const size_t blank = line.find(' ');
        f(blank == std::string_view::npos ? line : line.substr(blank + 1));
        at = end + 1;
    }
}

// One request or answer of a BMC's road in a trace event: "bmc0 lan
// request: 18 52 01 C0 01", "bmc1 driver response id 7: 1C 52 00 4D".
struct TracedExchange {
    std::string_view bmc, kind, bytes;  // kind: "request" or "response"
};

std::optional<TracedExchange> traced_exchange(std::string_view event)
{
    if (!event.starts_with("bmc"))
        return std::nullopt;
    const size_t road_at = event.find(' ');
    const size_t kind_at = road_at == std::string_view::npos ? road_at : event.find(' ', road_at + 1);
    const size_t colon = kind_at == std::string_view::npos ? kind_at : event.find(": ", kind_at);
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::string_view road = event.substr(road_at + 1, kind_at - road_at - 1);
    const std::string_view head = event.substr(kind_at + 1, colon - kind_at - 1);
    const std::string_view kind = head.substr(0, head.find(' '));
    if ((road != "driver" && road != "kcs" && road != "lan") || (kind != "request" && kind != "response") ||
        (head != kind && !head.substr(kind.size()).starts_with(" id ")))
        return std::nullopt;
    return TracedExchange{event.substr(0, road_at), kind, event.substr(colon + 2)};
}

bool is_device_line(std::string_view event)
{
    return event.starts_with("led ") || event.starts_with("mux ") || event.starts_with("flash ") ||
           event.starts_with("register ");
}

}  // namespace

std::map<std::string, std::string> master_write_read_traffic(const std::string& trace)
{
    std::map<std::string, std::string> out;
    std::string_view bmc;
    std::string* text = nullptr;
    each_event(trace, [&](std::string_view event) {
        const auto e = traced_exchange(event);
        if (!e || (!e->bytes.starts_with("18 52") && !e->bytes.starts_with("1C 52")))
            return;
        if (!text || e->bmc != bmc) {
            bmc = e->bmc;
            text = &out[std::string(bmc)];
        }
        text->append(e->kind).append(" ").append(e->bytes).append("\n");
    });
    return out;
}

uint64_t nth_request(const std::string& trace, const std::string& prefix, const std::string& after)
{
    uint64_t matched = 0, found = 0;
    std::string_view previous;
    each_event(trace, [&](std::string_view event) {
        const auto e = traced_exchange(event);
        if (found || !e || e->kind != "request")
            return;
        if (e->bytes.starts_with(prefix)) {
            ++matched;
            if (after.empty() || previous == after)
                found = matched;
        }
        previous = e->bytes;
    });
    return found;
}

Lines device_lines(const std::string& trace)
{
    Lines out;
    each_event(trace, [&](std::string_view event) {
        if (is_device_line(event))
            out.emplace_back(event);
    });
    return out;
}

Lines device_effects(const std::string& trace)
{
    Lines out;
    for (const std::string& line : device_lines(trace)) {
        const bool answer = line.starts_with("flash ") &&
                            (line.find(" status ") != std::string::npos || line.find(" checksum ") != std::string::npos);
        if (!answer && line.find(" refused ") == std::string::npos)
            out.push_back(line);
    }
    return out;
}

RoadView road_view(const SimDir& dir, const RunResult& r)
{
    return {r.status,
            r.signal,
            without_road_lines(r.console),
            without_road_lines(dir.log()),
            without_road_lines(dir.logprev()),
            report_without_road(dir.read("r.json")),
            master_write_read_traffic(r.trace),
            device_lines(r.trace),
            dir.read("m.prom")};
}

std::string first_difference(const Lines& expected, const Lines& actual)
{
    const size_t common = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < common; ++i)
        if (expected[i] != actual[i])
            return "line " + std::to_string(i + 1) + ": expected \"" + expected[i] + "\", got \"" + actual[i] + "\"";
    if (expected.size() != actual.size())
        return std::to_string(expected.size()) + " lines expected, " + std::to_string(actual.size()) +
               " got; the first one more: \"" + (expected.size() > common ? expected[common] : actual[common]) + "\"";
    return "";
}

std::string first_difference(const json& expected, const json& actual)
{
    if (expected == actual)
        return "";
    const json patch = json::diff(expected, actual);
    return std::to_string(patch.size()) + " differences, the first: " + patch[0].dump();
}

std::vector<std::string> secrets_shown(const SimDir& dir, const RunResult& r, const std::vector<std::string>& secrets)
{
    std::vector<std::pair<std::string, std::string>> outputs = {
        {"the console", r.console}, {"standard error", r.errors}, {"the trace", r.trace}};
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name != kPasswordFile && name != kKgFile)
            outputs.emplace_back(fs::relative(e.path(), dir.path()).string(), read_file(e.path()));
    }
    std::vector<std::string> shown;
    for (const std::string& secret : secrets) {
        const std::string forms[] = {secret, hex_of(secret, true, " "), hex_of(secret, false, " "),
                                     hex_of(secret, true, ""), hex_of(secret, false, "")};
        for (const auto& [where, text] : outputs)
            for (const std::string& form : forms)
                if (text.find(form) != std::string::npos)
                    shown.push_back("\"" + form + "\" in " + where);
    }
    return shown;
}

namespace {

// Each LAN BMC's sessions that are active at the end of a trace.
std::map<std::string, std::set<std::string>> active_sessions(const std::string& trace, size_t* made = nullptr)
{
    static const std::regex active(R"((bmc\d+) lan session (\d+) active at privilege .*)");
    static const std::regex ended(R"((bmc\d+) lan session (\d+) (?:closed|timed out: .*))");
    static const std::regex all_gone(R"((bmc\d+) lan (?:restart|sessions dropped): .*)");
    std::map<std::string, std::set<std::string>> open;
    std::smatch m;
    each_event(trace, [&](std::string_view view) {
        if (view.find(" lan session ") == std::string_view::npos && view.find(" lan restart: ") == std::string_view::npos &&
            view.find(" lan sessions dropped: ") == std::string_view::npos)
            return;
        const std::string event(view);
        if (std::regex_match(event, m, active)) {
            open[m[1]].insert(m[2]);
            if (made)
                ++*made;
        } else if (std::regex_match(event, m, ended)) {
            open[m[1]].erase(m[2]);
        } else if (std::regex_match(event, m, all_gone)) {
            open[m[1]].clear();
        }
    });
    return open;
}

}  // namespace

Lines sessions_left_open(const std::string& trace)
{
    Lines out;
    for (const auto& [bmc, sessions] : active_sessions(trace))
        for (const std::string& s : sessions)
            out.push_back(bmc + " session " + s);
    return out;
}

size_t sessions_active(const std::string& trace)
{
    size_t made = 0;
    active_sessions(trace, &made);
    return made;
}

double trace_end_s(const std::string& trace)
{
    const Lines all = lines(trace);
    return all.empty() ? 0 : std::stod(all.back().substr(0, all.back().find(' ')));
}

}  // namespace qbtest
