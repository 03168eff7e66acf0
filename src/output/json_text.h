// SPDX-License-Identifier: MIT
// Text inside a JSON string, by one of two rules. Text from outside the
// tool (file names, arguments) can hold any byte: control characters are
// escaped, and a byte that is not part of well-formed UTF-8 becomes U+FFFD,
// so that every reader can parse what the tool writes. The text the tool
// passes to the seam (device paths, shell commands), as the capture records
// it, is plain ASCII: every other byte is escaped as the code point of its
// value, so that the replay gets the very bytes back.
#pragma once

#include <cstddef>

#include "buffered_writer.h"

enum JsonRule { JSON_UTF8, JSON_ASCII };

// Encodes `text` (`length` bytes) from `*at` on into `out`, at most `size`
// bytes and never half an escape or a character, without the quotes.
// Returns the bytes written and moves `*at` past the text they encode;
// call again while `*at` is below `length`. `size` must be at least 8.
size_t JsonEscape(const char* text, size_t length, size_t* at, char* out, size_t size, JsonRule rule);

// `text` as a JSON string, quotes and all.
void WriterPutJson(BufferedWriter* w, const char* text, size_t length, JsonRule rule);
void WriterPutJson(BufferedWriter* w, const char* text, JsonRule rule);
