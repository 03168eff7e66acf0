// SPDX-License-Identifier: MIT
#include "rmcp_crypto.h"

#include <algorithm>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <stdexcept>

namespace sim::lan {

size_t digest_size(Hash hash) { return hash == Hash::Sha1 ? SHA1_DIGEST_SIZE : SHA256_DIGEST_SIZE; }

std::vector<uint8_t> hmac(Hash hash, std::span<const uint8_t> key,
                          std::initializer_list<std::span<const uint8_t>> parts)
{
    std::vector<uint8_t> digest(digest_size(hash));
    if (hash == Hash::Sha1) {
        hmac_sha1_ctx ctx;
        hmac_sha1_set_key(&ctx, key.size(), key.data());
        for (std::span<const uint8_t> part : parts)
            hmac_sha1_update(&ctx, part.size(), part.data());
        hmac_sha1_digest(&ctx, digest.size(), digest.data());
    } else {
        hmac_sha256_ctx ctx;
        hmac_sha256_set_key(&ctx, key.size(), key.data());
        for (std::span<const uint8_t> part : parts)
            hmac_sha256_update(&ctx, part.size(), part.data());
        hmac_sha256_digest(&ctx, digest.size(), digest.data());
    }
    return digest;
}

namespace {

// nettle's block functions under the type its CBC mode calls them by.
void encrypt_blocks(const void* ctx, size_t length, uint8_t* dst, const uint8_t* src)
{
    aes128_encrypt(static_cast<const aes128_ctx*>(ctx), length, dst, src);
}

void decrypt_blocks(const void* ctx, size_t length, uint8_t* dst, const uint8_t* src)
{
    aes128_decrypt(static_cast<const aes128_ctx*>(ctx), length, dst, src);
}

void check(std::span<const uint8_t> key, std::span<const uint8_t> iv, size_t length)
{
    if (key.size() < AES128_KEY_SIZE || iv.size() != AES_BLOCK_SIZE || length % AES_BLOCK_SIZE != 0)
        throw std::invalid_argument("AES-128-CBC: key of 16 bytes, IV of 16 bytes, whole blocks");
}

}  // namespace

std::vector<uint8_t> aes128_cbc_encrypt(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                        std::span<const uint8_t> plain)
{
    check(key, iv, plain.size());
    aes128_ctx ctx;
    aes128_set_encrypt_key(&ctx, key.data());
    uint8_t chain[AES_BLOCK_SIZE];
    std::copy(iv.begin(), iv.end(), chain);
    std::vector<uint8_t> out(plain.size());
    cbc_encrypt(&ctx, encrypt_blocks, AES_BLOCK_SIZE, chain, plain.size(),
                out.data(), plain.data());
    return out;
}

std::vector<uint8_t> aes128_cbc_decrypt(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                        std::span<const uint8_t> cipher)
{
    check(key, iv, cipher.size());
    aes128_ctx ctx;
    aes128_set_decrypt_key(&ctx, key.data());
    uint8_t chain[AES_BLOCK_SIZE];
    std::copy(iv.begin(), iv.end(), chain);
    std::vector<uint8_t> out(cipher.size());
    cbc_decrypt(&ctx, decrypt_blocks, AES_BLOCK_SIZE, chain, cipher.size(),
                out.data(), cipher.data());
    return out;
}

bool equal_secret(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
    return a.size() == b.size() && (a.empty() || memeql_sec(a.data(), b.data(), a.size()));
}

}  // namespace sim::lan
