// SPDX-License-Identifier: MIT
// The network road's entry points: one BMC of --lan per pass, one session
// for the pass, and the rules by which a request is sent again.
//
// UDP loses datagrams, and a Master Write-Read is not idempotent: a read
// moves the register or EEPROM pointer it reads from, so a read sent again
// after its answer was lost reads the next bytes. Such a read is therefore
// sent once; when its answer is lost the road says so (LanAnswerLost) and
// the I2C layer redoes what the read belonged to, from the pointer write
// (i2c/lost_answers.h). Every other request (a pointer write, a register
// write, a flash command, the session's own) is sent again with the same
// sequence number until it is answered: carried out twice it does what it
// does once.
#include "lan_road.h"

#include <cstdio>
#include <cstring>

#include "../../common/bmc_state.h"
#include "../../common/settings.h"
#include "../../logfile/logfile.h"
#include "../../os/os.h"
#include "lan_link.h"
#include "lan_secrets.h"
#include "lan_session.h"
#include "rmcp.h"

INT8U LanAnswerLost = 0;

namespace {

constexpr INT8U kNetFnAppLun0 = 0x18;
constexpr INT8U kCmdMasterWriteRead = 0x52;
// A session idle this long is opened anew before the next request: BMCs
// close idle sessions after 30 to 60 s, and say nothing when they do.
constexpr long long kIdleReopenUs = 20LL * 1000000;
// Requests lost one after the other before the session is opened anew (a
// BMC that restarted has forgotten it).
constexpr int kLostBeforeReopen = 3;

// As the driver hands up an answer: at most 60 bytes after NetFn and command.
constexpr size_t kMaxAnswer = 62;

int Opened = 0;   // --lan BMCs opened so far: the next pass takes the next one
int Current = -1;  // the BMC of the pass
char Error[256];
const char* LostWhy = nullptr;  // the BMC of the pass is lost: every exchange fails at once
int LostInARow = 0;
long long LastAnswer = 0;

// How an attempt to have a session ended, as the capture names it.
const char* OpenResultName(LanOpenResult result)
{
    switch (result) {
    case LAN_OPENED:
        return "opened";
    case LAN_NO_ANSWER:
        return "no_answer";
    case LAN_LAN_DISABLED:
        return "lan_disabled";
    case LAN_NO_RMCP_PLUS:
        return "no_rmcp_plus";
    case LAN_NO_CIPHER_SUITE:
        return "no_cipher_suite";
    case LAN_SESSION_REFUSED:
        return "session_refused";
    case LAN_UNKNOWN_USER:
        return "unknown_user";
    case LAN_WRONG_PASSWORD:
        return "wrong_password";
    case LAN_WRONG_KG:
        return "wrong_kg";
    case LAN_PRIVILEGE_REFUSED:
        return "privilege_refused";
    case LAN_PROTOCOL:
        return "protocol";
    }
    return "?";
}

// Opens the session and notes it for the capture.
LanOpenResult OpenAndNote(char* why, size_t why_size)
{
    const LanOpenResult result = LanSession_Open(why, why_size);
    os::lan_session(Current, LanHosts[Current], LanPorts[Current], LanUser, CMDL_LanPrivilege, LanSession_Suite(),
                    OpenResultName(result));
    return result;
}

// Closes the session, if one is open, and notes it for the capture.
void CloseAndNote(int sendings)
{
    const bool active = LanSession_Active();
    LanSession_Close(sendings);
    if (active)
        os::lan_close();
}

bool IsMasterWriteReadRead(const INT8U* request, INT16U size)
{
    return size == 5 && request[0] == kNetFnAppLun0 && request[1] == kCmdMasterWriteRead && request[4] > 0;
}

// The completion codes by which a BMC refuses Master Write-Read itself, not
// the device behind it: the session's privilege, an allowlist of commands.
const char* RefusalOf(INT8U code)
{
    switch (code) {
    case 0xC1:
        return "command not supported";
    case 0xD4:
        return "insufficient privilege";
    case 0xD5:
        return "not supported in the present state";
    case 0xD6:
        return "command disabled";
    default:
        return nullptr;
    }
}

// The session of the pass, opened anew when it has been idle too long or
// has stopped answering. False, with the BMC lost, when it cannot be.
bool EnsureSession()
{
    const bool idle = LanLink_Now() - LastAnswer > kIdleReopenUs;
    if (LanSession_Active() && !idle && LostInARow < kLostBeforeReopen)
        return true;
    if (LanSession_Active())
        CloseAndNote(1);  // it stopped answering, or has been idle long enough to be gone
    char why[200];
    if (OpenAndNote(why, sizeof why) == LAN_OPENED) {
        pf("LAN: session with the BMC at %s port %u opened anew (cipher suite %d)", LanHosts[Current],
           LanPorts[Current], LanSession_Suite());
        LostInARow = 0;
        LastAnswer = LanLink_Now();
        return true;
    }
    std::snprintf(Error, sizeof Error, "the session could not be opened again: %s", why);
    LostWhy = Error;
    pb("ERROR: The BMC at %s port %u stopped answering; %s", LanHosts[Current], LanPorts[Current], Error);
    return false;
}

}  // namespace

void LanRoad_Count() { FoundBmc = LanBmcCount; }

INT8U LanRoad_Open()
{
    Current = Opened < LanBmcCount ? Opened++ : LanBmcCount - 1;
    Error[0] = '\0';
    LostWhy = nullptr;
    LostInARow = 0;
    const char* host = LanHosts[Current];
    const INT16U port = LanPorts[Current];
    if (const char* why = LanLink_Open(host, port)) {
        os::lan_session(Current, host, port, LanUser, CMDL_LanPrivilege, 0, "unreachable");
        std::snprintf(Error, sizeof Error, "it cannot be reached: %s", why);
        pb("ERROR: The BMC at %s port %u: %s", host, port, Error);
        return 0;
    }
    if (OpenAndNote(Error, sizeof Error) != LAN_OPENED) {
        pb("ERROR: No session with the BMC at %s port %u: %s", host, port, Error);
        LanLink_Close();
        return 0;
    }
    Error[0] = '\0';  // a suite refused on the way is no error of the pass
    LastAnswer = LanLink_Now();
    pb("Opened an RMCP+ session with the BMC at %s port %u (cipher suite %d)", host, port, LanSession_Suite());
    return 1;
}

INT8U LanRoad_Exchange(const INT8U* ptr, INT16U write_length, INT8U* recvptr, INT8U* recv_buffer_length)
{
    LanAnswerLost = 0;
    if (LostWhy)
        return 0;
    const bool read = IsMasterWriteReadRead(ptr, write_length);
    const INT8U rq_seq = LanSession_NextRqSeq();
    const int sendings = read ? 1 : 1 + CMDL_LanRetries;
    INT8U answer[LAN_MAX_MESSAGE];
    size_t size = 0;
    for (int sending = 0; sending < sendings; ++sending) {
        if (!EnsureSession())
            return 0;
        os::lan_request(Current, ptr, write_length);
        if (LanSession_Request(ptr, write_length, rq_seq, answer, &size,
                               static_cast<long long>(CMDL_LanTimeoutMs) * 1000) != LAN_ANSWERED) {
            os::lan_answer(nullptr, 0);
            ++LostInARow;
            continue;
        }
        if (size > kMaxAnswer)
            size = kMaxAnswer;
        os::lan_answer(answer, size);
        LostInARow = 0;
        LastAnswer = LanLink_Now();
        if (ptr[1] == kCmdMasterWriteRead && size >= 3 && RefusalOf(answer[2])) {
            std::snprintf(Error, sizeof Error, "it refuses Master Write-Read to user \"%s\" (completion code 0x%02x, %s)",
                          LanUser, answer[2], RefusalOf(answer[2]));
            LostWhy = Error;
            pb("ERROR: The BMC at %s port %u: %s", LanHosts[Current], LanPorts[Current], Error);
            return 0;
        }
        std::memcpy(recvptr, answer, size);
        *recv_buffer_length = static_cast<INT8U>(size);
        return 1;
    }
    LanAnswerLost = read ? 1 : 0;
    pf("LAN: no answer from the BMC at %s port %u after %d sending%s", LanHosts[Current], LanPorts[Current], sendings,
       sendings == 1 ? "" : "s");
    return 0;
}

void LanRoad_Close()
{
    if (CMDL_VerboseLog && LanSession_Dropped())
        pf("LAN: %u datagrams were dropped in the session", LanSession_Dropped());
    // Sent again when its datagrams are lost, so that the BMC is not left
    // with the session; once when the BMC is lost anyway.
    CloseAndNote(LostWhy ? 1 : 1 + CMDL_LanRetries);
    LanLink_Close();
}

void LanRoad_End()
{
    if (LanLink_IsOpen())
        LanRoad_Close();
    LanWipeSecrets();
}

const char* LanRoad_Lost() { return LostWhy; }

void LanRoadDescribe(LanRoadFacts* facts)
{
    const bool known = Current >= 0;
    facts->host = known ? LanHosts[Current] : "";
    facts->port = known ? LanPorts[Current] : 0;
    facts->cipher_suite = LanSession_Suite();
    facts->privilege = CMDL_LanPrivilege;
    facts->error = Error;
}
