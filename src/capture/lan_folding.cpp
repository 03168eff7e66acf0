// SPDX-License-Identifier: MIT
#include "lan_folding.h"

#include <cstring>

#include "event_lines.h"
#include "image_runs.h"
#include "redaction.h"

namespace os::recorder {

namespace {

// VPD pointers are kept per way to the BMC: the LAN BMCs' ways are numbered
// past every descriptor and port.
constexpr int kLanChannelBase = 0x20000;

struct LanExchange {
    bool open;
    int bmc;
    unsigned char req[kMaxMessage];
    size_t req_length;
    long long t_send;
    VpdAsk vpd;
    bool answered;
    unsigned char resp[kMaxMessage];
    size_t resp_length;
    long long t_recv;
};
LanExchange UnderWay;  // the sending whose answer is awaited

// ,"resp":"..." or the time the tool gave up waiting.
void PutLanExchange(const LanExchange& x)
{
    BeginEvent(x.t_send, "lan_x");
    PutHexField("req", x.req, x.req_length);
    WriterPrintf(&Lines, ",\"rt\":%lld", x.t_recv);
    if (x.answered)
        PutHexField("resp", x.resp, x.resp_length);
    else
        Puts(",\"lost\":true");
    EndEvent();
}

void FinishLanExchange()
{
    const LanExchange& x = UnderWay;
    Run& run = TheRun;
    ByteCommand command{};
    const bool candidate = x.answered && ParseImageByteCommand(x.req, x.req_length, &command);
    if (candidate && run.lan && run.fd == x.bmc && Continues(run, x.req, command, x.resp, x.resp_length)) {
        if (!JoinRun(run, x.t_send, x.t_recv)) {
            WriteRun();
            FinishLanExchange();
        }
        return;
    }
    if (!candidate) {
        WriteRun();
        PutLanExchange(x);
        return;
    }
    BeginRun(false, x.req, command, x.resp, x.resp_length, x.t_send, x.t_recv);
    run.lan = true;
    run.fd = x.bmc;
    run.latency = x.t_recv - x.t_send;
    size_t from = FirstLineStart();
    PutLanExchange(x);
    KeepFirstLine(from);
}

const char* PrivilegeName(int privilege)
{
    switch (privilege) {
    case 2:
        return "user";
    case 3:
        return "operator";
    case 4:
        return "administrator";
    default:
        return "?";
    }
}

}  // namespace

void WriteLanExchange()
{
    if (!UnderWay.open)
        return;
    UnderWay.open = false;
    UnderWay.t_recv = Now();
    PutLanExchange(UnderWay);
}

void LanSession(int bmc, const char* host, unsigned port, const char* user, int privilege, int suite,
                const char* result)
{
    WriteLanExchange();
    WriteRun();
    BeginEvent(Now(), "lan_session");
    WriterPrintf(&Lines, ",\"bmc\":%d,\"host\":", bmc);
    PutText(host);
    WriterPrintf(&Lines, ",\"port\":%u,\"user\":", port);
    PutText(user);
    WriterPrintf(&Lines, ",\"privilege\":\"%s\",\"suite\":%d,\"r\":\"%s\"", PrivilegeName(privilege), suite, result);
    EndEvent();
}

void LanRequest(int bmc, const unsigned char* req, size_t length)
{
    WriteLanExchange();
    LanExchange& x = UnderWay;
    x = LanExchange{};
    x.open = true;
    x.bmc = bmc;
    x.t_send = Now();
    x.req_length = length < sizeof x.req ? length : sizeof x.req;
    std::memcpy(x.req, req, x.req_length);
    x.vpd = VpdRequest(kLanChannelBase + bmc, x.req, x.req_length);
}

void LanAnswer(unsigned char* answer, size_t length)
{
    LanExchange& x = UnderWay;
    if (!x.open)
        return;
    x.open = false;
    x.t_recv = Now();
    x.answered = answer != nullptr;
    if (x.answered) {
        // A VPD read's text never reaches the tool, nor the capture.
        if (x.vpd.count && length > 3 && answer[2] == 0)
            for (size_t i = 3; i < length; ++i)
                answer[i] = RedactedVpdByte(x.vpd, unsigned(i - 3), answer[i]);
        if (x.vpd.pointer_write && length >= 3 && answer[2] == 0)
            VpdPointerSet(kLanChannelBase + x.bmc, x.req, x.vpd);
        x.resp_length = length < sizeof x.resp ? length : sizeof x.resp;
        std::memcpy(x.resp, answer, x.resp_length);
        // The road hands up the answer's NetFn alone, as the driver does;
        // the line has it in KCS layout, with the LUN of its request.
        if (x.resp_length && x.req_length)
            x.resp[0] = static_cast<unsigned char>(answer[0] << 2 | (x.req[0] & 3));
    }
    FinishLanExchange();
}

void LanClose()
{
    WriteLanExchange();
    WriteRun();
    BeginEvent(Now(), "lan_close");
    EndEvent();
}

}  // namespace os::recorder
