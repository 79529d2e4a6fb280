/* The dialog glue without an X display (the dialog library could not start
 * GTK when it was loaded): the operation callback's table, the PIN status
 * check, the locked PIN, a confirmation that cannot be shown, and the
 * "reloadDevice" signal on a private session bus. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log/tests/LogTestUtil.h"
#include "skf/skf.h"
#include "skf/tests/DialogTestToken.h"
#include "skf/tests/SessionBus.h"
#include "skf/tests/SkfLogCapture.h"

using namespace skf_test;

namespace {

/* ---- the operation callback ---- */

enum class Ctx { Null, NoObject, Object };

struct CallbackCase {
    const char *pszName;
    unsigned int ulOperation;
    Ctx eContext;
    uint64_t ullStatus;  /* the context's status word */
    unsigned int ulExpected;
};

std::ostream &operator<<(std::ostream &os, const CallbackCase &c) { return os << c.pszName; }

class SkfDialogCallbackTest : public DialogTokenTest, public ::testing::WithParamInterface<CallbackCase> {};

TEST_P(SkfDialogCallbackTest, Answers)
{
    const CallbackCase &c = GetParam();
    CDialogObject *pObject = Open(1);
    OperationCallbackContext stContext = {c.ullStatus, c.eContext == Ctx::Object ? pObject : nullptr};
    void *pContext = c.eContext == Ctx::Null ? nullptr : &stContext;
    long lRet = CDialogObject::SKFOperationCallback(c.ulOperation, pContext, nullptr);
    EXPECT_EQ((long)c.ulExpected, lRet);
    EXPECT_EQ(0u, AuthCodeLen()) << "nothing was verified";
}

INSTANTIATE_TEST_SUITE_P(
    Skf, SkfDialogCallbackTest,
    ::testing::Values(
        CallbackCase{"StatusBeforeAnyPrompt", 11, Ctx::Object, 0, 0},
        CallbackCase{"StatusCancelled", 11, Ctx::Object, SCARD_W_CANCELLED_BY_USER, SCARD_W_CANCELLED_BY_USER},
        CallbackCase{"StatusTimedOutWithoutObject", 11, Ctx::NoObject, SCARD_E_TIMEOUT, SCARD_E_TIMEOUT},
        CallbackCase{"NullContextStatus", 11, Ctx::Null, 0, ERR_NULL_ARGUMENT},
        CallbackCase{"NullContextPin", 1, Ctx::Null, 0, ERR_NULL_ARGUMENT},
        CallbackCase{"NullContextConfirm", 4, Ctx::Null, 0, ERR_NULL_ARGUMENT},
        CallbackCase{"NullContextUnknown", 5, Ctx::Null, 0, ERR_NULL_ARGUMENT},
        CallbackCase{"OperationZero", 0, Ctx::Object, 0, ERR_UNSUPPORTED},
        CallbackCase{"OperationFiveResetWait", 5, Ctx::Object, 0, ERR_UNSUPPORTED},
        CallbackCase{"OperationTwelve", 12, Ctx::Object, 0, ERR_UNSUPPORTED},
        CallbackCase{"PinWithoutObject", 1, Ctx::NoObject, 0, ERR_NO_CONTEXT},
        CallbackCase{"PinErrorsWithoutObject", 2, Ctx::NoObject, 0, ERR_NO_CONTEXT},
        CallbackCase{"ChangeWithoutObject", 3, Ctx::NoObject, 0, ERR_NO_CONTEXT},
        CallbackCase{"TransactionWithoutObject", 4, Ctx::NoObject, 0, ERR_NO_CONTEXT},
        /* Operation 1 asks CheckUserPIN without the prompt. */
        CallbackCase{"PinNeeded", 1, Ctx::Object, 0, SW_SECURITY_STATUS},
        /* Without a display the confirmation prompt cannot be shown. */
        CallbackCase{"TransactionWithoutDisplay", 4, Ctx::Object, 0, E_FAIL}),
    [](const ::testing::TestParamInfo<CallbackCase> &info) { return std::string(info.param.pszName); });

/* ---- the PIN status and the PIN prompt ---- */

using SkfDialogPinTest = DialogTokenTest;

TEST_F(SkfDialogPinTest, WithoutThePromptTheUserIsNotLoggedInWhateverTheRetries)
{
    CDialogObject *pObject = Open(2);
    EXPECT_EQ(SW_SECURITY_STATUS, pObject->CheckUserPIN(false));
    ASSERT_NE(0u, VerifyUserPin("00000000"));
    EXPECT_EQ(9u, RetriesLeft());
    EXPECT_EQ(SW_SECURITY_STATUS, pObject->CheckUserPIN(false));
    LockUserPin();
    EXPECT_EQ(SW_SECURITY_STATUS, pObject->CheckUserPIN(false));
    /* A verified PIN does not change the answer: the callback's code 1 fails
     * until the application verified the PIN itself. */
}

TEST_F(SkfDialogPinTest, ALockedPinGivesPinLockedWithoutAPrompt)
{
    CDialogObject *pObject = Open(3);
    LockUserPin();
    /* Without a display a prompt would fail with E_FAIL. */
    EXPECT_EQ((unsigned int)SAR_PIN_LOCKED, pObject->CheckUserPIN(true));
    EXPECT_EQ(0u, RetriesLeft());
}

TEST_F(SkfDialogPinTest, GetUserPinRefusesRetriesBelowOne)
{
    CDialogObject *pObject = Open(4);
    for (int nRetries : {0, -1, -100}) {
        char *pszPin = (char *)&pszPin;
        EXPECT_EQ((unsigned int)SAR_PIN_LOCKED, pObject->GetUserPIN(nRetries, &pszPin)) << nRetries;
    }
    EXPECT_EQ(ERR_NULL_ARGUMENT, pObject->GetUserPIN(3, nullptr));
}

TEST_F(SkfDialogPinTest, APromptThatCannotBeShownIsAGeneralFailure)
{
    CDialogObject *pObject = Open(5);
    CLogCapture log;
    ASSERT_TRUE(log.Started());
    EXPECT_EQ(E_FAIL, pObject->CheckUserPIN(true));
    EXPECT_EQ(10u, RetriesLeft()) << "nothing was verified";
    /* The log says why the prompt failed. */
    const char *pszDisplay = getenv("DISPLAY");
    std::string strWhy = pszDisplay == nullptr || pszDisplay[0] == '\0' ? "(DISPLAY not set)"
                                                                        : "(DISPLAY \"" + std::string(pszDisplay) + "\")";
    EXPECT_TRUE(log.Contains("GetUserPIN - ShowUserPIN (Dialog): no X display could be opened " + strWhy +
                             " failed(0x80004005)"))
        << log.Text();
    char *pszPin = (char *)&pszPin;
    EXPECT_EQ(E_FAIL, ShowUserPinDialog(3, 6, 16, &pszPin));
    EXPECT_EQ(nullptr, pszPin) << "no buffer is handed out on failure";
}

TEST(SkfDialogShowUserPinDialog, RefusesABufferSizeOutOfRange)
{
    for (int nMax : {0, -1, (int)BRIO_MAX_BUFFER_SIZE + 1}) {
        char *pszPin = nullptr;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, ShowUserPinDialog(3, 6, nMax, &pszPin)) << nMax;
        EXPECT_EQ(nullptr, pszPin);
    }
}

TEST_F(SkfDialogPinTest, VerifyAndProtectPinVerifiesThroughTheProductOperator)
{
    CDialogObject *pObject = Open(6);
    EXPECT_EQ(0x800063C9u, pObject->VerifyAndProtectPIN(1, (char *)"87654321", 8));
    EXPECT_EQ(0u, AuthCodeLen());
    EXPECT_EQ(0u, pObject->VerifyAndProtectPIN(1, (char *)DIALOG_USER_PIN, 8));
    EXPECT_EQ(16u, AuthCodeLen());
    EXPECT_EQ(10u, RetriesLeft());
    /* A length that does not fit the operator's byte is refused, not cut to
     * 8 bits (264 would become 8). */
    std::string strLong(264, '1');
    memcpy(&strLong[256], DIALOG_USER_PIN, 8);
    EXPECT_EQ(ERR_BAD_LENGTH, pObject->VerifyAndProtectPIN(1, &strLong[0], 264));
    EXPECT_EQ(10u, RetriesLeft());
}

/* ---- the confirmation prompt that cannot be shown ---- */

using SkfDialogConfirmTest = DialogTokenTest;

TEST_F(SkfDialogConfirmTest, NoDisplayEndsTheTokensWaitBeforeFailing)
{
    CDialogObject *pObject = Open(7);
    daemon.SetButton(TokenSerial(), "never");
    unsigned int ulRet = UnderMutex([&] { return pObject->VerifyAndProtectPIN(1, (char *)DIALOG_USER_PIN, 8); });
    EXPECT_EQ(E_FAIL, ulRet);
    EXPECT_EQ("no", Field("button-waiting"));
    EXPECT_EQ(0u, AuthCodeLen());
    EXPECT_EQ(10u, RetriesLeft());

    /* The token is not stuck: the next verification goes through. */
    daemon.SetButton(TokenSerial(), "now");
    EXPECT_EQ(0u, UnderMutex([&] { return pObject->VerifyAndProtectPIN(1, (char *)DIALOG_USER_PIN, 8); }));
    EXPECT_EQ(16u, AuthCodeLen());
}

TEST(SkfDialogShowConfirmationDialog, RefusesANullContext)
{
    EXPECT_EQ(ERR_NULL_ARGUMENT, ShowConfirmationDialog(4, 0, nullptr, nullptr));
}

/* ---- the "reloadDevice" signal ---- */

class SkfDialogSignalTest : public DialogTokenTest {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Started()); }

    bool Logged(const std::string &strStep) { return m_log.Contains("SendDBusSignal - " + strStep + " failed(0x00000204)"); }

    CLogCapture m_log;
};

TEST_F(SkfDialogSignalTest, BroadcastCertSendsTheTokenSerial)
{
    CDialogObject *pObject = Open(8);
    CPrivateSessionBus bus;
    ASSERT_TRUE(bus.Running());
    CReloadDeviceListener listener(bus.Address());
    ASSERT_TRUE(listener.Connected());
    EXPECT_EQ(0u, pObject->BroadcastCert());
    EXPECT_EQ(std::vector<std::string>{TokenSerial()}, listener.WaitForSignals(1));
    /* The sender name was free, so the sender took it. */
    EXPECT_EQ(1u, listener.SenderNameOwners().size());
    EXPECT_FALSE(m_log.Contains("failed(0x00000204)")) << m_log.Text();
}

TEST_F(SkfDialogSignalTest, TheSignalGoesOutWhenAnotherProgramOwnsTheSenderName)
{
    CPrivateSessionBus bus;
    CReloadDeviceListener listener(bus.Address(), true);
    ASSERT_TRUE(listener.Connected());
    EXPECT_EQ(1u, SendDBusSignal((char *)"SERIAL-OWNED"));
    EXPECT_EQ(std::vector<std::string>{"SERIAL-OWNED"}, listener.WaitForSignals(1));
    EXPECT_EQ(1u, listener.SenderNameOwners().size()) << "only the listener owned the name";
}

TEST_F(SkfDialogSignalTest, WithoutASessionBusTheOperationStillSucceeds)
{
    CDialogObject *pObject = Open(9);
    logtest::CEnvVar noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    EXPECT_EQ(0u, pObject->BroadcastCert());
    EXPECT_TRUE(Logged("dbus_bus_get")) << m_log.Text();
}

TEST_F(SkfDialogSignalTest, ASerialThatIsNotUtf8IsNotSentAndDoesNotAbort)
{
    CPrivateSessionBus bus;
    CReloadDeviceListener listener(bus.Address());
    static const char *const BAD[] = {"\xFF\xFE", "VT\xC3", "A\xED\xA0\x80Z", "\xC0\xAF"};
    for (const char *pszBad : BAD) {
        EXPECT_EQ(1u, SendDBusSignal((char *)pszBad));
    }
    EXPECT_EQ(1u, SendDBusSignal(nullptr));
    EXPECT_TRUE(Logged("CHECK pszSerial")) << m_log.Text();
    EXPECT_EQ(1u, SendDBusSignal((char *)"AFTER"));
    EXPECT_EQ(std::vector<std::string>{"AFTER"}, listener.WaitForSignals(1));
    EXPECT_EQ(std::vector<std::string>{"AFTER"}, listener.Settle());
}

TEST_F(SkfDialogSignalTest, ABusThatWentAwayIsOnlyLogged)
{
    {
        CPrivateSessionBus bus;
        CReloadDeviceListener listener(bus.Address());
        EXPECT_EQ(1u, SendDBusSignal((char *)"FIRST"));
        EXPECT_EQ(std::vector<std::string>{"FIRST"}, listener.WaitForSignals(1));
        bus.Stop();
        /* The variable still names the bus that is gone. */
        EXPECT_EQ(1u, SendDBusSignal((char *)"LOST"));
        EXPECT_TRUE(Logged("dbus_bus_get")) << m_log.Text();
    }
    /* Nothing of the lost bus stays behind: a new bus gets the next signal. */
    CPrivateSessionBus bus;
    CReloadDeviceListener listener(bus.Address());
    EXPECT_EQ(1u, SendDBusSignal((char *)"SECOND"));
    EXPECT_EQ(std::vector<std::string>{"SECOND"}, listener.WaitForSignals(1));
}

}  // namespace
