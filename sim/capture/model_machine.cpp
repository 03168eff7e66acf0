// SPDX-License-Identifier: MIT
#include "model_machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "../bmc/bmc.h"
#include "../replay/capture_file.h"
#include "../devices/image_version.h"
#include "../machine/machine.h"
#include "../machine/signal_schedule.h"
#include "answer_time.h"
#include "fault_rules.h"
#include "infer_devices.h"
#include "kcs_ports.h"
#include "reading.h"
#include "replay_machine_file.h"
#include "seen.h"

namespace sim::capture {

namespace {

constexpr uint8_t kDefaultMux = 0xE6;  // where the tool switches a mux for a read
constexpr size_t kMostRules = 400;  // past this, a capture is no longer worth explaining rule by rule
constexpr size_t kFirstFewUnused = 5;  // unused lines described

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
    bool driver = std::any_of(b.seen.begin(), b.seen.end(),
                              [](const Seen& s) { return s.road == Road::Driver || s.road == Road::Lan; });
    std::vector<uint64_t> times;
    for (const Seen& s : b.seen) {
        if (driver && s.road != Road::Kcs && s.whole && s.rt >= s.t)
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
    // A LAN interface answers in its own time, the session's set-up too.
    if (b.lan >= 0)
        bmc["lan"]["answer_us"] = us;
    else if (us)
        bmc["latency_us"] = us;
    notes.push_back(b.name() + ": answer time " + std::to_string(us) + " us" +
                    (b.lan >= 0 ? " through the network, "
                     : driver   ? " through the driver, "
                                : " at the KCS ports (" + std::to_string(typical.value) + " status reads), ") +
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

// The bytes the byte commands carried: the image file's, or without it
// what the capture knows of them.
std::optional<std::vector<uint8_t>> image_bytes_of(const Header& h, const std::optional<std::string>& image)
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
        if (h.image && h.image->size && h.image->version) {
            image_bytes = std::vector<uint8_t>(*h.image->size, 0);
            for (size_t i = 0; i < kImageVersionBytes && kImageVersionOffset + i < image_bytes->size(); ++i)
                (*image_bytes)[kImageVersionOffset + i] = (*h.image->version)[i];
        }
    }
    return image_bytes;
}

}  // namespace

Model model_machine(const std::vector<std::string>& lines, const std::optional<std::string>& image,
                    const std::optional<std::string>& lan_password)
{
    Capture capture = parse_capture(lines);
    const nlohmann::json lan = lan_bmcs(capture.events, lan_password);
    std::optional<std::vector<uint8_t>> image_bytes = image_bytes_of(capture.header, image);
    Reading r = read_requests(std::move(capture), image_bytes ? &*image_bytes : nullptr);
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
        if (b.lan >= 0 && static_cast<size_t>(b.lan) < lan.size())
            bmc["lan"] = lan[static_cast<size_t>(b.lan)]["lan"];
        bmc["buses"] = bus_json(b, mux_addresses, notes, name);
        add_kcs_handshake(b, bmc, notes);
        add_answer_time(b, r.read_ns, bmc, notes);
        size_t room = kMostRules - std::min(kMostRules, model.fault_rules);
        FaultRules rules = add_fault_rules(bmc, b, r.read_ns, room, r.last_signal_line);
        model.fault_rules += rules.added;
        model.unexplained += rules.unexplained;
        unexplained.insert(unexplained.end(), rules.first_unexplained.begin(), rules.first_unexplained.end());
        if (rules.added)
            notes.push_back(name + ": " + std::to_string(rules.added) + " fault rule" + (rules.added == 1 ? "" : "s") +
                            " for what no device explains");
        if (rules.late_by_answer_time)
            notes.push_back(name + ": " + std::to_string(rules.late_by_answer_time) + " answer" +
                            (rules.late_by_answer_time == 1 ? "" : "s") + " later than the answer time, by " +
                            rules.late_span + ", changing nothing the run does: the answer time explains them");
        m["bmcs"].push_back(bmc);
    }
    if (!r.bmcs.empty() && std::none_of(r.bmcs.begin(), r.bmcs.end(), [](const SeenBmc& b) { return b.kcs >= 0 || b.lan >= 0; }))
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
    model.unused_lines = r.unused.size();
    if (!r.unused.empty()) {
        notes.push_back(std::to_string(r.unused.size()) + " line" + (r.unused.size() == 1 ? "" : "s") +
                        " of the capture not used: the model makes no such call");
        notes.insert(notes.end(), r.unused.begin(), r.unused.begin() + static_cast<std::ptrdiff_t>(
                                                                            std::min(r.unused.size(), kFirstFewUnused)));
        if (r.unused.size() > kFirstFewUnused)
            notes.push_back("... and " + std::to_string(r.unused.size() - kFirstFewUnused) + " more");
    }
    model.notes = notes;
    m["inferred"] = notes;
    return model;
}

}  // namespace sim::capture
