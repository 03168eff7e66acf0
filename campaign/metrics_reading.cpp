// SPDX-License-Identifier: MIT
#include "metrics_reading.h"

#include <cctype>
#include <cstdlib>
#include <set>

namespace campaign {

namespace {

bool name_char(char c, bool first)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
           (!first && std::isdigit(static_cast<unsigned char>(c)));
}

// A metric or label name at `at`, advancing past it; "" when none stands there.
std::string take_name(const std::string& line, size_t& at)
{
    size_t start = at;
    while (at < line.size() && name_char(line[at], at == start))
        ++at;
    return line.substr(start, at - start);
}

// The labels of a sample from its '{' on: name="value" pairs with the
// escapes \\, \" and \n. Returns the error, or "" when they are well formed.
std::string take_labels(const std::string& line, size_t& at, std::map<std::string, std::string>& labels)
{
    ++at;  // '{'
    while (at < line.size() && line[at] != '}') {
        std::string label = take_name(line, at);
        if (label.empty() || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"')
            return "a label that is not name=\"value\"";
        at += 2;
        std::string value;
        for (; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\') {
                if (++at == line.size() || std::string_view("\\\"n").find(line[at]) == std::string_view::npos)
                    return "an escape in a label value other than \\\\, \\\" or \\n";
                value += line[at] == 'n' ? '\n' : line[at];
            } else {
                value += line[at];
            }
        }
        if (at == line.size())
            return "a label value without its closing quote";
        ++at;
        if (!labels.emplace(label, value).second)
            return "the label " + label + " twice";
        if (at < line.size() && line[at] == ',')
            ++at;
    }
    if (at == line.size())
        return "labels without their closing brace";
    ++at;
    return "";
}

}  // namespace

std::vector<const MetricSample*> MetricsText::named(const std::string& name) const
{
    std::vector<const MetricSample*> found;
    for (const MetricSample& s : samples)
        if (s.name == name)
            found.push_back(&s);
    return found;
}

MetricsText parse_metrics(const std::string& text)
{
    MetricsText m;
    if (!text.empty() && text.back() != '\n')
        m.error = "the last line has no line feed";
    std::map<std::string, std::string> types;
    std::set<std::string> helped, sampled, series;
    size_t start = 0;
    for (size_t number = 1; !m.error && start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        auto refuse = [&](const std::string& why) { m.error = "line " + std::to_string(number) + ": " + why; };
        if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
            size_t at = 7;
            std::string name = take_name(line, at);
            if (name.empty() || at >= line.size() || line[at] != ' ')
                refuse("a HELP or TYPE line without a name and a text");
            else if (sampled.count(name))
                refuse("HELP or TYPE of " + name + " after its samples");
            else if (line[2] == 'T' && !types.emplace(name, line.substr(at + 1)).second)
                refuse("a second TYPE of " + name);
            else if (line[2] == 'H' && !helped.insert(name).second)
                refuse("a second HELP of " + name);
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        MetricSample s;
        size_t at = 0;
        s.name = take_name(line, at);
        std::string why;
        if (s.name.empty())
            why = "a sample without a metric name";
        else if (at < line.size() && line[at] == '{')
            why = take_labels(line, at, s.labels);
        if (why.empty() && (at >= line.size() || line[at] != ' '))
            why = "no blank between the series and its value";
        if (!why.empty()) {
            refuse(why);
            break;
        }
        std::string value = line.substr(at + 1);
        char* rest = nullptr;
        s.value = std::strtod(value.c_str(), &rest);
        if (value.empty() || *rest != '\0')
            refuse("the value \"" + value + "\" is no number alone (no timestamp is written)");
        else if (!s.name.starts_with("qb40_"))
            refuse(s.name + " has not the qb40_ prefix");
        else if (types[s.name] != "gauge" || !helped.count(s.name))
            refuse(s.name + " has no HELP, or no TYPE gauge, before its samples");
        else if (!series.insert(line.substr(0, at)).second)
            refuse("the series " + line.substr(0, at) + " twice");
        sampled.insert(s.name);
        m.samples.push_back(std::move(s));
    }
    return m;
}

}  // namespace campaign
