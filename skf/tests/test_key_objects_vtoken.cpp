/* The key handle objects (symmetric keys, MACs, digests, agreement) end to
 * end against the virtual token, every result checked with OpenSSL; the
 * token's one key slot shared by handles of this process and of a peer
 * process.  Tokens on bus 21, each test at its own address. */
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "SarnCore/tests/Sm2SoftParty.h"
#include "SoftCrypto/SoftCrypto.h"
#include "log/ResultCodes.h"
#include "skf/SymKeyObject.h"
#include "skf/tests/FaultedKeyCommands.h"
#include "skf/tests/KeyObjectTestSupport.h"
#include "skf/tests/SkfTestToken.h"

namespace {

using keytest::Bytes;
using keytest::Hex;
using keytest::Pattern;

const unsigned int BUS = 21;

unsigned int Sw(unsigned int sw) { return 0x80000000u | sw; }

/* OpenSSL's cipher of data; empty on failure. */
Bytes Ossl(const EVP_CIPHER *cipher, bool bEncrypt, const Bytes &key, const Bytes &iv, const Bytes &in, bool bPad)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), bEncrypt) == 1;
    EVP_CIPHER_CTX_set_padding(ctx, bPad ? 1 : 0);
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), (int)in.size()) == 1 &&
         EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? (size_t)(n1 + n2) : 0);
    return out;
}

Bytes OsslDigest(const EVP_MD *md, const Bytes &in)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

BLOCKCIPHERPARAM Param(const Bytes &iv, unsigned int ulPadding)
{
    BLOCKCIPHERPARAM p = {};
    if (!iv.empty()) memcpy(p.IV, iv.data(), iv.size());
    p.IVLen = (ULONG)iv.size();
    p.PaddingType = ulPadding;
    return p;
}

/* The input pointer of a call: never null, also for no data (the SKF
 * functions refuse a null input). */
unsigned char *InPtr(const Bytes &in, size_t at)
{
    static unsigned char s_none[1];
    return in.empty() ? s_none : const_cast<unsigned char *>(in.data()) + at;
}

/* Feeds data through EncUpdate in chunks of `chunk` bytes (0: at once),
 * sizing each output by a size query first, then EncFinal. */
unsigned int RunCipher(CKeyObject &key, const Bytes &in, unsigned int chunk, Bytes &out)
{
    out.clear();
    size_t at = 0;
    do {
        size_t n = chunk == 0 ? in.size() - at : std::min<size_t>(chunk, in.size() - at);
        unsigned char *pIn = InPtr(in, at);
        unsigned int len = 0;
        if (unsigned int r = key.EncUpdate(pIn, (unsigned int)n, nullptr, &len)) return r;
        Bytes buf(len + 1);
        if (unsigned int r = key.EncUpdate(pIn, (unsigned int)n, buf.data(), &len)) return r;
        out.insert(out.end(), buf.begin(), buf.begin() + len);
        at += n;
    } while (at < in.size());
    unsigned int len = 0;
    if (unsigned int r = key.EncFinal(nullptr, &len)) return r;
    Bytes buf(len);
    if (unsigned int r = key.EncFinal(buf.data(), &len)) return r;
    out.insert(out.end(), buf.begin(), buf.begin() + len);
    return 0;
}

/* One-shot after EncInit: size query, then the call. */
unsigned int Once(CKeyObject &key, const Bytes &in, Bytes &out)
{
    unsigned int len = 0;
    unsigned char *pIn = InPtr(in, 0);
    if (unsigned int r = key.Encrypt(pIn, (unsigned int)in.size(), nullptr, &len)) return r;
    out.assign(len, 0);
    if (unsigned int r = key.Encrypt(pIn, (unsigned int)in.size(), out.data(), &len)) return r;
    out.resize(len);
    return 0;
}

class SkfKeyObjectTest : public SkfTokenTest {
protected:
    SkfKeyObjectTest() : SkfTokenTest(BUS) {}

    /* A symmetric key object on the open token; null when refused. */
    std::unique_ptr<CSymKeyObject> NewKey(unsigned int ulAlg, const Bytes &key, unsigned int *pulRet = nullptr)
    {
        std::unique_ptr<CSymKeyObject> k(new CSymKeyObject(Context()));
        unsigned int r = k->SetSymmKey(ulAlg, key.empty() ? nullptr : const_cast<unsigned char *>(key.data()));
        if (pulRet != nullptr) *pulRet = r;
        return k;
    }

    /* A new container with an SM2 exchange key pair (PIN verified); the
     * key's file id (0 on failure) and its public key. */
    unsigned short NewSm2Key(const char *szName, _QV_SM2_KEY_PAIR &pub)
    {
        CDeviceContext *ctx = Context();
        unsigned char *auth = ctx->GetDeviceHandle()->m_pbAuthCode;
        unsigned char desc[8] = {0};
        unsigned int len = sizeof(desc);
        if (ctx->SetSessionKey(false) != 0 || ctx->GetAPDUContainer()->CreateContainer(auth, 0, (char *)szName) != 0 ||
            ctx->GetAPDUContainer()->OpenContainer((char *)szName, desc, &len) != 0)
            return 0;
        unsigned short fid = (unsigned short)(((desc[2] << 8) | desc[3]) | 1);
        if (ctx->GetAPDUKey()->GenSm2KeyPair(auth, 0, fid) != 0 ||
            ctx->GetAPDUKey()->ExportPublicKey(0, fid, TOKEN_ALG_SM2, &pub) != 0)
            return 0;
        return fid;
    }

    /* A session key wrapped for the token under an SM2 key: C1 || C3 || C2. */
    static Bytes WrapForToken(_QV_SM2_KEY_PAIR &pub, const Bytes &session)
    {
        unsigned char c[16 + 97];
        unsigned int cLen = sizeof(c);
        if (SM2_Encrypt(&pub, const_cast<unsigned char *>(session.data()), 16, c, &cLen) != 0) return Bytes();
        Bytes wrapped(c, c + 65);
        wrapped.insert(wrapped.end(), c + 81, c + 113);
        wrapped.insert(wrapped.end(), c + 65, c + 81);
        return wrapped;
    }

    /* A key with a padded encryption started; null when that failed. */
    std::unique_ptr<CSymKeyObject> StartPadded(unsigned int ulAlg, const Bytes &key, const Bytes &iv)
    {
        auto k = NewKey(ulAlg, key);
        BLOCKCIPHERPARAM p = Param(iv, 1);
        if (k->EncInit(true, &p) != 0) k.reset();
        return k;
    }
};

/* ---- SM4 on the token and three-key 3DES in software against OpenSSL ---- */

struct CipherCase {
    unsigned int alg;
    unsigned int padding;
};

TEST_F(SkfKeyObjectTest, Sm4AndSoftware3DesEqualOpenSslOverLengthsAndChunks)
{
    OpenToken(1);
    const Bytes sm4Key = Pattern(16, 3), desKey = Pattern(24, 5), iv = Pattern(16, 9);
    const CipherCase cases[] = {
        {SGD_SMS4_ECB, 1}, {SGD_SMS4_ECB, 0}, {SGD_SMS4_CBC, 1}, {SGD_SMS4_CBC, 0},
        {ALG_SOFT_3DES_ECB, 1}, {ALG_SOFT_3DES_ECB, 0},
    };
    const unsigned int lengths[] = {0, 15, 16, 17, 300};
    const unsigned int chunks[] = {0, 7, 33};
    for (const CipherCase &c : cases) {
        bool bSoft = c.alg == ALG_SOFT_3DES_ECB;
        const Bytes &key = bSoft ? desKey : sm4Key;
        const EVP_CIPHER *cipher = bSoft ? EVP_des_ede3_ecb() : c.alg == SGD_SMS4_ECB ? EVP_sm4_ecb() : EVP_sm4_cbc();
        Bytes oiv = c.alg == SGD_SMS4_CBC ? iv : Bytes();
        auto k = NewKey(c.alg, key);
        for (unsigned int len : lengths) {
            for (unsigned int chunk : chunks) {
                SCOPED_TRACE(Hex({(unsigned char)c.alg, (unsigned char)c.padding, (unsigned char)len,
                                  (unsigned char)chunk}));
                Bytes plain = Pattern(len, len + 1);
                unsigned int block = bSoft ? 8 : 16;
                BLOCKCIPHERPARAM p = Param(iv, c.padding);
                Bytes cipherText;
                ASSERT_EQ(0u, k->EncInit(true, &p));
                unsigned int r = RunCipher(*k, plain, chunk, cipherText);
                if (c.padding == 0 && len % block != 0) {
                    /* Without padding a partial block cannot be finished. */
                    EXPECT_NE(0u, r);
                    Bytes once;
                    ASSERT_EQ(0u, k->EncInit(true, &p));
                    EXPECT_EQ(ERR_BAD_LENGTH, Once(*k, plain, once));
                    continue;
                }
                ASSERT_EQ(0u, r);
                Bytes expect = Ossl(cipher, true, key, oiv, plain, c.padding != 0);
                EXPECT_EQ(Hex(expect), Hex(cipherText));
                ASSERT_EQ(0u, k->EncInit(false, &p));
                Bytes back;
                ASSERT_EQ(0u, RunCipher(*k, cipherText, chunk == 0 ? 0 : chunk + 3, back));
                EXPECT_EQ(Hex(plain), Hex(back));
                /* The one-shot calls measure input in cipher blocks, as the
                 * updates do (8 bytes for the triple DES): each takes back
                 * what the other gave. */
                Bytes once;
                ASSERT_EQ(0u, k->EncInit(true, &p));
                ASSERT_EQ(0u, Once(*k, plain, once));
                EXPECT_EQ(Hex(expect), Hex(once));
                ASSERT_EQ(0u, k->EncInit(false, &p));
                ASSERT_EQ(0u, Once(*k, cipherText, once));
                EXPECT_EQ(Hex(plain), Hex(once));
            }
        }
    }
}

/* Update, final and the one-shot call keep to the caller's room: a size
 * query first, less room refused before anything is written. */
TEST_F(SkfKeyObjectTest, CipherOutputsKeepToTheCallersRoom)
{
    OpenToken(2);
    const Bytes iv = Pattern(16, 1);
    for (unsigned int alg : {(unsigned int)SGD_SMS4_CBC, (unsigned int)ALG_SOFT_3DES_ECB}) {
        SCOPED_TRACE(alg);
        bool bSoft = alg == ALG_SOFT_3DES_ECB;
        const EVP_CIPHER *cipher = bSoft ? EVP_des_ede3_ecb() : EVP_sm4_cbc();
        Bytes key = Pattern(bSoft ? 24 : 16, 4);
        /* After an update left bytes in the cipher state, the one-shot call
         * counts them: it writes no more than its size query announced. */
        auto k = StartPadded(alg, key, iv);
        ASSERT_NE(nullptr, k);
        Bytes head = Pattern(5, 2), tail = Pattern(16, 6);
        unsigned char none[1];
        unsigned int len = sizeof(none);
        ASSERT_EQ(0u, k->EncUpdate(head.data(), 5, none, &len));
        EXPECT_EQ(0u, len);
        len = 0;
        ASSERT_EQ(0u, k->Encrypt(tail.data(), 16, nullptr, &len));
        Bytes out(len + 16, 0xEE);
        unsigned int room = len;
        ASSERT_EQ(0u, k->Encrypt(tail.data(), 16, out.data(), &room));
        EXPECT_LE(room, len);
        for (size_t i = len; i < out.size(); ++i) ASSERT_EQ(0xEE, out[i]) << "written past the room at " << i;
        Bytes all = head;
        all.insert(all.end(), tail.begin(), tail.end());
        EXPECT_EQ(Hex(Ossl(cipher, true, key, bSoft ? Bytes() : iv, all, true)), Hex(Bytes(out.begin(), out.begin() + room)));

        /* Update: 40 bytes give the whole blocks; one byte less room is refused. */
        unsigned int block = bSoft ? 8 : 16;
        Bytes plain = Pattern(40, 8);
        k = StartPadded(alg, key, iv);
        ASSERT_NE(nullptr, k);
        len = 0;
        ASSERT_EQ(0u, k->EncUpdate(plain.data(), 40, nullptr, &len));
        EXPECT_EQ(40u / block * block, len);
        out.assign(64, 0xEE);
        room = len - 1;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->EncUpdate(plain.data(), 40, out.data(), &room));
        EXPECT_EQ(len, room);
        ASSERT_EQ(0u, k->EncUpdate(plain.data(), 40, out.data(), &room));
        Bytes cipherText(out.begin(), out.begin() + room);
        /* Final: the size query gives a block; less room is refused and the run goes on. */
        len = 0;
        ASSERT_EQ(0u, k->EncFinal(nullptr, &len));
        EXPECT_EQ(block, len);
        unsigned char last[16];
        memset(last, 0xEE, sizeof(last));
        room = block - 1;
        EXPECT_EQ(ERR_BUFFER_TOO_SMALL, k->EncFinal(last, &room));
        EXPECT_EQ(block, room);
        EXPECT_EQ(0xEE, last[0]);
        ASSERT_EQ(0u, k->EncFinal(last, &room));
        cipherText.insert(cipherText.end(), last, last + room);
        EXPECT_EQ(Hex(Ossl(cipher, true, key, bSoft ? Bytes() : iv, plain, true)), Hex(cipherText));
    }
}

/* ---- MAC: the last CBC block without padding ---- */

TEST_F(SkfKeyObjectTest, MacEqualsTheLastBlockOfOpenSslSm4Cbc)
{
    OpenToken(4);
    const Bytes key = Pattern(16, 11), iv = Pattern(16, 12);
    auto k = NewKey(SGD_SMS4_MAC, key);
    for (unsigned int len : {0u, 16u, 48u}) {
        SCOPED_TRACE(len);
        Bytes data = Pattern(len, 13);
        /* No data: the MAC of one zero block. */
        Bytes cbc = Ossl(EVP_sm4_cbc(), true, key, iv, len == 0 ? Bytes(16, 0) : data, false);
        Bytes expect(cbc.end() - 16, cbc.end());

        BLOCKCIPHERPARAM p = Param(iv, 1);
        void *pv = nullptr;
        ASSERT_EQ(0u, k->MacInit(&p, &pv));
        EXPECT_EQ(0u, p.PaddingType);
        std::unique_ptr<CKeyObject> mac(static_cast<CKeyObject *>(pv));
        unsigned char out[16];
        unsigned int outLen = sizeof(out);
        ASSERT_EQ(0u, mac->Mac(data.data(), len, out, &outLen));
        EXPECT_EQ(16u, outLen);
        EXPECT_EQ(Hex(expect), Hex(Bytes(out, out + 16)));

        /* The same in chunks: updates of whole blocks, then the final. */
        ASSERT_EQ(0u, k->MacInit(&p, &pv));
        mac.reset(static_cast<CKeyObject *>(pv));
        for (unsigned int at = 0; at < len; at += (at == 0 ? 16 : 32))
            ASSERT_EQ(0u, mac->MacUpdate(data.data() + at, at == 0 ? 16 : 32));
        outLen = sizeof(out);
        ASSERT_EQ(0u, mac->MacFinal(out, &outLen));
        EXPECT_EQ(Hex(expect), Hex(Bytes(out, out + 16)));
    }
}

TEST_F(SkfKeyObjectTest, MacEdgeCases)
{
    OpenToken(5);
    const Bytes key = Pattern(16, 1), iv = Pattern(16, 2);
    auto k = NewKey(SGD_SMS4_CBC, key);
    BLOCKCIPHERPARAM p = Param(iv, 0);
    void *pv = nullptr;
    ASSERT_EQ(0u, k->MacInit(&p, &pv));
    std::unique_ptr<CKeyObject> mac(static_cast<CKeyObject *>(pv));
    Bytes data = Pattern(32, 3);
    EXPECT_EQ((unsigned int)SAR_INDATALENERR, mac->MacUpdate(data.data(), 15));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, mac->MacUpdate(data.data(), 0));
    unsigned int len = 0;
    EXPECT_EQ(0u, mac->MacFinal(nullptr, &len));
    EXPECT_EQ(16u, len);
    unsigned char out[16];
    len = 15;
    EXPECT_EQ((unsigned int)SAR_BUFFER_TOO_SMALL, mac->Mac(data.data(), 16, out, &len));
    EXPECT_EQ(16u, len);
    /* 32 bytes: the first block is enciphered, the second held back for the final. */
    ASSERT_EQ(0u, mac->MacUpdate(data.data(), 32));
    len = sizeof(out);
    ASSERT_EQ(0u, mac->MacFinal(out, &len));
    Bytes cbc = Ossl(EVP_sm4_cbc(), true, key, iv, data, false);
    EXPECT_EQ(Hex(Bytes(cbc.end() - 16, cbc.end())), Hex(Bytes(out, out + 16)));
    /* Mac over one block: E(IV xor data). */
    ASSERT_EQ(0u, k->MacInit(&p, &pv));
    mac.reset(static_cast<CKeyObject *>(pv));
    len = sizeof(out);
    ASSERT_EQ(0u, mac->Mac(data.data(), 16, out, &len));
    Bytes x(16);
    for (int i = 0; i < 16; ++i) x[i] = data[i] ^ iv[i];
    EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, key, {}, x, false)), Hex(Bytes(out, out + 16)));

    /* The software triple DES: blocks of 8. */
    auto des = NewKey(ALG_SOFT_3DES_ECB, Pattern(24, 7));
    ASSERT_EQ(0u, des->MacInit(&p, &pv));
    mac.reset(static_cast<CKeyObject *>(pv));
    len = 0;
    EXPECT_EQ(0u, mac->MacFinal(nullptr, &len));
    EXPECT_EQ(8u, len);
    len = sizeof(out);
    ASSERT_EQ(0u, mac->Mac(data.data(), 24, out, &len));
    EXPECT_EQ(8u, len);
    Bytes desCbc = Ossl(EVP_des_ede3_cbc(), true, Pattern(24, 7), Bytes(iv.begin(), iv.begin() + 8),
                        Bytes(data.begin(), data.begin() + 24), false);
    EXPECT_EQ(Hex(Bytes(desCbc.end() - 8, desCbc.end())), Hex(Bytes(out, out + 8)));
}

/* A MAC borrows its key's cipher: closing them in either order is safe and
 * the MAC stays usable after its key was closed. */
TEST_F(SkfKeyObjectTest, MacOutlivesItsKeyInEitherOrderOfClosing)
{
    OpenToken(6);
    const Bytes key = Pattern(16, 21), iv = Pattern(16, 22), data = Pattern(32, 23);
    Bytes cbc = Ossl(EVP_sm4_cbc(), true, key, iv, data, false);
    for (bool bKeyFirst : {true, false}) {
        SCOPED_TRACE(bKeyFirst);
        CKeyObject *k = NewKey(SGD_SMS4_CBC, key).release();
        BLOCKCIPHERPARAM p = Param(iv, 0);
        void *pv = nullptr;
        ASSERT_EQ(0u, k->MacInit(&p, &pv));
        CKeyObject *mac = static_cast<CKeyObject *>(pv);
        ASSERT_EQ(0u, mac->MacUpdate(const_cast<unsigned char *>(data.data()), 16));
        if (bKeyFirst) delete k;
        ASSERT_EQ(0u, mac->MacUpdate(const_cast<unsigned char *>(data.data()) + 16, 16));
        unsigned char out[16];
        unsigned int len = sizeof(out);
        ASSERT_EQ(0u, mac->MacFinal(out, &len));
        EXPECT_EQ(Hex(Bytes(cbc.end() - 16, cbc.end())), Hex(Bytes(out, out + 16)));
        delete mac;
        if (!bKeyFirst) delete k;
    }
}

/* A MAC and an encryption on one key share its cipher: the run that was
 * replaced is refused, never continued on the other's chain. */
TEST_F(SkfKeyObjectTest, ARunReplacedByAMacOnTheSameKeyIsRefused)
{
    OpenToken(7);
    const Bytes key = Pattern(16, 31), iv = Pattern(16, 32), data = Pattern(32, 33);
    auto k = StartPadded(SGD_SMS4_CBC, key, iv);
    ASSERT_NE(nullptr, k);
    BLOCKCIPHERPARAM p = Param(iv, 1);
    unsigned char out[64];
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, k->EncUpdate(const_cast<unsigned char *>(data.data()), 16, out, &len));
    void *pv = nullptr;
    ASSERT_EQ(0u, k->MacInit(&p, &pv));
    std::unique_ptr<CKeyObject> mac(static_cast<CKeyObject *>(pv));
    len = sizeof(out);
    EXPECT_EQ((unsigned int)SAR_NOTINITIALIZEERR, k->EncUpdate(const_cast<unsigned char *>(data.data()), 16, out, &len));
    len = sizeof(out);
    EXPECT_EQ((unsigned int)SAR_NOTINITIALIZEERR, k->EncFinal(out, &len));
    len = sizeof(out);
    ASSERT_EQ(0u, mac->Mac(const_cast<unsigned char *>(data.data()), 32, out, &len));
    Bytes cbc = Ossl(EVP_sm4_cbc(), true, key, iv, data, false);
    EXPECT_EQ(Hex(Bytes(cbc.end() - 16, cbc.end())), Hex(Bytes(out, out + 16)));
    /* A new run of the key works again; the MAC's run is over. */
    BLOCKCIPHERPARAM padded = Param(iv, 1);
    ASSERT_EQ(0u, k->EncInit(true, &padded));
    Bytes whole;
    ASSERT_EQ(0u, Once(*k, data, whole));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, key, iv, data, true)), Hex(whole));
    EXPECT_EQ((unsigned int)SAR_NOTINITIALIZEERR, mac->MacUpdate(const_cast<unsigned char *>(data.data()), 16));
}

/* ---- digests ---- */

TEST_F(SkfKeyObjectTest, DigestsEqualOpenSsl)
{
    OpenToken(8);
    struct {
        unsigned int id;
        const EVP_MD *md;
    } rows[] = {{SC_HASH_SHA1, EVP_sha1()}, {SC_HASH_SHA256, EVP_sha256()}, {SC_HASH_SM3, EVP_sm3()}};
    for (auto &row : rows) {
        for (unsigned int len : {0u, 3u, 64u, 1000u}) {
            SCOPED_TRACE(row.id * 10000 + len);
            Bytes data = Pattern(len, 41);
            data.reserve(1); /* a pointer also for no data */
            Bytes expect = OsslDigest(row.md, data);
            CDigestObject d(Context());
            ASSERT_EQ(0u, d.DigestInit(row.id));
            unsigned int n = 0;
            ASSERT_EQ(0u, d.Digest(data.data(), len, nullptr, &n));
            ASSERT_EQ(expect.size(), n);
            Bytes out(n);
            ASSERT_EQ(0u, d.Digest(data.data(), len, out.data(), &n));
            EXPECT_EQ(Hex(expect), Hex(out));
            ASSERT_EQ(0u, d.DigestInit(row.id));
            ASSERT_EQ(0u, d.DigestUpdate(data.data(), len / 2));
            ASSERT_EQ(0u, d.DigestUpdate(data.data() + len / 2, len - len / 2));
            n = (unsigned int)out.size();
            ASSERT_EQ(0u, d.DigestFinal(out.data(), &n));
            EXPECT_EQ(Hex(expect), Hex(out));
        }
    }
    CDigestObject none(Context());
    EXPECT_EQ((unsigned int)SAR_MEMORYERR, none.DigestInit(15));
    unsigned char buf[4];
    EXPECT_EQ(ERR_NO_CONTEXT, none.DigestUpdate(buf, 4));
    /* A symmetric key is no hash. */
    auto k = NewKey(SGD_SMS4_ECB, Pattern(16, 1));
    EXPECT_EQ((unsigned int)SAR_NOTSUPPORTYETERR, k->DigestUpdate(buf, 4));
    EXPECT_EQ((unsigned int)SAR_NOTSUPPORTYETERR, none.EncInit(true, nullptr));
}

/* ---- identifiers and keys without a cipher ---- */

TEST_F(SkfKeyObjectTest, IdentifierTableAndKeysWithoutACipher)
{
    OpenToken(9);
    const Bytes key = Pattern(16, 51), iv = Pattern(16, 52), data = Pattern(48, 53);
    /* The MAC identifier gives the CBC cipher. */
    auto mac = StartPadded(SGD_SMS4_MAC, key, iv);
    ASSERT_NE(nullptr, mac);
    BLOCKCIPHERPARAM p = Param(iv, 1);
    Bytes out;
    ASSERT_EQ(0u, Once(*mac, data, out));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, key, iv, data, true)), Hex(out));
    /* IVLen 8 is refused; IVLen 0 gives a zero IV. */
    BLOCKCIPHERPARAM p8 = Param(Bytes(8, 1), 1);
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, mac->EncInit(true, &p8));
    BLOCKCIPHERPARAM p0 = Param(Bytes(), 1);
    ASSERT_EQ(0u, mac->EncInit(true, &p0));
    ASSERT_EQ(0u, Once(*mac, data, out));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, key, Bytes(16, 0), data, true)), Hex(out));

    /* Refused identifiers and SM1 (which the virtual token does not offer)
     * leave an object without a cipher: clear codes, nothing dereferenced. */
    struct {
        unsigned int alg;
        unsigned int code;
    } refused[] = {{0x00000103, SAR_NOTSUPPORTYETERR}, {SGD_SM1_ECB, Sw(0x6D00)}, {SGD_SM1_CBC, Sw(0x6D00)}};
    for (auto &row : refused) {
        SCOPED_TRACE(row.alg);
        unsigned int r = 0;
        auto k = NewKey(row.alg, key, &r);
        EXPECT_EQ(row.code, r);
        unsigned char buf[64];
        unsigned int len = sizeof(buf);
        EXPECT_EQ((unsigned int)SAR_INVALIDHANDLEERR, k->EncInit(true, &p));
        EXPECT_EQ((unsigned int)SAR_INVALIDHANDLEERR, k->EncUpdate(buf, 16, buf, &len));
        EXPECT_EQ((unsigned int)SAR_INVALIDHANDLEERR, k->EncFinal(buf, &len));
        EXPECT_EQ((unsigned int)SAR_INVALIDHANDLEERR, k->Encrypt(buf, 16, buf, &len));
        void *pv = &len;
        EXPECT_EQ((unsigned int)SAR_INVALIDHANDLEERR, k->MacInit(&p, &pv));
        EXPECT_EQ((void *)&len, pv);
    }
    /* A cipher run must be started before it is continued. */
    auto k = NewKey(SGD_SMS4_ECB, key);
    unsigned char buf[32];
    unsigned int len = sizeof(buf);
    EXPECT_EQ((unsigned int)SAR_NOTINITIALIZEERR, k->EncUpdate(buf, 16, buf, &len));
    EXPECT_EQ((unsigned int)SAR_NOTINITIALIZEERR, k->Encrypt(buf, 16, buf, &len));
}

/* ---- the token's one key slot ---- */

/* Two handles with different keys, interleaved step by step, each give
 * what OpenSSL gives under its own key and chain. */
TEST_F(SkfKeyObjectTest, InterleavedHandlesEachKeepTheirKeyAndChain)
{
    OpenToken(10);
    const Bytes keyA = Pattern(16, 61), keyB = Pattern(16, 62), ivA = Pattern(16, 63), ivB = Pattern(16, 64);
    const Bytes dataA = Pattern(100, 65), dataB = Pattern(77, 66);
    for (unsigned int alg : {(unsigned int)SGD_SMS4_CBC, (unsigned int)SGD_SMS4_ECB}) {
        for (bool bEncrypt : {true, false}) {
            SCOPED_TRACE(alg * 2 + bEncrypt);
            const EVP_CIPHER *cipher = alg == SGD_SMS4_CBC ? EVP_sm4_cbc() : EVP_sm4_ecb();
            Bytes oivA = alg == SGD_SMS4_CBC ? ivA : Bytes(), oivB = alg == SGD_SMS4_CBC ? ivB : Bytes();
            Bytes inA = bEncrypt ? dataA : Ossl(cipher, true, keyA, oivA, dataA, true);
            Bytes inB = bEncrypt ? dataB : Ossl(cipher, true, keyB, oivB, dataB, true);
            auto a = NewKey(alg, keyA);
            auto b = NewKey(alg, keyB);
            BLOCKCIPHERPARAM pa = Param(ivA, 1), pb = Param(ivB, 1);
            ASSERT_EQ(0u, a->EncInit(bEncrypt, &pa));
            ASSERT_EQ(0u, b->EncInit(bEncrypt, &pb));
            Bytes outA, outB;
            for (size_t at = 0; at < std::max(inA.size(), inB.size()); at += 40) {
                for (auto step : {std::make_pair(a.get(), &inA), std::make_pair(b.get(), &inB)}) {
                    const Bytes &in = *step.second;
                    if (at >= in.size()) continue;
                    unsigned int n = (unsigned int)std::min<size_t>(40, in.size() - at);
                    unsigned char buf[64];
                    unsigned int len = sizeof(buf);
                    ASSERT_EQ(0u, step.first->EncUpdate(const_cast<unsigned char *>(in.data()) + at, n, buf, &len));
                    (step.first == a.get() ? outA : outB).insert((step.first == a.get() ? outA : outB).end(), buf,
                                                                 buf + len);
                }
            }
            for (auto step : {std::make_pair(a.get(), &outA), std::make_pair(b.get(), &outB)}) {
                unsigned char buf[16];
                unsigned int len = sizeof(buf);
                ASSERT_EQ(0u, step.first->EncFinal(buf, &len));
                step.second->insert(step.second->end(), buf, buf + len);
            }
            EXPECT_EQ(Hex(Ossl(cipher, bEncrypt, keyA, oivA, inA, true)), Hex(outA));
            EXPECT_EQ(Hex(Ossl(cipher, bEncrypt, keyB, oivB, inB, true)), Hex(outB));
        }
    }
}

/* A key only the token held (imported, agreed) is gone once another key
 * took the slot: its handle answers SAR_KEYNOTFOUNTERR, never enciphers
 * under the other key. */
TEST_F(SkfKeyObjectTest, ASessionKeyThatLeftTheSlotAnswersKeyNotFound)
{
    OpenToken(11);
    const Bytes session = Pattern(16, 71), other = Pattern(16, 72), block = Pattern(32, 73);
    ASSERT_EQ(0u, Context()->SetSessionKey(false));
    ASSERT_EQ(0u, Context()->GetAPDUKey()->ImportSymKey(0, 0, 0x1301, const_cast<unsigned char *>(session.data()), 16));
    auto s = NewKey(SGD_SMS4_ECB, Bytes());
    BLOCKCIPHERPARAM p = Param(Bytes(), 0);
    ASSERT_EQ(0u, s->EncInit(true, &p));
    Bytes out;
    ASSERT_EQ(0u, RunCipher(*s, Bytes(block.begin(), block.begin() + 16), 0, out));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, session, {}, Bytes(block.begin(), block.begin() + 16), false)), Hex(out));

    /* Started, then another key comes in. */
    ASSERT_EQ(0u, s->EncInit(true, &p));
    auto h = NewKey(SGD_SMS4_ECB, other);
    unsigned char buf[32];
    unsigned int len = sizeof(buf);
    EXPECT_EQ((unsigned int)SAR_KEYNOTFOUNTERR, s->EncUpdate(const_cast<unsigned char *>(block.data()), 32, buf, &len));
    EXPECT_EQ((unsigned int)SAR_KEYNOTFOUNTERR, s->EncInit(true, &p));
    /* The host's key is still usable, and loaded again when needed. */
    ASSERT_EQ(0u, h->EncInit(true, &p));
    ASSERT_EQ(0u, Once(*h, block, out));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, other, {}, block, false)), Hex(out));
}

/* Sets the owner word as the device-mutex segment holds it (offset 56). */
void SetOwnerWord(CDeviceContext *ctx, unsigned long long ullWord)
{
    memcpy(static_cast<char *>(ctx->m_hMutexHandle) + 56, &ullWord, sizeof(ullWord));
}

unsigned long long Word(unsigned int ulKey, unsigned int ulOp) { return ((unsigned long long)ulKey << 32) | ulOp; }

/* Both generations run past 0xFFFF and wrap from 0xFFFFFFFF to 1, never to
 * 0; a slot that is nobody's gets a new key generation with any claim.  A
 * key only the token held trusts no word but its own last claim, also one
 * whose key generation came round to its own again; a host key reloads. */
TEST_F(SkfKeyObjectTest, OwnerWordGenerationsWrapPastZeroAndTokenKeysTrustOnlyTheirOwnClaim)
{
    OpenToken(15);
    CDeviceContext *ctx = Context();
    const struct {
        unsigned long long before;
        bool bNewKey;
        unsigned long long after;
    } claims[] = {
        {Word(0xFFFF, 0xFFFF), true, Word(0x10000, 0x10000)},
        {Word(0xFFFF, 0xFFFF), false, Word(0xFFFF, 0x10000)},
        {Word(0xFFFFFFFF, 0xFFFFFFFF), true, Word(1, 1)},
        {Word(0xFFFFFFFF, 0xFFFFFFFF), false, Word(0xFFFFFFFF, 1)},
        {Word(7, 0), false, Word(8, 1)},
        {Word(0, 0), false, Word(1, 1)},
    };
    ASSERT_EQ(0u, ctx->WaitDevMutex());
    for (const auto &row : claims) {
        SCOPED_TRACE(row.before * 2 + row.bNewKey);
        SetOwnerWord(ctx, row.before);
        EXPECT_EQ(row.after, ctx->ClaimKeySlot(row.bNewKey));
        EXPECT_EQ(row.after, ctx->KeySlotOwner());
    }
    ASSERT_EQ(0u, ctx->ReleaseDevMutex());

    const Bytes session = Pattern(16, 91), host = Pattern(16, 92), block = Pattern(16, 93);
    BLOCKCIPHERPARAM p = Param(Bytes(), 0);
    Bytes out;
    for (bool bHost : {false, true}) {
        SCOPED_TRACE(bHost);
        SetOwnerWord(ctx, Word(0xFFFFFFF0u, 0xFFFFFFF0u));
        std::unique_ptr<CSymKeyObject> k;
        if (bHost) {
            k = NewKey(SGD_SMS4_ECB, host);
        } else {
            ASSERT_EQ(0u, ctx->SetSessionKey(false));
            ASSERT_EQ(0u, ctx->GetAPDUKey()->ImportSymKey(0, 0, 0x1301, const_cast<unsigned char *>(session.data()), 16));
            k = NewKey(SGD_SMS4_ECB, Bytes());
        }
        ASSERT_EQ(0u, k->EncInit(true, &p));
        unsigned long long ullMine = ctx->KeySlotOwner();
        /* Its key generation again, but not its claim: what a wrap gives. */
        SetOwnerWord(ctx, Word((unsigned int)(ullMine >> 32), (unsigned int)ullMine + 5));
        if (!bHost) {
            EXPECT_EQ((unsigned int)SAR_KEYNOTFOUNTERR, k->EncInit(true, &p));
            continue;
        }
        ASSERT_EQ(0u, k->EncInit(true, &p));
        ASSERT_EQ(0u, Once(*k, block, out));
        EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, host, {}, block, false)), Hex(out));
    }
}

/* A key the device operator unwraps into the slot takes it from a host
 * key under way, which loads its key again and goes on with its chain; a
 * session key handle made on the unwrapped key loses it in turn. */
TEST_F(SkfKeyObjectTest, AnUnwrappedSessionKeyAndAHostKeyShareTheSlot)
{
    OpenToken(14, 0x13, true);
    _QV_SM2_KEY_PAIR pub = {};
    unsigned short fid = NewSm2Key("wrap", pub);
    ASSERT_NE(0, fid);
    const Bytes hostKey = Pattern(16, 101), session = Pattern(16, 102), iv = Pattern(16, 103);
    const Bytes data = Pattern(64, 104);
    Bytes wrapped = WrapForToken(pub, session);
    ASSERT_FALSE(wrapped.empty());

    /* The import comes between two updates of the host key. */
    auto h = StartPadded(SGD_SMS4_CBC, hostKey, iv);
    ASSERT_NE(nullptr, h);
    Bytes outH(80);
    unsigned int len = 32;
    ASSERT_EQ(0u, h->EncUpdate(const_cast<unsigned char *>(data.data()), 32, outH.data(), &len));
    ASSERT_EQ(0u, Operator()->ImportEncSessionKey(fid, wrapped.data(), (unsigned int)wrapped.size()));
    len = 32;
    ASSERT_EQ(0u, h->EncUpdate(const_cast<unsigned char *>(data.data()) + 32, 32, outH.data() + 32, &len));
    len = 16;
    ASSERT_EQ(0u, h->EncFinal(outH.data() + 64, &len));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, hostKey, iv, data, true)), Hex(outH));

    /* A session key handle made right after the import ciphers under it,
     * until the host key comes back into the slot. */
    ASSERT_EQ(0u, Operator()->ImportEncSessionKey(fid, wrapped.data(), (unsigned int)wrapped.size()));
    auto s = NewKey(SGD_SMS4_ECB, Bytes());
    BLOCKCIPHERPARAM p = Param(Bytes(), 0);
    ASSERT_EQ(0u, s->EncInit(true, &p));
    Bytes outS, block(data.begin(), data.begin() + 16);
    ASSERT_EQ(0u, Once(*s, block, outS));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, session, {}, block, false)), Hex(outS));
    ASSERT_EQ(0u, h->EncInit(true, &p));
    EXPECT_EQ((unsigned int)SAR_KEYNOTFOUNTERR, s->EncInit(true, &p));
}

/* The token lost its volatile state while handles live (the daemon
 * restarted, as after a power cycle): whoever finds the secure channel
 * gone marks the slot as nobody's, so the host key is loaded again and the
 * key only the token held answers SAR_KEYNOTFOUNTERR. */
TEST_F(SkfKeyObjectTest, AfterTheTokenLostItsStateAHostKeyReloadsAndATokenKeyIsGone)
{
    OpenToken(17, 0x13, true);
    CDeviceContext *ctx = Context();
    const Bytes host = Pattern(16, 121), session = Pattern(16, 122), iv = Pattern(16, 123);
    const Bytes block = Pattern(48, 124);
    BLOCKCIPHERPARAM p = Param(iv, 1);
    char pin[] = "12345678";
    /* The next secure command finds the channel gone: a command that sets
     * up a new one after a lost-session answer, or the check before one;
     * or no secure command comes first, and the init finds the slot empty. */
    const std::function<unsigned int()> finders[] = {
        [&] { return VerifyUserPin(); },
        [&] { return Operator()->CDeviceOperator::VerifyPIN(1, pin, 8); },
        [] { return 0u; },
    };
    for (size_t finder = 0; finder < 3; ++finder) {
        for (bool bHost : {true, false}) {
            SCOPED_TRACE(finder * 2 + bHost);
            std::unique_ptr<CSymKeyObject> k;
            if (bHost) {
                k = NewKey(SGD_SMS4_CBC, host);
            } else {
                ASSERT_EQ(0u, ctx->SetSessionKey(false));
                ASSERT_EQ(0u,
                          ctx->GetAPDUKey()->ImportSymKey(0, 0, 0x1302, const_cast<unsigned char *>(session.data()), 16));
                k = NewKey(SGD_SMS4_CBC, Bytes());
            }
            Bytes out;
            ASSERT_EQ(0u, k->EncInit(true, &p));
            ASSERT_EQ(0u, Once(*k, block, out));
            daemon.Restart();
            ASSERT_EQ(0u, finders[finder]());
            if (!bHost) {
                EXPECT_EQ((unsigned int)SAR_KEYNOTFOUNTERR, k->EncInit(true, &p));
                continue;
            }
            EXPECT_EQ(0u, k->EncInit(true, &p));
            EXPECT_EQ(0u, Once(*k, block, out));
            EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, host, iv, block, true)), Hex(out));
        }
    }
}

/* An import whose answer is lost may have filled the slot all the same:
 * the handle that owned it loads its key again instead of enciphering
 * under the imported one, and the import done again gives its key. */
TEST_F(SkfKeyObjectTest, AnImportWhoseAnswerIsLostLeavesNoHandleTrustingTheSlot)
{
    OpenToken(16, 0x13, true);
    _QV_SM2_KEY_PAIR pub = {};
    unsigned short fid = NewSm2Key("lost", pub);
    ASSERT_NE(0, fid);
    CDeviceContext *ctx = Context();
    CFaultedKeyCommands *pKeys = CFaultedKeyCommands::Install(ctx, daemon, TokenSerial());
    const Bytes keyA = Pattern(16, 111), keyB = Pattern(16, 112), session = Pattern(16, 113);
    const Bytes block = Pattern(32, 114);
    Bytes wrapped = WrapForToken(pub, session);
    ASSERT_FALSE(wrapped.empty());
    BLOCKCIPHERPARAM p = Param(Bytes(), 0);
    for (bool bWrapped : {false, true}) {
        SCOPED_TRACE(bWrapped);
        auto a = NewKey(SGD_SMS4_ECB, keyA);
        Bytes out;
        ASSERT_EQ(0u, a->EncInit(true, &p));
        ASSERT_EQ(0u, Once(*a, block, out));
        /* The import of the other key, its answer lost. */
        pKeys->Arm("csw-status");
        std::unique_ptr<CSymKeyObject> b;
        if (bWrapped) {
            EXPECT_NE(0u, Operator()->ImportEncSessionKey(fid, wrapped.data(), (unsigned int)wrapped.size()));
        } else {
            unsigned int r = 0;
            b = NewKey(SGD_SMS4_ECB, keyB, &r);
            EXPECT_NE(0u, r);
        }
        ASSERT_EQ(0u, a->EncInit(true, &p));
        ASSERT_EQ(0u, Once(*a, block, out));
        EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, keyA, {}, block, false)), Hex(out));
        /* Done again, the import gives its own key. */
        if (bWrapped) {
            ASSERT_EQ(0u, Operator()->ImportEncSessionKey(fid, wrapped.data(), (unsigned int)wrapped.size()));
            b = NewKey(SGD_SMS4_ECB, Bytes());
        } else {
            b = NewKey(SGD_SMS4_ECB, keyB);
        }
        ASSERT_EQ(0u, b->EncInit(true, &p));
        ASSERT_EQ(0u, Once(*b, block, out));
        EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, bWrapped ? session : keyB, {}, block, false)), Hex(out));
    }
}

/* An init whose answer is lost may have been carried out: the slot then
 * holds another IV and mode, while the operation under way on the handle
 * goes on.  A key object and the MAC objects made from it share one cipher
 * handle, so a MAC init comes between two updates of its key object's
 * encryption; and the init that resumes an operation after another handle
 * ran can lose its answer too.  Either way the operation goes on from its
 * own chain, as OpenSSL enciphers it. */
TEST_F(SkfKeyObjectTest, AnInitWhoseAnswerIsLostLeavesTheRunningOperationItsOwnChain)
{
    OpenToken(18);
    CDeviceContext *ctx = Context();
    CFaultedCipherCommands *pCipher = CFaultedCipherCommands::Install(ctx, daemon, TokenSerial());
    const Bytes key = Pattern(16, 131), iv = Pattern(16, 132), otherIv = Pattern(16, 133), data = Pattern(64, 134);
    const Bytes otherKey = Pattern(16, 135);
    const Bytes expect = Ossl(EVP_sm4_cbc(), true, key, iv, data, true);
    unsigned char *pbData = const_cast<unsigned char *>(data.data());
    for (bool bResume : {false, true}) {
        SCOPED_TRACE(bResume);
        ASSERT_EQ(0u, ctx->WaitDevMutex());
        CGMSymKeyHandle handle(ctx), other(ctx);
        ASSERT_EQ(0u, handle.SetKey(0x1302, const_cast<unsigned char *>(key.data()), 16));
        ASSERT_EQ(0u, handle.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, const_cast<unsigned char *>(iv.data()), 1));
        Bytes out(80);
        unsigned int len = 32;
        ASSERT_EQ(0u, handle.Update(pbData, 32, out.data(), &len));
        unsigned char *pbOtherIv = const_cast<unsigned char *>(otherIv.data());
        if (bResume) {
            /* Another handle takes the slot; the update that resumes loses
             * the answer to its init, and is called again. */
            ASSERT_EQ(0u, other.SetKey(0x1302, const_cast<unsigned char *>(otherKey.data()), 16));
            ASSERT_EQ(0u, other.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, pbOtherIv, 0));
            pCipher->Arm("csw-status");
            len = 32;
            EXPECT_NE(0u, handle.Update(pbData + 32, 32, out.data() + 32, &len));
        } else {
            /* The MAC's init on the same handle, as SKF_MacInit sends it. */
            pCipher->Arm("csw-status");
            EXPECT_NE(0u, handle.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, pbOtherIv, 0));
        }
        len = 32;
        ASSERT_EQ(0u, handle.Update(pbData + 32, 32, out.data() + 32, &len));
        len = 16;
        ASSERT_EQ(0u, handle.Final(out.data() + 64, &len));
        ASSERT_EQ(0u, ctx->ReleaseDevMutex());
        EXPECT_EQ(Hex(expect), Hex(out));
    }
}

/* The agreement object finishes an agreement the token started: the
 * session key handle it gives ciphers under the key the software side
 * derives. */
TEST_F(SkfKeyObjectTest, AgreementObjectGivesTheAgreedKey)
{
    OpenToken(12, 0x13, true);
    CDeviceContext *ctx = Context();
    _QV_SM2_KEY_PAIR tk = {};
    unsigned short fid = NewSm2Key("agree", tk);
    ASSERT_NE(0, fid);
    Bytes tokenId = {'t', 'o', 'k', 'e', 'n'};
    unsigned char data[72];
    unsigned int len = sizeof(data);
    ASSERT_EQ(0u, ctx->GetAPDUKey()->GenerateAgreementDataWithECC(0, fid, 0x1301, tokenId.data(), 5, data, &len));
    ASSERT_EQ(72u, len);
    unsigned int param = ((unsigned int)data[68] << 24) | ((unsigned int)data[69] << 16) | (data[70] << 8) | data[71];

    SoftParty bob("bob");
    Bytes agreed = bob.Agree(SoftParty::Compact(tk.X, tk.Y), Bytes(data, data + 68), tokenId, false);
    ECCPUBLICKEYBLOB pub = keytest::PublicKeyBlob(bob.key.X, bob.key.Y);
    ECCPUBLICKEYBLOB temp = keytest::PublicKeyBlob(bob.rx, bob.ry);
    CAgreementObject agreement(ctx, SGD_SMS4_ECB, fid, param);
    void *pv = nullptr;
    ASSERT_EQ(0u, agreement.GenerateKeyWithECC(&pub, &temp, bob.id.data(), (unsigned int)bob.id.size(), &pv));
    std::unique_ptr<CKeyObject> key(static_cast<CKeyObject *>(pv));
    BLOCKCIPHERPARAM p = Param(Bytes(), 0);
    ASSERT_EQ(0u, key->EncInit(true, &p));
    Bytes block = Pattern(32, 81), out;
    ASSERT_EQ(0u, Once(*key, block, out));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_ecb(), true, agreed, {}, block, false)), Hex(out));
    /* Used up on the token: a second finish is refused, no key handed out. */
    pv = nullptr;
    EXPECT_EQ(Sw(0x6A88), agreement.GenerateKeyWithECC(&pub, &temp, bob.id.data(), (unsigned int)bob.id.size(), &pv));
    EXPECT_EQ(nullptr, pv);
    /* A software identifier cannot take a key on the token. */
    CAgreementObject soft(ctx, ALG_SOFT_3DES_ECB, fid, param);
    EXPECT_EQ((unsigned int)SAR_NOTSUPPORTYETERR,
              soft.GenerateKeyWithECC(&pub, &temp, bob.id.data(), (unsigned int)bob.id.size(), &pv));
    /* Peer keys of an impossible length are refused before anything is read. */
    pub.BitLen = 1024;
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR,
              agreement.GenerateKeyWithECC(&pub, &temp, bob.id.data(), (unsigned int)bob.id.size(), &pv));
}

/* ---- a second process on the same token ---- */

/* The peer program answers one line per command line. */
class Peer {
public:
    Peer(const std::string &device)
    {
        int toPeer[2], fromPeer[2];
        if (pipe(toPeer) != 0 || pipe(fromPeer) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(toPeer[0], 0);
            dup2(fromPeer[1], 1);
            close(toPeer[1]);
            close(fromPeer[0]);
            execl(SKF_KEY_PEER, SKF_KEY_PEER, device.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(toPeer[0]);
        close(fromPeer[1]);
        m_in = fdopen(toPeer[1], "w");
        m_out = fdopen(fromPeer[0], "r");
    }
    ~Peer()
    {
        if (m_in != nullptr) fclose(m_in);
        if (m_out != nullptr) fclose(m_out);
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }
    /* Sends one command; its answer line. */
    std::string Ask(const std::string &command)
    {
        if (m_in == nullptr || m_out == nullptr) return "no peer";
        fprintf(m_in, "%s\n", command.c_str());
        fflush(m_in);
        char line[4096];
        if (fgets(line, sizeof(line), m_out) == nullptr) return "peer gone";
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

private:
    pid_t m_pid = -1;
    FILE *m_in = nullptr;
    FILE *m_out = nullptr;
};

TEST_F(SkfKeyObjectTest, InterleavedHandlesOfTwoProcessesEachKeepTheirKeyAndChain)
{
    OpenToken(13);
    const Bytes keyA = Pattern(16, 91), keyB = Pattern(16, 92), ivA = Pattern(16, 93), ivB = Pattern(16, 94);
    const Bytes dataA = Pattern(70, 95), dataB = Pattern(45, 96);
    Peer peer(DeviceNameOf(BUS, 13));
    ASSERT_EQ("0", peer.Ask("key " + Hex(keyB)));
    auto a = NewKey(SGD_SMS4_CBC, keyA);
    BLOCKCIPHERPARAM pa = Param(ivA, 1);
    ASSERT_EQ(0u, a->EncInit(true, &pa));
    ASSERT_EQ("0", peer.Ask("init " + Hex(ivB)));
    Bytes outA, outB;
    for (size_t at = 0; at < 80; at += 20) {
        if (at < dataA.size()) {
            unsigned char buf[64];
            unsigned int len = sizeof(buf);
            unsigned int n = (unsigned int)std::min<size_t>(20, dataA.size() - at);
            ASSERT_EQ(0u, a->EncUpdate(const_cast<unsigned char *>(dataA.data()) + at, n, buf, &len));
            outA.insert(outA.end(), buf, buf + len);
        }
        if (at < dataB.size()) {
            std::string answer = peer.Ask("update " + Hex(Bytes(dataB.begin() + at,
                                                                dataB.begin() + std::min<size_t>(at + 20, dataB.size()))));
            ASSERT_EQ("0 ", answer.substr(0, 2)) << answer;
            Bytes chunk = keytest::FromHex(answer.substr(2));
            outB.insert(outB.end(), chunk.begin(), chunk.end());
        }
    }
    unsigned char buf[16];
    unsigned int len = sizeof(buf);
    ASSERT_EQ(0u, a->EncFinal(buf, &len));
    outA.insert(outA.end(), buf, buf + len);
    std::string answer = peer.Ask("final");
    ASSERT_EQ("0 ", answer.substr(0, 2)) << answer;
    Bytes last = keytest::FromHex(answer.substr(2));
    outB.insert(outB.end(), last.begin(), last.end());
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, keyA, ivA, dataA, true)), Hex(outA));
    EXPECT_EQ(Hex(Ossl(EVP_sm4_cbc(), true, keyB, ivB, dataB, true)), Hex(outB));
    EXPECT_EQ("bye", peer.Ask("quit"));
}

}  // namespace
