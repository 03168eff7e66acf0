// SPDX-License-Identifier: MIT
#include "vm_session.h"

#include <algorithm>

namespace sim::vm {

namespace {

constexpr uint8_t kProtocolVersion = 0x01;

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kCmdSetBmcGlobalEnables = 0x2E;
// Bit 0 of the global enables: interrupt when a response is ready.
constexpr uint8_t kReceiveMessageInterrupt = 0x01;

}  // namespace

Session::Session(Responder responder, Trace& trace, std::string name)
    : responder_(std::move(responder)), trace_(trace), name_(std::move(name))
{
}

std::vector<uint8_t> Session::greeting() const
{
    const uint8_t version[] = {kCmdVersion, kProtocolVersion};
    return encode_command(version);
}

std::vector<uint8_t> Session::receive(std::span<const uint8_t> bytes, uint64_t now_us)
{
    std::vector<Frame> frames;
    decoder_.feed(bytes, frames);
    for (const Frame& frame : frames) {
        if (!frame.valid) {
            trace_.line("%s vm bad %s frame %s", name_.c_str(),
                        frame.kind == Frame::Kind::Message ? "message" : "command", Trace::hex(frame.bytes).c_str());
            continue;
        }
        if (frame.kind == Frame::Kind::Message)
            on_message(frame, now_us);
        else
            on_command(frame);
    }
    return due(now_us);
}

std::vector<uint8_t> Session::due(uint64_t now_us)
{
    std::vector<uint8_t> out;
    while (!pending_.empty() && pending_.front().at_us <= now_us) {
        send(pending_.front(), out);
        pending_.pop_front();
    }
    return out;
}

std::optional<uint64_t> Session::next_due() const
{
    if (pending_.empty())
        return std::nullopt;
    return pending_.front().at_us;
}

void Session::on_message(const Frame& frame, uint64_t now_us)
{
    // message id, NetFn/LUN, command, data
    if (frame.bytes.size() < 3) {
        trace_.line("%s vm short message %s", name_.c_str(), Trace::hex(frame.bytes).c_str());
        return;
    }
    uint8_t msgid = frame.bytes[0];
    std::vector<uint8_t> request(frame.bytes.begin() + 1, frame.bytes.end());
    trace_.line("%s vm request id %u: %s", name_.c_str(), msgid, Trace::hex(request).c_str());
    Answer answer = responder_(request);
    if (answer.response.empty())
        return;
    Pending p{now_us + answer.delay_us, msgid, std::move(request), std::move(answer.response)};
    auto pos = std::upper_bound(pending_.begin(), pending_.end(), p.at_us,
                                [](uint64_t at, const Pending& e) { return at < e.at_us; });
    pending_.insert(pos, std::move(p));
}

void Session::send(const Pending& p, std::vector<uint8_t>& out)
{
    trace_.line("%s vm response id %u: %s", name_.c_str(), p.msgid, Trace::hex(p.response).c_str());
    std::vector<uint8_t> body;
    body.reserve(p.response.size() + 1);
    body.push_back(p.msgid);
    body.insert(body.end(), p.response.begin(), p.response.end());
    std::vector<uint8_t> framed = encode_message(body);
    out.insert(out.end(), framed.begin(), framed.end());

    // The machine raises its interrupt only when told to; the BMC tells it
    // whenever the driver turns the receive-message interrupt on or off.
    const std::vector<uint8_t>& rq = p.request;
    const std::vector<uint8_t>& rs = p.response;
    bool set_enables = rq.size() >= 3 && (rq[0] >> 2) == kNetFnApp && rq[1] == kCmdSetBmcGlobalEnables &&
                       rs.size() >= 3 && rs[2] == 0x00;
    if (set_enables) {
        bool wanted = (rq[2] & kReceiveMessageInterrupt) != 0;
        if (wanted != irq_enabled_) {
            irq_enabled_ = wanted;
            const uint8_t command[] = {wanted ? kCmdEnableIrq : kCmdDisableIrq};
            std::vector<uint8_t> control = encode_command(command);
            out.insert(out.end(), control.begin(), control.end());
            trace_.line("%s vm irq %s", name_.c_str(), wanted ? "on" : "off");
        }
    }
}

void Session::on_command(const Frame& frame)
{
    if (frame.bytes.empty())
        return;
    std::span<const uint8_t> args(frame.bytes.begin() + 1, frame.bytes.end());
    switch (frame.bytes[0]) {
    case kCmdVersion:
        trace_.line("%s vm version %s", name_.c_str(), Trace::hex(args).c_str());
        break;
    case kCmdCapabilities:
        trace_.line("%s vm capabilities %s", name_.c_str(), Trace::hex(args).c_str());
        break;
    default:
        trace_.line("%s vm command %s", name_.c_str(), Trace::hex(frame.bytes).c_str());
        break;
    }
}

}  // namespace sim::vm
