// SPDX-License-Identifier: MIT
// A UDP relay on loopback between an IPMI LAN client and a BMC, which can
// send one of the client's datagrams twice or again later, lose datagrams
// by rule or by chance, and logs the session fields of every datagram: how
// a BMC meets a duplicated or a late (reordered) packet, what sequence
// numbers it gives, and how a client meets a lost one.
//
//   qb40-udp-relay --to PORT --port-file FILE --log FILE [--seconds S]
//                  [--duplicate N]... [--replay N:AFTER]...
//                  [--drop FROM:KIND:N]... [--loss PERCENT --seed S]
//
// The client's datagrams are counted from 1 as they arrive. --duplicate N
// sends the N-th to the BMC twice, back to back; --replay N:AFTER sends the
// N-th once more right after the AFTER-th. --drop FROM:KIND:N loses the N-th
// datagram of KIND that FROM ("client" or "bmc") sends, counted from 1 as
// they arrive: KIND "any", "clear" (outside a session: session ID 0),
// "session" (an IPMI payload in a session), or a session set-up payload,
// "open" (Open Session request or answer), "rakp1" to "rakp4". The relay
// cannot read a session's payloads; which session datagram is which follows
// from the order (a test learns it from a run without loss). --loss PERCENT
// loses each datagram of either direction with that chance, drawn from a
// generator seeded with --seed: a run repeats its draws. Every other answer
// of the BMC goes back to the client. The relay listens on 127.0.0.1 at a
// port the system picks, written to the port file once it is ready (to
// standard output with --port-file -), and ends after S seconds (default
// 60) or at SIGTERM.
//
// A log line per datagram: direction ("client" or "bmc"), its number,
// "dropped" when it was lost here, length, and for RMCP+ the payload type,
// whether encrypted and authenticated, the session ID and the session
// sequence number; a payload sent in the clear follows as hex.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr,
                 "qb40-udp-relay: %s\nusage: qb40-udp-relay --to PORT --port-file FILE --log FILE [--seconds S] "
                 "[--duplicate N]... [--replay N:AFTER]... [--drop FROM:KIND:N]... [--loss PERCENT --seed S]\n",
                 why);
    std::exit(2);
}

uint32_t little32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The kinds of datagram a --drop rule names.
enum Kind { ANY, CLEAR, SESSION, OPEN, RAKP1, RAKP2, RAKP3, RAKP4, KINDS };
constexpr const char* kKindNames[KINDS] = {"any", "clear", "session", "open", "rakp1", "rakp2", "rakp3", "rakp4"};

// The kinds a datagram is of besides "any": an IPMI message outside a
// session or inside one, or a session set-up payload (RMCP+ payload types
// 0x10 to 0x15: Open Session request and answer, RAKP 1 to 4).
std::vector<Kind> kinds_of(const std::vector<uint8_t>& d)
{
    std::vector<Kind> kinds{ANY};
    if (d.size() < 14 || d[0] != 0x06 || d[3] != 0x07)
        return kinds;
    if (d[4] != 0x06) {  // IPMI v1.5: session ID after the sequence number
        kinds.push_back(d.size() >= 13 && little32(&d[9]) != 0 ? SESSION : CLEAR);
        return kinds;
    }
    if (d.size() < 16)
        return kinds;
    uint8_t type = d[5] & 0x3F;
    if (type == 0x00)
        kinds.push_back(little32(&d[6]) != 0 ? SESSION : CLEAR);
    else if (type == 0x10 || type == 0x11)
        kinds.push_back(OPEN);
    else if (type >= 0x12 && type <= 0x15)
        kinds.push_back(static_cast<Kind>(RAKP1 + (type - 0x12)));
    return kinds;
}

// --drop FROM:KIND:N: the N-th datagram of KIND from the client or the BMC.
struct DropRule {
    bool from_bmc;
    Kind kind;
    unsigned nth;
};

DropRule parse_drop(const std::string& v)
{
    size_t first = v.find(':'), second = v.rfind(':');
    if (first == std::string::npos || second == first)
        usage("--drop takes FROM:KIND:N");
    std::string from = v.substr(0, first), kind = v.substr(first + 1, second - first - 1);
    unsigned nth = static_cast<unsigned>(std::atoi(v.substr(second + 1).c_str()));
    if ((from != "client" && from != "bmc") || nth == 0)
        usage("--drop takes FROM:KIND:N, FROM client or bmc, N from 1");
    for (int k = 0; k < KINDS; ++k)
        if (kind == kKindNames[k])
            return {from == "bmc", static_cast<Kind>(k), nth};
    usage("--drop: KIND is any, clear, session, open, rakp1, rakp2, rakp3 or rakp4");
}

// Whether a datagram is lost here: by a rule, or by chance. Counts the
// datagrams of each kind from each side, in the order they arrive.
class Losses {
public:
    void add(const DropRule& rule) { rules_.push_back(rule); }
    void chance(double percent, uint32_t seed)
    {
        percent_ = percent;
        random_.seed(seed);
    }
    bool lose(bool from_bmc, const std::vector<uint8_t>& d)
    {
        bool lost = false;
        for (Kind k : kinds_of(d)) {
            unsigned n = ++seen_[from_bmc][k];
            for (const DropRule& r : rules_)
                lost = lost || (r.from_bmc == from_bmc && r.kind == k && r.nth == n);
        }
        // One draw per datagram whatever the rules say, so that a rule does
        // not shift the chances of the datagrams after it.
        if (percent_ > 0 && std::uniform_real_distribution<double>(0, 100)(random_) < percent_)
            lost = true;
        return lost;
    }

private:
    std::vector<DropRule> rules_;
    unsigned seen_[2][KINDS] = {};
    double percent_ = 0;
    std::mt19937 random_;
};

// "len 32 rmcp+ payload 0x00 enc auth sid 0x... seq 5" and the clear payload.
std::string describe(const std::vector<uint8_t>& d)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "len %zu", d.size());
    std::string out = buf;
    if (d.size() < 16 || d[0] != 0x06 || d[3] != 0x07)
        return out;
    size_t body = 0;
    if (d[4] == 0x06) {
        uint8_t type = d[5];
        std::snprintf(buf, sizeof buf, " rmcp+ payload 0x%02X%s%s sid 0x%08X seq %u", type & 0x3F,
                      type & 0x80 ? " enc" : "", type & 0x40 ? " auth" : "", little32(&d[6]), little32(&d[10]));
        out += buf;
        if (!(type & 0x80))
            body = 16;
    } else {
        std::snprintf(buf, sizeof buf, " rmcp auth %u seq %u sid 0x%08X", d[4], little32(&d[5]), little32(&d[9]));
        out += buf;
        body = d[4] == 0 ? 14 : 30;
    }
    if (body && body < d.size()) {
        out += " clear";
        for (size_t i = body; i < d.size(); ++i) {
            std::snprintf(buf, sizeof buf, " %02X", d[i]);
            out += buf;
        }
    }
    return out;
}

int udp_socket()
{
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("qb40-udp-relay: socket");
        std::exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    int to_port = 0;
    unsigned seconds = 60;
    std::string port_file, log_file;
    std::map<unsigned, unsigned> duplicate;                 // datagram -> extra copies
    std::multimap<unsigned, unsigned> replay_after;         // after -> datagram
    Losses losses;
    double loss_percent = 0;
    long seed = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage(("missing value after " + a).c_str());
        std::string v = argv[++i];
        if (a == "--to")
            to_port = std::atoi(v.c_str());
        else if (a == "--port-file")
            port_file = v;
        else if (a == "--log")
            log_file = v;
        else if (a == "--seconds")
            seconds = static_cast<unsigned>(std::atoi(v.c_str()));
        else if (a == "--duplicate")
            ++duplicate[static_cast<unsigned>(std::atoi(v.c_str()))];
        else if (a == "--replay") {
            unsigned n = 0, after = 0;
            if (std::sscanf(v.c_str(), "%u:%u", &n, &after) != 2 || n == 0 || after < n)
                usage("--replay takes N:AFTER, AFTER not before N");
            replay_after.emplace(after, n);
        } else if (a == "--drop")
            losses.add(parse_drop(v));
        else if (a == "--loss") {
            loss_percent = std::atof(v.c_str());
            if (loss_percent <= 0 || loss_percent >= 100)
                usage("--loss takes a percentage above 0 and below 100");
        } else if (a == "--seed")
            seed = std::atol(v.c_str());
        else
            usage(("unknown option " + a).c_str());
    }
    if (to_port <= 0 || to_port > 65535 || port_file.empty() || log_file.empty())
        usage("--to, --port-file and --log are needed");
    if ((loss_percent > 0) != (seed >= 0))
        usage("--loss and --seed go together");
    if (loss_percent > 0)
        losses.chance(loss_percent, static_cast<uint32_t>(seed));

    FILE* log = std::fopen(log_file.c_str(), "w");
    if (!log)
        usage("cannot create the log");
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    int client_side = udp_socket();
    int bmc_side = udp_socket();
    sockaddr_in bmc{};
    bmc.sin_family = AF_INET;
    bmc.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bmc.sin_port = htons(static_cast<uint16_t>(to_port));
    if (::connect(bmc_side, reinterpret_cast<sockaddr*>(&bmc), sizeof bmc) != 0) {
        std::perror("qb40-udp-relay: connect");
        return 1;
    }
    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    getsockname(client_side, reinterpret_cast<sockaddr*>(&mine), &length);
    if (port_file == "-") {
        std::printf("%u\n", ntohs(mine.sin_port));
        std::fflush(stdout);
    } else {
        std::string temporary = port_file + ".tmp";
        if (FILE* f = std::fopen(temporary.c_str(), "w")) {
            std::fprintf(f, "%u\n", ntohs(mine.sin_port));
            std::fclose(f);
            std::rename(temporary.c_str(), port_file.c_str());
        }
    }

    std::vector<std::vector<uint8_t>> sent;  // the client's datagrams, by number - 1
    sockaddr_in client{};
    socklen_t client_length = 0;
    unsigned from_bmc = 0;
    auto to_bmc = [&](unsigned n, const char* why) {
        const std::vector<uint8_t>& d = sent[n - 1];
        ::send(bmc_side, d.data(), d.size(), 0);
        std::fprintf(log, "client %u%s %s\n", n, why, describe(d).c_str());
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop_requested && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{client_side, POLLIN, 0}, {bmc_side, POLLIN, 0}};
        int ready = ::poll(p, 2, 100);
        if (ready < 0 && errno != EINTR)
            break;
        uint8_t buffer[2048];
        if (ready > 0 && (p[0].revents & POLLIN)) {
            client_length = sizeof client;
            ssize_t n = ::recvfrom(client_side, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client),
                                   &client_length);
            if (n > 0) {
                sent.emplace_back(buffer, buffer + n);
                unsigned number = static_cast<unsigned>(sent.size());
                if (losses.lose(false, sent.back())) {
                    std::fprintf(log, "client %u dropped %s\n", number, describe(sent.back()).c_str());
                } else {
                    to_bmc(number, "");
                    for (unsigned copies = duplicate.count(number) ? duplicate[number] : 0; copies > 0; --copies)
                        to_bmc(number, " duplicate");
                }
                auto [first, last] = replay_after.equal_range(number);
                for (auto it = first; it != last; ++it)
                    to_bmc(it->second, " replayed");
            }
        }
        if (ready > 0 && (p[1].revents & POLLIN)) {
            ssize_t n = ::recv(bmc_side, buffer, sizeof buffer, 0);
            if (n > 0) {
                std::vector<uint8_t> d(buffer, buffer + n);
                bool lost = losses.lose(true, d);
                std::fprintf(log, "bmc %u%s %s\n", ++from_bmc, lost ? " dropped" : "", describe(d).c_str());
                if (client_length && !lost)
                    ::sendto(client_side, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&client),
                             client_length);
            }
        }
        std::fflush(log);
    }
    std::fclose(log);
    return 0;
}
