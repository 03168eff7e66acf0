// SPDX-License-Identifier: MIT
// The network road (--lan): a BMC reached from a management node over
// UDP with IPMI v2.0 RMCP+, one session for the whole pass of that BMC.
// Its entry points are those of every road (road.h).
#pragma once

#include "../../common/types.h"

// Counts the --lan BMCs into FoundBmc; nothing is sent.
void LanRoad_Count();
// Opens the next --lan BMC: its address, a socket, the session (Get
// Channel Authentication Capabilities, Get Channel Cipher Suites, Open
// Session, RAKP 1 to 4, Set Session Privilege Level). 1 on success; 0 with
// the reason said once (unreachable, no RMCP+, cipher suite, user,
// password, privilege).
INT8U LanRoad_Open();
// One request and its answer, in the session. A Master Write-Read that
// reads is sent once: when its answer does not come the road says so
// (LanAnswerLost) and the I2C layer redoes what the read belonged to;
// every other request is sent again (--lan-retries) until it is answered.
INT8U LanRoad_Exchange(const INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length);
// Closes the pass's session (Close Session) and its socket.
void LanRoad_Close();
// Every ending the process controls: whatever session is open is closed,
// and the secrets are wiped.
void LanRoad_End();

// Why the BMC of the pass was lost in the middle of it (it stopped
// answering and no session could be had again, or it refuses Master
// Write-Read), or null: every exchange since has failed at once.
const char* LanRoad_Lost();
// The last exchange was a Master Write-Read that reads, sent once, whose
// answer did not come: the BMC may have carried it out.
extern INT8U LanAnswerLost;

// What the road knows of the pass's BMC, for the run's report.
struct LanRoadFacts {
    const char* host;
    INT16U port;
    INT8U cipher_suite;  // 0: none agreed
    INT8U privilege;
    const char* error;  // the reason the session could not be had, or ""
};
void LanRoadDescribe(LanRoadFacts* facts);
