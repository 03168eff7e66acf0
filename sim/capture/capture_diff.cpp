// SPDX-License-Identifier: MIT
#include "capture_diff.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "../basics/json_field.h"
#include "../bmc/kcs_codes.h"
#include "../replay/capture_file.h"

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

std::vector<std::string> words_of(const std::string& text);

// A KCS transfer's port accesses without how often and how long the status
// was read, when a signal came, and the status reads after the request's
// last byte before the answer was there: how long the BMC took (no read at
// all when the answer was there at once).
std::string ports_without_times(const std::string& ports)
{
    std::vector<std::string> words;
    for (std::string word : words_of(ports))
        words.push_back(word.substr(0, word.find_first_of(word[0] == '!' ? "@" : "*~")));
    auto write_end = std::find(words.begin(), words.end(), "c62");
    auto last_byte = std::find_if(write_end, words.end(), [](const std::string& w) { return w[0] == 'w'; });
    if (last_byte != words.end()) {
        // Busy: the read state without OBF, or the write state with IBF.
        auto busy_end = std::find_if(last_byte + 1, words.end(), [](const std::string& w) {
            if (w[0] != 's' || w.size() != 3)
                return true;
            unsigned v = static_cast<unsigned>(std::stoul(w.substr(1), nullptr, 16));
            return (v & (kcs::kStateMask | kcs::kObf)) != kcs::kStateRead &&
                   (v & (kcs::kStateMask | kcs::kIbf)) != (kcs::kStateWrite | kcs::kIbf);
        });
        words.erase(last_byte + 1, busy_end);
    }
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> words_of(const std::string& text)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at)
            words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

// Where a flash byte command's own bytes (address and data) begin in its
// request, a Master Write-Read writing 55 AA [F2] E0|E1 AH AL DD; 0: it is none.
size_t own_bytes_at(const std::vector<std::string>& req)
{
    if (req.size() < 11 || req[1] != "52" || req[4] != "00" || req[5] != "55" || req[6] != "AA")
        return 0;
    size_t code = req[7] == "F2" ? 8 : 7;
    if (req.size() != code + 4 || (req[code] != "E0" && req[code] != "E1"))
        return 0;
    return code + 1;
}

// A byte command as a run of them holds it: without its data byte (a run
// holds no image byte), and at the KCS ports with the writes of its own
// bytes masked.
void as_in_a_run(nlohmann::json& j)
{
    if (!j.contains("req") || !j["req"].is_string())
        return;
    std::vector<std::string> req = words_of(j["req"].get<std::string>());
    size_t own = own_bytes_at(req);
    if (own == 0)
        return;
    req.back() = "??";
    j["req"] = joined(req);
    if (!j.contains("ports") || !j["ports"].is_string())
        return;
    std::vector<std::string> ports = words_of(j["ports"].get<std::string>());
    size_t written = 0;
    for (std::string& token : ports)
        if (token[0] == 'w' && written < req.size() && written++ >= own)
            token.replace(1, 2, "??");
    j["ports"] = joined(ports);
}

// The command indexes of a run before which the tool looked at its input
// and found nothing: [256, 512], or {"first": 256, "every": 256, "last": 15616}.
std::vector<uint64_t> quiet_polls(const nlohmann::json& polls)
{
    std::vector<uint64_t> at;
    if (polls.is_array()) {
        for (const nlohmann::json& p : polls)
            if (p.is_number_unsigned())
                at.push_back(p.get<uint64_t>());
    } else if (polls.is_object()) {
        uint64_t first = polls.value("first", uint64_t(0)), every = polls.value("every", uint64_t(0)),
                 last = polls.value("last", uint64_t(0));
        for (uint64_t i = first; i <= last; i += every) {
            at.push_back(i);
            if (every == 0)
                break;
        }
    }
    return at;
}

// A run of byte commands as the calls it stands for, one per command (and
// a quiet look at the input where it had one), each as in_a_run leaves a
// single command: whether a recorder joined the commands into a run is no
// difference (a real KCS interface's status reads vary and break the runs
// a simulated one makes).
std::vector<nlohmann::json> commands_of(const nlohmann::json& run)
{
    std::vector<nlohmann::json> out;
    const std::string kind = run.value("e", "");
    const char* single = kind == "kcs_run" ? "kcs" : kind == "lan_run" ? "lan_x" : "x";
    std::string prefix = run.value("prefix", "");
    uint64_t first = run.value("first", uint64_t(0)), count = run.value("count", uint64_t(0));
    std::vector<uint64_t> polls = quiet_polls(run.value("polls", nlohmann::json()));
    for (uint64_t i = 0; i < count; ++i) {
        if (std::find(polls.begin(), polls.end(), i) != polls.end())
            out.push_back({{"e", "poll"}, {"r", 0}});
        char address[8];
        std::snprintf(address, sizeof address, "%02X %02X", unsigned((first + i) >> 8 & 0xFF),
                      unsigned((first + i) & 0xFF));
        nlohmann::json c = {{"e", single}, {"req", prefix + " " + address + " ??"}, {"command", i}};
        for (const char* field : {"status", "data", "fd", "resp", "ports"})
            if (run.contains(field))
                c[field] = run[field];
        out.push_back(c);
    }
    return out;
}

Call call_of(nlohmann::json j, size_t number, bool header, DiffOptions options)
{
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
    compared.erase("command");  // where in a run: shown, not compared
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
    if (lines.empty() || lines[0].empty())
        throw MachineFileError("line 1", "no header: not a capture");
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty())
            continue;
        nlohmann::json j = line_json(lines[i], i + 1);
        try {
            std::string e = i == 0 ? "" : j.value("e", "");
            // With the times, runs are compared as the lines they are.
            if (!options.times && (e == "x_run" || e == "kcs_run" || e == "lan_run")) {
                for (nlohmann::json& c : commands_of(j))
                    calls.push_back(call_of(std::move(c), i + 1, false, options));
                continue;
            }
            if (!options.times && (e == "x" || e == "kcs" || e == "lan_x"))
                as_in_a_run(j);
            calls.push_back(call_of(std::move(j), i + 1, i == 0, options));
        } catch (const nlohmann::json::exception& x) {
            // A field of another type than a capture has.
            throw MachineFileError("line " + std::to_string(i + 1), x.what());
        }
    }
    return calls;
}

// The calls of capture `side` (A or B): a complaint names which.
std::vector<Call> calls_in(const char* side, const std::vector<std::string>& lines, DiffOptions options)
{
    try {
        return calls_of(lines, options);
    } catch (const MachineFileError& e) {
        throw MachineFileError(side + (" " + e.field()), e.what());
    }
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
    std::vector<Call> left = calls_in("A", a, options), right = calls_in("B", b, options);
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
