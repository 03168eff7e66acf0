// SPDX-License-Identifier: MIT
// The wire format of IPMI over LAN as a BMC sees it: the RMCP header, the
// IPMI v1.5 and v2.0 (RMCP+) session headers, the IPMI message inside a
// packet with its two checksums, the cipher suites of the IPMI v2.0
// standard and the status codes of session set-up. Only layout here: the
// sessions themselves are lan_bmc.h's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rmcp_crypto.h"

namespace sim::lan {

using Bytes = std::vector<uint8_t>;

// RMCP header: version, reserved, sequence (0xFF: no RMCP ACK), class.
inline constexpr uint8_t kRmcpVersion = 0x06;
inline constexpr uint8_t kRmcpNoAck = 0xFF;
inline constexpr uint8_t kClassAsf = 0x06;
inline constexpr uint8_t kClassIpmi = 0x07;
inline constexpr size_t kRmcpHeader = 4;

// The first byte of the session header: the v1.5 authentication type, or
// 0x06 for the v2.0 format.
inline constexpr uint8_t kAuthTypeNone = 0x00;
inline constexpr uint8_t kFormatRmcpPlus = 0x06;

// Payload types of the v2.0 session header (bits 5:0); bit 7 encrypted, bit 6 authenticated.
enum class PayloadType : uint8_t {
    Ipmi = 0x00,
    OpenSessionRequest = 0x10,
    OpenSessionResponse = 0x11,
    Rakp1 = 0x12,
    Rakp2 = 0x13,
    Rakp3 = 0x14,
    Rakp4 = 0x15,
};
inline constexpr uint8_t kPayloadEncrypted = 0x80;
inline constexpr uint8_t kPayloadAuthenticated = 0x40;

// Algorithms (IPMI v2.0 tables 13-17 to 13-19).
inline constexpr uint8_t kAuthRakpNone = 0x00;
inline constexpr uint8_t kAuthRakpHmacSha1 = 0x01;
inline constexpr uint8_t kAuthRakpHmacMd5 = 0x02;
inline constexpr uint8_t kAuthRakpHmacSha256 = 0x03;
inline constexpr uint8_t kIntegrityNone = 0x00;
inline constexpr uint8_t kIntegrityHmacSha1_96 = 0x01;
inline constexpr uint8_t kIntegrityHmacMd5_128 = 0x02;
inline constexpr uint8_t kIntegrityMd5_128 = 0x03;
inline constexpr uint8_t kIntegrityHmacSha256_128 = 0x04;
inline constexpr uint8_t kConfidentialityNone = 0x00;
inline constexpr uint8_t kConfidentialityAesCbc128 = 0x01;
inline constexpr uint8_t kConfidentialityXrc4_128 = 0x02;
inline constexpr uint8_t kConfidentialityXrc4_40 = 0x03;

struct CipherSuite {
    uint8_t id;
    uint8_t authentication;
    uint8_t integrity;
    uint8_t confidentiality;
};
// The standard suites 0 to 19; nullptr for any other id.
const CipherSuite* standard_suite(uint8_t id);
// Whether this BMC has every algorithm of the suite (no MD5, no xRC4).
bool suite_supported(const CipherSuite& suite);

// The hash of an authentication algorithm this BMC has (SHA-1 or SHA-256);
// nullopt for RAKP-none.
std::optional<Hash> auth_hash(uint8_t authentication);
// The hash of an integrity algorithm and how many bytes of its HMAC the
// packet carries: 12 for HMAC-SHA1-96, 16 for HMAC-SHA256-128.
std::optional<Hash> integrity_hash(uint8_t integrity);
size_t integrity_code_size(uint8_t integrity);

// RMCP+ and RAKP status codes (IPMI v2.0 table 13-15).
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusNoResources = 0x01;
inline constexpr uint8_t kStatusInvalidSessionId = 0x02;
inline constexpr uint8_t kStatusInvalidPayloadType = 0x03;
inline constexpr uint8_t kStatusInvalidAuthentication = 0x04;
inline constexpr uint8_t kStatusInvalidIntegrity = 0x05;
inline constexpr uint8_t kStatusInvalidRole = 0x09;
inline constexpr uint8_t kStatusUnauthorizedRole = 0x0A;
inline constexpr uint8_t kStatusInvalidNameLength = 0x0C;
inline constexpr uint8_t kStatusUnauthorizedName = 0x0D;
inline constexpr uint8_t kStatusInvalidIntegrityCheck = 0x0F;
inline constexpr uint8_t kStatusInvalidConfidentiality = 0x10;
inline constexpr uint8_t kStatusNoCipherSuiteMatch = 0x11;
inline constexpr uint8_t kStatusIllegalParameter = 0x12;
// Words for a status code in the trace ("unauthorized name").
const char* status_name(uint8_t status);

// Privilege levels.
inline constexpr uint8_t kPrivilegeCallback = 1;
inline constexpr uint8_t kPrivilegeUser = 2;
inline constexpr uint8_t kPrivilegeOperator = 3;
inline constexpr uint8_t kPrivilegeAdministrator = 4;
// "callback", "user", "operator", "administrator"; "level N" for any other.
std::string privilege_name(uint8_t level);
// The level of a name; nullopt for an unknown one.
std::optional<uint8_t> privilege_level(const std::string& name);

// Little-endian fields, as every multi-byte number of the session header is.
uint32_t get_le32(std::span<const uint8_t> bytes, size_t at);
uint16_t get_le16(std::span<const uint8_t> bytes, size_t at);
void put_le32(Bytes& out, uint32_t value);
void put_le16(Bytes& out, uint16_t value);

// The two's complement that makes the byte sum zero.
uint8_t checksum(std::span<const uint8_t> bytes);

// The IPMI message carried in a LAN packet: rsSA, NetFn/rsLUN, checksum,
// rqSA, rqSeq/rqLUN, command, data, checksum.
struct LanMessage {
    uint8_t rs_addr = 0x20;
    uint8_t netfn = 0;
    uint8_t rs_lun = 0;
    uint8_t rq_addr = 0x81;
    uint8_t rq_seq = 0;
    uint8_t rq_lun = 0;
    uint8_t cmd = 0;
    Bytes data;

    // The request in the layout the BMC core takes: NetFn/LUN, command, data.
    Bytes core_request() const;
};
// A request, with both checksums right; nullopt otherwise.
std::optional<LanMessage> parse_lan_request(std::span<const uint8_t> bytes);
// The response to `request` carrying the core's answer (NetFn/LUN, command,
// completion code, data), addressed back to the requester.
Bytes build_lan_response(const LanMessage& request, std::span<const uint8_t> core_response);

// The RMCP header of every IPMI packet.
void put_rmcp_header(Bytes& out, uint8_t rmcp_class = kClassIpmi);

}  // namespace sim::lan
