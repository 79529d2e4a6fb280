/* The dialog glue's prompts under the test's own X server against the
 * virtual token: the PIN prompt reached through CheckUserPIN(true), the
 * confirmation prompt while the token waits for its button, and a signal
 * without a session bus that must not launch one on the display. */
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <pwd.h>
#include <unistd.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "log/tests/LogTestUtil.h"
#include "skf/tests/DialogTestToken.h"
#include "skf/tests/SkfLogCapture.h"
#include "skf/tests/SkfPromptDriver.h"

using namespace skf_test;

namespace {

/* Addresses 40 on: the tests without a display use 1 to 39. */
/* ---- the PIN prompt ---- */

struct PinPromptCase {
    const char *pszName;
    unsigned int ulAddr;
    const char *pszTokenPin;  /* the user PIN the token holds */
    unsigned int ulWrongBefore;  /* wrong verifications before the prompt */
    const char *pszTyped;     /* null: CANCEL */
    unsigned int ulExpected;
    unsigned int ulRetriesAfter;
};

std::ostream &operator<<(std::ostream &os, const PinPromptCase &c) { return os << c.pszName; }

const PinPromptCase kPinCases[] = {
    {"Typed", 40, DIALOG_USER_PIN, 0, DIALOG_USER_PIN, 0, 10},
    /* All 16 characters reach the verification: the token holds MD5 of them. */
    {"SixteenCharacters", 41, "0123456789abcdef", 0, "0123456789abcdef", 0, 10},
    {"RetriesShown", 42, DIALOG_USER_PIN, 3, DIALOG_USER_PIN, 0, 10},
    {"Wrong", 43, DIALOG_USER_PIN, 0, "87654321", 0x800063C9u, 9},
    {"Cancelled", 44, DIALOG_USER_PIN, 0, nullptr, SCARD_W_CANCELLED_BY_USER, 10},
};

class SkfDialogPinPromptTest : public DialogTokenTest, public ::testing::WithParamInterface<PinPromptCase> {};

TEST_P(SkfDialogPinPromptTest, CheckUserPinWithThePrompt)
{
    const PinPromptCase &c = GetParam();
    CDialogObject *pObject = Open(c.ulAddr);
    const unsigned int ulPinLen = (unsigned int)strlen(c.pszTokenPin);
    if (strcmp(c.pszTokenPin, DIALOG_USER_PIN) != 0) {
        ASSERT_EQ(0u, Operator()->ChangePIN(1, (char *)DIALOG_USER_PIN, 8, (char *)c.pszTokenPin, (unsigned char)ulPinLen));
    }
    for (unsigned int i = 0; i < c.ulWrongBefore; ++i) ASSERT_NE(0u, VerifyUserPin("00000000"));
    const unsigned int ulRetries = 10 - c.ulWrongBefore;

    std::string strTip;
    std::vector<CPromptDriver::Step> steps = {ReadText("tip-label", &strTip)};
    if (c.pszTyped != nullptr) {
        steps.push_back(TypePin(c.pszTyped));
        steps.push_back(ClickOk());
    } else {
        steps.push_back(ClickCancel());
    }
    CPromptDriver driver(steps);
    unsigned int ulRet = UnderMutex([&] { return pObject->CheckUserPIN(true); });
    EXPECT_TRUE(driver.Finished());
    EXPECT_EQ(c.ulExpected, ulRet);
    EXPECT_EQ("TIPS: PIN length is 6 ~ 16 bytes.\nPIN left retry times: " + std::to_string(ulRetries), strTip);
    EXPECT_EQ(c.ulRetriesAfter, RetriesLeft());
    EXPECT_EQ(c.ulExpected == 0 ? 16u : 0u, AuthCodeLen());
}


INSTANTIATE_TEST_SUITE_P(Skf, SkfDialogPinPromptTest, ::testing::ValuesIn(kPinCases),
                         [](const ::testing::TestParamInfo<PinPromptCase> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- the confirmation prompt while the token waits for its button ---- */

/* SKFOperationCallback with a countdown of the test's length instead of the
 * prompt's default of 30 seconds. */
int g_nCountdown = 0;
long ShortCountdownCallback(unsigned int ulOperation, void *pContext, void *pArgument)
{
    if (ulOperation == CALLBACK_PRESS_VERIFY_PIN && pContext != nullptr) {
        return (long)ShowConfirmationDialog((int)ulOperation, g_nCountdown, pContext, pArgument);
    }
    return CDialogObject::SKFOperationCallback(ulOperation, pContext, pArgument);
}

struct ConfirmCase {
    const char *pszName;
    unsigned int ulAddr;
    const char *pszButton;  /* the token's button policy */
    bool bCancel;           /* CANCEL once the prompt is shown */
    int nCountdown;         /* 0: the operation's own callback and countdown */
    unsigned int ulExpected;
};

std::ostream &operator<<(std::ostream &os, const ConfirmCase &c) { return os << c.pszName; }

class SkfDialogConfirmPromptTest : public DialogTokenTest, public ::testing::WithParamInterface<ConfirmCase> {};

const ConfirmCase kConfirmCases[] = {
    {"Pressed", 50, "after:3", false, 0, 0},
    {"Cancelled", 51, "never", true, 0, SCARD_W_CANCELLED_BY_USER},
    {"TimedOut", 52, "never", false, 2, SCARD_E_TIMEOUT},
};

TEST_P(SkfDialogConfirmPromptTest, VerifyWaitsForTheButton)
{
    const ConfirmCase &c = GetParam();
    CDialogObject *pObject = Open(c.ulAddr);
    daemon.SetButton(TokenSerial(), c.pszButton);

    std::string strMessage;
    std::vector<CPromptDriver::Step> steps = {ReadText("message-label", &strMessage)};
    if (c.bCancel) steps.push_back(ClickCancel());
    CPromptDriver driver(steps);
    unsigned int ulRet = UnderMutex([&] {
        if (c.nCountdown == 0) return pObject->VerifyAndProtectPIN(1, (char *)DIALOG_USER_PIN, 8);
        g_nCountdown = c.nCountdown;
        OperationCallbackContext stContext = {0, pObject};
        return pObject->VerifyPIN(1, (char *)DIALOG_USER_PIN, 8, &ShortCountdownCallback, &stContext);
    });
    EXPECT_EQ(c.ulExpected, ulRet);
    EXPECT_TRUE(driver.Finished());
    EXPECT_NE(std::string::npos, strMessage.find("Too many times of error PIN verification")) << strMessage;
    EXPECT_EQ("no", Field("button-waiting"));
    EXPECT_EQ(c.ulExpected == 0 ? 16u : 0u, AuthCodeLen());
    EXPECT_EQ(10u, RetriesLeft());
}

INSTANTIATE_TEST_SUITE_P(Skf, SkfDialogConfirmPromptTest, ::testing::ValuesIn(kConfirmCases),
                         [](const ::testing::TestParamInfo<ConfirmCase> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- no session bus on a desktop with a display ---- */

/* libdbus's autolaunch would start a bus for the display and announce it
 * with this selection. */
std::string AutolaunchSelection()
{
    std::string strMachine;
    std::ifstream("/etc/machine-id") >> strMachine;
    if (strMachine.empty()) std::ifstream("/var/lib/dbus/machine-id") >> strMachine;
    const struct passwd *pUser = getpwuid(getuid());
    return "_DBUS_SESSION_BUS_SELECTION_" + std::string(pUser != nullptr ? pUser->pw_name : "") + "_" + strMachine;
}

TEST(SkfDialogSignalOnDisplay, NoSessionBusAddressLaunchesNoBus)
{
    ASSERT_NE(nullptr, getenv("DISPLAY"));
    CLogCapture log;
    ASSERT_TRUE(log.Started());
    logtest::CEnvVar noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    EXPECT_EQ(1u, SendDBusSignal((char *)"VTSKF20"));
    EXPECT_TRUE(log.Contains("SendDBusSignal - dbus_bus_get failed(0x00000204)")) << log.Text();
    Display *pDisplay = XOpenDisplay(nullptr);
    ASSERT_NE(nullptr, pDisplay);
    Atom ulSelection = XInternAtom(pDisplay, AutolaunchSelection().c_str(), False);
    EXPECT_EQ((Window)0, XGetSelectionOwner(pDisplay, ulSelection)) << "a bus was launched for the display";
    XCloseDisplay(pDisplay);
}

}  // namespace
