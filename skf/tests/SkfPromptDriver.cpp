#include "skf/tests/SkfPromptDriver.h"

#include <chrono>
#include <memory>

namespace skf_test {

CPromptDriver::Step TypePin(const std::string &strPin)
{
    return [strPin](GtkWidget *pWindow) {
        brioui_test::TypeText(pWindow, "pin-entry", strPin);
        return true;
    };
}

CPromptDriver::Step ClickOk()
{
    return [](GtkWidget *pWindow) {
        brioui_test::ClickButton(pWindow, "ok-button");
        return true;
    };
}

CPromptDriver::Step ClickCancel()
{
    return [](GtkWidget *pWindow) {
        brioui_test::ClickButton(pWindow, "cancel-button");
        return true;
    };
}

CPromptDriver::Step ReadText(const char *pszLabel, std::string *pstrText)
{
    return [pszLabel, pstrText](GtkWidget *pWindow) {
        *pstrText = brioui_test::LabelText(pWindow, pszLabel);
        return true;
    };
}

CPromptDriver::Step WaitMs(unsigned int ulMilliseconds)
{
    auto pEnd = std::make_shared<std::chrono::steady_clock::time_point>();
    return [pEnd, ulMilliseconds](GtkWidget *) {
        auto now = std::chrono::steady_clock::now();
        if (*pEnd == std::chrono::steady_clock::time_point()) *pEnd = now + std::chrono::milliseconds(ulMilliseconds);
        return now >= *pEnd;
    };
}

}  // namespace skf_test
