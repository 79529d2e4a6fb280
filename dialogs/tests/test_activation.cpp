// Under a window manager (openbox) the prompts are activated through
// _NET_ACTIVE_WINDOW, so the user types into them at once; a person's input
// comes from outside the process here, through xdotool.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

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
    std::atomic<bool> bFocused{false};  // the prompt has the keyboard focus
    std::atomic<bool> bEnded{false};
    std::atomic<int> nButtonX{0};
    std::atomic<int> nButtonY{0};
};

CPromptDriver::Step SightPrompt(PromptSighting& sighting, const char* szButton)
{
    return [&sighting, szButton](GtkWidget* pWindow) {
        GtkWidget* pButton = FindWidget(pWindow, szButton);
        GtkAllocation stArea = {};
        gtk_widget_get_allocation(pButton, &stArea);
        gint nX = 0;
        gint nY = 0;
        gtk_widget_translate_coordinates(pButton, pWindow, stArea.width / 2, stArea.height / 2, &nX, &nY);
        sighting.nButtonX = nX;
        sighting.nButtonY = nY;
        sighting.ulWindow = XidOf(pWindow);
        return true;
    };
}

// Waits (step by step) until the keyboard focus is in the prompt.
CPromptDriver::Step AwaitFocus(PromptSighting& sighting)
{
    return [&sighting](GtkWidget* pWindow) {
        if (!gtk_window_has_toplevel_focus(GTK_WINDOW(pWindow))) {
            return false;
        }
        sighting.bFocused = true;
        return true;
    };
}

// A prompt the user could not end (the test failed already) is closed, so
// that the test does not hang.
void CloseIfStillShown(const PromptSighting& sighting)
{
    for (int i = 0; i < 100 && !sighting.bEnded; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!sighting.bEnded) {
        RunCommand("xdotool key --window " + std::to_string(sighting.ulWindow.load()) + " Escape");
    }
}

// Waits until the window manager reports the prompt as the active window;
// true when it did within five seconds.
bool WaitUntilActive(PromptSighting& sighting)
{
    CXClient client;
    for (int i = 0; i < 100; ++i) {
        const Window ulPrompt = sighting.ulWindow;
        if (ulPrompt != None && sighting.bFocused && client.ActiveWindow() == ulPrompt) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string ClickCommand(const PromptSighting& sighting)
{
    return "xdotool mousemove --window " + std::to_string(sighting.ulWindow.load()) + " " +
           std::to_string(sighting.nButtonX.load()) + " " + std::to_string(sighting.nButtonY.load()) + " click 1";
}

TEST_F(ActivationTest, PinTypedIntoTheActivatedPrompt)
{
    PromptSighting sighting;
    CPromptDriver driver({SightPrompt(sighting, "ok-button"), AwaitFocus(sighting), [](GtkWidget* pWindow) {
                              SaveScreenshot(pWindow, "pin-prompt-window-manager");
                              return true;
                          }});
    bool bActive = false;
    std::thread user([&] {
        bActive = WaitUntilActive(sighting);
        if (bActive) {
            RunCommand("xdotool type --delay 20 13572468");
        }
        RunCommand(ClickCommand(sighting));
        CloseIfStillShown(sighting);
    });
    char acOut[33] = {};
    const long lResult = LoadBrioUi().GetUserPIN(nullptr, 2, 6, 16, acOut);
    sighting.bEnded = true;
    user.join();
    EXPECT_TRUE(bActive) << "the window manager activated the prompt";
    EXPECT_EQ(lResult, 0);
    EXPECT_STREQ(acOut, "13572468");
}

TEST_F(ActivationTest, ConfirmationPromptActivatedAndCancelled)
{
    PromptSighting sighting;
    CPromptDriver driver({SightPrompt(sighting, "cancel-button"), AwaitFocus(sighting), [](GtkWidget* pWindow) {
                              SaveScreenshot(pWindow, "confirm-prompt-window-manager");
                              return true;
                          }});
    bool bActive = false;
    std::thread user([&] {
        bActive = WaitUntilActive(sighting);
        RunCommand(ClickCommand(sighting));
        CloseIfStillShown(sighting);
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
