// The token's command sets end to end through the stand-in and the daemon,
// against a host side written on OpenSSL: session key and its product
// signature, the secure channel's refusals, the chip commands, the PIN
// commands with their retry counters and the press-button wait.
#include "vtoken/tests/VtTestHost.h"

#include <gtest/gtest.h>

using namespace vtoken;
using namespace vtoken::test;

namespace {

class TokenTest : public ::testing::TestWithParam<uint8_t>, public CTokenFixture {
protected:
    void SetUp() override
    {
        TokenOptions o;
        o.serial = "VT0000000001";
        o.algByte = GetParam();
        o.userPin = "11111111";
        o.soPin = "22222222";
        o.userRetries = 3;
        o.soRetries = 2;
        m_daemon.CreateToken(o);
        Connect();
    }
    void Connect()
    {
        m_pHost.reset();
        m_pLink = std::make_unique<CUsbLink>(m_pCtx, 1, 5);
        ASSERT_TRUE(m_pLink->IsOpen());
        m_pHost = std::make_unique<CHost>(*m_pLink, GetParam());
    }
    CHost& Host() { return *m_pHost; }
    std::unique_ptr<CUsbLink> m_pLink;
    std::unique_ptr<CHost> m_pHost;
};

std::string AlgName(const ::testing::TestParamInfo<uint8_t>& info)
{
    return info.param == 0x13 ? "Sm2Sm4" : "Rsa3Des";
}

#define TOKEN_SUITE(Suite) \
    INSTANTIATE_TEST_SUITE_P(Alg, Suite, ::testing::Values(uint8_t {0x13}, uint8_t {3}), AlgName)

using SecureChannel = TokenTest;
TOKEN_SUITE(SecureChannel);

TEST_P(SecureChannel, SessionKeyFromASignedAuthenticationKeyCarriesSecureCommands)
{
    ASSERT_EQ("", Host().EstablishSession());
    EXPECT_EQ("yes", m_daemon.StateField("VT0000000001", "session-key"));
    EXPECT_EQ("yes", m_daemon.StateField("VT0000000001", "host-authenticated"));
    CApduReply r = Host().PinStatus(kVtPinUser);
    ASSERT_EQ(0, r.iUsb);
    EXPECT_EQ(0x9000, r.wSW);
    EXPECT_EQ(VtBytes({3, 3, 1, 0}), r.vPayload);
    // Every secure answer hands over the next identifier; following it works.
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(0x9000, Host().PinStatus(kVtPinAdmin).wSW) << i;
    }
}

TEST_P(SecureChannel, SecureCommandWithoutSessionIsRefusedWithFourBytes)
{
    Host().m_vTransferKey = VtBytes(16, 0x11);
    CApduReply r = Host().PinStatus(kVtPinUser);
    EXPECT_EQ(0xF526, r.wSW);
    EXPECT_EQ(4u, r.nRaw);
}

class ChannelRefusal : public TokenTest {};
TOKEN_SUITE(ChannelRefusal);

TEST_P(ChannelRefusal, RefusalsKeepTheExpectedIdentifier)
{
    ASSERT_EQ("", Host().EstablishSession());
    uint8_t byAlg = GetParam();
    const VtBytes& key = Host().m_vTransferKey;
    auto secureFrame = [&](const VtBytes& vBlockPlain, bool bPadBreak) {
        VtBytes vEnc;
        VtSymCrypt(byAlg, true, key, vBlockPlain, vEnc);
        if (bPadBreak) {
            // Re-encrypt a block whose padding is wrong: encrypt raw blocks.
            VtBytes vRaw = vBlockPlain;
            vRaw.resize(VtSymBlockSize(byAlg) * 2, 0x00);
            VtSymCrypt(byAlg, true, key, vRaw, vEnc);
            vEnc.resize(vRaw.size());  // drop the padding block: last byte 0 is no valid padding
        }
        VtBytes v = {0xB4, 0x14, 0x00, 0x01};
        VtPutBE16(v, static_cast<uint32_t>(vEnc.size()));
        VtPutBE16(v, 0);
        VtAppend(v, vEnc);
        return v;
    };
    VtBytes vGood = {Host().m_abySid[0], Host().m_abySid[1], 0, 2, 0, 0};
    VtBytes vWrongSid = {static_cast<uint8_t>(Host().m_abySid[0] ^ 0xFF), Host().m_abySid[1], 0, 2, 0, 0};
    VtBytes vLongLc = {Host().m_abySid[0], Host().m_abySid[1], 0, 9, 0, 0};
    struct Case {
        VtBytes vFrame;
        uint16_t wSW;
    } cases[] = {
        {secureFrame(vWrongSid, false), 0xF526},
        {secureFrame(vGood, true), 0xF525},
        {secureFrame(vLongLc, false), 0x6700},
        {[&] {
             VtBytes v = secureFrame(vGood, false);
             v.resize(v.size() - 1);  // not whole blocks
             v[5] = static_cast<uint8_t>(v.size() - 8);
             return v;
         }(),
         0x6700},
    };
    for (const auto& c : cases) {
        CApduReply r = Host().Raw(c.vFrame);
        EXPECT_EQ(c.wSW, r.wSW);
        EXPECT_EQ(4u, r.nRaw);
    }
    EXPECT_EQ(0x9000, Host().PinStatus(kVtPinUser).wSW);
}

TEST_P(ChannelRefusal, SessionIsLostOnUnplugAndRecoveredWithANewKey)
{
    ASSERT_EQ("", Host().EstablishSession());
    m_daemon.Unplug("VT0000000001");
    m_daemon.Plug("VT0000000001");
    Connect();
    Host().m_vTransferKey = VtBytes(16, 1);
    EXPECT_EQ(0xF526, Host().PinStatus(kVtPinUser).wSW);
    ASSERT_EQ("", Host().EstablishSession());
    EXPECT_EQ(0x9000, Host().PinStatus(kVtPinUser).wSW);
}

TEST(ForeignToken, AuthenticationKeyNotSignedByTheProductKeyFailsVerification)
{
    for (uint8_t byAlg : {uint8_t {0x13}, uint8_t {3}}) {
        CTokenFixture fx;
        TokenOptions o;
        o.algByte = byAlg;
        o.extraArgs = {"--foreign-signature"};
        fx.m_daemon.CreateToken(o);
        CUsbLink link(fx.m_pCtx, 1, 5);
        CHost host(link, byAlg);
        EXPECT_EQ("product signature", host.EstablishSession()) << int(byAlg);
        EXPECT_EQ("no", fx.m_daemon.StateField(o.serial, "session-key"));
        EXPECT_EQ("foreign", fx.m_daemon.StateField(o.serial, "auth-key-signed-by"));
    }
}

using ChipCommands = TokenTest;
TOKEN_SUITE(ChipCommands);

TEST_P(ChipCommands, DeviceInformationCarriesAlgorithmLabelSerialAndLifeStatus)
{
    CApduReply r = Host().Plain(0x04, 0, 0);
    ASSERT_EQ(0x9000, r.wSW);
    ASSERT_EQ(288u, r.vPayload.size());
    const VtBytes& d = r.vPayload;
    EXPECT_EQ("Brio Virtual Token", std::string(reinterpret_cast<const char*>(&d[132])));
    EXPECT_EQ("VT0000000001", std::string(reinterpret_cast<const char*>(&d[164]), 12));
    EXPECT_EQ(0, d[176]);
    EXPECT_EQ(GetParam(), (VtGetBE32(&d[212]) >> 8) & 0xFF);
    EXPECT_EQ(0x7F00u, VtGetBE16(&d[224]));
    EXPECT_EQ(1u, VtGetBE16(&d[228]));
}

TEST_P(ChipCommands, LabelAndSerialAreSetAndRead)
{
    VtBytes vLabel(32, 0);
    vLabel[0] = 'n';
    vLabel[1] = 'e';
    vLabel[2] = 'w';
    EXPECT_EQ(0x9000, Host().Plain(0x02, 0, 0, vLabel).wSW);
    EXPECT_EQ(VtBytesOf("new"), Host().Plain(0x04, 1, 0).vPayload);
    EXPECT_EQ(0x6A80, Host().Plain(0x02, 0, 0, VtBytes(33, 'x')).wSW);
    EXPECT_EQ(0x9000, Host().Plain(0x03, 0, 0, VtBytesOf("SN-2")).wSW);
    EXPECT_EQ(VtBytesOf("SN-2"), Host().Plain(0x04, 2, 0).vPayload);
    EXPECT_EQ(0x6A80, Host().Plain(0x03, 0, 0, VtBytes(17, 'x')).wSW);
    CApduReply chip = Host().Plain(0x04, 3, 0);
    EXPECT_EQ(0x9000, chip.wSW);
    EXPECT_EQ(8u, chip.vPayload.size());
}

TEST_P(ChipCommands, FlashIsErasedWrittenAndReadInUnits)
{
    VtBytes vRead = {0, 0, 0, 0x80};  // E3 counts two-byte units: byte 0x100
    EXPECT_EQ(VtBytes(256, 0xFF), Host().Plain(0xE3, 0, 0, vRead).vPayload);
    VtBytes vWrite = {0, 0, 1, 0};
    for (int i = 0; i < 256; ++i) {
        vWrite.push_back(static_cast<uint8_t>(i));
    }
    EXPECT_EQ(0x9000, Host().Plain(0xE2, 0, 0, vWrite).wSW);
    EXPECT_EQ(VtBytes(vWrite.begin() + 4, vWrite.end()), Host().Plain(0xE3, 0, 0, vRead).vPayload);
    CApduReply big = Host().Plain(0xEA, 0, 0, {0, 0, 0, 0});
    EXPECT_EQ(1007u, big.vPayload.size());
    EXPECT_EQ(0x6B00, Host().Plain(0xE2, 0, 0, [&] {
        VtBytes v = vWrite;
        v[1] = 0xFF;  // past the 64 KiB area
        return v;
    }()).wSW);
    EXPECT_EQ(0x9000, Host().Plain(0xE1, 0, 0).wSW);
    EXPECT_EQ(VtBytes(256, 0xFF), Host().Plain(0xE3, 0, 0, vRead).vPayload);
}

TEST_P(ChipCommands, UnknownCommandsAndClassesAre6D00)
{
    EXPECT_EQ(0x6D00, Host().Plain(0x05, 0, 0).wSW);  // InitAuthKey: not offered
    EXPECT_EQ(0x6D00, Host().Plain(0x77, 0, 0).wSW);
    EXPECT_EQ(0x6D00, Host().Raw({0x80, 0x04, 0x02, 0x00, 0, 0, 0, 0}).wSW);
    EXPECT_EQ(0x6700, Host().Raw({0xB0, 0x04, 0x02, 0x00, 0, 5, 0, 0}).wSW);  // body length wrong
}

TEST_P(ChipCommands, ExternalAuthenticationChecksTheDerivedKey)
{
    CApduReply ch = Host().Plain(0x10, 0, 0);
    ASSERT_EQ(16u, ch.vPayload.size());
    VtBytes vWrong;
    VtSymCrypt(GetParam(), true, VtBytes(16, 0x42), ch.vPayload, vWrong);
    EXPECT_EQ(0x6300, Host().Plain(0x10, 1, 0, vWrong).wSW);
    EXPECT_EQ(0x6985, Host().Plain(0x10, 1, 0, vWrong).wSW);  // the challenge is used up
    EXPECT_EQ("no", m_daemon.StateField("VT0000000001", "host-authenticated"));
}

class PinCommands : public TokenTest {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        ASSERT_EQ("", Host().EstablishSession());
    }
};
TOKEN_SUITE(PinCommands);

TEST_P(PinCommands, VerifyGivesAFreshAuthorisationCode)
{
    CApduReply r = Host().VerifyPin(kVtPinUser, "11111111");
    ASSERT_EQ(0x9000, r.wSW);
    EXPECT_EQ(16u, r.vPayload.size());
    EXPECT_EQ("valid for pin type 1", m_daemon.StateField("VT0000000001", "auth-code"));
    CApduReply again = Host().VerifyPin(kVtPinUser, "11111111");
    EXPECT_NE(r.vPayload, again.vPayload);
    EXPECT_EQ(0x9000, Host().Plain(0x1C, 0, 0, {0, 0}).wSW);
    EXPECT_EQ("none", m_daemon.StateField("VT0000000001", "auth-code"));
}

TEST_P(PinCommands, WrongPinCountsDownThenLocks)
{
    EXPECT_EQ(0x9000, Host().VerifyPin(kVtPinUser, "11111111").wSW);
    EXPECT_EQ(0x63C2, Host().VerifyPin(kVtPinUser, "bad").wSW);
    EXPECT_EQ("none", m_daemon.StateField("VT0000000001", "auth-code"));
    EXPECT_EQ(0x63C1, Host().VerifyPin(kVtPinUser, "bad").wSW);
    EXPECT_EQ(VtBytes({3, 1, 1, 0}), Host().PinStatus(kVtPinUser).vPayload);
    EXPECT_EQ(0x63C0, Host().VerifyPin(kVtPinUser, "bad").wSW);
    EXPECT_EQ(0x6983, Host().VerifyPin(kVtPinUser, "11111111").wSW);
    EXPECT_EQ(0u, m_daemon.UserRetriesLeft("VT0000000001"));
    // The administrator unlocks it: the user PIN is unchanged, its tries back.
    EXPECT_EQ(0x9000, Host().AdminPair(0x1A, "22222222").wSW);
    EXPECT_EQ(3u, m_daemon.UserRetriesLeft("VT0000000001"));
    EXPECT_EQ(0x9000, Host().VerifyPin(kVtPinUser, "11111111").wSW);
}

TEST_P(PinCommands, ChangedPinIsKeptAcrossADaemonRestart)
{
    EXPECT_EQ(0x63C2, Host().ChangePin(kVtPinUser, "wrong", "33333333").wSW);
    EXPECT_EQ(0x9000, Host().ChangePin(kVtPinUser, "11111111", "33333333").wSW);
    EXPECT_EQ("none", m_daemon.StateField("VT0000000001", "auth-code"));
    EXPECT_EQ("no", m_daemon.StateField("VT0000000001", "user-pin-default"));
    m_daemon.Restart();
    EXPECT_EQ("no", m_daemon.StateField("VT0000000001", "session-key"));
    ASSERT_EQ("", Host().EstablishSession());
    EXPECT_EQ(0x63C2, Host().VerifyPin(kVtPinUser, "11111111").wSW);
    EXPECT_EQ(0x9000, Host().VerifyPin(kVtPinUser, "33333333").wSW);
}

TEST_P(PinCommands, ResetRestoresTheFactoryUserPin)
{
    ASSERT_EQ(0x9000, Host().ChangePin(kVtPinUser, "11111111", "33333333").wSW);
    EXPECT_EQ(0x63C1, Host().AdminPair(0x2B, "wrong").wSW);  // SO PIN: 2 tries
    EXPECT_EQ(0x9000, Host().AdminPair(0x2B, "22222222").wSW);
    EXPECT_EQ("yes", m_daemon.StateField("VT0000000001", "user-pin-default"));
    EXPECT_EQ(0x9000, Host().VerifyPin(kVtPinUser, "11111111").wSW);
    // The issuer's form: the challenge under the external-authentication key.
    EXPECT_EQ(0x9000, Host().IssuerPair(0x2B).wSW);
    EXPECT_EQ(0x9000, Host().IssuerPair(0x1A).wSW);
}

TEST_P(PinCommands, AnswerWithoutItsChallengeIsRefused)
{
    VtBytes vBody(130, 0);
    EXPECT_EQ(0x6985, Host().Secure(0x18, 1, 0, vBody).wSW);
    EXPECT_EQ(0x6A88, Host().Secure(0x14, 0, 7, {0, 0}).wSW);  // no PIN type 7
    EXPECT_EQ(0x6A88, Host().Secure(0x14, 0, 1, {0, 1}).wSW);  // no application 1
}

TEST_P(PinCommands, ButtonPressedAfterTwoPollsAndCancelledByUserPinStatus)
{
    m_daemon.SetButton("VT0000000001", "after:2");
    CApduReply r = Host().VerifyPin(kVtPinUser, "11111111");
    EXPECT_EQ(0xF321, r.wSW);
    EXPECT_EQ("yes", m_daemon.StateField("VT0000000001", "button-waiting"));
    // The middleware repeats the same answer command while it waits.
    EXPECT_EQ(0xF321, Host().RepeatAnswer().wSW);
    CApduReply done = Host().RepeatAnswer();
    EXPECT_EQ(0x9000, done.wSW);
    EXPECT_EQ(16u, done.vPayload.size());
    EXPECT_EQ("no", m_daemon.StateField("VT0000000001", "button-waiting"));
    EXPECT_EQ(3u, m_daemon.UserRetriesLeft("VT0000000001"));

    m_daemon.SetButton("VT0000000001", "never");
    EXPECT_EQ(0xF321, Host().VerifyPin(kVtPinUser, "11111111").wSW);
    EXPECT_EQ(0x9000, Host().PinStatus(kVtPinUser).wSW);
    EXPECT_EQ("no", m_daemon.StateField("VT0000000001", "button-waiting"));
    m_daemon.SetButton("VT0000000001", "now");
    EXPECT_EQ(0x9000, Host().VerifyPin(kVtPinUser, "11111111").wSW);
}

}  // namespace
