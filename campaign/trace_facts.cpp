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

struct Request {
    int bmc = 0;
    std::vector<uint8_t> bytes;
};

// "bmc0 driver request id 7: 18 52 01 C0 00 44 FF" or "bmc1 kcs request: ...".
std::optional<Request> request(std::string_view text)
{
    std::string_view rest = text;
    std::string_view bmc = next_word(rest);
    size_t colon = rest.find(": ");
    auto index = bmc.starts_with("bmc") ? number(bmc.substr(3), 10) : std::nullopt;
    if (!index || colon == std::string_view::npos ||
        !(rest.starts_with("driver request id ") || rest.starts_with("kcs request")))
        return std::nullopt;
    return Request{static_cast<int>(*index), bytes_from_spaced_hex(rest.substr(colon + 2))};
}

bool writes_more_than_a_byte(const Request& r)
{
    return r.bytes.size() > 6 && r.bytes[0] == 0x18 && r.bytes[1] == 0x52;
}

// A Master Write-Read that writes one LED register of a controller.
std::optional<LedWrite> led_write(const Request& r)
{
    const std::vector<uint8_t>& b = r.bytes;
    bool controller = b.size() == 7 && b[3] >= 0xC0 && b[3] <= 0xC6 && !(b[3] & 1);
    bool led = b.size() == 7 && (b[5] == 0x40 || b[5] == 0x42 || b[5] == 0x44 || b[5] == 0x46);
    if (!controller || !led || b[0] != 0x18 || b[1] != 0x52 || b[4] != 0)
        return std::nullopt;
    return LedWrite{r.bmc, b[2], b[3], b[5], b[6], 0};
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
        facts.requests += line.starts_with("bmc") && line.find(" fault ") == std::string_view::npos &&
                          (line.find(" driver request id ") != std::string_view::npos ||
                           line.find(" kcs request: ") != std::string_view::npos);
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
        } else if (std::optional<Request> r = request(line)) {
            if (writes_more_than_a_byte(*r))
                facts.wide_writes.emplace_back(line);
            if (std::optional<LedWrite> w = led_write(*r)) {
                w->line = index;
                facts.led_writes.push_back(*w);
            }
        } else if (line.starts_with("mux ")) {
            // "mux bmc0 bus 0x03 0xE6 channels 04"
            std::string_view rest = line.substr(4);
            size_t at = rest.rfind(" channels ");
            auto mask = at == std::string_view::npos ? std::vector<uint8_t>() : bytes_from_spaced_hex(rest.substr(at + 10));
            if (mask.size() == 1)
                facts.mux_changes.push_back({std::string(rest.substr(0, at)), mask[0], index});
        } else if (line.starts_with("file fault ")) {
            // "file fault 0 #1 on write log log.txt: ENOSPC"
            size_t on = line.find(" on "), colon = line.rfind(": ");
            if (on != std::string_view::npos && colon != std::string_view::npos && colon > on) {
                std::string_view what = line.substr(on + 4, colon - on - 4);
                std::string_view call = next_word(what);
                std::string_view file = next_word(what);
                facts.file_faults.push_back(
                    {std::string(call), std::string(file), std::string(what), std::string(line.substr(colon + 2))});
            }
        } else if (line.find(" fault ") != std::string_view::npos) {
            std::string_view rest = line;
            std::string_view bmc = next_word(rest);
            auto which = bmc.starts_with("bmc") ? number(bmc.substr(3), 10) : std::nullopt;
            facts.faults.emplace_back(which ? static_cast<int>(*which) : -1, index);
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
