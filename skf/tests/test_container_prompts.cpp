/* The container object's signatures while the token waits for its button,
 * with the confirmation prompt under the program's own Xvfb, and the
 * "reloadDevice" signal of certificate imports on a private session bus.
 * Calls run under the device mutex, as the SKF functions run them. */
#include "skf/tests/ContainerTestSupport.h"

#include "skf/tests/SessionBus.h"
#include "skf/tests/SkfLogCapture.h"
#include "skf/tests/SkfPromptDriver.h"

using namespace skf_test;

namespace {

template <class F>
unsigned int UnderMutex(CDeviceContext *pContext, F fn)
{
    EXPECT_EQ(0u, pContext->WaitDevMutex());
    unsigned int ulRet = fn();
    pContext->ReleaseDevMutex();
    return ulRet;
}

struct ButtonCase {
    const char *pszName;
    unsigned int ulAddr;
    bool bRsa;
    const char *pszButton;  /* the token's button policy */
    bool bCancel;           /* CANCEL once the prompt is shown */
    unsigned int ulExpected;
};

std::ostream &operator<<(std::ostream &os, const ButtonCase &c) { return os << c.pszName; }

/* Addresses 40 on. */
const ButtonCase kButtonCases[] = {
    {"Sm2Pressed", 40, false, "after:3", false, 0},
    {"RsaPressed", 41, true, "after:2", false, 0},
    {"Sm2Cancelled", 42, false, "never", true, SCARD_W_CANCELLED_BY_USER},
    /* The prompt's own countdown of 30 seconds. */
    {"Sm2TimedOut", 43, false, "never", false, SCARD_E_TIMEOUT},
};

class ContainerButtonTest : public ContainerTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ContainerButtonTest, SignatureWaitsForTheButton)
{
    const ButtonCase &c = GetParam();
    OpenVerified(c.ulAddr);
    CContainerObject *pContainer = Create("press");
    ECCPUBLICKEYBLOB eccPub;
    RSAPUBLICKEYBLOB rsaPub;
    ASSERT_EQ(0u, c.bRsa ? pContainer->GenerateRSAKeyPair(1024, &rsaPub)
                         : pContainer->GenerateKeyPair(SGD_SM2_1, &eccPub));
    daemon.SetButton(TokenSerial(), c.pszButton);

    Bytes msg = Random(40);
    Bytes e = c.bRsa ? oracle::Digest("SHA256", msg) : Sm2Digest(eccPub, msg);
    std::string strMessage;
    std::vector<CPromptDriver::Step> steps = {ReadText("message-label", &strMessage)};
    if (c.bCancel) steps.push_back(ClickCancel());
    CPromptDriver driver(steps);
    ECCSIGNATUREBLOB sig;
    memset(&sig, 0xAA, sizeof(sig));
    Bytes rsaSig(128);
    std::string strErrors;
    unsigned int ulRet = 0;
    {
        CLogCapture log;
        ASSERT_TRUE(log.Started());
        ulRet = UnderMutex(Context(), [&] {
            if (!c.bRsa) return pContainer->ECCSignData(e.data(), 32, sig.r, sig.s);
            unsigned int len = 128;
            return pContainer->RSASignData(e.data(), 32, rsaSig.data(), &len);
        });
        strErrors = log.ErrorLines();
    }
    EXPECT_EQ(c.ulExpected, ulRet);
    /* Waiting for the button is no error; a cancel or a time-out that ends
     * the signature is one. */
    if (c.ulExpected == 0) {
        EXPECT_EQ("", strErrors);
    } else {
        char szCode[16];
        snprintf(szCode, sizeof(szCode), "(0x%08x)", c.ulExpected);
        EXPECT_NE(std::string::npos, strErrors.find(szCode)) << strErrors;
        EXPECT_EQ(std::string::npos, strErrors.find("0x8000f321")) << strErrors;
    }
    EXPECT_TRUE(driver.Finished());
    EXPECT_FALSE(strMessage.empty()) << "the confirmation prompt was shown";
    EXPECT_EQ("no", daemon.StateField(TokenSerial(), "button-waiting"));
    if (c.ulExpected != 0) {
        EXPECT_TRUE(AllBytes(sig.r, sizeof(sig), 0xAA)) << "no signature written";
    } else if (!c.bRsa) {
        EXPECT_TRUE(AllBytes(sig.r, 32, 0) && AllBytes(sig.s, 32, 0));
        EXPECT_TRUE(Sm2VerifiesMessage(eccPub, msg, sig));
    }
}

INSTANTIATE_TEST_SUITE_P(Skf, ContainerButtonTest, ::testing::ValuesIn(kButtonCases),
                         [](const ::testing::TestParamInfo<ButtonCase> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- the signal after a certificate import ---- */

TEST_F(ContainerTest, EachCertificateImportSendsOneSignal)
{
    CPrivateSessionBus bus;
    ASSERT_TRUE(bus.Running());
    CReloadDeviceListener listener(bus.Address());
    ASSERT_TRUE(listener.Connected());
    OpenVerified(50);
    CContainerObject *pContainer = Create("signal");
    ECCPUBLICKEYBLOB pub;
    ASSERT_EQ(0u, pContainer->GenerateKeyPair(SGD_SM2_1, &pub));

    Bytes cert = FakeCertificate(400);
    for (bool bSign : {true, false, true}) {
        unsigned int ulRet = UnderMutex(Context(), [&] {
            return pContainer->ImportCertificate(bSign, cert.data(), (unsigned int)cert.size());
        });
        EXPECT_EQ(bSign ? 0u : SAR_KEYNOTFOUNTERR, ulRet) << "no exchange key for an exchange certificate";
    }
    Bytes bad = FakeCertificate(400);
    bad[3] ^= 1;  /* its length is not the certificate's */
    EXPECT_NE(0u, UnderMutex(Context(), [&] {
                  return pContainer->ImportCertificate(true, bad.data(), (unsigned int)bad.size());
              }));
    EXPECT_EQ(std::vector<std::string>({TokenSerial(), TokenSerial()}), listener.WaitForSignals(2));
    EXPECT_EQ(2u, listener.Settle().size()) << "one signal per successful import, none for a failed one";
}

}  // namespace
