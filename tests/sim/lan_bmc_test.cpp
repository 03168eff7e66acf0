// SPDX-License-Identifier: MIT
// The simulated LAN BMC, reached as the tool will reach it: through the
// seam's sockets on the simulated machine, on the virtual clock, by a
// console written apart from it (lan_client.h).
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>

#include "in_process.h"
#include "lan_client.h"
#include "os/os.h"
#include "sim/bmc/bmc.h"
#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"

namespace {

using qbtest::lan::Bytes;
using qbtest::lan::Client;
using qbtest::lan::Login;
using qbtest::lan::SeamLink;

constexpr const char* kPassword = "lan-secret-17";

// One BMC with a driver node and a LAN interface, its buses as the example
// machine files have them; `lan_extra` is added to its "lan".
std::string lan_machine(const std::string& lan_extra = "", const std::string& bmc_extra = "")
{
    return std::string(R"({"clock": {"start": 1700000000}, "bmcs": [{"node": "/dev/ipmi0", "lan": {)") +
           R"("host": "bmc-a.lab", "ipv4": "192.0.2.10", "users": [)" +
           R"({"name": "admin", "password": "lan-secret-17", "privilege": "administrator"},)" +
           R"({"name": "op", "password": "op-secret", "privilege": "operator"},)" +
           R"({"name": "", "password": "", "privilege": "user"}])" + lan_extra + "}" + bmc_extra +
           R"(, "buses": {"0x01": {"devices": [)" +
           R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [2, 1, 0], "registers": {"0x30": "0x05"}},)" +
           R"({"type": "eeprom", "address": "0xA0", "contents": "51 42 34 30 2D 56 50 44"}]}}}]})";
}

sim::Machine& install(const std::string& json)
{
    sim::install(sim::load_machine_json(json));
    return sim::machine();
}

uint64_t now_us() { return sim::machine().clock.elapsed_us(); }

Login admin(uint8_t suite = 17)
{
    Login l;
    l.password = kPassword;
    l.suite = suite;
    return l;
}

// A session at administrator privilege, ready for Master Write-Read.
void open_admin(Client& c, uint8_t suite = 17)
{
    ASSERT_TRUE(c.open(admin(suite)).active());
    auto raised = c.call({0x18, 0x3B, 0x04});
    ASSERT_TRUE(raised);
    ASSERT_EQ((*raised)[2], 0x00);
}

const Bytes kReadChipId{0x18, 0x52, 0x01, 0xC0, 0x01, 0x63};

}  // namespace

// Every suite the BMC offers opens a session whose Master Write-Read reads
// the machine's controller; a suite it does not offer is refused at Open
// Session with the standard's code.
TEST(LanBmc, EverySuiteOfferedOpensASessionThatReadsTheController)
{
    for (uint8_t suite : {17, 3, 2, 1, 0, 16, 15}) {
        SCOPED_TRACE(static_cast<int>(suite));
        install(lan_machine(R"(, "cipher_suites": [17, 3, 2, 1, 0, 16, 15])"));
        SeamLink link("bmc-a.lab");
        Client c(link);
        open_admin(c, suite);
        auto answer = c.call(kReadChipId);
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer, (Bytes{0x1C, 0x52, 0x00, 0x4D}));
        EXPECT_EQ(c.discarded(), 0u);
        EXPECT_TRUE(c.close());
        EXPECT_EQ(sim::machine().bmcs[0].lan->sessions(), 0u);
    }
    // Refused: an algorithm no offered suite has, or offered algorithms in
    // a combination no suite has.
    install(lan_machine(R"(, "cipher_suites": [3])"));
    SeamLink link("192.0.2.10");
    EXPECT_EQ(Client(link).open(admin(17)).open_status, 0x04) << "invalid authentication algorithm";
    install(lan_machine(R"(, "cipher_suites": [3, 16])"));
    SeamLink other("192.0.2.10");
    EXPECT_EQ(Client(other).open(admin(17)).open_status, 0x11) << "no cipher suite match";
}

// Whatever road carries it, a request gets the same answer from the same
// machine: the LAN BMC hands its requests to the core the driver reaches.
TEST(LanBmc, AnswersAreByteForByteThoseOfTheDriverRoad)
{
    const Bytes requests[] = {
        kReadChipId,
        {0x18, 0x52, 0x01, 0xC0, 0x04, 0x60},        // version registers and chip ID
        {0x18, 0x52, 0x01, 0xA0, 0x08, 0x00},        // the EEPROM from its start
        {0x18, 0x52, 0x01, 0xA0, 0x03},              // ... and on from where the pointer stands
        {0x18, 0x52, 0x01, 0xC8, 0x01, 0x63},        // nobody at 0xC8: NAK
        {0x18, 0x52, 0x07, 0xC0, 0x01, 0x63},        // no bus 7
        {0x18, 0x52, 0x01},                          // too short
        {0x18, 0x01},                                // Get Device ID
        {0x30, 0x99},                                // unknown
    };
    std::vector<Bytes> by_lan, by_driver;
    install(lan_machine());
    {
        SeamLink link("bmc-a.lab");
        Client c(link);
        open_admin(c);
        for (const Bytes& r : requests) {
            auto a = c.call(r);
            ASSERT_TRUE(a) << "no answer to request " << &r - requests;
            by_lan.push_back(*a);
        }
    }
    sim::Machine& m = install(lan_machine());
    for (const Bytes& r : requests)
        by_driver.push_back(m.bmcs[0].core->exchange(sim::Road::Driver, r).response);
    EXPECT_EQ(by_lan, by_driver);
}

// What a console learns before any session: the capabilities (both forms),
// the suites page by page, the presence pong; with IPMI over LAN disabled
// only the pong answers, and it says IPMI is not there.
TEST(LanBmc, SessionlessAnswersAndLanDisabled)
{
    install(lan_machine(R"(, "kg": "bmc-key", "cipher_suites": [17, 3, 2, 1, 0, 16, 15])"));
    SeamLink link("bmc-a.lab");
    Client c(link);
    EXPECT_EQ(c.ping(), std::optional<bool>(true));
    // cc, channel 1, v2.0 capabilities, K_G set + named + anonymous users, v2.0 only
    EXPECT_EQ(c.auth_capabilities(true), (Bytes{0x00, 0x01, 0x80, 0x25, 0x02, 0, 0, 0, 0}));
    EXPECT_EQ(c.auth_capabilities(false), (Bytes{0x00, 0x01, 0x80, 0x25, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(c.auth_capabilities(true, 9), (Bytes{0xCC}));
    Bytes records;
    for (uint8_t page = 0; page < 4; ++page) {
        auto p = c.cipher_suite_page(page);
        ASSERT_TRUE(p);
        ASSERT_EQ((*p)[0], 0x00);
        records.insert(records.end(), p->begin() + 2, p->end());
    }
    Bytes expected;
    for (auto [id, a, i, k] : {std::array<uint8_t, 4>{17, 3, 4, 1}, {3, 1, 1, 1}, {2, 1, 1, 0}, {1, 1, 0, 0},
                               {0, 0, 0, 0}, {16, 3, 4, 0}, {15, 3, 0, 0}})
        expected.insert(expected.end(), {0xC0, id, a, static_cast<uint8_t>(0x40 | i), static_cast<uint8_t>(0x80 | k)});
    EXPECT_EQ(records, expected);

    install(lan_machine(R"(, "enabled": false)"));
    SeamLink off("bmc-a.lab");
    Client d(off, 500'000);
    EXPECT_EQ(d.ping(), std::optional<bool>(false));
    EXPECT_FALSE(d.auth_capabilities(true));
    EXPECT_FALSE(d.open(admin()).open_status);
}

// The refusals of the handshake, each with its code, and the wrong
// password, which the console finds out from RAKP 2 itself.
TEST(LanBmc, HandshakeRefusalsSayWhy)
{
    struct Case {
        const char* what;
        std::string machine;
        Login login;
        std::optional<uint8_t> open, rakp2;
        bool rakp2_ok;
    };
    auto login = [](std::string user, std::string password, uint8_t role = 4) {
        Login l;
        l.user = std::move(user);
        l.password = std::move(password);
        l.role = role;
        return l;
    };
    const Case cases[] = {
        {"wrong user", lan_machine(), login("nobody", kPassword), 0x00, 0x0D, false},
        {"wrong password", lan_machine(), login("admin", "guess"), 0x00, 0x00, false},
        {"above the user's privilege", lan_machine(), login("op", "op-secret", 4), 0x00, 0x0A, false},
        {"invalid role", lan_machine(), login("op", "op-secret", 0), 0x00, 0x09, false},
        {"no sessions left", lan_machine(R"(, "max_sessions": 1)"), login("admin", kPassword), 0x01, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        install(c.machine);
        SeamLink link("bmc-a.lab");
        if (std::string(c.what) == "no sessions left") {
            Client first(link);
            ASSERT_TRUE(first.open(admin()).active());
        }
        Client client(link);
        auto h = client.open(c.login);
        EXPECT_EQ(h.open_status, c.open);
        EXPECT_EQ(h.rakp2_status, c.rakp2);
        EXPECT_EQ(h.rakp2_code_ok, c.rakp2_ok);
        EXPECT_FALSE(h.active());
    }
    // A console that goes on with the wrong password is refused at RAKP 4,
    // and the operator privilege user can have a session up to operator.
    install(lan_machine());
    SeamLink link("bmc-a.lab");
    Client wrong(link);
    auto h = wrong.open(login("admin", "guess"), true);
    EXPECT_EQ(h.rakp4_status, 0x0F);
    EXPECT_EQ(sim::machine().bmcs[0].lan->sessions(), 0u);
    Client op(link);
    EXPECT_TRUE(op.open(login("op", "op-secret", 3)).active());
    EXPECT_TRUE(Client(link).open(login("", "", 2)).active()) << "the anonymous user";
}

// With K_G set the session keys come from it: a console that does not know
// it gets through RAKP 2 (the user's key) but not RAKP 4.
TEST(LanBmc, BmcKeyMakesTheSessionKeys)
{
    install(lan_machine(R"(, "kg": "the-bmc-key")"));
    SeamLink link("bmc-a.lab");
    Login with = admin();
    with.kg = "the-bmc-key";
    Client knows(link);
    EXPECT_TRUE(knows.open(with).active());
    Client ignorant(link);
    auto h = ignorant.open(admin());
    EXPECT_TRUE(h.rakp2_code_ok);
    EXPECT_EQ(h.rakp4_status, 0x00);
    EXPECT_FALSE(h.rakp4_code_ok);
}

// A session starts at User: Master Write-Read needs Operator (or what the
// machine file says), and the privilege goes no higher than RAKP 1 asked.
TEST(LanBmc, PrivilegeGatesMasterWriteRead)
{
    install(lan_machine());
    SeamLink link("bmc-a.lab");
    Client c(link);
    Login op;
    op.user = "op";
    op.password = "op-secret";
    op.role = 3;
    ASSERT_TRUE(c.open(op).active());
    EXPECT_EQ(c.call(kReadChipId), (Bytes{0x1C, 0x52, 0xD4}));
    EXPECT_EQ(c.call({0x18, 0x3B, 0x04}), (Bytes{0x1C, 0x3B, 0x81}));
    EXPECT_EQ(c.call({0x18, 0x3B, 0x03}), (Bytes{0x1C, 0x3B, 0x00, 0x03}));
    EXPECT_EQ(c.call(kReadChipId), (Bytes{0x1C, 0x52, 0x00, 0x4D}));

    install(lan_machine(R"(, "master_write_read_privilege": "administrator")"));
    SeamLink again("bmc-a.lab");
    Client d(again);
    ASSERT_TRUE(d.open(op).active());
    d.call({0x18, 0x3B, 0x03});
    EXPECT_EQ(d.call(kReadChipId), (Bytes{0x1C, 0x52, 0xD4}));
}

// Inside a session the BMC takes a packet once, within the window of
// sequence numbers, with the right integrity code and session ID; it drops
// anything else without a word.
TEST(LanBmc, PacketsOutsideTheRulesAreDroppedSilently)
{
    for (uint8_t suite : {17, 3}) {
        SCOPED_TRACE(static_cast<int>(suite));
        sim::Machine& m = install(lan_machine());
        SeamLink link("bmc-a.lab");
        Client c(link, 200'000);
        open_admin(c, suite);
        uint32_t s = c.next_sequence();
        Bytes first = c.packet(kReadChipId, s + 5);
        link.send(first);
        EXPECT_TRUE(c.await(0x52)) << "5 ahead is within the window";
        link.send(first);
        EXPECT_FALSE(c.await(0x52)) << "a repeat";
        link.send(c.packet(kReadChipId, s + 5 + 17));
        EXPECT_FALSE(c.await(0x52)) << "17 ahead";
        link.send(c.packet(kReadChipId, s + 2));
        EXPECT_TRUE(c.await(0x52)) << "3 behind, not taken before";
        link.send(c.packet(kReadChipId, s + 5 - 16));
        EXPECT_FALSE(c.await(0x52)) << "16 behind";
        Bytes forged = c.packet(kReadChipId, s + 6);
        forged[forged.size() - 1] ^= 0x01;
        link.send(forged);
        EXPECT_FALSE(c.await(0x52)) << "bad integrity code";
        Bytes stranger = c.packet(kReadChipId, s + 7);
        stranger[6] ^= 0xFF;
        link.send(stranger);
        EXPECT_FALSE(c.await(0x52)) << "no such session";
        EXPECT_EQ(m.bmcs[0].lan->datagrams_dropped(), 5u);
        EXPECT_TRUE(c.call(kReadChipId)) << "the session goes on";
    }
}

// A session without a packet for the idle timeout is gone; one that talks
// stays; Close Session ends one at once.
TEST(LanBmc, IdleSessionsTimeOutOnTheVirtualClock)
{
    sim::Machine& m = install(lan_machine(R"(, "session_timeout_s": 30)"));
    qbtest::ScopedWorkDir dir;
    ASSERT_TRUE(m.trace.open((dir.path() / "trace.txt").string()));
    SeamLink link("bmc-a.lab");
    Client c(link, 100'000);
    open_admin(c);
    timespec almost{29, 900'000'000};
    os::sys::nanosleep(&almost, nullptr);
    EXPECT_TRUE(c.call(kReadChipId)) << "29.9 s idle";
    timespec past{30, 0};
    os::sys::nanosleep(&past, nullptr);
    EXPECT_FALSE(c.call(kReadChipId)) << "30 s idle";
    EXPECT_EQ(m.bmcs[0].lan->sessions(), 0u);
    EXPECT_NE(dir.read("trace.txt").find("bmc0 lan session 1 timed out: 30 s without a packet"), std::string::npos);
}

// The answer leaves the BMC its answer time after the request, plus the
// core's latency and any delay a fault adds, exactly, on the virtual clock.
TEST(LanBmc, AnswerTimeIsExactOnTheVirtualClock)
{
    struct Case {
        std::string lan, bmc;
        uint64_t expected_us;
    };
    const Case cases[] = {
        {R"(, "answer_us": 1000)", "", 1000},
        {R"(, "answer_us": 1000)", R"(, "latency_us": 250)", 1250},
        {R"(, "answer_us": 0)", "", 0},
        {R"(, "answer_us": 1000, "faults": [{"message": "master_write_read", "delay_ms": 7}])", "", 8000},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.lan + t.bmc);
        install(lan_machine(t.lan, t.bmc));
        SeamLink link("bmc-a.lab");
        Client c(link);
        open_admin(c);
        uint64_t sent = now_us();
        ASSERT_TRUE(c.call(kReadChipId));
        EXPECT_EQ(now_us() - sent, t.expected_us);
    }
}

// Datagram faults by rule: each does to the datagrams what it says, and the
// console that checks what it takes still gets the BMC's own answer.
TEST(LanBmc, DatagramFaultsActOnTheMessagesTheyName)
{
    struct Case {
        const char* faults;
        bool answered;        // the console's one call gets its answer
        size_t discarded;     // datagrams the console threw away
        size_t left_waiting;  // datagrams still in the socket after
    };
    const Case cases[] = {
        {R"([{"message": "master_write_read", "drop": true}])", false, 0, 0},
        {R"([{"direction": "request", "message": "master_write_read", "drop": true}])", false, 0, 0},
        {R"([{"message": "master_write_read", "duplicate": true}])", true, 0, 1},
        {R"([{"message": "master_write_read", "forge": "session_id"}])", true, 1, 0},
        {R"([{"message": "master_write_read", "forge": "integrity"}])", true, 1, 0},
        {R"([{"message": "master_write_read", "forge": "sequence"}])", true, 1, 0},
        {R"([{"message": "master_write_read", "forge": "integrity", "drop": true}])", false, 1, 0},
        {R"([{"message": "master_write_read", "request": "18 52 01 C2", "drop": true}])", true, 0, 0},
        {R"([{"message": "master_write_read", "nth": 2, "drop": true}])", true, 0, 0},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.faults);
        install(lan_machine(std::string(R"(, "faults": )") + t.faults));
        SeamLink link("bmc-a.lab");
        Client c(link, 100'000);
        open_admin(c);
        auto answer = c.call(kReadChipId);
        EXPECT_EQ(answer.has_value(), t.answered);
        if (answer) {
            EXPECT_EQ(*answer, (Bytes{0x1C, 0x52, 0x00, 0x4D}));
        }
        EXPECT_EQ(c.discarded(), t.discarded);
        size_t waiting = 0;
        while (link.receive(0))
            ++waiting;
        EXPECT_EQ(waiting, t.left_waiting);
    }
}

// A reordered answer goes out after the next one; the status of a session
// set-up answer can be made another; a restart or a dropped session leaves
// the console's session unknown to the BMC.
TEST(LanBmc, ReorderStatusAndEvents)
{
    install(lan_machine(R"(, "faults": [{"message": "master_write_read", "reorder": true}])"));
    {
        SeamLink link("bmc-a.lab");
        Client c(link, 100'000);
        open_admin(c);
        link.send(c.packet(kReadChipId, c.next_sequence()));
        EXPECT_FALSE(c.await(0x52)) << "held back";
        Bytes id{0x18, 0x01};
        auto device = c.call(id);
        ASSERT_TRUE(device);
        EXPECT_EQ((*device)[1], 0x01);
        EXPECT_TRUE(link.receive(0)) << "the reordered answer came after";
    }
    install(lan_machine(R"(, "faults": [{"message": "rakp1", "status": "0x0D"}])"));
    {
        SeamLink link("bmc-a.lab");
        EXPECT_EQ(Client(link).open(admin()).rakp2_status, 0x0D);
        EXPECT_TRUE(Client(link).open(admin()).active()) << "only the first";
    }
    for (const char* event : {R"({"event": "restart", "before_request": 3, "down_ms": 500})",
                              R"({"event": "drop_sessions", "before_request": 3})",
                              R"({"event": "restart", "at": 5})"}) {
        SCOPED_TRACE(event);
        sim::Machine& m = install(lan_machine(std::string(R"(, "events": [)") + event + "]"));
        SeamLink link("bmc-a.lab");
        Client c(link, 100'000);
        open_admin(c);                       // request 1: the privilege
        EXPECT_TRUE(c.call(kReadChipId));    // request 2
        timespec wait{5, 0};
        os::sys::nanosleep(&wait, nullptr);
        EXPECT_FALSE(c.call(kReadChipId));   // request 3
        EXPECT_EQ(m.bmcs[0].lan->sessions(), 0u);
        if (std::string(event).find("down_ms") != std::string::npos) {
            EXPECT_FALSE(Client(link, 100'000).open(admin()).open_status) << "silent while it restarts";
        }
        timespec later{1, 0};
        os::sys::nanosleep(&later, nullptr);
        Client again(link, 100'000);
        EXPECT_TRUE(again.open(admin()).active()) << "a new session opens";
    }
}

// Chance faults are drawn from their own seed: the same machine loses the
// same datagrams every run, in both directions.
TEST(LanBmc, ChanceLossRepeatsWithItsSeed)
{
    auto run = [](uint32_t seed) {
        install(lan_machine(R"(, "faults": [{"direction": "both", "probability": 0.2, "count": "all", "drop": true, "seed": )" +
                            std::to_string(seed) + "}]"));
        SeamLink link("bmc-a.lab");
        Client c(link, 50'000);
        std::string pattern;
        for (int i = 0; i < 40; ++i)
            pattern += c.auth_capabilities(true) ? '.' : 'x';
        return pattern;
    };
    std::string a = run(3), b = run(3), other = run(4);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, other);
    size_t lost = static_cast<size_t>(std::count(a.begin(), a.end(), 'x'));
    EXPECT_GT(lost, 5u);   // about 36% of 40 (20% each way)
    EXPECT_LT(lost, 25u);
}

// Names and addresses as getaddrinfo gives them, and a datagram to an
// address where no BMC is goes nowhere.
TEST(LanBmc, ResolveAndUnreachableAddresses)
{
    install(lan_machine(R"(, "ipv6": "2001:db8::10", "port": 6230)") );
    struct Case {
        const char* host;
        const char* port;
        int result;
        int family;
    };
    const Case cases[] = {
        {"bmc-a.lab", "6230", 0, AF_INET},   {"BMC-A.LAB", "6230", 0, AF_INET},
        {"192.0.2.99", "623", 0, AF_INET},   {"2001:db8::10", "6230", 0, AF_INET6},
        {"bmc-b.lab", "623", EAI_NONAME, 0}, {"bmc-a.lab", "ipmi", EAI_SERVICE, 0},
        {"", "623", EAI_NONAME, 0},          {"bmc-a.lab", "70000", EAI_SERVICE, 0},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(std::string(t.host) + " " + t.port);
        sockaddr_storage addr{};
        socklen_t len = 0;
        EXPECT_EQ(os::sys::resolve(t.host, t.port, &addr, &len), t.result);
        if (t.result == 0) {
            EXPECT_EQ(addr.ss_family, t.family);
        }
    }
    SeamLink v6("2001:db8::10", "6230");
    EXPECT_TRUE(Client(v6).open(admin()).active());
    SeamLink nowhere("192.0.2.99", "623");
    uint64_t before = now_us();
    EXPECT_FALSE(Client(nowhere, 1'000'000).ping());
    EXPECT_EQ(now_us() - before, 1'000'000u) << "the wait ran out in virtual time";
}

// The trace shows the session's life and its requests, never the password,
// the BMC key, a session ID or a random number of the handshake.
TEST(LanBmc, TraceShowsSessionsButNoSecret)
{
    sim::Machine& m = install(lan_machine(R"(, "kg": "kg-secret-42")"));
    qbtest::ScopedWorkDir dir;
    ASSERT_TRUE(m.trace.open((dir.path() / "trace.txt").string()));
    std::string session_id;
    {
        SeamLink link("bmc-a.lab");
        Client c(link);
        Login l = admin();
        l.kg = "kg-secret-42";
        ASSERT_TRUE(c.open(l).active());
        c.call({0x18, 0x3B, 0x04});
        c.call(kReadChipId);
        Bytes info{0x18, 0x3D, 0xFF};
        for (int i = 0; i < 4; ++i)
            info.push_back(static_cast<uint8_t>(c.bmc_session_id() >> (8 * i)));
        c.call(info);
        session_id = sim::Trace::hex(std::span<const uint8_t>(info).subspan(3));
        EXPECT_TRUE(c.close());
    }
    std::string trace = dir.read("trace.txt");
    for (const char* line : {"bmc0 lan open session 1: cipher suite 17, privilege up to administrator",
                             "bmc0 lan session 1 rakp 2 for user \"admin\", role administrator",
                             "bmc0 lan session 1 active at privilege user", "bmc0 lan session 1 privilege administrator",
                             "bmc0 lan request: 18 52 01 C0 01 63", "bmc0 lan response: 1C 52 00 4D",
                             "bmc0 lan request: 18 3D FF [session 1]", "bmc0 lan request: 18 3C [session 1]",
                             "bmc0 lan session 1 closed"})
        EXPECT_NE(trace.find(line), std::string::npos) << line;
    for (const std::string& secret : {std::string("lan-secret-17"), std::string("kg-secret-42"),
                                      std::string("6C 61 6E 2D"), std::string("6B 67 2D 73"), session_id})
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
}
