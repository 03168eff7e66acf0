// Helpers for the tests of the scan, VPD dump, summary and diagnostics:
// picking lines out of console and log text, and the LEDs a trace leaves lit.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace qbtest {

// Up to `count` lines after the first line equal to `line`.
std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count);
// The line right after the first line equal to `line`; "" when there is none.
std::string line_after(const std::vector<std::string>& lines, const std::string& line);
std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix);
size_t count_lines(const std::vector<std::string>& lines, const std::string& line);

// Index of the n-th (from 0) event that begins with `prefix`; npos if none.
size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n = 0);

// The controllers whose `kind` LEDs ("fail", ...) are lit once the events
// before `end` ("led NAME KIND VALUE", times stripped) have happened.
std::set<std::string> lit(const std::vector<std::string>& events, const std::string& kind,
                          size_t end = std::string::npos);

// A machine file with a key script (JSON list) added at its top level.
std::string with_keys(const std::string& machine, const std::string& keys);

}  // namespace qbtest
