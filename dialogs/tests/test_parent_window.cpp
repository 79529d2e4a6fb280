// The window a prompt attaches to: the focused window or its nearest
// ancestor titled "... Mozilla Firefox", else the root window; the prompt is
// transient for it and grabs the pointer on it while shown.  No window
// manager runs here, so the focus may well be PointerRoot.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace brioui_test;

namespace {

enum class Focus { Leaf, Top, Pointer, Nothing };

struct ParentCase {
    const char* szName;
    const char* szTopTitle;     // title of the top-level window the test makes
    const char* szMiddleTitle;  // title of the window between it and the leaf (null: none)
    Focus eFocus;
    bool bTopIsParent;          // false: the root window is the parent
};

void PrintTo(const ParentCase& stCase, std::ostream* pOut)
{
    *pOut << stCase.szName;
}

enum class Prompt { Pin, Confirm };

class ParentWindowTest : public ::testing::TestWithParam<std::tuple<ParentCase, Prompt>> {};

TEST_P(ParentWindowTest, PromptIsTransientForIt)
{
    const ParentCase& stCase = std::get<0>(GetParam());
    CXClient client;
    const Window ulTop = client.MakeWindow(client.Root(), stCase.szTopTitle);
    const Window ulMiddle = client.MakeWindow(ulTop, stCase.szMiddleTitle);
    const Window ulLeaf = client.MakeWindow(ulMiddle, nullptr);
    switch (stCase.eFocus) {
    case Focus::Leaf:
        XSetInputFocus(client.Get(), ulLeaf, RevertToParent, CurrentTime);
        break;
    case Focus::Top:
        XSetInputFocus(client.Get(), ulTop, RevertToParent, CurrentTime);
        break;
    case Focus::Pointer:
        XSetInputFocus(client.Get(), PointerRoot, RevertToPointerRoot, CurrentTime);
        break;
    case Focus::Nothing:
        XSetInputFocus(client.Get(), None, RevertToNone, CurrentTime);
        break;
    }
    XSync(client.Get(), False);

    Window ulTransientFor = None;
    bool bGrabbedWhileShown = false;
    bool bSeen = false;
    CPromptDriver driver({[&](GtkWidget* pWindow) {
        bSeen = true;
        ulTransientFor = client.TransientFor(XidOf(pWindow));
        bGrabbedWhileShown = client.PointerIsGrabbedByOthers();
        ClickButton(pWindow, "cancel-button");
        return true;
    }});
    if (std::get<1>(GetParam()) == Prompt::Pin) {
        char acOut[32] = {};
        EXPECT_EQ(LoadBrioUi().GetUserPIN(nullptr, 3, 6, 16, acOut), BRIOUI_CANCELLED);
    } else {
        unsigned long ulStatus = 0;
        const ConfirmPromptRequest stRequest = {4, 0, &WaitForCancelStatus, &ulStatus, nullptr, &ulStatus};
        EXPECT_EQ(LoadBrioUi().ShowConfirmationPrompt(&stRequest), BRIOUI_CANCELLED);
    }
    ASSERT_TRUE(bSeen);
    EXPECT_EQ(ulTransientFor, stCase.bTopIsParent ? ulTop : client.Root());
    EXPECT_TRUE(bGrabbedWhileShown) << "the prompt grabs the pointer";
    EXPECT_FALSE(client.PointerIsGrabbedByOthers()) << "and releases it";
}

const char* const FIREFOX = "Example Domain - Mozilla Firefox";

INSTANTIATE_TEST_SUITE_P(
    Dialog, ParentWindowTest,
    ::testing::Combine(
        ::testing::Values(ParentCase{"BrowserChildFocused", FIREFOX, nullptr, Focus::Leaf, true},
                          ParentCase{"BrowserTwoLevelsUp", FIREFOX, "content", Focus::Leaf, true},
                          ParentCase{"BrowserItselfFocused", FIREFOX, nullptr, Focus::Top, true},
                          ParentCase{"OtherApplication", "Terminal", "Mozilla", Focus::Leaf, false},
                          ParentCase{"PointerRootFocus", FIREFOX, nullptr, Focus::Pointer, false},
                          ParentCase{"NoFocus", FIREFOX, nullptr, Focus::Nothing, false}),
        ::testing::Values(Prompt::Pin, Prompt::Confirm)),
    [](const ::testing::TestParamInfo<std::tuple<ParentCase, Prompt>>& info) {
        return std::string(std::get<0>(info.param).szName) +
               (std::get<1>(info.param) == Prompt::Pin ? "Pin" : "Confirm");
    });

}  // namespace
