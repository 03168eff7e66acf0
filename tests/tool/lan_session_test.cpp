// SPDX-License-Identifier: MIT
// The network road's link and session set-up against a network the test
// plays itself, for what the simulated LAN BMC never does: a machine whose
// clock cannot be read, and a BMC whose cipher suite pages are longer than
// the 16 bytes a page holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "bmc/lan/lan_link.h"
#include "bmc/lan/lan_session.h"
#include "bmc/lan/rmcp.h"
#include "common/settings.h"
#include "settings.h"
#include "sim/current_machine.h"

namespace lan_session_test {

using Bytes = std::vector<INT8U>;

// One UDP socket to one BMC: each datagram the tool sends is handed to
// `answer`, whose datagrams come back at once; a wait with nothing there
// runs out at its whole time. Until `clock_readable_after` selects have run
// out, the clock cannot be read (then it can, so that a wait that would go
// on for good still ends and the test sees how many selects it took).
class Network : public sim::Machine {
public:
    explicit Network(int clock_readable_after = 0)
        : Machine(1'700'000'000'000'000, false), clock_readable_after_(clock_readable_after)
    {
    }
    int selects = 0;
    int sends = 0;
    std::function<std::vector<Bytes>(const Bytes&)> answer = [](const Bytes&) { return std::vector<Bytes>{}; };

    int gettimeofday(struct timeval* tv) override
    {
        if (selects >= clock_readable_after_)
            return Machine::gettimeofday(tv);
        errno = EFAULT;
        return -1;
    }
    int resolve(const char*, const char*, struct sockaddr_storage* addr, socklen_t* len) override
    {
        std::memset(addr, 0, sizeof *addr);
        addr->ss_family = AF_INET;
        *len = sizeof(sockaddr_in);
        return 0;
    }
    int socket(int, int, int) override { return 7; }
    int connect(int, const struct sockaddr*, socklen_t) override { return 0; }
    int close(int) override { return 0; }
    ssize_t send(int, const void* buf, size_t len) override
    {
        ++sends;
        const auto* bytes = static_cast<const INT8U*>(buf);
        for (Bytes& datagram : answer(Bytes(bytes, bytes + len)))
            pending_.push_back(std::move(datagram));
        return static_cast<ssize_t>(len);
    }
    ssize_t recv(int, void* buf, size_t len) override
    {
        if (pending_.empty()) {
            errno = EAGAIN;
            return -1;
        }
        Bytes datagram = std::move(pending_.front());
        pending_.pop_front();
        const size_t n = std::min(len, datagram.size());
        std::memcpy(buf, datagram.data(), n);
        return static_cast<ssize_t>(n);
    }
    int select(int, fd_set* readfds, fd_set*, fd_set*, struct timeval* timeout) override
    {
        if (!pending_.empty())
            return 1;
        ++selects;
        clock.advance(static_cast<uint64_t>(timeout->tv_sec) * 1'000'000 + static_cast<uint64_t>(timeout->tv_usec));
        FD_ZERO(readfds);
        return 0;
    }

private:
    int clock_readable_after_;
    std::deque<Bytes> pending_;
};

// Installs a Network for one test and takes it away after it.
class NetworkTest : public ::testing::Test {
protected:
    Network& install(std::unique_ptr<Network> network)
    {
        Network& n = *network;
        sim::install(std::move(network));
        qbtest::restore_default_settings();
        return n;
    }
    void TearDown() override
    {
        LanLink_Close();
        sim::install(nullptr);
        qbtest::restore_default_settings();
    }
};

// The IPMI answer to an IPMI request outside a session (`request`: the
// datagram the tool sent), with `data` after completion code 0, in a packet
// of the request's own kind.
Bytes answer_outside_session(const Bytes& request, const Bytes& data)
{
    RmcpInbound in{};
    const RmcpKind kind = RmcpRead(request.data(), request.size(), nullptr, &in);
    EXPECT_TRUE(kind == RMCP_V15_PACKET || kind == RMCP_V20_PACKET);
    // rqAddr, NetFn/LUN, checksum, rsAddr, rqSeq/LUN, command, completion code, data, checksum.
    Bytes message = {0x81, static_cast<INT8U>(in.payload[1] + 4), 0, 0x20, in.payload[4], in.payload[5], 0x00};
    message[2] = static_cast<INT8U>(-(message[0] + message[1]));
    message.insert(message.end(), data.begin(), data.end());
    INT8U sum = 0;
    for (size_t i = 3; i < message.size(); ++i)
        sum = static_cast<INT8U>(sum + message[i]);
    message.push_back(static_cast<INT8U>(-sum));
    INT8U out[LAN_MAX_PACKET];
    const size_t n = kind == RMCP_V15_PACKET
                         ? RmcpV15(out, message.data(), message.size())
                         : RmcpV20(out, RMCP_PAYLOAD_IPMI, 0, 0, message.data(), message.size(), nullptr, nullptr);
    return Bytes(out, out + n);
}

}  // namespace lan_session_test

using namespace lan_session_test;

TEST_F(NetworkTest, AWaitThatRunsOutEndsWhetherTheClockCanBeReadOrNot)
{
    for (int unreadable_for : {0, 100}) {
        SCOPED_TRACE(unreadable_for ? "clock unreadable" : "clock readable");
        Network& network = install(std::make_unique<Network>(unreadable_for));
        ASSERT_EQ(LanLink_Open("bmc.lab", 623), nullptr);
        INT8U datagram[64];
        EXPECT_EQ(LanLink_Wait(datagram, sizeof datagram, 300'000), 0u);
        EXPECT_EQ(network.selects, 1);
    }
}

TEST_F(NetworkTest, CipherSuitePagesLongerThanAPageFillTheListOnlyToItsEnd)
{
    // Every page 60 bytes of suite 3's records, 12 of them.
    Bytes page = {0x01};
    for (int i = 0; i < 12; ++i)
        page.insert(page.end(), {0xC0, 0x03, 0x01, 0x41, 0x81});
    Network& network = install(std::make_unique<Network>());
    network.answer = [&](const Bytes& request) {
        const bool capabilities = request.size() > 19 && request[19] == 0x38;
        return std::vector<Bytes>{answer_outside_session(
            request, capabilities ? Bytes{0x01, 0x80, 0x00, 0x02, 0, 0, 0, 0} : page)};
    };
    CMDL_LanCipher = 17;
    ASSERT_EQ(LanLink_Open("bmc.lab", 623), nullptr);
    char why[300] = {};
    EXPECT_EQ(LanSession_Open(why, sizeof why), LAN_NO_CIPHER_SUITE);
    // The records end where 64 pages of 16 bytes end, within the 18th page
    // of 60 bytes: no 19th is asked for.
    std::string offered;
    for (int i = 0; i < 64; ++i)
        offered += i ? " 3" : "3";
    EXPECT_EQ(std::string(why), "cipher suite 17 (--lan-cipher) is not offered; the BMC offers: " + offered);
    EXPECT_EQ(network.sends, 1 + 18);
}
