// SM2 routes of the EC key operations, item signing with the default
// identity, and the engine slots; OpenSSL 3.0's SM2 is the oracle.
#include "gm/gm_pkey.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <memory>

#include "gm/gm_asn1.h"
#include "gm/gm_evp.h"
#include "gm/sm2.h"
#include "gm/sm2_group.h"
#include "gm/tests/gm_test_util.h"

using gmtest::Bytes;

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
struct CtxDeleter {
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxDeleter>;

Pkey WrapKey(EC_KEY *ec)
{
    EVP_PKEY *pkey = EVP_PKEY_new();
    EXPECT_EQ(EVP_PKEY_assign_EC_KEY(pkey, ec), 1);
    return Pkey(pkey);
}

EC_KEY *NewEcKey(int curve, ENGINE *engine = nullptr)
{
    EC_KEY *ec = EC_KEY_new_method(engine);
    EC_GROUP *group = gm_curve_group_new(curve);
    EXPECT_EQ(EC_KEY_set_group(ec, group), 1);
    EC_GROUP_free(group);
    EXPECT_EQ(EC_KEY_generate_key(ec), 1);
    return ec;
}

Pkey NewKey(int curve) { return WrapKey(NewEcKey(curve)); }

PkeyCtx Ctx(const Pkey &key) { return PkeyCtx(EVP_PKEY_CTX_new(key.get(), nullptr)); }

Bytes Sign(EVP_PKEY_CTX *ctx, const Bytes &digest)
{
    size_t len = 0;
    EXPECT_EQ(pkey_ec_sm2_sign(ctx, nullptr, &len, digest.data(), digest.size()), 1);
    Bytes sig(len);
    EXPECT_EQ(pkey_ec_sm2_sign(ctx, sig.data(), &len, digest.data(), digest.size()), 1);
    sig.resize(len);
    return sig;
}

int Verify(EVP_PKEY_CTX *ctx, const Bytes &sig, const Bytes &digest)
{
    return pkey_ec_sm2_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size());
}

// OpenSSL's SM2 on the digest itself (no Z): EVP_PKEY_sign/verify.
bool OpenSslVerify(EVP_PKEY *key, const Bytes &sig, const Bytes &digest)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    return EVP_PKEY_verify_init(ctx.get()) == 1
        && EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

Bytes OpenSslSign(EVP_PKEY *key, const Bytes &digest)
{
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    Bytes sig(80);
    size_t len = sig.size();
    bool ok = EVP_PKEY_sign_init(ctx.get()) == 1
        && EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) == 1;
    sig.resize(ok ? len : 0);
    return sig;
}

class SignRouteTest : public ::testing::TestWithParam<int> {};

TEST_P(SignRouteTest, SignsAndVerifiesOnTheKeysOwnCurve)
{
    Pkey key = NewKey(GetParam());
    PkeyCtx ctx = Ctx(key);
    for (int i = 0; i < 8; i++) {
        Bytes digest = gmtest::Random(32);
        Bytes sig = Sign(ctx.get(), digest);
        EXPECT_EQ(Verify(ctx.get(), sig, digest), 1);
        digest[5] ^= 1;
        EXPECT_EQ(Verify(ctx.get(), sig, digest), -1);
    }
    // The signature is one on the key's own curve.
    ECDSA_SIG *s = nullptr;
    Bytes digest = gmtest::Random(32);
    Bytes sig = Sign(ctx.get(), digest);
    const unsigned char *p = sig.data();
    ASSERT_NE(s = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())), nullptr);
    BIGNUM *x = BN_new(), *y = BN_new(), *e = BN_bin2bn(digest.data(), 32, nullptr);
    const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(key.get());
    EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x, y, nullptr);
    EXPECT_EQ(_SM2_verify(s, x, y, e, GetParam()), 1);
    ECDSA_SIG_free(s);
    BN_free(x);
    BN_free(y);
    BN_free(e);
    ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(Curves, SignRouteTest, ::testing::Values(GM_CURVE_SM2, GM_CURVE_SM2_TEST));

TEST(SignRoute, AgreesWithOpenSslBothWays)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    for (int i = 0; i < 8; i++) {
        Bytes digest = gmtest::Random(32);
        EXPECT_TRUE(OpenSslVerify(key.get(), Sign(ctx.get(), digest), digest));
        Bytes theirs = OpenSslSign(key.get(), digest);
        ASSERT_FALSE(theirs.empty());
        EXPECT_EQ(Verify(ctx.get(), theirs, digest), 1);
    }
}

TEST(SignRoute, PublicXWithLeadingZeroByteVerifies)
{
    for (int tries = 0; tries < 4096; tries++) {
        Pkey key = NewKey(GM_CURVE_SM2);
        const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(key.get());
        BIGNUM *x = BN_new();
        EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x,
                                        nullptr, nullptr);
        int bytes = BN_num_bytes(x);
        BN_free(x);
        if (bytes == 32)
            continue;
        PkeyCtx ctx = Ctx(key);
        Bytes digest = gmtest::Random(32);
        EXPECT_EQ(Verify(ctx.get(), Sign(ctx.get(), digest), digest), 1);
        EXPECT_TRUE(OpenSslVerify(key.get(), Sign(ctx.get(), digest), digest));
        return;
    }
    FAIL() << "no key with a short X found";
}

TEST(SignRoute, SizeQueryAndShortBuffer)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    Bytes digest = gmtest::Random(32);
    size_t len = 0;
    ASSERT_EQ(pkey_ec_sm2_sign(ctx.get(), nullptr, &len, digest.data(), 32), 1);
    EXPECT_EQ(len, static_cast<size_t>(ECDSA_size(EVP_PKEY_get0_EC_KEY(key.get()))));
    Bytes sig(len);
    len--;
    ERR_clear_error();
    EXPECT_EQ(pkey_ec_sm2_sign(ctx.get(), sig.data(), &len, digest.data(), 32), 0);
    EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), EC_R_BUFFER_TOO_SMALL);
}

// r and s outside [1, n-1] are refused.
TEST(SignRoute, OutOfRangeSignatureValuesAreRefused)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    Bytes digest = gmtest::Random(32);
    Bytes good = Sign(ctx.get(), digest);
    const unsigned char *p = good.data();
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(good.size()));
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    BIGNUM *n = nullptr;
    BN_hex2bn(&n, "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
    BIGNUM *zero = BN_new();
    BN_zero(zero);
    struct {
        const BIGNUM *r, *s;
    } cases[] = {{zero, s}, {n, s}, {r, n}, {r, zero}};
    for (const auto &c : cases) {
        ECDSA_SIG *bad = ECDSA_SIG_new();
        ECDSA_SIG_set0(bad, BN_dup(c.r), BN_dup(c.s));
        unsigned char *der = nullptr;
        int len = i2d_ECDSA_SIG(bad, &der);
        EXPECT_EQ(Verify(ctx.get(), Bytes(der, der + len), digest), -1);
        OPENSSL_free(der);
        ECDSA_SIG_free(bad);
    }
    BN_free(zero);
    BN_free(n);
    ECDSA_SIG_free(sig);
    ERR_clear_error();
}

TEST(SignRoute, OtherCurvesUseEcdsa)
{
    Pkey key = NewKey(NID_X9_62_prime256v1);
    PkeyCtx ctx = Ctx(key);
    Bytes digest = gmtest::Random(32);
    Bytes sig = Sign(ctx.get(), digest);
    EXPECT_EQ(ECDSA_verify(0, digest.data(), 32, sig.data(), static_cast<int>(sig.size()),
                           const_cast<EC_KEY *>(EVP_PKEY_get0_EC_KEY(key.get()))),
              1);
    EXPECT_EQ(Verify(ctx.get(), sig, digest), 1);
}

// ---- encryption -------------------------------------------------------------------

Bytes Encrypt(EVP_PKEY_CTX *ctx, const Bytes &msg)
{
    size_t len = 0;
    EXPECT_EQ(pkey_ec_sm2_encrypt(ctx, nullptr, &len, msg.data(), msg.size()), 1);
    Bytes out(len);
    EXPECT_EQ(pkey_ec_sm2_encrypt(ctx, out.data(), &len, msg.data(), msg.size()), 1);
    EXPECT_LE(len, out.size());
    out.resize(len);
    return out;
}

int Decrypt(EVP_PKEY_CTX *ctx, const Bytes &der, Bytes *out)
{
    size_t len = 0;
    if (pkey_ec_sm2_decrypt(ctx, nullptr, &len, der.data(), der.size()) != 1)
        return -1;
    out->assign(len, 0);
    int rc = pkey_ec_sm2_decrypt(ctx, out->data(), &len, der.data(), der.size());
    if (rc == 1)
        out->resize(len);
    return rc;
}

// The DER form of a cipher record, which is freed.
Bytes TakeDer(SM2Cipher *c)
{
    unsigned char *q = nullptr;
    int len = i2d_SM2Cipher(c, &q);
    Bytes der(q, q + (len > 0 ? len : 0));
    OPENSSL_free(q);
    SM2Cipher_free(c);
    return der;
}

class EncryptRouteTest : public ::testing::TestWithParam<int> {};

TEST_P(EncryptRouteTest, TwentyBytesRoundTripThroughSm2Cipher)
{
    Pkey key = NewKey(GetParam());
    PkeyCtx ctx = Ctx(key);
    Bytes msg = gmtest::Random(20);
    Bytes der = Encrypt(ctx.get(), msg);
    const unsigned char *p = der.data();
    SM2Cipher *c = d2i_SM2Cipher(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->HASH->length, 32);
    EXPECT_EQ(c->cipherText->length, 20);
    SM2Cipher_free(c);

    Bytes back;
    ASSERT_EQ(Decrypt(ctx.get(), der, &back), 1);
    EXPECT_EQ(back, msg);
}

INSTANTIATE_TEST_SUITE_P(Curves, EncryptRouteTest, ::testing::Values(GM_CURVE_SM2, GM_CURVE_SM2_TEST));

TEST(EncryptRoute, AgreesWithOpenSslBothWays)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    for (size_t len : {1, 20, 32, 33, 200, 1000}) {
        Bytes msg = gmtest::Random(len);
        PkeyCtx theirs(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_decrypt_init(theirs.get()), 1);
        Bytes der = Encrypt(ctx.get(), msg), plain(len + 16);
        size_t plainLen = plain.size();
        ASSERT_EQ(EVP_PKEY_decrypt(theirs.get(), plain.data(), &plainLen, der.data(), der.size()), 1);
        plain.resize(plainLen);
        EXPECT_EQ(plain, msg) << len;

        ASSERT_EQ(EVP_PKEY_encrypt_init(theirs.get()), 1);
        Bytes theirDer(len + 200);
        size_t derLen = theirDer.size();
        ASSERT_EQ(EVP_PKEY_encrypt(theirs.get(), theirDer.data(), &derLen, msg.data(), len), 1);
        theirDer.resize(derLen);
        Bytes back;
        ASSERT_EQ(Decrypt(ctx.get(), theirDer, &back), 1) << len;
        EXPECT_EQ(back, msg) << len;
    }
}

TEST(EncryptRoute, ChangedHashDecryptsToMinusOneAndWritesNothing)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    Bytes der = Encrypt(ctx.get(), gmtest::Random(20));
    const unsigned char *p = der.data();
    SM2Cipher *c = d2i_SM2Cipher(nullptr, &p, static_cast<long>(der.size()));
    c->HASH->data[0] ^= 0x80;
    Bytes bad = TakeDer(c);
    Bytes out(20, 0x5a);
    size_t outLen = out.size();
    EXPECT_EQ(pkey_ec_sm2_decrypt(ctx.get(), out.data(), &outLen, bad.data(), bad.size()), -1);
    EXPECT_EQ(out, Bytes(20, 0x5a));
    ERR_clear_error();
}

TEST(EncryptRoute, OutputRoomIsChecked)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    Bytes msg = gmtest::Random(20);
    Bytes der = Encrypt(ctx.get(), msg);

    Bytes out(der.size() + 8, 0x5a);
    size_t room = 60;  // less than the 97-byte raw form and the DER record
    EXPECT_EQ(pkey_ec_sm2_encrypt(ctx.get(), out.data(), &room, msg.data(), msg.size()), -1);
    EXPECT_EQ(out, Bytes(der.size() + 8, 0x5a));

    Bytes plain(19, 0x5a);
    size_t plainLen = plain.size();
    EXPECT_EQ(pkey_ec_sm2_decrypt(ctx.get(), plain.data(), &plainLen, der.data(), der.size()), -1);
    EXPECT_EQ(plain, Bytes(19, 0x5a));
    ERR_clear_error();
}

// A record whose coordinates are short is shorter than the raw form the
// decryption rebuilds; it must be refused without writing beyond anything.
TEST(EncryptRoute, RecordWithShortCoordinatesIsRefused)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    SM2Cipher *c = SM2Cipher_new();
    BN_set_word(c->XCoordinate, 1);
    BN_set_word(c->YCoordinate, 2);
    Bytes hash = gmtest::Random(32), text = gmtest::Random(10);
    ASN1_OCTET_STRING_set(c->HASH, hash.data(), 32);
    ASN1_OCTET_STRING_set(c->cipherText, text.data(), 10);
    Bytes der = TakeDer(c);
    Bytes out;
    EXPECT_EQ(Decrypt(ctx.get(), der, &out), -1);
    ERR_clear_error();
}

TEST(EncryptRoute, EmptyMessageAndOtherCurvesAreRefused)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    PkeyCtx ctx = Ctx(key);
    size_t len = 0;
    unsigned char one = 1;
    EXPECT_EQ(pkey_ec_sm2_encrypt(ctx.get(), nullptr, &len, &one, 0), -1);
    Pkey p256 = NewKey(NID_X9_62_prime256v1);
    PkeyCtx ctx256 = Ctx(p256);
    EXPECT_EQ(pkey_ec_sm2_encrypt(ctx256.get(), nullptr, &len, &one, 1), -1);
    ERR_clear_error();
}

// ---- engine slots ---------------------------------------------------------------------

int g_engineCalls;

int EngineDecrypt(EVP_PKEY_CTX *, unsigned char *out, size_t *outlen, const unsigned char *in,
                  size_t inlen)
{
    g_engineCalls++;
    out[0] = in[0];
    *outlen = inlen;
    return 7;
}

TEST(EngineSlots, PkeyDecryptOfTheKeysEngineTakesTheCall)
{
    ENGINE *e = ENGINE_new();
    ASSERT_EQ(ENGINE_set_id(e, "gm-test"), 1);
    ASSERT_EQ(ENGINE_set_EC(e, EC_KEY_get_default_method()), 1);
    EXPECT_EQ(ENGINE_get_pkey_decrypt_function(e), nullptr);
    EXPECT_EQ(ENGINE_get_import_key_function(e), nullptr);
    ASSERT_EQ(ENGINE_set_pkey_decrypt_function(e, EngineDecrypt), 1);
    EXPECT_EQ(ENGINE_get_pkey_decrypt_function(e), EngineDecrypt);
    EXPECT_EQ(ENGINE_get_list_object_index_function(e), nullptr);

    Pkey key = WrapKey(NewEcKey(GM_CURVE_SM2, e));
    PkeyCtx ctx = Ctx(key);
    unsigned char in[3] = {9, 8, 7}, out[3] = {0, 0, 0};
    size_t outLen = 0;
    g_engineCalls = 0;
    EXPECT_EQ(pkey_ec_sm2_decrypt(ctx.get(), out, &outLen, in, 3), 7);
    EXPECT_EQ(g_engineCalls, 1);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(outLen, 3u);
    ctx.reset();
    key.reset();
    ENGINE_free(e);
}

// ---- item signing -------------------------------------------------------------------

X509 *SelfSignedCert(EVP_PKEY *key, const EVP_MD *md)
{
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("item"), -1, -1, 0);
    X509_set_issuer_name(x, X509_get_subject_name(x));
    X509_set_pubkey(x, key);
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EXPECT_EQ(gm_item_digest_init(mctx, key, md, 1), 1);
    EXPECT_GT(X509_sign_ctx(x, mctx), 0);
    EVP_MD_CTX_free(mctx);
    return x;
}

bool VerifyWithId(X509 *x, EVP_PKEY *key, const char *id)
{
    ASN1_OCTET_STRING *oid = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(oid, reinterpret_cast<const unsigned char *>(id),
                          static_cast<int>(strlen(id)));
    X509_set0_distinguishing_id(x, oid);
    bool ok = X509_verify(x, key) == 1;
    X509_set0_distinguishing_id(x, nullptr);
    ERR_clear_error();
    return ok;
}

// With libcrypto's SM3 and with the layer's own SM3 record.
class ItemSigningTest : public ::testing::TestWithParam<const EVP_MD *(*)()> {};

TEST_P(ItemSigningTest, Sm2CertificateCoversZOfTheDefaultIdentity)
{
    Pkey key = NewKey(GM_CURVE_SM2);
    X509 *x = SelfSignedCert(key.get(), GetParam()());
    EXPECT_TRUE(VerifyWithId(x, key.get(), SM2_DEFAULT_ID));
    EXPECT_FALSE(VerifyWithId(x, key.get(), "another-identity"));

    // The layer's own verification set-up accepts it over the TBS bytes.
    unsigned char *tbs = nullptr;
    int tbsLen = i2d_re_X509_tbs(x, &tbs);
    const ASN1_BIT_STRING *sig = nullptr;
    X509_get0_signature(&sig, nullptr, x);
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    ASSERT_EQ(gm_item_digest_init(mctx, key.get(), GetParam()(), 0), 1);
    EXPECT_EQ(EVP_DigestVerify(mctx, sig->data, sig->length, tbs, tbsLen), 1);
    EVP_MD_CTX_free(mctx);
    OPENSSL_free(tbs);
    X509_free(x);
}

INSTANTIATE_TEST_SUITE_P(Digests, ItemSigningTest, ::testing::Values(EVP_sm3, gm_EVP_sm3));

TEST(ItemSigning, OtherKeysSignPlainly)
{
    Pkey key = NewKey(NID_X9_62_prime256v1);
    X509 *x = SelfSignedCert(key.get(), EVP_sha256());
    EXPECT_EQ(X509_verify(x, key.get()), 1);
    X509_free(x);
}

}  // namespace
