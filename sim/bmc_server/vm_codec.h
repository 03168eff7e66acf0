// SPDX-License-Identifier: MIT
// Framing of the serial protocol between a virtual machine's external-BMC
// device and the BMC behind it. Two kinds of frame share one byte stream:
//
//   message:  bytes..., checksum, 0xA0   (an IPMI request or response)
//   command:  bytes..., 0xA1             (control: version, IRQ on/off, ...)
//
// Inside a frame 0xA0, 0xA1 and 0xAA travel as 0xAA followed by the byte with
// bit 4 set. The checksum makes the byte sum of the message, checksum
// included, zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim::vm {

inline constexpr uint8_t kMessageEnd = 0xA0;
inline constexpr uint8_t kCommandEnd = 0xA1;
inline constexpr uint8_t kEscape = 0xAA;

// Control commands.
inline constexpr uint8_t kCmdEnableIrq = 0x05;
inline constexpr uint8_t kCmdDisableIrq = 0x06;
inline constexpr uint8_t kCmdCapabilities = 0x08;
inline constexpr uint8_t kCmdVersion = 0xFF;

struct Frame {
    enum class Kind { Message, Command };
    Kind kind;
    // Unescaped; a message without its checksum byte.
    std::vector<uint8_t> bytes;
    // False for a message whose checksum does not add up or that is too short
    // to carry one, and for a frame with a broken escape or that overflowed.
    bool valid;
};

// The two's-complement byte that makes the sum of `bytes` and it zero.
uint8_t checksum(std::span<const uint8_t> bytes);

// A whole message frame: `body`, its checksum, escaped, then 0xA0.
std::vector<uint8_t> encode_message(std::span<const uint8_t> body);
// A whole command frame: `body` escaped, then 0xA1.
std::vector<uint8_t> encode_command(std::span<const uint8_t> body);

// Collects frames from bytes as they arrive, in pieces of any size.
class Decoder {
public:
    // Longest frame kept; longer ones are delivered as invalid.
    static constexpr size_t kMaxFrame = 512;

    // Appends the frames that `bytes` completes to `out`.
    void feed(std::span<const uint8_t> bytes, std::vector<Frame>& out);

private:
    void finish(Frame::Kind kind, std::vector<Frame>& out);

    std::vector<uint8_t> pending_;
    bool escaped_ = false;
    bool broken_ = false;
};

}  // namespace sim::vm
