// SPDX-License-Identifier: MIT
// The datagrams of the network road: RMCP with an ASF presence ping, IPMI
// v1.5 session-less packets (Get Channel Authentication Capabilities), and
// IPMI v2.0 RMCP+ packets with their integrity and confidentiality; inside
// them the IPMI LAN message with its two checksums. Building and reading
// only: no socket, no state.
#pragma once

#include <cstddef>

#include "../../common/types.h"
#include "lan_crypto.h"

#define LAN_MAX_PACKET 320   // the longest request the tool sends, whole, with room for its protection
#define LAN_MAX_MESSAGE 192  // one IPMI LAN message

// RMCP+ payload types, and the two bits of protection beside them.
#define RMCP_PAYLOAD_IPMI 0x00
#define RMCP_PAYLOAD_OPEN_REQUEST 0x10
#define RMCP_PAYLOAD_OPEN_RESPONSE 0x11
#define RMCP_PAYLOAD_RAKP1 0x12
#define RMCP_PAYLOAD_RAKP2 0x13
#define RMCP_PAYLOAD_RAKP3 0x14
#define RMCP_PAYLOAD_RAKP4 0x15
#define RMCP_ENCRYPTED 0x80
#define RMCP_AUTHENTICATED 0x40

// The algorithms of the cipher suites the tool takes (17 and 3).
#define RMCP_AUTH_HMAC_SHA1 0x01
#define RMCP_AUTH_HMAC_SHA256 0x03
#define RMCP_INTEGRITY_HMAC_SHA1_96 0x01
#define RMCP_INTEGRITY_HMAC_SHA256_128 0x04
#define RMCP_CONFIDENTIALITY_AES_CBC_128 0x01

// How a session's packets are protected once its keys exist.
struct RmcpProtection {
    bool on;            // integrity and confidentiality (the tool takes no suite without them)
    LanHash hash;       // HMAC-SHA1-96 or HMAC-SHA256-128
    INT8U k1[LAN_MAX_DIGEST];  // the integrity key
    INT8U k2[LAN_MAX_DIGEST];  // its first 16 bytes: the AES key
};

// The length of the integrity code: 12 (SHA1-96) or 16 (SHA256-128).
size_t RmcpAuthCodeSize(LanHash hash);

// An ASF presence ping with `tag`.
size_t RmcpPing(INT8U* out, INT8U tag);
// An IPMI v1.5 packet outside a session, holding `message`.
size_t RmcpV15(INT8U* out, const INT8U* message, size_t size);
// An IPMI v2.0 packet of `type` for `session_id` with `sequence`, protected
// when `protection` is on (`iv`: 16 fresh random bytes). 0 when it does not fit.
size_t RmcpV20(INT8U* out, INT8U type, INT32U session_id, INT32U sequence, const INT8U* payload, size_t size,
               const RmcpProtection* protection, const INT8U* iv);

// What came in.
enum RmcpKind : INT8U { RMCP_NOT_OURS, RMCP_PONG, RMCP_V15_PACKET, RMCP_V20_PACKET, RMCP_BAD_INTEGRITY };
struct RmcpInbound {
    RmcpKind kind;
    INT8U type;  // v2.0: the payload type, without its protection bits
    bool protected_;
    INT32U session_id, sequence;
    INT8U payload[LAN_MAX_PACKET];  // decrypted
    size_t size;
};
// Reads a datagram; a protected one is checked and decrypted with
// `protection` (RMCP_BAD_INTEGRITY when its code or padding is wrong).
RmcpKind RmcpRead(const INT8U* in, size_t size, const RmcpProtection* protection, RmcpInbound* out);

// An IPMI LAN request from the exchange's request (NetFn/LUN, command,
// data) with `rq_seq` (0 to 63). 0 when it does not fit.
size_t IpmiLanRequest(INT8U* out, const INT8U* request, size_t size, INT8U rq_seq);
// Reads an IPMI LAN response: false when a checksum is wrong or it is too
// short or longer than LAN_MAX_MESSAGE. `answer` gets what the exchange hands up: NetFn, command,
// completion code, data.
bool IpmiLanResponse(const INT8U* message, size_t size, INT8U* rq_seq, INT8U* answer, size_t* answer_size);
