#include <gtest/gtest.h>

#include <openssl/rand.h>

#include "SarnCore/DeviceContext.h"
#include "FakeToken.h"

struct NameCase {
    const char *name;
    const char *devName;
    unsigned int code;
    unsigned int id;
};

class DeviceNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeviceNameTest, GivesTheDeviceId)
{
    CDeviceContext ctx;
    EXPECT_EQ(GetParam().code, ctx.SetDeviceName(GetParam().devName, 31));
    EXPECT_EQ(GetParam().id, ctx.m_ulDeviceID);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceNameTest,
    ::testing::Values(NameCase{"full", "Mirel&pid_f00d&bus_003&addr_007", 0, 0xF00D0307u},
                      NameCase{"no_pid", "Mirel&bus_003&addr_007", ERR_BAD_DEVICE_NAME, 0},
                      NameCase{"no_bus", "Mirel&pid_f00d&addr_007", ERR_BAD_DEVICE_NAME, 0},
                      NameCase{"no_addr", "Mirel&pid_f00d&bus_003", ERR_BAD_DEVICE_NAME, 0},
                      NameCase{"no_number", "Mirel&pid_&bus_003&addr_007", ERR_BAD_DEVICE_NAME, 0}),
    [](const ::testing::TestParamInfo<NameCase> &i) { return std::string(i.param.name); });

/* A context whose chip and PIN objects talk to the fake token. */
class SessionKeyTest : public ::testing::Test {
protected:
    SessionKeyTest() : token(nullptr)
    {
        ctx.Initialize();
        token = FakeToken(ctx.m_pDevieHandle);
        delete ctx.m_pApduChip;
        delete ctx.m_pApduPin;
        ctx.m_pApduChip = new CFakeLink<CAPDUChip>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduPin = new CFakeLink<CAPDUPin>(ctx.m_pDevieHandle, &token);
        ctx.m_pDevieHandle->m_pRootKey = &g_stProdSM2PubKey;
    }
    CDeviceContext ctx;
    FakeToken token;
};

TEST_F(SessionKeyTest, WorkingChannelCostsOneStatusCommand)
{
    OpenChannel(*ctx.m_pDevieHandle);
    EXPECT_EQ(0u, ctx.SetSessionKey(false));
    ASSERT_EQ(1u, token.seen.size());
    EXPECT_EQ(0xB4, token.seen[0].cla);
    EXPECT_EQ(0x14, token.seen[0].ins);
    EXPECT_EQ(0x00, token.seen[0].p2);
    EXPECT_EQ((Bytes{0, 0}), token.seen[0].body);
}

static int FailingRandBytes(unsigned char *, int)
{
    return 0;
}
static int FailingRandStatus(void)
{
    return 0;
}

TEST_F(SessionKeyTest, FailingRandomGeneratorEstablishesNothing)
{
    ctx.m_pDevieHandle->m_byAlgID = 0x13;
    static RAND_METHOD failing = {nullptr, FailingRandBytes, nullptr, nullptr, FailingRandBytes, FailingRandStatus};
    const RAND_METHOD *pOld = RAND_get_rand_method();
    ASSERT_EQ(1, RAND_set_rand_method(&failing));
    unsigned int ulRet = ctx.SetSessionKey(true);
    RAND_set_rand_method(pOld);
    EXPECT_EQ(CRYPTO_ERR_RANDOM, ulRet);
    EXPECT_TRUE(token.seen.empty());
    EXPECT_EQ(0, ctx.m_pDevieHandle->m_bySecurityMode);
    EXPECT_EQ(0u, ctx.m_pDevieHandle->m_ulTransKeyLen);
}

TEST_F(SessionKeyTest, ThreeKeyTripleDesIsRefused)
{
    ctx.m_pDevieHandle->m_byAlgID = 4;
    EXPECT_EQ(ERR_BAD_ALGORITHM, ctx.SetSessionKey(true));
    EXPECT_TRUE(token.seen.empty());
    EXPECT_EQ(0, ctx.m_pDevieHandle->m_bySecurityMode);
}

TEST_F(SessionKeyTest, UnsignedAuthKeyGetsNoSessionKey)
{
    ctx.m_pDevieHandle->m_byAlgID = 0x13;
    ScriptedAnswer a;
    a.payload = Bytes(128, 0x5A);  /* a key and a signature that do not verify */
    token.script.push_back(a);
    EXPECT_NE(0u, ctx.SetSessionKey(true));
    ASSERT_EQ(1u, token.seen.size());
    EXPECT_EQ(0x07, token.seen[0].ins);
    EXPECT_EQ(0, ctx.m_pDevieHandle->m_bySecurityMode);
}

/* Within one SKF call (the frame opens and closes it under the device
 * mutex) the channel is checked once; after the call, after a secure
 * command the token refused, or outside any call it is checked again. */
struct CallCase {
    const char *name;
    /* steps: 'b' open a call, 'e' close it, 's' SetSessionKey(false),
     * 'r' a secure command the token refuses with F5 26 */
    const char *steps;
    size_t checks;  /* status commands of the check sent */
};

void PrintTo(const CallCase &c, std::ostream *os)
{
    *os << c.name;
}

class ChannelCheckTest : public SessionKeyTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(ChannelCheckTest, ChecksOncePerCall)
{
    OpenChannel(*ctx.m_pDevieHandle);
    CDeviceInfo &info = *ctx.m_pDevieHandle;
    size_t ulRefused = 0;
    for (const char *p = GetParam().steps; *p != '\0'; ++p) {
        switch (*p) {
        case 'b': info.BeginCall(); break;
        case 'e': info.EndCall(); break;
        case 's': EXPECT_EQ(0u, ctx.SetSessionKey(false)); break;
        case 'r':
            token.Answer(0xF526);
            EXPECT_EQ(0x8000F526u, ctx.GetAPDUPin()->GetPINStatus(0, 1, nullptr, nullptr, nullptr, nullptr));
            ++ulRefused;
            break;
        }
    }
    EXPECT_EQ(GetParam().checks + ulRefused, token.seen.size());
    for (const SeenCommand &c : token.seen) EXPECT_EQ(0x14, c.ins);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ChannelCheckTest,
    ::testing::Values(CallCase{"two_steps_of_one_call", "bsse", 1}, CallCase{"nested_calls", "bbsesse", 1},
                      CallCase{"next_call", "bsebse", 2}, CallCase{"after_the_outer_call", "bbsees", 2},
                      CallCase{"after_a_refusal", "bsrse", 2}, CallCase{"outside_a_call", "ss", 2},
                      CallCase{"refused_before_the_check", "brsse", 1}),
    [](const ::testing::TestParamInfo<CallCase> &i) { return std::string(i.param.name); });
