// SPDX-License-Identifier: MIT
#include "vm_codec.h"

namespace sim::vm {

namespace {

bool needs_escape(uint8_t b) { return b == kMessageEnd || b == kCommandEnd || b == kEscape; }

void put_escaped(std::vector<uint8_t>& out, uint8_t b)
{
    if (needs_escape(b)) {
        out.push_back(kEscape);
        out.push_back(static_cast<uint8_t>(b | 0x10));
    } else {
        out.push_back(b);
    }
}

}  // namespace

uint8_t checksum(std::span<const uint8_t> bytes)
{
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(-sum);
}

std::vector<uint8_t> encode_message(std::span<const uint8_t> body)
{
    std::vector<uint8_t> out;
    out.reserve(body.size() + 4);
    for (uint8_t b : body)
        put_escaped(out, b);
    put_escaped(out, checksum(body));
    out.push_back(kMessageEnd);
    return out;
}

std::vector<uint8_t> encode_command(std::span<const uint8_t> body)
{
    std::vector<uint8_t> out;
    out.reserve(body.size() + 2);
    for (uint8_t b : body)
        put_escaped(out, b);
    out.push_back(kCommandEnd);
    return out;
}

void Decoder::feed(std::span<const uint8_t> bytes, std::vector<Frame>& out)
{
    for (uint8_t b : bytes) {
        if (b == kMessageEnd || b == kCommandEnd) {
            // An escape cut short by the end of the frame spoils the frame.
            if (escaped_)
                broken_ = true;
            finish(b == kMessageEnd ? Frame::Kind::Message : Frame::Kind::Command, out);
            continue;
        }
        if (escaped_) {
            escaped_ = false;
            b = static_cast<uint8_t>(b & ~0x10);
        } else if (b == kEscape) {
            escaped_ = true;
            continue;
        }
        if (pending_.size() < kMaxFrame)
            pending_.push_back(b);
        else
            broken_ = true;
    }
}

void Decoder::finish(Frame::Kind kind, std::vector<Frame>& out)
{
    Frame frame{kind, std::move(pending_), !broken_};
    pending_.clear();
    escaped_ = false;
    broken_ = false;
    if (kind == Frame::Kind::Message) {
        // The checksum byte covers the whole message and is not part of it.
        if (frame.bytes.empty() || checksum(frame.bytes) != 0)
            frame.valid = false;
        if (!frame.bytes.empty())
            frame.bytes.pop_back();
    }
    out.push_back(std::move(frame));
}

}  // namespace sim::vm
