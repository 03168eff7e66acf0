// SPDX-License-Identifier: MIT
#include "json_text.h"

#include <cstdio>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence at `p`, 0 when it is none.
size_t Utf8SequenceLength(const unsigned char* p, size_t left)
{
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        length = 2;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        length = 3;
        low = p[0] == 0xE0 ? 0xA0 : low;   // no overlong forms
        high = p[0] == 0xED ? 0x9F : high;  // no surrogates
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        length = 4;
        low = p[0] == 0xF0 ? 0x90 : low;
        high = p[0] == 0xF4 ? 0x8F : high;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t k = 2; k < length; ++k)
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    return length;
}

// The escape of the byte at `s[i]` into `escape` (empty: it stands as it
// is, `*step` bytes of it).
void EscapeUtf8(const unsigned char* s, size_t i, size_t length, char* escape, size_t size, size_t* step)
{
    if (s[i] == '"' || s[i] == '\\')
        std::snprintf(escape, size, "\\%c", s[i]);
    else if (s[i] == '\n')
        std::snprintf(escape, size, "\\n");
    else if (s[i] == '\t')
        std::snprintf(escape, size, "\\t");
    else if (s[i] < 0x20)
        std::snprintf(escape, size, "\\u%04x", s[i]);
    else if (s[i] >= 0x80 && (*step = Utf8SequenceLength(s + i, length - i)) == 0)
        std::snprintf(escape, size, "\\ufffd");
}

void EscapeAscii(const unsigned char* s, size_t i, char* escape, size_t size)
{
    if (s[i] == '"' || s[i] == '\\')
        std::snprintf(escape, size, "\\%c", s[i]);
    else if (s[i] < 0x20 || s[i] >= 0x7F)
        std::snprintf(escape, size, "\\u%04x", s[i]);
}

}  // namespace

size_t JsonEscape(const char* text, size_t length, size_t* at, char* out, size_t size, JsonRule rule)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    size_t used = 0;
    while (*at < length) {
        size_t i = *at;
        char escape[8] = "";
        size_t step = 1;
        if (rule == JSON_ASCII)
            EscapeAscii(s, i, escape, sizeof escape);
        else
            EscapeUtf8(s, i, length, escape, sizeof escape, &step);
        size_t n = escape[0] ? std::strlen(escape) : step;
        if (used + n > size)
            break;
        std::memcpy(out + used, escape[0] ? escape : text + i, n);
        used += n;
        *at = i + (escape[0] ? 1 : step);
    }
    return used;
}

void WriterPutJson(BufferedWriter* w, const char* text, size_t length, JsonRule rule)
{
    WriterPut(w, "\"", 1);
    char chunk[256];
    for (size_t at = 0; at < length;) {
        size_t n = JsonEscape(text, length, &at, chunk, sizeof chunk, rule);
        WriterPut(w, chunk, n);
    }
    WriterPut(w, "\"", 1);
}

void WriterPutJson(BufferedWriter* w, const char* text, JsonRule rule)
{
    WriterPutJson(w, text, std::strlen(text), rule);
}
