// SPDX-License-Identifier: MIT
#include "trace.h"

#include <cstdarg>

namespace sim {

Trace::~Trace()
{
    if (file_)
        std::fclose(file_);
}

bool Trace::open(const std::string& path)
{
    if (file_)
        std::fclose(file_);
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void Trace::line(const char* fmt, ...)
{
    if (!file_)
        return;
    uint64_t us = clock_.elapsed_us();
    std::fprintf(file_, "%llu.%06llu ", static_cast<unsigned long long>(us / 1000000),
                 static_cast<unsigned long long>(us % 1000000));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(file_, fmt, ap);
    va_end(ap);
    std::fputc('\n', file_);
    std::fflush(file_);
}

std::string Trace::hex(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

}  // namespace sim
