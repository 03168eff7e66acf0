// SPDX-License-Identifier: MIT
// SHA-256 as FIPS 180-4 defines it.
#include "sha256.h"

#include <cstring>

namespace {

constexpr INT32U kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr INT32U kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

INT32U Rotr(INT32U x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(INT32U* state, const INT8U* block)
{
    INT32U w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = INT32U(block[4 * i]) << 24 | INT32U(block[4 * i + 1]) << 16 | INT32U(block[4 * i + 2]) << 8 |
               INT32U(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        INT32U s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        INT32U s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    INT32U a = state[0], b = state[1], c = state[2], d = state[3];
    INT32U e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        INT32U t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
        INT32U t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void Sha256Begin(Sha256* s)
{
    std::memcpy(s->state, kInitialState, sizeof kInitialState);
    s->length = 0;
    s->used = 0;
}

void Sha256Add(Sha256* s, const void* bytes, size_t length)
{
    const INT8U* p = static_cast<const INT8U*>(bytes);
    s->length += length;
    while (length > 0) {
        size_t n = sizeof s->block - s->used;
        if (n > length)
            n = length;
        std::memcpy(s->block + s->used, p, n);
        s->used += n;
        p += n;
        length -= n;
        if (s->used == sizeof s->block) {
            Compress(s->state, s->block);
            s->used = 0;
        }
    }
}

void Sha256End(Sha256* s, INT8U digest[SHA256_DIGEST_SIZE])
{
    const unsigned long long bits = s->length * 8;
    // A one bit, zeros up to 56 bytes into a block, the length in bits.
    const INT8U one = 0x80, zero = 0;
    Sha256Add(s, &one, 1);
    while (s->used != 56)
        Sha256Add(s, &zero, 1);
    INT8U length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<INT8U>(bits >> (56 - 8 * i));
    Sha256Add(s, length, sizeof length);
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<INT8U>(s->state[i] >> (24 - 8 * k));
}

void Sha256Hex(const INT8U digest[SHA256_DIGEST_SIZE], char hex[SHA256_HEX_SIZE])
{
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    hex[2 * SHA256_DIGEST_SIZE] = '\0';
}
