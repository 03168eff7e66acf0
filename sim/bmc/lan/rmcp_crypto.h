// SPDX-License-Identifier: MIT
// The cryptography of RMCP+ sessions, from nettle: the two HMACs of the
// authentication and integrity algorithms, AES-128 in CBC mode for
// confidentiality, and a comparison that takes as long whatever it finds.
// Nothing here is a cipher or a hash of our own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace sim::lan {

enum class Hash { Sha1, Sha256 };

// Digest length of the hash: 20 or 32 bytes.
size_t digest_size(Hash hash);

// HMAC of `parts` taken one after the other, with `key`.
std::vector<uint8_t> hmac(Hash hash, std::span<const uint8_t> key,
                          std::initializer_list<std::span<const uint8_t>> parts);

inline constexpr size_t kAesBlock = 16;

// AES-128-CBC of whole blocks; `iv` is the 16-byte initialisation vector.
// The input length must be a multiple of 16.
std::vector<uint8_t> aes128_cbc_encrypt(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                        std::span<const uint8_t> plain);
std::vector<uint8_t> aes128_cbc_decrypt(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                        std::span<const uint8_t> cipher);

// Equal, compared in constant time (codes an attacker could time).
bool equal_secret(std::span<const uint8_t> a, std::span<const uint8_t> b);

}  // namespace sim::lan
