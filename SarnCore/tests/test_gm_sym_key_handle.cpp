/* The on-token cipher handle against the fake token: how it buffers and
 * splits data into commands, the padding of the final block, and answers
 * that do not match what it sent. */
#include <gtest/gtest.h>

#include "SarnCore/DeviceContext.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "FakeToken.h"
#include "SoftCrypto/tests/GuardedBytes.h"

namespace {

class CipherHandleTest : public ::testing::Test {
protected:
    CipherHandleTest() : token(nullptr)
    {
        ctx.Initialize();
        OpenChannel(*ctx.GetDeviceHandle());
        token = FakeToken(ctx.GetDeviceHandle());
        delete ctx.m_pApduCrypto;
        ctx.m_pApduCrypto = new CFakeLink<CAPDUCrypto>(ctx.GetDeviceHandle(), &token);
    }
    /* Init and forget its command. */
    void Start(unsigned char byDirection, unsigned int ulPadding = 1)
    {
        ASSERT_EQ(0u, handle.Init(SC_ALG_SM4, byDirection, SC_MODE_ECB, nullptr, ulPadding));
        token.seen.clear();
    }
    void Echo(size_t n, unsigned char last = 0)
    {
        ScriptedAnswer a;
        a.payload = Bytes(n, 0x33);
        for (size_t i = 0; i < last && i < n; ++i) a.payload[n - 1 - i] = last;
        token.script.push_back(a);
    }
    /* The data part of a symmetric command body. */
    static Bytes Data(const SeenCommand &c) { return Bytes(c.body.begin() + 4, c.body.end()); }

    CDeviceContext ctx;
    FakeToken token;
    CGMSymKeyHandle handle{&ctx};
    unsigned char in[512] = {};
    unsigned char out[512] = {};
};

TEST_F(CipherHandleTest, InitSendsTheSpecAndAZeroIv)
{
    ASSERT_EQ(0u, handle.Init(SC_ALG_SM4, SYM_CRYPT_ENCRYPT, SC_MODE_CBC, nullptr, 1));
    ASSERT_EQ(1u, token.seen.size());
    EXPECT_EQ(0xA4, token.seen[0].ins);
    Bytes body = {0, 0, 0, 0, 0x13, 0x02, 0, 16};
    body.resize(8 + 16 + 8, 0);
    EXPECT_EQ(body, token.seen[0].body);
    EXPECT_EQ(ERR_BAD_ALGORITHM, handle.Init(SC_ALG_3DES_2KEY, 1, 1, nullptr, 1));
    EXPECT_EQ(ERR_BAD_KEY_TYPE, handle.Init(SC_ALG_SM4, 3, 1, nullptr, 1));
    EXPECT_EQ(1u, token.seen.size());
}

TEST_F(CipherHandleTest, EncryptingKeepsThePartialBlockAndPadsItAtTheEnd)
{
    Start(SYM_CRYPT_ENCRYPT);
    for (int i = 0; i < 20; ++i) in[i] = (unsigned char)i;
    Echo(16);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 20, out, &len));
    EXPECT_EQ(16u, len);
    Echo(16);
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Final(out + 16, &len));
    EXPECT_EQ(16u, len);
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(Bytes(in, in + 16), Data(token.seen[0]));
    Bytes last(in + 16, in + 20);
    last.resize(16, 0x0C);
    EXPECT_EQ(last, Data(token.seen[1]));
    EXPECT_EQ(0xAA, token.seen[1].ins);
}

TEST_F(CipherHandleTest, LongUpdatesGoInCommandsOf128)
{
    Start(SYM_CRYPT_ENCRYPT);
    Echo(128);
    Echo(128);
    Echo(32);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 300, out, &len));
    EXPECT_EQ(288u, len);
    ASSERT_EQ(3u, token.seen.size());
    EXPECT_EQ(128u, Data(token.seen[0]).size());
    EXPECT_EQ(32u, Data(token.seen[2]).size());
    /* Small pieces stay held until a block is whole. */
    token.seen.clear();
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 2, out, &len));
    EXPECT_EQ(0u, len);
    EXPECT_TRUE(token.seen.empty());
    Echo(16);
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 2, out, &len));
    EXPECT_EQ(16u, len);
}

TEST_F(CipherHandleTest, DecryptingHoldsTheLastBlockForTheFinal)
{
    Start(SYM_CRYPT_DECRYPT);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 16, out, &len));
    EXPECT_EQ(0u, len);
    EXPECT_TRUE(token.seen.empty());
    /* With another 16 the first block goes; a room of 15 is too small. */
    len = 15;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, handle.Update(in, 16, out, &len));
    EXPECT_EQ(16u, len);
    EXPECT_TRUE(token.seen.empty());
    Echo(16);
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 16, out, &len));
    EXPECT_EQ(16u, len);
    Echo(16, 4);
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Final(out, &len));
    EXPECT_EQ(12u, len);
}

/* The base's one-shot Encrypt after an Update that left bytes held: the
 * size counts them, a room short of it is refused before any command, and
 * the final block lands inside the room.  out is 0xEE past the room. */
struct HeldCase {
    const char *name;
    unsigned char dir;
    unsigned int updateLen, encryptLen, needed;
    std::vector<size_t> answers;  /* the echo lengths the commands get */
    unsigned int produced;        /* bytes the one-shot hands out */
};

class EncryptAfterUpdateTest : public CipherHandleTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(EncryptAfterUpdateTest, CountsTheHeldBytesAndKeepsToTheRoom)
{
    const HeldCase &c = GetParam();
    Start(c.dir);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, c.updateLen, out, &len));
    ASSERT_EQ(0u, len);
    CSymKeyHandle &base = handle;
    len = 0;
    ASSERT_EQ(0u, base.Encrypt(in, c.encryptLen, nullptr, &len));
    EXPECT_EQ(c.needed, len);
    memset(out, 0xEE, sizeof(out));
    len = c.needed - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, base.Encrypt(in, c.encryptLen, out, &len));
    EXPECT_EQ(c.needed, len);
    EXPECT_TRUE(token.seen.empty());
    for (size_t n : c.answers) Echo(n, 4);
    len = c.needed;
    ASSERT_EQ(0u, base.Encrypt(in, c.encryptLen, out, &len));
    EXPECT_EQ(c.produced, len);
    EXPECT_EQ(c.answers.size(), token.seen.size());
    for (size_t i = c.needed; i < sizeof(out); ++i) ASSERT_EQ(0xEE, out[i]) << "written past the room at " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Held, EncryptAfterUpdateTest,
    ::testing::Values(HeldCase{"encrypt_15_then_17", SYM_CRYPT_ENCRYPT, 15, 17, 48, {32, 16}, 48},
                      HeldCase{"decrypt_16_then_16", SYM_CRYPT_DECRYPT, 16, 16, 32, {16, 16}, 28}),
    [](const ::testing::TestParamInfo<HeldCase> &i) { return std::string(i.param.name); });

TEST_F(CipherHandleTest, FinalRefusesARoomShortOfTheBlockBeforeSending)
{
    Start(SYM_CRYPT_ENCRYPT);
    unsigned int len = 15;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, handle.Final(out, &len));
    EXPECT_EQ(16u, len);
    EXPECT_TRUE(token.seen.empty());
    Echo(16);
    len = 16;
    ASSERT_EQ(0u, handle.Final(out, &len));
    EXPECT_EQ(16u, len);
}

struct PaddingCase {
    const char *name;
    Bytes tail;  /* the last bytes of the decrypted block */
};

class BadPaddingTest : public CipherHandleTest, public ::testing::WithParamInterface<PaddingCase> {};

TEST_P(BadPaddingTest, IsRefused)
{
    Start(SYM_CRYPT_DECRYPT);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 16, out, &len));
    ScriptedAnswer a;
    a.payload = Bytes(16, 0x33);
    std::copy(GetParam().tail.begin(), GetParam().tail.end(), a.payload.end() - GetParam().tail.size());
    token.script.push_back(a);
    len = sizeof(out);
    EXPECT_EQ(0x8000F525u, handle.Final(out, &len));
}

INSTANTIATE_TEST_SUITE_P(Tails, BadPaddingTest,
                         ::testing::Values(PaddingCase{"zero", {0x00}}, PaddingCase{"seventeen", {0x11}},
                                           PaddingCase{"mixed", {0x03, 0x02, 0x03}}),
                         [](const ::testing::TestParamInfo<PaddingCase> &i) { return std::string(i.param.name); });

TEST_F(CipherHandleTest, AnswersOfAnotherLengthThanSentAreRefused)
{
    Start(SYM_CRYPT_ENCRYPT);
    Echo(16); /* 32 sent */
    unsigned int len = sizeof(out);
    EXPECT_EQ(ERR_BAD_LENGTH, handle.Update(in, 32, out, &len));
    EXPECT_EQ(0u, len);
    Echo(128); /* more than the 32 sent: refused before anything is copied */
    len = sizeof(out);
    memset(out, 0xEE, sizeof(out));
    EXPECT_NE(0u, handle.Update(in, 32, out, &len));
    EXPECT_EQ(0xEE, out[0]);
    /* A final that answers more than one block. */
    Start(SYM_CRYPT_ENCRYPT);
    Echo(32);
    len = 16;
    EXPECT_NE(0u, handle.Final(out, &len));
}

TEST_F(CipherHandleTest, FinalWithoutPaddingNeedsWholeBlocks)
{
    Start(SYM_CRYPT_ENCRYPT, 0);
    unsigned int len = sizeof(out);
    ASSERT_EQ(0u, handle.Update(in, 5, out, &len));
    len = sizeof(out);
    EXPECT_EQ(ERR_BAD_LENGTH, handle.Final(out, &len));
    EXPECT_TRUE(token.seen.empty());
    /* A new Init drops what an abandoned operation held. */
    Start(SYM_CRYPT_ENCRYPT, 0);
    Echo(0);
    len = sizeof(out);
    ASSERT_EQ(0u, handle.Final(out, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(4u, token.seen[0].body.size());
}

/* Held bytes and an input that together pass what 32 bits count are
 * refused before anything is copied or sent, also as a size query.  The
 * input ends at a guard page and the real call runs in a child process, so
 * a copy of it ends the child only. */
TEST_F(CipherHandleTest, AnInputThatBringsTheTotalPast32BitsIsRefusedUntouched)
{
    oracle::GuardedBytes huge(0xFFFFFFFFu);
    ASSERT_NE(nullptr, huge.Data());
    const struct {
        unsigned char dir;
        unsigned int held, length;
    } cases[] = {{SYM_CRYPT_ENCRYPT, 1, 0xFFFFFFFFu}, {SYM_CRYPT_DECRYPT, 16, 0xFFFFFFF1u}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        Start(c.dir);
        unsigned int len = sizeof(out);
        ASSERT_EQ(0u, handle.Update(in, c.held, out, &len));
        unsigned char *pbHuge = huge.Last(c.length);
        len = 0;
        EXPECT_EQ(ERR_BAD_LENGTH, handle.Update(pbHuge, c.length, nullptr, &len));
        EXPECT_EXIT(
            {
                unsigned int room = sizeof(out);
                _exit(handle.Update(pbHuge, c.length, out, &room) == ERR_BAD_LENGTH ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(c.held, handle.HeldLength());
        EXPECT_TRUE(token.seen.empty());
    }
}

}  // namespace
