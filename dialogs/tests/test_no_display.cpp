// Without an X display the library's load-time GTK start fails; the prompts
// then fail at once with the code the middleware reports as a general error,
// and nothing of GDK is touched.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace brioui_test;

namespace {

bool g_bCalled = false;

unsigned long MustNotRun(void*, void*)
{
    g_bCalled = true;
    return 0;
}

TEST(NoDisplay, PromptsFailCleanly)
{
    PrepareTestProcess();
    unsetenv("DISPLAY");
    const BrioUi& stCalls = LoadBrioUi();

    char acOut[32];
    std::memset(acOut, 0x5A, sizeof(acOut));
    EXPECT_EQ(stCalls.GetUserPIN(nullptr, 3, 6, 16, acOut), BRIOUI_DIALOG_FAILED);
    EXPECT_EQ(acOut[0], 0x5A);

    unsigned long ulStatus = 0;
    const ConfirmPromptRequest stRequest = {4, 0, &MustNotRun, nullptr, nullptr, &ulStatus};
    EXPECT_EQ(stCalls.ShowConfirmationPrompt(&stRequest), BRIOUI_DIALOG_FAILED);
    EXPECT_FALSE(g_bCalled);
    EXPECT_EQ(ulStatus, 0u);
    EXPECT_EQ(gdk_display_get_default(), nullptr) << "no display was opened";
}

}  // namespace
