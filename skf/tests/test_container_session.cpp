/* Session keys and the SM2 key agreement of the container object against the
 * virtual token: every key the token ends up with is checked by ciphering a
 * block with the key handle the container hands out, against OpenSSL's SM4
 * under the key the other side knows (OpenSSL's unwrapping, or the GM
 * layer's SM2 key exchange). */
#include "skf/tests/ContainerTestSupport.h"

#include <functional>

#include "gm/sm2_group.h"
#include "gm/sm2_kex.h"
#include "skf/SymKeyObject.h"
#include "skf/tests/FaultedKeyCommands.h"

namespace {

/* The key handle's SM4-ECB encryption of one block. */
Bytes HandleEncrypts(void *hKey, const Bytes &block)
{
    CKeyObject *pKey = static_cast<CKeyObject *>(hKey);
    BLOCKCIPHERPARAM param;
    memset(&param, 0, sizeof(param));
    Bytes out(block.size() + 16);
    unsigned int len = (unsigned int)out.size();
    if (pKey->EncInit(true, &param) != 0 || pKey->Encrypt((unsigned char *)block.data(), (unsigned int)block.size(),
                                                          out.data(), &len) != 0)
        return {};
    out.resize(len);
    return out;
}

/* The handle ciphers as OpenSSL's SM4-ECB under key. */
void ExpectCiphersAs(void *hKey, const Bytes &key, const char *pszWhat)
{
    ASSERT_NE(nullptr, hKey) << pszWhat;
    Bytes block = Random(32);
    EXPECT_EQ(Sm4Ecb(key, block), HandleEncrypts(hKey, block)) << pszWhat;
    delete static_cast<CKeyObject *>(hKey);
}

}  // namespace

TEST_F(ContainerTest, SessionKeyWrappedByOpenSslImportsAndCiphers)
{
    OpenVerified(30);
    /* Exchange pairs made on the token: SM2 and RSA-2048. */
    CContainerObject *sm2 = Create("ssm2", true);
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, sm2->GenerateKeyPair(SGD_SM2_1, &pub));
    CContainerObject *rsa = Create("srsa", true);
    RSAPUBLICKEYBLOB rsaPub;
    ASSERT_EQ(0u, rsa->GenerateRSAKeyPair(2048, &rsaPub));

    Bytes k = Random(16);
    Pkey sm2Key = Sm2PublicKey(pub);
    Bytes record = Sm2CipherRecord(sm2Key.get(), k);
    void *h = nullptr;
    ASSERT_EQ(0u, sm2->ImportSessionKey(SGD_SMS4_ECB, record.data(), (unsigned int)record.size(), &h));
    ExpectCiphersAs(h, k, "SM2");

    k = Random(16);
    Bytes wrapped = RsaWrap(rsaPub, k);
    h = nullptr;
    ASSERT_EQ(0u, rsa->ImportSessionKey(SGD_SMS4_CBC, wrapped.data(), (unsigned int)wrapped.size(), &h));
    CKeyObject *pKey = static_cast<CKeyObject *>(h);
    ASSERT_NE(nullptr, pKey);
    BLOCKCIPHERPARAM param;
    memset(&param, 0, sizeof(param));
    param.IVLen = 16;
    Bytes iv = Random(16);
    memcpy(param.IV, iv.data(), 16);
    Bytes block = Random(32), out(48);
    unsigned int len = (unsigned int)out.size();
    ASSERT_EQ(0u, pKey->EncInit(true, &param));
    ASSERT_EQ(0u, pKey->Encrypt(block.data(), 32, out.data(), &len));
    out.resize(len);
    EXPECT_EQ(oracle::Cipher("SM4-CBC", true, k, iv.data(), block, false), out) << "RSA, CBC";
    delete pKey;
}

TEST_F(ContainerTest, SessionKeyExportedToAnOpenSslKeyUnwrapsToTheHandlesKey)
{
    OpenVerified(31);
    CContainerObject *c = Create("export");
    Pkey peer = NewSm2Key();
    ECCPUBLICKEYBLOB peerBlob = BlobOf(peer.get());
    Bytes record(sizeof(ECCCIPHERBLOB) + 31, 0xAA);
    ECCCIPHERBLOB *pCipher = (ECCCIPHERBLOB *)record.data();
    void *h = nullptr;
    ASSERT_EQ(0u, c->ECCExportSessionKey(SGD_SMS4_ECB, &peerBlob, pCipher, &h));
    EXPECT_TRUE(AllBytes(pCipher->XCoordinate, 32, 0) && AllBytes(pCipher->YCoordinate, 32, 0));
    EXPECT_EQ(16u, Field(pCipher->CipherLen));
    EXPECT_TRUE(AllBytes(record.data() + sizeof(ECCCIPHERBLOB) - 1 + 16, 15, 0xAA)) << "nothing past the cipher";
    Bytes k = Sm2Decrypt(peer.get(), *pCipher);
    ASSERT_EQ(16u, k.size());
    ExpectCiphersAs(h, k, "exported");
}

/* ---- SM2 key agreement against the GM layer's key exchange ---- */

namespace {

/* One side of the agreement in software: its key pair, its temporary key
 * pair, its ID. */
struct SoftParty {
    Bytes d, x, y, r, rx, ry;
    std::string id;

    explicit SoftParty(const std::string &strId) : id(strId)
    {
        Pkey key = NewSm2Key(), temp = NewSm2Key();
        d = KeyPart(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32);
        r = KeyPart(temp.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32);
        ECCPUBLICKEYBLOB p = BlobOf(key.get()), t = BlobOf(temp.get());
        x.assign(p.XCoordinate + 32, p.XCoordinate + 64);
        y.assign(p.YCoordinate + 32, p.YCoordinate + 64);
        rx.assign(t.XCoordinate + 32, t.XCoordinate + 64);
        ry.assign(t.YCoordinate + 32, t.YCoordinate + 64);
    }
    static ECCPUBLICKEYBLOB Blob(const Bytes &px, const Bytes &py)
    {
        ECCPUBLICKEYBLOB b;
        memset(&b, 0, sizeof(b));
        b.BitLen = 256;
        memcpy(b.XCoordinate + 32, px.data(), 32);
        memcpy(b.YCoordinate + 32, py.data(), 32);
        return b;
    }
    ECCPUBLICKEYBLOB Public() const { return Blob(x, y); }
    ECCPUBLICKEYBLOB Temp() const { return Blob(rx, ry); }
};

Bytes ZOf(const std::string &id, const ECCPUBLICKEYBLOB &key)
{
    Bytes z(32);
    EXPECT_EQ(1, _SM2_CalculateZValue_byCurve_ex(GM_CURVE_SM2, (const unsigned char *)id.data(),
                                                   (unsigned int)id.size(), key.XCoordinate + 32,
                                                   key.YCoordinate + 32, z.data()));
    return z;
}

/* The 16-byte key the software side derives: za is always the initiator's. */
Bytes SoftKey(const SoftParty &self, const ECCPUBLICKEYBLOB &peer, const ECCPUBLICKEYBLOB &peerTemp, const Bytes &za,
              const Bytes &zb)
{
    Bytes k(16);
    EXPECT_EQ(1, _SM2_KEP_ex(GM_CURVE_SM2, self.rx.data(), self.ry.data(), self.r.data(), self.x.data(),
                             self.y.data(), self.d.data(), za.data(), peerTemp.XCoordinate + 32,
                             peerTemp.YCoordinate + 32, peer.XCoordinate + 32, peer.YCoordinate + 32, zb.data(), 128,
                             k.data()));
    return k;
}

}  // namespace

TEST_F(ContainerTest, AgreementAsInitiatorMatchesTheGmKeyExchange)
{
    OpenVerified(32);
    CContainerObject *c = Create("kxa", true);
    ECCPUBLICKEYBLOB own;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_2, &own));
    const std::string idA = "ALICE123", idB = "BILL456@YAHOO.COM.CN";
    SoftParty b(idB);

    ECCPUBLICKEYBLOB ownTemp;
    memset(&ownTemp, 0xAA, sizeof(ownTemp));
    void *hAgreement = nullptr;
    ASSERT_EQ(0u, c->GenerateAgreementDataWithECC(SGD_SMS4_ECB, &ownTemp, (unsigned char *)idA.data(),
                                                  (unsigned int)idA.size(), &hAgreement));
    std::unique_ptr<CKeyObject> agreement(static_cast<CKeyObject *>(hAgreement));
    ASSERT_NE(nullptr, agreement);
    EXPECT_EQ(256u, Field(ownTemp.BitLen));
    EXPECT_TRUE(AllBytes(ownTemp.XCoordinate, 32, 0) && AllBytes(ownTemp.YCoordinate, 32, 0));

    ECCPUBLICKEYBLOB bPub = b.Public(), bTemp = b.Temp();
    void *hKey = nullptr;
    ASSERT_EQ(0u, agreement->GenerateKeyWithECC(&bPub, &bTemp, (unsigned char *)idB.data(), (unsigned int)idB.size(),
                                                &hKey));
    Bytes k = SoftKey(b, own, ownTemp, ZOf(idA, own), ZOf(idB, bPub));
    ExpectCiphersAs(hKey, k, "initiator");
}

TEST_F(ContainerTest, AgreementAsResponderMatchesTheGmKeyExchange)
{
    OpenVerified(33);
    CContainerObject *c = Create("kxb");
    ECCPUBLICKEYBLOB own;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_2, &own)) << "the signature pair serves when there is no exchange pair";
    const std::string idA = "1234567812345678", idB = "BOB";
    SoftParty a(idA);
    ECCPUBLICKEYBLOB aPub = a.Public(), aTemp = a.Temp(), ownTemp;
    memset(&ownTemp, 0xAA, sizeof(ownTemp));
    void *hKey = nullptr;
    ASSERT_EQ(0u, c->GenerateAgreementDataAndKeyWithECC(SGD_SMS4_ECB, &aPub, &aTemp, &ownTemp,
                                                        (unsigned char *)idB.data(), (unsigned int)idB.size(),
                                                        (unsigned char *)idA.data(), (unsigned int)idA.size(), &hKey));
    EXPECT_EQ(256u, Field(ownTemp.BitLen));
    EXPECT_TRUE(AllBytes(ownTemp.XCoordinate, 32, 0) && AllBytes(ownTemp.YCoordinate, 32, 0));
    Bytes k = SoftKey(a, own, ownTemp, ZOf(idA, aPub), ZOf(idB, own));
    ExpectCiphersAs(hKey, k, "responder");
}

/* A command that makes a key in the slot may have made it although its
 * answer was lost: the host key that owned the slot is loaded again, never
 * ciphers under the new key. */
TEST_F(ContainerTest, AKeyMadeOnTheTokenWithItsAnswerLostLeavesNoHandleTrustingTheSlot)
{
    OpenVerified(34);
    CContainerObject *c = Create("lost");
    ECCPUBLICKEYBLOB own;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &own));
    Pkey peer = NewSm2Key();
    ECCPUBLICKEYBLOB peerBlob = BlobOf(peer.get());
    const std::string idA = "ALICE123", idB = "BOB";
    SoftParty a(idA);
    ECCPUBLICKEYBLOB aPub = a.Public(), aTemp = a.Temp(), ownTemp;
    Bytes record(sizeof(ECCCIPHERBLOB) + 31);
    std::unique_ptr<CKeyObject> initiation;
    const std::function<unsigned int(void **)> makers[] = {
        [&](void **ph) { return c->ECCExportSessionKey(SGD_SMS4_ECB, &peerBlob, (ECCCIPHERBLOB *)record.data(), ph); },
        [&](void **ph) {
            return c->GenerateAgreementDataAndKeyWithECC(SGD_SMS4_ECB, &aPub, &aTemp, &ownTemp,
                                                         (unsigned char *)idB.data(), (unsigned int)idB.size(),
                                                         (unsigned char *)idA.data(), (unsigned int)idA.size(), ph);
        },
        [&](void **ph) { return initiation->GenerateKeyWithECC(&aPub, &aTemp, (unsigned char *)idA.data(),
                                                               (unsigned int)idA.size(), ph); },
    };
    void *hAgreement = nullptr;
    ASSERT_EQ(0u, c->GenerateAgreementDataWithECC(SGD_SMS4_ECB, &ownTemp, (unsigned char *)idB.data(),
                                                  (unsigned int)idB.size(), &hAgreement));
    initiation.reset(static_cast<CKeyObject *>(hAgreement));
    CFaultedKeyCommands *pKeys = CFaultedKeyCommands::Install(Context(), daemon, TokenSerial());
    const Bytes hostKey = Random(16), block = Random(32);
    for (size_t row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        CSymKeyObject host(Context());
        ASSERT_EQ(0u, host.SetSymmKey(SGD_SMS4_ECB, (unsigned char *)hostKey.data()));
        EXPECT_EQ(Sm4Ecb(hostKey, block), HandleEncrypts(&host, block));
        pKeys->Arm("csw-status");
        void *hKey = nullptr;
        EXPECT_NE(0u, makers[row](&hKey));
        EXPECT_EQ(nullptr, hKey);
        EXPECT_EQ(Sm4Ecb(hostKey, block), HandleEncrypts(&host, block));
    }
}
