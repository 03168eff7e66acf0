// SPDX-License-Identifier: MIT
// The replay's device nodes and driver requests (replay.h).
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "../basics/errno_names.h"
#include "replay_text.h"

namespace sim {

using replay_text::hex;

namespace {

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

}  // namespace

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
    if (is_socket(fd)) {
        sockets_.erase(fd);
        return host_.close(fd);
    }
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
    if (count == 1 && is_socket(watched))
        return host_.select(nfds, readfds, writefds, exceptfds, timeout);
    bool poll = count == 1 && watched == 0 && timeout && timeout->tv_sec == 0 && timeout->tv_usec == 0;
    if (poll)
        return poll_stdin(readfds);
    if (count == 1 && watched > 0 && next_ < events_.size() && stage_ == 1 &&
        (events_[next_].kind == Kind::Exchange || events_[next_].kind == Kind::ExchangeRun))
        return wait_for_answer(watched, readfds, timeout);
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

// A look at standard input without waiting: a run's quiet poll, or a poll of its own.
int Replay::poll_stdin(fd_set* readfds)
{
    if (next_ < events_.size() && stage_ == 0 &&
        (events_[next_].kind == Kind::ExchangeRun || events_[next_].kind == Kind::KcsRun ||
         events_[next_].kind == Kind::LanRun) &&
        next_poll_ < events_[next_].polls.size() && events_[next_].polls[next_poll_] == command_ && token_ == 0) {
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

// The wait for the answer to the driver request under way.
int Replay::wait_for_answer(int watched, fd_set* readfds, struct timeval* timeout)
{
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

}  // namespace sim
