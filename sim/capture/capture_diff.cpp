// SPDX-License-Identifier: MIT
#include "capture_diff.h"

#include <nlohmann/json.hpp>

#include "../json_field.h"

namespace sim::capture {

namespace {

// How far ahead a call left out of one capture is looked for before two
// calls are taken as one that changed.
constexpr size_t kLookAhead = 64;

// Fields that hold times, and the header's fields that differ from run to run.
constexpr const char* kTimeFields[] = {"t", "rt", "t1", "st", "lat", "gap", "late", "wait", "left_us", "n"};
constexpr const char* kRunFields[] = {"start_us", "time_zone", "program"};

struct Call {
    size_t line = 0;
    nlohmann::json fields;  // what is shown
    std::string text;       // what is compared
};

// A KCS transfer's port accesses without how often and how long the status
// was read, and when a signal came.
std::string ports_without_times(const std::string& ports)
{
    std::string out;
    size_t at = 0;
    while (at < ports.size()) {
        size_t end = ports.find(' ', at);
        std::string word = ports.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? ports.size() : end + 1;
        if (word.empty())
            continue;
        size_t cut = word.find_first_of(word[0] == '!' ? "@" : "*~");
        word = word.substr(0, cut);
        if (!out.empty())
            out += ' ';
        out += word;
    }
    return out;
}

Call call_of(const std::string& line, size_t number, bool header, DiffOptions options)
{
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(line);
    } catch (const nlohmann::json::parse_error& e) {
        throw MachineFileError("line " + std::to_string(number), e.what());
    }
    if (!j.is_object())
        throw MachineFileError("line " + std::to_string(number), "expected an object");
    if (header && j.contains("arguments") && j["arguments"].is_array()) {
        // The capture's own name is no difference between two runs.
        nlohmann::json& args = j["arguments"];
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--capture")
                args[i + 1] = "FILE";
    }
    if (options.ignore_ports && !header && j.contains("ports"))
        j.erase("ports");
    if (!options.times) {
        if (header) {
            for (const char* f : kRunFields)
                j.erase(f);
        } else {
            for (const char* f : kTimeFields)
                j.erase(f);
            if (j.value("e", "") == "time")
                j.erase("v");
            if (j.contains("ports") && j["ports"].is_string())
                j["ports"] = ports_without_times(j["ports"].get<std::string>());
        }
    }
    // Descriptors and message ids are numbered by the run and its system:
    // one call more shifts every later one, and a kernel hands out the
    // lowest free descriptor where another system may not. Neither is a
    // difference of its own; whether a node opened is.
    nlohmann::json compared = j;
    if (compared.value("e", "") != "open") {
        compared.erase("fd");
        compared.erase("id");
    } else if (compared.contains("r") && compared["r"].is_number_integer() && compared["r"].get<int64_t>() >= 0) {
        compared["r"] = "a descriptor";
    }
    return {number, j, compared.dump()};
}

std::vector<Call> calls_of(const std::vector<std::string>& lines, DiffOptions options)
{
    std::vector<Call> calls;
    for (size_t i = 0; i < lines.size(); ++i)
        calls.push_back(call_of(lines[i], i + 1, i == 0, options));
    return calls;
}

// One call in words: "x request 18 52 01 C0 00 63 (id 3), answer 1C 52 00".
std::string describe(const Call& c)
{
    const nlohmann::json& j = c.fields;
    if (!j.contains("e"))
        return "header " + j.dump();
    std::string out = j["e"].is_string() ? j["e"].get<std::string>() : j["e"].dump();
    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    if (j.contains("req") || j.contains("prefix")) {
        out += j.contains("req") ? " request " + text(j["req"]) : " commands " + text(j["prefix"]) + " ...";
        if (j.contains("id"))
            out += " (id " + text(j["id"]) + ")";
        out += j.contains("resp") ? ", answer " + text(j["resp"]) : ", no answer";
    }
    for (const auto& [key, value] : j.items()) {
        bool exchange = j.contains("req") || j.contains("prefix");
        if (key == "e" || key == "req" || key == "resp" || key == "id" || key == "prefix" || (exchange && key == "fd"))
            continue;
        out += " " + key + "=" + text(value);
    }
    return out;
}

}  // namespace

CaptureDiff diff_captures(const std::vector<std::string>& a, const std::vector<std::string>& b, DiffOptions options,
                          size_t shown)
{
    std::vector<Call> left = calls_of(a, options), right = calls_of(b, options);
    CaptureDiff d;
    auto note = [&](const std::string& what) {
        if (++d.differences <= shown)
            d.text += what;
    };
    size_t i = 0, j = 0;
    while (i < left.size() || j < right.size()) {
        if (i < left.size() && j < right.size() && left[i].text == right[j].text) {
            ++i;
            ++j;
            continue;
        }
        // A call only one capture has: the other goes on with the same calls after it.
        std::optional<size_t> only_left, only_right;
        for (size_t k = 1; k <= kLookAhead && !only_left && !only_right; ++k) {
            if (i + k < left.size() && j < right.size() && left[i + k].text == right[j].text)
                only_left = k;
            else if (j + k < right.size() && i < left.size() && right[j + k].text == left[i].text)
                only_right = k;
        }
        if (j >= right.size())
            only_left = left.size() - i;
        else if (i >= left.size())
            only_right = right.size() - j;
        if (only_left) {
            for (size_t k = 0; k < *only_left; ++k, ++i)
                note("only in A, line " + std::to_string(left[i].line) + ": " + describe(left[i]) + "\n");
        } else if (only_right) {
            for (size_t k = 0; k < *only_right; ++k, ++j)
                note("only in B, line " + std::to_string(right[j].line) + ": " + describe(right[j]) + "\n");
        } else {
            note("A line " + std::to_string(left[i].line) + ": " + describe(left[i]) + "\nB line " +
                 std::to_string(right[j].line) + ": " + describe(right[j]) + "\n");
            ++i;
            ++j;
        }
    }
    if (d.differences > shown)
        d.text += "... " + std::to_string(d.differences - shown) + " more differences\n";
    return d;
}

}  // namespace sim::capture
