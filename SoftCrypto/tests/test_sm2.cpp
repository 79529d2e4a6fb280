// SM2 of the software layer against OpenSSL's own SM2: keys lie on the
// curve, Z values and signatures agree, cipher texts decrypt with OpenSSL.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

using oracle::Pkey;

/* OpenSSL's SM2 key for the record's D (the public point computed by OpenSSL). */
Pkey OpenSslKey(const _QV_SM2_KEY_PAIR &key, Bytes *pub = nullptr)
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *d = BN_bin2bn(key.D, 32, nullptr);
    EC_POINT *q = EC_POINT_new(group);
    EC_POINT_mul(group, q, d, nullptr, nullptr, nullptr);
    unsigned char point[65];
    EC_POINT_point2oct(group, q, POINT_CONVERSION_UNCOMPRESSED, point, sizeof point, nullptr);
    if (pub != nullptr)
        pub->assign(point + 1, point + 65);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
    Pkey pkey = oracle::KeyFromParams("SM2", bld);
    EC_POINT_free(q);
    BN_clear_free(d);
    EC_GROUP_free(group);
    return pkey;
}

/* r || s of a DER signature. */
Bytes RawSignature(const Bytes &der)
{
    const unsigned char *p = der.data();
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes rs(64);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + 32, 32);
    ECDSA_SIG_free(sig);
    return rs;
}

class Sm2 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, SM2_GenKey(&m_key));
        m_pkey = OpenSslKey(m_key, &m_pub);
        ASSERT_TRUE(m_pkey);
    }
    _QV_SM2_KEY_PAIR m_key = {};
    Pkey m_pkey;
    Bytes m_pub;
};

TEST_F(Sm2, GeneratedPublicKeyIsDTimesG)
{
    EXPECT_EQ(oracle::ToHex(m_pub), oracle::ToHex(m_key.X, 32) + oracle::ToHex(m_key.Y, 32));
}

TEST_F(Sm2, ZValueIsSm3OverTheDefaultIdentityCurveAndKey)
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *a = BN_new(), *b = BN_new();
    EC_GROUP_get_curve(group, nullptr, a, b, nullptr);
    Bytes input = {0x00, 0x80};
    const char *id = "1234567812345678";
    input.insert(input.end(), id, id + 16);
    unsigned char buf[65];
    BN_bn2binpad(a, buf, 32);
    input.insert(input.end(), buf, buf + 32);
    BN_bn2binpad(b, buf, 32);
    input.insert(input.end(), buf, buf + 32);
    EC_POINT_point2oct(group, EC_GROUP_get0_generator(group), POINT_CONVERSION_UNCOMPRESSED, buf, 65, nullptr);
    input.insert(input.end(), buf + 1, buf + 65);
    input.insert(input.end(), m_pub.begin(), m_pub.end());
    BN_free(a);
    BN_free(b);
    EC_GROUP_free(group);

    unsigned char z[32] = {};
    ASSERT_EQ(0u, SM2_GetZVal(&m_key, z));
    EXPECT_EQ(oracle::ToHex(oracle::Digest("SM3", input)), oracle::ToHex(z, 32));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_GetZVal(nullptr, z));
}

TEST_F(Sm2, VerifiesOpenSslSignatureOfAHash)
{
    Bytes e = oracle::Pattern(32, 4);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_pkey.get(), nullptr);
    Bytes der(80);
    size_t derLen = der.size();
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx));
    ASSERT_EQ(1, EVP_PKEY_sign(ctx, der.data(), &derLen, e.data(), e.size()));
    EVP_PKEY_CTX_free(ctx);
    der.resize(derLen);
    Bytes rs = RawSignature(der);

    EXPECT_EQ(0u, SM2_Verify(&m_key, e.data(), rs.data(), 64u));
    Bytes flipped = rs;
    flipped[40] ^= 1;
    EXPECT_EQ(NTE_BAD_SIGNATURE, SM2_Verify(&m_key, e.data(), flipped.data(), 64u));
    Bytes otherE = oracle::Pattern(32, 5);
    EXPECT_EQ(NTE_BAD_SIGNATURE, SM2_Verify(&m_key, otherE.data(), rs.data(), 64u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Verify(&m_key, e.data(), rs.data(), 63u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Verify(&m_key, e.data(), rs.data(), 65u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Verify(nullptr, e.data(), rs.data(), 64u));
}

TEST_F(Sm2, VerifiesOpenSslSignatureOfDataWithTheDefaultIdentity)
{
    Bytes data = oracle::Pattern(1000, 6);
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(m_pkey.get(), nullptr);
    ASSERT_EQ(1, EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16));
    EVP_MD_CTX_set_pkey_ctx(mctx, pctx);
    Bytes der(80);
    size_t derLen = der.size();
    ASSERT_EQ(1, EVP_DigestSignInit(mctx, nullptr, EVP_sm3(), nullptr, m_pkey.get()));
    ASSERT_EQ(1, EVP_DigestSign(mctx, der.data(), &derLen, data.data(), data.size()));
    EVP_MD_CTX_free(mctx);
    EVP_PKEY_CTX_free(pctx);
    der.resize(derLen);
    Bytes rs = RawSignature(der);

    EXPECT_EQ(0u, SM2_Verify(&m_key, data.data(), 1000u, rs.data(), 64u));
    EXPECT_EQ(NTE_BAD_SIGNATURE, SM2_Verify(&m_key, data.data(), 999u, rs.data(), 64u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Verify(&m_key, data.data(), 1000u, rs.data(), 63u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Verify(nullptr, data.data(), 1000u, rs.data(), 64u));
}

/* C1 || C2 || C3 as the DER record OpenSSL decrypts. */
Bytes ToDer(const unsigned char *c, size_t mlen)
{
    auto integer = [](const unsigned char *v) {
        Bytes out = {0x02};
        size_t skip = 0;
        while (skip < 31 && v[skip] == 0 && !(v[skip + 1] & 0x80))
            ++skip;
        Bytes body(v + skip, v + 32);
        if (body[0] & 0x80)
            body.insert(body.begin(), 0);
        out.push_back(static_cast<unsigned char>(body.size()));
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    auto lengthOf = [](size_t n) {
        Bytes l;
        if (n < 128)
            l.push_back(static_cast<unsigned char>(n));
        else if (n < 256)
            l = {0x81, static_cast<unsigned char>(n)};
        else
            l = {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
        return l;
    };
    Bytes body = integer(c + 1);
    Bytes y = integer(c + 33);
    body.insert(body.end(), y.begin(), y.end());
    body.push_back(0x04);
    body.push_back(32);
    body.insert(body.end(), c + 65 + mlen, c + 97 + mlen);
    body.push_back(0x04);
    Bytes l = lengthOf(mlen);
    body.insert(body.end(), l.begin(), l.end());
    body.insert(body.end(), c + 65, c + 65 + mlen);
    Bytes out = {0x30};
    l = lengthOf(body.size());
    out.insert(out.end(), l.begin(), l.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST_F(Sm2, CipherTextDecryptsWithOpenSsl)
{
    for (unsigned int len : {1u, 16u, 32u, 200u}) {
        Bytes plain = oracle::Pattern(len, len), out(len + 97);
        unsigned int outLen = 0;
        ASSERT_EQ(0u, SM2_Encrypt(&m_key, plain.data(), len, out.data(), &outLen));
        ASSERT_EQ(len + 97, outLen);
        EXPECT_EQ(0x04, out[0]);
        Bytes der = ToDer(out.data(), len);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_pkey.get(), nullptr);
        Bytes back(len + 16);
        size_t backLen = back.size();
        ASSERT_EQ(1, EVP_PKEY_decrypt_init(ctx));
        ASSERT_EQ(1, EVP_PKEY_decrypt(ctx, back.data(), &backLen, der.data(), der.size()));
        EVP_PKEY_CTX_free(ctx);
        back.resize(backLen);
        EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back));
    }
}

TEST_F(Sm2, EncryptReportsTheLengthEvenOnFailure)
{
    Bytes plain(32, 7), out(129 + 16);
    unsigned int outLen = 0;
    ASSERT_EQ(0u, SM2_Encrypt(&m_key, plain.data(), 32, out.data(), &outLen));
    EXPECT_EQ(129u, outLen);
    EXPECT_EQ(CRYPTO_ERR_ENCRYPT, SM2_Encrypt(&m_key, plain.data(), 0, out.data(), &outLen));
    EXPECT_EQ(97u, outLen);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Encrypt(nullptr, plain.data(), 32, out.data(), &outLen));
    EXPECT_EQ(129u, outLen);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Encrypt(&m_key, plain.data(), 32, out.data(), nullptr));
    // A length whose cipher-text length does not fit 32 bits.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_Encrypt(&m_key, plain.data(), 0xFFFFFFF0u, out.data(), &outLen));
    EXPECT_EQ(0u, outLen);
}

TEST(Sm2Key, GenKeyRefusesAMissingRecord) { EXPECT_EQ(ERROR_INVALID_PARAMETER, SM2_GenKey(nullptr)); }

}  // namespace
