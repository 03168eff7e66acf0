// SPDX-License-Identifier: MIT
#include "capture_file.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "../basics/errno_names.h"

namespace sim::capture {

namespace {

constexpr std::pair<const char*, int> kSignalNames[] = {
    {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGQUIT", SIGQUIT}, {"SIGTERM", SIGTERM},
    {"SIGPIPE", SIGPIPE}, {"SIGALRM", SIGALRM}, {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2},
    {"SIGXCPU", SIGXCPU}, {"SIGXFSZ", SIGXFSZ}, {"SIGVTALRM", SIGVTALRM}, {"SIGPROF", SIGPROF},
    {"SIGPWR", SIGPWR},   {"SIGIO", SIGIO},     {"SIGSTKFLT", SIGSTKFLT},
};

// "SIGTERM" or a number from 0 to 64.
std::optional<int> signal_named(const std::string& text)
{
    for (const auto& [name, number] : kSignalNames)
        if (text == name)
            return number;
    auto n = parse_unsigned(text);
    if (n && *n <= 64)
        return static_cast<int>(*n);
    return std::nullopt;
}

std::string signal_text(int sig)
{
    for (const auto& [name, number] : kSignalNames)
        if (number == sig)
            return name;
    return std::to_string(sig);
}

int signal_of(const Field& f)
{
    if (f.is_string()) {
        auto sig = signal_named(f.string());
        if (!sig)
            f.fail("expected a signal's name (SIGTERM, ...) or its number");
        return *sig;
    }
    return static_cast<int>(f.unsigned_in(0, 64));
}

int errno_of(const Field& f, const char* key)
{
    auto e = f.optional(key);
    return e ? parse_errno(*e) : 0;
}

uint16_t port_of(const Field& f) { return f.u16(); }

// {"first": F, "every": E, "last": L} or [i, j, ...]
std::vector<uint64_t> polls_of(const Field& f)
{
    std::vector<uint64_t> polls;
    if (f.is_array()) {
        f.each_item([&](const Field& i) { polls.push_back(i.unsigned_in(0, UINT32_MAX)); });
        return polls;
    }
    f.only({"first", "every", "last"});
    uint64_t first = f["first"].unsigned_in(0, UINT32_MAX), every = f["every"].unsigned_in(1, UINT32_MAX),
             last = f["last"].unsigned_in(first, UINT32_MAX);
    for (uint64_t i = first; i <= last; i += every)
        polls.push_back(i);
    return polls;
}

void read_result(const Field& f, Event& e)
{
    e.r = f["r"].integer(INT32_MIN, INT32_MAX);
    e.err = errno_of(f, "errno");
}

void read_run(const Field& f, Event& e)
{
    e.prefix = f["prefix"].bytes();
    e.first = static_cast<unsigned>(f["first"].unsigned_in(0, 0xFFFF));
    e.count = f["count"].unsigned_in(1, 0x10000);
    e.resp = f["resp"].bytes();
    if (auto p = f.optional("polls"))
        e.polls = polls_of(*p);
}

}  // namespace

// "\"WORD\" WHY", appended piece by piece (GCC 12 at -O3 warns about
// literal + string here).
std::invalid_argument bad_token(const std::string& word, const char* why)
{
    std::string text = "\"";
    text += word;
    text += "\"";
    text += why;
    return std::invalid_argument(text);
}

std::vector<PortToken> parse_ports(const std::string& text)
{
    std::vector<PortToken> tokens;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        size_t j = text.find(' ', i);
        std::string word = text.substr(i, j == std::string::npos ? std::string::npos : j - i);
        i = j == std::string::npos ? text.size() : j;
        PortToken t;
        t.kind = word[0];
        if (t.kind == '!') {
            // A signal that came before the next access: "!SIGINT@T".
            size_t at = word.find('@');
            auto sig = signal_named(word.substr(1, at == std::string::npos ? std::string::npos : at - 1));
            auto when = at == std::string::npos ? std::nullopt : parse_unsigned(word.substr(at + 1));
            if (!sig || !when)
                throw bad_token(word, " is no signal with its time");
            t.sig = *sig;
            t.t = *when;
            tokens.push_back(t);
            continue;
        }
        if ((t.kind != 's' && t.kind != 'd' && t.kind != 'c' && t.kind != 'w') || word.size() < 3)
            throw bad_token(word, " is no port access");
        std::string value = word.substr(1, 2);
        if (value == "??") {
            if (t.kind != 'w')
                throw bad_token(word, ": only a data write stands for the command's byte");
            t.masked = true;
        } else {
            auto v = parse_unsigned("0x" + value);
            if (!v || *v > 0xFF)
                throw bad_token(word, " has no hex byte");
            t.value = static_cast<uint8_t>(*v);
        }
        size_t at = 3;
        if (at < word.size() && word[at] == '*') {
            size_t end = word.find('~', at);
            auto n = parse_unsigned(word.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
            if (t.kind != 's' || !n || *n == 0)
                throw bad_token(word, ": only status reads are counted");
            t.count = *n;
            at = end == std::string::npos ? word.size() : end;
        }
        if (at < word.size() && word[at] == '~') {
            auto d = parse_unsigned(word.substr(at + 1));
            if (t.kind != 's' || !d)
                throw bad_token(word, ": only status reads last");
            t.duration_us = *d;
            at = word.size();
        }
        if (at != word.size())
            throw bad_token(word, " is no port access");
        tokens.push_back(t);
    }
    return tokens;
}

std::string ports_text(const std::vector<PortToken>& tokens)
{
    std::string text;
    char buf[64];
    for (const PortToken& t : tokens) {
        if (!text.empty())
            text += ' ';
        if (t.kind == '!') {
            text += '!';
            text += signal_text(t.sig);
            text += '@';
            text += std::to_string(t.t);
            continue;
        }
        if (t.masked)
            std::snprintf(buf, sizeof buf, "%c??", t.kind);
        else
            std::snprintf(buf, sizeof buf, "%c%02X", t.kind, t.value);
        text += buf;
        if (t.count > 1) {
            text += '*';
            text += std::to_string(t.count);
        }
        if (t.duration_us) {
            text += '~';
            text += std::to_string(t.duration_us);
        }
    }
    return text;
}

Header parse_header(const Field& f)
{
    f.only({"capture", "format", "tool_version", "program", "arguments", "start_us", "time_zone", "image",
            "redacted"});
    if (f["capture"].string() != "qb40tool")
        f["capture"].fail("not a capture of qb40tool");
    Header h;
    h.format = static_cast<int>(f["format"].unsigned_in(1, 1));
    h.tool_version = f["tool_version"].string();
    h.program = f["program"].string();
    f["arguments"].each_item([&](const Field& a) { h.arguments.push_back(a.string()); });
    h.start_us = f["start_us"].integer(0, INT64_MAX);
    Field zone = f["time_zone"];
    zone.only({"name", "utc_offset_s"});
    h.zone_name = zone["name"].string();
    h.utc_offset_s = zone["utc_offset_s"].integer(-86400, 86400);
    Field image = f["image"];
    if (!image.json().is_null()) {
        image.only({"name", "size", "sha256", "version"});
        Header::Image i;
        i.name = image["name"].string();
        if (!image["size"].json().is_null()) {
            i.size = image["size"].unsigned_in(0, 1 << 20);
            i.sha256 = image["sha256"].string();
            if (!image["version"].json().is_null()) {
                auto v = image["version"].bytes();
                if (v.size() != 3)
                    image["version"].fail("expected 3 bytes");
                i.version = std::array<uint8_t, 3>{v[0], v[1], v[2]};
            }
        }
        h.image = i;
    }
    f["redacted"].each_item([&](const Field& r) {
        std::string what = r.string();
        if (what == "vpd")
            h.redacted_vpd = true;
        else if (what == "host")
            h.redacted_host = true;
        else
            r.fail("only \"vpd\" and \"host\" are redacted");
    });
    return h;
}

namespace {

// One reader per kind of event: the fields it may have, then their values.

void read_open(const Field& f, Event& e)
{
    f.only({"t", "e", "path", "flags", "r", "errno"});
    e.path = f["path"].string();
    e.flags = static_cast<int>(f["flags"].integer(INT32_MIN, INT32_MAX));
    read_result(f, e);
    e.fd = static_cast<int>(e.r);
}

// close, tcgetattr
void read_fd_call(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "r", "errno"});
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    read_result(f, e);
}

void read_ioctl(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "request", "r", "errno"});
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    e.request = static_cast<unsigned long>(f["request"].unsigned_in(0, UINT64_MAX));
    read_result(f, e);
}

void read_exchange(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "id", "req", "send_errno", "st", "select", "select_errno", "fd_ready", "signals", "rt",
            "rid", "resp", "recv_errno"});
    if (auto signals = f.optional("signals")) {
        signals->each_item([&](const Field& s) {
            if (s.size() != 3)
                s.fail("expected [signal, stage, time]");
            std::string stage = s.item(1).string();
            if (stage != "send" && stage != "select" && stage != "receive")
                s.item(1).fail("expected \"send\", \"select\" or \"receive\"");
            e.signals.push_back({signal_of(s.item(0)), stage, s.item(2).unsigned_in(0, UINT64_MAX)});
        });
    }
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    e.id = f["id"].integer(-1, INT64_MAX);
    e.req = f["req"].bytes();
    e.send_err = errno_of(f, "send_errno");
    if (auto s = f.optional("select")) {
        e.has_select = true;
        e.select_r = s->integer(-1, INT32_MAX);
        e.select_err = errno_of(f, "select_errno");
        e.st = f["st"].unsigned_in(0, UINT64_MAX);
        if (auto r = f.optional("fd_ready"))
            e.fd_ready = r->boolean();
    }
    if (auto rt = f.optional("rt")) {
        e.received = true;
        e.rt = rt->unsigned_in(0, UINT64_MAX);
        e.rid = f.has("rid") ? f["rid"].integer(INT64_MIN, INT64_MAX) : e.id;
        if (auto r = f.optional("resp"))
            e.resp = r->bytes();
        e.recv_err = errno_of(f, "recv_errno");
    }
}

// A run of exchanges with their times: the latency and gap they share and
// those of the commands listed late.
void read_timed_run(const Field& f, Event& e)
{
    read_run(f, e);
    e.latency = f["lat"].unsigned_in(0, UINT64_MAX);
    e.gap = f["gap"].unsigned_in(0, UINT64_MAX);
    e.t1 = f["t1"].unsigned_in(e.t, UINT64_MAX);
    if (auto late = f.optional("late")) {
        late->each_item([&](const Field& l) {
            if (l.size() != 3)
                l.fail("expected [index, gap, latency]");
            e.late[l.item(0).unsigned_in(1, e.count - 1)] = {l.item(1).unsigned_in(0, UINT64_MAX),
                                                              l.item(2).unsigned_in(0, UINT64_MAX)};
        });
    }
}

void read_exchange_run(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "id", "prefix", "first", "count", "resp", "lat", "gap", "t1", "late", "polls"});
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    e.id = f["id"].integer(0, INT64_MAX);
    read_timed_run(f, e);
}

void read_lan_session(const Field& f, Event& e)
{
    f.only({"t", "e", "bmc", "host", "port", "user", "privilege", "suite", "r"});
    e.bmc = static_cast<int>(f["bmc"].unsigned_in(0, 3));
    e.host = f["host"].string();
    e.port = f["port"].u16();
    e.user = f["user"].string();
    e.privilege = f["privilege"].string();
    e.suite = static_cast<int>(f["suite"].unsigned_in(0, 255));
    e.result = f["r"].string();
}

void read_lan_exchange(const Field& f, Event& e)
{
    f.only({"t", "e", "req", "rt", "resp", "lost"});
    e.req = f["req"].bytes();
    e.rt = f["rt"].unsigned_in(e.t, UINT64_MAX);
    e.received = f.has("resp");
    if (e.received)
        e.resp = f["resp"].bytes();
    else if (!f.has("lost") || !f["lost"].boolean())
        f.fail("expected \"resp\" or \"lost\": true");
}

void read_lan_run(const Field& f, Event& e)
{
    f.only({"t", "e", "prefix", "first", "count", "resp", "lat", "gap", "t1", "late", "polls"});
    read_timed_run(f, e);
}

void read_lan_close(const Field& f, Event&) { f.only({"t", "e"}); }

void read_select(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "timeout", "r", "errno", "fd_ready"});
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    e.timeout_us = f["timeout"].integer(-1, INT64_MAX);
    read_result(f, e);
    if (auto r = f.optional("fd_ready"))
        e.fd_ready = r->boolean();
}

// poll, fflush
void read_plain_call(const Field& f, Event& e)
{
    f.only({"t", "e", "r", "errno"});
    read_result(f, e);
}

void read_iopl(const Field& f, Event& e)
{
    f.only({"t", "e", "level", "r", "errno"});
    e.level = static_cast<int>(f["level"].integer(0, 3));
    read_result(f, e);
}

// inb, outb outside a transfer
void read_port_access(const Field& f, Event& e)
{
    f.only({"t", "e", "port", "v", "n", "d"});
    e.port = port_of(f["port"]);
    e.port_value = f["v"].bytes().size() == 1 ? f["v"].bytes()[0] : 0;
    if (f["v"].bytes().size() != 1)
        f["v"].fail("expected one hex byte");
    e.n = f.has("n") ? f["n"].unsigned_in(1, UINT64_MAX) : 1;
    e.d = f.has("d") ? f["d"].unsigned_in(0, UINT64_MAX) : 0;
}

// What a KCS transfer and a run of them have alike: the ports and their accesses.
void read_transfer_ports(const Field& f, Event& e)
{
    e.status_port = port_of(f["status"]);
    e.data_port = port_of(f["data"]);
    e.t1 = f["t1"].unsigned_in(e.t, UINT64_MAX);
    try {
        e.ports = parse_ports(f["ports"].string());
    } catch (const std::invalid_argument& x) {
        f["ports"].fail(x.what());
    }
}

void read_kcs(const Field& f, Event& e)
{
    f.only({"t", "e", "status", "data", "req", "resp", "ports", "t1", "n"});
    if (auto r = f.optional("req"))
        e.req = r->bytes();
    if (auto r = f.optional("resp"))
        e.resp = r->bytes();
    e.n = f["n"].unsigned_in(1, UINT64_MAX);
    read_transfer_ports(f, e);
}

void read_kcs_run(const Field& f, Event& e)
{
    f.only({"t", "e", "status", "data", "prefix", "first", "count", "resp", "ports", "t1", "polls"});
    read_run(f, e);
    read_transfer_ports(f, e);
}

void read_sleep(const Field& f, Event& e)
{
    f.only({"t", "e", "us", "r", "errno", "left_us"});
    e.us = f["us"].unsigned_in(0, UINT64_MAX);
    if (f.has("r"))
        read_result(f, e);
    if (auto l = f.optional("left_us"))
        e.left_us = l->unsigned_in(0, e.us);
}

// signal, raise
void read_signal(const Field& f, Event& e)
{
    f.only({"t", "e", "sig"});
    e.sig = signal_of(f["sig"]);
}

void read_sigaction(const Field& f, Event& e)
{
    f.only({"t", "e", "sig", "act", "r", "errno"});
    e.sig = signal_of(f["sig"]);
    e.action = f["act"].string();
    if (e.action != "handler" && e.action != "default" && e.action != "ignore" && e.action != "query")
        f["act"].fail("expected \"handler\", \"default\", \"ignore\" or \"query\"");
    read_result(f, e);
}

void read_hostname(const Field& f, Event& e)
{
    f.only({"t", "e", "name", "r", "errno"});
    read_result(f, e);
    if (e.r == 0)
        e.text = f["name"].string();
}

void read_system_file(const Field& f, Event& e)
{
    f.only({"t", "e", "path", "bytes", "r", "errno"});
    e.path = f["path"].string();
    read_result(f, e);
    if (e.r >= 0) {
        std::vector<uint8_t> bytes = f["bytes"].bytes();
        if (bytes.size() != static_cast<uint64_t>(e.r))
            f["bytes"].fail("expected " + std::to_string(e.r) + " bytes");
        e.text.assign(bytes.begin(), bytes.end());
    }
}

void read_time(const Field& f, Event& e)
{
    f.only({"t", "e", "v"});
    e.value = f["v"].integer(INT64_MIN, INT64_MAX);
}

void read_shell(const Field& f, Event& e)
{
    f.only({"t", "e", "cmd", "r", "errno"});
    e.command = f["cmd"].string();
    read_result(f, e);
}

void read_tcsetattr(const Field& f, Event& e)
{
    f.only({"t", "e", "fd", "how", "raw", "r", "errno"});
    e.fd = static_cast<int>(f["fd"].integer(-1, INT32_MAX));
    e.how = f["how"].string();
    e.raw = f["raw"].boolean();
    read_result(f, e);
}

void read_key(const Field& f, Event& e)
{
    f.only({"t", "e", "c", "wait", "errno"});
    e.key = static_cast<int>(f["c"].integer(-1, 255));
    e.wait_us = f["wait"].unsigned_in(0, UINT64_MAX);
    e.err = errno_of(f, "errno");
}

// The kinds of event: the name a line gives ("e") and how the rest is read.
struct KindOfEvent {
    Kind kind;
    const char* name;
    void (*read)(const Field& f, Event& e);
};
constexpr KindOfEvent kKinds[] = {
    {Kind::Open, "open", read_open},
    {Kind::Close, "close", read_fd_call},
    {Kind::Ioctl, "ioctl", read_ioctl},
    {Kind::Exchange, "x", read_exchange},
    {Kind::ExchangeRun, "x_run", read_exchange_run},
    {Kind::Select, "select", read_select},
    {Kind::Poll, "poll", read_plain_call},
    {Kind::Iopl, "iopl", read_iopl},
    {Kind::Inb, "inb", read_port_access},
    {Kind::Outb, "outb", read_port_access},
    {Kind::Kcs, "kcs", read_kcs},
    {Kind::KcsRun, "kcs_run", read_kcs_run},
    {Kind::Sleep, "sleep", read_sleep},
    {Kind::Time, "time", read_time},
    {Kind::Shell, "shell", read_shell},
    {Kind::Tcgetattr, "tcgetattr", read_fd_call},
    {Kind::Tcsetattr, "tcsetattr", read_tcsetattr},
    {Kind::Key, "key", read_key},
    {Kind::Fflush, "fflush", read_plain_call},
    {Kind::Signal, "signal", read_signal},
    {Kind::Sigaction, "sigaction", read_sigaction},
    {Kind::Raise, "raise", read_signal},
    {Kind::Hostname, "hostname", read_hostname},
    {Kind::SystemFile, "sysfile", read_system_file},
    {Kind::LanSession, "lan_session", read_lan_session},
    {Kind::LanExchange, "lan_x", read_lan_exchange},
    {Kind::LanRun, "lan_run", read_lan_run},
    {Kind::LanClose, "lan_close", read_lan_close},
};

}  // namespace

const char* kind_name(Kind kind)
{
    for (const KindOfEvent& k : kKinds)
        if (k.kind == kind)
            return k.name;
    return "?";
}

Event parse_event(const Field& f, size_t line)
{
    Event e;
    e.line = line;
    std::string name = f["e"].string();
    const KindOfEvent* kind = nullptr;
    for (const KindOfEvent& k : kKinds)
        if (name == k.name)
            kind = &k;
    if (!kind)
        f["e"].fail("unknown event \"" + name + "\"");
    e.kind = kind->kind;
    e.t = f["t"].unsigned_in(0, UINT64_MAX);
    kind->read(f, e);
    return e;
}

std::vector<std::string> read_capture_lines(std::istream& in, size_t longest)
{
    std::vector<std::string> lines;
    std::string line;
    size_t number = 1;
    try {
        char block[1 << 16];
        while (in) {
            in.read(block, sizeof block);
            size_t got = static_cast<size_t>(in.gcount());
            for (size_t at = 0; at < got;) {
                const void* newline = std::memchr(block + at, '\n', got - at);
                size_t end = newline ? static_cast<size_t>(static_cast<const char*>(newline) - block) : got;
                if (line.size() + (end - at) > longest)
                    throw MachineFileError("line " + std::to_string(number),
                                           "longer than " + std::to_string(longest) + " bytes, which no line of a capture is");
                line.append(block + at, end - at);
                at = end;
                if (newline) {
                    lines.push_back(std::move(line));
                    line = std::string();
                    ++number;
                    ++at;
                }
            }
        }
        if (!line.empty())
            lines.push_back(std::move(line));
    } catch (const std::bad_alloc&) {
        // Its memory given back first, so that the complaint can be made.
        line = std::string();
        lines = std::vector<std::string>();
        throw MachineFileError("line " + std::to_string(number), "out of memory: the capture is larger than this process may hold");
    }
    return lines;
}

nlohmann::json line_json(const std::string& text, size_t number)
{
    std::string where = "line " + std::to_string(number);
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& x) {
        // The parser counts lines of its own text, always one: say the column alone.
        std::string why = x.what();
        size_t colon = why.find(": ");
        throw MachineFileError(where, "no JSON at column " + std::to_string(x.byte) + ": " +
                                          (colon == std::string::npos ? why : why.substr(colon + 2)));
    }
    if (!j.is_object())
        throw MachineFileError(where, "expected an object");
    return j;
}

Capture parse_capture(const std::vector<std::string>& lines)
{
    if (lines.empty() || lines[0].empty())
        throw MachineFileError("line 1", "no header: not a capture");
    Capture c;
    size_t number = 1;
    try {
        nlohmann::json header = line_json(lines[0], 1);
        c.header = parse_header(Field(header, "line 1"));
        for (size_t i = 1; i < lines.size(); ++i) {
            number = i + 1;
            if (lines[i].empty())
                continue;
            nlohmann::json doc = line_json(lines[i], number);
            c.events.push_back(parse_event(Field(doc, "line " + std::to_string(number)), number));
        }
    } catch (const std::bad_alloc&) {
        c = Capture();
        throw MachineFileError("line " + std::to_string(number), "out of memory: the capture is larger than this process may hold");
    }
    return c;
}

Capture read_capture(std::istream& in) { return parse_capture(read_capture_lines(in)); }

std::vector<uint8_t> run_request(const Event& run, uint64_t index, const std::vector<uint8_t>* image)
{
    std::vector<uint8_t> req = run.prefix;
    unsigned address = static_cast<unsigned>(run.first + index);
    req.push_back(static_cast<uint8_t>(address >> 8));
    req.push_back(static_cast<uint8_t>(address));
    req.push_back(image && address < image->size() ? (*image)[address] : 0);
    return req;
}

}  // namespace sim::capture
