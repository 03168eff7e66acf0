// SPDX-License-Identifier: MIT
// The network road's lines. Its datagrams are encrypted and carry the
// session's secrets, so the recorder never sees them: the road hands it
// the session it has with a BMC (who, how) and each request and answer as
// its exchange hands them, and a clean byte command of the image joins the
// run of them (image_runs.h) as on the other roads.
#pragma once

#include <cstddef>

namespace os::recorder {

// A session was had with the BMC of --lan number `bmc` (or not: `result`
// names why); `suite` 0 when none was agreed.
void LanSession(int bmc, const char* host, unsigned port, const char* user, int privilege, int suite,
                const char* result);
// One sending of `req` (NetFn/LUN, command, data) to the BMC of --lan
// number `bmc`.
void LanRequest(int bmc, const unsigned char* req, size_t length);
// Its answer (NetFn/LUN, command, completion code, data), or null when
// none came in the wait; a VPD read's text is redacted in `answer` before
// the tool sees it.
void LanAnswer(unsigned char* answer, size_t length);
// The session was closed (Close Session sent), at the end of its pass or
// to be opened anew.
void LanClose();
// Writes the request under way, if any (one whose answer was never asked for).
void WriteLanExchange();

}  // namespace os::recorder
