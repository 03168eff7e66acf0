// SPDX-License-Identifier: MIT
// Reading the machine file: a JSON value together with its path in the file
// ("bmcs[0].buses.0x01.devices[2].chip_id"), so that every complaint names the
// field it is about. Numbers may be written as JSON integers or as "0x.."
// strings, since addresses and register values read better in hex.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

class MachineFileError : public std::runtime_error {
public:
    MachineFileError(std::string field, const std::string& message)
        : std::runtime_error(message), field_(std::move(field))
    {
    }
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

class Field {
public:
    Field(const nlohmann::json& value, std::string path) : value_(&value), path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    const nlohmann::json& json() const { return *value_; }

    bool has(const char* key) const;
    Field operator[](const char* key) const;  // the member must exist
    std::optional<Field> optional(const char* key) const;

    // Refuses members other than these, so that a misspelt field is reported
    // instead of silently ignored.
    void only(std::initializer_list<const char*> keys) const;

    bool is_array() const { return value_->is_array(); }
    bool is_object() const { return value_->is_object(); }
    bool is_string() const { return value_->is_string(); }
    size_t size() const;                          // array length
    Field item(size_t index) const;               // array element
    void each_item(const std::function<void(const Field&)>& visit) const;
    void each_member(const std::function<void(const std::string&, const Field&)>& visit) const;

    uint64_t unsigned_in(uint64_t min, uint64_t max) const;  // integer or "0x.." string
    int64_t integer(int64_t min, int64_t max) const;         // a JSON integer, negative ones too
    uint8_t byte() const { return static_cast<uint8_t>(unsigned_in(0, 0xFF)); }
    uint16_t u16() const { return static_cast<uint16_t>(unsigned_in(0, 0xFFFF)); }
    double number() const;
    bool boolean() const;
    std::string string() const;
    // An array of bytes, or a string of hex bytes ("12 34 AB").
    std::vector<uint8_t> bytes() const;

    template <class T>
    T get_or(const char* key, T fallback, T (Field::*read)() const) const
    {
        auto f = optional(key);
        return f ? ((*f).*read)() : fallback;
    }

    [[noreturn]] void fail(const std::string& message) const;

private:
    const nlohmann::json* value_;
    std::string path_;
};

// Parses an unsigned number written as decimal or "0x.." hex; nullopt if it is neither.
std::optional<uint64_t> parse_unsigned(const std::string& text);

}  // namespace sim
