// SPDX-License-Identifier: MIT
#include "model_machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <set>

#include "../bmc/bmc.h"
#include "../replay/capture_file.h"
#include "../devices/devices.h"
#include "../basics/errno_names.h"
#include "../devices/image_version.h"
#include "../machine/machine.h"
#include "../machine/signals.h"
#include "answer_time.h"
#include "fault_rules.h"
#include "kcs_ports.h"
#include "replay_machine_file.h"
#include "seen.h"

namespace sim::capture {

namespace {

constexpr uint8_t kMasterWriteRead = 0x52;
constexpr uint8_t kDefaultMux = 0xE6;     // where the tool switches a mux for a read
constexpr uint64_t kEraseDefaultMs = 500;  // the device model's defaults
constexpr uint64_t kResetDefaultMs = 5000;
constexpr size_t kMostRules = 400;  // past this, a capture is no longer worth explaining rule by rule

std::string hex_text(const std::vector<uint8_t>& bytes) { return Trace::hex(bytes); }

std::string byte_text(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
    return text;
}

// The order in which the tool numbers its BMCs, so that the model names them alike.
int node_rank(const std::string& node)
{
    if (node == "/dev/ipmidev/0")
        return 0;
    return node.back() - '0';
}

// ---- the capture read into requests per BMC -------------------------------

struct Reading {
    Header header;
    std::vector<Event> events;
    std::vector<SeenBmc> bmcs;
    std::map<std::string, unsigned> vanishing;
    std::vector<std::pair<std::string, int64_t>> modprobes;
    std::optional<bool> iopl;
    std::set<int> pairs_seen_absent;
    uint64_t read_ns = 2000;  // one status read of the host and its delay write
    // Per descriptor: the message ids of the requests whose answers the
    // tool has not received (the driver keeps them queued, oldest first),
    // and where each of them is (its BMC's place in `bmcs`, its own in `seen`).
    std::map<int, std::deque<int64_t>> unanswered;
    std::map<std::pair<int, int64_t>, std::pair<size_t, size_t>> unanswered_at;
};

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
    bmcs.push_back({node, -1, {}});
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
    bmcs.push_back({"", pair, {}});
    return bmcs.back();
}

void read_exchange(const Event& e, const std::map<int, std::string>& nodes, Reading& r)
{
    auto node = nodes.find(e.fd);
    if (node == nodes.end())
        return;
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

void read_run(const Event& e, const std::map<int, std::string>& nodes, const std::vector<uint8_t>* image,
              Reading& r)
{
    SeenBmc* bmc = nullptr;
    Road road = Road::Driver;
    std::optional<KcsPortsSeen> ports;
    if (e.kind == Kind::ExchangeRun) {
        auto node = nodes.find(e.fd);
        if (node == nodes.end())
            return;
        bmc = &bmc_for_node(r.bmcs, node->second);
    } else {
        int pair = pair_of_status_port(e.status_port);
        if (pair < 0)
            return;
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

Reading read_capture_lines(const std::vector<std::string>& lines, const std::vector<uint8_t>* image)
{
    Reading r;
    nlohmann::json header = nlohmann::json::parse(lines.at(0));
    r.header = parse_header(Field(header, "line 1"));
    for (size_t i = 1; i < lines.size(); ++i) {
        nlohmann::json e = nlohmann::json::parse(lines[i]);
        r.events.push_back(parse_event(Field(e, "line " + std::to_string(i + 1)), i + 1));
    }
    if (auto ns = port_access_ns(r.events))
        r.read_ns = 2 * *ns;
    std::map<int, std::string> nodes;  // open descriptors
    std::map<std::string, unsigned> opens;
    for (const Event& e : r.events) {
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
            }
            break;
        case Kind::Exchange:
            read_exchange(e, nodes, r);
            break;
        case Kind::Kcs: {
            int pair = pair_of_status_port(e.status_port);
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

// ---- devices ---------------------------------------------------------------

// One Master Write-Read at one device, as the BMC passed it on.
struct Op {
    uint64_t t = 0;
    std::vector<uint8_t> write;
    size_t read = 0;
    bool ack = false;
    std::vector<uint8_t> data;
};

struct Place {
    uint8_t bus = 0;
    unsigned channel = 0;  // behind the bus's mux; 0: on the bus itself
    uint8_t addr = 0;
    bool operator<(const Place& o) const
    {
        return std::tie(bus, channel, addr) < std::tie(o.bus, o.channel, o.addr);
    }
};

struct BusPlan {
    std::map<Place, std::vector<Op>> places;
    std::map<uint8_t, uint8_t> mux_of;  // bus -> its mux's address
    std::set<uint8_t> buses;            // bus bytes that exist
    std::set<uint8_t> switched;         // buses whose mux the BMC switches
};

bool is_mwr(const Seen& s)
{
    // An answer with another message id is still the device's answer.
    bool device_answer = s.whole || (s.wrong_id && s.recv_err == 0) || s.answered_later;
    return device_answer && s.req.size() >= 5 && s.req[1] == kMasterWriteRead && s.resp.size() >= 3 &&
           s.resp[1] == kMasterWriteRead;
}

unsigned lowest_channel(uint8_t mask)
{
    for (unsigned c = 1; c <= 8; ++c)
        if (mask & (1u << (c - 1)))
            return c;
    return 0;
}

// Whether the device at `addr` on bus `bus` reads back what was last written
// to it, or the channel the BMC last switched it to, as a mux does.
bool behaves_as_mux(const SeenBmc& bmc, uint8_t bus, uint8_t addr)
{
    uint8_t mask = 0;
    for (const Seen& s : bmc.seen) {
        if (!is_mwr(s) || s.resp[2] == kCcInvalidField)
            continue;
        uint8_t hi = s.req[2] >> 4;
        if ((s.req[2] & 0x0F) == bus && hi != 0)
            mask = hi <= 8 ? static_cast<uint8_t>(1u << (hi - 1)) : 0;
        if (s.req[2] != bus || s.req[3] != addr || s.resp[2] != kCcOk)
            continue;
        if (s.req.size() > 5)
            mask = s.req.back();
        for (size_t k = 3; k < s.resp.size(); ++k)
            if (s.resp[k] != mask)
                return false;
    }
    return true;
}

BusPlan plan_buses(const SeenBmc& bmc, const std::set<uint8_t>& mux_addresses)
{
    BusPlan plan;
    // Which buses exist (a device acknowledged there, or did not: an answer
    // of the BMC's own, such as 0xC1 for a command it does not know, says
    // nothing of the bus), and which have a mux at an address the tool uses
    // for one.
    for (const Seen& s : bmc.seen) {
        if (!is_mwr(s) || (s.resp[2] != kCcOk && s.resp[2] != kCcI2cNak))
            continue;
        plan.buses.insert(s.req[2]);
        if (s.resp[2] == kCcOk && (s.req[2] >> 4) == 0 && mux_addresses.count(s.req[3]) &&
            !plan.mux_of.count(s.req[2]) && behaves_as_mux(bmc, s.req[2], s.req[3]))
            plan.mux_of[s.req[2]] = s.req[3];
    }
    for (uint8_t b : std::set<uint8_t>(plan.buses))
        if ((b >> 4) != 0 && plan.mux_of.count(b & 0x0F)) {
            plan.switched.insert(b & 0x0F);
            plan.buses.erase(b);
        }
    // Twice: first to learn which devices answer with every channel off (on
    // the bus itself), then to place each request.
    std::map<uint8_t, std::set<uint8_t>> on_bus;
    for (int pass = 0; pass < 2; ++pass) {
        std::map<uint8_t, uint8_t> mask;  // bus -> its mux's channels
        for (const Seen& s : bmc.seen) {
            if (!is_mwr(s) || s.resp[2] == kCcInvalidField)
                continue;
            Op op;
            op.t = s.t;
            op.write.assign(s.req.begin() + 5, s.req.end());
            op.read = s.req[4];
            op.ack = s.resp[2] == kCcOk;
            op.data.assign(s.resp.begin() + 3, s.resp.end());
            if (s.resp[2] != kCcOk && s.resp[2] != kCcI2cNak)
                continue;  // not the device's answer
            uint8_t bb = s.req[2], b = bb & 0x0F, hi = bb >> 4;
            Place p{bb, 0, s.req[3]};
            auto mux = plan.mux_of.find(b);
            if (hi == 0 && mux != plan.mux_of.end() && mux->second == s.req[3]) {
                if (op.ack && !op.write.empty())
                    mask[b] = op.write.back();
            } else if (hi != 0 && plan.switched.count(b)) {
                mask[b] = hi <= 8 ? static_cast<uint8_t>(1u << (hi - 1)) : 0;
                p.bus = b;
                if (!on_bus[b].count(s.req[3]))
                    p.channel = hi <= 8 ? hi : 0;
            } else if (hi == 0 && mux != plan.mux_of.end()) {
                if (mask[b] == 0 && op.ack && pass == 0)
                    on_bus[b].insert(s.req[3]);
                if (mask[b] != 0 && !on_bus[b].count(s.req[3]))
                    p.channel = lowest_channel(mask[b]);
            }
            if (pass == 1)
                plan.places[p].push_back(std::move(op));
        }
    }
    return plan;
}

bool is_flash_command(const std::vector<uint8_t>& w) { return w.size() >= 3 && w[0] == 0x55 && w[1] == 0xAA; }

// The command code of a flash command in either set.
uint8_t flash_code(const std::vector<uint8_t>& w)
{
    if (w.size() >= 4 && w[2] == 0xF2)
        return w[3];
    return w[2];
}

// How long a controller stayed busy after the command at `from`: the
// window in milliseconds the first acknowledgement after it allows, or
// nullopt when nothing came after it.
struct Window {
    uint64_t low_ms = 0;   // more than the last refusal
    std::optional<uint64_t> high_ms;  // at most the first acknowledgement
};
std::optional<Window> busy_window(const std::vector<Op>& ops, size_t from)
{
    std::optional<uint64_t> refused;
    for (size_t j = from + 1; j < ops.size(); ++j) {
        uint64_t since = ops[j].t - ops[from].t;
        if (ops[j].ack) {
            Window w{refused ? *refused / 1000 + 1 : 0, since / 1000};
            return w;
        }
        refused = since;
    }
    if (!refused)
        return std::nullopt;
    return Window{*refused / 1000 + 1, std::nullopt};
}

// A time the window allows. Between a refusal and an acknowledgement, the
// middle: on a real server the tool's ticks run late (a guest's 55 ms tick
// sleeps 56 to 65 ms), so a time at either edge can move a probe of the run
// on the model across it, where the simulator's ticks are exact. Otherwise
// the default when the window allows it.
uint64_t pick_ms(const Window& w, uint64_t fallback)
{
    if (w.high_ms && w.low_ms > 0)
        return std::max(w.low_ms, (w.low_ms + *w.high_ms) / 2);
    uint64_t ms = std::max(w.low_ms, fallback);
    if (w.high_ms && ms > *w.high_ms)
        ms = std::max(w.low_ms, *w.high_ms);
    return ms;
}

nlohmann::json controller_candidate(const std::vector<Op>& ops, std::vector<std::string>& notes,
                                    const std::string& where)
{
    std::map<uint8_t, uint8_t> first;
    std::set<uint8_t> written;
    bool versions_changed = false;
    int ptr = 0;
    std::optional<size_t> erase, reset;
    for (size_t i = 0; i < ops.size(); ++i) {
        const Op& op = ops[i];
        if (!op.write.empty() && op.ack) {
            if (is_flash_command(op.write)) {
                uint8_t code = flash_code(op.write);
                bool register_read = op.write.size() == 4 && op.write[2] == 0xF2 && op.write[3] < 0xE0;
                if (code == 0xEE && !erase)
                    erase = i;
                if ((code == 0xF0 || code == 0xF1) && !register_read) {
                    if (!reset)
                        reset = i;
                    versions_changed = versions_changed || code == 0xF0;
                    written.clear();
                }
                ptr = -1;
            } else if (op.write.size() == 1) {
                ptr = op.write[0];
            } else {
                written.insert(op.write[0]);
                ptr = -1;
            }
        }
        if (op.read > 0 && op.ack && ptr >= 0) {
            for (size_t k = 0; k < op.data.size(); ++k) {
                uint8_t reg = static_cast<uint8_t>(ptr + static_cast<int>(k));
                bool version = reg >= 0x60 && reg <= 0x62;
                if (!written.count(reg) && !first.count(reg) && !(versions_changed && version))
                    first[reg] = op.data[k];
            }
            ptr = (ptr + static_cast<int>(op.data.size())) & 0xFF;
        }
    }
    nlohmann::json c = {{"type", "qb40xx"}, {"address", ""}};
    c["chip_id"] = first.count(0x63) ? first[0x63] : 0;
    if (first.count(0x60) && first.count(0x61) && first.count(0x62))
        c["firmware"] = {first[0x60], first[0x61], first[0x62]};
    else
        notes.push_back(where + ": firmware version not read, default used");
    if (first.count(0x64))
        c["revision"] = first[0x64];
    nlohmann::json regs = nlohmann::json::object();
    for (auto [reg, v] : first)
        if ((reg < 0x60 || reg > 0x64) && v != 0)
            regs[byte_text(reg)] = byte_text(v);
    if (!regs.empty())
        c["registers"] = regs;
    // How long the controller stayed busy after the command at `from`, and
    // what the capture could not tell of it.
    auto busy_time = [&](const char* what, const char* field, std::optional<size_t> from, uint64_t fallback) {
        std::optional<Window> w = from ? busy_window(ops, *from) : std::nullopt;
        if (!w) {
            notes.push_back(where + ": " + what + " time: not captured, default used");
            return;
        }
        if (!w->high_ms) {
            // Silent to the end of the capture: past the default, a reset
            // it never came back from; else a time well past the last
            // refusal, which the run on the model may probe a little later.
            if (std::string(what) == "reset" && w->low_ms >= fallback) {
                c["faults"]["never_back"] = true;
                notes.push_back(where + ": never answered again after its reset (" + std::to_string(w->low_ms) +
                                " ms to the end of the capture)");
                return;
            }
            w->low_ms *= 2;
        }
        uint64_t ms = pick_ms(*w, fallback);
        c[field] = ms;
        if (!w->high_ms || w->low_ms == 0)
            notes.push_back(where + ": " + what + " time: only bounded by the capture, " + std::to_string(ms) +
                            " ms used");
    };
    busy_time("erase", "erase_ms", erase, kEraseDefaultMs);
    busy_time("reset", "reset_ms", reset, kResetDefaultMs);
    return c;
}

nlohmann::json eeprom_candidate(const std::vector<Op>& ops)
{
    std::map<unsigned, uint8_t> seen;
    std::set<unsigned> written;
    unsigned ptr = 0;
    for (const Op& op : ops) {
        if (!op.ack)
            continue;
        if (!op.write.empty()) {
            ptr = op.write[0];
            for (size_t k = 1; k < op.write.size(); ++k)
                written.insert((ptr++) & 0xFF);
            ptr &= 0xFF;
        }
        for (uint8_t v : op.data) {
            if (!seen.count(ptr) && !written.count(ptr))
                seen[ptr] = v;
            ptr = (ptr + 1) & 0xFF;
        }
    }
    std::vector<uint8_t> contents;
    if (!seen.empty())
        contents.assign(seen.rbegin()->first + 1, 0xFF);
    for (auto [at, v] : seen)
        contents[at] = v;
    while (!contents.empty() && contents.back() == 0xFF)
        contents.pop_back();
    nlohmann::json e = {{"type", "eeprom"}, {"address", ""}};
    if (!contents.empty())
        e["contents"] = hex_text(contents);
    return e;
}

nlohmann::json bytes_candidate(const std::vector<Op>& ops)
{
    std::vector<uint8_t> longest;
    for (const Op& op : ops)
        if (op.ack && op.data.size() > longest.size())
            longest = op.data;
    while (!longest.empty() && longest.back() == 0xFF)
        longest.pop_back();
    return {{"type", "bytes"}, {"address", ""}, {"contents", hex_text(longest)}};
}

// How many of the device's answers the candidate gets wrong.
size_t misses(const nlohmann::json& candidate, const std::vector<Op>& ops)
{
    VirtualClock clock(0, false);
    Trace trace(clock);
    Context context{clock, trace};
    PlacedDevice placed;
    try {
        placed = make_device(Field(candidate, "candidate"), context, "model");
    } catch (const MachineFileError&) {
        return SIZE_MAX;
    }
    size_t wrong = 0;
    for (const Op& op : ops) {
        if (op.t > clock.elapsed_us())
            clock.advance_to(op.t);
        bool ack = op.write.empty() || placed.device->write(op.write);
        std::vector<uint8_t> data(op.read, 0);
        if (ack && op.read > 0)
            ack = placed.device->read(data);
        if (ack != op.ack || (ack && data != op.data))
            ++wrong;
    }
    return wrong;
}

// The device that explains the answers at one place best.
nlohmann::json infer_device(const Place& p, const std::vector<Op>& ops, std::vector<std::string>& notes,
                            const std::string& where)
{
    std::vector<std::string> controller_notes;
    std::vector<nlohmann::json> candidates = {controller_candidate(ops, controller_notes, where),
                                              eeprom_candidate(ops), bytes_candidate(ops)};
    // Among candidates that explain as much, the one the requests point to:
    // a controller is asked for its chip ID or sent flash commands, an EEPROM
    // is read from an address, a plain device just read.
    bool controller = std::any_of(ops.begin(), ops.end(), [](const Op& o) {
        return (o.write.size() == 1 && o.write[0] == 0x63) || is_flash_command(o.write);
    });
    bool pointed = std::any_of(ops.begin(), ops.end(), [](const Op& o) { return !o.write.empty(); });
    if (!controller)
        std::rotate(candidates.begin(), candidates.begin() + (pointed ? 1 : 2), candidates.end());
    size_t best = 0, best_misses = SIZE_MAX;
    for (size_t i = 0; i < candidates.size(); ++i) {
        candidates[i]["address"] = byte_text(p.addr);
        size_t m = misses(candidates[i], ops);
        if (m < best_misses) {
            best = i;
            best_misses = m;
        }
    }
    if (candidates[best]["type"] == "qb40xx")
        notes.insert(notes.end(), controller_notes.begin(), controller_notes.end());
    return candidates[best];
}

bool answered(const std::vector<Op>& ops)
{
    return std::any_of(ops.begin(), ops.end(), [](const Op& o) { return o.ack; });
}

nlohmann::json bus_json(const SeenBmc& bmc, const std::set<uint8_t>& mux_addresses, std::vector<std::string>& notes,
                        const std::string& name)
{
    BusPlan plan = plan_buses(bmc, mux_addresses);
    nlohmann::json buses = nlohmann::json::object();
    for (uint8_t b : plan.buses)
        buses[byte_text(b)] = {{"devices", nlohmann::json::array()}};
    std::map<uint8_t, nlohmann::json> muxes;  // bus -> channels
    for (const auto& [p, ops] : plan.places) {
        auto mux = plan.mux_of.find(p.bus);
        if (mux != plan.mux_of.end() && p.channel == 0 && p.addr == mux->second)
            continue;
        if (!answered(ops))
            continue;
        std::string where = name + " bus " + byte_text(p.bus) + (p.channel ? " ch " + std::to_string(p.channel) : "") +
                            " " + byte_text(p.addr);
        nlohmann::json d = infer_device(p, ops, notes, where);
        if (p.channel)
            muxes[p.bus][std::to_string(p.channel)].push_back(d);
        else
            buses[byte_text(p.bus)]["devices"].push_back(d);
    }
    for (auto [b, addr] : plan.mux_of) {
        nlohmann::json m = {{"type", "mux"}, {"address", byte_text(addr)}};
        if (muxes.count(b))
            m["channels"] = muxes[b];
        buses[byte_text(b)]["devices"].push_back(m);
        if (plan.switched.count(b))
            buses[byte_text(b)]["bmc_switches_mux"] = true;
    }
    return buses;
}

// ---- timing and the KCS interface ------------------------------------------

// How the BMC's KCS interface went through the handshake where the IPMI
// standard leaves it the choice: a dummy byte after each byte written (and
// which), the request's last byte held (IBF) until the answer, the C/D flag
// after a command. Where it holds the byte, an answer that never came shows
// as IBF held to the end: a lost answer, not an interface that hangs.
void add_kcs_handshake(SeenBmc& b, nlohmann::json& bmc, std::vector<std::string>& notes)
{
    KcsHandshake h;
    for (const Seen& s : b.seen) {
        if (!s.kcs)
            continue;
        h.dummy_after_write = h.dummy_after_write || s.kcs->dummy_after_write;
        h.ibf_while_busy = h.ibf_while_busy || (s.kcs->ibf_while_busy.value_or(false) && s.kcs->answered);
        h.command_flag = h.command_flag && s.kcs->command_flag.value_or(true);
        h.dummy_is_last_byte = h.dummy_is_last_byte || s.kcs->dummy_not_zero;
    }
    if (!h.dummy_after_write && !h.ibf_while_busy && h.command_flag && !h.dummy_is_last_byte)
        return;
    bmc["kcs_handshake"] = {{"dummy_after_write", h.dummy_after_write},
                            {"ibf_while_busy", h.ibf_while_busy},
                            {"command_flag", h.command_flag},
                            {"dummy_is_last_byte", h.dummy_is_last_byte}};
    std::vector<std::string> ways;
    if (h.dummy_after_write)
        ways.push_back("a dummy byte after every byte written");
    if (h.ibf_while_busy)
        ways.push_back("the request's last byte held (IBF) while the BMC works");
    if (!h.command_flag)
        ways.push_back("no C/D flag after a command");
    if (h.dummy_is_last_byte)
        ways.push_back("the dummy byte the last one put out");
    std::string text;
    for (const std::string& w : ways)
        text += (text.empty() ? "" : ", ") + w;
    notes.push_back(b.name() + ": KCS handshake: " + text);
    if (!h.ibf_while_busy)
        return;
    for (Seen& s : b.seen)
        if (s.kcs && s.kcs->fault == KcsFault::IbfStuck && s.kcs->stuck_us == 0) {
            s.kcs->fault = KcsFault::None;
            s.kcs->lost = true;
        }
}

// The BMC's usual time to answer: through the driver from its answer
// times, else at the KCS ports from the status reads before each answer
// (each read and the tool's delay write after it cost two port accesses,
// so it is known to within two of them).
void add_answer_time(const SeenBmc& b, uint64_t read_ns, nlohmann::json& bmc, std::vector<std::string>& notes)
{
    bool driver = std::any_of(b.seen.begin(), b.seen.end(), [](const Seen& s) { return s.road == Road::Driver; });
    std::vector<uint64_t> times;
    for (const Seen& s : b.seen) {
        if (driver && s.road == Road::Driver && s.whole && s.rt >= s.t)
            times.push_back(s.rt - s.t);
        else if (!driver && s.kcs && s.kcs->answered)
            times.push_back(s.kcs->busy_reads);
    }
    TypicalTime typical = typical_time(times, driver ? 1000 : std::max<uint64_t>(1, 1000000 / read_ns));
    if (typical.of == 0) {
        if (b.kcs >= 0 && !driver)
            notes.push_back(b.name() + ": KCS answer time: not captured, none used");
        return;
    }
    // At the ports the answer came after the last read that did not see
    // it; just after it, so that a delay added to it falls between the
    // same two reads as the capture's. Where the first read saw it, at once:
    // a microsecond is several reads at a real interface's pace.
    uint64_t us = driver ? typical.value : typical.value ? typical.value * read_ns / 1000 + 1 : 0;
    if (us)
        bmc["latency_us"] = us;
    notes.push_back(b.name() + ": answer time " + std::to_string(us) + " us" +
                    (driver ? " through the driver, " : " at the KCS ports (" + std::to_string(typical.value) +
                                                            " status reads), ") +
                    typical.how());
}

// ---- the machine level -----------------------------------------------------

std::set<uint8_t> mux_addresses_of(const Header& h)
{
    std::set<uint8_t> m = {kDefaultMux};
    for (const std::string& a : h.arguments) {
        if (a.size() > 3 && (a.compare(0, 3, "-ma") == 0 || a.compare(0, 3, "-MA") == 0)) {
            auto v = parse_unsigned("0x" + a.substr(3));
            if (v && *v <= 0xFF)
                m.insert(static_cast<uint8_t>(*v));
        }
    }
    return m;
}

void add_driver(const Reading& r, nlohmann::json& m, std::vector<std::string>& notes)
{
    bool failed = std::any_of(r.modprobes.begin(), r.modprobes.end(), [](const auto& p) { return p.second != 0; });
    bool opened = std::any_of(r.bmcs.begin(), r.bmcs.end(), [](const SeenBmc& b) { return !b.node.empty(); });
    if (failed) {
        m["driver"] = "absent";
    } else if (!r.modprobes.empty()) {
        // Loadable when nothing opened before the modules were loaded; a node
        // that opened first and vanished later leaves a loaded driver.
        bool opened_first = false;
        for (const Event& e : r.events) {
            if (e.kind == Kind::Shell)
                break;
            opened_first = opened_first || (e.kind == Kind::Open && e.r >= 0);
        }
        m["driver"] = opened_first ? "loaded" : "loadable";
    } else if (!opened) {
        bool tried = std::any_of(r.events.begin(), r.events.end(), [](const Event& e) { return e.kind == Kind::Open; });
        m["driver"] = "absent";
        notes.push_back(tried ? "driver modules: not loaded by the run, taken as absent"
                              : "driver: never opened, taken as absent");
    }
}

void add_host(const Reading& r, nlohmann::json& m, std::vector<std::string>& notes)
{
    bool report = false;
    for (const Event& e : r.events) {
        if (e.kind == Kind::Hostname && e.r == 0) {
            m["host"]["name"] = e.text;
            report = true;
        }
        if (e.kind != Kind::SystemFile)
            continue;
        report = true;
        const char* key = e.path.find("product_serial") != std::string::npos ? "product_serial"
                          : e.path == "/etc/machine-id"                    ? "machine_id"
                                                                            : nullptr;
        if (!key)
            continue;
        if (e.r < 0) {
            m["host"][key] = nullptr;
        } else {
            std::string text = e.text;
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            m["host"][key] = text;
        }
    }
    if (!report)
        notes.push_back("host name, product serial and machine id: not read by the run, defaults used");
}

// Microseconds as the seconds of a machine file, exactly.
nlohmann::json seconds_text(uint64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
    return nlohmann::json::parse(text);
}

// Each key where the run read it: from the first look that saw it waiting,
// or the moment it was read.
void add_keys(const Reading& r, nlohmann::json& m, std::vector<std::string>& notes)
{
    bool terminal = false, any_key = false;
    for (const Event& e : r.events) {
        if (e.kind == Kind::Tcgetattr && e.r == 0)
            terminal = true;
        // A key read, or a look that found none waiting: the input was no empty file.
        if ((e.kind == Kind::Key && e.key >= 0) || (e.kind == Kind::Poll && e.r == 0) || !e.polls.empty())
            any_key = true;
    }
    if (!terminal && !any_key) {
        notes.push_back("operator: no key read, the standard input of the run on the model is used");
        return;
    }
    // Each key at the tool's look at the input where it came (a check
    // whether a key waits, or a read), not at a time: on the model with
    // other arguments or another image it still answers the same question.
    nlohmann::json keys = nlohmann::json::array();
    uint64_t looks = 0;
    uint64_t seen_at = 0;  // the look that saw the next key waiting, 0: none
    // A wait a signal broke off saw no key and no end of the input: one was still to come.
    bool key_to_come = false;
    uint64_t last = 0;
    for (const Event& e : r.events) {
        last = std::max(last, e.t);
        // A run of byte commands notes the looks that found nothing among its commands.
        if (!e.polls.empty()) {
            looks += e.polls.size();
            key_to_come = true;
        }
        bool look = e.kind == Kind::Poll || e.kind == Kind::Key || (e.kind == Kind::Select && e.fd == 0);
        if (!look)
            continue;
        ++looks;
        if (e.kind == Kind::Poll && e.r == 1 && seen_at == 0)
            seen_at = looks;
        if (e.kind == Kind::Poll && seen_at == 0)
            key_to_come = true;
        if (e.kind != Kind::Key)
            continue;
        key_to_come = e.key < 0 && e.err == EINTR;
        if (e.key >= 0) {
            // Read without a look before it, after a wait: the operator
            // answered then, not before.
            nlohmann::json key = {{"look", seen_at ? seen_at : looks}, {"key", e.key}};
            if (!seen_at && e.wait_us)
                key["at"] = seconds_text(e.t);
            keys.push_back(key);
        }
        seen_at = 0;
    }
    if (key_to_come) {
        keys.push_back({{"at", seconds_text(last + 1000000)}, {"key", "esc"}});
        notes.push_back("operator: the last key was never read, esc used");
    }
    m["keys"] = keys;
}

void add_signals(const Reading& r, nlohmann::json& m)
{
    nlohmann::json signals = nlohmann::json::array();
    auto add = [&](int sig, uint64_t t) {
        // By the machine file's name ("IO", where the C library says "POLL").
        std::string name = SignalSchedule::name(sig);
        if (name.starts_with("SIG"))
            signals.push_back({{"at", seconds_text(t)}, {"signal", name.substr(3)}});
    };
    auto port_access = [](const Event& e) {
        return e.kind == Kind::Kcs || e.kind == Kind::KcsRun || e.kind == Kind::Inb || e.kind == Kind::Outb;
    };
    // A signal during a request or a KCS transfer is noted in it, at the
    // time the handler ran. One after a port access is noted with the next
    // call's time; it came with the delay write after that access (the last
    // call before the tool looks at its signals again), unless the next call
    // is a wait it broke off.
    for (size_t k = 0; k < r.events.size(); ++k) {
        const Event& e = r.events[k];
        if (e.kind == Kind::Signal) {
            size_t next = k + 1;
            while (next < r.events.size() && r.events[next].kind == Kind::Signal)
                ++next;
            size_t before = k;
            while (before > 0 && r.events[before - 1].kind == Kind::Signal)
                --before;
            uint64_t t = e.t;
            if (before > 0 && next < r.events.size() && port_access(r.events[before - 1]) &&
                r.events[next].err != EINTR) {
                const Event& p = r.events[before - 1];
                t = std::min(t, std::max(p.t1, p.t + p.d) + (r.read_ns / 2 + 999) / 1000);
            }
            add(e.sig, t);
        }
        for (const Event::Interruption& i : e.signals)
            add(i.sig, i.t);
        for (const PortToken& p : e.ports)
            if (p.kind == '!')
                add(p.sig, p.t);
    }
    if (!signals.empty())
        m["signals"] = signals;
}

}  // namespace

Model model_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image)
{
    std::optional<std::vector<uint8_t>> image_bytes;
    if (image) {
        std::ifstream in(*image, std::ios::binary);
        if (!in)
            throw MachineFileError("--image", "cannot read " + *image);
        image_bytes = std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!image_bytes) {
        // The bytes the capture does know: the image's size and its version,
        // which a controller shows once it runs the image.
        nlohmann::json header = nlohmann::json::parse(lines.at(0));
        Header h = parse_header(Field(header, "line 1"));
        if (h.image && h.image->size && h.image->version) {
            image_bytes = std::vector<uint8_t>(*h.image->size, 0);
            for (size_t i = 0; i < kImageVersionBytes && kImageVersionOffset + i < image_bytes->size(); ++i)
                (*image_bytes)[kImageVersionOffset + i] = (*h.image->version)[i];
        }
    }
    Reading r = read_capture_lines(lines, image_bytes ? &*image_bytes : nullptr);
    Model model;
    nlohmann::json& m = model.machine;
    std::vector<std::string> notes;
    m["clock"] = {{"start_us", r.header.start_us},
                  {"time_zone", time_zone_of(r.header.zone_name, r.header.utc_offset_s)}};
    if (auto ns = port_access_ns(r.events))
        m["port_access_ns"] = *ns;
    add_driver(r, m, notes);
    if (r.iopl)
        m["iopl"] = *r.iopl;
    if (!r.vanishing.empty())
        m["vanishing_nodes"] = r.vanishing;
    add_host(r, m, notes);
    add_keys(r, m, notes);
    add_signals(r, m);

    std::set<uint8_t> mux_addresses = mux_addresses_of(r.header);
    m["bmcs"] = nlohmann::json::array();
    std::vector<std::string> unexplained;
    for (SeenBmc& b : r.bmcs) {
        std::string name = b.name();
        nlohmann::json bmc = nlohmann::json::object();
        if (!b.node.empty())
            bmc["node"] = b.node;
        if (b.kcs >= 0)
            bmc["kcs"] = b.kcs;
        bmc["buses"] = bus_json(b, mux_addresses, notes, name);
        add_kcs_handshake(b, bmc, notes);
        add_answer_time(b, r.read_ns, bmc, notes);
        size_t room = kMostRules - std::min(kMostRules, model.fault_rules);
        FaultRules rules = add_fault_rules(bmc, b, r.read_ns, room);
        model.fault_rules += rules.added;
        model.unexplained += rules.unexplained;
        unexplained.insert(unexplained.end(), rules.first_unexplained.begin(), rules.first_unexplained.end());
        if (rules.added)
            notes.push_back(name + ": " + std::to_string(rules.added) + " fault rule" + (rules.added == 1 ? "" : "s") +
                            " for what no device explains");
        m["bmcs"].push_back(bmc);
    }
    if (!r.bmcs.empty() && std::none_of(r.bmcs.begin(), r.bmcs.end(), [](const SeenBmc& b) { return b.kcs >= 0; }))
        notes.push_back("KCS interface: not used by the run, none modelled");
    if (!image && r.header.image && r.header.image->size)
        notes.push_back("image bytes: not in the capture, taken as 0 but for the version (the QB4083C set's checksums "
                        "cannot be worked out)");
    size_t requests = 0;
    for (const SeenBmc& b : r.bmcs)
        requests += b.seen.size();
    if (model.unexplained == 0) {
        notes.push_back("every request of the capture (" + std::to_string(requests) +
                        ") answered as the capture has it");
    } else {
        notes.push_back(std::to_string(model.unexplained) + " of " + std::to_string(requests) +
                        " requests not explained: the model answers them otherwise than the capture has them");
        notes.insert(notes.end(), unexplained.begin(), unexplained.end());
    }
    model.notes = notes;
    m["inferred"] = notes;
    return model;
}

}  // namespace sim::capture
