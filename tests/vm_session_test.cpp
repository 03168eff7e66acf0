// One external-BMC connection: requests reach the BMC in KCS layout, answers
// go back under the request's message id, and the machine's interrupt
// follows the driver's receive-message-interrupt enable.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bmc_app_commands.h"
#include "bmc_server/bmc_server.h"
#include "bmc_server/vm_session.h"

using sim::vm::Frame;
using Bytes = std::vector<uint8_t>;

namespace {

// A BMC that answers Set BMC Global Enables with the completion code given
// in the last request data byte + 0 (so tests can make it fail), stays silent
// for command 0x99 and echoes anything else with completion code 0.
struct FakeBmc {
    std::vector<Bytes> seen;
    Bytes operator()(std::span<const uint8_t> request)
    {
        seen.emplace_back(request.begin(), request.end());
        if (request[1] == 0x99)
            return {};
        Bytes r{static_cast<uint8_t>(request[0] | 0x04), request[1], 0x00};
        if (request[1] == 0x2E && request.size() > 3)
            r[2] = request[3];
        return r;
    }
};

struct Harness {
    sim::VirtualClock clock{0, false};
    sim::Trace trace{clock};
    FakeBmc bmc;
    sim::vm::Session session{[this](std::span<const uint8_t> r) { return bmc(r); }, trace};

    std::vector<Frame> send(const Bytes& body)
    {
        Bytes reply = session.receive(sim::vm::encode_message(body));
        std::vector<Frame> frames;
        sim::vm::Decoder d;
        d.feed(reply, frames);
        return frames;
    }
};

}  // namespace

TEST(VmSession, RequestReachesTheBmcAndTheAnswerKeepsTheMessageId)
{
    Harness h;
    auto frames = h.send({0x42, 0x18, 0x52, 0x01, 0xC0, 0x01});
    ASSERT_EQ(h.bmc.seen.size(), 1u);
    EXPECT_EQ(h.bmc.seen[0], (Bytes{0x18, 0x52, 0x01, 0xC0, 0x01}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].valid);
    EXPECT_EQ(frames[0].bytes, (Bytes{0x42, 0x1C, 0x52, 0x00}));
}

TEST(VmSession, SilentBmcDamagedAndShortMessagesSendNothing)
{
    Harness h;
    EXPECT_TRUE(h.send({0x01, 0x18, 0x99}).empty());
    EXPECT_EQ(h.bmc.seen.size(), 1u);
    // A message with a wrong checksum and one too short to hold a command
    // never reach the BMC.
    EXPECT_TRUE(h.session.receive(Bytes{0x01, 0x18, 0x01, 0x00, 0xA0}).empty());
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

TEST(VmSession, ServerAnswersOverALoopbackSocket)
{
    sim::VirtualClock clock{0, false};
    sim::Trace trace{clock};
    sim::AppCommandState state;
    sim::vm::BmcServer server(
        [&](std::span<const uint8_t> r) { return sim::answer_app_command(state, r).value_or(Bytes{}); },
        sim::Context{clock, trace});
    uint16_t port = server.listen_loopback();
    std::thread serving([&] { server.serve_one(); });

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    Bytes request = sim::vm::encode_message(Bytes{0x05, 0x18, 0x2E, 0x01});  // Set BMC Global Enables
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));

    // Version greeting, the answer, then the interrupt enable.
    sim::vm::Decoder decoder;
    std::vector<Frame> frames;
    uint8_t buffer[256];
    while (frames.size() < 3) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        decoder.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), frames);
    }
    ::close(fd);
    serving.join();

    EXPECT_EQ(frames[0].bytes, (Bytes{0xFF, 0x01}));
    EXPECT_EQ(frames[1].bytes, (Bytes{0x05, 0x1C, 0x2E, 0x00}));
    EXPECT_EQ(frames[2].bytes, (Bytes{0x05}));
    EXPECT_EQ(state.global_enables, 0x01);
}
