// The PIN prompt under a real X server, worked through GTK's event synthesis.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace brioui_test;

namespace {

const char FILL = '\x5A';

enum class Action { Type, SetText, ClickOk, ClickCancel, Escape, ExpectTip, ExpectError, Screenshot };

struct PinStep {
    Action eAction;
    std::string strArg;
};

struct PinCase {
    const char* szName;
    int nRetries;
    int nMinLen;
    int nMaxLen;
    std::vector<PinStep> steps;
    long lExpected;
    std::string strExpectedPin;
};

void PrintTo(const PinCase& stCase, std::ostream* pOut)
{
    *pOut << stCase.szName;
}

std::string ErrorText(int nMin, int nMax)
{
    return "ERROR: The PIN length must be " + std::to_string(nMin) + " ~ " + std::to_string(nMax) +
           " bytes. Please re-enter.";
}

CPromptDriver::Step MakeStep(const PinStep& stStep)
{
    return [stStep](GtkWidget* pWindow) {
        switch (stStep.eAction) {
        case Action::Type:
            TypeText(pWindow, "pin-entry", stStep.strArg);
            break;
        case Action::SetText:  // input-method text the test keymap cannot type
            gtk_entry_set_text(GTK_ENTRY(FindWidget(pWindow, "pin-entry")), stStep.strArg.c_str());
            break;
        case Action::ClickOk:
            ClickButton(pWindow, "ok-button");
            break;
        case Action::ClickCancel:
            ClickButton(pWindow, "cancel-button");
            break;
        case Action::Escape:
            PressKey(pWindow, "pin-entry", GDK_KEY_Escape);
            break;
        case Action::ExpectTip:
            EXPECT_EQ(LabelText(pWindow, "tip-label"), stStep.strArg);
            break;
        case Action::ExpectError:
            EXPECT_EQ(LabelText(pWindow, "tip-label"), stStep.strArg);
            EXPECT_EQ(EntryText(pWindow, "pin-entry"), "");
            EXPECT_TRUE(gtk_widget_get_visible(pWindow)) << "the dialog stays open";
            break;
        case Action::Screenshot:
            SaveScreenshot(pWindow, stStep.strArg);
            break;
        }
        return true;
    };
}

// Runs one PIN prompt worked by the steps; the result and what out holds.
long RunPinPrompt(int nRetries, int nMin, int nMax, const std::vector<PinStep>& steps, std::string* pstrOut)
{
    std::vector<CPromptDriver::Step> driverSteps;
    for (const PinStep& stStep : steps) {
        driverSteps.push_back(MakeStep(stStep));
    }
    CPromptDriver driver(driverSteps);
    char acOut[64];
    std::memset(acOut, FILL, sizeof(acOut));
    const long lResult = LoadBrioUi().GetUserPIN(nullptr, nRetries, nMin, nMax, acOut);
    EXPECT_TRUE(driver.Finished());
    size_t ulWritten = 0;
    while (ulWritten < sizeof(acOut) && acOut[ulWritten] != FILL) {
        ++ulWritten;
    }
    pstrOut->assign(acOut, ulWritten);
    // The prompt leaves no window behind, hidden or not.
    EXPECT_EQ(PromptWindowCount(), 0);
    return lResult;
}

class PinPromptTest : public ::testing::TestWithParam<PinCase> {};

TEST_P(PinPromptTest, Prompt)
{
    const PinCase& stCase = GetParam();
    std::string strOut;
    const long lResult = RunPinPrompt(stCase.nRetries, stCase.nMinLen, stCase.nMaxLen, stCase.steps, &strOut);
    EXPECT_EQ(lResult, stCase.lExpected);
    EXPECT_EQ(strOut, stCase.strExpectedPin);
}

const std::string TIP_6_16_3 = "TIPS: PIN length is 6 ~ 16 bytes.\nPIN left retry times: 3";
const std::string SIXTEEN = "1234567890abcdef";
const std::string E_ACUTE = "\xC3\xA9";

std::string Repeat(const std::string& str, int n)
{
    std::string strAll;
    for (int i = 0; i < n; ++i) {
        strAll += str;
    }
    return strAll;
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, PinPromptTest,
    ::testing::Values(
        PinCase{"Accepted", 3, 6, 16,
                {{Action::ExpectTip, TIP_6_16_3}, {Action::Screenshot, "pin-prompt"}, {Action::Type, "12345678"},
                 {Action::ClickOk, ""}},
                0, "12345678"},
        PinCase{"FullMaximumLength", 3, 6, 16, {{Action::Type, SIXTEEN}, {Action::ClickOk, ""}}, 0, SIXTEEN},
        PinCase{"TooShortRefusedThenCancelled", 3, 6, 16,
                {{Action::Type, "12345"},
                 {Action::ClickOk, ""},
                 {Action::ExpectError, ErrorText(6, 16)},
                 {Action::Screenshot, "pin-prompt-error"},
                 {Action::ClickCancel, ""}},
                BRIOUI_CANCELLED, ""},
        PinCase{"TooLongRefusedThenAccepted", 5, 4, 8,
                {{Action::ExpectTip, "TIPS: PIN length is 4 ~ 8 bytes.\nPIN left retry times: 5"},
                 {Action::Type, "123456789"},
                 {Action::ClickOk, ""},
                 {Action::ExpectError, ErrorText(4, 8)},
                 {Action::Type, "9876"},
                 {Action::ClickOk, ""}},
                0, "9876"},
        // maxLen above the 32-byte store is clamped, and the limits count
        // bytes: 17 two-byte characters do not fit, 16 do.
        PinCase{"MaximumClampedAndCountedInBytes", 1, 6, 64,
                {{Action::ExpectTip, "TIPS: PIN length is 6 ~ 32 bytes.\nPIN left retry times: 1"},
                 {Action::SetText, Repeat(E_ACUTE, 17)},
                 {Action::ClickOk, ""},
                 {Action::ExpectError, ErrorText(6, 32)},
                 {Action::SetText, Repeat(E_ACUTE, 16)},
                 {Action::ClickOk, ""}},
                0, Repeat(E_ACUTE, 16)},
        PinCase{"CancelButton", 3, 6, 16, {{Action::Type, "12345678"}, {Action::ClickCancel, ""}},
                BRIOUI_CANCELLED, ""},
        PinCase{"Escape", 3, 6, 16, {{Action::Type, "12345678"}, {Action::Escape, ""}}, BRIOUI_CANCELLED,
                ""}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.szName); });

// The result belongs to each call: a cancel after an accepted PIN is a cancel
// and leaves out untouched.
TEST(PinPromptResult, CancelAfterAcceptedPrompt)
{
    std::string strOut;
    ASSERT_EQ(RunPinPrompt(3, 6, 16, {{Action::Type, "11223344"}, {Action::ClickOk, ""}}, &strOut), 0);
    ASSERT_EQ(strOut, "11223344");
    EXPECT_EQ(RunPinPrompt(3, 6, 16, {{Action::ClickCancel, ""}}, &strOut), BRIOUI_CANCELLED);
    EXPECT_EQ(strOut, "");
}

struct BadArgumentCase {
    const char* szName;
    int nMinLen;
    int nMaxLen;
    bool bNullOut;
};

void PrintTo(const BadArgumentCase& stCase, std::ostream* pOut)
{
    *pOut << stCase.szName;
}

class PinPromptArguments : public ::testing::TestWithParam<BadArgumentCase> {};

// Unusable arguments fail at once, without a window.
TEST_P(PinPromptArguments, FailWithoutWindow)
{
    const BadArgumentCase& stCase = GetParam();
    char acOut[64];
    std::memset(acOut, FILL, sizeof(acOut));
    EXPECT_EQ(LoadBrioUi().GetUserPIN(nullptr, 3, stCase.nMinLen, stCase.nMaxLen, stCase.bNullOut ? nullptr : acOut),
              BRIOUI_DIALOG_FAILED);
    EXPECT_EQ(acOut[0], FILL);
    EXPECT_EQ(PromptWindowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Dialog, PinPromptArguments,
                         ::testing::Values(BadArgumentCase{"NullOut", 6, 16, true},
                                           BadArgumentCase{"ZeroMaximum", 0, 0, false},
                                           BadArgumentCase{"MinimumAboveStore", 33, 64, false},
                                           BadArgumentCase{"MinimumAboveMaximum", 8, 6, false}),
                         [](const ::testing::TestParamInfo<BadArgumentCase>& info) {
                             return std::string(info.param.szName);
                         });

}  // namespace

namespace {

// GTK is running, but the display cannot be opened for the parent search
// (DISPLAY changed since): the prompt fails before showing anything.
TEST(PinPromptDisplay, DisplayUnreachableAtPromptTime)
{
    const std::string strDisplay = TestDisplayName();
    LoadBrioUi();
    setenv("DISPLAY", ":65000", 1);
    char acOut[32];
    std::memset(acOut, FILL, sizeof(acOut));
    EXPECT_EQ(LoadBrioUi().GetUserPIN(nullptr, 3, 6, 16, acOut), BRIOUI_DIALOG_FAILED);
    setenv("DISPLAY", strDisplay.c_str(), 1);
    EXPECT_EQ(acOut[0], FILL);
    EXPECT_EQ(PromptWindowCount(), 0);
}

}  // namespace
