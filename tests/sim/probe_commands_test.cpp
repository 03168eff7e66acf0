// SPDX-License-Identifier: MIT
// The commands an IPMI driver sends while it probes the BMC, answered by the
// BMC model's command table.
#include <gtest/gtest.h>

#include "sim/bmc/bmc.h"

using Bytes = std::vector<uint8_t>;

namespace {

struct Bench {
    sim::VirtualClock clock{0, false};
    sim::Trace trace{clock};
    sim::BmcCore core{sim::Context{clock, trace}, "bmc0"};
};

}  // namespace

TEST(ProbeCommands, ProbeCommandsAnswerWithTheirLayout)
{
    struct Case {
        const char* what;
        Bytes request;
        uint8_t completion;
        size_t data_len;  // response data after the completion code
    };
    const Case cases[] = {
        {"Get Device ID", {0x18, 0x01}, 0x00, 11},
        {"Get Device GUID", {0x18, 0x08}, 0x00, 16},
        {"Get BMC Global Enables", {0x18, 0x2F}, 0x00, 1},
        {"Set BMC Global Enables", {0x18, 0x2E, 0x01}, 0x00, 0},
        {"Set BMC Global Enables without data", {0x18, 0x2E}, 0xC7, 0},
        {"Clear Message Flags", {0x18, 0x30, 0x08}, 0x00, 0},
        {"Get Message Flags", {0x18, 0x31}, 0x00, 1},
        {"Read Event Message Buffer: empty", {0x18, 0x35}, 0x80, 0},
        {"Get Channel Info: not supported", {0x18, 0x42, 0x00}, 0xC1, 0},
        {"Get Device ID of another network function", {0x28, 0x01}, 0xC1, 0},
        {"LUN bits kept", {0x1B, 0x01}, 0x00, 11},
    };
    for (const Case& c : cases) {
        Bench b;
        Bytes r = b.core.handle(c.request);
        ASSERT_GE(r.size(), 3u) << c.what;
        EXPECT_EQ(r[0], c.request[0] | 0x04) << c.what;
        EXPECT_EQ(r[1], c.request[1]) << c.what;
        EXPECT_EQ(r[2], c.completion) << c.what;
        EXPECT_EQ(r.size() - 3, c.data_len) << c.what;
    }
}

TEST(ProbeCommands, GlobalEnablesAreRemembered)
{
    Bench b;
    EXPECT_EQ(b.core.handle(Bytes{0x18, 0x2F}), (Bytes{0x1C, 0x2F, 0x00, 0x00}));
    for (uint8_t value : {0x01, 0x05, 0x07, 0x00}) {
        ASSERT_EQ(b.core.handle(Bytes{0x18, 0x2E, value}), (Bytes{0x1C, 0x2E, 0x00}));
        EXPECT_EQ(b.core.handle(Bytes{0x18, 0x2F}), (Bytes{0x1C, 0x2F, 0x00, value}));
    }
}
