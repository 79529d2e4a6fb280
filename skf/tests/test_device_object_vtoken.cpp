/* The device object end to end against the virtual token (bus 24), with
 * OpenSSL as the independent side: device information, the application
 * list, random numbers, raw RSA, RSA and SM2 verification with refusal of
 * forged signatures, SM2 encryption, decryption and signature with a
 * caller's key, and raw command transmission. */
#include <gtest/gtest.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "skf/ApplicationObject.h"
#include "skf/DeviceObject.h"
#include "skf/SymKeyObject.h"
#include "skf/tests/SkfCryptoOracle.h"
#include "skf/tests/SkfTestToken.h"

namespace {

using oracle::Bytes;

const unsigned int DEVICE_TEST_BUS = 24;

class DeviceObjectTest : public SkfTokenTest {
protected:
    DeviceObjectTest() : SkfTokenTest(DEVICE_TEST_BUS) {}

    ~DeviceObjectTest() override { delete m_pDev; }

    CDeviceObject &Open(unsigned int ulAddr)
    {
        OpenToken(ulAddr);
        m_pDev = new CDeviceObject(Context());
        return *m_pDev;
    }

    CDeviceObject *m_pDev = nullptr;
};

TEST_F(DeviceObjectTest, DeviceInformationComesFromTheToken)
{
    CDeviceObject &dev = Open(1);
    Struct_DEVINFO info;
    memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(0u, dev.GetDeviceInfo(&info));
    EXPECT_EQ(1, info.Version.major);
    EXPECT_EQ(0, info.Version.minor);
    EXPECT_STREQ("Brio", info.Manufacturer);
    EXPECT_STREQ("Brio Virtual Token", info.Issuer);
    EXPECT_STREQ("Brio Virtual Token", info.Label);
    EXPECT_EQ(TokenSerial(), std::string(info.SerialNumber, strnlen(info.SerialNumber, 32)));
    EXPECT_EQ(1, info.HWVersion.major);
    EXPECT_EQ(1, info.FirmwareVersion.major);
    EXPECT_EQ(0x00000403u, (unsigned int)info.AlgSymCap);
    EXPECT_EQ(0x00030700u, (unsigned int)info.AlgAsymCap);
    EXPECT_EQ(0x00000007u, (unsigned int)info.AlgHashCap);
    EXPECT_EQ(0x00001301u, (unsigned int)info.DevAuthAlgId);
    EXPECT_EQ(65536u, (unsigned int)info.TotalSpace);
    EXPECT_EQ(128u, (unsigned int)info.MaxECCBufferSize);
    EXPECT_EQ(256u, (unsigned int)info.MaxBufferSize);
    EXPECT_EQ(Bytes(64, 0), Bytes(info.Reserved, info.Reserved + 64));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.GetDeviceInfo(static_cast<Struct_DEVINFO *>(nullptr)));

    /* the label through the device object, read back */
    char label[] = "Relabelled";
    ASSERT_EQ(0u, dev.SetTokenLabel(label, (unsigned int)strlen(label)));
    ASSERT_EQ(0u, dev.GetDeviceInfo(&info));
    EXPECT_STREQ("Relabelled", info.Label);
}

TEST_F(DeviceObjectTest, TheOneApplicationIsListedAndOnlyItsExactNameOpens)
{
    CDeviceObject &dev = Open(2);
    unsigned int size = 0;
    ASSERT_EQ(0u, dev.EnumApplication(nullptr, &size));
    EXPECT_EQ(6u, size);
    char list[16];
    memset(list, 'x', sizeof(list));
    size = 5;
    EXPECT_EQ(SAR_BUFFER_TOO_SMALL, dev.EnumApplication(list, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ('x', list[0]);
    size = sizeof(list);
    ASSERT_EQ(0u, dev.EnumApplication(list, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, memcmp("Tola\0\0", list, 6));
    EXPECT_EQ('x', list[6]);
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.EnumApplication(list, nullptr));

    for (const char *name : {"Tolaa", "Tol", "tola", "", "Tola "}) {
        void *h = reinterpret_cast<void *>(0x1);
        EXPECT_EQ(SAR_APPLICATION_NOT_EXISTS, dev.OpenApplication(const_cast<char *>(name), &h)) << name;
        EXPECT_EQ(reinterpret_cast<void *>(0x1), h);
    }
    void *h = nullptr;
    ASSERT_EQ(0u, dev.OpenApplication((char *)"Tola", &h));
    std::unique_ptr<CApplicationObject> app(static_cast<CApplicationObject *>(h));
    EXPECT_STREQ("Tola", app->GetApplicationName());
    /* its caches were filled at the open: an empty token lists nothing */
    IApplication *pApp = app.get();
    unsigned int containers = 99, files = 99;
    EXPECT_EQ(0u, pApp->EnumContainer(nullptr, &containers));
    EXPECT_EQ(0u, pApp->EnumCosFile(nullptr, &files));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.OpenApplication((char *)"Tola", nullptr));
}

TEST_F(DeviceObjectTest, RandomNumbersOfEveryLengthComeFromTheToken)
{
    CDeviceObject &dev = Open(3);
    for (unsigned int len : {0u, 1u, 128u, 129u, 300u, 4096u}) {
        SCOPED_TRACE(len);
        Bytes out(len + 16, 0);
        ASSERT_EQ(0u, dev.GenerateRandom(len, out.data()));
        EXPECT_EQ(Bytes(16, 0), Bytes(out.begin() + len, out.end())) << "written past the end";
        if (len >= 128) {
            /* each 128-byte piece carries random bytes, the last one too */
            for (unsigned int at = 0; at < len; at += 128) {
                unsigned int end = at + 128 < len ? at + 128 : len;
                if (end - at < 16) continue;
                EXPECT_NE(Bytes(end - at, 0), Bytes(out.begin() + at, out.begin() + end)) << "piece at " << at;
            }
        }
    }
}

/* ---- RSA ---- */

TEST_F(DeviceObjectTest, RawRsaPublicOperationEqualsOpenSsl)
{
    CDeviceObject &dev = Open(4);
    for (unsigned int bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        oracle::RsaKey key(bits);
        Struct_RSAPUBLICKEYBLOB blob = key.PublicBlob();
        Bytes in = oracle::RandomBytes(bits / 8);
        in[0] = 0x01;  // below the modulus
        Bytes out(256, 0);
        unsigned int outLen = (unsigned int)out.size();
        ASSERT_EQ(0u, dev.ExtRSAPubKeyOperation(&blob, in.data(), bits / 8, out.data(), &outLen));
        ASSERT_EQ(bits / 8, outLen);
        out.resize(outLen);
        EXPECT_EQ(key.RawPublic(in), out);
    }
}

TEST_F(DeviceObjectTest, RawRsaPublicOperationRefusesWrongLengths)
{
    CDeviceObject &dev = Open(5);
    oracle::RsaKey key(2048);
    Struct_RSAPUBLICKEYBLOB blob = key.PublicBlob();
    Bytes in(256, 1), out(256, 0);
    unsigned int outLen = 256;
    EXPECT_EQ(SAR_INDATALENERR, dev.ExtRSAPubKeyOperation(&blob, in.data(), 255, out.data(), &outLen));
    EXPECT_EQ(256u, outLen);
    outLen = 255;
    EXPECT_EQ(SAR_BUFFER_TOO_SMALL, dev.ExtRSAPubKeyOperation(&blob, in.data(), 256, out.data(), &outLen));
    EXPECT_EQ(256u, outLen);
    for (unsigned int bits : {0u, 2056u, 4096u, 0xFFFFFFF8u}) {
        blob.BitLen = bits;
        outLen = 256;
        EXPECT_EQ(SAR_MODULUSLENERR, dev.ExtRSAPubKeyOperation(&blob, in.data(), 256, out.data(), &outLen)) << bits;
        EXPECT_EQ(SAR_MODULUSLENERR, dev.RSAVerify(&blob, in.data(), 20, in.data(), 256)) << bits;
    }
    blob.BitLen = 2048;
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ExtRSAPubKeyOperation(&blob, in.data(), 256, out.data(), nullptr));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ExtRSAPubKeyOperation(nullptr, in.data(), 256, out.data(), &outLen));
}

/* A block 00 01 FF.. 00 data of n bytes, then changed by the case. */
Bytes Pkcs1Block(size_t n, const Bytes &data)
{
    Bytes block(n, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[n - data.size() - 1] = 0x00;
    if (!data.empty()) memcpy(&block[n - data.size()], data.data(), data.size());
    return block;
}

struct ForgeryCase {
    const char *name;
    /* the signed block and the data the verification is asked about */
    Bytes (*block)(size_t n, const Bytes &data);
    Bytes (*verified)(const Bytes &data);
};

Bytes Same(const Bytes &d) { return d; }

const ForgeryCase kForgeries[] = {
    {"EmptyDataAgainstARealSignature", [](size_t n, const Bytes &d) { return Pkcs1Block(n, d); },
     [](const Bytes &) { return Bytes(); }},
    {"TailOfTheSignedData", [](size_t n, const Bytes &d) { return Pkcs1Block(n, d); },
     [](const Bytes &d) { return Bytes(d.begin() + 1, d.end()); }},
    {"FlippedDataBit", [](size_t n, const Bytes &d) { return Pkcs1Block(n, d); },
     [](const Bytes &d) {
         Bytes v = d;
         v[3] ^= 0x10;
         return v;
     }},
    {"BlockType2",
     [](size_t n, const Bytes &d) {
         Bytes b = Pkcs1Block(n, d);
         b[1] = 0x02;
         return b;
     },
     Same},
    {"LeadingByteNotZero",
     [](size_t n, const Bytes &d) {
         Bytes b = Pkcs1Block(n, d);
         b[0] = 0x01;
         b[1] = 0x00;
         return b;
     },
     Same},
    {"PaddingByteNotFF",
     [](size_t n, const Bytes &d) {
         Bytes b = Pkcs1Block(n, d);
         b[5] = 0xFE;
         return b;
     },
     Same},
    {"NoZeroBeforeTheData",
     [](size_t n, const Bytes &d) {
         Bytes b = Pkcs1Block(n, d);
         b[n - d.size() - 1] = 0xFF;
         return b;
     },
     Same},
    /* the data at the end, garbage between the padding and the data */
    {"GarbageBeforeTheData",
     [](size_t n, const Bytes &d) {
         Bytes b(n, 0xFF);
         b[0] = 0x00;
         b[1] = 0x01;
         b[10] = 0x00;
         for (size_t i = 11; i < n - d.size(); ++i) b[i] = (unsigned char)(i * 7);
         memcpy(&b[n - d.size()], d.data(), d.size());
         return b;
     },
     Same},
};

TEST_F(DeviceObjectTest, RsaVerificationTakesOpenSslSignaturesAndRefusesForgedBlocks)
{
    CDeviceObject &dev = Open(6);
    oracle::RsaKey key(2048);
    Struct_RSAPUBLICKEYBLOB blob = key.PublicBlob();
    /* a DigestInfo of SHA-256 and its hash, as callers pass it */
    Bytes data = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
                  0x05, 0x00, 0x04, 0x20};
    Bytes hash = oracle::RandomBytes(32);
    data.insert(data.end(), hash.begin(), hash.end());

    Bytes sig = key.SignPkcs1(data);
    ASSERT_EQ(256u, sig.size());
    EXPECT_EQ(0u, dev.RSAVerify(&blob, data.data(), (unsigned int)data.size(), sig.data(), 256));
    /* the longest data a 2048-bit block carries, and data of length 0 when that was signed */
    Bytes longest = oracle::RandomBytes(245), empty;
    Bytes sigLongest = key.SignPkcs1(longest);
    EXPECT_EQ(0u, dev.RSAVerify(&blob, longest.data(), 245, sigLongest.data(), 256));
    EXPECT_EQ(SAR_INDATALENERR, dev.RSAVerify(&blob, longest.data(), 246, sigLongest.data(), 256));
    Bytes sigEmpty = key.RawPrivate(Pkcs1Block(256, empty));
    unsigned char none = 0;
    EXPECT_EQ(0u, dev.RSAVerify(&blob, &none, 0, sigEmpty.data(), 256));

    Bytes flipped = sig;
    flipped[100] ^= 0x01;
    EXPECT_EQ(SAR_HASHNOTEQUALERR, dev.RSAVerify(&blob, data.data(), (unsigned int)data.size(), flipped.data(), 256));
    EXPECT_EQ(SAR_INDATALENERR, dev.RSAVerify(&blob, data.data(), (unsigned int)data.size(), sig.data(), 255));

    for (const ForgeryCase &c : kForgeries) {
        SCOPED_TRACE(c.name);
        Bytes forged = key.RawPrivate(c.block(256, data));
        ASSERT_EQ(256u, forged.size());
        Bytes asked = c.verified(data);
        unsigned char *pbAsked = asked.empty() ? &none : asked.data();
        EXPECT_EQ(SAR_HASHNOTEQUALERR, dev.RSAVerify(&blob, pbAsked, (unsigned int)asked.size(), forged.data(), 256));
    }
}

/* s with s^3 = data (mod 2^(8 len)) for odd data: s^3 stays below a 2048-bit
 * modulus, so s^3 mod N ends with the data while its front is whatever the
 * cube gives, no padding at all. */
Bytes CubeRootSuffix(const Bytes &data, size_t n)
{
    oracle::Bn d(BN_bin2bn(data.data(), (int)data.size(), nullptr));
    oracle::Bn s(BN_new()), cube(BN_new()), diff(BN_new()), mod(BN_new());
    BN_CTX *ctx = BN_CTX_new();
    BN_one(s.get());
    int bits = (int)data.size() * 8;
    for (int i = 1; i < bits; ++i) {
        BN_one(mod.get());
        BN_lshift(mod.get(), mod.get(), i + 1);
        BN_sqr(cube.get(), s.get(), ctx);
        BN_mul(cube.get(), cube.get(), s.get(), ctx);
        BN_sub(diff.get(), cube.get(), d.get());
        BN_nnmod(diff.get(), diff.get(), mod.get(), ctx);
        if (!BN_is_zero(diff.get())) BN_set_bit(s.get(), i);
    }
    BN_CTX_free(ctx);
    return oracle::BnBytes(s.get(), n);
}

TEST_F(DeviceObjectTest, SmallExponentForgeryIsRefused)
{
    CDeviceObject &dev = Open(7);
    oracle::RsaKey key(2048, 3);
    Struct_RSAPUBLICKEYBLOB blob = key.PublicBlob();
    ASSERT_EQ(3, blob.PublicExponent[3]);
    Bytes data = oracle::RandomBytes(36);
    data.back() |= 0x01;
    Bytes forged = CubeRootSuffix(data, 256);
    /* the forgery does end with the data after the public operation */
    Bytes m(256, 0);
    unsigned int mLen = 256;
    ASSERT_EQ(0u, dev.ExtRSAPubKeyOperation(&blob, forged.data(), 256, m.data(), &mLen));
    ASSERT_EQ(data, Bytes(m.end() - 36, m.end()));
    EXPECT_EQ(SAR_HASHNOTEQUALERR, dev.RSAVerify(&blob, data.data(), 36, forged.data(), 256));
    /* a real signature under the same key verifies */
    Bytes sig = key.SignPkcs1(data);
    EXPECT_EQ(0u, dev.RSAVerify(&blob, data.data(), 36, sig.data(), 256));
}

/* ---- SM2 ---- */

TEST_F(DeviceObjectTest, Sm2VerificationTakesOpenSslSignaturesAndRefusesChangedOnes)
{
    CDeviceObject &dev = Open(8);
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    Bytes e = oracle::RandomBytes(32);
    Bytes rs = key.SignDigest(e);
    ASSERT_EQ(64u, rs.size());
    Struct_ECCSIGNATUREBLOB sig;
    memset(&sig, 0, sizeof(sig));
    memcpy(sig.r + 32, rs.data(), 32);
    memcpy(sig.s + 32, rs.data() + 32, 32);
    EXPECT_EQ(0u, dev.ECCVerify(&pub, e.data(), 32, sig.r, sig.s));

    Bytes e2 = e;
    e2[0] ^= 0x80;
    EXPECT_NE(0u, dev.ECCVerify(&pub, e2.data(), 32, sig.r, sig.s));
    Struct_ECCSIGNATUREBLOB bad = sig;
    bad.s[63] ^= 0x01;
    EXPECT_NE(0u, dev.ECCVerify(&pub, e.data(), 32, bad.r, bad.s));
    oracle::Sm2Key other;
    Struct_ECCPUBLICKEYBLOB otherPub = other.PublicBlob();
    EXPECT_NE(0u, dev.ECCVerify(&otherPub, e.data(), 32, sig.r, sig.s));

    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ECCVerify(&pub, e.data(), 31, sig.r, sig.s));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ECCVerify(&pub, e.data(), 32, nullptr, sig.s));
    pub.BitLen = 512;
    EXPECT_EQ(SAR_MODULUSLENERR, dev.ECCVerify(&pub, e.data(), 32, sig.r, sig.s));
}

TEST_F(DeviceObjectTest, Sm2EncryptionOnTheTokenDecryptsWithOpenSsl)
{
    CDeviceObject &dev = Open(9);
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    oracle::ExpectSm2EncryptionOpens(key, [&](unsigned char *plain, unsigned int len, Struct_ECCCIPHERBLOB *pBlob) {
        return dev.ExtECCEncrypt(&pub, plain, len, pBlob);
    });
    std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + 129, 0);
    Bytes plain(129, 1);
    EXPECT_EQ(ERR_BAD_LENGTH,
              dev.ExtECCEncrypt(&pub, plain.data(), 129, reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data())));
}

TEST_F(DeviceObjectTest, Sm2DecryptionWithACallersKeyOpensOpenSslCiphertexts)
{
    CDeviceObject &dev = Open(10);
    oracle::Sm2Key key;
    Struct_ECCPRIVATEKEYBLOB pri = key.PrivateBlob();
    for (unsigned int len : {1u, 20u, 64u, 120u}) {
        SCOPED_TRACE(len);
        Bytes plain = oracle::RandomBytes(len);
        std::vector<unsigned char> cipher = key.Encrypt(plain);
        ASSERT_FALSE(cipher.empty());
        Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(cipher.data());
        unsigned int outLen = 0;
        ASSERT_EQ(0u, dev.ExtECCDecrypt(&pri, pBlob, nullptr, &outLen));
        EXPECT_EQ(len, outLen);
        outLen = len - 1;
        Bytes out(len + 8, 0xCC);
        EXPECT_EQ(SAR_BUFFER_TOO_SMALL, dev.ExtECCDecrypt(&pri, pBlob, out.data(), &outLen));
        EXPECT_EQ(len, outLen);
        outLen = len + 8;
        ASSERT_EQ(0u, dev.ExtECCDecrypt(&pri, pBlob, out.data(), &outLen));
        ASSERT_EQ(len, outLen);
        EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + len));
        EXPECT_EQ(0xCC, out[len]);
    }
    /* 121 bytes no longer fit the command */
    std::vector<unsigned char> cipher = key.Encrypt(oracle::RandomBytes(121));
    Bytes out(200);
    unsigned int outLen = 200;
    EXPECT_EQ(SAR_INDATALENERR,
              dev.ExtECCDecrypt(&pri, reinterpret_cast<Struct_ECCCIPHERBLOB *>(cipher.data()), out.data(), &outLen));
}

TEST_F(DeviceObjectTest, Sm2SignatureWithACallersKeyVerifiesWithOpenSsl)
{
    CDeviceObject &dev = Open(11);
    oracle::Sm2Key key;
    Struct_ECCPRIVATEKEYBLOB pri = key.PrivateBlob();
    for (int round = 0; round < 3; ++round) {
        Bytes e = oracle::RandomBytes(32);
        Struct_ECCSIGNATUREBLOB sig;
        memset(&sig, 0, sizeof(sig));
        ASSERT_EQ(0u, dev.ExtECCSign(&pri, e.data(), 32, sig.r, sig.s));
        EXPECT_TRUE(key.VerifyDigest(e, sig.r + 32, sig.s + 32));
        Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
        EXPECT_EQ(0u, dev.ECCVerify(&pub, e.data(), 32, sig.r, sig.s));
    }
}

/* ---- raw commands ---- */

TEST_F(DeviceObjectTest, TransmitCarriesARawFrameAndItsRawAnswer)
{
    CDeviceObject &dev = Open(12);
    /* GetDevInfo, plain: B0 04 00 00, no body, Le 288 */
    unsigned char frame[] = {0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x20};
    Bytes answer(1024, 0);
    unsigned int len = (unsigned int)answer.size();
    ASSERT_EQ(0u, dev.Transmit(frame, sizeof(frame), answer.data(), &len));
    ASSERT_EQ(4u + 288u, len);
    EXPECT_EQ(0x90, answer[0]);
    EXPECT_EQ(0x00, answer[1]);
    EXPECT_EQ(0x01, answer[2]);
    EXPECT_EQ(0x20, answer[3]);
    EXPECT_EQ(TokenSerial(), std::string((const char *)&answer[4 + 164]));
    EXPECT_EQ(0x7F, answer[4 + 224]);

    len = 100;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, dev.Transmit(frame, sizeof(frame), answer.data(), &len));
    EXPECT_EQ(292u, len);
    len = 100;
    EXPECT_EQ(ERR_EMPTY_COMMAND, dev.Transmit(frame, 0, answer.data(), &len));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.Transmit(frame, sizeof(frame), answer.data(), nullptr));
    /* a class the token does not offer */
    unsigned char unknown[] = {0x80, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    len = (unsigned int)answer.size();
    ASSERT_EQ(0u, dev.Transmit(unknown, sizeof(unknown), answer.data(), &len));
    ASSERT_GE(len, 2u);
    EXPECT_EQ(0x6D, answer[0]);
}

TEST_F(DeviceObjectTest, UnofferedOperationsSayNotSupported)
{
    CDeviceObject &dev = Open(13);
    unsigned char b[16] = {0};
    unsigned int len = 16;
    void *h = nullptr;
    Struct_RSAPRIVATEKEYBLOB pri;
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.DevAuth(b, 16));
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.ChangeDevAuth(b, 16));
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.CreateApplication((char *)"A", (char *)"1", 3, (char *)"2", 3, 0, &h));
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.DeleteApplication((char *)"Tola"));
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.GenExtRSAKey(1024, &pri));
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.ExtRSAPriKeyOperation(&pri, b, 16, b, &len));
}

/* ---- handles made by the device object ---- */

Bytes Concat(const Bytes &a, const Bytes &b)
{
    Bytes c = a;
    c.insert(c.end(), b.begin(), b.end());
    return c;
}

Bytes DigestOf(CKeyObject *pHash, const Bytes &msg)
{
    Bytes out(64, 0);
    unsigned int len = (unsigned int)out.size();
    Bytes in = msg;
    if (pHash->DigestUpdate(in.data(), (unsigned int)in.size()) != 0) return {};
    if (pHash->DigestFinal(out.data(), &len) != 0) return {};
    out.resize(len);
    return out;
}

TEST_F(DeviceObjectTest, DigestWithTheZValueEqualsOpenSslSm3OfZAndTheMessage)
{
    CDeviceObject &dev = Open(14);
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    Bytes msg = oracle::RandomBytes(300);
    unsigned char id[] = "1234567812345678";
    void *h = nullptr;
    ASSERT_EQ(0u, dev.DigestInit(SGD_SM3, &pub, id, 16, &h));
    std::unique_ptr<CKeyObject> hash(static_cast<CKeyObject *>(h));
    Bytes e = DigestOf(hash.get(), msg);
    EXPECT_EQ(oracle::Sm3(Concat(key.Z(), msg)), e);
    /* OpenSSL's own signature of the message verifies over that digest */
    Bytes rs = key.SignMessage(msg);
    ASSERT_EQ(64u, rs.size());
    Struct_ECCSIGNATUREBLOB sig = {};
    memcpy(sig.r + 32, rs.data(), 32);
    memcpy(sig.s + 32, rs.data() + 32, 32);
    EXPECT_EQ(0u, dev.ECCVerify(&pub, e.data(), 32, sig.r, sig.s));
}

struct PlainDigestCase {
    unsigned int alg;
    const EVP_MD *(*md)();
};

TEST_F(DeviceObjectTest, DigestsWithoutAKeyAreThePlainHashes)
{
    CDeviceObject &dev = Open(15);
    Bytes msg = oracle::RandomBytes(1000);
    for (const PlainDigestCase &c : {PlainDigestCase{SGD_SM3, EVP_sm3}, PlainDigestCase{SGD_SHA1, EVP_sha1},
                                     PlainDigestCase{SGD_SHA256, EVP_sha256}}) {
        SCOPED_TRACE(c.alg);
        void *h = nullptr;
        /* without a key the ID is not looked at */
        ASSERT_EQ(0u, dev.DigestInit(c.alg, nullptr, nullptr, 3, &h));
        std::unique_ptr<CKeyObject> hash(static_cast<CKeyObject *>(h));
        unsigned char expected[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_Digest(msg.data(), msg.size(), expected, &len, c.md(), nullptr);
        EXPECT_EQ(Bytes(expected, expected + len), DigestOf(hash.get(), msg));
    }
}

TEST_F(DeviceObjectTest, SymmetricKeyHandlesAreMadeForKnownAlgorithmsOnly)
{
    CDeviceObject &dev = Open(16);
    Bytes key = oracle::RandomBytes(16);
    void *h = nullptr;
    ASSERT_EQ(0u, dev.SetSymmKey(key.data(), SGD_SM4_ECB, &h));
    ASSERT_NE(nullptr, h);
    std::unique_ptr<CKeyObject> sym(static_cast<CKeyObject *>(h));
    EXPECT_NE(nullptr, dynamic_cast<CSymKeyObject *>(sym.get()));
    void *h2 = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, dev.SetSymmKey(key.data(), 0x999, &h2));
    EXPECT_EQ(reinterpret_cast<void *>(0x1), h2);
}

}  // namespace
