// SPDX-License-Identifier: MIT
#include "lan_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "os/os.h"

namespace qbtest::lan {

namespace {

Bytes hmac(uint8_t algorithm, const Bytes& key, const Bytes& data)
{
    // 1: SHA-1 (RAKP-HMAC-SHA1, HMAC-SHA1-96); 3 or 4: SHA-256.
    if (algorithm == 1) {
        hmac_sha1_ctx c;
        hmac_sha1_set_key(&c, key.size(), key.data());
        hmac_sha1_update(&c, data.size(), data.data());
        Bytes out(SHA1_DIGEST_SIZE);
        hmac_sha1_digest(&c, out.size(), out.data());
        return out;
    }
    hmac_sha256_ctx c;
    hmac_sha256_set_key(&c, key.size(), key.data());
    hmac_sha256_update(&c, data.size(), data.data());
    Bytes out(SHA256_DIGEST_SIZE);
    hmac_sha256_digest(&c, out.size(), out.data());
    return out;
}

void aes_encrypt(const void* ctx, size_t n, uint8_t* dst, const uint8_t* src)
{
    aes128_encrypt(static_cast<const aes128_ctx*>(ctx), n, dst, src);
}

void aes_decrypt(const void* ctx, size_t n, uint8_t* dst, const uint8_t* src)
{
    aes128_decrypt(static_cast<const aes128_ctx*>(ctx), n, dst, src);
}

void le32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t le32_at(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint8_t sum_zero(const uint8_t* p, size_t n)
{
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<uint8_t>(s + p[i]);
    return static_cast<uint8_t>(-s);
}

// The IPMI message of a request: rsSA 0x20, NetFn/LUN, checksum, rqSA 0x81,
// rqSeq, command, data, checksum.
Bytes ipmi_message(const Bytes& core_request, uint8_t rq_seq)
{
    Bytes m{0x20, core_request[0]};
    m.push_back(sum_zero(m.data(), 2));
    m.push_back(0x81);
    m.push_back(static_cast<uint8_t>(rq_seq << 2));
    m.insert(m.end(), core_request.begin() + 1, core_request.end());
    m.push_back(sum_zero(m.data() + 3, m.size() - 3));
    return m;
}

// A response message back in the core's layout, if its checksums hold.
std::optional<Bytes> core_answer(const Bytes& m, uint8_t* rq_seq)
{
    if (m.size() < 8 || sum_zero(m.data(), 2) != m[2] || sum_zero(m.data() + 3, m.size() - 4) != m.back())
        return std::nullopt;
    *rq_seq = m[4] >> 2;
    Bytes core{static_cast<uint8_t>((m[1] & 0xFC) | (m[4] & 0x03)), m[5]};
    core.insert(core.end(), m.begin() + 6, m.end() - 1);
    return core;
}

struct Suite {
    uint8_t auth, integrity, confidentiality;
};

Suite suite_of(uint8_t id)
{
    switch (id) {
    case 0:
        return {0, 0, 0};
    case 1:
        return {1, 0, 0};
    case 2:
        return {1, 1, 0};
    case 3:
        return {1, 1, 1};
    case 15:
        return {3, 0, 0};
    case 16:
        return {3, 4, 0};
    case 17:
        return {3, 4, 1};
    default:
        return {0xFF, 0xFF, 0xFF};  // one the BMC has no algorithms for
    }
}

Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

SeamLink::SeamLink(const std::string& host, const std::string& port)
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (os::sys::resolve(host.c_str(), port.c_str(), &addr, &len) != 0)
        throw std::runtime_error("cannot resolve " + host);
    fd_ = os::sys::socket(addr.ss_family, SOCK_DGRAM, 0);
    if (fd_ < 0 || os::sys::connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0)
        throw std::runtime_error("cannot connect to " + host);
}

SeamLink::~SeamLink()
{
    if (fd_ >= 0)
        os::sys::close(fd_);
}

void SeamLink::send(const Bytes& datagram) { os::sys::send(fd_, datagram.data(), datagram.size()); }

std::optional<Bytes> SeamLink::receive(uint64_t timeout_us)
{
    fd_set in;
    FD_ZERO(&in);
    FD_SET(fd_, &in);
    timeval tv{static_cast<time_t>(timeout_us / 1000000), static_cast<suseconds_t>(timeout_us % 1000000)};
    if (os::sys::select(fd_ + 1, &in, nullptr, nullptr, &tv) <= 0)
        return std::nullopt;
    Bytes buffer(1024);
    ssize_t n = os::sys::recv(fd_, buffer.data(), buffer.size());
    if (n < 0)
        return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

uint64_t SeamLink::now_us()
{
    timeval tv{};
    os::sys::gettimeofday(&tv);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000 + static_cast<uint64_t>(tv.tv_usec);
}

UdpLink::UdpLink(uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        throw std::runtime_error("cannot connect to the BMC's port");
}

UdpLink::~UdpLink()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void UdpLink::send(const Bytes& datagram) { ::send(fd_, datagram.data(), datagram.size(), 0); }

std::optional<Bytes> UdpLink::receive(uint64_t timeout_us)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>((timeout_us + 999) / 1000)) <= 0)
        return std::nullopt;
    Bytes buffer(1024);
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

uint64_t UdpLink::now_us()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

Client::Client(Link& link, uint64_t timeout_us, uint32_t seed) : link_(link), timeout_us_(timeout_us), random_(seed) {}

std::optional<bool> Client::ping()
{
    link_.send({0x06, 0x00, 0xFF, 0x06, 0x00, 0x00, 0x11, 0xBE, 0x80, 0x21, 0x00, 0x00});
    uint64_t end = link_.now_us() + timeout_us_;
    while (link_.now_us() < end) {
        std::optional<Bytes> d = link_.receive(end - link_.now_us());
        if (!d)
            return std::nullopt;
        if (d->size() >= 28 && (*d)[3] == 0x06 && (*d)[8] == 0x40 && (*d)[9] == 0x21)
            return ((*d)[20] & 0x80) != 0;
        ++discarded_;
    }
    return std::nullopt;
}

std::optional<Bytes> Client::sessionless_ipmi(const Bytes& core_request, bool v15)
{
    Bytes m = ipmi_message(core_request, 0x01);
    Bytes d{0x06, 0x00, 0xFF, 0x07};
    if (v15) {
        d.insert(d.end(), 9, 0x00);  // authentication none, sequence 0, session 0
        d.push_back(static_cast<uint8_t>(m.size()));
    } else {
        d.insert(d.end(), {0x06, 0x00, 0, 0, 0, 0, 0, 0, 0, 0});
        d.push_back(static_cast<uint8_t>(m.size()));
        d.push_back(0);
    }
    d.insert(d.end(), m.begin(), m.end());
    link_.send(d);
    uint64_t end = link_.now_us() + timeout_us_;
    while (link_.now_us() < end) {
        std::optional<Bytes> a = link_.receive(end - link_.now_us());
        if (!a)
            return std::nullopt;
        size_t at = v15 ? 14 : 16;
        if (a->size() > at && (*a)[4] == (v15 ? 0x00 : 0x06)) {
            uint8_t seq = 0;
            if (auto core = core_answer(Bytes(a->begin() + static_cast<long>(at), a->end()), &seq))
                return Bytes(core->begin() + 2, core->end());
        }
        ++discarded_;
    }
    return std::nullopt;
}

std::optional<Bytes> Client::auth_capabilities(bool v2_form, uint8_t privilege)
{
    return sessionless_ipmi({0x18, 0x38, static_cast<uint8_t>(v2_form ? 0x8E : 0x0E), privilege}, !v2_form);
}

std::optional<Bytes> Client::cipher_suite_page(uint8_t index)
{
    return sessionless_ipmi({0x18, 0x54, 0x0E, 0x00, static_cast<uint8_t>(0x80 | index)}, false);
}

std::optional<Bytes> Client::presession(uint8_t payload_type, const Bytes& payload, uint8_t answer_type)
{
    Bytes d{0x06, 0x00, 0xFF, 0x07, 0x06, payload_type, 0, 0, 0, 0, 0, 0, 0, 0};
    d.push_back(static_cast<uint8_t>(payload.size()));
    d.push_back(static_cast<uint8_t>(payload.size() >> 8));
    d.insert(d.end(), payload.begin(), payload.end());
    link_.send(d);
    uint64_t end = link_.now_us() + timeout_us_;
    while (link_.now_us() < end) {
        std::optional<Bytes> a = link_.receive(end - link_.now_us());
        if (!a)
            return std::nullopt;
        if (a->size() >= 16 && (*a)[4] == 0x06 && ((*a)[5] & 0x3F) == answer_type)
            return Bytes(a->begin() + 16, a->end());
        ++discarded_;
    }
    return std::nullopt;
}

Handshake Client::open(const Login& login, bool rakp3_anyway)
{
    Handshake h;
    Suite suite = suite_of(login.suite);
    Bytes request{0x00, login.open_privilege, 0, 0};
    le32(request, console_id_);
    request.insert(request.end(), {0x00, 0, 0, 8, suite.auth, 0, 0, 0});
    request.insert(request.end(), {0x01, 0, 0, 8, suite.integrity, 0, 0, 0});
    request.insert(request.end(), {0x02, 0, 0, 8, suite.confidentiality, 0, 0, 0});
    std::optional<Bytes> opened = presession(0x10, request, 0x11);
    if (!opened || opened->size() < 2)
        return h;
    h.open_status = (*opened)[1];
    if (*h.open_status != 0 || opened->size() < 36)
        return h;
    bmc_id_ = le32_at(*opened, 8);
    auth_ = (*opened)[16];
    integrity_ = (*opened)[24];
    confidentiality_ = (*opened)[32];

    Bytes rm(16);
    for (uint8_t& b : rm)
        b = static_cast<uint8_t>(random_());
    uint8_t role = static_cast<uint8_t>(login.role | 0x10);  // name-only lookup
    Bytes rakp1{0x00, 0, 0, 0};
    le32(rakp1, bmc_id_);
    rakp1.insert(rakp1.end(), rm.begin(), rm.end());
    rakp1.insert(rakp1.end(), {role, 0, 0, static_cast<uint8_t>(login.user.size())});
    rakp1.insert(rakp1.end(), login.user.begin(), login.user.end());
    std::optional<Bytes> rakp2 = presession(0x12, rakp1, 0x13);
    if (!rakp2 || rakp2->size() < 2)
        return h;
    h.rakp2_status = (*rakp2)[1];
    if (*h.rakp2_status != 0 || rakp2->size() < 40)
        return h;
    Bytes rc(rakp2->begin() + 8, rakp2->begin() + 24), guid(rakp2->begin() + 24, rakp2->begin() + 40);
    Bytes kuid = text(login.password);
    Bytes tail{role, static_cast<uint8_t>(login.user.size())};
    tail.insert(tail.end(), login.user.begin(), login.user.end());
    if (auth_ != 0) {
        Bytes input;
        le32(input, console_id_);
        le32(input, bmc_id_);
        input.insert(input.end(), rm.begin(), rm.end());
        input.insert(input.end(), rc.begin(), rc.end());
        input.insert(input.end(), guid.begin(), guid.end());
        input.insert(input.end(), tail.begin(), tail.end());
        h.rakp2_code_ok = Bytes(rakp2->begin() + 40, rakp2->end()) == hmac(auth_, kuid, input);
    } else {
        h.rakp2_code_ok = rakp2->size() == 40;
    }
    if (!h.rakp2_code_ok && !rakp3_anyway)
        return h;

    Bytes rakp3{0x00, 0, 0, 0};
    le32(rakp3, bmc_id_);
    Bytes sik;
    if (auth_ != 0) {
        Bytes input(rc);
        le32(input, console_id_);
        input.insert(input.end(), tail.begin(), tail.end());
        Bytes code = hmac(auth_, kuid, input);
        rakp3.insert(rakp3.end(), code.begin(), code.end());
        Bytes sik_input(rm);
        sik_input.insert(sik_input.end(), rc.begin(), rc.end());
        sik_input.insert(sik_input.end(), tail.begin(), tail.end());
        sik = hmac(auth_, login.kg.empty() ? kuid : text(login.kg), sik_input);
        k1_ = hmac(auth_, sik, Bytes(20, 0x01));
        k2_ = hmac(auth_, sik, Bytes(20, 0x02));
    }
    std::optional<Bytes> rakp4 = presession(0x14, rakp3, 0x15);
    if (!rakp4 || rakp4->size() < 2)
        return h;
    h.rakp4_status = (*rakp4)[1];
    if (*h.rakp4_status != 0)
        return h;
    if (auth_ != 0) {
        Bytes input(rm);
        le32(input, bmc_id_);
        input.insert(input.end(), guid.begin(), guid.end());
        Bytes icv = hmac(auth_, sik, input);
        icv.resize(auth_ == 1 ? 12 : 16);
        h.rakp4_code_ok = Bytes(rakp4->begin() + 8, rakp4->end()) == icv;
    } else {
        h.rakp4_code_ok = rakp4->size() == 8;
    }
    return h;
}

Bytes Client::session_packet(const Bytes& core_request, uint32_t sequence, uint8_t rq_seq)
{
    Bytes payload = ipmi_message(core_request, rq_seq);
    uint8_t type = static_cast<uint8_t>((confidentiality_ ? 0x80 : 0) | (integrity_ ? 0x40 : 0));
    if (confidentiality_) {
        size_t pad = (16 - (payload.size() + 1) % 16) % 16;
        for (size_t i = 1; i <= pad; ++i)
            payload.push_back(static_cast<uint8_t>(i));
        payload.push_back(static_cast<uint8_t>(pad));
        uint8_t iv[AES_BLOCK_SIZE], chain[AES_BLOCK_SIZE];
        for (uint8_t& b : iv)
            b = static_cast<uint8_t>(random_());
        std::memcpy(chain, iv, sizeof iv);
        aes128_ctx ctx;
        aes128_set_encrypt_key(&ctx, k2_.data());
        Bytes cipher(payload.size());
        cbc_encrypt(&ctx, aes_encrypt, AES_BLOCK_SIZE, chain, payload.size(), cipher.data(), payload.data());
        payload.assign(iv, iv + AES_BLOCK_SIZE);
        payload.insert(payload.end(), cipher.begin(), cipher.end());
    }
    Bytes d{0x06, 0x00, 0xFF, 0x07, 0x06, type};
    le32(d, bmc_id_);
    le32(d, sequence);
    d.push_back(static_cast<uint8_t>(payload.size()));
    d.push_back(static_cast<uint8_t>(payload.size() >> 8));
    d.insert(d.end(), payload.begin(), payload.end());
    if (integrity_) {
        size_t pad = (4 - (d.size() - 4 + 2) % 4) % 4;
        d.insert(d.end(), pad, 0xFF);
        d.push_back(static_cast<uint8_t>(pad));
        d.push_back(0x07);
        Bytes mac = hmac(integrity_ == 1 ? 1 : 3, k1_, Bytes(d.begin() + 4, d.end()));
        mac.resize(integrity_ == 1 ? 12 : 16);
        d.insert(d.end(), mac.begin(), mac.end());
    }
    return d;
}

Bytes Client::packet(const Bytes& core_request, uint32_t sequence)
{
    rq_seq_ = static_cast<uint8_t>((rq_seq_ + 1) & 0x3F);
    out_sequence_ = std::max(out_sequence_, sequence);
    return session_packet(core_request, sequence, rq_seq_);
}

std::optional<Bytes> Client::unwrap(const Bytes& d)
{
    if (d.size() < 16 || d[3] != 0x07 || d[4] != 0x06 || le32_at(d, 6) != console_id_)
        return std::nullopt;
    size_t length = d[14] | d[15] << 8;
    if (d.size() < 16 + length)
        return std::nullopt;
    if (integrity_) {
        size_t code = integrity_ == 1 ? 12 : 16;
        if (d.size() < code + 4)
            return std::nullopt;
        Bytes mac = hmac(integrity_ == 1 ? 1 : 3, k1_, Bytes(d.begin() + 4, d.end() - static_cast<long>(code)));
        mac.resize(code);
        if (!std::equal(mac.begin(), mac.end(), d.end() - static_cast<long>(code)))
            return std::nullopt;
    }
    uint32_t sequence = le32_at(d, 10);
    bool repeat = seen_.count(sequence) != 0;
    bool far = highest_in_ != 0 && (sequence - highest_in_ > 16 && highest_in_ - sequence > 16);
    if (sequence == 0 || repeat || far)
        return std::nullopt;
    seen_.insert(sequence);
    if (sequence - highest_in_ <= 16)
        highest_in_ = sequence;
    Bytes payload(d.begin() + 16, d.begin() + 16 + static_cast<long>(length));
    if (confidentiality_) {
        if (payload.size() < 32 || payload.size() % 16)
            return std::nullopt;
        uint8_t chain[AES_BLOCK_SIZE];
        std::memcpy(chain, payload.data(), AES_BLOCK_SIZE);
        aes128_ctx ctx;
        aes128_set_decrypt_key(&ctx, k2_.data());
        Bytes plain(payload.size() - 16);
        cbc_decrypt(&ctx, aes_decrypt, AES_BLOCK_SIZE, chain, plain.size(), plain.data(), payload.data() + 16);
        size_t pad = plain.back();
        if (pad + 1 > plain.size())
            return std::nullopt;
        plain.resize(plain.size() - pad - 1);
        payload = plain;
    }
    return payload;
}

std::optional<Bytes> Client::await(uint8_t cmd)
{
    uint64_t end = link_.now_us() + timeout_us_;
    while (link_.now_us() < end) {
        std::optional<Bytes> d = link_.receive(end - link_.now_us());
        if (!d)
            return std::nullopt;
        std::optional<Bytes> message = unwrap(*d);
        uint8_t seq = 0;
        std::optional<Bytes> core = message ? core_answer(*message, &seq) : std::nullopt;
        if (core && seq == rq_seq_ && (*core)[1] == cmd)
            return core;
        ++discarded_;
    }
    return std::nullopt;
}

std::optional<Bytes> Client::call(const Bytes& core_request)
{
    uint32_t sequence = out_sequence_ + 1;
    if (sequence == 0)
        sequence = 1;
    link_.send(packet(core_request, sequence));
    return await(core_request[1]);
}

bool Client::close()
{
    Bytes request{0x18, 0x3C};
    le32(request, bmc_id_);
    std::optional<Bytes> answer = call(request);
    return answer && answer->size() >= 3 && (*answer)[2] == 0x00;
}

}  // namespace qbtest::lan
