// SPDX-License-Identifier: MIT
// The LAN BMC's cryptography against the published test vectors of its
// algorithms, so that a session the console and the BMC agree on is also
// the one the standard describes.
#include <gtest/gtest.h>

#include <string>

#include "sim/bmc/lan/rmcp.h"
#include "sim/bmc/lan/rmcp_crypto.h"

namespace {

using sim::lan::Bytes;

Bytes hex(const std::string& text)
{
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes ascii(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(LanCrypto, HmacMatchesThePublishedVectors)
{
    struct Case {
        sim::lan::Hash hash;
        Bytes key, data;
        std::string digest;
    };
    const Case cases[] = {
        // RFC 2202 test cases 1 and 2; RFC 4231 test cases 1 and 2.
        {sim::lan::Hash::Sha1, Bytes(20, 0x0B), ascii("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {sim::lan::Hash::Sha1, ascii("Jefe"), ascii("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {sim::lan::Hash::Sha256, Bytes(20, 0x0B), ascii("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {sim::lan::Hash::Sha256, ascii("Jefe"), ascii("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest);
        EXPECT_EQ(sim::lan::hmac(c.hash, c.key, {c.data}), hex(c.digest));
        // Parts taken one after the other hash as their concatenation.
        std::span<const uint8_t> all(c.data);
        EXPECT_EQ(sim::lan::hmac(c.hash, c.key, {all.first(3), all.subspan(3)}), hex(c.digest));
    }
}

TEST(LanCrypto, AesCbcMatchesNistVectorsBothWays)
{
    // NIST SP 800-38A, F.2.1 and F.2.2: CBC-AES128, two blocks.
    Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c"), iv = hex("000102030405060708090a0b0c0d0e0f");
    Bytes plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    Bytes cipher = hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2");
    EXPECT_EQ(sim::lan::aes128_cbc_encrypt(key, iv, plain), cipher);
    EXPECT_EQ(sim::lan::aes128_cbc_decrypt(key, iv, cipher), plain);
    EXPECT_THROW(sim::lan::aes128_cbc_encrypt(key, iv, Bytes(15)), std::invalid_argument);
}

TEST(LanCrypto, SecretsCompareWholly)
{
    EXPECT_TRUE(sim::lan::equal_secret(ascii("abc"), ascii("abc")));
    EXPECT_FALSE(sim::lan::equal_secret(ascii("abc"), ascii("abd")));
    EXPECT_FALSE(sim::lan::equal_secret(ascii("abc"), ascii("ab")));
    EXPECT_TRUE(sim::lan::equal_secret(Bytes{}, Bytes{}));
}

// The IPMI message of a LAN packet: both checksums checked, and the answer
// goes back to the requester with its sequence number and LUNs.
TEST(LanCrypto, LanMessagesKeepTheirChecksumsAndAddresses)
{
    Bytes request{0x20, 0x18, 0xC8, 0x81, 0x0D, 0x52, 0x01, 0xC0, 0x01, 0x63, 0x00};
    request.back() = sim::lan::checksum(std::span<const uint8_t>(request).subspan(3, request.size() - 4));
    auto m = sim::lan::parse_lan_request(request);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rq_seq, 3);
    EXPECT_EQ(m->rq_lun, 1);
    EXPECT_EQ(m->core_request(), (Bytes{0x18, 0x52, 0x01, 0xC0, 0x01, 0x63}));
    Bytes response = sim::lan::build_lan_response(*m, Bytes{0x1C, 0x52, 0x00, 0x4D});
    EXPECT_EQ(response, (Bytes{0x81, 0x1D, 0x62, 0x20, 0x0C, 0x52, 0x00, 0x4D, 0x35}));
    for (size_t i : {size_t{2}, request.size() - 1}) {
        Bytes broken = request;
        broken[i] ^= 0x01;
        EXPECT_FALSE(sim::lan::parse_lan_request(broken)) << "checksum " << i;
    }
}
