// SPDX-License-Identifier: MIT
#include "lan_crypto.h"

#include <cstring>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>

size_t LanDigestSize(LanHash hash) { return hash == LAN_SHA1 ? SHA1_DIGEST_SIZE : SHA256_DIGEST_SIZE; }

void LanHmac(LanHash hash, const INT8U* key, size_t key_size, const LanPiece* pieces, int count, INT8U* out)
{
    if (hash == LAN_SHA1) {
        struct hmac_sha1_ctx ctx;
        hmac_sha1_set_key(&ctx, key_size, key);
        for (int i = 0; i < count; ++i)
            hmac_sha1_update(&ctx, pieces[i].size, pieces[i].data);
        hmac_sha1_digest(&ctx, SHA1_DIGEST_SIZE, out);
        LanWipe(&ctx, sizeof ctx);
    } else {
        struct hmac_sha256_ctx ctx;
        hmac_sha256_set_key(&ctx, key_size, key);
        for (int i = 0; i < count; ++i)
            hmac_sha256_update(&ctx, pieces[i].size, pieces[i].data);
        hmac_sha256_digest(&ctx, SHA256_DIGEST_SIZE, out);
        LanWipe(&ctx, sizeof ctx);
    }
}

void LanAesEncrypt(const INT8U* key, const INT8U* iv, const INT8U* in, size_t size, INT8U* out)
{
    struct aes128_ctx ctx;
    aes128_set_encrypt_key(&ctx, key);
    INT8U chain[LAN_AES_BLOCK];
    std::memcpy(chain, iv, sizeof chain);
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(aes128_encrypt), LAN_AES_BLOCK, chain, size, out, in);
    LanWipe(&ctx, sizeof ctx);
}

void LanAesDecrypt(const INT8U* key, const INT8U* iv, const INT8U* in, size_t size, INT8U* out)
{
    struct aes128_ctx ctx;
    aes128_set_decrypt_key(&ctx, key);
    INT8U chain[LAN_AES_BLOCK];
    std::memcpy(chain, iv, sizeof chain);
    cbc_decrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(aes128_decrypt), LAN_AES_BLOCK, chain, size, out, in);
    LanWipe(&ctx, sizeof ctx);
}

bool LanEqualSecret(const INT8U* a, const INT8U* b, size_t size) { return memeql_sec(a, b, size) != 0; }

void LanWipe(void* secret, size_t size)
{
    // Through a volatile pointer, so that the compiler cannot drop the stores.
    volatile INT8U* p = static_cast<volatile INT8U*>(secret);
    while (size--)
        *p++ = 0;
}
