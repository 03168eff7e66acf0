// SPDX-License-Identifier: MIT
#include "lan_bmc_inside.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace sim::lan {

using namespace inside;

std::string LanBmc::traced_request(const LanMessage& m)
{
    // A session ID is one of the BMC's random numbers: the trace names the
    // session by its handle instead.
    size_t id_at = 0;
    if (m.netfn == kNetFnApp && m.cmd == kCmdCloseSession && m.data.size() >= 4)
        id_at = 0;
    else if (m.netfn == kNetFnApp && m.cmd == kCmdGetSessionInfo && m.data.size() >= 5 && m.data[0] == 0xFF)
        id_at = 1;
    else
        return Trace::hex(m.core_request());
    Bytes request = m.core_request();
    uint32_t id = get_le32(m.data, id_at);
    Session* s = id ? find(id) : nullptr;
    char name[32];
    if (id == 0)
        std::snprintf(name, sizeof name, "00 00 00 00");
    else if (s)
        std::snprintf(name, sizeof name, "[session %u]", s->handle);
    else
        std::snprintf(name, sizeof name, "[no session]");
    std::span<const uint8_t> all(request);
    std::string before = Trace::hex(all.first(2 + id_at));
    std::string after = Trace::hex(all.subspan(2 + id_at + 4));
    char text[512];
    std::snprintf(text, sizeof text, "%s %s%s%s", before.c_str(), name, after.empty() ? "" : " ", after.c_str());
    return text;
}

uint8_t LanBmc::required_privilege(const LanMessage& m) const
{
    if (m.netfn != kNetFnApp)
        return kPrivilegeUser;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
    case kCmdGetCipherSuites:
    case kCmdSetSessionPrivilege:
    case kCmdCloseSession:
        return kPrivilegeCallback;
    case kCmdMasterWriteRead:
        return config_.master_write_read_privilege;
    case kCmdSetGlobalEnables:
        return kPrivilegeAdministrator;
    default:
        return kPrivilegeUser;
    }
}

std::optional<LanBmc::Reply> LanBmc::ipmi_request(Inbound& in, uint64_t now_us)
{
    const std::string& name = core_.name();
    LanMessage& m = *in.message;
    Session* s = in.session;
    Reply r;
    r.format = in.format;
    r.session = s;
    if (s) {
        ++session_requests_;
        for (size_t i = 0; i < config_.events.size(); ++i) {
            const LanEvent& e = config_.events[i];
            if (event_done_[i] || !e.before_request || *e.before_request != session_requests_)
                continue;
            event_done_[i] = true;
            if (e.what == LanEvent::What::Restart) {
                end_all("restart", now_us);
                down_until_us_ = now_us + e.down_us;
            } else {
                end_all("sessions dropped", now_us);
            }
            // The request meets a BMC that no longer knows its session.
            ++dropped_;
            context_.trace.line("%s lan datagram dropped: a session ID of no active session", name.c_str());
            return std::nullopt;
        }
    }
    context_.trace.line("%s lan request: %s", name.c_str(), traced_request(m).c_str());

    Bytes answer;  // the core's layout: NetFn/LUN, command, completion code, data
    answer.push_back(static_cast<uint8_t>((m.netfn + 1) << 2 | m.rs_lun));
    answer.push_back(m.cmd);
    if (std::optional<Bytes> own = own_command(m, s)) {
        answer.insert(answer.end(), own->begin(), own->end());
    } else if (s && s->privilege < required_privilege(m)) {
        answer.push_back(kCcInsufficientPrivilege);
    } else {
        BmcCore::Outcome out = core_.exchange(Road::Lan, in.core_request);
        if (out.response.empty())
            return std::nullopt;  // the BMC never answers
        answer = std::move(out.response);
        r.delay_us = out.delay_us;
    }
    context_.trace.line("%s lan response: %s", name.c_str(), Trace::hex(answer).c_str());
    r.payload = build_lan_response(m, answer);
    return r;
}

std::optional<Bytes> LanBmc::own_command(const LanMessage& m, Session* s)
{
    if (m.netfn != kNetFnApp)
        return std::nullopt;
    switch (m.cmd) {
    case kCmdGetAuthCapabilities:
        return auth_capabilities(m.data);
    case kCmdGetCipherSuites:
        return cipher_suites(m.data);
    case kCmdSetSessionPrivilege:
        return s ? std::optional<Bytes>(set_privilege(m.data, *s)) : std::nullopt;
    case kCmdCloseSession:
        return s ? std::optional<Bytes>(close_session(m.data, *s)) : std::nullopt;
    case kCmdGetSessionInfo:
        if (!s)
            return std::nullopt;
        if (s->privilege < kPrivilegeUser)
            return with_cc(kCcInsufficientPrivilege);
        return session_info(m.data, *s);
    default:
        return std::nullopt;
    }
}

Bytes LanBmc::auth_capabilities(std::span<const uint8_t> data) const
{
    if (data.size() < 2)
        return with_cc(kCcRequestLength);
    uint8_t channel = data[0] & 0x0F;
    bool v2 = data[0] & 0x80;
    uint8_t privilege = data[1] & 0x0F;
    if ((channel != kCurrentChannel && channel != kLanChannel) || privilege < kPrivilegeCallback ||
        privilege > 5)
        return with_cc(kCcInvalidField);
    bool named = false, null_name = false, anonymous = false;
    for (const LanUser& u : config_.users) {
        named |= !u.name.empty();
        null_name |= u.name.empty() && !u.password.empty();
        anonymous |= u.name.empty() && u.password.empty();
    }
    uint8_t login = static_cast<uint8_t>((config_.kg.empty() ? 0 : 0x20) | (named ? 0x04 : 0) |
                                         (null_name ? 0x02 : 0) | (anonymous ? 0x01 : 0));
    // No IPMI v1.5 session types: bit 7 says the v2.0 capabilities are there.
    return with_cc(kCcOk, {kLanChannel, 0x80, login, static_cast<uint8_t>(v2 ? 0x02 : 0x00), 0, 0, 0, 0});
}

Bytes LanBmc::cipher_suites(std::span<const uint8_t> data) const
{
    if (data.size() < 3)
        return with_cc(kCcRequestLength);
    uint8_t channel = data[0] & 0x0F;
    if (channel != kCurrentChannel && channel != kLanChannel)
        return with_cc(kCcInvalidField);
    bool by_suite = data[2] & 0x80;
    size_t index = data[2] & 0x3F;
    Bytes records;
    if (data[1] == 0x00) {  // the IPMI payload; any other has no suites here
        if (by_suite) {
            for (uint8_t id : config_.cipher_suites) {
                const CipherSuite* s = standard_suite(id);
                records.insert(records.end(),
                               {0xC0, s->id, s->authentication, static_cast<uint8_t>(0x40 | s->integrity),
                                static_cast<uint8_t>(0x80 | s->confidentiality)});
            }
        } else {
            for (uint8_t id : config_.cipher_suites) {
                const CipherSuite* s = standard_suite(id);
                for (uint8_t tagged : {s->authentication, static_cast<uint8_t>(0x40 | s->integrity),
                                       static_cast<uint8_t>(0x80 | s->confidentiality)})
                    if (std::find(records.begin(), records.end(), tagged) == records.end())
                        records.push_back(tagged);
            }
        }
    }
    Bytes r{kCcOk, kLanChannel};
    size_t from = std::min(records.size(), index * 16);
    size_t to = std::min(records.size(), from + 16);
    r.insert(r.end(), records.begin() + static_cast<long>(from), records.begin() + static_cast<long>(to));
    return r;
}

Bytes LanBmc::set_privilege(std::span<const uint8_t> data, Session& s)
{
    if (data.empty())
        return with_cc(kCcRequestLength);
    uint8_t level = data[0] & 0x0F;
    if (level == 0)
        return with_cc(kCcOk, {s.privilege});
    if (level > kPrivilegeAdministrator)
        return with_cc(kCcLevelUnavailable);
    if (level > s.privilege_limit)
        return with_cc(kCcLevelAboveLimit);
    s.privilege = level;
    context_.trace.line("%s lan session %u privilege %s", core_.name().c_str(), s.handle,
                        privilege_name(level).c_str());
    return with_cc(kCcOk, {level});
}

Bytes LanBmc::close_session(std::span<const uint8_t> data, Session& s)
{
    if (data.size() < 4)
        return with_cc(kCcRequestLength);
    uint32_t id = get_le32(data, 0);
    Session* target = nullptr;
    if (id == 0) {
        if (data.size() < 5)
            return with_cc(kCcRequestLength);
        for (auto& other : sessions_)
            if (other->state == Session::State::Active && other->handle == data[4])
                target = other.get();
        if (!target)
            return with_cc(kCcInvalidSessionHandle);
    } else {
        target = find(id);
        if (!target || target->state != Session::State::Active)
            return with_cc(kCcInvalidSessionId);
    }
    if (target != &s && s.privilege < kPrivilegeAdministrator)
        return with_cc(kCcInsufficientPrivilege);
    context_.trace.line("%s lan session %u closed", core_.name().c_str(), target->handle);
    if (target != &s)
        remove(target->bmc_id);
    else
        s.closing = true;
    return with_cc(kCcOk);
}

Bytes LanBmc::session_info(std::span<const uint8_t> data, Session& s) const
{
    if (data.empty())
        return with_cc(kCcRequestLength);
    const Session* which = nullptr;
    std::vector<const Session*> active;
    for (const auto& other : sessions_)
        if (other->state == Session::State::Active)
            active.push_back(other.get());
    uint8_t slots = static_cast<uint8_t>(config_.max_sessions);
    uint8_t count = static_cast<uint8_t>(active.size());
    if (data[0] == 0x00) {
        which = &s;
    } else if (data[0] == 0xFF) {
        if (data.size() < 5)
            return with_cc(kCcRequestLength);
        uint32_t id = get_le32(data, 1);
        for (const Session* a : active)
            if (a->bmc_id == id)
                which = a;
        if (!which)
            return with_cc(kCcInvalidField);
    } else if (data[0] == 0xFE) {
        if (data.size() < 2)
            return with_cc(kCcRequestLength);
        for (const Session* a : active)
            if (a->handle == data[1])
                which = a;
        if (!which)
            return with_cc(kCcInvalidField);
    } else {
        if (data[0] > slots)
            return with_cc(kCcInvalidField);
        if (data[0] > active.size())
            return with_cc(kCcOk, {0, slots, count});  // an empty slot
        which = active[data[0] - 1];
    }
    const LanUser& user = config_.users[which->user];
    Bytes r = with_cc(kCcOk, {static_cast<uint8_t>(which->handle), slots, count, user.id, which->privilege,
                              static_cast<uint8_t>(0x10 | kLanChannel)});
    if (which->peer.address.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &which->peer.address, sizeof v4);
        const uint8_t* ip = reinterpret_cast<const uint8_t*>(&v4.sin_addr);
        r.insert(r.end(), ip, ip + 4);
        r.insert(r.end(), 6, 0x00);  // the console's MAC address: not known to a UDP socket
        uint16_t port = ntohs(v4.sin_port);
        put_le16(r, port);
    }
    return r;
}

}  // namespace sim::lan
