// The prompts' texts come from the "DOZUDIDOZ" catalogue, looked up by name so
// that the host's own default text domain stays as it was.
#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <libintl.h>

#include <atomic>
#include <cstdlib>
#include <string>

using namespace brioui_test;

namespace {

TEST(Catalogue, BoundByNameLeavingTheHostsDefaultDomain)
{
    LoadBrioUi();
    EXPECT_STREQ(textdomain(nullptr), "messages");
    EXPECT_STREQ(bindtextdomain("DOZUDIDOZ", nullptr), "/usr/share/locale");
    EXPECT_STREQ(bind_textdomain_codeset("DOZUDIDOZ", nullptr), "UTF-8");
}

// Points the library's domain at the tests' French catalogue for one test.
class TranslatedPromptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LoadBrioUi();
        setenv("LANGUAGE", "fr", 1);
        bindtextdomain("DOZUDIDOZ", BRIOUI_TEST_LOCALE_DIR);
    }
    void TearDown() override
    {
        unsetenv("LANGUAGE");
        bindtextdomain("DOZUDIDOZ", "/usr/share/locale");
    }
};

std::string ButtonLabel(GtkWidget* pWindow, const char* szName)
{
    GtkWidget* pButton = FindWidget(pWindow, szName);
    return pButton != nullptr ? gtk_button_get_label(GTK_BUTTON(pButton)) : "<no button>";
}

TEST_F(TranslatedPromptTest, PinPrompt)
{
    CPromptDriver driver({[](GtkWidget* pWindow) {
                              EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pWindow)), "Vérifier le code PIN");
                              EXPECT_EQ(LabelText(pWindow, "tip-label"),
                                        "ASTUCE : le code PIN compte de 6 à 16 octets.\nEssais restants : 3");
                              EXPECT_EQ(ButtonLabel(pWindow, "ok-button"), "Valider");
                              EXPECT_EQ(ButtonLabel(pWindow, "cancel-button"), "ANNULER");
                              SaveScreenshot(pWindow, "pin-prompt-fr");
                              TypeText(pWindow, "pin-entry", "123");
                              return true;
                          },
                          [](GtkWidget* pWindow) {
                              ClickButton(pWindow, "ok-button");
                              return true;
                          },
                          [](GtkWidget* pWindow) {
                              // Its translation's conversions do not match: the
                              // original text is used rather than trusting it.
                              EXPECT_EQ(LabelText(pWindow, "tip-label"),
                                        "ERROR: The PIN length must be 6 ~ 16 bytes. Please re-enter.");
                              ClickButton(pWindow, "cancel-button");
                              return true;
                          }});
    char acOut[32] = {};
    EXPECT_EQ(LoadBrioUi().GetUserPIN(nullptr, 3, 6, 16, acOut), BRIOUI_CANCELLED);
    EXPECT_TRUE(driver.Finished());
}

std::atomic<bool> g_bRelease{false};

unsigned long WaitForRelease(void*, void*)
{
    while (!g_bRelease) {
        g_usleep(10000);
    }
    return 0;
}

TEST_F(TranslatedPromptTest, ConfirmationPrompt)
{
    CPromptDriver driver({[](GtkWidget* pWindow) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(pWindow)), "Confirmation de la transaction");
        EXPECT_EQ(LabelText(pWindow, "message-label"),
                  "Vérifiez la transaction, puis touchez votre Brio dans les 30 secondes, faute de quoi elle sera "
                  "annulée.");
        EXPECT_EQ(ButtonLabel(pWindow, "cancel-button"), "ANNULER");
        SaveScreenshot(pWindow, "confirm-prompt-fr");
        g_bRelease = true;
        return true;
    }});
    const ConfirmPromptRequest stRequest = {4, 0, &WaitForRelease, nullptr, nullptr, nullptr};
    EXPECT_EQ(LoadBrioUi().ShowConfirmationPrompt(&stRequest), 0);
    EXPECT_TRUE(driver.Finished());
}

}  // namespace
