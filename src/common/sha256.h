// SPDX-License-Identifier: MIT
// SHA-256 of the image file, for --report and for pinning the image by its
// digest. State in a fixed structure, nothing allocated.
#pragma once

#include <cstddef>

#include "types.h"

#define SHA256_DIGEST_SIZE 32
#define SHA256_HEX_SIZE (2 * SHA256_DIGEST_SIZE + 1)

struct Sha256 {
    INT32U state[8];
    unsigned long long length;  // bytes taken so far
    INT8U block[64];
    size_t used;                // bytes waiting in `block`
};

void Sha256Begin(Sha256* s);
void Sha256Add(Sha256* s, const void* bytes, size_t length);
void Sha256End(Sha256* s, INT8U digest[SHA256_DIGEST_SIZE]);
// The digest as 64 lower-case hexadecimal digits and a terminator.
void Sha256Hex(const INT8U digest[SHA256_DIGEST_SIZE], char hex[SHA256_HEX_SIZE]);
