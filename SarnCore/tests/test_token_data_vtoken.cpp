/* The container, file, key and cryptographic commands and the on-token
 * cipher handle end to end against the virtual token, each result checked
 * with OpenSSL (or the GM layer for the key agreement).  Tokens live on
 * bus 7, each test at its own address. */
#include <gtest/gtest.h>
#include <string.h>

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "Sm2SoftParty.h"
#include "VTokenContext.h"
#include "gm/sm2_kex.h"
#include "vtoken/testkit/VTokenTestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;
const unsigned int BUS = 7;
const unsigned int SW_OK = 0;

unsigned int Sw(unsigned int sw) { return 0x80000000u | sw; }

Bytes Random(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (unsigned char)(i * 31 + 7);
    return v;
}

Bytes Sm4(bool bEncrypt, unsigned int ulMode, const Bytes &key, const Bytes &iv, const Bytes &in, bool bPad)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(ctx, ulMode == 1 ? EVP_sm4_ecb() : EVP_sm4_cbc(), nullptr, key.data(),
                      iv.empty() ? nullptr : iv.data(), bEncrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, bPad ? 1 : 0);
    bool ok = EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), (int)in.size()) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? (size_t)(n1 + n2) : 0);
    return out;
}

/* OpenSSL SM2 keys from and to the raw forms of the commands. */
EVP_PKEY *Sm2Key(const Bytes &xy, const Bytes *d)
{
    Bytes pub = {0x04};
    pub.insert(pub.end(), xy.begin(), xy.end());
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    BIGNUM *bn = d != nullptr ? BN_bin2bn(d->data(), (int)d->size(), nullptr) : nullptr;
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    if (bn != nullptr) OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, bn);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY *key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, bn != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_clear_free(bn);
    return key;
}

/* Verifies r || s over the value e as it is (no Z). */
bool Sm2VerifyE(EVP_PKEY *key, const Bytes &e, const Bytes &rs)
{
    ECDSA_SIG *sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char *der = nullptr;
    int derLen = i2d_ECDSA_SIG(sig, &der);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_verify(ctx, der, (size_t)derLen, e.data(), e.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return ok;
}

void DerLen(Bytes &v, size_t n)
{
    if (n >= 0x80) v.push_back(n >= 0x100 ? 0x82 : 0x81);
    if (n >= 0x100) v.push_back((unsigned char)(n >> 8));
    v.push_back((unsigned char)n);
}

void DerInt(Bytes &v, const unsigned char *p)
{
    Bytes i(p, p + 32);
    while (i.size() > 1 && i[0] == 0 && !(i[1] & 0x80)) i.erase(i.begin());
    if (i[0] & 0x80) i.insert(i.begin(), 0);
    v.push_back(0x02);
    DerLen(v, i.size());
    v.insert(v.end(), i.begin(), i.end());
}

/* Decrypts the answer form bit length, X, Y, C3, C2 length, C2. */
Bytes Sm2DecryptAnswer(EVP_PKEY *key, const Bytes &a)
{
    size_t c2 = a.size() - 104;
    Bytes body;
    DerInt(body, a.data() + 4);
    DerInt(body, a.data() + 36);
    body.push_back(0x04);
    DerLen(body, 32);
    body.insert(body.end(), a.begin() + 68, a.begin() + 100);
    body.push_back(0x04);
    DerLen(body, c2);
    body.insert(body.end(), a.begin() + 104, a.end());
    Bytes der = {0x30};
    DerLen(der, body.size());
    der.insert(der.end(), body.begin(), body.end());
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    size_t n = der.size();
    Bytes out(n);
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_decrypt(ctx, out.data(), &n, der.data(), der.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? n : 0);
    return out;
}

/* The token's SM2 public key of a file as X || Y. */
Bytes XY(const _QV_SM2_KEY_PAIR &k)
{
    Bytes v(k.X, k.X + 32);
    v.insert(v.end(), k.Y, k.Y + 32);
    return v;
}

class TokenDataTest : public ::testing::Test {
protected:
    ~TokenDataTest() override
    {
        if (m_bOpen) ctx.Close();
    }

    /* A token with an established session and the user PIN verified. */
    void Open(unsigned int ulAddr, unsigned int ulAlg = 0x13)
    {
        vtoken::TokenOptions opts;
        opts.serial = m_strSerial = "VTDATA" + std::to_string(ulAddr);
        opts.bus = BUS;
        opts.address = ulAddr;
        opts.algByte = ulAlg;
        daemon.CreateToken(opts);
        ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, DeviceNameOf(BUS, ulAddr).c_str(), true));
        m_bOpen = true;
        ASSERT_EQ(0u, AuthenticateAsOperator(ctx, (unsigned char)ulAlg));
        ASSERT_EQ(0u, ctx.SetSessionKey(true));
        ASSERT_EQ(0u, VerifyUserPin());
        auth = Info()->m_pbAuthCode;
    }

    /* Challenge, MD5(MD5(PIN) || C) under the token's PIN key, the code. */
    unsigned int VerifyUserPin()
    {
        unsigned char challenge[16], key[132];
        unsigned int r = ctx.GetAPDUPin()->VerifyPIN_Request(0, challenge, key);
        if (r != 0) return r;
        unsigned char md[16];
        unsigned int mdLen = 0;
        EVP_Digest("12345678", 8, md, &mdLen, EVP_md5(), nullptr);
        Bytes proofIn(md, md + 16);
        proofIn.insert(proofIn.end(), challenge, challenge + 16);
        EVP_Digest(proofIn.data(), proofIn.size(), md, &mdLen, EVP_md5(), nullptr);
        EVP_PKEY *pub = RsaPublic(Bytes(key, key + 128), Bytes(key + 128, key + 132));
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
        unsigned char enc[128];
        size_t encLen = sizeof(enc);
        EVP_PKEY_encrypt_init(pctx);
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
        EVP_PKEY_encrypt(pctx, enc, &encLen, md, 16);
        EVP_PKEY_CTX_free(pctx);
        EVP_PKEY_free(pub);
        unsigned char code[16];
        unsigned int codeLen = sizeof(code);
        r = ctx.GetAPDUPin()->VerifyPIN_Response(0, 1, enc, (unsigned int)encLen, code, &codeLen);
        return r != 0 ? r : Info()->SetAuthCode(code, codeLen);
    }

    static EVP_PKEY *RsaPublic(const Bytes &n, const Bytes &e)
    {
        OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
        BIGNUM *bn = BN_bin2bn(n.data(), (int)n.size(), nullptr), *be = BN_bin2bn(e.data(), (int)e.size(), nullptr);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
        OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY *key = nullptr;
        EVP_PKEY_fromdata_init(ctx);
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        BN_free(bn);
        BN_free(be);
        return key;
    }

    CDeviceInfo *Info() { return ctx.GetDeviceHandle(); }

    /* A container; the base of its key files. */
    unsigned short NewContainer(const char *szName)
    {
        EXPECT_EQ(0u, ctx.GetAPDUContainer()->CreateContainer(auth, 0, (char *)szName));
        unsigned char desc[8] = {0};
        unsigned int len = sizeof(desc);
        EXPECT_EQ(0u, ctx.GetAPDUContainer()->OpenContainer((char *)szName, desc, &len));
        EXPECT_EQ(8u, len);
        return (unsigned short)((desc[2] << 8) | desc[3]);
    }

    _QV_SM2_KEY_PAIR NewSm2Key(unsigned short usFid)
    {
        _QV_SM2_KEY_PAIR k = {};
        EXPECT_EQ(0u, ctx.GetAPDUKey()->GenSm2KeyPair(auth, 0, usFid));
        EXPECT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, usFid, TOKEN_ALG_SM2, &k));
        return k;
    }

    /* SM4 of one block through the token's key slot (ECB). */
    Bytes SlotEncrypt(const Bytes &block)
    {
        CAPDUCrypto *c = ctx.GetAPDUCrypto();
        unsigned char iv[16] = {0};
        EXPECT_EQ(0u, c->SymEncryptInit(1, 0, 0, SYM_SPEC_SM4_ECB, iv, 16));
        unsigned char out[128];
        unsigned int len = sizeof(out);
        EXPECT_EQ(0u, c->SymEncryptFinal(1, 0, 0, (unsigned char *)block.data(), (unsigned int)block.size(), out, &len));
        return Bytes(out, out + len);
    }

    vtoken::Daemon daemon;
    CDeviceContext ctx;
    bool m_bOpen = false;
    std::string m_strSerial;
    unsigned char *auth = nullptr;
};

/* ---- containers ---- */

TEST_F(TokenDataTest, ContainersAreCreatedListedOpenedAndDeleted)
{
    Open(1);
    CAPDUContainer *c = ctx.GetAPDUContainer();
    const char *names[] = {"one", "two", "three", "four", "five"};
    for (const char *n : names) ASSERT_EQ(0u, c->CreateContainer(auth, 0, (char *)n)) << n;
    EXPECT_EQ(Sw(0xF104), c->CreateContainer(auth, 0, (char *)"six"));
    EXPECT_EQ(Sw(0x6A89), c->CreateContainer(auth, 0, (char *)"two"));

    char list[256];
    unsigned int len = sizeof(list);
    ASSERT_EQ(0u, c->EnumContainer(0, list, &len));
    ASSERT_EQ(250u, len);
    for (unsigned int i = 0; i < 5; ++i) {
        const unsigned char *rec = (const unsigned char *)list + 50 * i;
        EXPECT_EQ(strlen(names[i]), rec[9]);
        EXPECT_STREQ(names[i], (const char *)rec + 10);
        EXPECT_EQ(0, rec[0]);
        EXPECT_EQ(0, rec[3] & 3);
    }

    unsigned char desc[8];
    unsigned int descLen = sizeof(desc);
    ASSERT_EQ(0u, c->OpenContainer((char *)"one", desc, &descLen));
    EXPECT_EQ(Bytes(list, list + 8), Bytes(desc, desc + 8));
    EXPECT_EQ(0u, c->DeleteContainerByName(auth, 0, (char *)"two"));
    EXPECT_EQ(Sw(0x6A88), c->DeleteContainerByName(auth, 0, (char *)"two"));
    EXPECT_EQ(Sw(0x6A88), c->OpenContainer((char *)"Two", (unsigned char *)list, &len));
    len = sizeof(list);
    ASSERT_EQ(0u, c->EnumContainer(0, list, &len));
    EXPECT_EQ(200u, len);
    EXPECT_EQ(0u, c->CreateContainer(auth, 0, (char *)"six"));
}

TEST_F(TokenDataTest, KeyAndCertificateWritesAreNotedInTheRecord)
{
    Open(2);
    unsigned short base = NewContainer("rec");
    NewSm2Key(base | 2);
    Bytes cert = Random(600);
    for (unsigned int at = 0; at < cert.size(); at += 256) {
        unsigned int n = cert.size() - at < 256 ? (unsigned int)(cert.size() - at) : 256;
        ASSERT_EQ(0u, ctx.GetAPDUKey()->WriteCert(ApduChunkFlags(at == 0, at + n == cert.size()), auth, 0, base | 2,
                                                  (unsigned short)at, cert.data() + at, n));
    }
    unsigned char desc[8];
    unsigned int len = sizeof(desc);
    ASSERT_EQ(0u, ctx.GetAPDUContainer()->OpenContainer((char *)"rec", desc, &len));
    EXPECT_EQ(2, desc[0]);
    EXPECT_EQ(0, desc[4]);
    EXPECT_EQ(0x11, desc[6]);
    EXPECT_EQ(1, desc[7]);
    unsigned char back[600];
    len = 300;
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ReadCert(0, base | 2, 0, back, &len));
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ReadCert(0, base | 2, 300, back + 300, &len));
    EXPECT_EQ(cert, Bytes(back, back + 600));
}

TEST_F(TokenDataTest, CommandsWithoutAValidAuthorisationCodeAreRefused)
{
    Open(3);
    unsigned short base = NewContainer("auth");
    NewSm2Key(base | 2);
    unsigned char wrong[16] = {0};
    unsigned char out[256];
    unsigned int len = sizeof(out);
    EXPECT_EQ(Sw(0x6982), ctx.GetAPDUContainer()->CreateContainer(wrong, 0, (char *)"x"));
    EXPECT_EQ(Sw(0x6982), ctx.GetAPDUKey()->GenSm2KeyPair(wrong, 0, base | 1));
    EXPECT_EQ(Sw(0x6982), ctx.GetAPDUCrypto()->SM2SignDigest(wrong, 0, base | 2, out, 32, out, &len));
    ASSERT_EQ(0u, ctx.GetAPDUPin()->ClearAuthCode(0));
    EXPECT_EQ(Sw(0x6982), ctx.GetAPDUContainer()->DeleteContainerByName(auth, 0, (char *)"auth"));
}

/* ---- files ---- */

class FileVTokenTest : public TokenDataTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(FileVTokenTest, WrittenBytesReadBackInEveryChunkPattern)
{
    unsigned int size = GetParam();
    Open(10 + (size & 0xF) + (size >> 12));
    CAPDUFile *f = ctx.GetAPDUFile();
    ASSERT_EQ(0u, f->CreateDataFile(0, 0x1001, (unsigned short)size));
    EXPECT_EQ(Sw(0x6A89), f->CreateDataFile(0, 0x1001, 8));
    Bytes data(size, 0);
    unsigned int len = size;
    ASSERT_EQ(0u, f->ReadFile(0, 0x1001, 0, data.data(), &len));
    EXPECT_EQ(Bytes(size, 0xFF), data);
    data = Random(size);
    ASSERT_EQ(0u, f->WriteFile(0, 0x1001, 0, data.data(), size));
    Bytes back(size + 1, 0);
    len = size;
    ASSERT_EQ(0u, f->ReadFile(0, 0x1001, 0, back.data(), &len));
    EXPECT_EQ(size, len);
    back.resize(size);
    EXPECT_EQ(data, back);
    unsigned char info[2];
    len = sizeof(info);
    ASSERT_EQ(0u, f->GetFileInfo(0, 0x1001, 0, info, &len));
    EXPECT_EQ(size, ((unsigned int)info[0] << 8) | info[1]);

    /* Outside the file: an error, never a short success. */
    back.assign(size + 1, 0);
    len = size + 1;
    EXPECT_EQ(Sw(0x6B00), f->ReadFile(0, 0x1001, 0, back.data(), &len));
    EXPECT_EQ(Sw(0x6B00), f->WriteFile(0, 0x1001, (unsigned short)size, data.data(), 1));

    ASSERT_EQ(0u, f->DeleteDataFile(0, 0x1001));
    EXPECT_EQ(Sw(0xF102), f->GetFileInfo(0, 0x1001, 0, nullptr, nullptr));
    len = 1;
    EXPECT_EQ(Sw(0xF102), f->ReadFile(0, 0x1001, 0, back.data(), &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(Sw(0xF102), f->DeleteDataFile(0, 0x1001));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileVTokenTest, ::testing::Values(1u, 256u, 257u, 0x8000u));

TEST_F(TokenDataTest, FreshTokenHoldsTheObjectRecordFile)
{
    Open(20);
    unsigned char info[20];
    unsigned int len = sizeof(info);
    ASSERT_EQ(0u, ctx.GetAPDUFile()->GetFileInfo(0, 0xD000, 1, info, &len));
    EXPECT_EQ(20u, len);
    EXPECT_EQ(592u, ((unsigned int)info[0] << 8) | info[1]);
    Bytes rec(592, 0xEE);
    len = 592;
    ASSERT_EQ(0u, ctx.GetAPDUFile()->ReadFile(0, 0xD000, 0, rec.data(), &len));
    EXPECT_EQ(Bytes(592, 0), rec);
    unsigned char app[72];
    len = sizeof(app);
    EXPECT_EQ(0u, ctx.GetAPDUFile()->OpenApplication(0, app, &len));
    EXPECT_EQ(72u, len);
}

TEST_F(TokenDataTest, DataSurvivesADaemonRestart)
{
    Open(48);
    unsigned short base = NewContainer("keep");
    _QV_SM2_KEY_PAIR k = NewSm2Key(base | 2);
    Bytes data = Random(300);
    ASSERT_EQ(0u, ctx.GetAPDUFile()->CreateDataFile(0, 0x2002, 300));
    ASSERT_EQ(0u, ctx.GetAPDUFile()->WriteFile(0, 0x2002, 0, data.data(), 300));
    ctx.Close();
    m_bOpen = false;
    daemon.Restart();
    ASSERT_EQ(0u, ctx.Open(DRIVER_TYPE_USB_BULK, DeviceNameOf(BUS, 48).c_str(), true));
    m_bOpen = true;
    _QV_SM2_KEY_PAIR back = {};
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, base | 2, TOKEN_ALG_SM2, &back));
    EXPECT_EQ(XY(k), XY(back));
    Bytes read(300);
    unsigned int len = 300;
    ASSERT_EQ(0u, ctx.GetAPDUFile()->ReadFile(0, 0x2002, 0, read.data(), &len));
    EXPECT_EQ(data, read);
    unsigned char desc[8];
    len = sizeof(desc);
    ASSERT_EQ(0u, ctx.GetAPDUContainer()->OpenContainer((char *)"keep", desc, &len));
    EXPECT_EQ(0x11, desc[6]);
}

/* ---- key pairs and private-key operations ---- */

TEST_F(TokenDataTest, Sm2SignatureOfADigestVerifiesWithOpenSsl)
{
    Open(21);
    unsigned short base = NewContainer("sm2");
    _QV_SM2_KEY_PAIR k = NewSm2Key(base | 2);
    Bytes e = Random(32), rs(64);
    unsigned int len = 64;
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
    EVP_PKEY *pub = Sm2Key(XY(k), nullptr);
    EXPECT_TRUE(Sm2VerifyE(pub, e, rs));
    e[0] ^= 1;
    EXPECT_FALSE(Sm2VerifyE(pub, e, rs));
    EVP_PKEY_free(pub);
    /* No key there: refused. */
    EXPECT_EQ(Sw(0x6A88), ctx.GetAPDUCrypto()->SM2SignDigest(auth, 0, base | 1, e.data(), 32, rs.data(), &len));
}

TEST_F(TokenDataTest, SigningWaitsForTheButton)
{
    Open(22);
    unsigned short base = NewContainer("button");
    NewSm2Key(base | 2);
    daemon.SetButton(m_strSerial, "after:2");
    Bytes e = Random(32), rs(64);
    unsigned int len = 64;
    CAPDUCrypto *c = ctx.GetAPDUCrypto();
    EXPECT_EQ(Sw(0xF321), c->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
    EXPECT_EQ(Sw(0xF321), c->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
    EXPECT_EQ(0u, c->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
    /* A PIN status query of the user PIN cancels the wait. */
    EXPECT_EQ(Sw(0xF321), c->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
    unsigned char s0 = 0;
    ASSERT_EQ(0u, ctx.GetAPDUPin()->GetPINStatus(0, 1, &s0, nullptr, nullptr, nullptr));
    EXPECT_EQ(Sw(0xF321), c->SM2SignDigest(auth, 0, base | 2, e.data(), 32, rs.data(), &len));
}

class RsaVTokenTest : public TokenDataTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(RsaVTokenTest, RawPrivateOperationMakesAVerifyingSignature)
{
    unsigned char alg = (unsigned char)GetParam();
    unsigned int k = alg == TOKEN_ALG_RSA2048 ? 256 : 128;
    Open(30 + alg);
    unsigned short base = NewContainer("rsa");
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenRsaKeyPair(alg, auth, 0, base | 2, 65537));
    _QV_RSA_KEY_PAIR pub = {};
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, base | 2, alg, &pub));
    ASSERT_EQ(k, pub.NLen);
    EXPECT_EQ(Bytes({0, 1, 0, 1}), Bytes(pub.E, pub.E + 4));

    /* PKCS #1 v1.5 block of a SHA-256 digest, built as the middleware does. */
    Bytes msg = Random(100);
    unsigned char digest[32];
    unsigned int dLen = 0;
    EVP_Digest(msg.data(), msg.size(), digest, &dLen, EVP_sha256(), nullptr);
    static const unsigned char INFO[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes block(k, 0xFF);
    block[0] = 0;
    block[1] = 1;
    size_t t = sizeof(INFO) + 32;
    block[k - t - 1] = 0;
    std::copy(INFO, INFO + sizeof(INFO), block.end() - t);
    std::copy(digest, digest + 32, block.end() - 32);
    Bytes sig(k);
    unsigned int len = k;
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->RSAPriKeyRaw(auth, 0, base | 2, alg, block.data(), k, sig.data(), &len));
    ASSERT_EQ(k, len);

    EVP_PKEY *key = RsaPublic(Bytes(pub.N, pub.N + k), Bytes(pub.E, pub.E + 4));
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    EVP_DigestVerifyInit(md, &pctx, EVP_sha256(), nullptr, key);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
    EXPECT_EQ(1, EVP_DigestVerify(md, sig.data(), k, msg.data(), msg.size()));
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);

    /* An input not below n, or not k bytes, is refused. */
    Bytes high(k, 0xFF);
    len = k;
    EXPECT_EQ(Sw(0x6A80), ctx.GetAPDUCrypto()->RSAPriKeyRaw(auth, 0, base | 2, alg, high.data(), k, sig.data(), &len));
    EXPECT_EQ(Sw(0x6A80), ctx.GetAPDUCrypto()->RSAPriKeyRaw(auth, 0, base | 2, alg, block.data(), k - 1, sig.data(), &len));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RsaVTokenTest, ::testing::Values(1u, 7u));

TEST_F(TokenDataTest, ImportedSm2KeyRoundTrips)
{
    Open(40);
    unsigned short base = NewContainer("import");
    _QV_SM2_KEY_PAIR wrap = NewSm2Key(base | 2);

    /* The key to import, made by OpenSSL. */
    EVP_PKEY *mine = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    BIGNUM *bd = nullptr;
    EVP_PKEY_get_bn_param(mine, OSSL_PKEY_PARAM_PRIV_KEY, &bd);
    Bytes d(32);
    BN_bn2binpad(bd, d.data(), 32);
    BN_clear_free(bd);
    unsigned char pub65[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(mine, OSSL_PKEY_PARAM_PUB_KEY, pub65, 65, &n);
    Bytes xy(pub65 + 1, pub65 + 65);

    /* The Version-1 record: the symmetric key under the signature key, the
     * private key under the symmetric key. */
    Bytes sym = Random(16);
    _QV_SM2_KEY_PAIR wrapPub = wrap;
    unsigned char c1c2c3[16 + 97];
    unsigned int cLen = sizeof(c1c2c3);
    ASSERT_EQ(0u, SM2_Encrypt(&wrapPub, sym.data(), 16, c1c2c3, &cLen));
    auto record = [&](const Bytes &pubXY) {
        Bytes r;
        auto u32 = [&r](unsigned int v) {
            for (int s = 24; s >= 0; s -= 8) r.push_back((unsigned char)(v >> s));
        };
        u32(0x00020200);
        u32(0x401);
        u32(256);
        r.insert(r.end(), c1c2c3 + 1, c1c2c3 + 65);
        r.insert(r.end(), c1c2c3 + 65 + 16, c1c2c3 + 65 + 16 + 32);
        u32(16);
        r.insert(r.end(), c1c2c3 + 65, c1c2c3 + 65 + 16);
        u32(256);
        r.insert(r.end(), pubXY.begin(), pubXY.end());
        u32(32);
        Bytes enc = Sm4(true, 1, sym, {}, d, false);
        r.insert(r.end(), enc.begin(), enc.end());
        return r;
    };
    /* A record whose public key is not d.G is refused. */
    Bytes wrongXY = XY(wrap);
    Bytes bad = record(wrongXY);
    EXPECT_EQ(Sw(0x6A80), ctx.GetAPDUKey()->ImportSm2KeyPair(auth, 0, base | 1, bad.data(), (unsigned int)bad.size()));
    Bytes rec = record(xy);
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportSm2KeyPair(auth, 0, base | 1, rec.data(), (unsigned int)rec.size()));

    _QV_SM2_KEY_PAIR back = {};
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, base | 1, TOKEN_ALG_SM2, &back));
    EXPECT_EQ(xy, XY(back));
    Bytes e = Random(32), rs(64);
    unsigned int len = 64;
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->SM2SignDigest(auth, 0, base | 1, e.data(), 32, rs.data(), &len));
    EXPECT_TRUE(Sm2VerifyE(mine, e, rs));
    EVP_PKEY_free(mine);
}

TEST_F(TokenDataTest, MessageSignaturesVerifyWithOpenSsl)
{
    Open(46);
    unsigned short base = NewContainer("msg");
    _QV_SM2_KEY_PAIR k = NewSm2Key(base | 2);
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenRsaKeyPair(TOKEN_ALG_RSA1024, auth, 0, base | 1, 65537));
    _QV_RSA_KEY_PAIR rsa = {};
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, base | 1, TOKEN_ALG_RSA1024, &rsa));
    daemon.SetButton(m_strSerial, "after:1");
    for (size_t size : {0u, 600u}) {
        Bytes msg = Random(size);
        unsigned char sig[128];
        unsigned int len = 64;
        ASSERT_EQ(0u, ctx.GetAPDUCrypto()->SM2SignDisp(auth, 0, base | 2, msg.data(), (unsigned int)size, sig, &len));
        ASSERT_EQ(64u, len);
        EVP_PKEY *pub = Sm2Key(XY(k), nullptr);
        ECDSA_SIG *es = ECDSA_SIG_new();
        ECDSA_SIG_set0(es, BN_bin2bn(sig, 32, nullptr), BN_bin2bn(sig + 32, 32, nullptr));
        unsigned char *der = nullptr;
        int derLen = i2d_ECDSA_SIG(es, &der);
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr);
        EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, pub);
        EXPECT_EQ(1, EVP_DigestVerify(md, der, (size_t)derLen, msg.data(), msg.size())) << size;
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        OPENSSL_free(der);
        ECDSA_SIG_free(es);
        EVP_PKEY_free(pub);

        len = 128;
        ASSERT_EQ(0u, ctx.GetAPDUCrypto()->RSASignDisp(auth, 0, base | 1, TOKEN_ALG_RSA1024, 12, msg.data(),
                                                       (unsigned int)size, sig, &len));
        ASSERT_EQ(128u, len);
        EVP_PKEY *rpub = RsaPublic(Bytes(rsa.N, rsa.N + 128), Bytes(rsa.E, rsa.E + 4));
        EVP_MD_CTX *rmd = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(rmd, nullptr, EVP_sha256(), nullptr, rpub);
        EXPECT_EQ(1, EVP_DigestVerify(rmd, sig, 128, msg.data(), msg.size())) << size;
        EVP_MD_CTX_free(rmd);
        EVP_PKEY_free(rpub);
    }
}

TEST_F(TokenDataTest, ImportedRsaKeysWorkAndUnwrapSessionKeys)
{
    Open(47);
    unsigned short base = NewContainer("rsaimp");
    for (unsigned char alg : {TOKEN_ALG_RSA1024, TOKEN_ALG_RSA2048}) {
        unsigned int k = alg == TOKEN_ALG_RSA2048 ? 256 : 128;
        EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)(8 * k));
        BIGNUM *bn = nullptr, *bd = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &bn);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &bd);
        Bytes material(3 * k, 0);
        BN_bn2binpad(bn, material.data(), (int)k);
        BN_bn2binpad(bd, material.data() + k, (int)k);
        material[2 * k] = 1; /* 65537 as three bytes followed by zeros */
        material[2 * k + 2] = 1;
        BN_free(bn);
        BN_clear_free(bd);
        bool encrypted = alg == TOKEN_ALG_RSA2048;
        if (encrypted) {
            /* The material under the key slot's key (SM4-ECB). */
            Bytes kek = Random(16);
            ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportSymKey(0, 0, SYM_SPEC_SM4_ECB, kek.data(), 16));
            material.resize(768, 0);
            material = Sm4(true, 1, kek, {}, material, false);
        }
        ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportRsaKeyPair(alg, auth, 0, base | 1, material.data(),
                                                         (unsigned int)material.size(), encrypted));
        _QV_RSA_KEY_PAIR pub = {};
        ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportPublicKey(0, base | 1, alg, &pub));
        Bytes n(k);
        BIGNUM *bn2 = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &bn2);
        BN_bn2binpad(bn2, n.data(), (int)k);
        BN_free(bn2);
        EXPECT_EQ(n, Bytes(pub.N, pub.N + k));
        EXPECT_EQ(Bytes({0, 1, 0, 1}), Bytes(pub.E, pub.E + 4));

        /* A session key wrapped with PKCS #1 v1.5 type 2 under it. */
        Bytes session = Random(16), block = Random(16);
        session[5] = alg;
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        unsigned char wrapped[256];
        size_t wLen = sizeof(wrapped);
        EVP_PKEY_encrypt_init(pctx);
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
        ASSERT_EQ(1, EVP_PKEY_encrypt(pctx, wrapped, &wLen, session.data(), 16));
        EVP_PKEY_CTX_free(pctx);
        ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportEncSymKey(auth, 0, base | 1, wrapped, (unsigned int)wLen));
        EXPECT_EQ(Sm4(true, 1, session, {}, block, false), SlotEncrypt(block));
        EVP_PKEY_free(key);
    }
}

/* ---- session keys ---- */

TEST_F(TokenDataTest, ImportedAndExportedSessionKeysMatchOpenSsl)
{
    Open(41);
    Bytes block = Random(16), key = Random(16);
    key[0] = 0x42;
    /* plain import */
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportSymKey(0, 0, SYM_SPEC_SM4_ECB, key.data(), 16));
    EXPECT_EQ(Sm4(true, 1, key, {}, block, false), SlotEncrypt(block));

    /* wrapped under a container's SM2 key, in C1 || C3 || C2 order */
    unsigned short base = NewContainer("wrap");
    _QV_SM2_KEY_PAIR k = NewSm2Key(base | 1);
    key[1] = 0x43;
    unsigned char c[16 + 97];
    unsigned int cLen = sizeof(c);
    ASSERT_EQ(0u, SM2_Encrypt(&k, key.data(), 16, c, &cLen));
    Bytes wrapped(c, c + 65);
    wrapped.insert(wrapped.end(), c + 81, c + 113);
    wrapped.insert(wrapped.end(), c + 65, c + 81);
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportEncSymKey(auth, 0, base | 1, wrapped.data(), (unsigned int)wrapped.size()));
    EXPECT_EQ(Sm4(true, 1, key, {}, block, false), SlotEncrypt(block));

    /* exported under an OpenSSL key */
    EVP_PKEY *peer = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    unsigned char pub65[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(peer, OSSL_PKEY_PARAM_PUB_KEY, pub65, 65, &n);
    unsigned char out[122];
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ExportSessionKey(0, SYM_SPEC_SM4_ECB, pub65 + 1, 64, out, &len));
    ASSERT_EQ(120u, len);
    Bytes session = Sm2DecryptAnswer(peer, Bytes(out, out + len));
    ASSERT_EQ(16u, session.size());
    EXPECT_EQ(Sm4(true, 1, session, {}, block, false), SlotEncrypt(block));
    EVP_PKEY_free(peer);
}

TEST_F(TokenDataTest, AgreedKeysMatchTheSoftwareSideOfTheExchange)
{
    Open(42);
    unsigned short base = NewContainer("agree");
    _QV_SM2_KEY_PAIR tk = NewSm2Key(base | 1);
    Bytes tokenPub = SoftParty::Compact(tk.X, tk.Y);
    Bytes tokenId = {'t', 'o', 'k', 'e', 'n'};
    Bytes block = Random(16);

    /* The token responds to a software initiator. */
    SoftParty a("alice@example");
    unsigned char out[72];
    unsigned int len = sizeof(out);
    Bytes aPub = a.Pub(), aTemp = a.Temp();
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenerateAgreementDataAndKeyWithECC(
                      0, base | 1, SYM_SPEC_SM4_ECB, aPub.data(), 68, aTemp.data(), 68, a.id.data(),
                      (unsigned int)a.id.size(), tokenId.data(), (unsigned int)tokenId.size(), out, &len));
    ASSERT_EQ(68u, len);
    Bytes keyA = a.Agree(tokenPub, Bytes(out, out + 68), tokenId, true);
    EXPECT_EQ(Sm4(true, 1, keyA, {}, block, false), SlotEncrypt(block));

    /* The token initiates; the software responds. */
    len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenerateAgreementDataWithECC(0, base | 1, SYM_SPEC_SM4_ECB, tokenId.data(),
                                                                 (unsigned int)tokenId.size(), out, &len));
    ASSERT_EQ(72u, len);
    unsigned int param = ((unsigned int)out[68] << 24) | ((unsigned int)out[69] << 16) | (out[70] << 8) | out[71];
    SoftParty b("bob");
    Bytes keyB = b.Agree(tokenPub, Bytes(out, out + 68), tokenId, false);
    Bytes bPub = b.Pub(), bTemp = b.Temp();
    unsigned int keyId = 0xFFFF;
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenerateKeyWithECC(0, base | 1, param, bPub.data(), 68, bTemp.data(), 68,
                                                       b.id.data(), (unsigned int)b.id.size(), &keyId));
    EXPECT_EQ(0u, keyId);
    EXPECT_EQ(Sm4(true, 1, keyB, {}, block, false), SlotEncrypt(block));
    /* The agreement is used up. */
    EXPECT_EQ(Sw(0x6A88), ctx.GetAPDUKey()->GenerateKeyWithECC(0, base | 1, param, bPub.data(), 68, bTemp.data(),
                                                               68, b.id.data(), (unsigned int)b.id.size(), &keyId));
}

TEST_F(TokenDataTest, Sm1IsRefusedAsNotSupported)
{
    Open(43);
    Bytes key = Random(16);
    unsigned char iv[16] = {0};
    EXPECT_EQ(Sw(0x6D00), ctx.GetAPDUKey()->ImportSymKey(0, 0, SYM_SPEC_SM1_ECB, key.data(), 16));
    ASSERT_EQ(0u, ctx.GetAPDUKey()->ImportSymKey(0, 0, SYM_SPEC_SM4_CBC, key.data(), 16));
    EXPECT_EQ(Sw(0x6D00), ctx.GetAPDUCrypto()->SymEncryptInit(1, 0, 0, SYM_SPEC_SM1_CBC, iv, 16));
    void *h = nullptr;
    EXPECT_EQ(Sw(0x6D00), CGMSymKeyHandle::Initialize(&ctx, SC_ALG_SM1, 1, SC_MODE_ECB, key.data(), nullptr, &h));
    EXPECT_EQ(nullptr, h);
}

TEST_F(TokenDataTest, RandomNumbersHaveTheLengthAsked)
{
    Open(44);
    unsigned char a[64] = {0}, b[64] = {0};
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenRandom(64, a));
    ASSERT_EQ(0u, ctx.GetAPDUKey()->GenRandom(64, b));
    EXPECT_NE(0, memcmp(a, b, 64));
    EXPECT_EQ(0u, ctx.GetAPDUKey()->GenRandom(0, a));
}

TEST_F(TokenDataTest, ExternalSm2CommandsAgreeWithOpenSsl)
{
    Open(45);
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    unsigned char pub65[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, pub65, 65, &n);
    BIGNUM *bd = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &bd);
    Bytes d(32);
    BN_bn2binpad(bd, d.data(), 32);
    BN_clear_free(bd);

    /* 121 to 128 bytes need 104 + L answer bytes. */
    Bytes plain = Random(128);
    unsigned char out[300];
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->ExtSM2Encrypt(pub65 + 1, 64, plain.data(), 128, out, &len));
    ASSERT_EQ(232u, len);
    Bytes answer(out, out + len);
    EXPECT_EQ(plain, Sm2DecryptAnswer(key, answer));

    /* Decrypt: X Y C3, L, C2 (the middleware's input form), L ≤ 120. */
    len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->ExtSM2Encrypt(pub65 + 1, 64, plain.data(), 100, out, &len));
    Bytes input(out + 4, out + len);
    len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->ExtSM2Decrypt(d.data(), 32, input.data(), (unsigned int)input.size(), out, &len));
    ASSERT_EQ(104u, len);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 100), Bytes(out + 4, out + 104));

    Bytes e = Random(32);
    len = sizeof(out);
    ASSERT_EQ(0u, ctx.GetAPDUCrypto()->ExtSM2SignHash(d.data(), 32, e.data(), 32, out, &len));
    ASSERT_EQ(64u, len);
    EXPECT_TRUE(Sm2VerifyE(key, e, Bytes(out, out + 64)));
    EVP_PKEY_free(key);
}

/* ---- the on-token cipher handle ---- */

struct HandleCase {
    const char *name;
    unsigned char mode;
    unsigned int len;
    unsigned int piece;  /* update size; 0: all at once */
};

class CipherHandleVTokenTest : public TokenDataTest, public ::testing::WithParamInterface<HandleCase> {};

/* Feeds data through a handle in pieces; the total output. */
Bytes RunCipher(CSymKeyHandle &h, const Bytes &in, unsigned int piece)
{
    Bytes out;
    size_t at = 0;
    do {
        size_t n = piece == 0 ? in.size() - at : std::min<size_t>(piece, in.size() - at);
        unsigned char buf[512];
        unsigned int len = sizeof(buf);
        EXPECT_EQ(0u, h.Update(const_cast<unsigned char *>(in.data()) + at, (unsigned int)n, buf, &len));
        out.insert(out.end(), buf, buf + len);
        at += n;
    } while (at < in.size());
    unsigned char buf[16];
    unsigned int len = sizeof(buf);
    EXPECT_EQ(0u, h.Final(buf, &len));
    out.insert(out.end(), buf, buf + len);
    return out;
}

TEST_P(CipherHandleVTokenTest, EqualsOpenSslSm4WithPkcs7)
{
    const HandleCase &c = GetParam();
    static unsigned int s_addr = 50;
    Open(s_addr++);
    Bytes key = Random(16), iv(16, 0x5C), plain = Random(c.len);
    key[3] = 0x99;
    void *pv = nullptr;
    ASSERT_EQ(0u, CGMSymKeyHandle::Initialize(&ctx, SC_ALG_SM4, SYM_CRYPT_ENCRYPT, c.mode, key.data(), iv.data(), &pv));
    CSymKeyHandle *h = static_cast<CSymKeyHandle *>(pv);
    Bytes expect = Sm4(true, c.mode, key, c.mode == SC_MODE_CBC ? iv : Bytes(), plain, true);
    Bytes cipher = RunCipher(*h, plain, c.piece);
    EXPECT_EQ(expect, cipher);
    ASSERT_EQ(0u, h->Init(SC_ALG_SM4, SYM_CRYPT_DECRYPT, c.mode, iv.data(), 1));
    EXPECT_EQ(plain, RunCipher(*h, cipher, c.piece == 0 ? 0 : c.piece + 3));
    /* The one-shot encryption of the base runs through the same slots. */
    ASSERT_EQ(0u, h->Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, c.mode, iv.data(), 1));
    Bytes once(c.len + 16);
    unsigned int len = (unsigned int)once.size();
    ASSERT_EQ(0u, h->Encrypt(plain.data(), c.len, once.data(), &len));
    once.resize(len);
    EXPECT_EQ(expect, once);
    delete h;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CipherHandleVTokenTest,
    ::testing::Values(HandleCase{"ecb_0", 1, 0, 0}, HandleCase{"ecb_15", 1, 15, 0}, HandleCase{"ecb_16", 1, 16, 0},
                      HandleCase{"ecb_17", 1, 17, 0}, HandleCase{"ecb_300", 1, 300, 0},
                      HandleCase{"ecb_300_pieces", 1, 300, 7}, HandleCase{"cbc_0", 2, 0, 0},
                      HandleCase{"cbc_15", 2, 15, 0}, HandleCase{"cbc_16", 2, 16, 0}, HandleCase{"cbc_17", 2, 17, 0},
                      HandleCase{"cbc_300", 2, 300, 0}, HandleCase{"cbc_300_pieces", 2, 300, 13},
                      HandleCase{"cbc_300_blocks", 2, 300, 33}),
    [](const ::testing::TestParamInfo<HandleCase> &i) { return std::string(i.param.name); });

}  // namespace
