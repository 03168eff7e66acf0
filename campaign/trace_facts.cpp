// SPDX-License-Identifier: MIT
#include "trace_facts.h"

#include <charconv>

#include "hex.h"

namespace campaign {

namespace {

// Splits off the next blank-separated word of `text`.
std::string_view next_word(std::string_view& text)
{
    size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return word;
}

std::optional<unsigned> number(std::string_view word, int base)
{
    if (base == 16) {
        if (!word.starts_with("0x"))
            return std::nullopt;
        word.remove_prefix(2);
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (ec != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return value;
}

// "bmc0 bus 0x03 mux 0xE6 ch 2 0xC0 erase, busy 500 ms": the device's name,
// then its event.
std::optional<FlashEvent> flash_event(std::string_view text)
{
    FlashEvent e;
    std::string_view rest = text;
    std::string_view bmc = next_word(rest);
    if (!bmc.starts_with("bmc") || next_word(rest) != "bus")
        return std::nullopt;
    auto index = number(bmc.substr(3), 10);
    auto bus = number(next_word(rest), 16);
    while (rest.starts_with("mux ")) {
        for (int skip = 0; skip < 4; ++skip)
            next_word(rest);
    }
    auto address = number(next_word(rest), 16);
    if (!index || !bus || !address)
        return std::nullopt;
    e.bmc = static_cast<int>(*index);
    e.bus = static_cast<uint8_t>(*bus);
    e.address = static_cast<uint8_t>(*address);
    e.controller = std::string(text.substr(0, text.size() - rest.size() - (rest.empty() ? 0 : 1)));
    e.event = std::string(rest);
    return e;
}

}  // namespace

TraceFacts read_trace(std::string_view trace)
{
    TraceFacts facts;
    for (size_t index = 0; !trace.empty(); ++index) {
        size_t end = trace.find('\n');
        std::string_view line = trace.substr(0, end);
        trace = end == std::string_view::npos ? std::string_view() : trace.substr(end + 1);
        next_word(line);  // the virtual time
        if (line.starts_with("flash ")) {
            if (auto e = flash_event(line.substr(6))) {
                e->line = index;
                facts.flash.push_back(std::move(*e));
            }
        } else if (line.starts_with("signal ")) {
            // "signal SIGTERM", right after it "signal SIGTERM ignored" or "... ends the process" when no
            // handler took it; the tool's own raise is followed by the same end.
            std::string_view rest = line.substr(7);
            std::string_view name = next_word(rest);
            if (rest.empty())
                facts.signals.push_back({std::string(name), index, true});
            else if (!facts.signals.empty() && facts.signals.back().line + 1 == index)
                facts.signals.back().handled = false;
        } else if (line.starts_with("terminal ")) {
            facts.terminal = std::string(line.substr(9));
        } else if (line.find(" fault ") != std::string_view::npos) {
            size_t at = line.find(" request: response ");
            std::vector<uint8_t> answer =
                at == std::string_view::npos ? std::vector<uint8_t>() : bytes_from_spaced_hex(line.substr(at + 19));
            facts.forged_success |= (answer.size() >= 3 && answer[2] == 0x00) ||
                                    line.find(" request: completion code 00") != std::string_view::npos;
        }
    }
    return facts;
}

}  // namespace campaign
