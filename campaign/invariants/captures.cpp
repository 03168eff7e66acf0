// SPDX-License-Identifier: MIT
#include "captures.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "../hex.h"

namespace campaign::invariants {

namespace {

// The VPD EEPROM address the command line's -vpd asks for, when it asks.
std::optional<unsigned> vpd_address(const std::vector<std::string>& args)
{
    std::optional<unsigned> address;
    for (const std::string& a : args) {
        size_t at = a.find("-vpd");
        if (at == std::string::npos)
            continue;
        std::string value = a.substr(at + 4);
        unsigned v;
        if (value.empty())
            address = 0xA0;
        else if ((value.size() == 2 || value.size() == 4) && std::sscanf(value.substr(0, 2).c_str(), "%2x", &v) == 1 &&
                 std::isxdigit(static_cast<unsigned char>(value[1])))
            address = v;
    }
    return address;
}

// Six bytes in a row of the text fields (offsets 0x0E to 0x35) of every
// EEPROM at `address`, none of them 0: what a leak of VPD text would show.
std::vector<std::vector<uint8_t>> vpd_text_windows(const nlohmann::json& machine, unsigned address)
{
    std::vector<std::vector<uint8_t>> windows;
    const nlohmann::json bmcs = machine.value("bmcs", nlohmann::json::array());
    for (const nlohmann::json& bmc : bmcs) {
        const nlohmann::json buses = bmc.value("buses", nlohmann::json::object());
        for (const auto& [bus, b] : buses.items()) {
            const nlohmann::json devices = b.value("devices", nlohmann::json::array());
            for (const nlohmann::json& d : devices) {
                unsigned at = 0;
                if (d.value("type", "") != "eeprom" ||
                    std::sscanf(d.value("address", "").c_str(), "0x%x", &at) != 1 || at != address)
                    continue;
                std::vector<uint8_t> bytes = bytes_from_spaced_hex(d.value("contents", ""));
                for (size_t i = 0x0E; i + 6 <= 0x36 && i + 6 <= bytes.size(); ++i)
                    if (std::count(bytes.begin() + i, bytes.begin() + i + 6, 0) == 0)
                        windows.emplace_back(bytes.begin() + i, bytes.begin() + i + 6);
            }
        }
    }
    return windows;
}

// The bytes the capture holds of each answer: those of a request's answer
// through the driver, those the tool read from the data port of a KCS transfer.
std::vector<std::vector<uint8_t>> captured_answers(const std::string& capture)
{
    std::vector<std::vector<uint8_t>> answers;
    for (const std::string& line : split_lines(capture)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object())
            continue;
        if (j.contains("resp") && j["resp"].is_string())
            answers.push_back(bytes_from_spaced_hex(j["resp"].get<std::string>()));
        if (j.contains("ports") && j["ports"].is_string()) {
            std::vector<uint8_t> read;
            std::istringstream tokens(j["ports"].get<std::string>());
            for (std::string t; tokens >> t;)
                if (t.size() == 3 && t[0] == 'd')
                    read.push_back(static_cast<uint8_t>(std::stoul(t.substr(1), nullptr, 16)));
            answers.push_back(read);
        }
    }
    return answers;
}

std::string spaced_upper_hex(const std::string& text)
{
    std::string out;
    char byte[4];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "%s%02X", out.empty() ? "" : " ", c);
        out += byte;
    }
    return out;
}

}  // namespace

// A capture taken with --capture-redact holds no VPD text (vpd) and
// nothing of the host's name, DMI serial or machine id (host).
Finding redaction(const Evidence& e)
{
    if (!e.out.capture)
        return std::nullopt;
    const std::string& capture = *e.out.capture;
    std::optional<unsigned> address = vpd_address(e.scenario.args);
    if (e.scenario.redacts("vpd") && address) {
        std::vector<std::vector<uint8_t>> answers = captured_answers(capture);
        for (const std::vector<uint8_t>& window : vpd_text_windows(e.scenario.machine, *address))
            for (const std::vector<uint8_t>& answer : answers)
                if (std::search(answer.begin(), answer.end(), window.begin(), window.end()) != answer.end())
                    return "the capture holds VPD text " + spaced_hex(window);
    }
    if (e.scenario.redacts("host")) {
        const nlohmann::json host = e.scenario.machine.value("host", nlohmann::json::object());
        for (const char* field : {"name", "product_serial", "machine_id"}) {
            if (!host.contains(field) || !host[field].is_string())
                continue;
            const std::string text = host[field].get<std::string>();
            for (const std::string& form : {text, spaced_upper_hex(text.substr(0, 6))})
                if (!form.empty() && capture.find(form) != std::string::npos)
                    return std::string("the capture holds the host's ") + field + " (" + form + ")";
        }
    }
    return std::nullopt;
}

}  // namespace campaign::invariants
