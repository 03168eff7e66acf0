// SPDX-License-Identifier: MIT
#include "reading.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <linux/ipmi.h>

#include "../basics/errno_names.h"
#include "../machine/machine.h"
#include "replay_machine_file.h"

namespace sim::capture {

namespace {

// The order in which the tool numbers its BMCs, so that the model names them alike.
int node_rank(const std::string& node)
{
    if (node == "/dev/ipmidev/0")
        return 0;
    return node.back() - '0';
}

int pair_of_status_port(uint16_t port)
{
    for (int i = 0; i < 3; ++i)
        if (kKcsPortPairs[i].status == port)
            return i;
    return -1;
}

SeenBmc& bmc_for_node(std::vector<SeenBmc>& bmcs, const std::string& node)
{
    for (SeenBmc& b : bmcs)
        if (b.node == node)
            return b;
    bmcs.push_back({node, -1, {}, -1, {}});
    return bmcs.back();
}

SeenBmc& bmc_for_pair(std::vector<SeenBmc>& bmcs, int pair)
{
    for (SeenBmc& b : bmcs)
        if (b.kcs == pair)
            return b;
    // The KCS interface belongs to the first BMC, as on a server with one.
    for (SeenBmc& b : bmcs)
        if (b.kcs < 0 && node_rank(b.node) == 0 && !b.node.empty()) {
            b.kcs = pair;
            return b;
        }
    bmcs.push_back({"", pair, {}, -1, {}});
    return bmcs.back();
}

bool is_port_of_a_pair(uint16_t port)
{
    for (const KcsPortPair& p : kKcsPortPairs)
        if (p.status == port || p.data == port)
            return true;
    return false;
}

void not_used(const Event& e, const std::string& why, Reading& r)
{
    r.unused.push_back("line " + std::to_string(e.line) + ": " + why);
}

std::string hex_number(uint64_t n)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(n));
    return text;
}

// A request on a descriptor that no open gave: the model has no BMC for it.
bool on_no_node(const Event& e, const std::map<int, std::string>& nodes, Reading& r)
{
    if (nodes.count(e.fd))
        return false;
    not_used(e, std::string("a request (") + kind_name(e.kind) + ") on descriptor " + std::to_string(e.fd) +
                    ", which no open gave",
             r);
    return true;
}

void read_exchange(const Event& e, const std::map<int, std::string>& nodes, Reading& r)
{
    if (on_no_node(e, nodes, r))
        return;
    auto node = nodes.find(e.fd);
    Seen s;
    s.line = e.line;
    s.t = e.t;
    s.req = e.req;
    s.send_err = e.send_err;
    s.select_err = e.select_err;
    s.recv_err = e.recv_err;
    std::deque<int64_t>& queued = r.unanswered[e.fd];
    auto earlier_id = std::find(queued.begin(), queued.end(), e.rid);
    if (e.received && e.rid != e.id && earlier_id != queued.end()) {
        // Those queued before it never came.
        queued.erase(queued.begin(), earlier_id + 1);
        s.stale = true;
        // The answer is the earlier request's: its device's answer.
        auto at = r.unanswered_at.find({e.fd, e.rid});
        if (at != r.unanswered_at.end() && e.recv_err == 0) {
            Seen& earlier = r.bmcs[at->second.first].seen[at->second.second];
            earlier.resp = e.resp;
            earlier.answered_later = true;
        }
    }
    s.wrong_id = e.received && e.rid != e.id && !s.stale;
    s.lost = e.send_err == 0 && !e.received && e.has_select && e.select_r == 0;
    if (e.received) {
        s.rt = e.rt;
        s.resp = e.resp;
        s.whole = e.recv_err == 0 && !s.wrong_id && !s.stale;
    }
    SeenBmc& bmc = bmc_for_node(r.bmcs, node->second);
    if (e.send_err == 0 && (!e.received || s.stale)) {
        queued.push_back(e.id);
        r.unanswered_at[{e.fd, e.id}] = {static_cast<size_t>(&bmc - r.bmcs.data()), bmc.seen.size()};
    }
    bmc.seen.push_back(std::move(s));
}

SeenBmc& bmc_for_lan(std::vector<SeenBmc>& bmcs, int number, const std::string& host)
{
    for (SeenBmc& b : bmcs)
        if (b.lan == number)
            return b;
    SeenBmc b;
    b.lan = number;
    b.lan_host = host;
    bmcs.push_back(std::move(b));
    return bmcs.back();
}

// A request in a session with the BMC of the last lan_session line.
void read_lan_exchange(const Event& e, SeenBmc* lan, Reading& r)
{
    if (!lan) {
        not_used(e, "a request in a session (lan_x) before any lan_session line", r);
        return;
    }
    Seen s;
    s.road = Road::Lan;
    s.line = e.line;
    s.t = e.t;
    s.req = e.req;
    s.rt = e.rt;
    s.lost = !e.received;
    if (e.received) {
        s.resp = e.resp;
        s.whole = true;
    }
    lan->seen.push_back(std::move(s));
}

void read_run(const Event& e, const std::map<int, std::string>& nodes, const std::vector<uint8_t>* image,
              Reading& r, SeenBmc* lan = nullptr)
{
    SeenBmc* bmc = nullptr;
    Road road = Road::Driver;
    std::optional<KcsPortsSeen> ports;
    if (e.kind == Kind::LanRun) {
        if (!lan) {
            not_used(e, "byte commands in a session (lan_run) before any lan_session line", r);
            return;
        }
        bmc = lan;
        road = Road::Lan;
    } else if (e.kind == Kind::ExchangeRun) {
        if (on_no_node(e, nodes, r))
            return;
        bmc = &bmc_for_node(r.bmcs, nodes.at(e.fd));
    } else {
        int pair = pair_of_status_port(e.status_port);
        if (pair < 0) {
            not_used(e, "byte commands at the ports " + hex_number(e.data_port) + "/" + hex_number(e.status_port) +
                            ", none of the KCS interface's",
                     r);
            return;
        }
        bmc = &bmc_for_pair(r.bmcs, pair);
        road = Road::Kcs;
        // Every command of the run went through the ports as its first did.
        ports = read_kcs_ports(e.ports, r.read_ns);
    }
    uint64_t sent = e.t;
    for (uint64_t i = 0; i < e.count; ++i) {
        uint64_t gap = e.gap, lat = e.latency;
        if (auto late = e.late.find(i); late != e.late.end())
            std::tie(gap, lat) = late->second;
        if (i > 0)
            sent += gap;
        Seen s;
        s.road = road;
        s.line = e.line;
        s.command = i;
        s.t = sent;
        s.req = run_request(e, i, image);
        s.resp = e.resp;
        s.whole = true;
        s.kcs = ports;
        s.rt = sent + lat;
        bmc->seen.push_back(std::move(s));
        sent = s.rt;
    }
}

// A real machine's sleeps last longer than asked (a guest's 55 ms tick
// sleeps 56 to 65 ms, more under load); the simulator's last exactly as
// long. The devices are inferred on a clock without that excess, so that a
// probe after a sleep falls on the model where the simulator's own probe
// falls, and a busy time inferred from the probes holds there. (The keys
// and signals keep the capture's own times: the operator's and the
// system's clock, not the devices'.)
void drop_oversleep(const std::vector<Event>& events, std::vector<SeenBmc>& bmcs)
{
    std::vector<std::pair<uint64_t, uint64_t>> excess_after;  // a sleep's end, the excess up to it
    uint64_t excess = 0, last_end = 0;
    for (const Event& e : events) {
        if (e.kind == Kind::Sleep && e.r == 0 && e.t > last_end + e.us) {
            excess += e.t - last_end - e.us;
            excess_after.emplace_back(e.t, excess);
        }
        last_end = std::max({last_end, e.t, e.st, e.rt, e.t1, e.t + e.d});
    }
    auto device_time = [&excess_after](uint64_t& t) {
        auto after = std::upper_bound(excess_after.begin(), excess_after.end(), std::make_pair(t, UINT64_MAX));
        if (t != 0 && after != excess_after.begin())
            t -= std::min(t, std::prev(after)->second);
    };
    for (SeenBmc& bmc : bmcs)
        for (Seen& s : bmc.seen)
            device_time(s.t), device_time(s.rt);
}

}  // namespace

Reading read_requests(Capture capture, const std::vector<uint8_t>* image)
{
    Reading r;
    r.header = std::move(capture.header);
    r.events = std::move(capture.events);
    if (auto ns = port_access_ns(r.events))
        r.read_ns = 2 * *ns;
    std::map<int, std::string> nodes;  // open descriptors
    std::map<std::string, unsigned> opens;
    int lan = -1;  // the --lan BMC of the session under way (an index into r.bmcs)
    auto lan_bmc = [&r, &lan]() -> SeenBmc* { return lan >= 0 ? &r.bmcs[static_cast<size_t>(lan)] : nullptr; };
    for (const Event& e : r.events) {
        bool signal = e.kind == Kind::Signal || !e.signals.empty() ||
                      std::any_of(e.ports.begin(), e.ports.end(), [](const PortToken& p) { return p.kind == '!'; });
        if (signal)
            r.last_signal_line = e.line;
        switch (e.kind) {
        case Kind::Open:
            if (e.r >= 0) {
                nodes[static_cast<int>(e.r)] = e.path;
                ++opens[e.path];
                bmc_for_node(r.bmcs, e.path);
            } else if (opens.count(e.path) && !r.vanishing.count(e.path)) {
                r.vanishing[e.path] = opens[e.path];
            }
            break;
        case Kind::Shell:
            r.modprobes.emplace_back(e.command, e.r);
            break;
        case Kind::Iopl:
            r.iopl = e.r == 0;
            break;
        case Kind::Inb:
            if (int pair = pair_of_status_port(e.port); pair >= 0) {
                if (e.port_value == 0xFF)
                    r.pairs_seen_absent.insert(pair);
                else
                    bmc_for_pair(r.bmcs, pair);
            } else if (!is_port_of_a_pair(e.port) && e.port_value != 0xFF) {
                // A port where nothing answers reads 0xFF on the model too.
                not_used(e, "a read of the port " + hex_number(e.port) + ", which no model device answers", r);
            }
            break;
        case Kind::Ioctl:
            not_used(e, "an ioctl the tool does not make (request " + hex_number(e.request) + ")", r);
            break;
        case Kind::Select:
            if (e.fd != 0)
                not_used(e, "a select the tool does not make (descriptor " + std::to_string(e.fd) + ")", r);
            break;
        case Kind::Hostname:
            if (e.r != 0)
                not_used(e, "a failing gethostname, which a model's host does not fail", r);
            break;
        case Kind::SystemFile:
            if (e.path != "/etc/machine-id" && e.path.find("product_serial") == std::string::npos)
                not_used(e, "the file " + e.path + ", which a model's host does not have", r);
            break;
        case Kind::Exchange:
            read_exchange(e, nodes, r);
            break;
        case Kind::Kcs: {
            int pair = pair_of_status_port(e.status_port);
            if (pair < 0)
                not_used(e, "a KCS transfer at the ports " + hex_number(e.data_port) + "/" + hex_number(e.status_port) +
                                ", none of the KCS interface's",
                         r);
            if (pair < 0 || e.req.empty())
                break;
            Seen s;
            s.road = Road::Kcs;
            s.line = e.line;
            s.kcs = read_kcs_ports(e.ports, r.read_ns);
            if (!s.kcs->request_complete)
                break;  // the BMC never had this request
            s.t = e.t;
            s.req = e.req;
            s.resp = e.resp;
            // An answer read to its end (the interface may then fail to
            // follow it with the dummy byte).
            s.whole = !e.resp.empty() && (s.kcs->answered || s.kcs->fault == KcsFault::NoDummy);
            s.rt = e.t1;
            bmc_for_pair(r.bmcs, pair).seen.push_back(std::move(s));
            break;
        }
        case Kind::ExchangeRun:
        case Kind::KcsRun:
            read_run(e, nodes, image, r);
            break;
        case Kind::LanSession:
            lan = static_cast<int>(&bmc_for_lan(r.bmcs, e.bmc, e.host) - r.bmcs.data());
            break;
        case Kind::LanExchange:
            read_lan_exchange(e, lan_bmc(), r);
            break;
        case Kind::LanRun:
            read_run(e, nodes, image, r, lan_bmc());
            break;
        default:
            break;
        }
    }
    drop_oversleep(r.events, r.bmcs);
    std::stable_sort(r.bmcs.begin(), r.bmcs.end(), [](const SeenBmc& a, const SeenBmc& b) {
        return (a.node.empty() ? 9 : node_rank(a.node)) < (b.node.empty() ? 9 : node_rank(b.node));
    });
    return r;
}

}  // namespace sim::capture
