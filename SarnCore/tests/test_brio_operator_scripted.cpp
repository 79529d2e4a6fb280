/* The product operator against a scripted token: what the PIN commands carry
 * on the wire (the PIN type in the request, MD5(MD5(PIN) || challenge) under
 * the token's RSA key), the authorisation code kept or cleared, and exactly
 * one forced session key and one more request when the token lost the
 * session. */
#include <gtest/gtest.h>
#include <string.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "FakeToken.h"
#include "SarnCore/BrioOperator.h"

/* Counts the forced session keys instead of setting one up. */
class SessionCountingOperator : public CBrioOperator {
public:
    using CBrioOperator::CBrioOperator;
    unsigned int SetSessionKey(bool bForce) override
    {
        vForced.push_back(bForce);
        return ulSessionResult;
    }
    std::vector<bool> vForced;
    unsigned int ulSessionResult = 0;
};

static Bytes Md5(const Bytes &in)
{
    unsigned char out[16];
    unsigned int len = 0;
    EVP_Digest(in.data(), in.size(), out, &len, EVP_md5(), nullptr);
    return Bytes(out, out + len);
}

class BrioScriptedTest : public ::testing::Test {
protected:
    BrioScriptedTest() : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        ctx.m_pApduPin = new CFakeLink<CAPDUPinBrio>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduChip = new CFakeLink<CAPDUChip>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduFile = new CFakeLink<CAPDUFile>(ctx.m_pDevieHandle, &token);
        const char *name = "Mirel&pid_f00d&bus_005&addr_200";
        EXPECT_EQ(0u, ctx.SetDeviceName(name, (unsigned int)strlen(name)));
        EXPECT_EQ(0u, ctx.CreateDevMutex());
        pKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)1024);
        BIGNUM *n = nullptr;
        EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &n);
        modulus.resize(128);
        BN_bn2binpad(n, modulus.data(), 128);
        BN_free(n);
    }
    ~BrioScriptedTest() override { EVP_PKEY_free(pKey); }

    /* A challenge answer: C(16) || N(128) || E(4). */
    Bytes ChallengeAnswer(unsigned char c)
    {
        Bytes out(16, c);
        out.insert(out.end(), modulus.begin(), modulus.end());
        out.insert(out.end(), {0x00, 0x01, 0x00, 0x01});
        return out;
    }
    /* What an answer command carried: app 0, then the RSA cryptogram opened. */
    Bytes Opened(const SeenCommand &cmd)
    {
        EXPECT_EQ(130u, cmd.body.size());
        EXPECT_EQ(0, cmd.body[0] | cmd.body[1]);
        EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(pKey, nullptr);
        EVP_PKEY_decrypt_init(pctx);
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
        Bytes out(128);
        size_t len = out.size();
        bool ok = EVP_PKEY_decrypt(pctx, out.data(), &len, cmd.body.data() + 2, 128) == 1;
        EVP_PKEY_CTX_free(pctx);
        out.resize(ok ? len : 0);
        return out;
    }
    static Bytes Proof(const char *pin, unsigned char c)
    {
        Bytes h1 = Md5(Bytes(pin, pin + strlen(pin)));
        h1.insert(h1.end(), 16, c);
        return Md5(h1);
    }
    CDeviceInfo *Info() { return ctx.m_pDevieHandle; }

    CDeviceContext ctx;
    FakeToken token;
    SessionCountingOperator op{&ctx};
    EVP_PKEY *pKey = nullptr;
    Bytes modulus;
};

TEST_F(BrioScriptedTest, VerifySendsTheChallengeBoundDigest)
{
    token.Answer(0x9000, ChallengeAnswer(0x5C));
    token.Answer(0x9000, Bytes(16, 0xAC));
    ASSERT_EQ(0u, op.VerifyPIN(1, (char *)"246810", 6));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(0x18, token.seen[0].ins);
    EXPECT_EQ(0x00, token.seen[0].p1);
    EXPECT_EQ(0x01, token.seen[0].p2);  /* the PIN type travels in the request */
    EXPECT_EQ(0x01, token.seen[1].p1);
    EXPECT_EQ(0x00, token.seen[1].p2);
    EXPECT_EQ(Proof("246810", 0x5C), Opened(token.seen[1]));
    EXPECT_EQ(16u, Info()->m_ulAuthCodeLen);
    EXPECT_EQ(0xAC, Info()->m_pbAuthCode[0]);
    EXPECT_TRUE(op.vForced.empty());

    /* A failing request leaves the code; a refused answer clears it. */
    token.Answer(0x6A88);
    EXPECT_EQ(0x80006A88u, op.VerifyPIN(1, (char *)"246810", 6));
    EXPECT_EQ(16u, Info()->m_ulAuthCodeLen);
    token.Answer(0x9000, ChallengeAnswer(1));
    token.Answer(0x63C4);
    EXPECT_EQ(0x800063C4u, op.VerifyPIN(1, (char *)"000000", 6));
    EXPECT_EQ(0u, Info()->m_ulAuthCodeLen);
}

TEST_F(BrioScriptedTest, ChangeSendsExactly32BytesAndClearsTheCode)
{
    Info()->SetAuthCode(Bytes(16, 7).data(), 16);
    token.Answer(0x9000, ChallengeAnswer(0x33));
    token.Answer(0x9000);
    token.Answer(0x6A82);  /* the operation log's file: logging fails, the change stands */
    ASSERT_EQ(0u, op.ChangePIN(1, (char *)"old-pin", 7, (char *)"new-pin-1", 9));
    ASSERT_GE(token.seen.size(), 2u);
    EXPECT_EQ(0x16, token.seen[0].ins);
    EXPECT_EQ(0x01, token.seen[0].p2);
    Bytes plain = Opened(token.seen[1]);
    Bytes expect = Proof("old-pin", 0x33);
    Bytes h = Md5(Bytes{'n', 'e', 'w', '-', 'p', 'i', 'n', '-', '1'});
    expect.insert(expect.end(), h.begin(), h.end());
    EXPECT_EQ(expect, plain);
    EXPECT_EQ(0u, Info()->m_ulAuthCodeLen);
}

TEST_F(BrioScriptedTest, ResetFetchesSerialAndChallengeAndRefusesOtherFlags)
{
    token.Answer(0x9000, ChallengeAnswer(0x21));
    token.Answer(0x9000, Bytes(16, 'S'));
    unsigned char buf[40];
    unsigned int len = sizeof(buf);
    ASSERT_EQ(0u, op.InitTokenUser(RESET_FETCH_REQUEST, buf, len));
    ASSERT_EQ(32u, len);
    EXPECT_EQ(Bytes(16, 'S'), Bytes(buf, buf + 16));
    EXPECT_EQ(Bytes(16, 0x21), Bytes(buf + 16, buf + 32));
    EXPECT_EQ(0x2B, token.seen[0].ins);
    token.seen.clear();
    for (unsigned char flag : {0, 4}) EXPECT_EQ(ERR_BAD_FLAG, op.InitTokenUser(flag, buf, len));
    EXPECT_TRUE(token.seen.empty());
}

/* The session-loss answers of the token: one forced session key, one more
 * request, whose result stands. */
class LostSessionTest : public BrioScriptedTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(LostSessionTest, ForcesOneNewSessionKeyAndAsksOnceMore)
{
    token.Answer(GetParam());
    token.Answer(0x9000, ChallengeAnswer(0x44));
    token.Answer(0x9000, Bytes(16, 1));
    ASSERT_EQ(0u, op.VerifyPIN(1, (char *)"246810", 6));
    EXPECT_EQ(std::vector<bool>{true}, op.vForced);
    EXPECT_EQ(3u, token.seen.size());

    /* Lost again after the new key: returned unchanged, no second retry. */
    op.vForced.clear();
    token.seen.clear();
    token.Answer(GetParam());
    token.Answer(GetParam());
    EXPECT_EQ(0x80000000u | GetParam(), op.VerifyPIN(1, (char *)"246810", 6));
    EXPECT_EQ(std::vector<bool>{true}, op.vForced);
    EXPECT_EQ(2u, token.seen.size());

    /* A failing session set-up is the result. */
    op.vForced.clear();
    token.seen.clear();
    op.ulSessionResult = NTE_BAD_SIGNATURE;
    token.Answer(GetParam());
    EXPECT_EQ(NTE_BAD_SIGNATURE, op.ChangePIN(1, (char *)"a", 1, (char *)"b", 1));
    EXPECT_EQ(1u, token.seen.size());
}

INSTANTIATE_TEST_SUITE_P(StatusWords, LostSessionTest, ::testing::Values(0xF525u, 0xF526u, 0x6700u));

/* A cancel on the first repetition of the wait: exactly one GetPINStatus
 * with application 0 and PIN type 1 ends the token's wait. */
static long CancelAtOnce(unsigned int ulCode, void *pContext, void *pArg)
{
    if (ulCode == CALLBACK_WAIT_STATUS) return (long)SCARD_W_CANCELLED_BY_USER;
    return (long)CBrioOperator::WaitPressButton(pContext, pArg);
}

TEST_F(BrioScriptedTest, CancelSendsOnePinStatusOfTypeOne)
{
    for (int i = 0; i < 2; ++i) {
        token.Answer(0x9000, ChallengeAnswer(0x10));
        token.Answer(0xF321);
    }
    token.Answer(0x9000, {10, 10, 1, 0});
    EXPECT_EQ(SCARD_W_CANCELLED_BY_USER, op.VerifyPIN(1, (char *)"246810", 6, &CancelAtOnce, nullptr));
    ASSERT_EQ(5u, token.seen.size());
    const SeenCommand &last = token.seen[4];
    EXPECT_EQ(0xB4, last.cla);
    EXPECT_EQ(0x14, last.ins);
    EXPECT_EQ(0x01, last.p2);
    EXPECT_EQ((Bytes{0, 0}), last.body);
    EXPECT_EQ(0u, Info()->m_ulAuthCodeLen);
}
