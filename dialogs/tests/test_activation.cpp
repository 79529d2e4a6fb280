// Under a window manager (openbox) the prompts are activated through
// _NET_ACTIVE_WINDOW, so the user types into them at once; a person's input
// comes from outside the process here, through xdotool.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace brioui_test;

namespace {

class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override { TestDisplayName(); }
    CWindowManager m_windowManager;
};

// What the driver learns about the prompt, for the thread that plays the user.
struct PromptSighting {
    std::atomic<Window> ulWindow{None};
    std::atomic<bool> bReady{false};    // activated (and photographed): the user may act
    std::atomic<bool> bTextSet{false};  // the entry holds what the user typed
    std::atomic<bool> bEnded{false};
    std::atomic<int> nButtonX{0};
    std::atomic<int> nButtonY{0};
};

CPromptDriver::Step SightPrompt(PromptSighting& sighting)
{
    return [&sighting](GtkWidget* pWindow) {
        sighting.ulWindow = XidOf(pWindow);
        return true;
    };
}

// Waits (step by step) until the window manager has activated the prompt:
// the keyboard focus is in it and _NET_ACTIVE_WINDOW names it.
bool IsActivated(GtkWidget* pWindow)
{
    if (!gtk_window_has_toplevel_focus(GTK_WINDOW(pWindow))) {
        return false;
    }
    GdkWindow* pActive = gdk_screen_get_active_window(gtk_widget_get_screen(pWindow));
    const bool bPrompt = pActive != nullptr && pActive == gtk_widget_get_window(pWindow);
    if (pActive != nullptr) {
        g_object_unref(pActive);
    }
    return bPrompt;
}

// Tells the user where the button is (as laid out now) and raises the flag.
void Announce(PromptSighting& sighting, std::atomic<bool>& flag, GtkWidget* pWindow, const char* szButton)
{
    GtkWidget* pButton = FindWidget(pWindow, szButton);
    GtkAllocation stArea = {};
    gtk_widget_get_allocation(pButton, &stArea);
    gint nX = 0;
    gint nY = 0;
    gtk_widget_translate_coordinates(pButton, pWindow, stArea.width / 2, stArea.height / 2, &nX, &nY);
    sighting.nButtonX = nX;
    sighting.nButtonY = nY;
    flag = true;
}

// The steps up to the moment the user may act: sighted, activated,
// photographed, then announced.
std::vector<CPromptDriver::Step> UntilReady(PromptSighting& sighting, const char* szButton, const char* szScreenshot)
{
    return {SightPrompt(sighting), &IsActivated,
            [szScreenshot](GtkWidget* pWindow) {
                SaveScreenshot(pWindow, szScreenshot);
                return true;
            },
            [&sighting, szButton](GtkWidget* pWindow) {
                Announce(sighting, sighting.bReady, pWindow, szButton);
                return true;
            }};
}

// The user clicks the announced button.  The pointer comes from outside the
// prompt (a corner of the screen): a prompt mapped under the pointer has not
// seen it enter, and its button would not take the click.  A prompt the user
// could not end (the test failed already) is closed, so that the test does
// not hang.
void ClickToEnd(const PromptSighting& sighting)
{
    const std::string strClick = "xdotool mousemove 1020 760 mousemove --window " +
                                 std::to_string(sighting.ulWindow.load()) + " " +
                                 std::to_string(sighting.nButtonX.load()) + " " +
                                 std::to_string(sighting.nButtonY.load()) + " click 1";
    RunCommand(strClick);
    if (!WaitUntil([&] { return sighting.bEnded.load(); })) {
        RunCommand("xdotool key --window " + std::to_string(sighting.ulWindow.load()) + " Escape");
    }
}

TEST_F(ActivationTest, PinTypedIntoTheActivatedPrompt)
{
    PromptSighting sighting;
    std::vector<CPromptDriver::Step> steps = UntilReady(sighting, "ok-button", "pin-prompt-window-manager");
    steps.push_back([&sighting](GtkWidget* pWindow) {
        if (EntryText(pWindow, "pin-entry") != "13572468") {
            return false;
        }
        Announce(sighting, sighting.bTextSet, pWindow, "ok-button");
        return true;
    });
    CPromptDriver driver(steps);
    bool bActive = false;
    bool bTyped = false;
    std::thread user([&] {
        bActive = WaitUntil([&] { return sighting.bReady.load(); });
        if (bActive) {
            RunCommand("xdotool type --delay 20 13572468");
            bTyped = WaitUntil([&] { return sighting.bTextSet.load(); });
        }
        ClickToEnd(sighting);
    });
    char acOut[33] = {};
    const long lResult = LoadBrioUi().GetUserPIN(nullptr, 2, 6, 16, acOut);
    sighting.bEnded = true;
    user.join();
    EXPECT_TRUE(bActive) << "the window manager activated the prompt";
    EXPECT_TRUE(bTyped) << "what the user typed reached the prompt's entry";
    EXPECT_EQ(lResult, 0);
    EXPECT_STREQ(acOut, "13572468");
}

TEST_F(ActivationTest, ConfirmationPromptActivatedAndCancelled)
{
    PromptSighting sighting;
    CPromptDriver driver(UntilReady(sighting, "cancel-button", "confirm-prompt-window-manager"));
    bool bActive = false;
    std::thread user([&] {
        bActive = WaitUntil([&] { return sighting.bReady.load(); });
        ClickToEnd(sighting);
    });
    unsigned long ulStatus = 0;
    const ConfirmPromptRequest stRequest = {3, 0, &WaitForCancelStatus, &ulStatus, nullptr, &ulStatus};
    const long lResult = LoadBrioUi().ShowConfirmationPrompt(&stRequest);
    sighting.bEnded = true;
    user.join();
    EXPECT_TRUE(bActive) << "the window manager activated the prompt";
    EXPECT_EQ(lResult, BRIOUI_CANCELLED);
}

}  // namespace
