// SPDX-License-Identifier: MIT
// An RMCP+ session as the IPMI v2.0 description has it: the channel's
// capabilities and cipher suites asked outside a session, Open Session,
// RAKP 1 to 4 (the BMC's RAKP 2 and 4 checked in constant time), Set Session
// Privilege Level; then every request protected by the suite's integrity
// and confidentiality, its answer taken only from this session, with a
// sequence number inside the window and the request's own sequence number
// and command.
#include "lan_session.h"

#include <cstdio>
#include <cstring>

#include "../../common/settings.h"
#include "../../logfile/logfile.h"
#include "../../os/os.h"
#include "lan_crypto.h"
#include "lan_link.h"
#include "lan_secrets.h"
#include "rmcp.h"

namespace {

constexpr INT8U kNetFnApp = 0x06 << 2;
constexpr INT8U kCmdGetChannelAuthCaps = 0x38;
constexpr INT8U kCmdGetChannelCipherSuites = 0x54;
constexpr INT8U kCmdSetSessionPrivilege = 0x3B;
constexpr INT8U kCmdCloseSession = 0x3C;
constexpr INT8U kThisChannel = 0x0E;
constexpr INT8U kNameOnlyLookup = 0x10;  // RAKP 1: the user is looked up by name alone
constexpr INT8U kStatusOk = 0x00;
constexpr INT8U kStatusInvalidSessionId = 0x02;
constexpr INT8U kStatusInvalidRole = 0x09;
constexpr INT8U kStatusUnauthorizedRole = 0x0A;
constexpr INT8U kStatusUnauthorizedName = 0x0D;
constexpr INT8U kStatusInvalidIntegrityCheck = 0x0F;
constexpr int kRandomSize = 16;
constexpr int kGuidSize = 16;
// How far behind the highest sequence number taken an answer may come, and
// how far ahead: the BMC numbers its packets one by one, and reorders none.
constexpr INT32U kSequenceWindow = 16;
constexpr size_t kKeyConstantLength = 20;
constexpr int kMaxSuites = 64;

// A cipher suite the tool takes, by its algorithms.
struct Suite {
    INT8U id;
    INT8U auth, integrity, confidentiality;
    LanHash hash;
};
constexpr Suite kSuites[] = {
    {17, RMCP_AUTH_HMAC_SHA256, RMCP_INTEGRITY_HMAC_SHA256_128, RMCP_CONFIDENTIALITY_AES_CBC_128, LAN_SHA256},
    {3, RMCP_AUTH_HMAC_SHA1, RMCP_INTEGRITY_HMAC_SHA1_96, RMCP_CONFIDENTIALITY_AES_CBC_128, LAN_SHA1},
};

struct SessionState {
    bool active;
    const Suite* suite;
    INT32U console_id;  // ours
    INT32U bmc_id;      // the BMC's
    INT32U out_sequence;
    INT32U in_highest;  // 0: nothing taken yet
    INT32U in_taken;    // bit n: highest - n was taken
    RmcpProtection protection;
    INT8U tag;
    INT8U rq_seq;
    unsigned dropped;
};
SessionState S;

INT8U Datagram[LAN_MAX_PACKET];
RmcpInbound In;

long long WaitUs() { return static_cast<long long>(CMDL_LanTimeoutMs) * 1000; }
int Sendings() { return 1 + CMDL_LanRetries; }

void Dropped(const char* why)
{
    ++S.dropped;
    if (CMDL_VerboseLog)
        pf("LAN: datagram dropped: %s", why);
}

void PutLe32(INT8U* out, INT32U v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<INT8U>(v >> (8 * i));
}

INT32U GetLe32(const INT8U* in)
{
    return static_cast<INT32U>(in[0]) | static_cast<INT32U>(in[1]) << 8 | static_cast<INT32U>(in[2]) << 16 |
           static_cast<INT32U>(in[3]) << 24;
}

// Random bytes from the system (getrandom); false when it has none to give.
// Taken a pool at a time, so that the IV of every packet does not cost a
// system call of its own on the flash path.
INT8U RandomPool[512];
size_t RandomLeft;

bool Random(INT8U* out, size_t size)
{
    while (size > 0) {
        if (RandomLeft == 0) {
            ssize_t n = os::getrandom(RandomPool, sizeof RandomPool);
            if (n <= 0)
                return false;
            RandomLeft = static_cast<size_t>(n);
        }
        const size_t take = size < RandomLeft ? size : RandomLeft;
        // From the pool's end, each byte used once and then wiped.
        std::memcpy(out, RandomPool + RandomLeft - take, take);
        LanWipe(RandomPool + RandomLeft - take, take);
        RandomLeft -= take;
        out += take;
        size -= take;
    }
    return true;
}

// An answer to a request outside a session (v1.5, or v2.0 with session 0):
// the IPMI message of the answer with `rq_seq` and `cmd`, within the wait;
// each sending waits its share. 0 when none came.
size_t SessionlessRequest(bool v15, const INT8U* request, size_t size, INT8U* answer)
{
    INT8U message[LAN_MAX_MESSAGE];
    INT8U rq_seq = S.rq_seq = static_cast<INT8U>((S.rq_seq + 1) & 0x3F);
    size_t m = IpmiLanRequest(message, request, size, rq_seq);
    INT8U out[LAN_MAX_PACKET];
    size_t n = v15 ? RmcpV15(out, message, m) : RmcpV20(out, RMCP_PAYLOAD_IPMI, 0, 0, message, m, nullptr, nullptr);
    for (int sending = 0; sending < Sendings(); ++sending) {
        if (!LanLink_Send(out, n))
            return 0;
        const long long deadline = LanLink_Now() + WaitUs();
        for (long long left = WaitUs(); left > 0; left = deadline - LanLink_Now()) {
            size_t got = LanLink_Wait(Datagram, sizeof Datagram, left);
            if (got == 0)
                break;
            RmcpKind kind = RmcpRead(Datagram, got, nullptr, &In);
            INT8U seq = 0;
            size_t answer_size = 0;
            if ((kind == RMCP_V15_PACKET || (kind == RMCP_V20_PACKET && In.type == RMCP_PAYLOAD_IPMI)) &&
                IpmiLanResponse(In.payload, In.size, &seq, answer, &answer_size) && seq == rq_seq &&
                answer[1] == request[1])
                return answer_size;
            Dropped("not the answer outside the session");
        }
    }
    return 0;
}

// Sends a setup payload of `type` and waits for the answer of `answer_type`
// whose tag is the request's; each sending waits its share. The sendings
// it took, 0 when no answer came.
int SetupExchange(INT8U type, const INT8U* payload, size_t size, INT8U answer_type,
                  const RmcpProtection* session = nullptr)
{
    INT8U out[LAN_MAX_PACKET];
    size_t n = RmcpV20(out, type, 0, 0, payload, size, nullptr, nullptr);
    for (int sending = 0; sending < Sendings(); ++sending) {
        if (!LanLink_Send(out, n))
            return 0;
        const long long deadline = LanLink_Now() + WaitUs();
        for (long long left = WaitUs(); left > 0; left = deadline - LanLink_Now()) {
            size_t got = LanLink_Wait(Datagram, sizeof Datagram, left);
            if (got == 0)
                break;
            // With `session`, an answer may also come inside the session
            // the request makes active: some BMCs answer a RAKP message 3
            // sent again so. Its keys prove it the BMC's.
            if (RmcpRead(Datagram, got, session, &In) == RMCP_V20_PACKET && In.type == answer_type &&
                (!In.protected_ || (session && In.session_id == S.console_id)) && In.size >= 2 &&
                In.payload[0] == payload[0])
                return sending + 1;
            Dropped("not the answer to the session's setup");
        }
    }
    return 0;
}

// Whether anything answers an ASF presence ping: tells a BMC that does not
// serve IPMI over its LAN from an address where nothing answers.
bool AnswersPing()
{
    INT8U out[16];
    size_t n = RmcpPing(out, 0x51);
    if (!LanLink_Send(out, n))
        return false;
    const long long deadline = LanLink_Now() + WaitUs();
    for (long long left = WaitUs(); left > 0; left = deadline - LanLink_Now()) {
        size_t got = LanLink_Wait(Datagram, sizeof Datagram, left);
        if (got == 0)
            return false;
        if (RmcpRead(Datagram, got, nullptr, &In) == RMCP_PONG)
            return true;
    }
    return false;
}

// The cipher suites the channel offers (Get Channel Cipher Suites, page by
// page): how many ids went into `ids`; -1 when the BMC does not say.
int OfferedSuites(INT8U* ids, const Suite** takeable)
{
    INT8U records[16 * 64];
    size_t have = 0;
    for (INT8U page = 0; page < 64; ++page) {
        const INT8U request[] = {kNetFnApp, kCmdGetChannelCipherSuites, kThisChannel, 0x00,
                                 static_cast<INT8U>(0x80 | page)};
        INT8U answer[LAN_MAX_MESSAGE];
        size_t size = SessionlessRequest(false, request, sizeof request, answer);
        if (size < 4 || answer[2] != 0)
            return -1;
        size_t data = size - 4;  // after NetFn, command, completion code, channel
        // Pages hold 16 bytes; a BMC that sends more fills the records only
        // up to their end.
        if (data > sizeof records - have)
            data = sizeof records - have;
        std::memcpy(records + have, answer + 4, data);
        have += data;
        if (data < 16 || have == sizeof records)
            break;
    }
    // Records: 0xC0 (or 0xC1 with an OEM's number) and the suite's id, then
    // its algorithms, each tagged by its two top bits.
    int count = 0;
    for (size_t i = 0; i < have && count < kMaxSuites;) {
        if (records[i] != 0xC0 && records[i] != 0xC1) {
            ++i;
            continue;
        }
        size_t at = i + (records[i] == 0xC1 ? 5 : 2);
        if (i + 1 >= have)
            break;
        INT8U id = records[i + 1];
        INT8U auth = 0xFF, integrity = 0xFF, confidentiality = 0xFF;
        for (; at < have && records[at] != 0xC0 && records[at] != 0xC1; ++at) {
            INT8U a = records[at];
            if ((a & 0xC0) == 0x00 && auth == 0xFF)
                auth = a;
            else if ((a & 0xC0) == 0x40 && integrity == 0xFF)
                integrity = a & 0x3F;
            else if ((a & 0xC0) == 0x80 && confidentiality == 0xFF)
                confidentiality = a & 0x3F;
        }
        ids[count++] = id;
        for (const Suite& s : kSuites)
            if (s.id == id && s.auth == auth && s.integrity == integrity && s.confidentiality == confidentiality)
                takeable[s.id == 17 ? 0 : 1] = &s;
        i = at;
    }
    return count;
}

void SuiteList(const INT8U* ids, int count, char* text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < count && used + 5 < size; ++i)
        used += static_cast<size_t>(std::snprintf(text + used, size - used, "%s%d", i ? " " : "", ids[i]));
    if (count == 0)
        std::snprintf(text, size, "none");
}

const char* StatusText(INT8U status)
{
    static const char* const kTexts[] = {
        "no errors", "insufficient resources", "invalid session ID", "invalid payload type",
        "invalid authentication algorithm", "invalid integrity algorithm", "no matching authentication payload",
        "no matching integrity payload", "inactive session ID", "invalid role",
        "unauthorized role or privilege level requested", "insufficient resources for the role",
        "invalid name length", "unauthorized name", "unauthorized GUID", "invalid integrity check value",
        "invalid confidentiality algorithm", "no cipher suite match", "illegal parameter",
    };
    return status < sizeof kTexts / sizeof kTexts[0] ? kTexts[status] : "unknown status";
}

const char* PrivilegeName(INT8U privilege) { return privilege == 3 ? "operator" : "administrator"; }

// Open Session: the suite proposed, the BMC's session ID taken.
LanOpenResult OpenSession(const Suite& suite, char* why, size_t why_size)
{
    INT8U p[32] = {};
    p[0] = ++S.tag;
    p[1] = CMDL_LanPrivilege;
    PutLe32(p + 4, S.console_id);
    const INT8U algorithms[3] = {suite.auth, suite.integrity, suite.confidentiality};
    for (int k = 0; k < 3; ++k) {
        INT8U* a = p + 8 + 8 * k;
        a[0] = static_cast<INT8U>(k);
        a[3] = 0x08;
        a[4] = algorithms[k];
    }
    if (!SetupExchange(RMCP_PAYLOAD_OPEN_REQUEST, p, sizeof p, RMCP_PAYLOAD_OPEN_RESPONSE)) {
        std::snprintf(why, why_size, "no answer to Open Session");
        return LAN_NO_ANSWER;
    }
    if (In.payload[1] != kStatusOk) {
        const INT8U status = In.payload[1];
        const bool role = status == kStatusInvalidRole || status == kStatusUnauthorizedRole;
        const bool algorithm = (status >= 0x04 && status <= 0x07) || status == 0x10 || status == 0x11;
        if (algorithm)
            std::snprintf(why, why_size, "cipher suite %d refused (Open Session: status 0x%02x, %s)%s", suite.id,
                          status, StatusText(status), suite.id == 17 ? "; try --lan-cipher 3" : "");
        else
            std::snprintf(why, why_size, "Open Session refused%s: status 0x%02x, %s",
                          role ? " the privilege asked for" : "", status, StatusText(status));
        return role ? LAN_PRIVILEGE_REFUSED : algorithm ? LAN_NO_CIPHER_SUITE : LAN_SESSION_REFUSED;
    }
    if (In.size < 12 || GetLe32(In.payload + 4) != S.console_id || GetLe32(In.payload + 8) == 0) {
        std::snprintf(why, why_size, "Open Session answered for another session");
        return LAN_PROTOCOL;
    }
    S.bmc_id = GetLe32(In.payload + 8);
    return LAN_OPENED;
}

// RAKP 1 to 4: both sides prove they know the user's key, and agree on the
// session's keys. The BMC's codes are compared in constant time.
LanOpenResult Rakp(const Suite& suite, char* why, size_t why_size)
{
    const size_t user_length = std::strlen(LanUser);
    const INT8U role = static_cast<INT8U>(kNameOnlyLookup | CMDL_LanPrivilege);
    const INT8U tail[2] = {role, static_cast<INT8U>(user_length)};
    const LanPiece name = {reinterpret_cast<const INT8U*>(LanUser), user_length};
    INT8U rm[kRandomSize];
    if (!Random(rm, sizeof rm)) {
        std::snprintf(why, why_size, "the system gives no random numbers");
        return LAN_PROTOCOL;
    }
    INT8U p[28 + LAN_USER_SIZE] = {};
    p[0] = ++S.tag;
    PutLe32(p + 4, S.bmc_id);
    std::memcpy(p + 8, rm, sizeof rm);
    p[24] = role;
    p[27] = static_cast<INT8U>(user_length);
    std::memcpy(p + 28, LanUser, user_length);
    if (!SetupExchange(RMCP_PAYLOAD_RAKP1, p, 28 + user_length, RMCP_PAYLOAD_RAKP2)) {
        std::snprintf(why, why_size, "no answer to RAKP message 1");
        return LAN_NO_ANSWER;
    }
    const size_t digest = LanDigestSize(suite.hash);
    const INT8U status = In.payload[1];
    if (status == kStatusUnauthorizedName) {
        std::snprintf(why, why_size, "it does not know user \"%s\" (RAKP message 2: status 0x%02x, %s)", LanUser,
                      status, StatusText(status));
        return LAN_UNKNOWN_USER;
    }
    if (status == kStatusInvalidRole || status == kStatusUnauthorizedRole) {
        std::snprintf(why, why_size, "privilege %s refused for user \"%s\" (RAKP message 2: status 0x%02x, %s)",
                      PrivilegeName(CMDL_LanPrivilege), LanUser, status, StatusText(status));
        return LAN_PRIVILEGE_REFUSED;
    }
    if (status != kStatusOk) {
        std::snprintf(why, why_size, "RAKP message 2: status 0x%02x, %s", status, StatusText(status));
        return LAN_SESSION_REFUSED;
    }
    if (In.size != 40 + digest || GetLe32(In.payload + 4) != S.console_id) {
        std::snprintf(why, why_size, "RAKP message 2 of another length or session");
        return LAN_PROTOCOL;
    }
    INT8U rc[kRandomSize], guid[kGuidSize], ids[8], code[LAN_MAX_DIGEST];
    std::memcpy(rc, In.payload + 8, sizeof rc);
    std::memcpy(guid, In.payload + 24, sizeof guid);
    PutLe32(ids, S.console_id);
    PutLe32(ids + 4, S.bmc_id);
    const LanPiece rakp2[] = {{ids, 8}, {rm, sizeof rm}, {rc, sizeof rc}, {guid, sizeof guid}, {tail, 2}, name};
    LanHmac(suite.hash, LanPassword, LAN_SECRET_SIZE, rakp2, 6, code);
    const bool bmc_knows_password = LanEqualSecret(code, In.payload + 40, digest);

    // RAKP 3: ours, or the status that tells the BMC to forget the session.
    INT8U q[8 + LAN_MAX_DIGEST] = {};
    q[0] = ++S.tag;
    q[1] = bmc_knows_password ? kStatusOk : kStatusInvalidIntegrityCheck;
    PutLe32(q + 4, S.bmc_id);
    INT8U console_id[4];
    PutLe32(console_id, S.console_id);
    const LanPiece rakp3[] = {{rc, sizeof rc}, {console_id, 4}, {tail, 2}, name};
    LanHmac(suite.hash, LanPassword, LAN_SECRET_SIZE, rakp3, 4, q + 8);
    if (!bmc_knows_password) {
        INT8U out[LAN_MAX_PACKET];
        LanLink_Send(out, RmcpV20(out, RMCP_PAYLOAD_RAKP3, 0, 0, q, 8, nullptr, nullptr));
        std::snprintf(why, why_size, "wrong password for user \"%s\" (RAKP message 2's key exchange code)", LanUser);
        return LAN_WRONG_PASSWORD;
    }
    // The session's keys: SIK from K_G (the user's key without one), K1, K2.
    INT8U sik[LAN_MAX_DIGEST];
    const LanPiece sik_pieces[] = {{rm, sizeof rm}, {rc, sizeof rc}, {tail, 2}, name};
    LanHmac(suite.hash, LanKgGiven ? LanKg : LanPassword, LAN_SECRET_SIZE, sik_pieces, 4, sik);
    INT8U constant[kKeyConstantLength];
    std::memset(constant, 0x01, sizeof constant);
    const LanPiece one = {constant, sizeof constant};
    LanHmac(suite.hash, sik, digest, &one, 1, S.protection.k1);
    std::memset(constant, 0x02, sizeof constant);
    const LanPiece two = {constant, sizeof constant};
    LanHmac(suite.hash, sik, digest, &two, 1, S.protection.k2);
    S.protection.hash = suite.hash;

    RmcpProtection keys = S.protection;
    keys.on = true;
    const int sendings = SetupExchange(RMCP_PAYLOAD_RAKP3, q, 8 + digest, RMCP_PAYLOAD_RAKP4, &keys);
    LanWipe(&keys, sizeof keys);
    LanPiece rakp4[] = {{rm, sizeof rm}, {ids + 4, 4}, {guid, sizeof guid}};
    LanHmac(suite.hash, sik, digest, rakp4, 3, code);
    LanWipe(sik, sizeof sik);
    if (sendings == 0) {
        std::snprintf(why, why_size, "no answer to RAKP message 3");
        return LAN_NO_ANSWER;
    }
    const size_t icv = RmcpAuthCodeSize(suite.hash);
    // RAKP 3 sent again after its answer was lost: the BMC took the first one
    // and knows the session as active already. RAKP 2 proved that it knows
    // the user's key; Set Session Privilege Level, protected by the session's
    // keys, proves the rest.
    if (sendings > 1 && In.payload[1] == kStatusInvalidSessionId)
        return LAN_OPENED;
    if (In.payload[1] != kStatusOk) {
        std::snprintf(why, why_size, "RAKP message 4: status 0x%02x, %s", In.payload[1], StatusText(In.payload[1]));
        return In.payload[1] == kStatusInvalidIntegrityCheck ? LAN_WRONG_KG : LAN_SESSION_REFUSED;
    }
    if (In.size != 8 + icv || !LanEqualSecret(code, In.payload + 8, icv)) {
        std::snprintf(why, why_size, "RAKP message 4's integrity check value is not the one the keys give%s",
                      LanKgGiven ? " (K_G?)" : "");
        return LAN_WRONG_KG;
    }
    return LAN_OPENED;
}

}  // namespace

LanOpenResult LanSession_Open(char* why, size_t why_size)
{
    LanWipe(&S, sizeof S);
    // Get Channel Authentication Capabilities, asking for the IPMI v2.0 data.
    const INT8U caps[] = {kNetFnApp, kCmdGetChannelAuthCaps, static_cast<INT8U>(0x80 | kThisChannel),
                          CMDL_LanPrivilege};
    INT8U answer[LAN_MAX_MESSAGE];
    size_t size = SessionlessRequest(true, caps, sizeof caps, answer);
    if (size == 0) {
        const bool pong = AnswersPing();
        std::snprintf(why, why_size, "%s", pong ? "it answers its presence ping but not IPMI: IPMI over LAN disabled?"
                                                : "nothing answers at that address");
        return pong ? LAN_LAN_DISABLED : LAN_NO_ANSWER;
    }
    // NetFn, command, completion code, channel, auth types, status, extended capabilities.
    if (size < 7 || answer[2] != 0 || !(answer[4] & 0x80) || !(answer[6] & 0x02)) {
        std::snprintf(why, why_size, "no IPMI v2.0 (RMCP+) sessions on its LAN channel");
        return LAN_NO_RMCP_PLUS;
    }

    INT8U ids[kMaxSuites];
    const Suite* takeable[2] = {nullptr, nullptr};  // 17, 3
    int offered = OfferedSuites(ids, takeable);
    char list[kMaxSuites * 4];
    SuiteList(ids, offered < 0 ? 0 : offered, list, sizeof list);
    const Suite* chosen = nullptr;
    if (offered < 0) {
        // A BMC that does not list its suites: the one asked for, else 17 then 3.
        chosen = CMDL_LanCipher == 3 ? &kSuites[1] : &kSuites[0];
    } else if (CMDL_LanCipher) {
        chosen = takeable[CMDL_LanCipher == 17 ? 0 : 1];
        if (!chosen) {
            std::snprintf(why, why_size, "cipher suite %d (--lan-cipher) is not offered; the BMC offers: %s",
                          CMDL_LanCipher, list);
            return LAN_NO_CIPHER_SUITE;
        }
    } else {
        chosen = takeable[0] ? takeable[0] : takeable[1];
        if (!chosen) {
            std::snprintf(why, why_size,
                          "no cipher suite with integrity and confidentiality the tool takes (17 or 3); the BMC "
                          "offers: %s",
                          list);
            return LAN_NO_CIPHER_SUITE;
        }
    }

    for (;;) {
        INT8U id[4];
        if (!Random(id, sizeof id)) {
            std::snprintf(why, why_size, "the system gives no random numbers");
            return LAN_PROTOCOL;
        }
        S.console_id = GetLe32(id) | 1;  // never 0
        LanOpenResult result = OpenSession(*chosen, why, why_size);
        // Without the BMC's list, a suite it refuses is followed by the other.
        if (result == LAN_NO_CIPHER_SUITE && offered < 0 && !CMDL_LanCipher && chosen == &kSuites[0]) {
            chosen = &kSuites[1];
            continue;
        }
        if (result != LAN_OPENED)
            return result;
        break;
    }
    S.suite = chosen;
    LanOpenResult result = Rakp(*chosen, why, why_size);
    if (result != LAN_OPENED) {
        LanWipe(&S.protection, sizeof S.protection);
        return result;
    }
    S.protection.on = true;
    S.active = true;

    // Set Session Privilege Level: sessions begin at user level.
    const INT8U privilege[] = {kNetFnApp, kCmdSetSessionPrivilege, CMDL_LanPrivilege};
    size_t answer_size = 0;
    LanRequestResult r = LAN_LOST;
    INT8U rq_seq = LanSession_NextRqSeq();
    for (int sending = 0; sending < Sendings() && r != LAN_ANSWERED; ++sending)
        r = LanSession_Request(privilege, sizeof privilege, rq_seq, answer, &answer_size, WaitUs());
    if (r != LAN_ANSWERED) {
        std::snprintf(why, why_size, "no answer to Set Session Privilege Level");
        LanSession_Close(1);
        return LAN_NO_ANSWER;
    }
    if (answer_size < 3 || answer[2] != 0) {
        std::snprintf(why, why_size, "privilege %s refused for user \"%s\" (completion code 0x%02x)",
                      PrivilegeName(CMDL_LanPrivilege), LanUser, answer_size >= 3 ? answer[2] : 0);
        LanSession_Close(1);
        return LAN_PRIVILEGE_REFUSED;
    }
    return LAN_OPENED;
}

INT8U LanSession_Suite() { return S.active && S.suite ? S.suite->id : 0; }

bool LanSession_Active() { return S.active; }

INT8U LanSession_NextRqSeq() { return S.rq_seq = static_cast<INT8U>((S.rq_seq + 1) & 0x3F); }

namespace {

// The inbound sequence window: a number ahead of the highest taken (by at
// most the window), or behind it and not taken yet.
bool TakeSequence(INT32U sequence)
{
    if (sequence == 0)
        return false;
    if (S.in_highest == 0) {
        S.in_highest = sequence;
        S.in_taken = 1;
        return true;
    }
    INT32U ahead = sequence - S.in_highest, behind = S.in_highest - sequence;
    if (ahead != 0 && ahead <= kSequenceWindow) {
        S.in_taken = (ahead >= 32 ? 0 : S.in_taken << ahead) | 1;
        S.in_highest = sequence;
        return true;
    }
    if (behind < kSequenceWindow && !(S.in_taken & (1u << behind))) {
        S.in_taken |= 1u << behind;
        return true;
    }
    return false;
}

}  // namespace

LanRequestResult LanSession_Request(const INT8U* request, size_t size, INT8U rq_seq, INT8U* answer,
                                    size_t* answer_size, long long wait_us)
{
    INT8U message[LAN_MAX_MESSAGE], iv[LAN_AES_BLOCK], out[LAN_MAX_PACKET];
    size_t m = IpmiLanRequest(message, request, size, rq_seq);
    if (!S.active || m == 0 || !Random(iv, sizeof iv))
        return LAN_LOST;
    if (++S.out_sequence == 0)
        S.out_sequence = 1;
    size_t n = RmcpV20(out, RMCP_PAYLOAD_IPMI, S.bmc_id, S.out_sequence, message, m, &S.protection, iv);
    if (n == 0 || !LanLink_Send(out, n))
        return LAN_LOST;
    const long long deadline = LanLink_Now() + wait_us;
    for (long long left = wait_us; left > 0; left = deadline - LanLink_Now()) {
        size_t got = LanLink_Wait(Datagram, sizeof Datagram, left);
        if (got == 0)
            break;
        RmcpKind kind = RmcpRead(Datagram, got, &S.protection, &In);
        if (kind == RMCP_BAD_INTEGRITY) {
            Dropped("bad integrity code or padding");
            continue;
        }
        if (kind != RMCP_V20_PACKET || In.type != RMCP_PAYLOAD_IPMI || !In.protected_) {
            Dropped("not a protected IPMI payload");
            continue;
        }
        if (In.session_id != S.console_id) {
            Dropped("another session's");
            continue;
        }
        if (!TakeSequence(In.sequence)) {
            Dropped("sequence number outside the window, or seen before");
            continue;
        }
        INT8U seq = 0;
        if (!IpmiLanResponse(In.payload, In.size, &seq, answer, answer_size)) {
            Dropped("a message with a wrong checksum");
            continue;
        }
        if (seq != rq_seq || answer[1] != request[1]) {
            Dropped("the answer to an earlier request");
            continue;
        }
        return LAN_ANSWERED;
    }
    return LAN_LOST;
}

void LanSession_Close(int sendings)
{
    if (S.active) {
        INT8U request[6] = {kNetFnApp, kCmdCloseSession};
        PutLe32(request + 2, S.bmc_id);
        INT8U answer[LAN_MAX_MESSAGE];
        size_t answer_size = 0;
        // A BMC that has forgotten the session answers nothing: the caller
        // sends it once when that is likely.
        const INT8U rq_seq = LanSession_NextRqSeq();
        for (int sending = 0; sending < sendings; ++sending)
            if (LanSession_Request(request, sizeof request, rq_seq, answer, &answer_size, WaitUs()) == LAN_ANSWERED)
                break;
    }
    const unsigned dropped = S.dropped;
    LanWipe(&S, sizeof S);
    S.dropped = dropped;
}

unsigned LanSession_Dropped() { return S.dropped; }
