// SPDX-License-Identifier: MIT
#include "rmcp.h"

#include <iterator>

namespace sim::lan {

namespace {

// IPMI v2.0 table 22-20: suites 0 to 19.
constexpr CipherSuite kStandardSuites[] = {
    {0, kAuthRakpNone, kIntegrityNone, kConfidentialityNone},
    {1, kAuthRakpHmacSha1, kIntegrityNone, kConfidentialityNone},
    {2, kAuthRakpHmacSha1, kIntegrityHmacSha1_96, kConfidentialityNone},
    {3, kAuthRakpHmacSha1, kIntegrityHmacSha1_96, kConfidentialityAesCbc128},
    {4, kAuthRakpHmacSha1, kIntegrityHmacSha1_96, kConfidentialityXrc4_128},
    {5, kAuthRakpHmacSha1, kIntegrityHmacSha1_96, kConfidentialityXrc4_40},
    {6, kAuthRakpHmacMd5, kIntegrityNone, kConfidentialityNone},
    {7, kAuthRakpHmacMd5, kIntegrityHmacMd5_128, kConfidentialityNone},
    {8, kAuthRakpHmacMd5, kIntegrityHmacMd5_128, kConfidentialityAesCbc128},
    {9, kAuthRakpHmacMd5, kIntegrityHmacMd5_128, kConfidentialityXrc4_128},
    {10, kAuthRakpHmacMd5, kIntegrityHmacMd5_128, kConfidentialityXrc4_40},
    {11, kAuthRakpHmacMd5, kIntegrityMd5_128, kConfidentialityNone},
    {12, kAuthRakpHmacMd5, kIntegrityMd5_128, kConfidentialityAesCbc128},
    {13, kAuthRakpHmacMd5, kIntegrityMd5_128, kConfidentialityXrc4_128},
    {14, kAuthRakpHmacMd5, kIntegrityMd5_128, kConfidentialityXrc4_40},
    {15, kAuthRakpHmacSha256, kIntegrityNone, kConfidentialityNone},
    {16, kAuthRakpHmacSha256, kIntegrityHmacSha256_128, kConfidentialityNone},
    {17, kAuthRakpHmacSha256, kIntegrityHmacSha256_128, kConfidentialityAesCbc128},
    {18, kAuthRakpHmacSha256, kIntegrityHmacSha256_128, kConfidentialityXrc4_128},
    {19, kAuthRakpHmacSha256, kIntegrityHmacSha256_128, kConfidentialityXrc4_40},
};

struct StatusName {
    uint8_t status;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {kStatusOk, "no errors"},
    {kStatusNoResources, "insufficient resources to create a session"},
    {kStatusInvalidSessionId, "invalid session ID"},
    {kStatusInvalidPayloadType, "invalid payload type"},
    {kStatusInvalidAuthentication, "invalid authentication algorithm"},
    {kStatusInvalidIntegrity, "invalid integrity algorithm"},
    {0x06, "no matching authentication payload"},
    {0x07, "no matching integrity payload"},
    {0x08, "inactive session ID"},
    {kStatusInvalidRole, "invalid role"},
    {kStatusUnauthorizedRole, "unauthorized role or privilege level requested"},
    {0x0B, "insufficient resources to create a session at the requested role"},
    {kStatusInvalidNameLength, "invalid name length"},
    {kStatusUnauthorizedName, "unauthorized name"},
    {0x0E, "unauthorized GUID"},
    {kStatusInvalidIntegrityCheck, "invalid integrity check value"},
    {kStatusInvalidConfidentiality, "invalid confidentiality algorithm"},
    {kStatusNoCipherSuiteMatch, "no cipher suite match with proposed security algorithms"},
    {kStatusIllegalParameter, "illegal or unrecognized parameter"},
};

constexpr const char* kPrivilegeNames[] = {"callback", "user", "operator", "administrator"};

}  // namespace

const CipherSuite* standard_suite(uint8_t id)
{
    return id < std::size(kStandardSuites) ? &kStandardSuites[id] : nullptr;
}

bool suite_supported(const CipherSuite& suite)
{
    bool auth = suite.authentication == kAuthRakpNone || auth_hash(suite.authentication);
    bool integrity = suite.integrity == kIntegrityNone || integrity_hash(suite.integrity);
    bool confidentiality =
        suite.confidentiality == kConfidentialityNone || suite.confidentiality == kConfidentialityAesCbc128;
    return auth && integrity && confidentiality;
}

std::optional<Hash> auth_hash(uint8_t authentication)
{
    if (authentication == kAuthRakpHmacSha1)
        return Hash::Sha1;
    if (authentication == kAuthRakpHmacSha256)
        return Hash::Sha256;
    return std::nullopt;
}

std::optional<Hash> integrity_hash(uint8_t integrity)
{
    if (integrity == kIntegrityHmacSha1_96)
        return Hash::Sha1;
    if (integrity == kIntegrityHmacSha256_128)
        return Hash::Sha256;
    return std::nullopt;
}

size_t integrity_code_size(uint8_t integrity)
{
    if (integrity == kIntegrityHmacSha1_96)
        return 12;
    if (integrity == kIntegrityHmacSha256_128)
        return 16;
    return 0;
}

const char* status_name(uint8_t status)
{
    for (const StatusName& s : kStatusNames)
        if (s.status == status)
            return s.name;
    return "reserved status";
}

std::string privilege_name(uint8_t level)
{
    if (level >= kPrivilegeCallback && level <= kPrivilegeAdministrator)
        return kPrivilegeNames[level - 1];
    return "level " + std::to_string(level);
}

std::optional<uint8_t> privilege_level(const std::string& name)
{
    for (uint8_t level = kPrivilegeCallback; level <= kPrivilegeAdministrator; ++level)
        if (name == kPrivilegeNames[level - 1])
            return level;
    return std::nullopt;
}

uint32_t get_le32(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint16_t get_le16(std::span<const uint8_t> bytes, size_t at)
{
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void put_le32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void put_le16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

uint8_t checksum(std::span<const uint8_t> bytes)
{
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(-sum);
}

Bytes LanMessage::core_request() const
{
    Bytes request;
    request.reserve(2 + data.size());
    request.push_back(static_cast<uint8_t>(netfn << 2 | rs_lun));
    request.push_back(cmd);
    request.insert(request.end(), data.begin(), data.end());
    return request;
}

std::optional<LanMessage> parse_lan_request(std::span<const uint8_t> bytes)
{
    // rsSA, NetFn/LUN, checksum, rqSA, rqSeq/LUN, command, checksum at least.
    if (bytes.size() < 7)
        return std::nullopt;
    if (checksum(bytes.first(2)) != bytes[2] || checksum(bytes.subspan(3, bytes.size() - 4)) != bytes.back())
        return std::nullopt;
    LanMessage m;
    m.rs_addr = bytes[0];
    m.netfn = bytes[1] >> 2;
    m.rs_lun = bytes[1] & 0x03;
    m.rq_addr = bytes[3];
    m.rq_seq = bytes[4] >> 2;
    m.rq_lun = bytes[4] & 0x03;
    m.cmd = bytes[5];
    m.data.assign(bytes.begin() + 6, bytes.end() - 1);
    return m;
}

Bytes build_lan_response(const LanMessage& request, std::span<const uint8_t> core_response)
{
    // The core's NetFn/LUN byte carries the response NetFn; the LUNs of a LAN
    // packet are the requester's and the responder's own.
    uint8_t netfn = core_response.empty() ? static_cast<uint8_t>(request.netfn | 1) : core_response[0] >> 2;
    Bytes out{request.rq_addr, static_cast<uint8_t>(netfn << 2 | request.rq_lun)};
    out.push_back(checksum(out));
    size_t body = out.size();
    out.push_back(request.rs_addr);
    out.push_back(static_cast<uint8_t>(request.rq_seq << 2 | request.rs_lun));
    out.push_back(request.cmd);
    if (core_response.size() > 2)
        out.insert(out.end(), core_response.begin() + 2, core_response.end());
    out.push_back(checksum(std::span<const uint8_t>(out).subspan(body)));
    return out;
}

void put_rmcp_header(Bytes& out, uint8_t rmcp_class)
{
    out.insert(out.end(), {kRmcpVersion, 0x00, kRmcpNoAck, rmcp_class});
}

}  // namespace sim::lan
