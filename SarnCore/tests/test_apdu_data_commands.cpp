/* The container, file, key and cryptographic commands against the fake
 * token: the bytes each sends, how chunked commands split, and what they
 * make of short, empty or oversized answers. */
#include <gtest/gtest.h>

#include <functional>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/APDUContainer.h"
#include "SarnCore/APDUCrypto.h"
#include "SarnCore/APDUFile.h"
#include "SarnCore/APDUKey.h"
#include "FakeToken.h"

namespace {

unsigned char g_in[1024];
unsigned char g_out[1024];
unsigned int g_len;
const bool g_bFilled = [] {
    for (unsigned int i = 0; i < sizeof(g_in); ++i) g_in[i] = (unsigned char)(i * 13 + 5);
    return true;
}();
unsigned char AUTH[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                          0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
char NAME[] = "ctr";

Bytes In(size_t n, size_t from = 0) { return Bytes(g_in + from, g_in + from + n); }
Bytes Auth() { return Bytes(AUTH, AUTH + 16); }
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes &p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}
/* A compact SM2 key: 256 bits, X, Y from the input pattern. */
Bytes Compact(size_t from) { return Cat({{0, 0, 1, 0}, In(64, from)}); }

struct Links {
    explicit Links(CDeviceInfo *p, FakeToken *t) : ctr(p, t), file(p, t), key(p, t), crypto(p, t) {}
    CFakeLink<CAPDUContainer> ctr;
    CFakeLink<CAPDUFile> file;
    CFakeLink<CAPDUKey> key;
    CFakeLink<CAPDUCrypto> crypto;
};

class DataCommandTest : public ::testing::Test {
protected:
    DataCommandTest() : token(&info), links(&info, &token) { OpenChannel(info); }
    CDeviceInfo info;
    FakeToken token;
    Links links;
};

struct DataRow {
    const char *name;
    std::function<unsigned int(Links &)> call;
    unsigned char cla, ins, p1, p2;
    unsigned int le;
    Bytes body;
    Bytes reply = {};  /* payload the token answers, when the command needs one */
};

class DataWireTest : public DataCommandTest, public ::testing::WithParamInterface<DataRow> {};

TEST_P(DataWireTest, SendsItsRow)
{
    const DataRow &r = GetParam();
    g_len = sizeof(g_out);
    if (!r.reply.empty()) token.Answer(0x9000, r.reply);
    ASSERT_EQ(0u, r.call(links));
    ASSERT_EQ(1u, token.seen.size());
    ExpectSent(token.seen[0], r.cla, r.ins, r.p1, r.p2, r.le, r.body);
}

const Bytes APP = {0, 0};

INSTANTIATE_TEST_SUITE_P(
    Containers, DataWireTest,
    ::testing::Values(
        DataRow{"EnumContainer", [](Links &l) { return l.ctr.EnumContainer(0, (char *)g_out, &g_len); }, 0xB0, 0x46,
                1, 1, 256, APP},
        DataRow{"CreateContainer", [](Links &l) { return l.ctr.CreateContainer(AUTH, 0, NAME); }, 0xB4, 0x40, 0, 0,
                0, Cat({Auth(), APP, {'c', 't', 'r'}})},
        DataRow{"DeleteContainerByIndex", [](Links &l) { return l.ctr.DeleteContainerByIndex(AUTH, 0, 3); }, 0xB4,
                0x48, 0, 0, 0, Cat({Auth(), APP, {3}})},
        DataRow{"DeleteContainerByName", [](Links &l) { return l.ctr.DeleteContainerByName(AUTH, 0, (char *)"x"); },
                0xB4, 0x48, 0, 1, 0, Cat({Auth(), APP, {0xFF, 'x'}})},
        DataRow{"OpenContainer", [](Links &l) { return l.ctr.OpenContainer(NAME, g_out, &g_len); }, 0xB0, 0x4A, 0,
                0, 8, {'c', 't', 'r'}}),
    [](const ::testing::TestParamInfo<DataRow> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Files, DataWireTest,
    ::testing::Values(
        DataRow{"CreateApplication", [](Links &l) { return l.file.CreateApplication(0x0102, g_in, 5); }, 0xB4, 0x20,
                0, 0, 0, Cat({{1, 2}, In(5)})},
        DataRow{"OpenApplication", [](Links &l) { return l.file.OpenApplication(0, g_out, &g_len); }, 0xB0, 0x2A, 0,
                0, 72, APP},
        DataRow{"CreateDataFile", [](Links &l) { return l.file.CreateDataFile(0, 0xD001, 0x0250); }, 0xB0, 0x30, 0,
                0, 0, {0, 0, 0xD0, 0x01, 0x02, 0x50}},
        DataRow{"DeleteDataFile", [](Links &l) { return l.file.DeleteDataFile(0, 0xD001); }, 0xB0, 0x32, 0, 0, 0,
                {0, 0, 0xD0, 0x01}},
        DataRow{"GetFileInfoSize", [](Links &l) { return l.file.GetFileInfo(0, 0xA000, 0, nullptr, nullptr); }, 0xB0,
                0x36, 0, 0, 2, {0, 0, 0xA0, 0x00}},
        DataRow{"GetFileInfoFull", [](Links &l) { return l.file.GetFileInfo(0, 0xA000, 1, g_out, &g_len); }, 0xB0,
                0x36, 1, 0, 20, {0, 0, 0xA0, 0x00}, Bytes(20, 0x33)},
        DataRow{"CreateFileSystem", [](Links &l) { return l.file.CreateFileSystem(); }, 0xB0, 0x3E, 0, 0, 0, {}}),
    [](const ::testing::TestParamInfo<DataRow> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Keys, DataWireTest,
    ::testing::Values(
        DataRow{"GenRsaKeyPair", [](Links &l) { return l.key.GenRsaKeyPair(7, AUTH, 0, 0x4011, 65537); }, 0xB4, 0x54,
                7, 0, 0, Cat({Auth(), APP, {0x40, 0x11, 0, 1, 0, 1}})},
        DataRow{"GenSm2KeyPair", [](Links &l) { return l.key.GenSm2KeyPair(AUTH, 0, 0x4012); }, 0xB4, 0x70, 0, 0, 0,
                Cat({Auth(), APP, {0x40, 0x12}})},
        DataRow{"ImportSm2KeyPair", [](Links &l) { return l.key.ImportSm2KeyPair(AUTH, 0, 0x4011, g_in, 200); }, 0xB4,
                0x72, 0, 0, 0, Cat({Auth(), APP, {0x40, 0x11}, In(200)})},
        DataRow{"ImportEncSymKey", [](Links &l) { return l.key.ImportEncSymKey(AUTH, 0, 0x4011, g_in, 113); }, 0xB4,
                0xA0, 0, 0, 0, Cat({Auth(), APP, {0x40, 0x11}, In(113)})},
        DataRow{"ImportSymKey", [](Links &l) { return l.key.ImportSymKey(0, 0, 0x1302, g_in, 16); }, 0xB4, 0xA2, 0, 0,
                0, Cat({APP, {0, 0, 0x13, 0x02, 0, 16}, In(16)})},
        DataRow{"ExportSessionKey",
                [](Links &l) { return l.key.ExportSessionKey(0, 0x1301, g_in, 64, g_out, &g_len); }, 0xB0, 0x78, 0, 0,
                122, Cat({APP, {0, 0, 1, 0}, In(64), {0x13, 0x01}})},
        DataRow{"GenerateAgreementDataWithECC",
                [](Links &l) {
                    return l.key.GenerateAgreementDataWithECC(0, 0x4011, 0x1301, g_in, 5, g_out, &g_len);
                },
                0xB0, 0x82, 0, 0, 72, Cat({APP, {0x40, 0x11, 0x13, 0x01, 0, 0, 0, 5}, In(5)})},
        DataRow{"GenerateAgreementDataAndKeyWithECC",
                [](Links &l) {
                    Bytes k1 = Compact(0), k2 = Compact(64);
                    return l.key.GenerateAgreementDataAndKeyWithECC(0, 0x4011, 0x1302, k1.data(), 68, k2.data(), 68,
                                                                    g_in, 3, g_in + 3, 2, g_out, &g_len);
                },
                0xB0, 0x84, 0, 0, 72,
                Cat({APP, {0x40, 0x11, 0x13, 0x02}, Compact(0), Compact(64), {0, 0, 0, 3}, In(3), {0, 0, 0, 2},
                     In(2, 3)})},
        DataRow{"WriteCert", [](Links &l) { return l.key.WriteCert(0xB1, AUTH, 0, 0x4012, 0, g_in, 100); }, 0xB4,
                0x4C, 0xB1, 0, 0, Cat({Auth(), APP, {0x40, 0x12, 0, 0, 0, 100}, In(100)})},
        DataRow{"ReadCert",
                [](Links &l) {
                    g_len = 300;
                    return l.key.ReadCert(0, 0x4012, 16, g_out, &g_len);
                },
                0xB0, 0x4E, 0, 0, 300, {0, 0, 0x40, 0x12, 0, 16}},
        DataRow{"ReadCertSHA1", [](Links &l) { return l.key.ReadCertSHA1(0, 0x4012, g_out); }, 0xB0, 0x4E, 1, 0, 20,
                {0, 0, 0x40, 0x12}, Bytes(20, 0x33)}),
    [](const ::testing::TestParamInfo<DataRow> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Crypto, DataWireTest,
    ::testing::Values(
        DataRow{"RSAPriKeyRaw",
                [](Links &l) { return l.crypto.RSAPriKeyRaw(AUTH, 0, 0x4011, 1, g_in, 128, g_out, &g_len); }, 0xB4,
                0x57, 0, 0, 128, Cat({Auth(), APP, {0x40, 0x11}, In(128)}), Bytes(128, 0x33)},
        DataRow{"SM2SignDigest",
                [](Links &l) { return l.crypto.SM2SignDigest(AUTH, 0, 0x4012, g_in, 32, g_out, &g_len); }, 0xB4, 0x73,
                0, 0, 64, Cat({Auth(), APP, {0x40, 0x12}, In(32)}), Bytes(64, 0x33)},
        DataRow{"SM2Decrypt",
                [](Links &l) { return l.crypto.SM2Decrypt(AUTH, 0, 0x4011, g_in, 113, g_out, &g_len); }, 0xB4, 0x75, 0,
                0, 16, Cat({Auth(), APP, {0x40, 0x11}, In(113)}), Bytes(16, 0x33)},
        DataRow{"SignWithAdminKey",
                [](Links &l) { return l.crypto.SignWithAdminKey(AUTH, 0x11, g_in, 32, g_out, &g_len); }, 0xB4, 0x67, 0,
                0x11, 64, Cat({Auth(), In(32)}), Bytes(64, 0x33)},
        DataRow{"ExtSM2Encrypt128",
                [](Links &l) { return l.crypto.ExtSM2Encrypt(g_in, 64, g_in + 64, 128, g_out, &g_len); }, 0xB0, 0x7A, 0,
                0, 232, Cat({{0, 0, 1, 0}, In(64), {0, 0, 0, 128}, In(128, 64)})},
        DataRow{"ExtSM2Encrypt16",
                [](Links &l) { return l.crypto.ExtSM2Encrypt(g_in, 64, g_in + 64, 16, g_out, &g_len); }, 0xB0, 0x7A, 0,
                0, 224, Cat({{0, 0, 1, 0}, In(64), {0, 0, 0, 16}, In(16, 64)})},
        DataRow{"ExtSM2Decrypt",
                [](Links &l) { return l.crypto.ExtSM2Decrypt(g_in, 32, g_in + 32, 116, g_out, &g_len); }, 0xB4, 0x7C, 0,
                0, 132, Cat({{0, 0, 1, 0}, In(32), In(116, 32)})},
        DataRow{"ExtSM2SignHash",
                [](Links &l) { return l.crypto.ExtSM2SignHash(g_in, 32, g_in + 32, 32, g_out, &g_len); }, 0xB4, 0x7E, 0,
                0, 64, Cat({{0, 0, 1, 0}, In(32), {0, 0, 0, 32}, In(32, 32)}), Bytes(64, 0x33)},
        DataRow{"SymEncryptInit", [](Links &l) { return l.crypto.SymEncryptInit(1, 0, 0, 0x1302, g_in, 16); }, 0xB0,
                0xA4, 0, 0, 0, Cat({APP, {0, 0, 0x13, 0x02, 0, 16}, In(16), Bytes(8, 0)})},
        DataRow{"SymDecryptUpdate",
                [](Links &l) { return l.crypto.SymEncryptUpdate(0, 0, 0, g_in, 32, g_out, &g_len); }, 0xB0, 0xB0, 0, 0,
                128, Cat({APP, {0, 0}, In(32)})},
        DataRow{"SymEncryptFinalEmpty",
                [](Links &l) { return l.crypto.SymEncryptFinal(1, 0, 0, nullptr, 0, g_out, &g_len); }, 0xB0, 0xAA, 0, 0,
                128, {0, 0, 0, 0}},
        DataRow{"HashInit", [](Links &l) { return l.crypto.HashInit(18); }, 0xB0, 0xB6, 0, 0x12, 0, {}}),
    [](const ::testing::TestParamInfo<DataRow> &i) { return std::string(i.param.name); });

/* ---- chunked commands ---- */

struct ChunkCase {
    unsigned int len;
    std::vector<unsigned char> p1;     /* WriteFile flags */
    std::vector<unsigned int> sizes;   /* chunk lengths (write) and Le (read) */
};

class ChunkTest : public DataCommandTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkTest, WriteSplitsIntoFlaggedChunksAtTheirOffsets)
{
    const ChunkCase &c = GetParam();
    Bytes data(c.len);
    for (unsigned int i = 0; i < c.len; ++i) data[i] = (unsigned char)i;
    ASSERT_EQ(0u, links.file.WriteFile(0, 0x1234, 16, data.data(), c.len));
    ASSERT_EQ(c.p1.size(), token.seen.size());
    unsigned int offset = 16;
    for (size_t i = 0; i < token.seen.size(); ++i) {
        const SeenCommand &s = token.seen[i];
        EXPECT_EQ(c.p1[i], s.p1) << i;
        ASSERT_EQ(8 + c.sizes[i], s.body.size());
        EXPECT_EQ(offset, ((unsigned int)s.body[4] << 8) | s.body[5]);
        EXPECT_EQ(c.sizes[i], ((unsigned int)s.body[6] << 8) | s.body[7]);
        EXPECT_EQ(Bytes(data.begin() + (offset - 16), data.begin() + (offset - 16) + c.sizes[i]),
                  Bytes(s.body.begin() + 8, s.body.end()));
        offset += c.sizes[i];
    }
}

TEST_P(ChunkTest, ReadAsksForEachChunkAndJoinsThem)
{
    const ChunkCase &c = GetParam();
    Bytes data(c.len);
    for (unsigned int i = 0; i < c.len; ++i) data[i] = (unsigned char)(i * 3);
    unsigned int at = 0;
    for (unsigned int size : c.sizes) {
        token.Answer(0x9000, Bytes(data.begin() + at, data.begin() + at + size));
        at += size;
    }
    Bytes out(c.len);
    unsigned int len = c.len;
    ASSERT_EQ(0u, links.file.ReadFile(0, 0x1234, 16, out.data(), &len));
    EXPECT_EQ(c.len, len);
    EXPECT_EQ(data, out);
    ASSERT_EQ(c.sizes.size(), token.seen.size());
    for (size_t i = 0; i < c.sizes.size(); ++i) EXPECT_EQ(c.sizes[i], token.seen[i].le) << i;
}

INSTANTIATE_TEST_SUITE_P(Patterns, ChunkTest,
                         ::testing::Values(ChunkCase{1, {0xB1}, {1}}, ChunkCase{256, {0xB1}, {256}},
                                           ChunkCase{257, {0xA1, 0xB0}, {256, 1}},
                                           ChunkCase{600, {0xA1, 0xA0, 0xB0}, {256, 256, 88}}));

TEST_F(DataCommandTest, ReadFollowsAShortChunkAndRefusesAnEmptyOne)
{
    token.Answer(0x9000, In(100));
    token.Answer(0x9000, In(200, 100));
    unsigned int len = 300;
    ASSERT_EQ(0u, links.file.ReadFile(0, 1, 0, g_out, &len));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(256u, token.seen[0].le);
    EXPECT_EQ(200u, token.seen[1].le);
    EXPECT_EQ(100u, token.seen[1].body[5]);
    EXPECT_EQ(In(300), Bytes(g_out, g_out + 300));

    /* A success with no data would never end the read. */
    token.seen.clear();
    token.Answer(0x9000, In(10));
    token.Answer(0x9000, {});
    len = 300;
    EXPECT_EQ(ERR_BAD_LENGTH, links.file.ReadFile(0, 1, 0, g_out, &len));
    EXPECT_EQ(10u, len);
    EXPECT_EQ(2u, token.seen.size());
}

TEST_F(DataCommandTest, LengthsBeyondTheLimitsAreRefusedUnsent)
{
    unsigned int len = 0x10001;
    EXPECT_EQ(ERR_BAD_LENGTH, links.file.ReadFile(0, 1, 0, g_out, &len));
    EXPECT_EQ(ERR_BAD_LENGTH, links.file.WriteFile(0, 1, 0, g_in, 0x10001));
    EXPECT_EQ(ERR_BAD_FLAG, links.file.GetFileInfo(0, 1, 2, g_out, &g_len));
    EXPECT_EQ(ERR_BAD_LENGTH, links.crypto.ExtSM2Encrypt(g_in, 64, g_in, 129, g_out, &g_len));
    EXPECT_EQ(ERR_BAD_LENGTH, links.crypto.ExtSM2Decrypt(g_in, 32, g_in, 225, g_out, &g_len));
    /* 4 + 32 + 224 bytes would not fit the 256-byte body. */
    EXPECT_EQ(ERR_BAD_LENGTH, links.crypto.ExtSM2Decrypt(g_in, 32, g_in, 224, g_out, &g_len));
    EXPECT_EQ(ERR_BAD_LENGTH, links.crypto.SM2Decrypt(AUTH, 0, 1, g_in, 97, g_out, &g_len));
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.GenerateAgreementDataWithECC(0, 1, 0x1301, g_in, 55, g_out, &g_len));
    Bytes k = Compact(0);
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.GenerateAgreementDataAndKeyWithECC(0, 1, 0x1301, k.data(), 68, k.data(), 68,
                                                                           g_in, 60, g_in, 60, g_out, &g_len));
    Bytes bad = k;
    bad[2] = 2; /* 512 bits in a 68-byte key */
    unsigned int id = 0;
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.GenerateKeyWithECC(0, 1, 5, bad.data(), 68, k.data(), 68, g_in, 16, &id));
    EXPECT_EQ(ERR_BAD_ALGORITHM, links.key.ExportPublicKey(0, 1, 3, g_out));
    EXPECT_EQ(ERR_BAD_ALGORITHM, links.crypto.RSAPriKeyRaw(AUTH, 0, 1, 2, g_in, 128, g_out, &g_len));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(DataCommandTest, FileInfoChecksTheRoomAfterTheCommand)
{
    token.Answer(0x9000, In(20));
    unsigned int len = 19;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, links.file.GetFileInfo(0, 1, 1, g_out, &len));
    EXPECT_EQ(1u, token.seen.size());
    token.Answer(0x6A82);
    EXPECT_EQ(0x80006A82u, links.file.GetFileInfo(0, 1, 0, nullptr, nullptr));
}

TEST_F(DataCommandTest, RsaImportSendsTheWholeMaterialInChunksThenCloses)
{
    ASSERT_EQ(0u, links.key.ImportRsaKeyPair(7, AUTH, 0, 0x4011, g_in, 768, true));
    ASSERT_EQ(4u, token.seen.size());
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, token.seen[i].p1);
        EXPECT_EQ(i, token.seen[i].p2);
        EXPECT_EQ(Cat({Auth(), APP, {0x40, 0x11}, In(256, 256 * i)}), token.seen[i].body);
    }
    EXPECT_EQ(1u, token.seen[3].p1);
    EXPECT_EQ(1u, token.seen[3].p2);
    EXPECT_EQ(Cat({Auth(), APP, {0x40, 0x11, 7}}), token.seen[3].body);

    /* The 1024-bit form: 512 bytes whatever the caller holds, zero-filled
     * past what it gave. */
    token.seen.clear();
    ASSERT_EQ(0u, links.key.ImportRsaKeyPair(1, AUTH, 0, 0x4011, g_in, 260, false));
    ASSERT_EQ(3u, token.seen.size());
    EXPECT_EQ(Cat({Auth(), APP, {0x40, 0x11}, In(4, 256), Bytes(252, 0)}), token.seen[1].body);
    EXPECT_EQ(0u, token.seen[2].p2);
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.ImportRsaKeyPair(1, AUTH, 0, 0x4011, g_in, 513, false));
}

TEST_F(DataCommandTest, AnswersAreHeldToTheirExpectedLengths)
{
    /* exactly the random count asked */
    token.Answer(0x9000, In(7));
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.GenRandom(8, g_out));
    token.Answer(0x9000, In(8));
    EXPECT_EQ(0u, links.key.GenRandom(8, g_out));
    token.Answer(0x9000, {});
    EXPECT_EQ(0u, links.key.GenRandom(0, g_out));
    EXPECT_EQ(0u, token.seen.back().le);

    /* the key identifier: four bytes, big-endian, no byte left unset */
    Bytes k = Compact(0);
    unsigned int id = 0xFFFFFFFF;
    token.Answer(0x9000, {0, 0, 0, 5});
    EXPECT_EQ(0u, links.key.GenerateKeyWithECC(0, 0x4011, 7, k.data(), 68, k.data(), 68, g_in, 16, &id));
    EXPECT_EQ(5u, id);
    token.Answer(0x9000, {0, 5});
    EXPECT_EQ(ERR_BAD_LENGTH, links.key.GenerateKeyWithECC(0, 0x4011, 7, k.data(), 68, k.data(), 68, g_in, 16, &id));

    /* the caller's room */
    token.Answer(0x9000, In(64));
    unsigned int len = 63;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, links.crypto.SM2SignDigest(AUTH, 0, 1, g_in, 32, g_out, &len));
    EXPECT_EQ(64u, len);
}

TEST_F(DataCommandTest, ExportPublicKeyFillsTheRecordOfItsAlgorithm)
{
    token.Answer(0x9000, In(260));
    _QV_RSA_KEY_PAIR rsa = {};
    ASSERT_EQ(0u, links.key.ExportPublicKey(0, 0x4011, 7, &rsa));
    EXPECT_EQ(256u, rsa.NLen);
    EXPECT_EQ(4u, rsa.ELen);
    EXPECT_EQ(In(256), Bytes(rsa.N, rsa.N + 256));
    EXPECT_EQ(In(4, 256), Bytes(rsa.E, rsa.E + 4));
    EXPECT_EQ(260u, token.seen[0].le);
    token.Answer(0x9000, In(64));
    _QV_SM2_KEY_PAIR sm2 = {};
    ASSERT_EQ(0u, links.key.ExportPublicKey(0, 0x4012, 0x11, &sm2));
    EXPECT_EQ(In(32), Bytes(sm2.X, sm2.X + 32));
    EXPECT_EQ(In(32, 32), Bytes(sm2.Y, sm2.Y + 32));
}

TEST_F(DataCommandTest, MessageSignatureFetchRepeatsWhileTheButtonWaits)
{
    token.Answer(0x9000);
    for (int i = 0; i < 3; ++i) token.Answer(0x9000);
    token.Answer(0x9000);
    token.Answer(0xF321);
    token.Answer(0xF321);
    token.Answer(0x9000, In(64));
    Bytes msg = In(600);
    unsigned int len = 64;
    ASSERT_EQ(0u, links.crypto.SM2SignDisp(AUTH, 0, 0x4012, msg.data(), 600, g_out, &len));
    EXPECT_EQ(64u, len);
    ASSERT_EQ(8u, token.seen.size());
    EXPECT_EQ(36u, token.seen[0].body.size());
    EXPECT_EQ(276u, token.seen[1].body.size());
    EXPECT_EQ(276u, token.seen[2].body.size());
    EXPECT_EQ(108u, token.seen[3].body.size());
    for (size_t i = 4; i < 8; ++i) EXPECT_EQ(20u, token.seen[i].body.size());
    EXPECT_EQ(2u, token.seen[4].p1);
    EXPECT_EQ(3u, token.seen[7].p1);

    /* RSA with an unknown key algorithm: three phases, no fetch */
    token.seen.clear();
    EXPECT_EQ(ERR_BAD_ALGORITHM, links.crypto.RSASignDisp(AUTH, 0, 1, 2, 11, nullptr, 0, g_out, &len));
    EXPECT_EQ(2u, token.seen.size());
}

}  // namespace
