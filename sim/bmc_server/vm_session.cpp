#include "vm_session.h"

#include <string>

namespace sim::vm {

namespace {

constexpr uint8_t kProtocolVersion = 0x01;

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kCmdSetBmcGlobalEnables = 0x2E;
// Bit 0 of the global enables: interrupt when a response is ready.
constexpr uint8_t kReceiveMessageInterrupt = 0x01;

}  // namespace

Session::Session(Responder responder, Trace& trace) : responder_(std::move(responder)), trace_(trace) {}

std::vector<uint8_t> Session::greeting() const
{
    const uint8_t version[] = {kCmdVersion, kProtocolVersion};
    return encode_command(version);
}

std::vector<uint8_t> Session::receive(std::span<const uint8_t> bytes)
{
    std::vector<Frame> frames;
    decoder_.feed(bytes, frames);
    std::vector<uint8_t> out;
    for (const Frame& frame : frames) {
        if (!frame.valid) {
            trace_.line("vm bad %s frame %s", frame.kind == Frame::Kind::Message ? "message" : "command",
                        Trace::hex(frame.bytes).c_str());
            continue;
        }
        if (frame.kind == Frame::Kind::Message)
            on_message(frame, out);
        else
            on_command(frame);
    }
    return out;
}

void Session::on_message(const Frame& frame, std::vector<uint8_t>& out)
{
    // message id, NetFn/LUN, command, data
    if (frame.bytes.size() < 3) {
        trace_.line("vm short message %s", Trace::hex(frame.bytes).c_str());
        return;
    }
    uint8_t msgid = frame.bytes[0];
    std::span<const uint8_t> request(frame.bytes.begin() + 1, frame.bytes.end());
    std::vector<uint8_t> response = responder_(request);
    if (response.empty())
        return;

    std::vector<uint8_t> body;
    body.reserve(response.size() + 1);
    body.push_back(msgid);
    body.insert(body.end(), response.begin(), response.end());
    std::vector<uint8_t> framed = encode_message(body);
    out.insert(out.end(), framed.begin(), framed.end());

    // The machine raises its interrupt only when told to; the BMC tells it
    // whenever the driver turns the receive-message interrupt on or off.
    bool set_enables = (request[0] >> 2) == kNetFnApp && request[1] == kCmdSetBmcGlobalEnables &&
                       request.size() >= 3 && response.size() >= 3 && response[2] == 0x00;
    if (set_enables) {
        bool wanted = (request[2] & kReceiveMessageInterrupt) != 0;
        if (wanted != irq_enabled_) {
            irq_enabled_ = wanted;
            const uint8_t command[] = {wanted ? kCmdEnableIrq : kCmdDisableIrq};
            std::vector<uint8_t> control = encode_command(command);
            out.insert(out.end(), control.begin(), control.end());
            trace_.line("vm irq %s", wanted ? "on" : "off");
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
        trace_.line("vm version %s", Trace::hex(args).c_str());
        break;
    case kCmdCapabilities:
        trace_.line("vm capabilities %s", Trace::hex(args).c_str());
        break;
    default:
        trace_.line("vm command %s", Trace::hex(frame.bytes).c_str());
        break;
    }
}

}  // namespace sim::vm
