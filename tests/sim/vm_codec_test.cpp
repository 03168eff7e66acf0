// SPDX-License-Identifier: MIT
// The external-BMC serial framing: escaping, checksums and frame boundaries.
#include <gtest/gtest.h>

#include "sim/bmc_server/vm_codec.h"

using sim::vm::Decoder;
using sim::vm::Frame;
using Bytes = std::vector<uint8_t>;

namespace {

std::vector<Frame> decode(const Bytes& wire, size_t piece = 0)
{
    Decoder d;
    std::vector<Frame> frames;
    if (piece == 0) {
        d.feed(wire, frames);
        return frames;
    }
    for (size_t i = 0; i < wire.size(); i += piece)
        d.feed(std::span<const uint8_t>(wire).subspan(i, std::min(piece, wire.size() - i)), frames);
    return frames;
}

}  // namespace

TEST(VmCodec, MessagesCarryChecksumAndEscapes)
{
    struct Case {
        const char* what;
        Bytes body;
        Bytes wire;
    };
    const Case cases[] = {
        {"plain request", {0x01, 0x18, 0x01}, {0x01, 0x18, 0x01, 0xE6, 0xA0}},
        {"message end inside", {0xA0}, {0xAA, 0xB0, 0x60, 0xA0}},
        {"checksum that must be escaped", {0x56}, {0x56, 0xAA, 0xBA, 0xA0}},
        {"escape and command end inside", {0xAA, 0xA1}, {0xAA, 0xBA, 0xAA, 0xB1, 0xB5, 0xA0}},
        {"sum already zero", {0x80, 0x80}, {0x80, 0x80, 0x00, 0xA0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sim::vm::encode_message(c.body), c.wire) << c.what;
}

TEST(VmCodec, CommandsHaveNoChecksum)
{
    EXPECT_EQ(sim::vm::encode_command(Bytes{0x05}), (Bytes{0x05, 0xA1}));
    EXPECT_EQ(sim::vm::encode_command(Bytes{0xFF, 0xA0}), (Bytes{0xFF, 0xAA, 0xB0, 0xA1}));
}

TEST(VmCodec, EveryByteValueSurvivesTheRoundTripInAnyPieces)
{
    Bytes body;
    for (int b = 0; b < 256; ++b)
        body.push_back(static_cast<uint8_t>(b));
    Bytes wire = sim::vm::encode_message(body);
    Bytes command = sim::vm::encode_command(body);
    wire.insert(wire.end(), command.begin(), command.end());
    for (size_t piece : {0, 1, 2, 7}) {
        auto frames = decode(wire, piece);
        ASSERT_EQ(frames.size(), 2u) << "piece " << piece;
        EXPECT_EQ(frames[0].kind, Frame::Kind::Message);
        EXPECT_TRUE(frames[0].valid);
        EXPECT_EQ(frames[0].bytes, body);
        EXPECT_EQ(frames[1].kind, Frame::Kind::Command);
        EXPECT_TRUE(frames[1].valid);
        EXPECT_EQ(frames[1].bytes, body);
    }
}

TEST(VmCodec, DamagedFramesAreMarkedAndTheNextFrameStillDecodes)
{
    const Bytes good = sim::vm::encode_message(Bytes{0x07, 0x18, 0x01});
    Bytes overflow(Decoder::kMaxFrame + 1, 0x11);
    overflow.push_back(0xA0);
    struct Case {
        const char* what;
        Bytes damaged;
    };
    const Case cases[] = {
        {"checksum off by one", {0x01, 0x18, 0x01, 0xE7, 0xA0}},
        {"no bytes at all", {0xA0}},
        {"escape cut short by the end", {0x01, 0x18, 0xAA, 0xA0}},
        {"escape cut short in a command", {0x05, 0xAA, 0xA1}},
        {"longer than any frame", overflow},
    };
    for (const Case& c : cases) {
        Bytes wire = c.damaged;
        wire.insert(wire.end(), good.begin(), good.end());
        auto frames = decode(wire);
        ASSERT_EQ(frames.size(), 2u) << c.what;
        EXPECT_FALSE(frames[0].valid) << c.what;
        EXPECT_TRUE(frames[1].valid) << c.what;
        EXPECT_EQ(frames[1].bytes, (Bytes{0x07, 0x18, 0x01})) << c.what;
    }
}
