// SPDX-License-Identifier: MIT
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>

#include "../basics/errno_names.h"
#include "../basics/trace.h"
#include "../machine/keyboard.h"
#include "../machine/signal_schedule.h"
#include "replay_text.h"

namespace sim {

using replay_text::hex;
using replay_text::hex_byte;
using replay_text::port_name;

namespace {

// tcsetattr's actions by value, as the capture names them.
constexpr const char* kActions[] = {"TCSANOW", "TCSADRAIN", "TCSAFLUSH"};
const char* action_name(int action) { return action >= 0 && action <= 2 ? kActions[action] : "?"; }

// What the machine's shell says on standard error for a command that
// failed, as the simulated machine's own does.
void shell_complaint(const std::string& command, int64_t status)
{
    const std::string modprobe = "modprobe ";
    if (status == (1 << 8) && command.rfind(modprobe, 0) == 0)
        std::fprintf(stderr, "modprobe: FATAL: Module %s not found.\n", command.substr(modprobe.size()).c_str());
    else if (status == (127 << 8))
        std::fprintf(stderr, "sh: 1: %s: not found\n", command.c_str());
}

}  // namespace

Replay::Replay(Seam& host, Context context, std::vector<capture::Event> events,
               std::optional<std::vector<uint8_t>> image, uint32_t port_access_ns)
    : host_(host), context_(context), events_(std::move(events)), image_(std::move(image)), port_access_ns_(port_access_ns)
{
}

// ---------------------------------------------------------------------------
// Following the capture

void Replay::leave(const std::string& call, const std::string& capture_has)
{
    std::string where =
        next_ < events_.size() ? "at line " + std::to_string(events_[next_].line) : "after its last line";
    std::fflush(stdout);
    std::fprintf(stderr, "qb40tool-sim: replay: the run leaves the capture %s: the tool %s; the capture has %s\n",
                 where.c_str(), call.c_str(), capture_has.c_str());
    context_.trace.line("replay left the capture %s: %s; the capture has %s", where.c_str(), call.c_str(),
                        capture_has.c_str());
    std::_Exit(kLeftTheCapture);
}

int Replay::socket(int domain, int type, int protocol)
{
    std::string call = "opens a network socket";
    expect_lan(call);
    int fd = host_.socket(domain, type, protocol);
    if (fd >= 0)
        sockets_.insert(fd);
    return fd;
}

int Replay::connect(int fd, const struct sockaddr* addr, socklen_t len)
{
    if (!is_socket(fd))
        leave("connects socket " + std::to_string(fd), describe_next());
    return host_.connect(fd, addr, len);
}

ssize_t Replay::send(int fd, const void* buf, size_t len)
{
    if (!is_socket(fd))
        leave("sends on socket " + std::to_string(fd), describe_next());
    deliver_signals();
    // A request of the exchange goes out when the capture's did (the
    // session's own datagrams come before a note, lan_session or lan_close).
    if (next_ < events_.size() && events_[next_].kind == Kind::LanExchange)
        catch_up(events_[next_].t);
    else if (next_ < events_.size() && events_[next_].kind == Kind::LanRun && command_ == 0)
        catch_up(events_[next_].t);
    return host_.send(fd, buf, len);
}

ssize_t Replay::recv(int fd, void* buf, size_t len)
{
    if (!is_socket(fd))
        leave("receives on socket " + std::to_string(fd), describe_next());
    return host_.recv(fd, buf, len);
}

ssize_t Replay::getrandom(void* buf, size_t len) { return host_.getrandom(buf, len); }

int Replay::resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len)
{
    expect_lan(std::string("resolves \"") + (host ? host : "") + "\"");
    return host_.resolve(host, port, addr, len);
}

void Replay::expect_lan(const std::string& call)
{
    while (next_ < events_.size() && events_[next_].kind == Kind::LanClose)
        done();
    end_lasting_read(0);
    deliver_signals();
    if (next_ >= events_.size() || events_[next_].kind != Kind::LanSession)
        leave(call, describe_next());
}

void Replay::pass_lan_notes()
{
    while (next_ < events_.size() &&
           (events_[next_].kind == Kind::LanSession || events_[next_].kind == Kind::LanClose) && command_ == 0) {
        const Event& e = events_[next_];
        if (e.kind == Kind::LanSession && e.result != "opened")
            leave("has a session with the BMC at " + e.host,
                  "a session that was not had (" + e.result + "), which the replay's BMC does not refuse");
        done();
    }
}

void Replay::answer_lan(BmcCore& core, uint64_t answer_us)
{
    core.answers = this;
    lan_answer_us_[&core] = answer_us;
}

AnswerSource::Answer Replay::answer(const BmcCore& core, std::span<const uint8_t> request)
{
    std::vector<uint8_t> bytes(request.begin(), request.end());
    std::string call = "sends request " + hex(bytes) + " in the session";
    pass_lan_notes();
    if (next_ >= events_.size())
        leave(call, describe_next());
    const Event& e = events_[next_];
    const uint64_t now = context_.clock.elapsed_us();
    const uint64_t own = lan_answer_us_[&core];
    // The answer comes when the capture's came: the BMC's LAN interface adds its own time.
    auto after = [&](uint64_t at) { return at > now + own ? at - now - own : 0; };
    Answer a;
    if (e.kind == Kind::LanExchange) {
        if (e.req != bytes)
            leave(call, describe_next());
        if (e.received) {
            a.response = e.resp;
            a.delay_us = after(e.rt);
        }
        done();
        return a;
    }
    if (e.kind != Kind::LanRun)
        leave(call, describe_next());
    std::vector<uint8_t> want = run_request(e, command_);
    // Without the image the data byte is not known: only the rest is checked.
    bool same = bytes.size() == want.size() && std::equal(bytes.begin(), bytes.end() - (image_ ? 0 : 1), want.begin());
    if (!same)
        leave(call, describe_next());
    auto late = e.late.find(command_);
    uint64_t latency = late != e.late.end() ? late->second.second : e.latency;
    a.response = e.resp;
    a.delay_us = after(now + latency);
    ++command_;
    if (command_ == e.count && !(next_poll_ < e.polls.size()))
        done();
    return a;
}

std::string Replay::describe_next() const
{
    if (next_ >= events_.size())
        return "nothing more";
    const Event& e = events_[next_];
    switch (e.kind) {
    case Kind::Open:
        return "open " + e.path;
    case Kind::Close:
        return "close " + std::to_string(e.fd);
    case Kind::Ioctl:
        return "an ioctl on " + std::to_string(e.fd);
    case Kind::Exchange:
        if (stage_ == 0)
            return "request " + hex(e.req) + " (id " + std::to_string(e.id) + ")";
        return stage_ == 1 ? "the select for request id " + std::to_string(e.id)
                           : "the receive of request id " + std::to_string(e.id);
    case Kind::ExchangeRun:
        return "request " + hex(run_request(e, command_)) + " (id " + std::to_string(e.id + int64_t(command_)) + ")";
    case Kind::Select:
        return "a select on " + std::to_string(e.fd);
    case Kind::Poll:
        return "a look at standard input";
    case Kind::Iopl:
        return "iopl " + std::to_string(e.level);
    case Kind::Inb:
        return "a read of port " + port_name(e.port);
    case Kind::Outb:
        return "a write of " + hex_byte(e.port_value) + " to port " + port_name(e.port);
    case Kind::Kcs:
    case Kind::KcsRun: {
        if (token_ >= e.ports.size())
            return "the end of a KCS transfer";
        const capture::PortToken& t = e.ports[token_];
        if (t.kind == 's')
            return "a read of the status port " + port_name(e.status_port);
        if (t.kind == 'd')
            return "a read of the data port " + port_name(e.data_port);
        std::string value = t.masked ? "the command's byte" : hex_byte(t.value);
        return "a write of " + value + " to port " + port_name(t.kind == 'c' ? e.status_port : e.data_port) +
               (e.req.empty() ? std::string() : " (request " + hex(e.req) + ")");
    }
    case Kind::Sleep:
        return "a sleep of " + std::to_string(e.us) + " us";
    case Kind::Time:
        return "a look at the time";
    case Kind::Shell:
        return "the shell command \"" + e.command + "\"";
    case Kind::Tcgetattr:
        return "tcgetattr";
    case Kind::Tcsetattr:
        return "tcsetattr " + e.how;
    case Kind::Key:
        return "a key read";
    case Kind::Fflush:
        return "fflush(stdin)";
    case Kind::Signal:
        return "a signal";
    case Kind::Sigaction:
        return "sigaction " + SignalSchedule::name(e.sig) + " " + e.action;
    case Kind::Raise:
        return "raise " + SignalSchedule::name(e.sig);
    case Kind::Hostname:
        return "a look at the host name";
    case Kind::SystemFile:
        return "a read of " + e.path;
    case Kind::LanSession:
        return "a session with the BMC at " + e.host;
    case Kind::LanExchange:
        return "request " + hex(e.req) + " in the session";
    case Kind::LanRun:
        return "request " + hex(run_request(e, command_)) + " in the session";
    case Kind::LanClose:
        return "the session's close";
    }
    return "?";
}

void Replay::end_lasting_read(uint16_t port)
{
    while (next_ < events_.size()) {
        const Event& e = events_[next_];
        if (e.kind == Kind::Inb && e.d && loose_used_ >= e.n && port != e.port) {
            done();
            continue;
        }
        bool transfer = e.kind == Kind::Kcs || e.kind == Kind::KcsRun;
        if (!transfer || token_ + 1 != e.ports.size() || port == e.status_port)
            return;
        const capture::PortToken& t = e.ports[token_];
        if (t.kind != 's' || !t.duration_us || used_ == 0)
            return;
        // The transfer ended with the tool reading the status until it gave up.
        size_t before = next_;
        next_token();
        if (next_ == before)
            return;
    }
}

void Replay::deliver(int sig)
{
    if (sig == 0)
        return;  // an interruption no handler of the run saw
    context_.trace.line("signal %s", SignalSchedule::name(sig).c_str());
    struct sigaction action {};
    ::sigaction(sig, nullptr, &action);
    if (action.sa_flags & SA_SIGINFO) {
        siginfo_t info {};
        info.si_signo = sig;
        info.si_code = SI_USER;
        action.sa_sigaction(sig, &info, nullptr);
    } else if (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) {
        action.sa_handler(sig);
    }
}

void Replay::deliver_signals()
{
    while (next_ < events_.size() && events_[next_].kind == Kind::Signal && stage_ == 0 && token_ == 0 &&
           command_ == 0 && loose_used_ == 0) {
        catch_up(events_[next_].t);
        int sig = events_[next_].sig;
        done();
        deliver(sig);
    }
}

bool Replay::lasting(const Event& e, size_t token) const
{
    return e.ports[token].duration_us && !(token + 1 < e.ports.size() && e.ports[token + 1].kind == '!');
}

void Replay::deliver_transfer_signals()
{
    while (next_ < events_.size() && (events_[next_].kind == Kind::Kcs || events_[next_].kind == Kind::KcsRun) &&
           token_ < events_[next_].ports.size() && events_[next_].ports[token_].kind == '!') {
        const capture::PortToken& t = events_[next_].ports[token_];
        next_token();
        catch_up(t.t);
        deliver(t.sig);
    }
}

bool Replay::deliver_request_signal(const Event& e, const std::string& stage)
{
    size_t seen = 0;
    for (const Event::Interruption& i : e.signals) {
        if (i.stage != stage)
            continue;
        if (seen++ < request_signals_)
            continue;
        ++request_signals_;
        catch_up(i.t);
        deliver(i.sig);
        return true;
    }
    return false;
}

const capture::Event& Replay::expect(Kind kind, const std::string& call)
{
    pass_lan_notes();
    end_lasting_read(0);
    deliver_signals();
    if (next_ >= events_.size() || events_[next_].kind != kind)
        leave(call, describe_next());
    return events_[next_];
}

void Replay::done()
{
    ++next_;
    stage_ = 0;
    command_ = 0;
    next_poll_ = 0;
    token_ = 0;
    used_ = 0;
    loose_used_ = 0;
    written_ = 0;
    request_signals_ = 0;
    request_traced_ = response_traced_ = false;
}

void Replay::catch_up(uint64_t t) { context_.clock.advance_to(t); }

std::string Replay::bmc_of_fd(int fd) const
{
    auto it = nodes_.find(fd);
    if (it == nodes_.end())
        return "bmc?";
    const std::string& node = it->second;
    if (node == "/dev/ipmidev/0")
        return "bmc0";
    return "bmc" + node.substr(node.size() - 1);
}

std::string Replay::bmc_of_port(uint16_t /*status_port*/) const
{
    // The tool talks to one BMC through the ports: the first it finds.
    return "bmc0";
}

// ---------------------------------------------------------------------------
// Time, the shell and the terminal

int Replay::nanosleep(const struct timespec* req, struct timespec* rem)
{
    uint64_t usec = static_cast<uint64_t>(req->tv_sec) * 1000000 + static_cast<uint64_t>(req->tv_nsec) / 1000;
    std::string call = "sleeps " + std::to_string(usec) + " us";
    // The sleep begins now; a signal that comes during it interrupts it.
    end_lasting_read(0);
    size_t sleep = next_;
    while (sleep < events_.size() && events_[sleep].kind == Kind::Signal)
        ++sleep;
    if (sleep < events_.size() && events_[sleep].kind == Kind::Sleep && events_[sleep].us == usec)
        context_.trace.line("sleep %llu", static_cast<unsigned long long>(usec));
    const Event& e = expect(Kind::Sleep, call);
    if (e.us != usec)
        leave(call, describe_next());
    // A sleep that a signal cut short ends where the signal came, even at
    // its very end (nothing left).
    if (e.r == 0)
        context_.clock.advance(usec);
    catch_up(e.t);
    int r = static_cast<int>(e.r), err = e.err;
    if (r != 0 && err == EINTR && rem) {
        rem->tv_sec = static_cast<time_t>(e.left_us / 1000000);
        rem->tv_nsec = static_cast<long>(e.left_us % 1000000) * 1000;
    }
    done();
    errno = err;
    return r;
}

time_t Replay::time(time_t* t)
{
    const Event& e = expect(Kind::Time, "looks at the time");
    catch_up(e.t);
    time_t v = static_cast<time_t>(e.value);
    done();
    if (t)
        *t = v;
    return v;
}

int Replay::system(const char* command)
{
    const Event& e = expect(Kind::Shell, std::string("runs \"") + command + "\"");
    if (e.command != command)
        leave(std::string("runs \"") + command + "\"", describe_next());
    context_.trace.line("shell \"%s\"", command);
    catch_up(e.t);
    shell_complaint(e.command, e.r);
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

int Replay::tcgetattr(int fd, struct termios* attr)
{
    const Event& e = expect(Kind::Tcgetattr, "reads the terminal's settings");
    if (e.fd != fd)
        leave("reads the settings of terminal " + std::to_string(fd), describe_next());
    catch_up(e.t);
    if (e.r == 0 && attr)
        *attr = Keyboard::cooked_terminal();
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

int Replay::tcsetattr(int fd, int optional_actions, const struct termios* attr)
{
    bool raw = attr && !(attr->c_lflag & ICANON);
    std::string call = std::string("sets the terminal ") + (raw ? "raw" : "cooked") + " (" +
                       action_name(optional_actions) + ")";
    const Event& e = expect(Kind::Tcsetattr, call);
    if (e.fd != fd || e.how != action_name(optional_actions) || e.raw != raw)
        leave(call, describe_next());
    catch_up(e.t);
    if (e.r == 0)
        context_.trace.line("terminal %s", raw ? "raw" : "cooked");
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

int Replay::getchar()
{
    const Event& e = expect(Kind::Key, "reads a key");
    catch_up(e.t);
    if (e.key < 0)
        context_.trace.line("key EOF");
    else
        context_.trace.line("key 0x%02X", e.key);
    int key = e.key < 0 ? EOF : e.key;
    int err = e.err;
    done();
    if (err)
        errno = err;
    return key;
}

int Replay::fflush_stdin()
{
    const Event& e = expect(Kind::Fflush, "flushes standard input");
    catch_up(e.t);
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

void Replay::expect_sigaction(int sig, const struct sigaction* act)
{
    // A look at a handler changes nothing; the recorder's own calls before
    // and after the recording are not in the capture.
    if (!act || next_ >= events_.size() || events_[next_].kind != Kind::Sigaction)
        return;
    const char* action = (act->sa_flags & SA_SIGINFO) || (act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN)
                             ? "handler"
                             : act->sa_handler == SIG_IGN ? "ignore" : "default";
    std::string call = "sets sigaction " + SignalSchedule::name(sig) + " " + action;
    const Event& e = expect(Kind::Sigaction, call);
    if (e.sig != sig || e.action != action)
        leave(call, describe_next());
    catch_up(e.t);
    done();
}

int Replay::sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    expect_sigaction(sig, act);
    return host_.sigaction(sig, act, old);
}

int Replay::raise(int sig)
{
    std::string call = "raises " + SignalSchedule::name(sig);
    const Event& e = expect(Kind::Raise, call);
    if (e.sig != sig)
        leave(call, describe_next());
    catch_up(e.t);
    done();
    finish();
    return host_.raise(sig);
}

int Replay::gethostname(char* name, size_t len)
{
    const Event& e = expect(Kind::Hostname, "asks for the host name");
    catch_up(e.t);
    int r = static_cast<int>(e.r), err = e.err;
    if (r == 0 && len > 0) {
        size_t n = std::min(len, e.text.size() + 1);
        std::memcpy(name, e.text.c_str(), n);
    }
    done();
    errno = err;
    return r;
}

ssize_t Replay::read_system_file(const char* path, char* buf, size_t size)
{
    std::string call = std::string("reads ") + path;
    const Event& e = expect(Kind::SystemFile, call);
    if (e.path != path)
        leave(call, describe_next());
    catch_up(e.t);
    ssize_t r = static_cast<ssize_t>(e.r);
    int err = e.err;
    if (r >= 0) {
        r = static_cast<ssize_t>(std::min(size, e.text.size()));
        std::memcpy(buf, e.text.data(), static_cast<size_t>(r));
    }
    done();
    errno = err;
    return r;
}

void Replay::finish()
{
    pass_lan_notes();
    if (next_ < events_.size())
        leave("ends", describe_next());
}

}  // namespace sim
