// SPDX-License-Identifier: MIT
// One RMCP+ session with the BMC of the pass: its establishment, the
// protected requests inside it, and its close. What the IPMI v2.0
// description leaves open is chosen here and said where it is chosen.
#pragma once

#include <cstddef>

#include "../../common/types.h"

// How an attempt to have a session ended.
enum LanOpenResult : INT8U {
    LAN_OPENED,
    LAN_NO_ANSWER,        // nothing answers at the address
    LAN_LAN_DISABLED,     // the BMC answers its presence ping, not IPMI
    LAN_NO_RMCP_PLUS,     // no IPMI v2.0 sessions on the channel
    LAN_NO_CIPHER_SUITE,  // no suite the tool takes, or not the one asked for
    LAN_SESSION_REFUSED,  // Open Session refused
    LAN_UNKNOWN_USER,     // RAKP 2: the user is not known
    LAN_WRONG_PASSWORD,   // RAKP 2's key exchange code is not the one the password gives
    LAN_WRONG_KG,         // RAKP 4 refused or not the one K_G gives
    LAN_PRIVILEGE_REFUSED,
    LAN_PROTOCOL,         // an answer the description does not allow
};

// Has a session with the BMC the link is connected to; `why` gets the
// reason when it fails (one line, no secret).
LanOpenResult LanSession_Open(char* why, size_t why_size);
// The session's cipher suite (17 or 3), 0 without one.
INT8U LanSession_Suite();
bool LanSession_Active();

// What one request inside the session came to.
enum LanRequestResult : INT8U {
    LAN_ANSWERED,
    LAN_LOST,  // no answer within the wait: the request may or may not have been carried out
};
// The sequence number (0 to 63) of a new request; a request sent again
// keeps its own, so that a late answer to the first sending answers it.
INT8U LanSession_NextRqSeq();
// Sends `request` (NetFn/LUN, command, data) once with `rq_seq` and waits
// up to `wait_us` for its answer (NetFn, command, completion code, data).
LanRequestResult LanSession_Request(const INT8U* request, size_t size, INT8U rq_seq, INT8U* answer,
                                    size_t* answer_size, long long wait_us);
// Close Session, sent up to `sendings` times until it is answered; the
// session is forgotten whatever comes back, and its keys wiped.
void LanSession_Close(int sendings);
// Packets that were not taken as an answer: another session's, a bad
// integrity code, a sequence number outside the window, a late answer.
unsigned LanSession_Dropped();
