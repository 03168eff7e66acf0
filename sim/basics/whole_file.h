// SPDX-License-Identifier: MIT
// Writing a file whole, byte for byte, for those who set up the simulator's
// runs in a directory (the tests and the campaign): machine files, images,
// standard input.
#pragma once

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace sim {

// Throws std::runtime_error naming the file when it cannot be written.
inline void write_file(const std::filesystem::path& p, const std::string& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!(out << bytes))
        throw std::runtime_error("cannot write " + p.string());
}

}  // namespace sim
