#include <gtest/gtest.h>

#include "SarnCore/APDU.h"
#include "FakeToken.h"

TEST(DeviceRecord, NewRecordIsPlainWithUnsetAlgorithm)
{
    CDeviceInfo info;
    EXPECT_EQ(0xFF, info.m_byAlgID);
    EXPECT_EQ(0, info.m_bySecurityMode);
    EXPECT_EQ(nullptr, info.m_hDevice);
    EXPECT_EQ(0u, info.m_ulAuthCodeLen);
}

TEST(DeviceRecord, TransferKeyOpensAndClosesTheChannel)
{
    CDeviceInfo info;
    const unsigned char key[16] = {0x12, 0x34, 0x56, 0x78, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    EXPECT_EQ(0u, info.SetTransKey(key, 16));
    EXPECT_EQ(2, info.m_bySecurityMode);
    EXPECT_EQ(0x12, info.m_pbSessionID[0]);
    EXPECT_EQ(0x34, info.m_pbSessionID[1]);
    EXPECT_EQ(0u, info.SetTransKey(nullptr, 0));
    EXPECT_EQ(0, info.m_bySecurityMode);
    EXPECT_EQ(0, info.m_pbSessionID[0]);
    EXPECT_EQ(0, info.m_pbSessionID[1]);
    EXPECT_EQ(0u, info.m_ulTransKeyLen);
}

TEST(DeviceRecord, LengthsAboveSixteenAreRefused)
{
    CDeviceInfo info;
    unsigned char code[17] = {1, 2, 3};
    EXPECT_EQ(0u, info.SetAuthCode(code, 16));
    EXPECT_EQ(16u, info.m_ulAuthCodeLen);
    EXPECT_EQ(ERR_BAD_LENGTH, info.SetAuthCode(code, 17));
    EXPECT_EQ(16u, info.m_ulAuthCodeLen);
    EXPECT_EQ(ERR_BAD_LENGTH, info.SetTransKey(code, 17));
    EXPECT_EQ(0, info.m_bySecurityMode);
    EXPECT_EQ(0u, info.SetAuthCode(nullptr, 5));
    EXPECT_EQ(0u, info.m_ulAuthCodeLen);
    EXPECT_EQ(0, info.m_pbAuthCode[0]);
}

TEST(DeviceRecord, ProductKeysAreCompiledIn)
{
    EXPECT_EQ(128u, g_stProdRsaPubKey.NLen);
    EXPECT_EQ(4u, g_stProdRsaPubKey.ELen);
    const unsigned char e[4] = {0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(0, memcmp(e, g_stProdRsaPubKey.E, 4));
    unsigned char zero[32] = {0};
    EXPECT_NE(0, memcmp(zero, g_stProdSM2PubKey.X, 32));
    EXPECT_NE(0, memcmp(zero, g_stProdSM2PubKey.Y, 32));
    EXPECT_EQ(0, memcmp(zero, g_stProdSM2PubKey.D, 32));
}

class FrameTest : public ::testing::Test {
protected:
    FrameTest() : token(&info), apdu(&info, &token) {}
    CDeviceInfo info;
    FakeToken token;
    CFakeLink<CAPDU> apdu;
};

TEST_F(FrameTest, PlainCommandWithoutBodyIsEightBytes)
{
    apdu.SetAPDUHeader(0xB0, 0x04, 0x02, 0x00, 0, 0x10);
    EXPECT_EQ(0u, apdu.SendAPDUCmd(nullptr, nullptr));
    ASSERT_EQ(1u, token.seen.size());
    EXPECT_EQ((Bytes{0xB0, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x10}), token.seen[0].frame);
}

TEST_F(FrameTest, SecureBlockCarriesSessionIdAndLength)
{
    OpenChannel(info);
    Bytes body(16);
    for (int i = 0; i < 16; ++i) body[i] = (unsigned char)(0xA0 + i);
    apdu.SetAPDUHeader(0xB4, 0x14, 0x00, 0x01, 0, 0);
    apdu.SetAPDUData(body.data(), 16);
    EXPECT_EQ(0u, apdu.SendAPDUCmd(nullptr, nullptr));
    ASSERT_EQ(1u, token.seen.size());
    const SeenCommand &c = token.seen[0];
    EXPECT_EQ(0xB4, c.cla);
    /* 4 + 16 bytes padded to 32 */
    EXPECT_EQ(8u + 32u, c.frame.size());
    EXPECT_EQ(0x00, c.frame[4]);
    EXPECT_EQ(0x20, c.frame[5]);
    EXPECT_EQ((Bytes{0x12, 0x34}), c.sid);
    EXPECT_EQ(16u, c.innerLc);
    EXPECT_EQ(body, c.body);
}

TEST_F(FrameTest, SecureAnswerHandsOverTheNextSessionId)
{
    OpenChannel(info);
    ScriptedAnswer a;
    a.payload = {1, 2, 3, 4, 5};
    a.nextSid = {0xAB, 0xCD};
    token.script.push_back(a);
    apdu.SetAPDUHeader(0xB4, 0x14, 0, 0, 0, 0);
    unsigned char out[16];
    unsigned int len = sizeof(out);
    EXPECT_EQ(0u, apdu.SendAPDUCmd(out, &len));
    EXPECT_EQ(5u, len);
    EXPECT_EQ(0, memcmp(out, a.payload.data(), 5));
    EXPECT_EQ(0xAB, info.m_pbSessionID[0]);
    EXPECT_EQ(0xCD, info.m_pbSessionID[1]);

    /* The next command carries it. */
    apdu.SetAPDUHeader(0xB4, 0x14, 0, 0, 0, 0);
    EXPECT_EQ(0u, apdu.SendAPDUCmd(nullptr, nullptr));
    EXPECT_EQ((Bytes{0xAB, 0xCD}), token.seen[1].sid);
}

TEST_F(FrameTest, SecureAnswerOfFourBytesKeepsTheSessionId)
{
    OpenChannel(info);
    ScriptedAnswer a;
    a.raw = true;
    a.rawBytes = {0xF5, 0x26, 0x00, 0x00};
    token.script.push_back(a);
    apdu.SetAPDUHeader(0xB4, 0x14, 0, 0, 0, 0);
    EXPECT_EQ(0x8000F526u, apdu.SendAPDUCmd(nullptr, nullptr));
    EXPECT_EQ(0x12, info.m_pbSessionID[0]);
    EXPECT_EQ(0x34, info.m_pbSessionID[1]);
}

TEST_F(FrameTest, StatusWordBecomesTheCode)
{
    token.Answer(0x6A86);
    apdu.SetAPDUHeader(0xB0, 0x04, 0, 0, 0, 0);
    unsigned char out[8] = {0x77};
    unsigned int len = sizeof(out);
    EXPECT_EQ(0x80006A86u, apdu.SendAPDUCmd(out, &len));
    EXPECT_EQ(8u, len);
    EXPECT_EQ(0x77, out[0]);
}

TEST_F(FrameTest, PayloadLargerThanTheCapacityIsRefused)
{
    token.Answer(0x9000, Bytes(10, 0x42));
    apdu.SetAPDUHeader(0xB0, 0x04, 0, 0, 0, 0);
    unsigned char out[8] = {0};
    unsigned int len = sizeof(out);
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, apdu.SendAPDUCmd(out, &len));
    EXPECT_EQ(8u, len);
    EXPECT_EQ(0, out[0]);
}

TEST_F(FrameTest, SecureCommandWithoutChannelSendsNothing)
{
    apdu.SetAPDUHeader(0xB4, 0x14, 0, 0, 0, 0);
    EXPECT_EQ(ERR_NO_SECURE_CHANNEL, apdu.SendAPDUCmd(nullptr, nullptr));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(FrameTest, ThreeKeyTripleDesChannelIsRefused)
{
    OpenChannel(info);
    info.m_byAlgID = 4;
    apdu.SetAPDUHeader(0xB4, 0x14, 0, 0, 0, 0);
    EXPECT_EQ(ERR_BAD_ALGORITHM, apdu.SendAPDUCmd(nullptr, nullptr));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(FrameTest, TransportFailurePassesThrough)
{
    ScriptedAnswer a;
    a.transportCode = ERR_CSW_TAG;
    token.script.push_back(a);
    apdu.SetAPDUHeader(0xB0, 0x04, 0, 0, 0, 0);
    EXPECT_EQ(ERR_CSW_TAG, apdu.SendAPDUCmd(nullptr, nullptr));
}

TEST_F(FrameTest, BodyAboveTheFrameLimitIsRefusedUnsent)
{
    Bytes body(APDU_MAX_BODY + 1, 1);
    apdu.SetAPDUHeader(0xB0, 0x04, 0, 0, 0, 0);
    apdu.SetAPDUData(body.data(), (unsigned short)body.size());
    EXPECT_EQ(ERR_BAD_LENGTH, apdu.SendAPDUCmd(nullptr, nullptr));
    OpenChannel(info);
    apdu.SetAPDUHeader(0xB4, 0x04, 0, 0, 0, 0);
    apdu.SetAPDUData(body.data(), (unsigned short)(APDU_MAX_BODY - 4));  /* pads past 4088 */
    EXPECT_EQ(ERR_BAD_LENGTH, apdu.SendAPDUCmd(nullptr, nullptr));
    EXPECT_TRUE(token.seen.empty());
}

/* Answers too short to hold a status word and the two length bytes, or
 * secure blocks too short to hold a session id, change nothing. */
struct ShortAnswerCase {
    const char *name;
    bool secure;
    Bytes raw;
};

class ShortAnswerTest : public FrameTest, public ::testing::WithParamInterface<ShortAnswerCase> {};

TEST_P(ShortAnswerTest, IsRefusedAndChangesNothing)
{
    const ShortAnswerCase &c = GetParam();
    OpenChannel(info);
    ScriptedAnswer a;
    a.raw = true;
    a.rawBytes = c.raw;
    if (c.raw.size() == 1 && c.raw[0] == 0xEE) {
        /* a 16-byte block that decrypts to 3 bytes */
        a.rawBytes = {0x90, 0x00, 0x00, 0x10};
        Bytes block = Sm4Cbc(true, info.m_pbTransKey, Bytes{0x99, 0x88, 0x00});
        a.rawBytes.insert(a.rawBytes.end(), block.begin(), block.end());
    }
    token.script.push_back(a);
    apdu.SetAPDUHeader(c.secure ? 0xB4 : 0xB0, 0x14, 0, 0, 0, 0);
    unsigned char out[16] = {0x77};
    unsigned int len = sizeof(out);
    EXPECT_EQ(ERR_BAD_LENGTH, apdu.SendAPDUCmd(out, &len));
    EXPECT_EQ(16u, len);
    EXPECT_EQ(0x77, out[0]);
    EXPECT_EQ(0x12, info.m_pbSessionID[0]);
    EXPECT_EQ(0x34, info.m_pbSessionID[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortAnswerTest,
    ::testing::Values(ShortAnswerCase{"empty_plain", false, {}}, ShortAnswerCase{"sw_only_plain", false, {0x90, 0x00}},
                      ShortAnswerCase{"three_plain", false, {0x90, 0x00, 0x00}},
                      ShortAnswerCase{"one_secure", true, {0x90}},
                      ShortAnswerCase{"three_secure", true, {0x90, 0x00, 0x01}},
                      ShortAnswerCase{"short_block_secure", true, {0xEE}}),
    [](const ::testing::TestParamInfo<ShortAnswerCase> &i) { return std::string(i.param.name); });

TEST(CommandBody, NumbersAreBigEndianAndTheLimitHolds)
{
    CApduBody body(8);
    const unsigned char tail[2] = {0xEE, 0xFF};
    body.U8(0x01).U16(0x0203).U32(0x04050607);
    EXPECT_FALSE(body.Overflowed());
    EXPECT_EQ(7u, body.Length());
    EXPECT_EQ(0, memcmp(body.Data(), "\x01\x02\x03\x04\x05\x06\x07", 7));
    body.Bytes(tail, 2);
    EXPECT_TRUE(body.Overflowed());
    EXPECT_EQ(7u, body.Length());
}

TEST_F(FrameTest, HelperRefusesAnOverflowingBodyUnsent)
{
    CApduBody body(4);
    const unsigned char data[5] = {1, 2, 3, 4, 5};
    body.Bytes(data, 5);
    EXPECT_EQ(ERR_BAD_LENGTH, apdu.SendCommand("Test", {0xB0, 0x01, 0, 0}, &body, nullptr));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(FrameTest, HelperSendsLeAndKeepsTheAnswer)
{
    token.Answer(0x9000, {9, 8, 7});
    CApduBody body;
    body.U16(0x0102);
    CApduAnswer answer(16);
    EXPECT_EQ(0u, apdu.SendCommand("Test", {0xB0, 0x33, 0x01, 0x02}, &body, &answer));
    EXPECT_EQ((Bytes{0xB0, 0x33, 0x01, 0x02, 0x00, 0x02, 0x00, 0x10, 0x01, 0x02}), token.seen[0].frame);
    EXPECT_EQ(3u, answer.Length());
    unsigned char fixed[5];
    answer.Take(1, 5, fixed);
    EXPECT_EQ(0, memcmp(fixed, "\x08\x07\x00\x00\x00", 5));
}
