// SPDX-License-Identifier: MIT
// SHA-256 of the image file, for --report and for pinning the image by its
// digest: nettle's, in a fixed structure, nothing allocated.
#pragma once

#include <cstddef>
#include <nettle/sha2.h>

#include "types.h"

#define SHA256_HEX_SIZE (2 * SHA256_DIGEST_SIZE + 1)

struct Sha256 {
    struct sha256_ctx ctx;
};

void Sha256Begin(Sha256* s);
void Sha256Add(Sha256* s, const void* bytes, size_t length);
void Sha256End(Sha256* s, INT8U digest[SHA256_DIGEST_SIZE]);
// The digest as 64 lower-case hexadecimal digits and a terminator.
void Sha256Hex(const INT8U digest[SHA256_DIGEST_SIZE], char hex[SHA256_HEX_SIZE]);
