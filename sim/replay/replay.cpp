// SPDX-License-Identifier: MIT
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "../basics/errno_names.h"
#include "../machine/signals.h"
#include "../machine/keyboard.h"
#include "../basics/trace.h"

namespace sim {

namespace {

constexpr uint16_t kIoDelayPort = 0x80;
constexpr uint8_t kWriteStart = 0x61;

std::string hex(const std::vector<uint8_t>& bytes) { return Trace::hex(bytes); }

std::string hex_byte(uint8_t b)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

std::string port_name(uint16_t port)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", port);
    return text;
}

// The request a send carries, in KCS layout, as the recorder writes it.
std::vector<uint8_t> request_of(const ipmi_req* req)
{
    const auto* addr = reinterpret_cast<const ipmi_system_interface_addr*>(req->addr);
    uint8_t lun = addr && req->addr_len >= sizeof *addr ? addr->lun : 0;
    // Sized once: growing a two-byte vector trips GCC's -O2 bounds warning.
    std::vector<uint8_t> bytes(2 + (req->msg.data ? req->msg.data_len : 0));
    bytes[0] = static_cast<uint8_t>(req->msg.netfn << 2 | (lun & 3));
    bytes[1] = req->msg.cmd;
    if (req->msg.data)
        std::copy_n(req->msg.data, req->msg.data_len, bytes.begin() + 2);
    return bytes;
}

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
// Device nodes and the driver

int Replay::open(const char* path, int flags)
{
    const Event& e = expect(Kind::Open, std::string("opens ") + path);
    if (e.path != path || e.flags != flags)
        leave(std::string("opens ") + path, describe_next());
    catch_up(e.t);
    if (e.r >= 0) {
        nodes_[static_cast<int>(e.r)] = path;
        context_.trace.line("open %s = %lld", path, static_cast<long long>(e.r));
    } else {
        context_.trace.line("open %s = -1 %s", path, errno_name(e.err));
    }
    int r = static_cast<int>(e.r);
    int err = e.err;
    done();
    errno = err;
    return r;
}

int Replay::close(int fd)
{
    const Event& e = expect(Kind::Close, "closes " + std::to_string(fd));
    if (e.fd != fd)
        leave("closes " + std::to_string(fd), describe_next());
    catch_up(e.t);
    if (e.r == 0)
        context_.trace.line("close %d", fd);
    int r = static_cast<int>(e.r), err = e.err;
    nodes_.erase(fd);
    done();
    errno = err;
    return r;
}

int Replay::ioctl(int fd, unsigned long request, void* arg)
{
    if (request == IPMICTL_SEND_COMMAND)
        return send(fd, arg);
    if (request == IPMICTL_RECEIVE_MSG_TRUNC)
        return receive(fd, arg);
    const Event& e = expect(Kind::Ioctl, "makes the ioctl " + std::to_string(request));
    if (e.fd != fd || e.request != request)
        leave("makes the ioctl " + std::to_string(request) + " on " + std::to_string(fd), describe_next());
    catch_up(e.t);
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

std::vector<uint8_t> Replay::run_request(const Event& run, uint64_t index) const
{
    return capture::run_request(run, index, image_ ? &*image_ : nullptr);
}

int Replay::send(int fd, void* arg)
{
    const auto* req = static_cast<const ipmi_req*>(arg);
    std::vector<uint8_t> bytes = request_of(req);
    std::string call = "sends request " + hex(bytes) + " (id " + std::to_string(req->msgid) + ")";
    bool in_run = next_ < events_.size() && events_[next_].kind == Kind::ExchangeRun && stage_ == 0 &&
                  !(next_poll_ < events_[next_].polls.size() && events_[next_].polls[next_poll_] == command_);
    if (in_run) {
        const Event& run = events_[next_];
        std::vector<uint8_t> want = run_request(run, command_);
        // Without the image the data byte is not known: only the rest is checked.
        bool same = bytes.size() == want.size() &&
                    std::equal(bytes.begin(), bytes.end() - (image_ ? 0 : 1), want.begin()) &&
                    req->msgid == run.id + static_cast<int64_t>(command_) && run.fd == fd;
        if (!same)
            leave(call, describe_next());
        // Each command goes out its gap after the answer before it.
        if (command_ == 0) {
            command_sent_ = run.t;
        } else {
            auto late = run.late.find(command_);
            command_sent_ = context_.clock.elapsed_us() + (late != run.late.end() ? late->second.first : run.gap);
        }
        catch_up(command_sent_);
        context_.trace.line("%s driver request id %ld: %s", bmc_of_fd(fd).c_str(), req->msgid, hex(bytes).c_str());
        stage_ = 1;
        return 0;
    }
    const Event& e = expect(Kind::Exchange, call);
    if (e.fd != fd || e.id != req->msgid || e.req != bytes)
        leave(call, describe_next());
    catch_up(e.t);
    context_.trace.line("%s driver request id %ld: %s", bmc_of_fd(fd).c_str(), req->msgid, hex(bytes).c_str());
    while (deliver_request_signal(e, "send")) {
    }
    if (e.send_err) {
        int err = e.send_err;
        done();
        errno = err;
        return -1;
    }
    stage_ = 1;
    return 0;
}

int Replay::receive(int fd, void* arg)
{
    auto* recv = static_cast<ipmi_recv*>(arg);
    std::string call = "receives on " + std::to_string(fd);
    if (next_ >= events_.size() || stage_ != 2)
        leave(call, describe_next());
    const Event& e = events_[next_];
    bool run = e.kind == Kind::ExchangeRun;
    if (e.fd != fd)
        leave(call, describe_next());
    if (!run)
        while (deliver_request_signal(e, "receive")) {
        }
    const std::vector<uint8_t>& resp = e.resp;
    int64_t msgid = run ? e.id + static_cast<int64_t>(command_) : e.rid;
    uint64_t at = e.rt;
    if (run) {
        auto late = e.late.find(command_);
        at = command_sent_ + (late != e.late.end() ? late->second.second : e.latency);
    }
    int err = run ? 0 : e.recv_err;
    catch_up(at);
    if (resp.size() >= 2) {
        context_.trace.line("%s driver response id %lld: %s", bmc_of_fd(fd).c_str(), static_cast<long long>(msgid),
                            hex(resp).c_str());
        ipmi_system_interface_addr from{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL,
                                        static_cast<unsigned char>(resp[0] & 3)};
        if (recv->addr && recv->addr_len >= sizeof from) {
            std::memcpy(recv->addr, &from, sizeof from);
            recv->addr_len = sizeof from;
        }
        recv->recv_type = IPMI_RESPONSE_RECV_TYPE;
        recv->msgid = msgid;
        recv->msg.netfn = resp[0] >> 2;
        recv->msg.cmd = resp[1];
        size_t length = resp.size() - 2;
        if (length > recv->msg.data_len)
            length = recv->msg.data_len;
        if (length && recv->msg.data)
            std::memcpy(recv->msg.data, resp.data() + 2, length);
        recv->msg.data_len = static_cast<unsigned short>(length);
    }
    if (run) {
        stage_ = 0;
        ++command_;
        if (command_ == e.count && !(next_poll_ < e.polls.size()))
            done();
        return 0;
    }
    done();
    errno = err;
    return err ? -1 : 0;
}

int Replay::select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    deliver_signals();
    int watched = -1, count = 0;
    for (int f = 0; readfds && f < nfds; ++f)
        if (FD_ISSET(f, readfds))
            watched = f, ++count;
    if (writefds)
        FD_ZERO(writefds);
    if (exceptfds)
        FD_ZERO(exceptfds);
    bool poll = count == 1 && watched == 0 && timeout && timeout->tv_sec == 0 && timeout->tv_usec == 0;
    if (poll) {
        if (next_ < events_.size() && stage_ == 0 &&
            (events_[next_].kind == Kind::ExchangeRun || events_[next_].kind == Kind::KcsRun) &&
            next_poll_ < events_[next_].polls.size() && events_[next_].polls[next_poll_] == command_ &&
            token_ == 0) {
            const Event& e = events_[next_];
            ++next_poll_;
            if (command_ == e.count && next_poll_ == e.polls.size())
                done();
            FD_ZERO(readfds);
            return 0;
        }
        const Event& e = expect(Kind::Poll, "looks at standard input");
        catch_up(e.t);
        FD_ZERO(readfds);
        if (e.r > 0)
            FD_SET(0, readfds);
        int r = static_cast<int>(e.r), err = e.err;
        done();
        errno = err;
        return r;
    }
    if (count == 1 && watched > 0 && next_ < events_.size() && stage_ == 1 &&
        (events_[next_].kind == Kind::Exchange || events_[next_].kind == Kind::ExchangeRun)) {
        const Event& e = events_[next_];
        if (e.fd != watched)
            leave("waits on " + std::to_string(watched), describe_next());
        if (e.kind == Kind::Exchange && deliver_request_signal(e, "select")) {
            // The signal interrupted the wait; the tool waits again for the time left.
            if (timeout) {
                uint64_t waited = context_.clock.elapsed_us() - e.t;
                uint64_t asked = static_cast<uint64_t>(timeout->tv_sec) * 1000000 + static_cast<uint64_t>(timeout->tv_usec);
                uint64_t left = asked > waited ? asked - waited : 0;
                timeout->tv_sec = static_cast<time_t>(left / 1000000);
                timeout->tv_usec = static_cast<suseconds_t>(left % 1000000);
            }
            errno = EINTR;
            return -1;
        }
        FD_ZERO(readfds);
        if (e.kind == Kind::Exchange && e.has_select) {
            catch_up(e.st);
            if (e.select_r > 0 && e.fd_ready)
                FD_SET(watched, readfds);
            int r = static_cast<int>(e.select_r), err = e.select_err;
            if (!(e.select_r > 0 && e.fd_ready))
                done();
            else
                stage_ = 2;
            errno = err;
            return r;
        }
        FD_SET(watched, readfds);
        stage_ = 2;
        return 1;
    }
    const Event& e = expect(Kind::Select, "waits on " + std::to_string(watched));
    if (e.fd != watched)
        leave("waits on " + std::to_string(watched), describe_next());
    catch_up(e.t);
    if (readfds)
        FD_ZERO(readfds);
    if (e.r > 0 && e.fd_ready && readfds && watched >= 0)
        FD_SET(watched, readfds);
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

int Replay::iopl(int level)
{
    const Event& e = expect(Kind::Iopl, "asks for I/O privilege " + std::to_string(level));
    if (e.level != level)
        leave("asks for I/O privilege " + std::to_string(level), describe_next());
    catch_up(e.t);
    if (e.r == 0)
        context_.trace.line("iopl %d = 0", level);
    else
        context_.trace.line("iopl %d = -1 %s", level, errno_name(e.err));
    int r = static_cast<int>(e.r), err = e.err;
    done();
    errno = err;
    return r;
}

// ---------------------------------------------------------------------------
// KCS ports

void Replay::kcs_step()
{
    port_time_ns_ += port_access_ns_;
    context_.clock.advance(port_time_ns_ / 1000);
    port_time_ns_ %= 1000;
}

void Replay::kcs_trace(const Event& e, const capture::PortToken& token)
{
    // The answer is there once the status shows OBF after the request.
    if (token.kind == 's' && (token.value & 0x01) && request_traced_ && !response_traced_) {
        response_traced_ = true;
        const std::vector<uint8_t>& resp = e.resp;
        if (!resp.empty())
            context_.trace.line("%s kcs response: %s", bmc_of_port(e.status_port).c_str(), hex(resp).c_str());
    }
}

// The port access the capture has next in the transfer under way; a
// status read that lasted goes on as long as the tool reads the status.
const capture::PortToken& Replay::kcs_token(const std::string& call)
{
    const Event& e = events_[next_];
    if (token_ >= e.ports.size())
        leave(call, describe_next());
    return e.ports[token_];
}

uint8_t Replay::inb(uint16_t port)
{
    std::string call = "reads port " + port_name(port);
    end_lasting_read(port);
    // The capture's times are those after the access; a signal comes during it.
    kcs_step();
    deliver_signals();
    deliver_transfer_signals();
    if (next_ < events_.size() && events_[next_].kind == Kind::Inb && events_[next_].port == port) {
        const Event& e = events_[next_];
        if (loose_used_ == 0) {
            catch_up(e.t);
            token_began_ = context_.clock.elapsed_us();
        } else if (e.d && e.n > 1) {
            catch_up(token_began_ + e.d * loose_used_ / (e.n - 1));
        }
        ++loose_used_;
        uint8_t v = e.port_value;
        // A read that lasted goes on while the tool keeps reading that port.
        if (loose_used_ >= e.n && !e.d)
            done();
        return v;
    }
    if (next_ >= events_.size() || (events_[next_].kind != Kind::Kcs && events_[next_].kind != Kind::KcsRun))
        leave(call, describe_next());
    const Event& e = events_[next_];
    if (port != e.status_port && port != e.data_port)
        leave(call, describe_next());
    if (token_ == 0 && used_ == 0 && command_ == 0)
        catch_up(e.t);
    for (;;) {
        const capture::PortToken& t = kcs_token(call);
        bool status = port == e.status_port;
        if (t.kind == 's' && status) {
            bool elastic = lasting(e, token_) && used_ >= t.count;
            if (elastic && token_ + 1 < e.ports.size() && e.ports[token_ + 1].kind == 's') {
                // The status changed after this many reads.
                ++token_;
                used_ = 0;
                continue;
            }
            // A run that lasted keeps the pace it had: read k comes k/(n-1)
            // of its duration after the first.
            if (used_ == 0)
                token_began_ = context_.clock.elapsed_us();
            else if (t.duration_us && t.count > 1)
                catch_up(token_began_ + t.duration_us * used_ / (t.count - 1));
            ++used_;
            kcs_trace(e, t);
            uint8_t v = t.value;
            if (!lasting(e, token_) && used_ == t.count)
                next_token();
            return v;
        }
        if (t.kind == 's' && lasting(e, token_) && used_ > 0) {
            // The tool has stopped reading the status: the run is over.
            ++token_;
            used_ = 0;
            continue;
        }
        if (t.kind == 'd' && !status) {
            uint8_t v = t.value;
            next_token();
            return v;
        }
        leave(call, describe_next());
    }
}

void Replay::outb(uint8_t value, uint16_t port)
{
    if (port == kIoDelayPort) {
        kcs_step();
        // A signal the capture has after a transfer came before the next
        // call: by this delay write after the transfer's last access, the
        // last call before the tool looks at its signals again. (Unless the
        // next call is a wait it broke off: it came during that wait.)
        size_t after = next_;
        while (after < events_.size() && events_[after].kind == Kind::Signal)
            ++after;
        bool broke_off = after < events_.size() && events_[after].err == EINTR;
        // Its time in the capture is the next call's, when it was noted.
        while (!broke_off && next_ < after && stage_ == 0 && token_ == 0 && command_ == 0 && loose_used_ == 0) {
            int sig = events_[next_].sig;
            done();
            deliver(sig);
        }
        return;
    }
    std::string call = "writes " + hex_byte(value) + " to port " + port_name(port);
    end_lasting_read(0);
    kcs_step();
    deliver_signals();
    deliver_transfer_signals();
    if (next_ < events_.size() && events_[next_].kind == Kind::Outb) {
        const Event& e = events_[next_];
        if (e.port != port || e.port_value != value)
            leave(call, describe_next());
        catch_up(e.t);
        done();
        return;
    }
    if (next_ >= events_.size() || (events_[next_].kind != Kind::Kcs && events_[next_].kind != Kind::KcsRun))
        leave(call, describe_next());
    const Event& e = events_[next_];
    if (token_ == 0 && used_ == 0 && command_ == 0)
        catch_up(e.t);
    // A status read that lasted ends with the first access of another kind.
    while (token_ < e.ports.size() && e.ports[token_].kind == 's' && lasting(e, token_) && used_ > 0) {
        ++token_;
        used_ = 0;
    }
    const capture::PortToken& t = kcs_token(call);
    bool status = port == e.status_port;
    if ((t.kind == 'c' && !status) || (t.kind == 'w' && (status || port != e.data_port)) ||
        (t.kind != 'c' && t.kind != 'w'))
        leave(call, describe_next());
    std::vector<uint8_t> req = e.kind == Kind::KcsRun ? run_request(e, command_) : e.req;
    uint8_t want = t.value;
    if (t.masked) {
        // The command's own bytes: address and, with the image, the data byte.
        size_t at = written_;
        want = at < req.size() ? req[at] : 0;
        if (!image_ && at + 1 == req.size())
            want = value;
    }
    if (value != want)
        leave(call + (req.empty() ? std::string() : " (request byte " + std::to_string(written_) + ")"),
              "a write of " + hex_byte(want) + " there (request " + hex(req) + ")");
    if (t.kind == 'c' && value == kWriteStart) {
        written_ = 0;
        request_traced_ = response_traced_ = false;
    }
    if (t.kind == 'w' && !request_traced_ && written_ < req.size()) {
        ++written_;
        if (written_ == req.size()) {
            request_traced_ = true;
            context_.trace.line("%s kcs request: %s", bmc_of_port(e.status_port).c_str(), hex(req).c_str());
            // An answer there at the next look was there at once.
            if (token_ + 1 < e.ports.size())
                kcs_trace(e, e.ports[token_ + 1]);
        }
    }
    next_token();
}

void Replay::next_token()
{
    const Event& e = events_[next_];
    ++token_;
    used_ = 0;
    if (token_ < e.ports.size())
        return;
    if (e.kind == Kind::Kcs) {
        done();
        return;
    }
    // The next command of the run, or the run is over.
    ++command_;
    token_ = 0;
    written_ = 0;
    request_traced_ = response_traced_ = false;
    if (command_ == e.count && next_poll_ == e.polls.size())
        done();
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
    if (next_ < events_.size())
        leave("ends", describe_next());
}

}  // namespace sim
