/* The device object against a scripted token: what goes on the wire for
 * random numbers, the software road of SM2 encryption when the token lacks
 * the command (decrypted by OpenSSL), and token answers whose lengths do
 * not fit their fields or the caller's buffer. */
#include <gtest/gtest.h>
#include <string.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "SarnCore/tests/FakeToken.h"
#include "skf/ApplicationObject.h"
#include "skf/DeviceObject.h"
#include "skf/tests/SkfCryptoOracle.h"

namespace {

class ScriptedDeviceTest : public ::testing::Test {
protected:
    ScriptedDeviceTest() : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        ctx.m_pApduChip = new CFakeLink<CAPDUChip>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduContainer = new CFakeLink<CAPDUContainer>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduCrypto = new CFakeLink<CAPDUCrypto>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduFile = new CFakeLink<CAPDUFile>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduKey = new CFakeLink<CAPDUKey>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduPin = new CFakeLink<CAPDUPin>(ctx.m_pDevieHandle, &token);
    }

    CDeviceContext ctx;
    FakeToken token;
    CDeviceObject dev{&ctx};
};

/* ---- random numbers in pieces of 128 ---- */

struct RandomCase {
    unsigned int len;
    std::vector<unsigned int> pieces;
};

class RandomPieces : public ScriptedDeviceTest, public ::testing::WithParamInterface<RandomCase> {};

TEST_P(RandomPieces, AskTheTokenPieceByPieceAndFillFrontToBack)
{
    const RandomCase &c = GetParam();
    for (size_t i = 0; i < c.pieces.size(); ++i) token.Answer(0x9000, Bytes(c.pieces[i], (unsigned char)(i + 1)));
    Bytes out(c.len + 8, 0xEE);
    ASSERT_EQ(0u, dev.GenerateRandom(c.len, out.data()));
    ASSERT_EQ(c.pieces.size(), token.seen.size());
    size_t pos = 0;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        ExpectSent(token.seen[i], 0xB0, 0x50, 0, 0, c.pieces[i], {});
        for (unsigned int k = 0; k < c.pieces[i]; ++k) ASSERT_EQ(i + 1, out[pos++]) << "piece " << i;
    }
    for (size_t k = c.len; k < out.size(); ++k) EXPECT_EQ(0xEE, out[k]) << "written past the end";
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RandomPieces,
    ::testing::Values(RandomCase{0, {}}, RandomCase{1, {1}}, RandomCase{128, {128}}, RandomCase{129, {128, 1}},
                      RandomCase{300, {128, 128, 44}},
                      RandomCase{4096, std::vector<unsigned int>(32, 128)}),
    [](const ::testing::TestParamInfo<RandomCase> &i) { return "len" + std::to_string(i.param.len); });

TEST_F(ScriptedDeviceTest, RandomStopsAtTheFirstRefusedPieceKeepingWhatCame)
{
    token.Answer(0x9000, Bytes(128, 0x11));
    token.Answer(0x6A80);
    Bytes out(300, 0);
    EXPECT_EQ(0x80006A80u, dev.GenerateRandom(300, out.data()));
    EXPECT_EQ(2u, token.seen.size());
    EXPECT_EQ(0x11, out[127]);
    EXPECT_EQ(0, out[128]);
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.GenerateRandom(4, nullptr));
}

/* ---- the application list and the token's life status ---- */

TEST_F(ScriptedDeviceTest, ApplicationListNeedsAUsableLifeStatus)
{
    Bytes info(288, 0);
    info[224] = 0x7E;  // not 0x7F00
    token.Answer(0x9000, info);
    unsigned int size = 5;
    EXPECT_EQ(SAR_APPLICATION_NOT_EXISTS, dev.EnumApplication(nullptr, &size));
    EXPECT_EQ(0u, size);

    token.Answer(0x6F00);
    size = 99;
    EXPECT_EQ(0x80006F00u, dev.EnumApplication(nullptr, &size));
    EXPECT_EQ(0u, size);
}

/* The connection read the device information when it was opened; the
 * application's open asks only for what it loads (containers, files). */
TEST_F(ScriptedDeviceTest, ApplicationOpensWithoutReadingTheDeviceInformationAgain)
{
    void *h = nullptr;
    unsigned int ulRet = dev.OpenApplication((char *)"Tola", &h);
    ASSERT_FALSE(token.seen.empty()) << "code 0x" << std::hex << ulRet;
    for (const SeenCommand &c : token.seen)
        EXPECT_FALSE(c.cla == APDU_CLA_PLAIN && c.ins == 0x04 && c.p1 == 0x00) << "GetDevInfo was sent";
    if (ulRet == 0) delete static_cast<CApplicationObject *>(h);
}

/* ---- SM2 encryption: the software road ---- */

TEST_F(ScriptedDeviceTest, EncryptionOnATokenWithoutTheCommandRunsInSoftware)
{
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    oracle::ExpectSm2EncryptionOpens(key, [&](unsigned char *plain, unsigned int len, Struct_ECCCIPHERBLOB *pBlob) {
        token.Answer(0x6D00);
        return dev.ExtECCEncrypt(&pub, plain, len, pBlob);
    });
    /* the token was asked each time; the last with 8 + 64 + 128 bytes */
    ASSERT_EQ(4u, token.seen.size());
    for (const SeenCommand &c : token.seen) EXPECT_EQ(0x7A, c.ins);
    EXPECT_EQ(200u, token.seen[3].body.size());
}

/* ---- hostile answers ---- */

/* A token answer to the external SM2 encryption: bit length, X, Y, HASH,
 * cipher length, cipher. */
Bytes EncryptAnswer(unsigned int bits, unsigned int coordLen, unsigned int cipherLen, unsigned int cipherBytes)
{
    Bytes a = {(unsigned char)(bits >> 24), (unsigned char)(bits >> 16), (unsigned char)(bits >> 8),
               (unsigned char)bits};
    a.insert(a.end(), 2 * coordLen + 32, 0x5A);
    a.push_back((unsigned char)(cipherLen >> 24));
    a.push_back((unsigned char)(cipherLen >> 16));
    a.push_back((unsigned char)(cipherLen >> 8));
    a.push_back((unsigned char)cipherLen);
    a.insert(a.end(), cipherBytes, 0x77);
    return a;
}

Bytes Cut(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

struct EncryptAnswerCase {
    const char *name;
    Bytes answer;
    unsigned int result;
};

class HostileEncryptAnswer : public ScriptedDeviceTest, public ::testing::WithParamInterface<EncryptAnswerCase> {};

TEST_P(HostileEncryptAnswer, IsHeldToTheFieldsAndTheCallersRoom)
{
    const unsigned int plainLen = 16;
    token.Answer(0x9000, GetParam().answer);
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    Bytes plain(plainLen, 1);
    std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + plainLen + 64, 0xCC);
    Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
    EXPECT_EQ(GetParam().result, dev.ExtECCEncrypt(&pub, plain.data(), plainLen, pBlob));
    if (GetParam().result != 0) {
        for (unsigned char b : room) ASSERT_EQ(0xCC, b) << "written although refused";
    } else {
        EXPECT_EQ(plainLen, (unsigned int)pBlob->CipherLen);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileEncryptAnswer,
    ::testing::Values(EncryptAnswerCase{"Regular", EncryptAnswer(256, 32, 16, 16), 0},
                      /* bit length 1024 over an answer that holds only 256-bit coordinates */
                      EncryptAnswerCase{"CoordinatesWiderThanTheirField", EncryptAnswer(1024, 0, 16, 16),
                                        ERR_BAD_LENGTH},
                      /* narrower coordinates leave room in the answer for one byte more than the caller has */
                      EncryptAnswerCase{"CipherLongerThanThePlaintext", EncryptAnswer(192, 24, 17, 17),
                                        ERR_BAD_LENGTH},
                      EncryptAnswerCase{"AnswerLongerThanItsBuffer", EncryptAnswer(256, 32, 17, 17),
                                        ERR_BUFFER_TOO_SMALL},
                      EncryptAnswerCase{"CipherLongerThanTheAnswer", EncryptAnswer(256, 32, 16, 8), ERR_BAD_LENGTH},
                      EncryptAnswerCase{"CipherLengthNearFourGiB", EncryptAnswer(256, 32, 0xFFFFFFF0u, 16),
                                        ERR_BAD_LENGTH},
                      EncryptAnswerCase{"NoCoordinates", EncryptAnswer(0, 0, 16, 16), ERR_BAD_LENGTH},
                      EncryptAnswerCase{"CutInTheCipherLength", Cut(EncryptAnswer(256, 32, 16, 16), 102),
                                        ERR_BAD_LENGTH},
                      EncryptAnswerCase{"ThreeBytes", Bytes(3, 0), ERR_BAD_LENGTH}),
    [](const ::testing::TestParamInfo<EncryptAnswerCase> &i) { return std::string(i.param.name); });

/* A token answer to the external SM2 decryption: plaintext length, plaintext. */
Bytes DecryptAnswer(unsigned int plainLen, unsigned int plainBytes)
{
    Bytes a = {(unsigned char)(plainLen >> 24), (unsigned char)(plainLen >> 16), (unsigned char)(plainLen >> 8),
               (unsigned char)plainLen};
    a.insert(a.end(), plainBytes, 0x42);
    return a;
}

struct DecryptAnswerCase {
    const char *name;
    Bytes answer;
    unsigned int room;
    unsigned int result;
    unsigned int outLen;
};

class HostileDecryptAnswer : public ScriptedDeviceTest, public ::testing::WithParamInterface<DecryptAnswerCase> {};

TEST_P(HostileDecryptAnswer, IsHeldToTheAnswerAndTheCallersBuffer)
{
    const DecryptAnswerCase &c = GetParam();
    token.Answer(0x9000);  // the session check
    token.Answer(0x9000, c.answer);
    Struct_ECCPRIVATEKEYBLOB pri = {};
    pri.BitLen = 256;
    std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + 16, 0);
    Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
    pBlob->CipherLen = 16;
    Bytes out(c.room + 32, 0xCC);
    unsigned int len = c.room;
    EXPECT_EQ(c.result, dev.ExtECCDecrypt(&pri, pBlob, out.data(), &len));
    EXPECT_EQ(c.outLen, len);
    for (size_t k = c.result == 0 ? c.outLen : 0; k < out.size(); ++k) ASSERT_EQ(0xCC, out[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileDecryptAnswer,
    ::testing::Values(DecryptAnswerCase{"Regular", DecryptAnswer(16, 16), 16, 0, 16},
                      DecryptAnswerCase{"LengthBeyondTheAnswer", DecryptAnswer(40, 16), 64, ERR_BAD_LENGTH, 64},
                      DecryptAnswerCase{"LongerThanTheCallersBuffer", DecryptAnswer(20, 20), 16, ERR_BAD_LENGTH, 16},
                      DecryptAnswerCase{"LengthNearFourGiB", DecryptAnswer(0xFFFFFFFFu, 16), 16, ERR_BAD_LENGTH, 16},
                      DecryptAnswerCase{"NoLength", Bytes(2, 0), 16, ERR_BAD_LENGTH, 16}),
    [](const ::testing::TestParamInfo<DecryptAnswerCase> &i) { return std::string(i.param.name); });

TEST_F(ScriptedDeviceTest, DecryptionInputBeyondTheCommandBodyIsRefusedBeforeAnything)
{
    Struct_ECCPRIVATEKEYBLOB pri = {};
    pri.BitLen = 256;
    std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + 200, 0);
    Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
    Bytes out(256, 0);
    for (unsigned int cipherLen : {121u, 0xFFFFFF9Cu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(cipherLen);
        pBlob->CipherLen = cipherLen;
        unsigned int len = 0xFFFFFFFFu;
        EXPECT_EQ(SAR_INDATALENERR, dev.ExtECCDecrypt(&pri, pBlob, out.data(), &len));
        len = 7;
        EXPECT_EQ(SAR_INDATALENERR, dev.ExtECCDecrypt(&pri, pBlob, nullptr, &len));
    }
    EXPECT_TRUE(token.seen.empty());

    /* 120 bytes fill the body exactly: 4 + 32 + 100 + 120 = 256. */
    pBlob->CipherLen = 120;
    token.Answer(0x9000);
    token.Answer(0x9000, DecryptAnswer(120, 120));
    unsigned int len = 120;
    EXPECT_EQ(0u, dev.ExtECCDecrypt(&pri, pBlob, out.data(), &len));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(256u, token.seen[1].body.size());
}

TEST_F(ScriptedDeviceTest, KeyLengthsOutsideTheFieldsAreRefusedBeforeAnyCopy)
{
    Struct_ECCPRIVATEKEYBLOB pri = {};
    unsigned char data[32] = {0};
    Struct_ECCSIGNATUREBLOB sig = {};
    std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + 16, 0);
    Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
    pBlob->CipherLen = 16;
    unsigned char out[16];
    for (unsigned int bits : {0u, 255u, 520u, 0xFFFFFFF8u}) {
        SCOPED_TRACE(bits);
        pri.BitLen = bits;
        token.bRepeat = true;  // the session check answers 90 00
        EXPECT_EQ(SAR_MODULUSLENERR, dev.ExtECCSign(&pri, data, 32, sig.r, sig.s));
        unsigned int len = sizeof(out);
        EXPECT_EQ(SAR_MODULUSLENERR, dev.ExtECCDecrypt(&pri, pBlob, out, &len));
    }
    for (const SeenCommand &c : token.seen) EXPECT_NE(0x7E, c.ins);
    for (const SeenCommand &c : token.seen) EXPECT_NE(0x7C, c.ins);
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ExtECCSign(&pri, data, 32, nullptr, sig.s));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.ExtECCSign(&pri, data, 32, sig.r, nullptr));
}

TEST_F(ScriptedDeviceTest, ShortSignatureAnswerWritesNothing)
{
    Struct_ECCPRIVATEKEYBLOB pri = {};
    pri.BitLen = 256;
    unsigned char data[32] = {0};
    Struct_ECCSIGNATUREBLOB sig;
    memset(&sig, 0xCC, sizeof(sig));
    token.Answer(0x9000);
    token.Answer(0x9000, Bytes(40, 1));
    EXPECT_NE(0u, dev.ExtECCSign(&pri, data, 32, sig.r, sig.s));
    for (unsigned char b : Bytes(sig.r, sig.r + 128)) ASSERT_EQ(0xCC, b);
}

}  // namespace

namespace {

/* ---- digest handles: the checks before any handle is made ---- */

struct DigestArgsCase {
    const char *name;
    unsigned int alg;
    bool withKey;
    const char *id;  /* null: no ID */
    unsigned int idLen;
    unsigned int bitLen;
    unsigned int result;
};

class DigestArguments : public ScriptedDeviceTest, public ::testing::WithParamInterface<DigestArgsCase> {};

TEST_P(DigestArguments, AreRefusedWithoutAHandle)
{
    const DigestArgsCase &c = GetParam();
    oracle::Sm2Key key;
    Struct_ECCPUBLICKEYBLOB pub = key.PublicBlob();
    pub.BitLen = c.bitLen;
    /* the ID in a buffer of exactly its length, so that a read past it shows */
    std::unique_ptr<unsigned char[]> id;
    if (c.id != nullptr) {
        id.reset(new unsigned char[c.idLen == 0 ? 1 : c.idLen]);
        memcpy(id.get(), c.id, c.idLen);
    }
    void *h = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(c.result, dev.DigestInit(c.alg, c.withKey ? &pub : nullptr, id.get(), c.idLen, &h));
    EXPECT_EQ(reinterpret_cast<void *>(0x1), h);
    EXPECT_TRUE(token.seen.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DigestArguments,
    ::testing::Values(DigestArgsCase{"UnknownAlgorithm", 8, false, nullptr, 0, 256, SAR_INDATAERR},
                      DigestArgsCase{"Sha512IsNotOffered", 0x10, false, nullptr, 0, 256, SAR_INDATAERR},
                      DigestArgsCase{"NoId", SGD_SM3, true, nullptr, 0, 256, SAR_INVALIDPARAMERR},
                      DigestArgsCase{"ShortIdIsReadForItsLengthOnly", SGD_SM3, true, "123", 3, 256,
                                     SAR_INVALIDPARAMERR},
                      DigestArgsCase{"DefaultIdLessItsLastByte", SGD_SM3, true, "1234567812345678", 15, 256,
                                     SAR_INVALIDPARAMERR},
                      DigestArgsCase{"DefaultIdAndOneByteMore", SGD_SM3, true, "12345678123456789", 17, 256,
                                     SAR_INVALIDPARAMERR},
                      DigestArgsCase{"OtherIdOfSixteenBytes", SGD_SM3, true, "ALICE123@YAHOO.C", 16, 256,
                                     SAR_INVALIDPARAMERR},
                      DigestArgsCase{"KeyOfAnotherLength", SGD_SM3, true, "1234567812345678", 16, 512,
                                     SAR_MODULUSLENERR}),
    [](const ::testing::TestParamInfo<DigestArgsCase> &i) { return std::string(i.param.name); });

TEST_F(ScriptedDeviceTest, DigestHandleNeedsAnOutput)
{
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.DigestInit(SGD_SM3, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(SAR_INVALIDPARAMERR, dev.SetSymmKey(nullptr, SGD_SM4_ECB, nullptr));
}

}  // namespace
