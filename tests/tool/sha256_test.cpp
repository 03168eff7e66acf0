// SPDX-License-Identifier: MIT
// The image digest: the published test vectors, and the same digest as
// sha256sum for files of every size around the block boundaries up to the
// largest image, fed whole and in uneven pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "common/sha256.h"

namespace {

std::string HexOf(const std::string& bytes, size_t piece)
{
    Sha256 s;
    Sha256Begin(&s);
    for (size_t at = 0; at < bytes.size(); at += piece)
        Sha256Add(&s, bytes.data() + at, std::min(piece, bytes.size() - at));
    INT8U digest[SHA256_DIGEST_SIZE];
    Sha256End(&s, digest);
    char hex[SHA256_HEX_SIZE];
    Sha256Hex(digest, hex);
    return hex;
}

std::string Sha256sumOf(const std::filesystem::path& file)
{
    std::string command = "sha256sum '" + file.string() + "'";
    FILE* p = popen(command.c_str(), "r");
    char hex[65] = "";
    if (p) {
        if (fscanf(p, "%64s", hex) != 1)
            hex[0] = '\0';
        pclose(p);
    }
    return hex;
}

TEST(Sha256, PublishedTestVectors)
{
    struct Vector { std::string message; const char* digest; };
    const Vector vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.message.substr(0, 16));
        EXPECT_EQ(HexOf(v.message, v.message.size() + 1), v.digest);
        EXPECT_EQ(HexOf(v.message, 7), v.digest);
    }
}

TEST(Sha256, AgreesWithSha256sumOnRandomFiles)
{
    std::string name = "qb40-sha256-";
    name += std::to_string(getpid());
    const auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    std::mt19937 random(2026);
    // Each size around a block boundary, the padding limit (55/56), the
    // small images' limit and the largest image and beyond.
    const size_t sizes[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 7679, 7680, 20479, 20480,
                            20481, 30000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random());
        const auto file = dir / std::to_string(size);
        std::ofstream(file, std::ios::binary) << bytes;
        const std::string expected = Sha256sumOf(file);
        ASSERT_EQ(expected.size(), 64u);
        EXPECT_EQ(HexOf(bytes, 4096), expected);
        EXPECT_EQ(HexOf(bytes, 63), expected);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
