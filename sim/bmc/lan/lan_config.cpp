// SPDX-License-Identifier: MIT
#include "lan_config.h"

#include <algorithm>
#include <arpa/inet.h>
#include <set>

#include "rmcp.h"

namespace sim::lan {

namespace {

constexpr size_t kMaxNameLength = 16;
constexpr size_t kMaxKeyLength = 20;

std::vector<uint8_t> text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

uint8_t parse_privilege(const Field& f)
{
    auto level = privilege_level(f.string());
    if (!level)
        f.fail("expected \"callback\", \"user\", \"operator\" or \"administrator\"");
    return *level;
}

// A key given as text ("password") or as hex bytes ("password_hex").
std::optional<std::vector<uint8_t>> parse_key(const Field& owner, const char* text_field, const char* hex_field)
{
    std::optional<std::vector<uint8_t>> key;
    if (auto f = owner.optional(text_field))
        key = text_bytes(f->string());
    if (auto f = owner.optional(hex_field)) {
        if (key)
            f->fail(std::string(text_field) + " or " + hex_field + ", not both");
        key = f->bytes();
    }
    if (key && key->size() > kMaxKeyLength) {
        Field which = owner.has(text_field) ? owner[text_field] : owner[hex_field];
        which.fail("at most 20 bytes");
    }
    return key;
}

LanUser parse_user(const Field& u, uint8_t default_id)
{
    u.only({"id", "name", "password", "password_hex", "privilege"});
    LanUser user;
    user.id = u.has("id") ? static_cast<uint8_t>(u["id"].unsigned_in(1, 63)) : default_id;
    if (auto n = u.optional("name")) {
        user.name = n->string();
        if (user.name.size() > kMaxNameLength)
            n->fail("a user name has at most 16 bytes");
    }
    user.password = parse_key(u, "password", "password_hex").value_or(std::vector<uint8_t>{});
    if (auto p = u.optional("privilege"))
        user.max_privilege = parse_privilege(*p);
    return user;
}

void parse_address(const Field& lan, LanAddress& a)
{
    if (auto h = lan.optional("host")) {
        a.host = h->string();
        if (a.host.empty() || a.host.find_first_of(" []:") != std::string::npos)
            h->fail("a host name, without blanks, brackets or a port");
    }
    if (auto f = lan.optional("ipv4")) {
        in_addr v4{};
        if (inet_pton(AF_INET, f->string().c_str(), &v4) != 1)
            f->fail("an IPv4 address, such as \"192.0.2.10\"");
        a.ipv4 = v4;
    }
    if (auto f = lan.optional("ipv6")) {
        in6_addr v6{};
        if (inet_pton(AF_INET6, f->string().c_str(), &v6) != 1)
            f->fail("an IPv6 address without brackets, such as \"2001:db8::10\"");
        a.ipv6 = v6;
    }
    if (a.host.empty() && !a.ipv4 && !a.ipv6)
        lan.fail("a LAN BMC needs an address: \"host\", \"ipv4\" or \"ipv6\"");
    if (auto p = lan.optional("port"))
        a.port = static_cast<uint16_t>(p->unsigned_in(1, 65535));
}

}  // namespace

LanConfig parse_lan_config(const Field& lan, const std::array<uint8_t, 16>& default_guid)
{
    lan.only({"host", "ipv4", "ipv6", "port", "enabled", "users", "kg", "kg_hex", "cipher_suites",
              "session_timeout_s", "answer_us", "repeated_rakp3", "max_sessions", "master_write_read_privilege", "seed", "guid",
              "faults", "events"});
    LanConfig c;
    c.guid = default_guid;
    parse_address(lan, c.address);
    if (auto f = lan.optional("enabled"))
        c.enabled = f->boolean();
    if (auto users = lan.optional("users")) {
        std::set<std::string> names;
        std::set<uint8_t> ids;
        users->each_item([&](const Field& u) {
            LanUser user = parse_user(u, static_cast<uint8_t>(c.users.size() + 1));
            if (!names.insert(user.name).second)
                (u.has("name") ? u["name"] : u).fail("two users with one name");
            if (!ids.insert(user.id).second)
                (u.has("id") ? u["id"] : u).fail("two users with one ID");
            c.users.push_back(std::move(user));
        });
    }
    if (auto kg = parse_key(lan, "kg", "kg_hex")) {
        // All zeros is no key at all, as the standard has it.
        if (std::any_of(kg->begin(), kg->end(), [](uint8_t b) { return b != 0; }))
            c.kg = std::move(*kg);
    }
    if (auto f = lan.optional("cipher_suites")) {
        c.cipher_suites.clear();
        f->each_item([&](const Field& s) {
            uint8_t id = static_cast<uint8_t>(s.unsigned_in(0, 0x3F));
            const CipherSuite* suite = standard_suite(id);
            if (!suite)
                s.fail("a standard cipher suite, 0 to 19");
            if (!suite_supported(*suite))
                s.fail("this BMC has no MD5 or xRC4: suites 0, 1, 2, 3, 15, 16 and 17 only");
            if (std::find(c.cipher_suites.begin(), c.cipher_suites.end(), id) != c.cipher_suites.end())
                s.fail("offered twice");
            c.cipher_suites.push_back(id);
        });
    }
    if (auto f = lan.optional("session_timeout_s"))
        c.session_timeout_us = f->unsigned_in(1, 24 * 3600) * 1000000ULL;
    if (auto f = lan.optional("answer_us"))
        c.answer_us = f->unsigned_in(0, 60ULL * 1000 * 1000);
    if (auto f = lan.optional("repeated_rakp3")) {
        const std::string way = f->string();
        if (way != "refused" && way != "in_session")
            f->fail("expected \"refused\" or \"in_session\"");
        c.rakp4_in_session = way == "in_session";
    }
    if (auto f = lan.optional("max_sessions"))
        c.max_sessions = static_cast<unsigned>(f->unsigned_in(1, 64));
    if (auto f = lan.optional("master_write_read_privilege"))
        c.master_write_read_privilege = parse_privilege(*f);
    if (auto f = lan.optional("seed"))
        c.seed = static_cast<uint32_t>(f->unsigned_in(0, UINT32_MAX));
    if (auto f = lan.optional("guid")) {
        std::vector<uint8_t> g = f->bytes();
        if (g.size() != c.guid.size())
            f->fail("16 bytes");
        std::copy(g.begin(), g.end(), c.guid.begin());
    }
    if (auto f = lan.optional("faults"))
        f->each_item([&](const Field& r) { c.faults.push_back(parse_lan_fault_rule(r)); });
    if (auto f = lan.optional("events"))
        f->each_item([&](const Field& e) { c.events.push_back(parse_lan_event(e)); });
    return c;
}

std::string address_text(const LanAddress& a)
{
    char text[INET6_ADDRSTRLEN] = "";
    std::string host;
    if (a.ipv4) {
        inet_ntop(AF_INET, &*a.ipv4, text, sizeof text);
        host = text;
    } else if (a.ipv6) {
        inet_ntop(AF_INET6, &*a.ipv6, text, sizeof text);
        host = std::string("[") + text + "]";
    } else {
        host = a.host;
    }
    return host + ":" + std::to_string(a.port);
}

}  // namespace sim::lan
