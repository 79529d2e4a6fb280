// RSA of the software layer against OpenSSL: encryption decrypts with
// OpenSSL's private key, OpenSSL-made PKCS#1 v1.5 signatures verify.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

using oracle::Pkey;

void PutBn(EVP_PKEY *pkey, const char *name, unsigned char *field, uint32_t *len)
{
    BIGNUM *bn = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pkey, name, &bn));
    *len = static_cast<uint32_t>(BN_bn2bin(bn, field));
    BN_free(bn);
}

_QV_RSA_KEY_PAIR PublicRecord(EVP_PKEY *pkey)
{
    _QV_RSA_KEY_PAIR key = {};
    PutBn(pkey, OSSL_PKEY_PARAM_RSA_N, key.N, &key.NLen);
    PutBn(pkey, OSSL_PKEY_PARAM_RSA_E, key.E, &key.ELen);
    return key;
}

/* An OpenSSL private key from the record's N, E and D. */
Pkey PrivateKeyOf(const _QV_RSA_KEY_PAIR &key)
{
    BIGNUM *n = BN_bin2bn(key.N, static_cast<int>(key.NLen), nullptr);
    BIGNUM *e = BN_bin2bn(key.E, static_cast<int>(key.ELen), nullptr);
    BIGNUM *d = BN_bin2bn(key.D, static_cast<int>(key.DLen), nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d);
    Pkey pkey = oracle::KeyFromParams("RSA", bld);
    BN_free(n);
    BN_free(e);
    BN_clear_free(d);
    return pkey;
}

Bytes OpenSslDecrypt(EVP_PKEY *pkey, const unsigned char *in, size_t inLen, int padding)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes out(EVP_PKEY_get_size(pkey));
    size_t outLen = out.size();
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
              EVP_PKEY_decrypt(ctx, out.data(), &outLen, in, inLen) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        return {};
    out.resize(outLen);
    return out;
}

Bytes OpenSslSign(EVP_PKEY *pkey, const EVP_MD *md, const Bytes &digest)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes sig(EVP_PKEY_get_size(pkey));
    size_t sigLen = sig.size();
    bool ok = EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
              EVP_PKEY_sign(ctx, sig.data(), &sigLen, digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        return {};
    sig.resize(sigLen);
    return sig;
}

class RsaWithOpenSslKey : public ::testing::TestWithParam<unsigned int> {
protected:
    void SetUp() override
    {
        m_pkey.reset(EVP_RSA_gen(GetParam()));
        ASSERT_TRUE(m_pkey);
        m_key = PublicRecord(m_pkey.get());
        m_k = m_key.NLen;
    }
    Pkey m_pkey;
    _QV_RSA_KEY_PAIR m_key = {};
    unsigned int m_k = 0;
};

TEST_P(RsaWithOpenSslKey, Pkcs1EncryptionDecryptsWithOpenSsl)
{
    for (unsigned int len : {1u, 20u, 36u, m_k - 11}) {
        Bytes plain = oracle::Pattern(len, len), out(m_k);
        unsigned int outLen = 0;
        ASSERT_EQ(0u, RSA_Encrypt(&m_key, plain.data(), len, out.data(), &outLen, RSA_PKCS1_PADDING));
        ASSERT_EQ(m_k, outLen);
        EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(OpenSslDecrypt(m_pkey.get(), out.data(), outLen,
                                                                       RSA_PKCS1_PADDING)));
    }
    Bytes tooLong(m_k - 10), out(m_k);
    unsigned int outLen = 99;
    EXPECT_EQ(NTE_BAD_LEN, RSA_Encrypt(&m_key, tooLong.data(), m_k - 10, out.data(), &outLen, RSA_PKCS1_PADDING));
    EXPECT_EQ(0u, outLen);
}

TEST_P(RsaWithOpenSslKey, RawEncryptionDecryptsWithOpenSslAndMatchesItsPublicOperation)
{
    Bytes plain = oracle::Pattern(m_k, 3);
    plain[0] = 0x01;  // below the modulus
    Bytes out(m_k), out2(m_k);
    unsigned int outLen = 0, outLen2 = 0;
    ASSERT_EQ(0u, RSA_Encrypt(&m_key, plain.data(), m_k, out.data(), &outLen, RSA_NO_PADDING));
    ASSERT_EQ(0u, RSA_PublicEncrypt(plain.data(), m_k, out2.data(), &outLen2, &m_key));
    ASSERT_EQ(m_k, outLen);
    EXPECT_EQ(oracle::ToHex(out), oracle::ToHex(out2));
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(OpenSslDecrypt(m_pkey.get(), out.data(), m_k, RSA_NO_PADDING)));

    // OpenSSL's own public operation gives the same bytes.
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_pkey.get(), nullptr);
    Bytes ref(m_k);
    size_t refLen = ref.size();
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(ctx));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING));
    ASSERT_EQ(1, EVP_PKEY_encrypt(ctx, ref.data(), &refLen, plain.data(), plain.size()));
    EVP_PKEY_CTX_free(ctx);
    EXPECT_EQ(oracle::ToHex(ref), oracle::ToHex(out));

    EXPECT_EQ(NTE_BAD_LEN, RSA_PublicEncrypt(plain.data(), m_k - 1, out.data(), &outLen, &m_key));
}

struct SigHash {
    unsigned int id;
    const char *name;  // OpenSSL digest name
};

TEST_P(RsaWithOpenSslKey, VerifiesOpenSslSignaturesForEveryHashId)
{
    const SigHash hashes[] = {{SC_HASH_MD5, "MD5"}, {SC_HASH_SHA1, "SHA1"}, {SC_HASH_SHA256, "SHA256"},
                              {SC_HASH_SHA512, "SHA512"}, {SC_HASH_SHA1_MD5, "MD5-SHA1"}};
    Bytes data = oracle::Pattern(300, 11), other = oracle::Pattern(300, 12);
    for (const SigHash &h : hashes) {
        SCOPED_TRACE(h.name);
        EVP_MD *md = EVP_MD_fetch(nullptr, h.name, nullptr);
        ASSERT_NE(nullptr, md);
        Bytes digest = oracle::Digest(h.name, data);
        Bytes sig = OpenSslSign(m_pkey.get(), md, digest);
        EVP_MD_free(md);
        ASSERT_EQ(m_k, sig.size());
        unsigned int n = static_cast<unsigned int>(sig.size());

        EXPECT_EQ(0u, RSA_Verify(&m_key, h.id, digest.data(), sig.data(), n));
        if (h.id != SC_HASH_SHA1_MD5) {
            EXPECT_EQ(0u, RSA_Verify(&m_key, h.id, data.data(), 300u, sig.data(), n));
            EXPECT_EQ(NTE_BAD_SIGNATURE, RSA_Verify(&m_key, h.id, other.data(), 300u, sig.data(), n));
        } else {
            // MD5 || SHA-1 is not a digest of Hash_Digest.
            EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, RSA_Verify(&m_key, h.id, data.data(), 300u, sig.data(), n));
        }
        Bytes flipped = sig;
        flipped[n / 2] ^= 0x10;
        EXPECT_EQ(NTE_BAD_SIGNATURE, RSA_Verify(&m_key, h.id, digest.data(), flipped.data(), n));
        EXPECT_EQ(NTE_BAD_SIGNATURE, RSA_Verify(&m_key, h.id, digest.data(), sig.data(), n - 1));
        Bytes otherDigest = oracle::Digest(h.name, other);
        EXPECT_EQ(NTE_BAD_SIGNATURE, RSA_Verify(&m_key, h.id, otherDigest.data(), sig.data(), n));
    }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaWithOpenSslKey, ::testing::Values(1024u, 2048u));

TEST(Rsa, VerifyRefusesUnknownHashAndAnotherKeysSignature)
{
    Pkey a(EVP_RSA_gen(1024)), b(EVP_RSA_gen(1024));
    _QV_RSA_KEY_PAIR keyA = PublicRecord(a.get());
    Bytes digest = oracle::Digest("SHA256", oracle::Pattern(10));
    Bytes sigB = OpenSslSign(b.get(), EVP_sha256(), digest);
    EXPECT_EQ(NTE_BAD_SIGNATURE, RSA_Verify(&keyA, SC_HASH_SHA256, digest.data(), sigB.data(), 128u));
    EXPECT_EQ(NTE_BAD_ALGID, RSA_Verify(&keyA, 15u, digest.data(), sigB.data(), 128u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Verify(nullptr, SC_HASH_SHA256, digest.data(), sigB.data(), 128u));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Verify(&keyA, SC_HASH_SHA256, nullptr, sigB.data(), 128u));
}

/* The record's lengths index 256-byte fields: 1 to 256 only. */
class RsaBadKeyLength : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(RsaBadKeyLength, IsABadPublicKey)
{
    Pkey pkey(EVP_RSA_gen(1024));
    _QV_RSA_KEY_PAIR key = PublicRecord(pkey.get());
    key.NLen = GetParam().first;
    key.ELen = GetParam().second;
    Bytes in(128, 1), out(512);
    unsigned int outLen = 0;
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY, RSA_Encrypt(&key, in.data(), 20, out.data(), &outLen, RSA_PKCS1_PADDING));
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY, RSA_PublicEncrypt(in.data(), 128, out.data(), &outLen, &key));
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY, RSA_Verify(&key, SC_HASH_SHA1, in.data(), out.data(), 128u));
}

INSTANTIATE_TEST_SUITE_P(Lengths, RsaBadKeyLength,
                         ::testing::Values(std::make_pair(0u, 3u), std::make_pair(257u, 3u),
                                           std::make_pair(0xFFFFFFFFu, 3u), std::make_pair(128u, 0u),
                                           std::make_pair(128u, 257u), std::make_pair(128u, 0x80000000u)));

TEST(Rsa, EncryptRefusesMissingArgumentsAndNegativePadding)
{
    Pkey pkey(EVP_RSA_gen(1024));
    _QV_RSA_KEY_PAIR key = PublicRecord(pkey.get());
    Bytes in(20, 1), out(128);
    unsigned int outLen = 7;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Encrypt(nullptr, in.data(), 20, out.data(), &outLen, 1));
    EXPECT_EQ(0u, outLen);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Encrypt(&key, nullptr, 20, out.data(), &outLen, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Encrypt(&key, in.data(), 20, nullptr, &outLen, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Encrypt(&key, in.data(), 20, out.data(), nullptr, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_Encrypt(&key, in.data(), 20, out.data(), &outLen, -1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_PublicEncrypt(in.data(), 20, out.data(), &outLen, nullptr));
}

TEST(Rsa, GeneratedKeyWorksWithOpenSsl)
{
    _QV_RSA_KEY_PAIR key = {};
    ASSERT_EQ(0u, RSA_GenKey(1024, &key));
    EXPECT_EQ(128u, key.NLen);
    EXPECT_EQ(3u, key.ELen);
    EXPECT_EQ("010001", oracle::ToHex(key.E, 3));
    EXPECT_LE(key.DLen, 128u);
    EXPECT_NE(0, key.D[0]);  // no leading zero bytes

    Pkey priv = PrivateKeyOf(key);
    ASSERT_TRUE(priv);
    Bytes digest = oracle::Digest("SHA256", oracle::Pattern(77));
    Bytes sig = OpenSslSign(priv.get(), EVP_sha256(), digest);
    ASSERT_EQ(128u, sig.size());
    EXPECT_EQ(0u, RSA_Verify(&key, SC_HASH_SHA256, digest.data(), sig.data(), 128u));
    Bytes plain = oracle::Pattern(40), out(128);
    unsigned int outLen = 0;
    ASSERT_EQ(0u, RSA_Encrypt(&key, plain.data(), 40, out.data(), &outLen, RSA_PKCS1_PADDING));
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(OpenSslDecrypt(priv.get(), out.data(), outLen, RSA_PKCS1_PADDING)));
}

TEST(Rsa, GenKeyAcceptsUpTo2048BitsOnly)
{
    _QV_RSA_KEY_PAIR key = {};
    ASSERT_EQ(0u, RSA_GenKey(2048, &key));
    EXPECT_EQ(256u, key.NLen);
    _QV_RSA_KEY_PAIR untouched = {};
    for (long bits : {2049L, 4096L, 1L << 20, -1L}) {
        EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_GenKey(bits, &untouched)) << bits;
    }
    EXPECT_EQ(0u, untouched.NLen);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RSA_GenKey(1024, nullptr));
}

}  // namespace
