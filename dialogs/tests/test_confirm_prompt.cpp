// The confirmation prompt under a real X server: countdown, CANCEL and the
// worker thread that runs the caller's callback.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

using namespace brioui_test;

namespace {

const unsigned long CANCELLED = static_cast<unsigned long>(BRIOUI_CANCELLED);
const unsigned long TIMED_OUT = static_cast<unsigned long>(BRIOUI_TIMED_OUT);
const unsigned long CONFIRMED = 0x9000;

// Stands in for the middleware's polling loop: waits until the test releases
// it (the token answered) or until the prompt's status says cancel or time-out.
// With bHold, a cancel or time-out is returned only once released, so that
// the test sees the prompt while the callback still runs.
struct CallbackControl {
    std::atomic<bool> bRelease{false};
    bool bHold = false;
    std::atomic<bool> bCalled{false};
    void* pvParamSeen = nullptr;
    unsigned long ulStatus = 0;
};

unsigned long WaitForButton(void* pvContext, void* pvParam)
{
    CallbackControl* pControl = static_cast<CallbackControl*>(pvContext);
    pControl->bCalled = true;
    pControl->pvParamSeen = pvParam;
    for (;;) {
        const unsigned long ulStatus = __atomic_load_n(&pControl->ulStatus, __ATOMIC_SEQ_CST);
        const bool bRelease = pControl->bRelease;
        if ((ulStatus == CANCELLED || ulStatus == TIMED_OUT) && (bRelease || !pControl->bHold)) {
            return ulStatus;
        }
        if (bRelease) {
            return CONFIRMED;
        }
        usleep(10000);
    }
}

unsigned long ReturnAtOnce(void* pvContext, void*)
{
    static_cast<CallbackControl*>(pvContext)->bCalled = true;
    return 42;
}

std::string MessageOf(int nKind, int nCount)
{
    const std::string strTail = "to continue in " + std::to_string(nCount) +
                                " seconds, otherwise it will be canceled automatically.";
    switch (nKind) {
    case 2:
        return "Too many times of error PIN verification, please touch your Brio " + strTail;
    case 3:
        return "You are trying to change the user PIN, please touch you Brio " + strTail;
    case 4:
        return "Please check the transaction information carefully, and touch your Brio " + strTail;
    default:
        return "Please check the operation carefully, and touch your Brio " + strTail;
    }
}

enum class Action { ExpectTitle, ExpectMessage, Screenshot, Release, ClickCancel, Escape, ExpectHidden, Destroy };

struct ConfirmStep {
    Action eAction;
    std::string strArg;
};

struct ConfirmCase {
    const char* szName;
    int nKind;
    int nTimeout;
    std::vector<ConfirmStep> steps;
    unsigned long ulExpected;  // the callback's result, and the status word unless CONFIRMED
};

void PrintTo(const ConfirmCase& stCase, std::ostream* pOut)
{
    *pOut << stCase.szName;
}

long RunConfirmPrompt(const ConfirmPromptRequest& stRequest, CallbackControl& control,
                      const std::vector<ConfirmStep>& steps)
{
    std::vector<CPromptDriver::Step> driverSteps;
    for (const ConfirmStep& stStep : steps) {
        driverSteps.push_back([stStep, &control](GtkWidget* pWindow) {
            switch (stStep.eAction) {
            case Action::ExpectTitle:
                EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(pWindow)), stStep.strArg);
                break;
            case Action::ExpectMessage:
                EXPECT_EQ(LabelText(pWindow, "message-label"), stStep.strArg);
                break;
            case Action::Screenshot:
                SaveScreenshot(pWindow, stStep.strArg);
                break;
            case Action::Release:
                control.bRelease = true;
                break;
            case Action::ClickCancel:
                ClickButton(pWindow, "cancel-button");
                break;
            case Action::Escape:
                PressKey(pWindow, "cancel-button", GDK_KEY_Escape);
                break;
            case Action::ExpectHidden:
                EXPECT_FALSE(gtk_widget_get_visible(pWindow)) << "hidden at once, while the callback still runs";
                break;
            case Action::Destroy:
                gtk_widget_destroy(pWindow);
                break;
            }
            return true;
        });
    }
    CPromptDriver driver(driverSteps);
    const long lResult = LoadBrioUi().ShowConfirmationPrompt(&stRequest);
    EXPECT_TRUE(driver.Finished());
    EXPECT_EQ(PromptWindowCount(), 0) << "the prompt leaves no window behind";
    return lResult;
}

// Lets the main context run for a while after a prompt: nothing the prompt
// queued may still fire (a stale tick or completion would touch freed state).
void RunMainContextFor(int nMilliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    while (std::chrono::steady_clock::now() < end) {
        g_main_context_iteration(nullptr, FALSE);
        usleep(10000);
    }
}

class ConfirmPromptTest : public ::testing::TestWithParam<ConfirmCase> {};

TEST_P(ConfirmPromptTest, Prompt)
{
    const ConfirmCase& stCase = GetParam();
    CallbackControl control;
    for (const ConfirmStep& stStep : stCase.steps) {
        control.bHold = control.bHold || stStep.eAction == Action::Release;
    }
    int nParam = 0;
    const ConfirmPromptRequest stRequest = {stCase.nKind, stCase.nTimeout, &WaitForButton, &control, &nParam,
                                            &control.ulStatus};
    const auto start = std::chrono::steady_clock::now();
    const long lResult = RunConfirmPrompt(stRequest, control, stCase.steps);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(static_cast<unsigned long>(lResult), stCase.ulExpected);
    EXPECT_EQ(control.ulStatus, stCase.ulExpected == CONFIRMED ? 0 : stCase.ulExpected);
    EXPECT_EQ(control.pvParamSeen, &nParam);
    if (stCase.ulExpected == TIMED_OUT) {
        // The tick that shows 0 comes timeoutSeconds + 1 seconds after the start.
        EXPECT_GE(elapsed, std::chrono::seconds(stCase.nTimeout + 1));
    }
    RunMainContextFor(300);
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, ConfirmPromptTest,
    ::testing::Values(
        ConfirmCase{"TransactionConfirmed", 4, 0,
                    {{Action::ExpectTitle, "Transaction confirmation"},
                     {Action::ExpectMessage, MessageOf(4, 30)},
                     {Action::Screenshot, "confirm-prompt-transaction"},
                     {Action::Release, ""}},
                    CONFIRMED},
        ConfirmCase{"PinErrors", 2, 5,
                    {{Action::ExpectTitle, "Key press confirmation"},
                     {Action::ExpectMessage, MessageOf(2, 5)},
                     {Action::Release, ""}},
                    CONFIRMED},
        ConfirmCase{"ChangePin", 3, 7,
                    {{Action::ExpectTitle, "Key press confirmation"},
                     {Action::ExpectMessage, MessageOf(3, 7)},
                     {Action::Release, ""}},
                    CONFIRMED},
        // Any other kind is a general operation; a negative time-out is the default.
        ConfirmCase{"GeneralOperationNegativeTimeout", 7, -5,
                    {{Action::ExpectTitle, "Key press confirmation"},
                     {Action::ExpectMessage, MessageOf(7, 30)},
                     {Action::Screenshot, "confirm-prompt-general"},
                     {Action::Release, ""}},
                    CONFIRMED},
        ConfirmCase{"Cancelled", 4, 0,
                    {{Action::ClickCancel, ""}, {Action::ExpectHidden, ""}, {Action::Release, ""}}, CANCELLED},
        ConfirmCase{"Escape", 2, 0, {{Action::Escape, ""}, {Action::ExpectHidden, ""}, {Action::Release, ""}},
                    CANCELLED},
        ConfirmCase{"CountdownRunsOut", 4, 1, {}, TIMED_OUT},
        // A window destroyed under the prompt cancels; the worker's
        // completion, still to come, is dropped.
        ConfirmCase{"WindowDestroyed", 4, 0, {{Action::Destroy, ""}}, CANCELLED}),
    [](const ::testing::TestParamInfo<ConfirmCase>& info) { return std::string(info.param.szName); });

TEST(ConfirmPromptWorker, CallbackReturningAtOnceEndsThePrompt)
{
    CallbackControl control;
    const ConfirmPromptRequest stRequest = {4, 0, &ReturnAtOnce, &control, nullptr, &control.ulStatus};
    EXPECT_EQ(RunConfirmPrompt(stRequest, control, {}), 42);
    EXPECT_TRUE(control.bCalled);
    EXPECT_EQ(control.ulStatus, 0u);
    RunMainContextFor(1300);  // past the first tick: the timer is gone
    EXPECT_EQ(control.ulStatus, 0u);
}

TEST(ConfirmPromptWorker, NullStatusWordIsNotWritten)
{
    CallbackControl control;
    const ConfirmPromptRequest stRequest = {4, 0, &WaitForButton, &control, nullptr, nullptr};
    EXPECT_EQ(static_cast<unsigned long>(
                  RunConfirmPrompt(stRequest, control, {{Action::ClickCancel, ""}, {Action::Release, ""}})),
              CONFIRMED);
    EXPECT_EQ(control.ulStatus, 0u);
}

TEST(ConfirmPromptWorker, MissingRequestOrCallbackFails)
{
    CallbackControl control;
    const ConfirmPromptRequest stNoCallback = {4, 0, nullptr, &control, nullptr, &control.ulStatus};
    EXPECT_EQ(LoadBrioUi().ShowConfirmationPrompt(nullptr), BRIOUI_DIALOG_FAILED);
    EXPECT_EQ(LoadBrioUi().ShowConfirmationPrompt(&stNoCallback), BRIOUI_DIALOG_FAILED);
    EXPECT_EQ(PromptWindowCount(), 0);
}

}  // namespace

namespace {

// One prompt at a time per process: a second prompt, asked for from another
// thread while one is shown, starts (and runs its callback) only after the
// first has returned.
std::atomic<int> g_nClock{0};
std::atomic<int> g_nSecondCalledAt{0};

unsigned long MarkSecondCalled(void*, void*)
{
    g_nSecondCalledAt = ++g_nClock;
    return 7;
}

TEST(ConfirmPromptMutex, SecondPromptWaitsForTheFirst)
{
    LoadBrioUi();
    CallbackControl first;
    const ConfirmPromptRequest stFirst = {4, 0, &WaitForButton, &first, nullptr, &first.ulStatus};
    long lFirst = 0;
    std::thread firstThread([&] { lFirst = LoadBrioUi().ShowConfirmationPrompt(&stFirst); });
    while (!first.bCalled) {
        usleep(10000);
    }
    long lSecond = 0;
    std::thread secondThread([&] {
        const ConfirmPromptRequest stSecond = {2, 0, &MarkSecondCalled, nullptr, nullptr, nullptr};
        lSecond = LoadBrioUi().ShowConfirmationPrompt(&stSecond);
    });
    usleep(300000);
    EXPECT_EQ(g_nSecondCalledAt, 0) << "the second prompt started while the first was shown";
    // The first prompt ends with its callback; the second may start as soon
    // as the first lets go, which can be before its caller sees the return.
    const int nFirstReleasedAt = ++g_nClock;
    first.bRelease = true;
    firstThread.join();
    secondThread.join();
    EXPECT_EQ(lFirst, static_cast<long>(CONFIRMED));
    EXPECT_EQ(lSecond, 7);
    EXPECT_GT(g_nSecondCalledAt, nFirstReleasedAt);
}

}  // namespace
