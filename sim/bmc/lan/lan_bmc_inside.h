// SPDX-License-Identifier: MIT
// What the LAN BMC's files share and nobody else sees: the codes of the
// commands it answers itself, and its sessions, datagrams taken apart and
// replies before they are wrapped. lan_bmc.cpp holds the sessions' table,
// the clock and the network's faults; lan_bmc_framing.cpp takes datagrams
// apart and wraps replies; lan_bmc_setup.cpp opens sessions (Open Session,
// RAKP); lan_bmc_commands.cpp answers the requests inside and outside them.
#pragma once
#include <string>

#include "lan_bmc.h"

namespace sim::lan::inside {

inline constexpr uint8_t kNetFnApp = 0x06;
inline constexpr uint8_t kCmdGetDeviceId = 0x01;
inline constexpr uint8_t kCmdSetGlobalEnables = 0x2E;
inline constexpr uint8_t kCmdGetAuthCapabilities = 0x38;
inline constexpr uint8_t kCmdSetSessionPrivilege = 0x3B;
inline constexpr uint8_t kCmdCloseSession = 0x3C;
inline constexpr uint8_t kCmdGetSessionInfo = 0x3D;
inline constexpr uint8_t kCmdMasterWriteRead = 0x52;
inline constexpr uint8_t kCmdGetCipherSuites = 0x54;

inline constexpr uint8_t kLanChannel = 0x01;
inline constexpr uint8_t kCurrentChannel = 0x0E;

inline constexpr uint8_t kCcOk = 0x00;
inline constexpr uint8_t kCcLevelUnavailable = 0x80;
inline constexpr uint8_t kCcLevelAboveLimit = 0x81;
inline constexpr uint8_t kCcInvalidSessionId = 0x87;
inline constexpr uint8_t kCcInvalidSessionHandle = 0x88;
inline constexpr uint8_t kCcRequestLength = 0xC7;
inline constexpr uint8_t kCcDataNotPresent = 0xCB;
inline constexpr uint8_t kCcInvalidField = 0xCC;
inline constexpr uint8_t kCcInsufficientPrivilege = 0xD4;

// The ASF presence ping and its pong (DMTF ASF 2.0, as IPMI uses it).
inline constexpr uint8_t kAsfIana[] = {0x00, 0x00, 0x11, 0xBE};
inline constexpr uint8_t kAsfPing = 0x80;
inline constexpr uint8_t kAsfPong = 0x40;
inline constexpr uint8_t kAsfIpmiSupported = 0x80;
inline constexpr uint8_t kAsfVersion1 = 0x01;

// The keys K1 and K2 of a session come from the session key and these
// 20-byte constants (IPMI v2.0 section 13.32), whatever the hash.
inline constexpr size_t kKeyConstantLength = 20;

// How far from the highest sequence number taken a packet may be.
inline constexpr uint32_t kSequenceWindow = 16;

inline MessageKind classify(const LanMessage& m)
{
    if (m.netfn != kNetFnApp)
        return MessageKind::OtherIpmi;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
        return MessageKind::AuthCapabilities;
    case kCmdGetCipherSuites:
        return MessageKind::CipherSuites;
    case kCmdSetSessionPrivilege:
        return MessageKind::SetPrivilege;
    case kCmdCloseSession:
        return MessageKind::CloseSession;
    case kCmdMasterWriteRead:
        return MessageKind::MasterWriteRead;
    default:
        return MessageKind::OtherIpmi;
    }
}

inline Bytes with_cc(uint8_t cc, std::initializer_list<uint8_t> data = {})
{
    Bytes r;
    r.reserve(1 + data.size());
    r.push_back(cc);
    for (uint8_t b : data)
        r.push_back(b);
    return r;
}

inline std::string in_quotes(const std::string& name) { return "\"" + name + "\""; }

inline std::span<const uint8_t> as_bytes(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace sim::lan::inside

namespace sim::lan {

// One session, from Open Session on.
struct LanBmc::Session {
    enum class State { Opened, Rakp2Sent, Active };

    unsigned handle = 0;      // 1, 2, ...: the trace's and Get Session Info's name for it
    uint32_t bmc_id = 0;      // ours, in every packet the console sends
    uint32_t console_id = 0;  // the console's, in every packet we send
    CipherSuite suite{};
    uint8_t max_privilege = kPrivilegeAdministrator;  // agreed at Open Session
    State state = State::Opened;
    std::array<uint8_t, 16> rm{};  // the console's random number
    std::array<uint8_t, 16> rc{};  // ours
    uint8_t role = 0;              // RAKP 1's role byte, whole
    std::string user_name;
    size_t user = 0;  // index into the configuration's users
    Bytes sik, k1, k2;
    uint8_t privilege = kPrivilegeUser;
    uint8_t privilege_limit = kPrivilegeUser;
    uint32_t out_sequence = 0;
    uint32_t highest_in = 0;  // 0: nothing taken yet
    uint32_t taken = 0;       // bit n: highest_in - n was taken
    uint64_t last_us = 0;
    Peer peer;
    bool closing = false;  // closed by its own Close Session: goes after the answer

    std::optional<Hash> auth() const { return auth_hash(suite.authentication); }
    bool integrity() const { return suite.integrity != kIntegrityNone; }
    bool confidentiality() const { return suite.confidentiality != kConfidentialityNone; }
};

// A datagram taken apart, before anything in the BMC changes.
struct LanBmc::Inbound {
    enum class Format { Asf, V15, V20 };
    Format format = Format::V20;
    MessageKind kind = MessageKind::Unknown;
    PayloadType type = PayloadType::Ipmi;
    Session* session = nullptr;  // an IPMI packet inside a session, its integrity checked
    uint32_t sequence = 0;
    Bytes payload;  // decrypted
    std::optional<LanMessage> message;
    Bytes core_request;  // an IPMI request in the core's layout
    uint8_t asf_tag = 0;
    const char* drop = nullptr;  // why the BMC drops it (after the network had its say)
};

// What the BMC answers, before it is wrapped.
struct LanBmc::Reply {
    Inbound::Format format = Inbound::Format::V20;
    PayloadType type = PayloadType::Ipmi;
    Bytes payload;
    Session* session = nullptr;  // wrapped with its keys
    uint64_t delay_us = 0;
    MessageKind kind = MessageKind::Unknown;
    Bytes core_request;
};

}  // namespace sim::lan
