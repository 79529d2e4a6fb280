/* Driving the dialog library's prompts from an SKF test (a program linked
 * with brio_skf_test_xvfb, see XvfbTestMain.cpp).
 *
 * The prompts run GTK's main loop in the thread that called the operation;
 * a CPromptDriver made before the call works the next prompt from inside
 * that loop, one step per turn once the prompt window is shown:
 *
 *   CPromptDriver driver({TypePin("12345678"), ClickOk()});
 *   EXPECT_EQ(0u, object.CheckUserPIN(true));
 *   EXPECT_TRUE(driver.Finished());
 *
 * Steps: TypePin (keys typed into the PIN entry), ClickOk, ClickCancel (the
 * PIN prompt's or the confirmation prompt's CANCEL), ReadText (keeps a
 * label's text, "tip-label" of the PIN prompt, "message-label" of the
 * confirmation prompt), WaitMs (lets time pass before the next step). */
#pragma once

#include <string>

#include "dialogs/tests/DialogTestSupport.h"

namespace skf_test {

using brioui_test::CPromptDriver;

CPromptDriver::Step TypePin(const std::string &strPin);
CPromptDriver::Step ClickOk();
CPromptDriver::Step ClickCancel();
CPromptDriver::Step ReadText(const char *pszLabel, std::string *pstrText);
CPromptDriver::Step WaitMs(unsigned int ulMilliseconds);

}  // namespace skf_test
