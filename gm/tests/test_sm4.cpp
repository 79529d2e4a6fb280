// SM4: the GM/T 0002 examples, the CBC block step, and OpenSSL 3.0's SM4
// as the oracle for ECB and CBC on random keys and lengths.
#include "gm/sm4.h"
#include "gm/tests/gm_test_util.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

using namespace gmtest;

namespace {

const char kKey[] = "0123456789abcdeffedcba9876543210";

Bytes OpenSslSm4(const EVP_CIPHER *cipher, const Bytes &key, const Bytes &iv, const Bytes &in,
                 int enc)
{
    Bytes out(in.size() + 16);
    int len = 0, fin = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(1, EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc));
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(1, EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_CipherFinal_ex(ctx, out.data() + len, &fin));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(len + fin);
    return out;
}

TEST(Sm4Standard, FirstExampleEncryptsAsOneCbcBlockWithZeroChaining)
{
    Bytes key = FromHex(kKey), iv(16, 0), out(16);
    uint32_t rk[32];
    ASSERT_EQ(1, gm_sm4_set_key(key.data(), rk, 1));
    ASSERT_EQ(1, SM4_cbc_encrypt(key.data(), rk, iv.data(), out.data(), 1));
    EXPECT_EQ("681edf34d206965e86b3e94f536e4246", ToHex(out));
    EXPECT_EQ(ToHex(out), ToHex(iv));  // the chaining value is the cipher text

    _SM4_InvertRoundKey(rk);
    Bytes back(16), zero(16, 0);
    ASSERT_EQ(1, SM4_cbc_encrypt(out.data(), rk, zero.data(), back.data(), 0));
    EXPECT_EQ(kKey, ToHex(back));
}

TEST(Sm4Standard, SecondExampleEncryptsAMillionTimes)
{
    Bytes key = FromHex(kKey), block = key;
    uint32_t rk[32];
    gm_sm4_set_key(key.data(), rk, 1);
    for (int i = 0; i < 1000000; i++)
        gm_sm4_ecb_blocks(rk, block.data(), block.data(), 1);
    EXPECT_EQ("595298c7c6fd271f0402f804c33d3f66", ToHex(block));
}

TEST(Sm4Transforms, TablesEqualTheDefinitionOfT)
{
    for (int i = 0; i < 2000; i++) {
        Bytes r = Random(4);
        uint32_t x = uint32_t(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3];
        uint32_t tau, l, t, tdash, ldash;
        _SM4_NLTransform(x, &tau);
        _SM4_LTransform(tau, &l);
        _SM4_TTransform(x, &t);
        _SM4_LDashTransform(tau, &ldash);
        _SM4_TDashTransform(x, &tdash);
        ASSERT_EQ(l, t);
        ASSERT_EQ(ldash, tdash);
    }
}

TEST(Sm4Cbc, TwoOneBlockCallsEqualOneTwoBlockEncryptionInPlace)
{
    Bytes key = Random(16), iv = Random(16), data = Random(32);
    Bytes want = OpenSslSm4(EVP_sm4_cbc(), key, iv, data, 1);
    uint32_t rk[32];
    gm_sm4_set_key(key.data(), rk, 1);
    Bytes chain = iv, buf = data;
    SM4_cbc_encrypt(buf.data(), rk, chain.data(), buf.data(), 1);
    SM4_cbc_encrypt(buf.data() + 16, rk, chain.data(), buf.data() + 16, 1);
    EXPECT_EQ(ToHex(want), ToHex(buf));

    gm_sm4_set_key(key.data(), rk, 0);
    chain = iv;
    SM4_cbc_encrypt(buf.data(), rk, chain.data(), buf.data(), 0);
    SM4_cbc_encrypt(buf.data() + 16, rk, chain.data(), buf.data() + 16, 0);
    EXPECT_EQ(ToHex(data), ToHex(buf));
    EXPECT_EQ(ToHex(want).substr(32), ToHex(chain));
}

// Whole-block helpers against OpenSSL, for block counts that exercise the
// two-block interleave and its single-block tail, in place and apart.
struct ModeCase {
    const char *name;
    bool cbc;
    int enc;
};

class Sm4OracleTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Sm4OracleTest, EqualsOpenSslOnRandomKeysAndLengths)
{
    const ModeCase &m = GetParam();
    for (size_t nblocks : {1, 2, 3, 4, 5, 16, 17, 64, 513}) {
        for (bool in_place : {false, true}) {
            Bytes key = Random(16), iv = Random(16), in = Random(nblocks * 16);
            Bytes want = OpenSslSm4(m.cbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), key,
                                    m.cbc ? iv : Bytes(), in, m.enc);
            uint32_t rk[32];
            ASSERT_EQ(1, gm_sm4_set_key(key.data(), rk, m.enc));
            Bytes out = in_place ? in : Bytes(in.size()), chain = iv;
            const unsigned char *src = in_place ? out.data() : in.data();
            if (m.cbc)
                gm_sm4_cbc_blocks(rk, chain.data(), src, out.data(), nblocks, m.enc);
            else
                gm_sm4_ecb_blocks(rk, src, out.data(), nblocks);
            ASSERT_EQ(ToHex(want), ToHex(out)) << nblocks << " blocks, in place " << in_place;
            if (m.cbc) {
                const Bytes &last = m.enc ? want : in;
                EXPECT_EQ(ToHex(last).substr(last.size() * 2 - 32), ToHex(chain));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Sm4OracleTest,
                         ::testing::Values(ModeCase{"EcbEncrypt", false, 1},
                                           ModeCase{"EcbDecrypt", false, 0},
                                           ModeCase{"CbcEncrypt", true, 1},
                                           ModeCase{"CbcDecrypt", true, 0}),
                         [](const ::testing::TestParamInfo<ModeCase> &i) { return std::string(i.param.name); });

}  // namespace
