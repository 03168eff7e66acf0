// SPDX-License-Identifier: MIT
// The fuzzer's input read as a stream of answers: every call the tool makes
// into the machine (through src/os/os.h) takes the next bytes. Once the
// input is used up, every call gets the answer that ends the run soonest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qbfuzz {

class Answers {
public:
    void reset(std::span<const uint8_t> input)
    {
        input_ = input;
        used_ = 0;
    }
    bool exhausted() const { return used_ >= input_.size(); }
    // The next byte, or `when_exhausted`.
    uint8_t byte(uint8_t when_exhausted) { return exhausted() ? when_exhausted : input_[used_++]; }
    // Up to `count` next bytes; fewer at the end of the input.
    std::span<const uint8_t> bytes(size_t count)
    {
        size_t n = count < input_.size() - used_ ? count : input_.size() - used_;
        auto part = input_.subspan(used_, n);
        used_ += n;
        return part;
    }
    // Everything not used yet.
    std::span<const uint8_t> rest() { return bytes(input_.size() - used_); }

private:
    std::span<const uint8_t> input_;
    size_t used_ = 0;
};

}  // namespace qbfuzz
