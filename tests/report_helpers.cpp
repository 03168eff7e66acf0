#include "report_helpers.h"

#include <algorithm>
#include <map>

namespace qbtest {

std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count)
{
    auto at = std::find(lines.begin(), lines.end(), line);
    if (at == lines.end())
        return {};
    ++at;
    return {at, at + static_cast<long>(std::min(count, static_cast<size_t>(lines.end() - at)))};
}

std::string line_after(const std::vector<std::string>& lines, const std::string& line)
{
    auto next = lines_after(lines, line, 1);
    return next.empty() ? "" : next[0];
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [&](const std::string& l) { return l.starts_with(prefix); });
    return out;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n)
{
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].starts_with(prefix) && n-- == 0)
            return i;
    return std::string::npos;
}

std::set<std::string> lit(const std::vector<std::string>& events, const std::string& kind, size_t end)
{
    std::map<std::string, bool> on;
    for (size_t i = 0; i < std::min(end, events.size()); ++i) {
        const std::string& e = events[i];
        if (!e.starts_with("led "))
            continue;
        // NAME has blanks of its own: split from the right.
        size_t value_at = e.rfind(' '), kind_at = e.rfind(' ', value_at - 1);
        if (e.substr(kind_at + 1, value_at - kind_at - 1) == kind)
            on[e.substr(4, kind_at - 4)] = e.substr(value_at + 1) != "00";
    }
    std::set<std::string> out;
    for (const auto& [name, is_on] : on)
        if (is_on)
            out.insert(name);
    return out;
}

std::string with_keys(const std::string& machine, const std::string& keys)
{
    return "{\"keys\": " + keys + ", " + machine.substr(machine.find('{') + 1);
}

}  // namespace qbtest
