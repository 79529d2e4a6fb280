#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "SarnCore/APDUChip.h"
#include "SarnCore/APDUPin.h"
#include "FakeToken.h"

/* Every command against the fake token, with the channel open. */
class CommandTest : public ::testing::Test {
protected:
    CommandTest() : token(&info), pin(&info, &token), chip(&info, &token) { OpenChannel(info); }
    CDeviceInfo info;
    FakeToken token;
    CFakeLink<CAPDUPinBrio> pin;
    CFakeLink<CAPDUChip> chip;
};

struct WireRow {
    const char *name;
    std::function<unsigned int(CAPDUPinBrio &, CAPDUChip &)> call;
    unsigned char cla, ins, p1, p2;
    unsigned int le;
    Bytes body;
    Bytes reply = {};  /* payload the token answers, when the command needs one */
};

static unsigned char g_data[400];
static unsigned char g_out[1024];
static unsigned int g_len;
static const bool g_bDataFilled = [] {
    for (unsigned int i = 0; i < sizeof(g_data); ++i) g_data[i] = (unsigned char)(i * 7 + 1);
    return true;
}();
static Bytes Data(size_t n, size_t from = 0)
{
    return Bytes(g_data + from, g_data + from + n);
}
static Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class WireTableTest : public CommandTest, public ::testing::WithParamInterface<WireRow> {};

TEST_P(WireTableTest, SendsItsRow)
{
    const WireRow &r = GetParam();
    g_len = sizeof(g_out);
    if (!r.reply.empty()) token.Answer(0x9000, r.reply);
    ASSERT_EQ(0u, r.call(pin, chip));
    ASSERT_EQ(1u, token.seen.size());
    ExpectSent(token.seen[0], r.cla, r.ins, r.p1, r.p2, r.le, r.body);
}

static const Bytes APP = {0x01, 0x02};

INSTANTIATE_TEST_SUITE_P(
    Pin, WireTableTest,
    ::testing::Values(
        WireRow{"SetSessionKey", [](CAPDUPinBrio &p, CAPDUChip &) { return p.CAPDUPin::SetSessionKey(g_data, 129); },
                0xB0, 0x0A, 0, 0, 0, Data(129)},
        WireRow{"ExternalAuth_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ExternalAuth_Request(g_out, &g_len); }, 0xB0, 0x10, 0, 0,
                16, {}},
        WireRow{"ExternalAuth_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ExternalAuth_Response(g_data, 16); }, 0xB0, 0x10, 1, 0, 0,
                Data(16)},
        WireRow{"CheckSessionKey", [](CAPDUPinBrio &p, CAPDUChip &) { return p.CheckSessionKey(0x0102); }, 0xB4,
                0x14, 0, 0, 4, APP},
        WireRow{"GetPINStatusNullOutputs",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return p.GetPINStatus(0x0102, 1, nullptr, nullptr, nullptr, nullptr);
                },
                0xB4, 0x14, 0, 1, 4, APP},
        WireRow{"VerifyPIN_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return static_cast<CAPDUPin &>(p).VerifyPIN_Request(0x0102, g_out, g_out + 16);
                },
                0xB4, 0x18, 0, 0, 148, APP, Bytes(148, 0x33)},
        WireRow{"VerifyPIN_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return static_cast<CAPDUPin &>(p).VerifyPIN_Response(0x0102, 2, g_data, 128, g_out, &g_len);
                },
                0xB4, 0x18, 1, 2, 16, Cat(APP, Data(128)), Bytes(16, 0x33)},
        WireRow{"ChangePIN_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return static_cast<CAPDUPin &>(p).ChangePIN_Request(0x0102, g_out, g_out + 16);
                },
                0xB4, 0x16, 0, 0, 148, APP, Bytes(148, 0x33)},
        WireRow{"ChangePIN_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return static_cast<CAPDUPin &>(p).ChangePIN_Response(0x0102, 1, g_data, 254);
                },
                0xB4, 0x16, 1, 1, 0, Cat(APP, Data(254))},
        WireRow{"UnlockPIN_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.UnlockPIN_Request(0x0102, g_out, g_out + 16); }, 0xB4,
                0x1A, 0, 0, 148, APP, Bytes(148, 0x33)},
        WireRow{"UnlockPIN_ResponseFlag1",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.UnlockPIN_Response(0x0102, 1, g_data, 8); }, 0xB4, 0x1A,
                1, 0, 0, Cat(APP, Data(8))},
        WireRow{"UnlockPIN_ResponseFlag0",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.UnlockPIN_Response(0x0102, 0, g_data, 8); }, 0xB4, 0x1A,
                1, 1, 0, Cat(APP, Data(8))},
        WireRow{"UnlockPIN_ResponseFlag2",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.UnlockPIN_Response(0x0102, 2, g_data, 8); }, 0xB4, 0x1A,
                1, 1, 0, Cat(APP, Data(8))},
        WireRow{"ResetApp_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ResetApp_Request(0x0102, g_out, g_out + 16); }, 0xB4,
                0x2B, 0, 0, 148, APP, Bytes(148, 0x33)},
        WireRow{"ResetApp_ResponseFlag1",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ResetApp_Response(0x0102, 1, g_data, 8); }, 0xB4, 0x2B, 1,
                0, 0, Cat(APP, Data(8))},
        WireRow{"ResetApp_ResponseFlag3",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ResetApp_Response(0x0102, 3, g_data, 8); }, 0xB4, 0x2B, 1,
                1, 0, Cat(APP, Data(8))},
        WireRow{"ClearAuthCode", [](CAPDUPinBrio &p, CAPDUChip &) { return p.ClearAuthCode(0x0102); }, 0xB0, 0x1C, 0,
                0, 0, APP},
        WireRow{"BrioVerifyPIN_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.VerifyPIN_Request(0x0102, 2, g_out, g_out + 16); }, 0xB4,
                0x18, 0, 2, 148, APP, Bytes(148, 0x33)},
        WireRow{"BrioVerifyPIN_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.VerifyPIN_Response(0x0102, g_data, 128, g_out, &g_len); },
                0xB4, 0x18, 1, 0, 16, Cat(APP, Data(128)), Bytes(16, 0x33)},
        WireRow{"BrioChangePIN_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ChangePIN_Request(0x0102, 1, g_out, g_out + 16); }, 0xB4,
                0x16, 0, 1, 148, APP, Bytes(148, 0x33)},
        WireRow{"BrioChangePIN_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.ChangePIN_Response(0x0102, g_data, 128); }, 0xB4, 0x16, 1,
                0, 0, Cat(APP, Data(128))},
        WireRow{"WirelessAuth",
                [](CAPDUPinBrio &p, CAPDUChip &) { return p.WirelessAuth(g_data, 0x13, g_data + 16, 64, g_out, &g_len); },
                0xB4, 0x1D, 0x13, 0, 64, Data(80)},
        WireRow{"WirelessIdentify_Request",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return p.WirelessIdentify_Request(5, g_data, 300, g_data + 300, 64, g_out, &g_len);
                },
                0xB4, 0x1E, 0, 5, 16, Data(364), Bytes(16, 0x33)},
        WireRow{"WirelessIdentify_Response",
                [](CAPDUPinBrio &p, CAPDUChip &) {
                    return p.WirelessIdentify_Response(6, g_data, 64, g_data + 64, 64, g_out, &g_len);
                },
                0xB4, 0x1E, 1, 6, 16, Data(128), Bytes(16, 0x33)}),
    [](const ::testing::TestParamInfo<WireRow> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Chip, WireTableTest,
    ::testing::Values(
        WireRow{"EraseFlash", [](CAPDUPinBrio &, CAPDUChip &c) { return c.EraseFlash(); }, 0xB0, 0xE1, 0, 0, 0, {}},
        WireRow{"WriteFlash", [](CAPDUPinBrio &, CAPDUChip &c) { return c.WriteFlash(0x01020304, g_data); }, 0xB0,
                0xE2, 0, 0, 0, Cat({1, 2, 3, 4}, Data(256))},
        WireRow{"ReadFlash", [](CAPDUPinBrio &, CAPDUChip &c) { return c.ReadFlash(0x0A0B0C0D, g_out); }, 0xB0, 0xE3,
                0, 0, 256, Bytes({0x0A, 0x0B, 0x0C, 0x0D}), Data(256)},
        WireRow{"SetTokenLabel", [](CAPDUPinBrio &, CAPDUChip &c) { return c.SetTokenLabel(g_data, 32); }, 0xB0, 0x02,
                0, 0, 0, Data(32)},
        WireRow{"SetTokenSN16", [](CAPDUPinBrio &, CAPDUChip &c) { return c.SetTokenSN(g_data, 16); }, 0xB0, 0x03, 0,
                0, 0, Data(16)},
        WireRow{"GetDevInfo", [](CAPDUPinBrio &, CAPDUChip &c) { return c.GetDevInfo(g_out, &g_len); }, 0xB0, 0x04, 0,
                0, 288, {}},
        WireRow{"GetTokenLabel", [](CAPDUPinBrio &, CAPDUChip &c) { return c.GetTokenLabel(g_out, &g_len); }, 0xB0,
                0x04, 1, 0, 32, {}},
        WireRow{"GetTokenSN", [](CAPDUPinBrio &, CAPDUChip &c) { return c.GetTokenSN(g_out, &g_len); }, 0xB0, 0x04, 2,
                0, 16, {}},
        WireRow{"GetChipSN", [](CAPDUPinBrio &, CAPDUChip &c) { return c.GetChipSN(g_out, &g_len); }, 0xB0, 0x04, 3,
                0, 16, {}},
        WireRow{"InitAuthKeySM2",
                [](CAPDUPinBrio &, CAPDUChip &c) {
                    _QV_SM2_KEY_PAIR k;
                    return c.InitAuthKey(0x13, g_data, 10, &k);
                },
                0xB0, 0x05, 0, 0, 64, Data(10), Bytes(64, 0x33)},
        WireRow{"ExportAuthKeyRSA", [](CAPDUPinBrio &, CAPDUChip &c) { return c.ExportAuthKey(3, g_out, g_out + 132); },
                0xB0, 0x07, 0, 0, 260, {}, Bytes(260, 0x33)},
        WireRow{"EraseCOS_Request", [](CAPDUPinBrio &, CAPDUChip &c) { return c.EraseCOS_Request(g_out, &g_len); },
                0xB0, 0x08, 0, 0, 16, {}},
        WireRow{"EraseCOS_Response", [](CAPDUPinBrio &, CAPDUChip &c) { return c.EraseCOS_Response(g_data, 16); },
                0xB0, 0x08, 1, 0, 0, Data(16)},
        WireRow{"EraseMF_Request", [](CAPDUPinBrio &, CAPDUChip &c) { return c.EraseMF_Request(g_out, &g_len); },
                0xB0, 0x09, 0, 0, 16, {}},
        WireRow{"EraseMF_Response", [](CAPDUPinBrio &, CAPDUChip &c) { return c.EraseMF_Response(g_data, 16); },
                0xB0, 0x09, 1, 0, 0, Data(16)}),
    [](const ::testing::TestParamInfo<WireRow> &i) { return std::string(i.param.name); });

TEST_F(CommandTest, ReadFlashRefusesABlockShorterThan256Bytes)
{
    for (size_t n : {size_t(0), size_t(1), size_t(255)}) {
        token.Answer(0x9000, Bytes(n, 0xAB));
        unsigned char block[256];
        std::memset(block, 0x11, sizeof(block));
        EXPECT_EQ(ERR_BAD_LENGTH, chip.ReadFlash(0, block)) << n;
        for (unsigned char b : block) ASSERT_EQ(0x11, b) << "bytes written for a short block of " << n;
    }
}

TEST_F(CommandTest, ChallengeAnswerSplitsIntoChallengeAndKey)
{
    ScriptedAnswer a;
    for (int i = 0; i < 148; ++i) a.payload.push_back((unsigned char)i);
    token.script.push_back(a);
    unsigned char challenge[16], key[132];
    ASSERT_EQ(0u, pin.VerifyPIN_Request(0, 1, challenge, key));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(i, challenge[i]);
    for (int i = 0; i < 132; ++i) EXPECT_EQ(16 + i, key[i]);
}

TEST_F(CommandTest, ShortChallengeAnswerIsRefusedAndNothingTaken)
{
    token.Answer(0x9000, Bytes(20, 0xAA));
    unsigned char challenge[16], key[132];
    memset(challenge, 0x55, sizeof(challenge));
    memset(key, 0x55, sizeof(key));
    ASSERT_EQ(ERR_BAD_LENGTH, pin.UnlockPIN_Request(0, challenge, key));
    EXPECT_EQ(0x55, challenge[0]);
    EXPECT_EQ(0x55, key[3]);
    EXPECT_EQ(0x55, key[131]);
}

TEST_F(CommandTest, PinStatusFillsOnlyGivenOutputs)
{
    token.Answer(0x9000, {0x0A, 0x0B, 0x0C, 0x0D});
    unsigned char s0 = 0, s2 = 0;
    ASSERT_EQ(0u, pin.GetPINStatus(0, 1, &s0, nullptr, &s2, nullptr));
    EXPECT_EQ(0x0A, s0);
    EXPECT_EQ(0x0C, s2);
}

TEST_F(CommandTest, WrongPinKeepsTheCallersOutputs)
{
    token.Answer(0x63C3);
    unsigned char out[16] = {0x77};
    unsigned int len = 99;
    EXPECT_EQ(0x800063C3u, pin.VerifyPIN_Response(0, g_data, 128, out, &len));
    EXPECT_EQ(99u, len);
    EXPECT_EQ(0x77, out[0]);
}

TEST_F(CommandTest, TooLongSerialIsRefusedUnsent)
{
    EXPECT_EQ(ERR_BAD_LENGTH, chip.SetTokenSN(g_data, 17));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(CommandTest, PinDataBeyondTheBodyBufferIsRefusedUnsent)
{
    EXPECT_EQ(ERR_BAD_LENGTH, pin.ResetApp_Response(0, 1, g_data, 255));
    EXPECT_EQ(ERR_BAD_LENGTH, pin.WirelessIdentify_Request(0, g_data, 400, g_data, 241, g_out, &g_len));
    EXPECT_TRUE(token.seen.empty());
}

struct OversizeCase {
    const char *name;
    unsigned int answerLen;
    std::function<unsigned int(CAPDUChip &, unsigned char *, unsigned int *)> call;
};

class OversizeAnswerTest : public CommandTest, public ::testing::WithParamInterface<OversizeCase> {};

TEST_P(OversizeAnswerTest, IsRefusedWithBufferTooSmall)
{
    token.Answer(0x9000, Bytes(GetParam().answerLen, 0x31));
    unsigned char out[512] = {0};
    unsigned int len = 7;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, GetParam().call(chip, out, &len));
    EXPECT_EQ(7u, len);
    EXPECT_EQ(0, out[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OversizeAnswerTest,
    ::testing::Values(
        OversizeCase{"TokenSN17", 17, [](CAPDUChip &c, unsigned char *o, unsigned int *l) { return c.GetTokenSN(o, l); }},
        OversizeCase{"ChipSN17", 17, [](CAPDUChip &c, unsigned char *o, unsigned int *l) { return c.GetChipSN(o, l); }},
        OversizeCase{"Label33", 33, [](CAPDUChip &c, unsigned char *o, unsigned int *l) { return c.GetTokenLabel(o, l); }},
        OversizeCase{"DevInfo289", 289, [](CAPDUChip &c, unsigned char *o, unsigned int *l) { return c.GetDevInfo(o, l); }}),
    [](const ::testing::TestParamInfo<OversizeCase> &i) { return std::string(i.param.name); });

TEST_F(CommandTest, ExportAuthKeySplitsKeyAndSignature)
{
    ScriptedAnswer a;
    for (int i = 0; i < 128; ++i) a.payload.push_back((unsigned char)i);
    token.script.push_back(a);
    unsigned char key[64], sig[64];
    ASSERT_EQ(0u, chip.ExportAuthKey(0x13, key, sig));
    EXPECT_EQ(0, key[0]);
    EXPECT_EQ(63, key[63]);
    EXPECT_EQ(64, sig[0]);
    EXPECT_EQ(127, sig[63]);
    EXPECT_EQ(128u, token.seen[0].le);
}

TEST_F(CommandTest, UnknownAuthKeyFormSendsNothing)
{
    unsigned char key[132], sig[128];
    EXPECT_EQ(ERR_BAD_ALGORITHM, chip.ExportAuthKey(5, key, sig));
    EXPECT_EQ(ERR_BAD_ALGORITHM, chip.InitAuthKey(5, g_data, 4, key));
    EXPECT_TRUE(token.seen.empty());
}

TEST_F(CommandTest, ImportAuthKeyStopsAfterAFailedFirstHalf)
{
    token.Answer(0x6A80);
    EXPECT_EQ(0x80006A80u, chip.ImportAuthKey(g_data, 8, g_data + 8, 8));
    ASSERT_EQ(1u, token.seen.size());
    EXPECT_EQ(0, token.seen[0].p1);

    token.seen.clear();
    EXPECT_EQ(0u, chip.ImportAuthKey(g_data, 8, g_data + 8, 8));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(1, token.seen[1].p1);
    EXPECT_EQ(Data(8, 8), token.seen[1].body);
}

TEST_F(CommandTest, InitAuthKeyFillsTheRsaRecord)
{
    ScriptedAnswer a;
    for (int i = 0; i < 132; ++i) a.payload.push_back((unsigned char)(i + 1));
    token.script.push_back(a);
    _QV_RSA_KEY_PAIR k = {};
    ASSERT_EQ(0u, chip.InitAuthKey(3, g_data, 4, &k));
    EXPECT_EQ(128u, k.NLen);
    EXPECT_EQ(4u, k.ELen);
    EXPECT_EQ(1, k.N[0]);
    EXPECT_EQ(129, k.E[0]);
    EXPECT_EQ(132u, token.seen[0].le);
}
