// SPDX-License-Identifier: MIT
// The SHA-256 of some bytes as the tool prints it and --image-sha256 takes
// it (64 lower-case hexadecimal digits), by the tool's own Sha256: for the
// tests and the campaign, which pin images by their digest.
#pragma once

#include <string>
#include <string_view>

#include "common/sha256.h"

namespace qbtest {

inline std::string sha256_hex(std::string_view bytes)
{
    Sha256 s;
    Sha256Begin(&s);
    Sha256Add(&s, bytes.data(), bytes.size());
    INT8U digest[SHA256_DIGEST_SIZE];
    Sha256End(&s, digest);
    char hex[SHA256_HEX_SIZE];
    Sha256Hex(digest, hex);
    return hex;
}

}  // namespace qbtest
