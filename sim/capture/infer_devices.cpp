// SPDX-License-Identifier: MIT
#include "infer_devices.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <tuple>

#include "../basics/trace.h"
#include "../bmc/bmc.h"
#include "../devices/devices.h"
#include "../devices/image_version.h"

namespace sim::capture {

namespace {

constexpr uint8_t kMasterWriteRead = 0x52;
constexpr uint64_t kEraseDefaultMs = 500;  // the device model's defaults
constexpr uint64_t kResetDefaultMs = 5000;

std::string hex_text(const std::vector<uint8_t>& bytes) { return Trace::hex(bytes); }

std::string byte_text(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
    return text;
}

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

// What a controller's answers show: each register's first value read (but
// for one the tool wrote before, and the version after a new image runs),
// and where its first erase and first reset were.
struct RegistersSeen {
    std::map<uint8_t, uint8_t> first;
    std::optional<size_t> erase, reset;
};

RegistersSeen registers_seen(const std::vector<Op>& ops)
{
    RegistersSeen seen;
    std::set<uint8_t> written;
    bool versions_changed = false;
    int ptr = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        const Op& op = ops[i];
        if (!op.write.empty() && op.ack) {
            if (is_flash_command(op.write)) {
                uint8_t code = flash_code(op.write);
                bool register_read = op.write.size() == 4 && op.write[2] == 0xF2 && op.write[3] < 0xE0;
                if (code == 0xEE && !seen.erase)
                    seen.erase = i;
                if ((code == 0xF0 || code == 0xF1) && !register_read) {
                    if (!seen.reset)
                        seen.reset = i;
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
                if (!written.count(reg) && !seen.first.count(reg) && !(versions_changed && version))
                    seen.first[reg] = op.data[k];
            }
            ptr = (ptr + static_cast<int>(op.data.size())) & 0xFF;
        }
    }
    return seen;
}

nlohmann::json controller_candidate(const std::vector<Op>& ops, std::vector<std::string>& notes,
                                    const std::string& where)
{
    RegistersSeen seen = registers_seen(ops);
    std::map<uint8_t, uint8_t>& first = seen.first;
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
    busy_time("erase", "erase_ms", seen.erase, kEraseDefaultMs);
    busy_time("reset", "reset_ms", seen.reset, kResetDefaultMs);
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

}  // namespace

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

}  // namespace sim::capture
