// SPDX-License-Identifier: MIT
#include "sha256.h"

void Sha256Begin(Sha256* s) { sha256_init(&s->ctx); }

void Sha256Add(Sha256* s, const void* bytes, size_t length)
{
    sha256_update(&s->ctx, length, static_cast<const uint8_t*>(bytes));
}

void Sha256End(Sha256* s, INT8U digest[SHA256_DIGEST_SIZE]) { sha256_digest(&s->ctx, SHA256_DIGEST_SIZE, digest); }

void Sha256Hex(const INT8U digest[SHA256_DIGEST_SIZE], char hex[SHA256_HEX_SIZE])
{
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    hex[2 * SHA256_DIGEST_SIZE] = '\0';
}
