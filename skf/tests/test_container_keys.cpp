/* The container object's record, certificates, key pairs, public keys and
 * signatures against the virtual token; keys and signatures checked with
 * OpenSSL. */
#include "skf/tests/ContainerTestSupport.h"

#include <functional>

/* ---- the record and the refusals that need no token ---- */

TEST_F(ContainerTest, EmptyContainerHasTypeZeroAndNoKeys)
{
    OpenVerified(5);
    CContainerObject *c = Create("empty");
    unsigned int type = 77;
    EXPECT_EQ(0u, c->GetContainerType(&type));
    EXPECT_EQ(0u, type);

    unsigned char buf[512] = {0};
    unsigned int len = sizeof(buf), signLen = sizeof(buf);
    ECCSIGNATUREBLOB sig;
    void *h = nullptr;
    const std::pair<const char *, std::function<unsigned int()>> cases[] = {
        {"GetContainerValid", [&] { return c->GetContainerValid(nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"ImportCertificate", [&] { return c->ImportCertificate(true, buf, 300); }},
        {"ExportPublicKey", [&] { return c->ExportPublicKey(true, nullptr, &len); }},
        {"ECCSignData", [&] { return c->ECCSignData(buf, 32, sig.r, sig.s); }},
        {"RSASignData", [&] { return c->RSASignData(buf, 32, buf, &signLen); }},
        {"ImportSessionKey", [&] { return c->ImportSessionKey(SGD_SMS4_ECB, buf, 128, &h); }},
    };
    for (const auto &cs : cases) EXPECT_EQ(SAR_KEYNOTFOUNTERR, cs.second()) << cs.first;
    EXPECT_EQ(sizeof(buf), len) << "a failed export keeps the caller's length";

    /* The record's type byte as the cache holds it: 1 and 2 are types, any
     * other byte is refused with type 0. */
    _QV_CONTAINER_INFO *pInfo = c->FindContainerFromMemory((char *)"empty");
    ASSERT_NE(nullptr, pInfo);
    const std::pair<unsigned char, unsigned int> types[] = {{1, 0}, {2, 0}, {3, SAR_KEYINFOTYPEERR}};
    for (const auto &t : types) {
        pInfo->byType = t.first;
        type = 77;
        EXPECT_EQ(t.second, c->GetContainerType(&type)) << (int)t.first;
        EXPECT_EQ(t.second == 0 ? t.first : 0u, type) << (int)t.first;
    }
}

/* Checks that need only the arguments and the cached record: with the token
 * unplugged any command would fail, so these show that none is sent. */
TEST_F(ContainerTest, RefusalsBeforeAnyTokenTraffic)
{
    OpenVerified(6);
    CContainerObject *c = Create("sm2");
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &pub));
    CContainerObject *single = Create("single", true);
    CContainerObject *rsaContainer = Create("rsa");
    RSAPUBLICKEYBLOB rsa;
    ASSERT_EQ(0u, rsaContainer->GenerateRSAKeyPair(1024, &rsa));
    daemon.Unplug(TokenSerial());

    Bytes data = Random(520);
    ECCSIGNATUREBLOB sig;
    unsigned int len = 256;
    void *h = nullptr;
    Bytes env(sizeof(ENVELOPEDKEYBLOB) + 64, 0);
    ENVELOPEDKEYBLOB *pEnv = (ENVELOPEDKEYBLOB *)env.data();
    auto envelope = [&](ULONG version, ULONG bits, ULONG pubBits, ULONG cipherLen) {
        pEnv->Version = version;
        pEnv->ulSymmAlgID = SGD_SMS4_ECB;
        pEnv->ulBits = bits;
        pEnv->PubKey.BitLen = pubBits;
        pEnv->ECCCipherBlob.CipherLen = cipherLen;
        return c->ImportKeyPair(SGD_SMS4_ECB, nullptr, 0, 256, env.data(), sizeof(ENVELOPEDKEYBLOB));
    };
    Bytes rsaRecord(780, 0);
    auto rsa1024 = [&](uint32_t eLen, unsigned int wrappedLen, unsigned int recordLen) {
        memcpy(rsaRecord.data() + 516, &eLen, 4);
        return c->ImportKeyPair(0, data.data(), wrappedLen, 0, rsaRecord.data(), recordLen);
    };
    Bytes cipher(sizeof(ECCCIPHERBLOB) + 512, 0);
    ((ECCCIPHERBLOB *)cipher.data())->CipherLen = 416;
    ECCPUBLICKEYBLOB wide = pub;
    wide.BitLen = 520;

    struct Refusal {
        const char *pszName;
        unsigned int ulExpected;
        std::function<unsigned int()> fn;
    };
    const Refusal cases[] = {
        {"ECCSignData 31", SAR_INDATALENERR, [&] { return c->ECCSignData(data.data(), 31, sig.r, sig.s); }},
        {"ECCSignData 33", SAR_INDATALENERR, [&] { return c->ECCSignData(data.data(), 33, sig.r, sig.s); }},
        {"RSASignData on SM2", SAR_KEYINFOTYPEERR, [&] { return c->RSASignData(data.data(), 32, data.data(), &len); }},
        {"GenerateRSAKeyPair SM2 id", SAR_INDATAERR, [&] { return c->GenerateRSAKeyPair(SGD_SM2_1, &rsa); }},
        {"GenerateRSAKeyPair 512", SAR_INDATAERR, [&] { return c->GenerateRSAKeyPair(512, &rsa); }},
        {"GenerateKeyPair 512", SAR_INDATAERR, [&] { return c->GenerateKeyPair(512, &rsa); }},
        {"GenerateKeyPair null", SAR_INVALIDPARAMERR, [&] { return c->GenerateKeyPair(1024, nullptr); }},
        {"ImportKeyPair single", SAR_NOTSUPPORTYETERR,
         [&] { return single->ImportKeyPair(0, nullptr, 0, 0, data.data(), 780); }},
        {"ImportKeyPair 512", SAR_INDATAERR,
         [&] { return c->ImportKeyPair(0, data.data(), 64, 512, data.data(), 64); }},
        {"ImportKeyPair 2048 no key", SAR_INVALIDPARAMERR,
         [&] { return c->ImportKeyPair(0, nullptr, 256, 2048, data.data(), 64); }},
        {"envelope 372", SAR_INDATALENERR,
         [&] { return c->ImportKeyPair(SGD_SMS4_ECB, nullptr, 0, 256, env.data(), 372); }},
        {"envelope 374", SAR_INDATALENERR,
         [&] { return c->ImportKeyPair(SGD_SMS4_ECB, nullptr, 0, 256, env.data(), 374); }},
        {"envelope version 2", SAR_NOTSUPPORTYETERR, [&] { return envelope(2, 256, 256, 16); }},
        {"envelope CipherLen 41", SAR_INDATALENERR, [&] { return envelope(1, 256, 256, 41); }},
        {"envelope PubKey.BitLen 520", SAR_INDATALENERR, [&] { return envelope(1, 256, 520, 16); }},
        {"envelope ulBits 520", SAR_INDATALENERR, [&] { return envelope(1, 520, 256, 16); }},
        {"envelope version 0, CipherLen 160", SAR_INDATALENERR, [&] { return envelope(0, 256, 256, 160); }},
        {"RSA-1024 wrapped", SAR_NOTSUPPORTYETERR, [&] { return rsa1024(3, 128, 780); }},
        {"RSA-1024 ELen 257", SAR_INDATALENERR, [&] { return rsa1024(257, 0, 780); }},
        {"RSA-1024 record 779", SAR_INDATALENERR, [&] { return rsa1024(3, 0, 779); }},
        {"ImportSessionKey 0x103", SAR_INVALIDPARAMERR,
         [&] { return c->ImportSessionKey(0x103, data.data(), 64, &h); }},
        {"ImportSessionKey 3DES", SAR_INVALIDPARAMERR,
         [&] { return c->ImportSessionKey(ALG_SOFT_3DES_ECB, data.data(), 64, &h); }},
        {"ImportSessionKey CipherLen 416", SAR_INDATALENERR,
         [&] { return c->ImportSessionKey(SGD_SMS4_ECB, cipher.data(), (unsigned int)cipher.size(), &h); }},
        {"ImportSessionKey RSA 513", SAR_INDATALENERR,
         [&] { return rsaContainer->ImportSessionKey(SGD_SMS4_ECB, data.data(), 513, &h); }},
        {"ECCExportSessionKey MAC", SAR_INVALIDPARAMERR,
         [&] { return c->ECCExportSessionKey(SGD_SM1_MAC, &pub, (ECCCIPHERBLOB *)cipher.data(), &h); }},
        {"ECCExportSessionKey BitLen 520", SAR_INDATALENERR,
         [&] { return c->ECCExportSessionKey(SGD_SMS4_ECB, &wide, (ECCCIPHERBLOB *)cipher.data(), &h); }},
        {"AgreementData MAC", SAR_INVALIDPARAMERR,
         [&] { return c->GenerateAgreementDataWithECC(SGD_SM1_MAC, &pub, data.data(), 16, &h); }},
        {"AgreementDataAndKey MAC", SAR_INVALIDPARAMERR,
         [&] {
             return c->GenerateAgreementDataAndKeyWithECC(SGD_SM1_MAC, &pub, &pub, &pub, data.data(), 16, data.data(),
                                                          16, &h);
         }},
        {"AgreementDataAndKey BitLen 520", SAR_INDATALENERR,
         [&] {
             return c->GenerateAgreementDataAndKeyWithECC(SGD_SMS4_ECB, &pub, &wide, &pub, data.data(), 16, data.data(),
                                                          16, &h);
         }},
        {"RSAExportSessionKey", SAR_NOTSUPPORTYETERR,
         [&] { return c->RSAExportSessionKey(SGD_SMS4_ECB, &rsa, data.data(), &len, &h); }},
    };
    for (const Refusal &cs : cases) {
        h = nullptr;
        EXPECT_EQ(cs.ulExpected, cs.fn()) << cs.pszName;
        EXPECT_EQ(nullptr, h) << cs.pszName;
    }
}

/* ---- SM2 ---- */

TEST_F(ContainerTest, Sm2KeysGeneratedExportedAndSigningForOpenSsl)
{
    OpenVerified(7);
    const ULONG ids[] = {SGD_SM2_1, SGD_SM2_2, 0x00020800};
    for (ULONG id : ids) {
        std::string name = "sm2-" + std::to_string(id);
        CContainerObject *c = Create(name.c_str());
        ECCPUBLICKEYBLOB pub;
        memset(&pub, 0xAA, sizeof(pub));
        ASSERT_EQ(0u, c->GenerateKeyPair(id, &pub)) << id;
        EXPECT_EQ(256u, Field(pub.BitLen));
        EXPECT_TRUE(AllBytes(pub.XCoordinate, 32, 0) && AllBytes(pub.YCoordinate, 32, 0)) << "leading bytes zeroed";

        unsigned int algId = 0, type = 0;
        unsigned short exKey = 1, exCert = 1, sgKey = 0, sgCert = 1;
        ASSERT_EQ(0u, c->GetContainerValid(&algId, &exKey, &exCert, &sgKey, &sgCert));
        EXPECT_EQ(17u, algId);
        EXPECT_EQ(0u, exKey | exCert | sgCert);
        EXPECT_EQ(2u, sgKey & 3u);
        ASSERT_EQ(0u, c->GetContainerType(&type));
        EXPECT_EQ(2u, type);

        ECCPUBLICKEYBLOB exported;
        memset(&exported, 0x55, sizeof(exported));
        unsigned int len = sizeof(exported);
        ASSERT_EQ(0u, c->ExportPublicKey(true, (unsigned char *)&exported, &len));
        EXPECT_EQ(sizeof(ECCPUBLICKEYBLOB), len);
        EXPECT_EQ(0, memcmp(&pub, &exported, sizeof(pub)));
        EXPECT_EQ(SAR_KEYNOTFOUNTERR, c->ExportPublicKey(false, (unsigned char *)&exported, &len));

        /* The signature of e = SM3(Z || M); the fields' leading bytes zero. */
        Bytes msg = Random(100);
        Bytes e = Sm2Digest(pub, msg);
        ECCSIGNATUREBLOB sig;
        memset(&sig, 0xAA, sizeof(sig));
        ASSERT_EQ(0u, c->ECCSignData(e.data(), 32, sig.r, sig.s));
        EXPECT_TRUE(AllBytes(sig.r, 32, 0) && AllBytes(sig.s, 32, 0));
        EXPECT_TRUE(Sm2VerifiesMessage(pub, msg, sig)) << id;
        msg[0] ^= 1;
        EXPECT_FALSE(Sm2VerifiesMessage(pub, msg, sig));
    }
}

TEST_F(ContainerTest, FactoryPinRefusesSigningWithACertifiedKeyOnly)
{
    OpenVerified(8);
    CContainerObject *c = Create("pinrule");
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &pub));
    Bytes msg = Random(20);
    Bytes e = Sm2Digest(pub, msg);
    ECCSIGNATUREBLOB sig;
    ASSERT_EQ(0u, c->ECCSignData(e.data(), 32, sig.r, sig.s)) << "no certificate: the factory PIN signs";
    EXPECT_TRUE(Sm2VerifiesMessage(pub, msg, sig));

    Bytes cert = FakeCertificate(300);
    ASSERT_EQ(0u, c->ImportCertificate(true, cert.data(), (unsigned int)cert.size()));
    EXPECT_EQ(SAR_USER_PIN_NOT_INITIALIZED, c->ECCSignData(e.data(), 32, sig.r, sig.s));

    ChangeUserPin();
    memset(&sig, 0, sizeof(sig));
    ASSERT_EQ(0u, c->ECCSignData(e.data(), 32, sig.r, sig.s));
    EXPECT_TRUE(Sm2VerifiesMessage(pub, msg, sig));
}

/* ---- RSA ---- */

/* A PKCS #1 DigestInfo of SHA-256. */
static Bytes DigestInfo(const Bytes &digest)
{
    static const unsigned char PREFIX[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes v(PREFIX, PREFIX + sizeof(PREFIX));
    v.insert(v.end(), digest.begin(), digest.end());
    return v;
}

/* OpenSSL verifies a PKCS #1 v1.5 signature of SHA-256 over the message. */
static bool RsaVerifiesMessage(const RSAPUBLICKEYBLOB &blob, const Bytes &msg, const Bytes &sig)
{
    Pkey pkey = RsaPublicKey(blob);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pkey.get()) == 1 &&
              EVP_DigestVerify(md, sig.data(), sig.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(md);
    return ok;
}

TEST_F(ContainerTest, RsaKeysGeneratedExportedAndSigningForOpenSsl)
{
    OpenVerified(9);
    for (unsigned int bits : {1024u, 2048u}) {
        const unsigned int k = bits / 8;
        std::string name = "rsa" + std::to_string(bits);
        CContainerObject *c = Create(name.c_str());
        RSAPUBLICKEYBLOB pub;
        memset(&pub, 0xAA, sizeof(pub));
        ASSERT_EQ(0u, c->GenerateRSAKeyPair(bits, &pub)) << bits;
        EXPECT_EQ((ULONG)SGD_RSA, Field(pub.AlgID));
        EXPECT_EQ(bits, Field(pub.BitLen));
        EXPECT_TRUE(AllBytes(pub.Modulus, 256 - k, 0)) << "leading bytes zeroed";
        const unsigned char e65537[4] = {0x00, 0x01, 0x00, 0x01};
        EXPECT_EQ(0, memcmp(e65537, pub.PublicExponent, 4));
        unsigned int type = 0;
        ASSERT_EQ(0u, c->GetContainerType(&type));
        EXPECT_EQ(1u, type);

        RSAPUBLICKEYBLOB exported;
        unsigned int len = 0;
        ASSERT_EQ(0u, c->ExportPublicKey(true, nullptr, &len));
        EXPECT_EQ(sizeof(RSAPUBLICKEYBLOB), len);
        ASSERT_EQ(0u, c->ExportPublicKey(true, (unsigned char *)&exported, &len));
        EXPECT_EQ(0, memcmp(&pub, &exported, sizeof(pub)));

        Bytes msg = Random(50);
        Bytes digest = oracle::Digest("SHA256", msg);
        Bytes info = DigestInfo(digest);
        Bytes sig(k + 8, 0);
        len = 0;
        EXPECT_EQ(0u, c->RSASignData(info.data(), (unsigned int)info.size(), nullptr, &len));
        EXPECT_EQ(k, len) << "size query";
        len = k - 1;
        EXPECT_EQ(SAR_BUFFER_TOO_SMALL, c->RSASignData(info.data(), (unsigned int)info.size(), sig.data(), &len));
        EXPECT_EQ(k, len);
        len = (unsigned int)sig.size();
        EXPECT_EQ(SAR_INDATALENERR, c->RSASignData(sig.data(), k - 10, sig.data(), &len));
        len = (unsigned int)sig.size();
        ASSERT_EQ(0u, c->RSASignData(info.data(), (unsigned int)info.size(), sig.data(), &len));
        ASSERT_EQ(k, len);
        sig.resize(len);
        EXPECT_TRUE(RsaVerifiesMessage(pub, msg, sig)) << bits;

        ECCSIGNATUREBLOB ecc;
        EXPECT_EQ(SAR_KEYINFOTYPEERR, c->ECCSignData(digest.data(), 32, ecc.r, ecc.s));
    }
}

/* ---- public-key export sizes ---- */

TEST_F(ContainerTest, PublicKeyExportSizeQueryAndShortBuffer)
{
    OpenVerified(10);
    CContainerObject *c = Create("sizes");
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &pub));
    unsigned char buf[sizeof(ECCPUBLICKEYBLOB)];
    memset(buf, 0x5A, sizeof(buf));
    const std::pair<unsigned char *, unsigned int> cases[] = {{nullptr, 0}, {nullptr, 5000}, {buf, 131}};
    for (const auto &cs : cases) {
        unsigned int len = cs.second;
        EXPECT_EQ(cs.first == nullptr ? 0u : SAR_BUFFER_TOO_SMALL, c->ExportPublicKey(true, cs.first, &len));
        EXPECT_EQ(132u, len);
    }
    EXPECT_TRUE(AllBytes(buf, sizeof(buf), 0x5A)) << "nothing written into a short buffer";
}

/* ---- certificates ---- */

TEST_F(ContainerTest, CertificatesOfBothPairsRoundTripByteIdentical)
{
    OpenVerified(11);
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, Create("certs")->GenerateKeyPair(SGD_SM2_1, &pub));
    ASSERT_EQ(0u, Open("certs", true)->GenerateKeyPair(SGD_SM2_1, &pub)) << "the exchange pair";
    CContainerObject *c = Open("certs");
    unsigned int len = 0;
    EXPECT_EQ(SAR_CERTNOTFOUNTERR, c->ExportCertificate(false, nullptr, &len));

    const Bytes certs[2] = {FakeCertificate(300), FakeCertificate(1200)};  /* exchange, signature */
    for (bool sign : {false, true})
        ASSERT_EQ(0u,
                  c->ImportCertificate(sign, (unsigned char *)certs[sign].data(), (unsigned int)certs[sign].size()));
    unsigned short exCert = 0, sgCert = 0;
    ASSERT_EQ(0u, c->GetContainerValid(nullptr, nullptr, &exCert, nullptr, &sgCert));
    EXPECT_EQ(1u, exCert & 3u);
    EXPECT_EQ(2u, sgCert & 3u);
    for (bool sign : {false, true}) {
        const Bytes &cert = certs[sign];
        len = 0;
        ASSERT_EQ(0u, c->ExportCertificate(sign, nullptr, &len));
        EXPECT_EQ(cert.size(), len);
        Bytes out(cert.size() + 10, 0);
        len = (unsigned int)cert.size() - 1;
        EXPECT_NE(0u, c->ExportCertificate(sign, out.data(), &len));
        EXPECT_EQ(cert.size(), len);
        len = (unsigned int)out.size();
        ASSERT_EQ(0u, c->ExportCertificate(sign, out.data(), &len));
        out.resize(len);
        EXPECT_EQ(cert, out) << "sign " << sign;
    }
}

/* A container made through a "#2" name: one key pair, the exchange pair,
 * which also serves every signature-flag request. */
TEST_F(ContainerTest, SingleCertificateContainerUsesItsExchangePairForBoth)
{
    OpenVerified(12);
    CContainerObject *c = Create("one", true);
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &pub));
    unsigned int algId = 0;
    unsigned short exKey = 0, exCert = 1, sgKey = 1, sgCert = 1;
    ASSERT_EQ(0u, c->GetContainerValid(&algId, &exKey, &exCert, &sgKey, &sgCert));
    EXPECT_EQ(17u, algId);
    EXPECT_EQ(1u, exKey & 3u);
    EXPECT_EQ(0u, exCert | sgKey | sgCert);

    ECCPUBLICKEYBLOB keys[2];
    for (bool sign : {false, true}) {
        unsigned int len = sizeof(keys[sign]);
        ASSERT_EQ(0u, c->ExportPublicKey(sign, (unsigned char *)&keys[sign], &len));
        EXPECT_EQ(0, memcmp(&pub, &keys[sign], sizeof(pub))) << sign;
    }

    /* A signature certificate is stored as the exchange certificate. */
    Bytes cert = FakeCertificate(500);
    ASSERT_EQ(0u, c->ImportCertificate(true, cert.data(), (unsigned int)cert.size()));
    ASSERT_EQ(0u, c->GetContainerValid(nullptr, nullptr, &exCert, nullptr, &sgCert));
    EXPECT_EQ(1u, exCert & 3u);
    EXPECT_EQ(0u, sgCert);
    for (bool sign : {false, true}) {
        Bytes out(600);
        unsigned int len = (unsigned int)out.size();
        ASSERT_EQ(0u, c->ExportCertificate(sign, out.data(), &len));
        out.resize(len);
        EXPECT_EQ(cert, out) << sign;
    }

    /* The key signs (exchange key with a certificate: the PIN must be changed). */
    ChangeUserPin();
    Bytes msg = Random(10);
    Bytes e = Sm2Digest(pub, msg);
    ECCSIGNATUREBLOB sig;
    ASSERT_EQ(0u, c->ECCSignData(e.data(), 32, sig.r, sig.s));
    EXPECT_TRUE(Sm2VerifiesMessage(pub, msg, sig));
}

TEST_F(ContainerTest, SecondHandleKeepsTheRecordItOpenedWith)
{
    OpenVerified(13);
    CContainerObject *first = Create("shared");
    CContainerObject *second = Open("shared");
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, first->GenerateKeyPair(SGD_SM2_1, &pub));
    EXPECT_EQ(SAR_KEYNOTFOUNTERR, second->GetContainerValid(nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, Open("shared")->GetContainerValid(nullptr, nullptr, nullptr, nullptr, nullptr));
}

/* ---- key-pair import ---- */

/* An envelope of an OpenSSL SM2 key, wrapped to the container's signature
 * key.  Version 1: an SM4 key wrapped, the private key under it; Version 0
 * (and 0x9E3D): the private key itself wrapped, the other fields unused. */
static Bytes Envelope(EVP_PKEY *key, const ECCPUBLICKEYBLOB &wrapTo, ULONG version)
{
    Pkey wrap = Sm2PublicKey(wrapTo);
    Bytes d = KeyPart(key, OSSL_PKEY_PARAM_PRIV_KEY, 32);
    Bytes sm4Key = Random(16);
    Bytes record = Sm2CipherRecord(wrap.get(), version == 1 ? sm4Key : d);
    Bytes v(offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob), 0xAA);
    v.insert(v.end(), record.begin(), record.end());
    ENVELOPEDKEYBLOB *p = (ENVELOPEDKEYBLOB *)v.data();
    p->Version = version;
    if (version == 1) {
        p->ulSymmAlgID = SGD_SMS4_ECB;
        p->ulBits = 256;
        Bytes enc = Sm4Ecb(sm4Key, d);
        memcpy(p->cbEncryptedPriKey + 32, enc.data(), 32);
        p->PubKey = BlobOf(key);
    }
    return v;
}

TEST_F(ContainerTest, Sm2EnvelopesImportOpenSslKeysAsExchangePair)
{
    OpenVerified(14);
    for (ULONG version : {1u, 0u, 0x9E3Du}) {
        std::string name = "env" + std::to_string(version);
        CContainerObject *c = Create(name.c_str());
        ECCPUBLICKEYBLOB sign;
        ASSERT_EQ(0u, c->GenerateKeyPair(SGD_SM2_1, &sign));
        Pkey key = NewSm2Key();
        Bytes env = Envelope(key.get(), sign, version);
        ASSERT_EQ(0u, c->ImportKeyPair(SGD_SMS4_ECB, nullptr, 0, 256, env.data(), sizeof(ENVELOPEDKEYBLOB))) << version;
        ECCPUBLICKEYBLOB exch;
        unsigned int len = sizeof(exch);
        ASSERT_EQ(0u, c->ExportPublicKey(false, (unsigned char *)&exch, &len));
        ECCPUBLICKEYBLOB expected = BlobOf(key.get());
        EXPECT_EQ(0, memcmp(&expected, &exch, sizeof(exch))) << version;
    }

    /* An exchange key without a signature key takes no import. */
    ECCPUBLICKEYBLOB exch;
    ASSERT_EQ(0u, Create("exonly", true)->GenerateKeyPair(SGD_SM2_1, &exch));
    Pkey key = NewSm2Key();
    Bytes env = Envelope(key.get(), exch, 1);
    EXPECT_EQ(SAR_KEYUSAGEERR,
              Open("exonly")->ImportKeyPair(SGD_SMS4_ECB, nullptr, 0, 256, env.data(), sizeof(ENVELOPEDKEYBLOB)));
}

/* _QV_RSA_KEY_PAIR of an OpenSSL key, the public exponent least significant
 * byte first in ELen bytes, as the import takes it. */
static Bytes Rsa1024Record(EVP_PKEY *key)
{
    Bytes rec(780, 0);
    _QV_RSA_KEY_PAIR *p = (_QV_RSA_KEY_PAIR *)rec.data();
    Bytes n = KeyPart(key, OSSL_PKEY_PARAM_RSA_N, 128), d = KeyPart(key, OSSL_PKEY_PARAM_RSA_D, 128);
    memcpy(p->N, n.data(), 128);
    p->NLen = 128;
    memcpy(p->D, d.data(), 128);
    p->DLen = 128;
    Bytes e = KeyPart(key, OSSL_PKEY_PARAM_RSA_E, 4);
    for (int i = 0; i < 4; ++i) p->E[i] = e[3 - i];
    p->ELen = 4;
    return rec;
}

TEST_F(ContainerTest, Rsa1024PlainRecordImportsWithoutChangingTheCallersRecord)
{
    OpenVerified(15, 3);
    CContainerObject *c = Create("r1024");
    Pkey key(EVP_RSA_gen(1024));
    Bytes rec = Rsa1024Record(key.get());
    const Bytes before = rec;
    ASSERT_EQ(0u, c->ImportKeyPair(0, nullptr, 0, 0, rec.data(), (unsigned int)rec.size()));
    EXPECT_EQ(before, rec);
    RSAPUBLICKEYBLOB pub;
    unsigned int len = sizeof(pub);
    ASSERT_EQ(0u, c->ExportPublicKey(false, (unsigned char *)&pub, &len));
    EXPECT_EQ(1024u, Field(pub.BitLen));
    EXPECT_EQ(KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_N, 128), Bytes(pub.Modulus + 128, pub.Modulus + 256));
    EXPECT_EQ(KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_E, 4), Bytes(pub.PublicExponent, pub.PublicExponent + 4));
}

TEST_F(ContainerTest, Rsa2048ImportsUnderAKeyWrappedByOpenSsl)
{
    OpenVerified(16);
    CContainerObject *c = Create("r2048");
    RSAPUBLICKEYBLOB sign;
    ASSERT_EQ(0u, c->GenerateRSAKeyPair(2048, &sign));
    Pkey key(EVP_RSA_gen(2048));
    Bytes material = KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_N, 256);
    Bytes d = KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_D, 256), e = KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_E, 4);
    material.insert(material.end(), d.begin(), d.end());
    material.insert(material.end(), e.begin(), e.end());
    material.resize(768, 0);  /* the token's RSA-2048 key material */
    Bytes k = Random(16);
    Bytes data = Sm4Ecb(k, material);

    Bytes wrapped = RsaWrap(sign, k);
    ASSERT_EQ(256u, wrapped.size());
    ASSERT_EQ(0u, c->ImportKeyPair(SGD_SMS4_ECB, wrapped.data(), 256, 8 * 256, data.data(), (unsigned int)data.size()));
    RSAPUBLICKEYBLOB pub;
    unsigned int len = sizeof(pub);
    ASSERT_EQ(0u, c->ExportPublicKey(false, (unsigned char *)&pub, &len));
    EXPECT_EQ(2048u, Field(pub.BitLen));
    EXPECT_EQ(KeyPart(key.get(), OSSL_PKEY_PARAM_RSA_N, 256), Bytes(pub.Modulus, pub.Modulus + 256));
}
