// SPDX-License-Identifier: MIT
// Requests through the driver: the send, the select that waits for the
// answer and the receive of one request are one line, with the signals that
// came meanwhile; a clean byte command of the image joins the run of them
// (image_runs.h).
#pragma once

#include <cstddef>
#include <linux/ipmi.h>

#include "image_runs.h"
#include "redaction.h"

namespace os::recorder {

// The request under way: its send, select and receive as they come.
struct DriverExchange {
    bool open;
    int fd;
    long id;
    unsigned char req[kMaxMessage];
    size_t req_length;
    long long t_send;
    int send_errno;  // 0: sent
    VpdAsk vpd;
    bool selected;
    int select_result, select_errno;
    bool fd_ready;
    long long t_select;
    bool received;
    int recv_errno;
    long rid;
    unsigned char resp[kMaxMessage];
    size_t resp_length;
    long long t_recv;
    // Signals that came while the request was under way, and at which stage;
    // a select they interrupted was made again.
    struct Interruption {
        int sig;
        int stage;
        long long t;
    };
    Interruption signals[8];
    int signal_count;
};
extern DriverExchange Exchange;


// The request `req` went to the driver on `fd` (`error`: why not).
void DriverSend(int fd, const ipmi_req* req, int error);
// An answer came from the driver on `fd` (`error`: the receive's errno);
// a VPD read's text is redacted in `recv` before the tool sees it.
void DriverReceive(int fd, ipmi_recv* recv, int error);
// Writes the exchange under way, if any: its line, or its place in the run.
void WriteExchange();
// A signal noted during the exchange under way, at `stage`: kept for its
// line. False when no exchange is under way.
bool NoteExchangeSignal(int sig, int stage, long long t);

}  // namespace os::recorder
