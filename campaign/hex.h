// SPDX-License-Identifier: MIT
// Bytes as hex text, in the two spellings the campaign meets: spaced
// ("55 AA E2", as machine files and the simulator's trace write them) and
// compact ("5a00ff", as scenario.json keeps files).
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace campaign {

inline std::string spaced_hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        if (!text.empty())
            text += ' ';
        text += b;
    }
    return text;
}

// "55 AA E2 01 00 00" -> bytes. Stops at the first word that is not one hex
// byte, and after a byte followed by a comma (the trace lists combined
// effects with ", ").
inline std::vector<uint8_t> bytes_from_spaced_hex(std::string_view text)
{
    std::vector<uint8_t> bytes;
    while (!text.empty()) {
        size_t end = text.find(' ');
        std::string_view word = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        bool last = word.ends_with(',');
        if (last)
            word.remove_suffix(1);
        unsigned value = 0;
        auto [at, ec] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
        if (word.size() != 2 || ec != std::errc() || at != word.data() + 2)
            break;
        bytes.push_back(static_cast<uint8_t>(value));
        if (last)
            break;
    }
    return bytes;
}

inline std::string compact_hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

inline std::string bytes_from_compact_hex(const std::string& text)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

}  // namespace campaign
