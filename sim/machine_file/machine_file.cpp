// SPDX-License-Identifier: MIT
#include "machine_file.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fstream>

#include "../replay/capture_file.h"
#include "../replay/replay.h"

namespace sim {

namespace {

int64_t real_epoch_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

DriverState parse_driver(const Field& f)
{
    std::string s = f.string();
    if (s == "loaded")
        return DriverState::Loaded;
    if (s == "loadable")
        return DriverState::Loadable;
    if (s == "absent")
        return DriverState::Absent;
    f.fail("expected \"loaded\", \"loadable\" or \"absent\"");
}

bool is_known_node(const std::string& s)
{
    for (const char* known : {"/dev/ipmi0", "/dev/ipmi1", "/dev/ipmi2", "/dev/ipmi3", "/dev/ipmidev/0"})
        if (s == known)
            return true;
    return false;
}

std::string parse_node(const Field& f)
{
    std::string s = f.string();
    if (!is_known_node(s))
        f.fail("expected one of /dev/ipmi0 to /dev/ipmi3 or /dev/ipmidev/0");
    return s;
}

// {"header": {...}, "events": [...], "image": "FILE"} (qb40sim-capture replay).
std::unique_ptr<Replay> load_replay(const Field& r, Machine& host)
{
    r.only({"header", "events", "image"});
    capture::parse_header(r["header"]);
    std::vector<capture::Event> events;
    Field list = r["events"];
    for (size_t i = 0; i < list.size(); ++i)
        events.push_back(capture::parse_event(list.item(i), i + 2));
    std::optional<std::vector<uint8_t>> image;
    if (auto f = r.optional("image")) {
        std::ifstream in(f->string(), std::ios::binary);
        if (!in)
            f->fail("cannot read the image " + f->string());
        image = std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return std::make_unique<Replay>(host, host.context(), std::move(events), std::move(image), host.port_access_ns);
}

// "clock": when the machine's time starts, and whether it runs with the real one.
std::unique_ptr<Machine> make_machine(const Field& root)
{
    int64_t start = real_epoch_us();
    bool real_time = false;
    if (auto clock = root.optional("clock")) {
        clock->only({"start", "start_us", "real_time", "time_zone"});
        if (auto s = clock->optional("start"))
            start = static_cast<int64_t>(s->unsigned_in(0, 1ULL << 40)) * 1000000;
        if (auto s = clock->optional("start_us"))
            start = s->integer(0, int64_t(1) << 60);
        if (auto r = clock->optional("real_time"))
            real_time = r->boolean();
        if (auto z = clock->optional("time_zone")) {
            // The dates the tool prints are in this zone (a TZ value: "UTC0", "CET-1CEST,M3.5.0,M10.5.0/3").
            setenv("TZ", z->string().c_str(), 1);
            tzset();
        }
    }
    return std::make_unique<Machine>(start, real_time);
}

// "host": {"name": .., "product_serial": .., "machine_id": ..}
void load_host(const Field& h, Machine::Host& host)
{
    h.only({"name", "product_serial", "machine_id"});
    if (auto n = h.optional("name"))
        host.name = n->string();
    // null: the file cannot be read.
    auto text_or_null = [](const Field& f) -> std::optional<std::string> {
        if (f.json().is_null())
            return std::nullopt;
        return f.string();
    };
    if (auto s = h.optional("product_serial"))
        host.product_serial = text_or_null(*s);
    if (auto i = h.optional("machine_id"))
        host.machine_id = text_or_null(*i);
}

// "file_faults" and "umask": the files the tool writes.
void load_files(const Field& root, Machine& m)
{
    if (auto faults = root.optional("file_faults"))
        faults->each_item([&](const Field& f) { m.files.add(FileFaultRule::from_json(f)); });
    if (auto u = root.optional("umask")) {
        // Octal digits, as the shell's umask takes them: "022", "000".
        std::string digits = u->string();
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("01234567") != std::string::npos)
            u->fail("expected up to four octal digits, such as \"022\"");
        m.umask = static_cast<mode_t>(std::stoul(digits, nullptr, 8));
    }
}

// "lan" of one BMC: its LAN interface. A BMC known by its host name alone
// gets an address of its own from 198.51.100.0/24 (a documentation range),
// so that the name resolves; no two LAN BMCs share an address and port.
lan::LanConfig load_lan(const Field& l, const Machine& m)
{
    lan::LanConfig config = lan::parse_lan_config(l, BmcCore::guid());
    lan::LanAddress& a = config.address;
    if (!a.ipv4 && !a.ipv6) {
        in_addr v4{};
        std::string derived = "198.51.100." + std::to_string(m.bmcs.size());
        inet_pton(AF_INET, derived.c_str(), &v4);
        a.ipv4 = v4;
    }
    for (const Machine::Bmc& other : m.bmcs) {
        if (!other.lan)
            continue;
        const lan::LanAddress& o = other.lan->config().address;
        bool same_v4 = a.ipv4 && o.ipv4 && a.ipv4->s_addr == o.ipv4->s_addr;
        bool same_v6 = a.ipv6 && o.ipv6 && std::memcmp(&*a.ipv6, &*o.ipv6, sizeof(in6_addr)) == 0;
        if (a.port == o.port && (same_v4 || same_v6))
            l.fail("another BMC has this address and port");
        if (!a.host.empty() && a.host == o.host)
            l["host"].fail("another BMC has this host name");
    }
    return config;
}

// "bmcs" and "vanishing_nodes": the BMCs and the device nodes that go.
void load_bmcs(const Field& root, Machine& m)
{
    if (auto v = root.optional("vanishing_nodes")) {
        v->each_member([&](const std::string& node, const Field& opens) {
            if (!is_known_node(node))
                opens.fail("expected one of /dev/ipmi0 to /dev/ipmi3 or /dev/ipmidev/0 as the name");
            m.vanishing_nodes[node] = static_cast<unsigned>(opens.unsigned_in(0, 1000000));
        });
    }
    if (auto bmcs = root.optional("bmcs")) {
        bmcs->each_item([&](const Field& b) {
            std::string node;
            int kcs = -1;
            if (auto n = b.optional("node"))
                node = parse_node(*n);
            if (auto k = b.optional("kcs"))
                kcs = static_cast<int>(k->unsigned_in(0, 2));
            std::string name = "bmc" + std::to_string(m.bmcs.size());
            m.add_bmc(node, kcs, BmcCore::from_json(b, m.context(), name));
            if (auto l = b.optional("lan"))
                m.add_lan(load_lan(*l, m));
        });
    }
}

// One of "keys": {"at": seconds, "look": n, "key": "esc" | "y" | 13}
Keyboard::Key parse_key(const Field& key)
{
    key.only({"at", "look", "key"});
    Keyboard::Key k{};
    uint64_t at_us = 0;
    if (key.has("at") || !key.has("look")) {
        double at = key["at"].number();
        if (at < 0)
            key["at"].fail("must not be negative");
        at_us = static_cast<uint64_t>(at * 1e6 + 0.5);
    }
    if (auto look = key.optional("look")) {
        // The point of the run where the key comes; "at" then only
        // holds it back until that time.
        k.look = look->unsigned_in(1, UINT32_MAX);
        k.at_us = UINT64_MAX;
        k.not_before_us = at_us;
    } else {
        k.at_us = at_us;
    }
    Field which = key["key"];
    int byte;
    if (which.is_string()) {
        std::string s = which.string();
        if (s == "esc")
            byte = 27;
        else if (s == "enter")
            byte = '\r';
        else if (s == "space")
            byte = ' ';
        else if (s.size() == 1)
            byte = static_cast<unsigned char>(s[0]);
        else
            which.fail("expected one character, \"esc\", \"enter\", \"space\" or a byte value");
    } else {
        byte = which.byte();
    }
    k.byte = byte;
    return k;
}

// "keys" and "signals": what the operator and the rest of the system do.
void load_operator(const Field& root, Machine& m)
{
    std::deque<Keyboard::Key> keys;
    bool scripted = false;
    if (auto k = root.optional("keys")) {
        scripted = true;
        k->each_item([&](const Field& key) { keys.push_back(parse_key(key)); });
    }
    m.keyboard.load(scripted, std::move(keys));

    if (auto signals = root.optional("signals")) {
        signals->each_item([&](const Field& signal) {
            signal.only({"at", "key_wait", "signal"});
            Field which = signal["signal"];
            int number = SignalSchedule::number(which.string());
            if (number == 0)
                which.fail(std::string("expected ") + SignalSchedule::names());
            if (auto wait = signal.optional("key_wait")) {
                if (signal.has("at"))
                    signal["at"].fail("a signal comes at a time or at a wait for a key, not both");
                m.signals.add_at_key_wait(static_cast<uint32_t>(wait->unsigned_in(1, UINT32_MAX)), number);
                return;
            }
            double at = signal["at"].number();
            if (at < 0)
                signal["at"].fail("must not be negative");
            m.signals.add(static_cast<uint64_t>(at * 1e6 + 0.5), number);
        });
    }
}

}  // namespace

std::unique_ptr<Machine> load_machine_json(const std::string& text)
{
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw MachineFileError("(syntax)", e.what());
    }
    Field root(doc, "");
    root.only({"clock", "driver", "iopl", "port_access_ns", "bmcs", "keys", "signals", "trace_ports",
               "vanishing_nodes", "host", "replay", "inferred", "file_faults", "umask", "random_seed"});

    // What a model machine could not learn from its capture: words for people, no effect.
    if (auto inferred = root.optional("inferred"))
        inferred->each_item([](const Field& note) { note.string(); });

    std::unique_ptr<Machine> m = make_machine(root);
    if (auto d = root.optional("driver"))
        m->driver = parse_driver(*d);
    if (auto i = root.optional("iopl"))
        m->iopl_allowed = i->boolean();
    if (auto p = root.optional("port_access_ns"))
        m->port_access_ns = static_cast<uint32_t>(p->unsigned_in(0, 1000000));
    if (auto t = root.optional("trace_ports"))
        m->trace.port_accesses = t->boolean();
    if (auto r = root.optional("random_seed"))
        m->random.seed(r->unsigned_in(0, UINT64_MAX));
    if (auto h = root.optional("host"))
        load_host(*h, m->host);
    load_files(root, *m);
    load_bmcs(root, *m);
    load_operator(root, *m);

    if (auto r = root.optional("replay")) {
        for (const char* field : {"driver", "iopl", "keys", "signals", "vanishing_nodes"})
            if (root.has(field))
                root[field].fail("a replay machine takes everything from its capture");
        // Its BMCs are LAN interfaces alone: they have the sessions (the
        // capture holds none of their secrets), the capture the answers.
        if (auto bmcs = root.optional("bmcs"))
            bmcs->each_item([](const Field& b) {
                b.only({"lan"});
                b["lan"];
            });
        auto replay = load_replay(*r, *m);
        for (Machine::Bmc& b : m->bmcs)
            if (b.lan)
                replay->answer_lan(*b.core, b.lan->config().answer_us);
        m->replay = std::move(replay);
    }
    return m;
}

}  // namespace sim
