// SPDX-License-Identifier: MIT
#include "driver_folding.h"

#include <cstring>

#include "event_lines.h"
#include "signal_wrap.h"

namespace os::recorder {

DriverExchange Exchange;
// The request id of the last VPD read sent: its answer may come late, to
// another request, and is hidden then too.
long LastVpdReadId = -1;

namespace {

bool CleanExchange(const DriverExchange& x)
{
    return x.send_errno == 0 && x.selected && x.select_result > 0 && x.fd_ready && x.received && x.recv_errno == 0 &&
           x.rid == x.id && x.signal_count == 0;
}

// The exchange's line.
void PutExchange(const DriverExchange& x)
{
    BeginEvent(x.t_send, "x");
    WriterPrintf(&Lines, ",\"fd\":%d,\"id\":%ld", x.fd, x.id);
    PutHexField("req", x.req, x.req_length);
    if (x.send_errno) {
        PutErrno("send_errno", x.send_errno);
        EndEvent();
        return;
    }
    if (x.selected && !(x.select_result > 0 && x.fd_ready)) {
        WriterPrintf(&Lines, ",\"st\":%lld,\"select\":%d", x.t_select, x.select_result);
        if (x.select_result < 0)
            PutErrno("select_errno", x.select_errno);
        else if (x.select_result > 0)
            Puts(",\"fd_ready\":false");
    }
    if (x.signal_count) {
        Puts(",\"signals\":[");
        for (int i = 0; i < x.signal_count; ++i) {
            Puts(i ? ",[" : "[");
            PutSignal(x.signals[i].sig);
            WriterPrintf(&Lines, ",\"%s\",%lld]", kStageNames[x.signals[i].stage], x.signals[i].t);
        }
        Puts("]");
    }
    if (x.received) {
        WriterPrintf(&Lines, ",\"rt\":%lld", x.t_recv);
        if (x.rid != x.id)
            WriterPrintf(&Lines, ",\"rid\":%ld", x.rid);
        if (x.resp_length)
            PutHexField("resp", x.resp, x.resp_length);
        if (x.recv_errno)
            PutErrno("recv_errno", x.recv_errno);
    }
    EndEvent();
}

// The line of a finished exchange, or its place in the run of byte commands.
void FinishDriverExchange()
{
    DriverExchange& x = Exchange;
    Run& run = TheRun;
    ByteCommand command{};
    bool candidate = CleanExchange(x) && ParseImageByteCommand(x.req, x.req_length, &command);
    if (candidate && !run.kcs && !run.lan && run.fd == x.fd && x.id == run.last_id + 1 &&
        Continues(run, x.req, command, x.resp, x.resp_length)) {
        if (!JoinRun(run, x.t_send, x.t_recv)) {
            WriteRun();
            FinishDriverExchange();
            return;
        }
        run.last_id = x.id;
        return;
    }
    if (!candidate) {
        WriteRun();
        PutExchange(x);
        return;
    }
    BeginRun(false, x.req, command, x.resp, x.resp_length, x.t_send, x.t_recv);
    run.fd = x.fd;
    run.first_id = run.last_id = x.id;
    run.latency = x.t_recv - x.t_send;
    size_t from = FirstLineStart();
    PutExchange(x);
    KeepFirstLine(from);
}

}  // namespace

void WriteExchange()
{
    if (!Exchange.open)
        return;
    Exchange.open = false;
    FinishDriverExchange();
}

void DriverSend(int fd, const ipmi_req* req, int error)
{
    DriverExchange& x = Exchange;
    x = DriverExchange{};
    x.open = true;
    x.fd = fd;
    x.id = req->msgid;
    x.t_send = Now();
    const ipmi_system_interface_addr* addr = reinterpret_cast<const ipmi_system_interface_addr*>(req->addr);
    unsigned char lun = addr && req->addr_len >= sizeof *addr ? addr->lun : 0;
    x.req[0] = static_cast<unsigned char>(req->msg.netfn << 2 | (lun & 3));
    x.req[1] = req->msg.cmd;
    size_t data_length = req->msg.data_len < kMaxMessage - 2 ? req->msg.data_len : kMaxMessage - 2;
    if (req->msg.data && data_length)
        std::memcpy(x.req + 2, req->msg.data, data_length);
    x.req_length = 2 + data_length;
    x.send_errno = error;
    x.vpd = VpdRequest(fd, x.req, x.req_length);
    if (x.vpd.count)
        LastVpdReadId = x.id;
}

void DriverReceive(int fd, ipmi_recv* recv, int error)
{
    DriverExchange& x = Exchange;
    if (!x.open || x.fd != fd) {
        // A receive without a send of its own.
        WriteExchange();
        x = DriverExchange{};
        x.open = true;
        x.fd = fd;
        x.id = -1;
        x.t_send = Now();
    }
    x.received = true;
    x.t_recv = Now();
    x.recv_errno = error;
    // The driver hands over a message cut short with EMSGSIZE; whether
    // anything came shows in the fields the tool cleared before the call.
    bool handed_over = error == 0 || (error == EMSGSIZE && (recv->msgid != 0 || recv->msg.netfn != 0));
    if (handed_over) {
        x.rid = recv->msgid;
        const ipmi_system_interface_addr* from = reinterpret_cast<const ipmi_system_interface_addr*>(recv->addr);
        unsigned char lun = from && recv->addr_len >= sizeof *from ? from->lun : 0;
        x.resp[0] = static_cast<unsigned char>(recv->msg.netfn << 2 | (lun & 3));
        x.resp[1] = recv->msg.cmd;
        size_t data_length = recv->msg.data_len < kMaxMessage - 2 ? recv->msg.data_len : kMaxMessage - 2;
        // A VPD read's text never reaches the tool, nor the capture: an
        // answer of any other request id is hidden as one that asks for no offset.
        const bool late_vpd_answer = x.rid != x.id && x.rid == LastVpdReadId;
        if ((x.vpd.count || late_vpd_answer) && data_length > 1 && recv->msg.data[0] == 0) {
            VpdAsk ask = x.vpd;
            if (x.rid != x.id)
                ask.known = false;
            for (size_t i = 1; i < data_length; ++i)
                recv->msg.data[i] = RedactedVpdByte(ask, unsigned(i - 1), recv->msg.data[i]);
        }
        if (x.vpd.pointer_write && data_length >= 1 && recv->msg.data[0] == 0 && x.rid == x.id && error == 0)
            VpdPointerSet(fd, x.req, x.vpd);
        if (recv->msg.data && data_length)
            std::memcpy(x.resp + 2, recv->msg.data, data_length);
        x.resp_length = 2 + data_length;
    } else {
        x.rid = x.id;
    }
    WriteExchange();
}

bool NoteExchangeSignal(int sig, int stage, long long t)
{
    DriverExchange& x = Exchange;
    if (stage == kPlainCall || !x.open)
        return false;
    if (x.signal_count < static_cast<int>(sizeof x.signals / sizeof x.signals[0]))
        x.signals[x.signal_count++] = DriverExchange::Interruption{sig, stage, t};
    return true;
}

}  // namespace os::recorder
