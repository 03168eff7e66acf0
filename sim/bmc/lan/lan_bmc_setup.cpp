// SPDX-License-Identifier: MIT
#include "lan_bmc_inside.h"

#include <algorithm>
#include <cstdio>

namespace sim::lan {

using namespace inside;

LanBmc::Reply LanBmc::open_session(const Inbound& in, const Peer& peer, uint64_t now_us)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    Reply r;
    r.type = PayloadType::OpenSessionResponse;
    uint8_t tag = p.empty() ? 0 : p[0];
    uint32_t console_id = p.size() >= 8 ? get_le32(p, 4) : 0;
    auto refuse = [&](uint8_t status) {
        r.payload = {tag, status, 0, 0};
        put_le32(r.payload, console_id);
        context_.trace.line("%s lan open session refused: status %02X (%s)", name.c_str(), status,
                            status_name(status));
        return r;
    };
    // Three algorithm payloads: type, two reserved, length 8, algorithm, three reserved.
    if (p.size() < 32 || p[8] != 0 || p[11] != 8 || p[16] != 1 || p[19] != 8 || p[24] != 2 || p[27] != 8)
        return refuse(kStatusIllegalParameter);
    uint8_t auth = p[12] & 0x3F, integrity = p[20] & 0x3F, confidentiality = p[28] & 0x3F;
    const CipherSuite* chosen = nullptr;
    bool auth_known = false, integrity_known = false, confidentiality_known = false;
    for (uint8_t id : config_.cipher_suites) {
        const CipherSuite* s = standard_suite(id);
        auth_known |= s->authentication == auth;
        integrity_known |= s->integrity == integrity;
        confidentiality_known |= s->confidentiality == confidentiality;
        if (!chosen && s->authentication == auth && s->integrity == integrity && s->confidentiality == confidentiality)
            chosen = s;
    }
    if (!chosen) {
        if (!auth_known)
            return refuse(kStatusInvalidAuthentication);
        if (!integrity_known)
            return refuse(kStatusInvalidIntegrity);
        if (!confidentiality_known)
            return refuse(kStatusInvalidConfidentiality);
        return refuse(kStatusNoCipherSuiteMatch);
    }
    uint8_t requested = p[1] & 0x0F;
    if (requested > kPrivilegeAdministrator)
        return refuse(kStatusInvalidRole);
    if (sessions_.size() >= config_.max_sessions)
        return refuse(kStatusNoResources);

    auto s = std::make_unique<Session>();
    s->handle = next_handle_++;
    s->bmc_id = new_session_id();
    s->console_id = console_id;
    s->suite = *chosen;
    s->max_privilege = requested == 0 ? kPrivilegeAdministrator : requested;
    s->last_us = now_us;
    s->peer = peer;
    context_.trace.line("%s lan open session %u: cipher suite %u, privilege up to %s", name.c_str(), s->handle,
                        chosen->id, privilege_name(s->max_privilege).c_str());

    r.payload = {tag, kStatusOk, s->max_privilege, 0};
    put_le32(r.payload, s->console_id);
    put_le32(r.payload, s->bmc_id);
    r.payload.insert(r.payload.end(), {0x00, 0, 0, 8, chosen->authentication, 0, 0, 0});
    r.payload.insert(r.payload.end(), {0x01, 0, 0, 8, chosen->integrity, 0, 0, 0});
    r.payload.insert(r.payload.end(), {0x02, 0, 0, 8, chosen->confidentiality, 0, 0, 0});
    sessions_.push_back(std::move(s));
    return r;
}

std::optional<LanBmc::Reply> LanBmc::rakp1(const Inbound& in)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    if (p.size() < 28) {
        context_.trace.line("%s lan datagram dropped: a RAKP message 1 too short", name.c_str());
        ++dropped_;
        return std::nullopt;
    }
    Reply r;
    r.type = PayloadType::Rakp2;
    Session* s = find(get_le32(p, 4));
    if (s && s->state == Session::State::Active)
        s = nullptr;
    auto refuse = [&](uint8_t status, const std::string& user) {
        r.payload = {p[0], status, 0, 0};
        put_le32(r.payload, s ? s->console_id : 0);
        if (s) {
            context_.trace.line("%s lan session %u refused at rakp 2: status %02X (%s), user %s", name.c_str(),
                                s->handle, status, status_name(status), in_quotes(user).c_str());
            remove(s->bmc_id);
        } else {
            context_.trace.line("%s lan rakp 2 refused: status %02X (%s)", name.c_str(), status, status_name(status));
        }
        return r;
    };
    if (!s)
        return refuse(kStatusInvalidSessionId, "");
    size_t name_length = p[27];
    if (name_length > 16 || p.size() < 28 + name_length)
        return refuse(kStatusInvalidNameLength, "");
    std::string user_name(p.begin() + 28, p.begin() + 28 + static_cast<long>(name_length));
    uint8_t role = p[24];
    uint8_t requested = role & 0x0F;
    if ((role & 0xE0) != 0 || requested < kPrivilegeCallback || requested > kPrivilegeAdministrator)
        return refuse(kStatusInvalidRole, user_name);
    auto user = std::find_if(config_.users.begin(), config_.users.end(),
                             [&](const LanUser& u) { return u.name == user_name; });
    if (user == config_.users.end())
        return refuse(kStatusUnauthorizedName, user_name);
    if (requested > user->max_privilege || requested > s->max_privilege)
        return refuse(kStatusUnauthorizedRole, user_name);

    std::copy(p.begin() + 8, p.begin() + 24, s->rm.begin());
    random_->fill(s->rc);
    s->role = role;
    s->user_name = user_name;
    s->user = static_cast<size_t>(user - config_.users.begin());
    s->state = Session::State::Rakp2Sent;
    context_.trace.line("%s lan session %u rakp 2 for user %s, role %s", name.c_str(), s->handle,
                        in_quotes(user_name).c_str(), privilege_name(requested).c_str());

    r.payload = {p[0], kStatusOk, 0, 0};
    put_le32(r.payload, s->console_id);
    r.payload.insert(r.payload.end(), s->rc.begin(), s->rc.end());
    r.payload.insert(r.payload.end(), config_.guid.begin(), config_.guid.end());
    if (auto hash = s->auth()) {
        Bytes ids;
        put_le32(ids, s->console_id);
        put_le32(ids, s->bmc_id);
        uint8_t tail[2] = {s->role, static_cast<uint8_t>(user_name.size())};
        Bytes code = hmac(*hash, user->password, {ids, s->rm, s->rc, config_.guid, tail, as_bytes(user_name)});
        r.payload.insert(r.payload.end(), code.begin(), code.end());
    }
    return r;
}

std::optional<LanBmc::Reply> LanBmc::rakp3(const Inbound& in)
{
    const std::string& name = core_.name();
    const Bytes& p = in.payload;
    if (p.size() < 8) {
        context_.trace.line("%s lan datagram dropped: a RAKP message 3 too short", name.c_str());
        ++dropped_;
        return std::nullopt;
    }
    Reply r;
    r.type = PayloadType::Rakp4;
    Session* s = find(get_le32(p, 4));
    // Sent again after its answer was lost: answered once more inside the
    // session, or refused below as of no session in set-up.
    const bool again = s && s->state == Session::State::Active && config_.rakp4_in_session && p[1] == kStatusOk;
    if (s && s->state != Session::State::Rakp2Sent && !again)
        s = nullptr;
    auto refuse = [&](uint8_t status) {
        r.payload = {p[0], status, 0, 0};
        put_le32(r.payload, s ? s->console_id : 0);
        if (s) {
            context_.trace.line("%s lan session %u refused at rakp 4: status %02X (%s)", name.c_str(), s->handle,
                                status, status_name(status));
            remove(s->bmc_id);
        } else {
            context_.trace.line("%s lan rakp 4 refused: status %02X (%s)", name.c_str(), status, status_name(status));
        }
        return r;
    };
    if (!s)
        return refuse(kStatusInvalidSessionId);
    if (p[1] != kStatusOk) {
        // The console found our RAKP 2 wanting: the session ends, unanswered.
        context_.trace.line("%s lan session %u given up by the console at rakp 3: status %02X (%s)", name.c_str(),
                            s->handle, p[1], status_name(p[1]));
        remove(s->bmc_id);
        return std::nullopt;
    }
    const LanUser& user = config_.users[s->user];
    uint8_t tail[2] = {s->role, static_cast<uint8_t>(s->user_name.size())};
    std::span<const uint8_t> user_name = as_bytes(s->user_name);
    if (auto hash = s->auth()) {
        Bytes console_id;
        put_le32(console_id, s->console_id);
        Bytes expected = hmac(*hash, user.password, {s->rc, console_id, tail, user_name});
        if (!equal_secret(expected, std::span<const uint8_t>(p).subspan(8)))
            return refuse(kStatusInvalidIntegrityCheck);
        const std::vector<uint8_t>& kg = config_.kg.empty() ? user.password : config_.kg;
        s->sik = hmac(*hash, kg, {s->rm, s->rc, tail, user_name});
        const Bytes one(kKeyConstantLength, 0x01), two(kKeyConstantLength, 0x02);
        s->k1 = hmac(*hash, s->sik, {one});
        s->k2 = hmac(*hash, s->sik, {two});
    }
    if (again) {
        r.session = s;
        context_.trace.line("%s lan session %u: rakp 3 again, rakp 4 in the session", name.c_str(), s->handle);
    } else {
        s->state = Session::State::Active;
        s->privilege_limit = static_cast<uint8_t>(s->role & 0x0F);
        s->privilege = std::min(kPrivilegeUser, s->privilege_limit);
        context_.trace.line("%s lan session %u active at privilege %s", name.c_str(), s->handle,
                            privilege_name(s->privilege).c_str());
    }

    r.payload = {p[0], kStatusOk, 0, 0};
    put_le32(r.payload, s->console_id);
    if (auto hash = s->auth()) {
        Bytes bmc_id;
        put_le32(bmc_id, s->bmc_id);
        Bytes icv = hmac(*hash, s->sik, {s->rm, bmc_id, config_.guid});
        // HMAC-SHA1-96 or HMAC-SHA256-128, as the suite's integrity is.
        icv.resize(*hash == Hash::Sha1 ? 12 : 16);
        r.payload.insert(r.payload.end(), icv.begin(), icv.end());
    }
    return r;
}

}  // namespace sim::lan
