// The commands an IPMI driver sends while it probes the BMC.
#include <gtest/gtest.h>

#include "bmc_app_commands.h"

using Bytes = std::vector<uint8_t>;

TEST(BmcAppCommands, ProbeCommandsAnswerWithTheirLayout)
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
        {"LUN bits kept", {0x1B, 0x01}, 0x00, 11},
    };
    for (const Case& c : cases) {
        sim::AppCommandState state;
        auto r = sim::answer_app_command(state, c.request);
        ASSERT_TRUE(r.has_value()) << c.what;
        ASSERT_GE(r->size(), 3u) << c.what;
        EXPECT_EQ((*r)[0], c.request[0] | 0x04) << c.what;
        EXPECT_EQ((*r)[1], c.request[1]) << c.what;
        EXPECT_EQ((*r)[2], c.completion) << c.what;
        EXPECT_EQ(r->size() - 3, c.data_len) << c.what;
    }
}

TEST(BmcAppCommands, GlobalEnablesAreRemembered)
{
    sim::AppCommandState state;
    for (uint8_t value : {0x01, 0x05, 0x07, 0x00}) {
        const uint8_t set[] = {0x18, 0x2E, value};
        ASSERT_TRUE(sim::answer_app_command(state, set).has_value());
        const uint8_t get[] = {0x18, 0x2F};
        auto r = sim::answer_app_command(state, get);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, (Bytes{0x1C, 0x2F, 0x00, value}));
    }
}

TEST(BmcAppCommands, OtherRequestsAreLeftToTheBmc)
{
    const Bytes others[] = {
        {0x18, 0x52, 0x01, 0xC0, 0x01},  // Master Write-Read
        {0x18, 0x42, 0x00},              // Get Channel Info: not supported
        {0x28, 0x01},                    // same command, other network function
        {0x18},
    };
    for (const Bytes& request : others) {
        sim::AppCommandState state;
        EXPECT_FALSE(sim::answer_app_command(state, request).has_value());
    }
}
