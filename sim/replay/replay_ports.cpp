// SPDX-License-Identifier: MIT
// The replay's KCS transfers and loose port accesses (replay.h).
#include "replay.h"

#include <cerrno>

#include "replay_text.h"
#include "../bmc/kcs_codes.h"

namespace sim {

using replay_text::hex;
using replay_text::hex_byte;
using replay_text::port_name;

namespace {

constexpr uint16_t kIoDelayPort = 0x80;

}  // namespace

void Replay::kcs_step()
{
    port_time_ns_ += port_access_ns_;
    context_.clock.advance(port_time_ns_ / 1000);
    port_time_ns_ %= 1000;
}

void Replay::kcs_trace(const Event& e, const capture::PortToken& token)
{
    // The answer is there once the status shows OBF after the request.
    if (token.kind == 's' && (token.value & kcs::kObf) && request_traced_ && !response_traced_) {
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
    if (t.kind == 'c' && value == kcs::kWriteStart) {
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

}  // namespace sim
