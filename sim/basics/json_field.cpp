// SPDX-License-Identifier: MIT
#include "json_field.h"

#include <cstdlib>

namespace sim {

namespace {

std::string member_path(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}

}  // namespace

std::optional<uint64_t> parse_unsigned(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str() + start, &end, base);
    if (errno != 0 || end == text.c_str() + start || *end != '\0' || text[start] == '-' || text[start] == '+')
        return std::nullopt;
    return value;
}

bool Field::has(const char* key) const
{
    return value_->is_object() && value_->contains(key);
}

Field Field::operator[](const char* key) const
{
    if (!value_->is_object())
        fail("expected an object");
    auto it = value_->find(key);
    if (it == value_->end())
        Field(*value_, member_path(path_, key)).fail("missing");
    return Field(*it, member_path(path_, key));
}

std::optional<Field> Field::optional(const char* key) const
{
    if (!value_->is_object())
        fail("expected an object");
    auto it = value_->find(key);
    if (it == value_->end())
        return std::nullopt;
    return Field(*it, member_path(path_, key));
}

void Field::only(std::initializer_list<const char*> keys) const
{
    if (!value_->is_object())
        fail("expected an object");
    for (auto it = value_->begin(); it != value_->end(); ++it) {
        bool known = false;
        for (const char* k : keys)
            known = known || it.key() == k;
        if (!known)
            Field(*it, member_path(path_, it.key())).fail("unknown field");
    }
}

size_t Field::size() const
{
    if (!value_->is_array())
        fail("expected an array");
    return value_->size();
}

Field Field::item(size_t index) const
{
    if (!value_->is_array() || index >= value_->size())
        fail("expected an array with element " + std::to_string(index));
    return Field((*value_)[index], path_ + "[" + std::to_string(index) + "]");
}

void Field::each_item(const std::function<void(const Field&)>& visit) const
{
    for (size_t i = 0; i < size(); ++i)
        visit(item(i));
}

void Field::each_member(const std::function<void(const std::string&, const Field&)>& visit) const
{
    if (!value_->is_object())
        fail("expected an object");
    for (auto it = value_->begin(); it != value_->end(); ++it)
        visit(it.key(), Field(*it, member_path(path_, it.key())));
}

uint64_t Field::unsigned_in(uint64_t min, uint64_t max) const
{
    std::optional<uint64_t> value;
    if (value_->is_number_unsigned())
        value = value_->get<uint64_t>();
    else if (value_->is_number_integer() && value_->get<int64_t>() >= 0)
        value = static_cast<uint64_t>(value_->get<int64_t>());
    else if (value_->is_string())
        value = parse_unsigned(value_->get<std::string>());
    if (!value)
        fail("expected a number (decimal or \"0x..\")");
    if (*value < min || *value > max)
        fail("must be from " + std::to_string(min) + " to " + std::to_string(max));
    return *value;
}

int64_t Field::integer(int64_t min, int64_t max) const
{
    if (!value_->is_number_integer())
        fail("expected an integer");
    int64_t value = value_->get<int64_t>();
    if (value_->is_number_unsigned() && value_->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
        value = INT64_MAX;
    if (value < min || value > max)
        fail("must be from " + std::to_string(min) + " to " + std::to_string(max));
    return value;
}

double Field::number() const
{
    if (!value_->is_number())
        fail("expected a number");
    return value_->get<double>();
}

bool Field::boolean() const
{
    if (!value_->is_boolean())
        fail("expected true or false");
    return value_->get<bool>();
}

std::string Field::string() const
{
    if (!value_->is_string())
        fail("expected a string");
    return value_->get<std::string>();
}

std::vector<uint8_t> Field::bytes() const
{
    std::vector<uint8_t> out;
    if (value_->is_array()) {
        each_item([&](const Field& f) { out.push_back(f.byte()); });
        return out;
    }
    if (!value_->is_string())
        fail("expected an array of bytes or a string of hex bytes");
    const std::string text = value_->get<std::string>();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && text[j] != ' ')
            ++j;
        std::string word = text.substr(i, j - i);
        auto v = parse_unsigned("0x" + word);
        if (word.size() > 2 || !v)
            fail("\"" + word + "\" is not a hex byte");
        out.push_back(static_cast<uint8_t>(*v));
        i = j;
    }
    return out;
}

void Field::fail(const std::string& message) const
{
    throw MachineFileError(path_, message);
}

}  // namespace sim
