// SPDX-License-Identifier: MIT
// The controller model's flash side, driven command by command: what the
// tool's own tests cannot see, namely how it judges the bytes it was sent
// and its busy and silent times.
#include <gtest/gtest.h>

#include "sim/devices/controller.h"
#include "device_bench.h"
#include "sim/devices/image_version.h"

using qbtest::DeviceBench;
using qbtest::read_bytes;
using qbtest::read_register;
using Bytes = std::vector<uint8_t>;

namespace {

bool send(sim::I2cDevice& c, Bytes command)
{
    command.insert(command.begin(), {0x55, 0xAA});
    return c.write(command);
}

// Write (E0) or verify (E1) commands for every byte of `bytes`; false at the first refused.
bool send_bytes(sim::I2cDevice& c, uint8_t code, const Bytes& bytes)
{
    for (size_t a = 0; a < bytes.size(); ++a)
        if (!send(c, {code, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), bytes[a]}))
            return false;
    return true;
}

// A QB4077 running 1.0.0, busy for `erase_ms` after an erase and silent ten times as long after a reset.
std::string controller(int erase_ms)
{
    return R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0], "erase_ms": )" +
           std::to_string(erase_ms) + R"(, "reset_ms": )" + std::to_string(erase_ms * 10) + "}";
}

}  // namespace

TEST(ControllerFlash, JudgesTheVerifiedBytesAndRunsOnlyAGoodImage)
{
    struct Case {
        const char* name;
        long wrong_at;     // verified with a wrong byte there, or -1
        bool one_missing;  // the last byte is never verified
        Bytes status;
    };
    const Case cases[] = {
        {"every byte verified", -1, false, {0x55, 0xAA, 0xE2, 1, 0, 0}},
        {"one byte differs", 200, false, {0x55, 0xAA, 0xE2, 1, 1, 0}},
        {"one byte left unverified", -1, true, {0x55, 0xAA, 0xE2, 0, 0, 0}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DeviceBench bench;
        auto placed = bench.make(controller(500));
        auto& c = dynamic_cast<sim::Controller&>(*placed.device);
        Bytes image(300);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 7 + 1);
        const size_t v = sim::kImageVersionOffset;
        image[v] = 3, image[v + 1] = 4, image[v + 2] = 5;

        ASSERT_TRUE(send(c, {0xEE}));
        bench.advance_ms(499);
        EXPECT_FALSE(send(c, {0xEF})) << "busy for the whole erase";
        bench.advance_ms(1);
        ASSERT_TRUE(send_bytes(c, 0xE0, image));
        EXPECT_TRUE(std::equal(image.begin(), image.end(), c.staging_bank().begin()));
        EXPECT_EQ(read_register(c, 0x60), 1) << "writing leaves the running image alone";

        Bytes verified = image;
        if (k.wrong_at >= 0)
            verified[static_cast<size_t>(k.wrong_at)] ^= 0x80;
        if (k.one_missing)
            verified.pop_back();
        ASSERT_TRUE(send_bytes(c, 0xE1, verified));
        ASSERT_TRUE(send(c, {0xE2}));
        EXPECT_EQ(read_bytes(c, 6), k.status);

        const bool good = k.status[3] != 0 && k.status[4] == 0;
        EXPECT_EQ(send(c, {0xF0}), good) << "only a verified image may replace the running one";
        bench.advance_ms(4999);
        EXPECT_EQ(read_register(c, 0x60), good ? -1 : 1) << "silent while it resets";
        bench.advance_ms(1);
        // The version answer follows the image's version bytes.
        ASSERT_TRUE(send(c, {0xED}));
        EXPECT_EQ(read_bytes(c, 6), good ? (Bytes{0x55, 0xAA, 0xED, 3, 4, 5}) : (Bytes{0x55, 0xAA, 0xED, 1, 0, 0}));
        EXPECT_EQ(std::equal(image.begin(), image.end(), c.running_image().begin()), good);
    }
}

// An erase that qb40sim-bmc counts in requests (erase_requests) refuses that
// many of them however far apart they come, as a loaded host's guest sends
// them, and says the same as one timed by erase_ms; on the simulator's own
// clock the count means nothing and erase_ms rules.
TEST(ControllerFlash, AnEraseCountedInRequestsDoesNotDependOnTheirTimes)
{
    struct Case {
        const char* name;
        bool wall_clock;
        uint64_t ms_apart;
        int refused;
    };
    const Case cases[] = {
        {"qb40sim-bmc, probes 10 ms apart", true, 10, 3},
        {"qb40sim-bmc, probes a second apart", true, 1000, 3},
        {"the simulator, probes 10 ms apart: 105 ms", false, 10, 10},
        {"the simulator, probes a second apart", false, 1000, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DeviceBench bench;
        if (k.wall_clock)
            bench.follow_wall_clock();
        auto placed = bench.make(R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "erase_ms": 105,
                                     "erase_requests": 3})");
        auto& c = dynamic_cast<sim::Controller&>(*placed.device);
        ASSERT_TRUE(send(c, {0xEE}));
        EXPECT_STREQ(c.busy(), "erasing");
        int refused = 0;
        for (bool taken = false; !taken && refused < 100;) {
            bench.advance_ms(k.ms_apart);
            // A register read counts as a request too: the pointer write is refused.
            taken = refused == 1 ? read_register(c, 0x60) >= 0 : send(c, {0xEF});
            refused += !taken;
        }
        EXPECT_EQ(refused, k.refused);
        EXPECT_EQ(c.busy(), nullptr);
        ASSERT_TRUE(send(c, {0xE0, 0x00, 0x00, 0x5A})) << "the erase is over: bytes are taken";
        EXPECT_EQ(qbtest::count_lines(bench.trace_lines(), "flash bmc0 bus 0x01 0xC0 erase, busy 105 ms"), 1u);
    }
}
