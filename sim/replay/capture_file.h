// SPDX-License-Identifier: MIT
// Reading a capture of --capture: the header and one event per line, as
// sim/capture/README.md describes them. The replay machine (replay.h) and
// qb40sim-capture (sim/capture/) read captures through this.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../basics/json_field.h"

namespace sim::capture {

struct Header {
    int format = 1;
    std::string tool_version;
    std::string program;
    std::vector<std::string> arguments;
    int64_t start_us = 0;  // wall clock, microseconds since the epoch
    std::string zone_name;
    int64_t utc_offset_s = 0;
    struct Image {
        std::string name;
        std::optional<uint64_t> size;  // not loaded: no size, digest or version
        std::string sha256;
        std::optional<std::array<uint8_t, 3>> version;
    };
    std::optional<Image> image;
    bool redacted_vpd = false;
    bool redacted_host = false;  // the host name, DMI serial and machine id are placeholders
};

// One port access of a KCS transfer: a status read ('s'), a data read
// ('d'), a write to the command port ('c') or to the data port ('w').
struct PortToken {
    char kind = 's';
    uint8_t value = 0;
    bool masked = false;        // "w??": a byte of the run's own command, not this one's value
    uint64_t count = 1;         // equal status reads one after the other
    uint64_t duration_us = 0;   // how long they lasted, when it was a millisecond or more
    int sig = 0;                // '!': a signal came before the next access,
    uint64_t t = 0;             // at this time
};
std::vector<PortToken> parse_ports(const std::string& text);  // throws std::invalid_argument
std::string ports_text(const std::vector<PortToken>& tokens);

enum class Kind {
    Open,
    Close,
    Ioctl,        // a request other than send and receive
    Exchange,     // "x": one request through the driver
    ExchangeRun,  // "x_run": byte commands through the driver
    Select,       // a select other than the driver's and a poll of standard input
    Poll,         // select on standard input without waiting
    Iopl,
    Inb,          // port accesses outside a transfer
    Outb,
    Kcs,          // one KCS transfer
    KcsRun,       // byte commands through the KCS ports
    Sleep,
    Time,
    Shell,
    Tcgetattr,
    Tcsetattr,
    Key,
    Fflush,
    Signal,       // a signal the run's handlers received (before the next call returned)
    Sigaction,    // a handler installed (or the default action put back)
    Raise,        // the run ends by a signal it sends itself
    Hostname,
    SystemFile,   // a small file of the system's read whole
    LanSession,   // the network road: a session had (or not) with a --lan BMC
    LanExchange,  // "lan_x": one sending of a request in the session, and its answer
    LanRun,       // "lan_run": byte commands in the session
    LanClose,     // the session closed
};
const char* kind_name(Kind kind);

struct Event {
    Kind kind = Kind::Time;
    size_t line = 0;  // in the capture, the header being line 1
    uint64_t t = 0;   // microseconds since the start, when the call returned (a transfer: began)

    // A plain call's result.
    int64_t r = 0;
    int err = 0;
    int fd = -1;               // open: the result; close, ioctl, select, exchanges: the descriptor
    std::string path;          // open, sysfile
    int flags = 0;             // open
    unsigned long request = 0; // ioctl
    int64_t timeout_us = -1;   // select
    bool fd_ready = true;      // select, exchange: the descriptor was in the set the select returned
    int level = 0;             // iopl
    uint64_t us = 0;           // sleep: asked for
    uint64_t left_us = 0;      // sleep: left when a signal interrupted it
    int sig = 0;               // signal, sigaction, raise: its number (0: an interruption no handler saw)
    std::string action;        // sigaction: "handler", "default", "ignore" or "query"
    std::string text;          // hostname: the name; sysfile: the bytes read
    int64_t value = 0;         // time
    std::string command;       // shell
    std::string how;           // tcsetattr
    bool raw = false;          // tcsetattr
    int key = 0;               // getchar: the byte, or -1 (EOF)
    uint64_t wait_us = 0;      // getchar: how long it took

    // A request to the BMC through the driver.
    int64_t id = 0;
    std::vector<uint8_t> req, resp;  // KCS layout; a run: the answer of every command
    int send_err = 0;
    bool has_select = false;  // the select did not simply find the answer there
    int64_t select_r = 1;
    int select_err = 0;
    uint64_t st = 0;
    bool received = false;
    uint64_t rt = 0;
    int64_t rid = 0;
    int recv_err = 0;
    // Signals during the request, at its send, its select (which failed with
    // EINTR and was made again) or its receive.
    struct Interruption {
        int sig;
        std::string stage;
        uint64_t t;
    };
    std::vector<Interruption> signals;

    // KCS: the transfer's ports; loose accesses: the port, value, count and duration.
    uint16_t status_port = 0, data_port = 0, port = 0;
    uint8_t port_value = 0;
    uint64_t n = 1, d = 0;
    std::vector<PortToken> ports;
    uint64_t t1 = 0;

    // A run of byte commands: prefix + AH AL + the image's byte at AH AL.
    std::vector<uint8_t> prefix;
    unsigned first = 0;
    uint64_t count = 0;
    // Through the driver: each command's answer `latency` after it, the next
    // command `gap` after that answer, but for the late ones: index -> {gap, latency}.
    uint64_t latency = 0, gap = 0;
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> late;
    std::vector<uint64_t> polls;  // command indexes a quiet poll of standard input came before

    // The network road (the answer of a lan_x is `resp` at `rt` when
    // `received`; else the tool gave up waiting at `rt`).
    int bmc = -1;                // the --lan BMC's number, in the order given
    std::string host, user, privilege;
    int suite = 0;               // the cipher suite agreed, 0: none
    std::string result;          // lan_session: "opened", or why not
};

struct Capture {
    Header header;
    std::vector<Event> events;
};

Header parse_header(const Field& f);
Event parse_event(const Field& f, size_t line);

// The longest line a capture may hold. The tool's longest is its header,
// whose arguments are a command line (2 MiB on Linux, each byte written as
// at most six); a longer line is no capture's, and is not read whole.
constexpr size_t kLongestLine = size_t{16} << 20;

// One reader for every use of a capture file (replay, model, diff): its
// lines as the file has them, lines[i] being line i + 1 (an empty line
// stays, and stands for nothing). Every line is read or the reading fails:
// throws MachineFileError naming the line for one longer than `longest` and
// for memory that runs out.
std::vector<std::string> read_capture_lines(std::istream& in, size_t longest = kLongestLine);

// Line `number` as JSON: an object, or MachineFileError naming the line.
nlohmann::json line_json(const std::string& text, size_t number);

// The header (line 1) and one event per line after it; throws
// MachineFileError naming the line and the field.
Capture parse_capture(const std::vector<std::string>& lines);

// A whole capture: parse_capture of read_capture_lines.
Capture read_capture(std::istream& in);

// A run's request for the command at `index` (AH AL from the address, the
// data byte from `image`, or 0 without one).
std::vector<uint8_t> run_request(const Event& run, uint64_t index, const std::vector<uint8_t>* image);

}  // namespace sim::capture
