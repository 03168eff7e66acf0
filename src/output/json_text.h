// SPDX-License-Identifier: MIT
// Text from outside the tool (file names, arguments) inside a JSON string.
// Any byte can come: control characters are escaped, and a byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so that every reader can parse
// what the tool writes.
#pragma once

#include <cstddef>

// Encodes `text` (`length` bytes) from `*at` on into `out`, at most `size`
// bytes and never half an escape or a character, without the quotes.
// Returns the bytes written and moves `*at` past the text they encode;
// call again while `*at` is below `length`. `size` must be at least 8.
size_t JsonEscape(const char* text, size_t length, size_t* at, char* out, size_t size);
