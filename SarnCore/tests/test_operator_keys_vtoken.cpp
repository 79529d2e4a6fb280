/* Key pairs, public keys, session keys and the on-token key objects end to
 * end against the virtual token; signatures and cipher texts are checked
 * against OpenSSL. */
#include "OperatorVToken.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

static PkeyPtr FromData(const char *type, OSSL_PARAM_BLD *bld, int selection)
{
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &pkey, selection, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return PkeyPtr(pkey, EVP_PKEY_free);
}

static PkeyPtr Sm2PublicKey(const _QV_SM2_KEY_PAIR &key)
{
    unsigned char point[65] = {0x04};
    memcpy(point + 1, key.X, 32);
    memcpy(point + 33, key.Y, 32);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point));
    return FromData("SM2", bld, EVP_PKEY_PUBLIC_KEY);
}

static PkeyPtr RsaPublicKey(const _QV_RSA_KEY_PAIR &key)
{
    BIGNUM *n = BN_bin2bn(key.N, (int)key.NLen, nullptr);
    BIGNUM *e = BN_bin2bn(key.E, (int)key.ELen, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    PkeyPtr p = FromData("RSA", bld, EVP_PKEY_PUBLIC_KEY);
    BN_free(n);
    BN_free(e);
    return p;
}

/* An SM2 signature r || s as the DER record OpenSSL verifies. */
static Bytes SignatureDer(const unsigned char *rs)
{
    ECDSA_SIG *sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs, 32, nullptr), BN_bin2bn(rs + 32, 32, nullptr));
    unsigned char *der = nullptr;
    int len = i2d_ECDSA_SIG(sig, &der);
    Bytes v(der, der + len);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return v;
}

static bool Sm2VerifiesDigest(const _QV_SM2_KEY_PAIR &key, const Bytes &e, const unsigned char *rs)
{
    PkeyPtr pkey = Sm2PublicKey(key);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
    Bytes der = SignatureDer(rs);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_verify(ctx, der.data(), der.size(), e.data(), e.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

static bool RsaVerifiesSha256(const _QV_RSA_KEY_PAIR &key, const Bytes &digest, const Bytes &sig)
{
    PkeyPtr pkey = RsaPublicKey(key);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
              EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

static Bytes EncryptWith(EVP_PKEY *pkey, const Bytes &msg, bool bRsa)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    if (bRsa) EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    size_t len = 0;
    EVP_PKEY_encrypt(ctx, nullptr, &len, msg.data(), msg.size());
    Bytes out(len);
    EVP_PKEY_encrypt(ctx, out.data(), &len, msg.data(), msg.size());
    out.resize(len);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

/* OpenSSL's SM2 cipher text (DER: x, y, C3, C2) as C1 || C2 || C3. */
static Bytes Sm2CipherC1C2C3(const Bytes &der)
{
    const unsigned char *p = der.data();
    size_t pos = 0;
    auto length = [&](size_t &at) {
        size_t n = p[at++];
        if (n & 0x80) {
            size_t k = n & 0x7F;
            n = 0;
            while (k--) n = (n << 8) | p[at++];
        }
        return n;
    };
    pos++;  // SEQUENCE
    length(pos);
    Bytes parts[4];
    for (Bytes &part : parts) {
        pos++;  // INTEGER or OCTET STRING
        size_t n = length(pos);
        part.assign(p + pos, p + pos + n);
        pos += n;
    }
    Bytes out = {0x04};
    for (int i = 0; i < 2; ++i) {
        Bytes &c = parts[i];
        while (c.size() > 32 && c[0] == 0) c.erase(c.begin());
        out.insert(out.end(), 32 - c.size(), 0);
        out.insert(out.end(), c.begin(), c.end());
    }
    out.insert(out.end(), parts[3].begin(), parts[3].end());
    out.insert(out.end(), parts[2].begin(), parts[2].end());
    return out;
}

static Bytes Random(size_t n)
{
    Bytes v(n);
    RAND_bytes(v.data(), (int)n);
    return v;
}

static const unsigned char SHA256_INFO[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

/* ---- generated key pairs ---- */

struct KeyCase {
    const char *name;
    unsigned char alg;
    unsigned int address;
};

class GeneratedKeyTest : public OperatorVTokenTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(GeneratedKeyTest, SignsAndDecryptsWhatOpenSslChecksAndMade)
{
    const unsigned char alg = GetParam().alg;
    const bool bSm2 = alg == TOKEN_ALG_SM2;
    CDeviceOperator *pOp = OpenVerified(GetParam().address);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"keys"));
    void *pKeyCtx = nullptr;
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"keys", 1, alg, &pKeyCtx));
    std::unique_ptr<CAsymKeyObject> key(static_cast<CAsymKeyObject *>(pKeyCtx));
    EXPECT_EQ(alg, pOp->FindContainerFromMemory((char *)"keys")->byExchKeyAlg);
    EXPECT_EQ(bSm2 ? 2 : 1, pOp->FindContainerFromMemory((char *)"keys")->byType);

    unsigned char algOut = 0;
    unsigned int size = 0;
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"keys", 1, &algOut, nullptr, &size));
    EXPECT_EQ(alg, algOut);
    EXPECT_EQ(bSm2 ? 96u : 780u, size);
    Bytes record(size, 0);
    size -= 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->ExportPublicKey((char *)"keys", 1, &algOut, record.data(), &size));
    EXPECT_EQ(record.size(), size);
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"keys", 1, &algOut, record.data(), &size));
    /* No signature key in the container: algorithm 0, refused, size 0. */
    unsigned int noSize = 5;
    EXPECT_EQ(ERR_BAD_ALGORITHM, pOp->ExportPublicKey((char *)"keys", 2, &algOut, nullptr, &noSize));
    EXPECT_EQ(0u, noSize);

    if (bSm2) {
        const _QV_SM2_KEY_PAIR &pub = *(const _QV_SM2_KEY_PAIR *)record.data();
        Bytes e = Random(32);
        unsigned char sig[64];
        unsigned int sigLen = 63;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, key->PrikeySign(0, SC_HASH_SM3, e.data(), 32, sig, &sigLen));
        EXPECT_EQ(64u, sigLen);
        ASSERT_EQ(0u, key->PrikeySign(0, SC_HASH_SM3, e.data(), 32, sig, &sigLen));
        ASSERT_EQ(64u, sigLen);
        EXPECT_TRUE(Sm2VerifiesDigest(pub, e, sig));
        EXPECT_EQ(0u, key->PubkeyVerify(SC_HASH_SM3, e.data(), 32, sig, 64));
        e[0] ^= 1;
        EXPECT_EQ(ERR_VERIFY_FAILED, key->PubkeyVerify(SC_HASH_SM3, e.data(), 32, sig, 64));
        EXPECT_EQ(ERR_BAD_LENGTH, key->PrikeySign(0, SC_HASH_SM3, e.data(), 31, sig, &sigLen));

        Bytes msg = Random(40);
        PkeyPtr pkey = Sm2PublicKey(pub);
        Bytes cipher = Sm2CipherC1C2C3(EncryptWith(pkey.get(), msg, false));
        ASSERT_EQ(msg.size() + 97, cipher.size());
        Bytes plain(msg.size());
        unsigned int plainLen = (unsigned int)plain.size();
        ASSERT_EQ(0u, key->PrikeyDec(cipher.data(), (unsigned int)cipher.size(), plain.data(), &plainLen));
        EXPECT_EQ(msg, Bytes(plain.begin(), plain.begin() + plainLen));
        plainLen = 100;
        EXPECT_EQ(ERR_BAD_LENGTH, key->PrikeyDec(cipher.data(), 90, plain.data(), &plainLen));
    } else {
        const _QV_RSA_KEY_PAIR &pub = *(const _QV_RSA_KEY_PAIR *)record.data();
        const unsigned int k = alg == TOKEN_ALG_RSA2048 ? 256 : 128;
        EXPECT_EQ(k, pub.NLen);
        Bytes digest = EvpDigest(EVP_sha256(), Random(100));
        Bytes info(SHA256_INFO, SHA256_INFO + sizeof(SHA256_INFO));
        info.insert(info.end(), digest.begin(), digest.end());
        Bytes sig(k);
        unsigned int sigLen = k;
        ASSERT_EQ(0u, key->PrikeySign(0, SC_HASH_SHA256, info.data(), (unsigned int)info.size(), sig.data(), &sigLen));
        ASSERT_EQ(k, sigLen);
        EXPECT_TRUE(RsaVerifiesSha256(pub, digest, sig));

        Bytes msg = Random(30);
        PkeyPtr pkey = RsaPublicKey(pub);
        Bytes cipher = EncryptWith(pkey.get(), msg, true);
        Bytes block(k);
        unsigned int blockLen = k;
        ASSERT_EQ(0u, key->PrikeyDec(cipher.data(), k, block.data(), &blockLen));
        ASSERT_EQ(k, blockLen);
        EXPECT_EQ(0x00, block[0]);
        EXPECT_EQ(0x02, block[1]);
        EXPECT_EQ(0x00, block[k - msg.size() - 1]);
        EXPECT_EQ(msg, Bytes(block.end() - (long)msg.size(), block.end()));

        /* Software encryption under the exported key, decrypted on the token. */
        Bytes enc(k);
        unsigned int encLen = k;
        ASSERT_EQ(0u, key->PubkeyEnc(msg.data(), (unsigned int)msg.size(), enc.data(), &encLen));
        blockLen = k;
        ASSERT_EQ(0u, key->PrikeyDec(enc.data(), encLen, block.data(), &blockLen));
        EXPECT_EQ(msg, Bytes(block.end() - (long)msg.size(), block.end()));
        Bytes tooLong(k - 10, 0x41);
        encLen = k;
        EXPECT_EQ(ERR_BAD_LENGTH, key->PubkeyEnc(tooLong.data(), (unsigned int)tooLong.size(), enc.data(), &encLen));
    }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, GeneratedKeyTest,
                         ::testing::Values(KeyCase{"RSA1024", TOKEN_ALG_RSA1024, 30},
                                           KeyCase{"RSA2048", TOKEN_ALG_RSA2048, 31},
                                           KeyCase{"SM2", TOKEN_ALG_SM2, 32}),
                         [](const ::testing::TestParamInfo<KeyCase> &i) { return std::string(i.param.name); });

TEST_F(OperatorVTokenTest, KeyOperationsRefuseWhatTheyCannotDo)
{
    CDeviceOperator *pOp = OpenVerified(33);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"rsa"));
    EXPECT_EQ(ERR_BAD_ALGORITHM, pOp->GenerateKeyPair((char *)"rsa", 1, 3, nullptr));
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"rsa", 1, TOKEN_ALG_RSA1024, nullptr));
    unsigned char z[32];
    EXPECT_EQ(ERR_BAD_ALGORITHM, pOp->GetZValue((char *)"rsa", z));
    _QV_RSA_KEY_PAIR rec;
    memset(&rec, 0, sizeof(rec));
    EXPECT_EQ(ERR_BAD_KEY_TYPE, pOp->ImportKeyPair((char *)"rsa", 2, 1, &rec, sizeof(rec), nullptr, 0, nullptr));
    CAsymKeyObject *pKey = nullptr;
    EXPECT_EQ(ERR_BAD_ALGORITHM, pOp->NewAsymKey(2, 0x1001, &pKey));
    EXPECT_EQ(nullptr, pKey);
    ASSERT_EQ(0u, pOp->NewAsymKey(7, 0x1001, &pKey));
    EXPECT_NE(nullptr, dynamic_cast<CRSADevObj *>(pKey));
    EXPECT_EQ(256u, pKey->GetOutlen(ASYM_OP_SIGN, 0));
    delete pKey;

    unsigned char random[48];
    EXPECT_EQ(0u, pOp->GenerateRandom(1, sizeof(random), random));
    CDeviceOperator offline(nullptr);
    EXPECT_EQ(0u, offline.GenerateRandom(0, sizeof(random), random));
    EXPECT_EQ(0u, offline.GenerateRandom(0, 0, random));
}

/* ---- imported key pairs and session keys ---- */

static void FillRsaRecord(EVP_PKEY *pkey, _QV_RSA_KEY_PAIR *rec)
{
    memset(rec, 0, sizeof(*rec));
    BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_D, &d);
    rec->NLen = (uint32_t)BN_bn2bin(n, rec->N);
    rec->ELen = (uint32_t)BN_bn2bin(e, rec->E);
    rec->DLen = (uint32_t)BN_bn2bin(d, rec->D);
    BN_free(n);
    BN_free(e);
    BN_clear_free(d);
}

TEST_F(OperatorVTokenTest, ImportedRsa1024KeyDecryptsAndWrapsASessionKey)
{
    CDeviceOperator *pOp = OpenVerified(34);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"imp"));
    EVP_PKEY *pkey = EVP_RSA_gen(1024);
    ASSERT_NE(nullptr, pkey);
    _QV_RSA_KEY_PAIR rec;
    FillRsaRecord(pkey, &rec);
    void *pKeyCtx = nullptr;
    ASSERT_EQ(0u, pOp->ImportKeyPair((char *)"imp", 1, TOKEN_ALG_RSA1024, &rec, sizeof(rec), nullptr, 0, &pKeyCtx));
    std::unique_ptr<CAsymKeyObject> key(static_cast<CAsymKeyObject *>(pKeyCtx));
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->ImportKeyPair((char *)"imp", 1, TOKEN_ALG_RSA1024, &rec, 100, nullptr, 0, nullptr));

    unsigned char algOut = 0;
    _QV_RSA_KEY_PAIR pub;
    unsigned int size = sizeof(pub);
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"imp", 1, &algOut, (unsigned char *)&pub, &size));
    EXPECT_EQ(0, memcmp(rec.N, pub.N, 128));

    Bytes msg = Random(20);
    Bytes cipher = EncryptWith(pkey, msg, true);
    Bytes block(128);
    unsigned int blockLen = 128;
    ASSERT_EQ(0u, key->PrikeyDec(cipher.data(), 128, block.data(), &blockLen));
    EXPECT_EQ(msg, Bytes(block.end() - (long)msg.size(), block.end()));

    /* A session key wrapped under the imported key goes into the key slot. */
    unsigned short usKeyFID = 0;
    ASSERT_EQ(0u, pOp->GetContainerInfo((char *)"imp", 1, nullptr, &usKeyFID, nullptr, true));
    Bytes wrapped = EncryptWith(pkey, Random(16), true);
    EXPECT_EQ(0u, pOp->ImportEncSessionKey(usKeyFID, wrapped.data(), (unsigned int)wrapped.size()));
    wrapped[5] ^= 0xFF;
    EXPECT_NE(0u, pOp->ImportEncSessionKey(usKeyFID, wrapped.data(), (unsigned int)wrapped.size()));
    EVP_PKEY_free(pkey);
}

/* ---- key objects without a token ---- */

TEST(KeyObjectTest, ChecksBeforeAnyCommand)
{
    CAsymKeyObject base;
    unsigned char buf[300] = {0};
    unsigned int len = sizeof(buf);
    EXPECT_EQ(ERR_UNSUPPORTED, base.GetOutlen(1, 10));
    EXPECT_EQ(ERR_UNSUPPORTED, base.Decrypt(buf, 10, buf, &len));
    EXPECT_EQ(ERR_UNSUPPORTED, base.SignDisp(18, buf, 10, buf, &len));
    EXPECT_EQ(ERR_UNSUPPORTED, base.SignDigest(buf, 10, buf, &len));
    EXPECT_EQ(ERR_UNSUPPORTED, base.Encrypt(buf, 10, buf, &len));
    EXPECT_EQ(ERR_UNSUPPORTED, base.Verify(18, buf, 10, buf, 64));
    EXPECT_EQ(ERR_NO_CONTEXT, base.PrikeySign(0, 18, buf, 32, buf, &len));
    EXPECT_EQ(0u, len);

    CSM2DevObj sm2;
    EXPECT_EQ(129u, sm2.GetOutlen(ASYM_OP_ENCRYPT, 32));
    EXPECT_EQ(32u, sm2.GetOutlen(ASYM_OP_DECRYPT, 129));
    EXPECT_EQ(0u, sm2.GetOutlen(ASYM_OP_DECRYPT, 50));
    EXPECT_EQ(64u, sm2.GetOutlen(ASYM_OP_VERIFY, 0));
    EXPECT_EQ(ERR_BAD_LENGTH, sm2.SignDigest(buf, 31, buf, &len));
    EXPECT_EQ(ERR_BAD_ALGORITHM, sm2.SignDisp(12, buf, 10, buf, &len));
    EXPECT_EQ(ERR_BAD_LENGTH, sm2.Verify(18, buf, 31, buf, 64));

    CRSADevObj rsa;
    rsa.SetAlgID(TOKEN_ALG_RSA2048);
    EXPECT_EQ(256u, rsa.GetOutlen(ASYM_OP_ENCRYPT, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, rsa.Decrypt(buf, 255, buf, &len));
    EXPECT_EQ(ERR_BAD_ALGORITHM, rsa.Verify(18, buf, 32, buf, 256));
    EXPECT_EQ(ERR_BAD_LENGTH, rsa.Verify(14, buf, 35, buf, 256));
    EXPECT_EQ(ERR_BAD_LENGTH, rsa.SignDigest(buf, 250, buf, &len));
    rsa.SetAlgID(TOKEN_ALG_RSA1024);
    EXPECT_EQ(128u, rsa.GetOutlen(ASYM_OP_SIGN, 0));
}

/* ---- imports that travel encrypted: RSA-2048 and the SM2 envelope ---- */

static Bytes Sm4Ecb(const Bytes &key, const Bytes &in)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_get_cipherbyname("SM4-ECB"), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(in.size());
    int n = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

static void PutU32(Bytes &v, uint32_t x)
{
    for (int i = 3; i >= 0; --i) v.push_back((unsigned char)(x >> (8 * i)));
}

/* The signature public key of a container, generated on the token. */
static _QV_SM2_KEY_PAIR SignatureKeyOf(CDeviceOperator *pOp, const char *name)
{
    _QV_SM2_KEY_PAIR pub;
    memset(&pub, 0, sizeof(pub));
    EXPECT_EQ(0u, pOp->GenerateKeyPair((char *)name, 2, TOKEN_ALG_SM2, nullptr));
    unsigned char alg = 0;
    unsigned int size = sizeof(pub);
    EXPECT_EQ(0u, pOp->ExportPublicKey((char *)name, 2, &alg, (unsigned char *)&pub, &size));
    return pub;
}

TEST_F(OperatorVTokenTest, ImportedRsa2048KeyPlainAndUnderAWrappedKey)
{
    CDeviceOperator *pOp = OpenVerified(35);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"r2048"));
    _QV_SM2_KEY_PAIR sign = SignatureKeyOf(pOp, "r2048");
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    ASSERT_NE(nullptr, pkey);
    _QV_RSA_KEY_PAIR rec;
    FillRsaRecord(pkey, &rec);
    Bytes material(768, 0);
    memcpy(material.data(), rec.N, 256);
    memcpy(material.data() + 512 - rec.DLen, rec.D, rec.DLen);
    memcpy(material.data() + 516 - rec.ELen, rec.E, rec.ELen);

    /* Encrypted first: the wrapping key is then the signature key (no exchange key yet). */
    for (int encrypted = 1; encrypted >= 0; --encrypted) {
        Bytes wrapped;
        Bytes data = material;
        if (encrypted) {
            Bytes k = Random(16);
            PkeyPtr wrapKey = Sm2PublicKey(sign);
            Bytes c = Sm2CipherC1C2C3(EncryptWith(wrapKey.get(), k, false));
            /* The key command takes C1 || C3 || C2. */
            wrapped.assign(c.begin(), c.begin() + 65);
            wrapped.insert(wrapped.end(), c.end() - 32, c.end());
            wrapped.insert(wrapped.end(), c.begin() + 65, c.end() - 32);
            data = Sm4Ecb(k, material);
        }
        void *pKeyCtx = nullptr;
        ASSERT_EQ(0u, pOp->ImportKeyPair((char *)"r2048", 1, TOKEN_ALG_RSA2048, data.data(), (unsigned int)data.size(),
                                         encrypted ? wrapped.data() : nullptr, (unsigned int)wrapped.size(), &pKeyCtx))
            << "encrypted " << encrypted;
        std::unique_ptr<CAsymKeyObject> key(static_cast<CAsymKeyObject *>(pKeyCtx));
        Bytes msg = Random(32);
        Bytes cipher = EncryptWith(pkey, msg, true);
        Bytes block(256);
        unsigned int blockLen = 256;
        ASSERT_EQ(0u, key->PrikeyDec(cipher.data(), 256, block.data(), &blockLen));
        EXPECT_EQ(msg, Bytes(block.end() - (long)msg.size(), block.end()));
    }
    EVP_PKEY_free(pkey);
}

TEST_F(OperatorVTokenTest, ImportedSm2KeyFromAnEnvelopeSignsForItsPublicKey)
{
    CDeviceOperator *pOp = OpenVerified(36);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"sm2imp"));
    _QV_SM2_KEY_PAIR sign = SignatureKeyOf(pOp, "sm2imp");

    EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    ASSERT_NE(nullptr, pkey);
    BIGNUM *d = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    Bytes dBytes(32);
    BN_bn2binpad(d, dBytes.data(), 32);
    BN_clear_free(d);
    unsigned char point[65];
    size_t pointLen = 0;
    EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &pointLen);
    ASSERT_EQ(65u, pointLen);

    Bytes k = Random(16);
    PkeyPtr wrapKey = Sm2PublicKey(sign);
    Bytes c = Sm2CipherC1C2C3(EncryptWith(wrapKey.get(), k, false));
    Bytes rec;
    PutU32(rec, 0x00020200);
    PutU32(rec, 0x401);  // SM4-ECB
    PutU32(rec, 256);
    rec.insert(rec.end(), c.begin() + 1, c.begin() + 65);   // X, Y
    rec.insert(rec.end(), c.end() - 32, c.end());           // C3
    PutU32(rec, 16);
    rec.insert(rec.end(), c.begin() + 65, c.end() - 32);    // C2
    PutU32(rec, 256);
    rec.insert(rec.end(), point + 1, point + 65);
    PutU32(rec, 32);
    Bytes enc = Sm4Ecb(k, dBytes);
    rec.insert(rec.end(), enc.begin(), enc.end());

    void *pKeyCtx = nullptr;
    ASSERT_EQ(0u, pOp->ImportKeyPair((char *)"sm2imp", 1, TOKEN_ALG_SM2, rec.data(), (unsigned int)rec.size(), nullptr,
                                     0, &pKeyCtx));
    std::unique_ptr<CAsymKeyObject> key(static_cast<CAsymKeyObject *>(pKeyCtx));
    _QV_SM2_KEY_PAIR exch;
    unsigned char alg = 0;
    unsigned int size = sizeof(exch);
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"sm2imp", 1, &alg, (unsigned char *)&exch, &size));
    EXPECT_EQ(TOKEN_ALG_SM2, alg);
    EXPECT_EQ(0, memcmp(point + 1, exch.X, 64));

    Bytes e = Random(32);
    unsigned char sig[64];
    unsigned int sigLen = 64;
    ASSERT_EQ(0u, key->PrikeySign(0, SC_HASH_SM3, e.data(), 32, sig, &sigLen));
    EXPECT_TRUE(Sm2VerifiesDigest(exch, e, sig));

    /* A record whose private key does not match its public key is refused. */
    enc[0] ^= 1;
    rec[rec.size() - 32] ^= 1;
    EXPECT_NE(0u, pOp->ImportKeyPair((char *)"sm2imp", 1, TOKEN_ALG_SM2, rec.data(), (unsigned int)rec.size(), nullptr,
                                     0, nullptr));
    EVP_PKEY_free(pkey);
}

/* ---- messages hashed and signed on the token ---- */

static bool Sm2VerifiesMessage(const _QV_SM2_KEY_PAIR &key, const Bytes &msg, const unsigned char *rs)
{
    PkeyPtr pkey = Sm2PublicKey(key);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
    EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(md, pctx);
    Bytes der = SignatureDer(rs);
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pkey.get()) == 1 &&
              EVP_DigestVerify(md, der.data(), der.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

TEST_F(OperatorVTokenTest, MessagesSignedOnTheTokenVerifyWithOpenSsl)
{
    CDeviceOperator *pOp = OpenVerified(37);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"sm2msg"));
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"rsamsg"));
    void *pSm2 = nullptr, *pRsa = nullptr;
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"sm2msg", 2, TOKEN_ALG_SM2, &pSm2));
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"rsamsg", 2, TOKEN_ALG_RSA1024, &pRsa));
    std::unique_ptr<CAsymKeyObject> sm2(static_cast<CAsymKeyObject *>(pSm2));
    std::unique_ptr<CAsymKeyObject> rsa(static_cast<CAsymKeyObject *>(pRsa));
    Bytes msg = Random(600);

    _QV_SM2_KEY_PAIR sm2Pub;
    unsigned char alg = 0;
    unsigned int size = sizeof(sm2Pub);
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"sm2msg", 2, &alg, (unsigned char *)&sm2Pub, &size));
    unsigned char sig[128];
    unsigned int sigLen = 64;
    ASSERT_EQ(0u, sm2->PrikeySign(ASYM_SIGN_DISP, SC_HASH_SM3, msg.data(), (unsigned int)msg.size(), sig, &sigLen));
    EXPECT_TRUE(Sm2VerifiesMessage(sm2Pub, msg, sig));
    EXPECT_EQ(ERR_BAD_ALGORITHM,
              sm2->PrikeySign(ASYM_SIGN_DISP, SC_HASH_SHA256, msg.data(), (unsigned int)msg.size(), sig, &sigLen));

    _QV_RSA_KEY_PAIR rsaPub;
    size = sizeof(rsaPub);
    ASSERT_EQ(0u, pOp->ExportPublicKey((char *)"rsamsg", 2, &alg, (unsigned char *)&rsaPub, &size));
    sigLen = 128;
    ASSERT_EQ(0u, rsa->PrikeySign(ASYM_SIGN_DISP, SC_HASH_SHA256, msg.data(), (unsigned int)msg.size(), sig, &sigLen));
    ASSERT_EQ(128u, sigLen);
    EXPECT_TRUE(RsaVerifiesSha256(rsaPub, EvpDigest(EVP_sha256(), msg), Bytes(sig, sig + 128)));
}
