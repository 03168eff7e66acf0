// SPDX-License-Identifier: MIT
// The cryptography of an RMCP+ session, from nettle: HMAC-SHA1 and
// HMAC-SHA256 (the key exchange and the packets' integrity), AES-128 in CBC
// mode (their confidentiality), a comparison that takes as long whatever it
// finds, and the wiping of a key. No cipher or hash of the tool's own.
#pragma once

#include <cstddef>

#include "../../common/types.h"

enum LanHash : INT8U { LAN_SHA1, LAN_SHA256 };

#define LAN_MAX_DIGEST 32
#define LAN_AES_BLOCK 16

// 20 or 32.
size_t LanDigestSize(LanHash hash);

// One piece of what an HMAC covers.
struct LanPiece {
    const INT8U* data;
    size_t size;
};

// HMAC with `key` of the pieces one after the other, into `out`
// (LanDigestSize(hash) bytes).
void LanHmac(LanHash hash, const INT8U* key, size_t key_size, const LanPiece* pieces, int count, INT8U* out);

// AES-128-CBC over `size` bytes, a multiple of 16, with the 16-byte key and IV.
void LanAesEncrypt(const INT8U* key, const INT8U* iv, const INT8U* in, size_t size, INT8U* out);
void LanAesDecrypt(const INT8U* key, const INT8U* iv, const INT8U* in, size_t size, INT8U* out);

// Equal, in a time that does not depend on where they differ.
bool LanEqualSecret(const INT8U* a, const INT8U* b, size_t size);

// Overwrites a secret so that no later read of the memory finds it.
void LanWipe(void* secret, size_t size);
