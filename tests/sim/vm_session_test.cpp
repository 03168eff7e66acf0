// SPDX-License-Identifier: MIT
// One external-BMC connection: requests reach the BMC in KCS layout, answers
// go back under the request's message id when they are due, and the
// machine's interrupt follows the driver's receive-message-interrupt enable.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sim/bmc/bmc.h"
#include "sim/bmc_server/bmc_server.h"
#include "sim/bmc_server/vm_session.h"

using sim::vm::Frame;
using sim::vm::Session;
using Bytes = std::vector<uint8_t>;

namespace {

// A BMC that stays silent for command 0x99, answers command 0x98 after
// 5 ms, answers Set BMC Global Enables with the completion code given in
// its second data byte, and anything else at once with code 0.
struct FakeBmc {
    std::vector<Bytes> seen;
    Session::Answer operator()(std::span<const uint8_t> request)
    {
        seen.emplace_back(request.begin(), request.end());
        if (request[1] == 0x99)
            return {};
        Bytes r{static_cast<uint8_t>(request[0] | 0x04), request[1], 0x00};
        if (request[1] == 0x2E && request.size() > 3)
            r[2] = request[3];
        return {r, request[1] == 0x98 ? 5000u : 0u};
    }
};

struct Harness {
    sim::VirtualClock clock{0, false};
    sim::Trace trace{clock};
    FakeBmc bmc;
    Session session{[this](std::span<const uint8_t> r) { return bmc(r); }, trace, "bmc0"};

    static std::vector<Frame> frames(const Bytes& wire)
    {
        std::vector<Frame> out;
        sim::vm::Decoder d;
        d.feed(wire, out);
        return out;
    }
    std::vector<Frame> send(const Bytes& body, uint64_t now_us = 0)
    {
        return frames(session.receive(sim::vm::encode_message(body), now_us));
    }
};

}  // namespace

TEST(VmSession, DelayedAnswerWaitsUntilItIsDue)
{
    Harness h;
    EXPECT_TRUE(h.send({0x07, 0x18, 0x98}, 1000).empty());
    ASSERT_TRUE(h.session.next_due().has_value());
    EXPECT_EQ(*h.session.next_due(), 6000u);
    EXPECT_TRUE(h.session.due(5999).empty());
    auto frames = Harness::frames(h.session.due(6000));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, (Bytes{0x07, 0x1C, 0x98, 0x00}));
    EXPECT_FALSE(h.session.next_due().has_value());
}

TEST(VmSession, SilentBmcDamagedAndShortMessagesSendNothing)
{
    Harness h;
    EXPECT_TRUE(h.send({0x01, 0x18, 0x99}).empty());
    EXPECT_FALSE(h.session.next_due().has_value());
    EXPECT_EQ(h.bmc.seen.size(), 1u);
    // A message with a wrong checksum and one too short to hold a command
    // never reach the BMC.
    EXPECT_TRUE(h.session.receive(Bytes{0x01, 0x18, 0x01, 0x00, 0xA0}, 0).empty());
    EXPECT_TRUE(h.send({0x01, 0x18}).empty());
    EXPECT_EQ(h.bmc.seen.size(), 1u);
}

TEST(VmSession, InterruptFollowsTheReceiveMessageInterruptEnable)
{
    // Set BMC Global Enables with these data, and the control command the
    // machine is expected to receive after the answer (0: none).
    struct Step {
        Bytes data;  // enables, and the completion code the fake BMC gives
        uint8_t control;
    };
    const Step steps[] = {
        {{0x00, 0x00}, 0x00},  // already off
        {{0x01, 0x00}, 0x05},  // on
        {{0x05, 0x00}, 0x00},  // other bits: still on
        {{0x04, 0xCC}, 0x00},  // refused: nothing changes
        {{0x04, 0x00}, 0x06},  // off
        {{0x07, 0x00}, 0x05},  // on again
    };
    Harness h;
    for (size_t i = 0; i < std::size(steps); ++i) {
        Bytes body{static_cast<uint8_t>(i), 0x18, 0x2E};
        body.insert(body.end(), steps[i].data.begin(), steps[i].data.end());
        auto frames = h.send(body);
        ASSERT_GE(frames.size(), 1u) << "step " << i;
        EXPECT_EQ(frames[0].kind, Frame::Kind::Message) << "step " << i;
        if (steps[i].control == 0) {
            EXPECT_EQ(frames.size(), 1u) << "step " << i;
        } else {
            ASSERT_EQ(frames.size(), 2u) << "step " << i;
            EXPECT_EQ(frames[1].kind, Frame::Kind::Command);
            EXPECT_EQ(frames[1].bytes, Bytes{steps[i].control}) << "step " << i;
        }
    }
    EXPECT_TRUE(h.session.irq_enabled());
}

TEST(VmSession, ServerAnswersFromTheBmcModelOverALoopbackSocket)
{
    sim::VirtualClock clock{0, false};
    sim::Trace trace{clock};
    sim::BmcCore core{sim::Context{clock, trace}, "bmc0"};
    sim::vm::BmcServer server([&](std::span<const uint8_t> r) { return Session::Answer{core.handle(r), 0}; },
                              sim::Context{clock, trace}, "bmc0");
    uint16_t port = server.listen_loopback();
    std::thread serving([&] { server.serve_one(); });

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Bytes request = sim::vm::encode_message(Bytes{0x05, 0x18, 0x2E, 0x01});  // Set BMC Global Enables
    Bytes next = sim::vm::encode_message(Bytes{0x06, 0x18, 0x2F});           // Get BMC Global Enables
    request.insert(request.end(), next.begin(), next.end());
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));

    // Version greeting, the answer, the interrupt enable, the second answer.
    sim::vm::Decoder decoder;
    std::vector<Frame> frames;
    uint8_t buffer[256];
    while (frames.size() < 4) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        decoder.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), frames);
    }
    ::close(fd);
    serving.join();

    EXPECT_EQ(frames[0].bytes, (Bytes{0xFF, 0x01}));
    EXPECT_EQ(frames[1].bytes, (Bytes{0x05, 0x1C, 0x2E, 0x00}));
    EXPECT_EQ(frames[2].bytes, (Bytes{0x05}));
    EXPECT_EQ(frames[3].bytes, (Bytes{0x06, 0x1C, 0x2F, 0x00, 0x01}));
}
