/* The placeholder user PIN under the test's own X server: the application
 * object asks the user through the PIN prompt and verifies what was typed;
 * with no try left it answers at once, without a prompt. */
#include "ApplicationTestToken.h"

#include "skf/tests/SkfPromptDriver.h"

using namespace skf_test;

namespace {

/* Addresses 60 on: the tests without a display use 1 to 59. */
struct PlaceholderCase {
    const char *pszName;
    unsigned int ulAddr;
    unsigned int ulWrongBefore;  /* wrong verifications before the call */
    const char *pszTyped;        /* null: no prompt may be shown */
    unsigned int ulExpected;
    unsigned int ulRetries;      /* the count the call leaves */
    unsigned int ulLeftAfter;    /* the token's tries afterwards */
};

std::ostream &operator<<(std::ostream &os, const PlaceholderCase &c) { return os << c.pszName; }

const unsigned int UNTOUCHED = 99;

const PlaceholderCase kCases[] = {
    {"Typed", 60, 0, "12345678", 0, UNTOUCHED, 10},
    {"TypedAfterTwoWrong", 61, 2, "12345678", 0, UNTOUCHED, 10},
    {"TypedWrong", 62, 0, "87654321", SAR_PIN_INCORRECT, 9, 9},
    {"TypedWrongOnTheLastTry", 63, 9, "87654321", SAR_PIN_LOCKED, 0, 0},
    {"NoTryLeft", 64, 10, nullptr, SAR_PIN_LOCKED, UNTOUCHED, 0},
};

class ApplicationPromptTest : public ApplicationTest, public ::testing::WithParamInterface<PlaceholderCase> {};

TEST_P(ApplicationPromptTest, PlaceholderUserPinAsksTheUser)
{
    const PlaceholderCase &c = GetParam();
    CApplicationObject *pApp = OpenApp(c.ulAddr, false);
    for (unsigned int i = 0; i < c.ulWrongBefore; ++i) ASSERT_NE(0u, VerifyUserPin("00000000"));

    std::string strTip;
    std::vector<CPromptDriver::Step> steps = {ReadText("tip-label", &strTip)};
    if (c.pszTyped != nullptr) {
        steps.push_back(TypePin(c.pszTyped));
        steps.push_back(ClickOk());
    }
    CPromptDriver driver(steps);
    std::string placeholder = std::string("\x06\x15") + "73914028";
    unsigned int ulRetries = UNTOUCHED;
    ASSERT_EQ(0u, Context()->WaitDevMutex());
    unsigned int ulRet = pApp->VerifyPIN(1, (char *)placeholder.c_str(), &ulRetries);
    Context()->ReleaseDevMutex();
    EXPECT_EQ(c.ulExpected, ulRet);
    EXPECT_EQ(c.ulRetries, ulRetries);
    EXPECT_EQ(c.ulLeftAfter, daemon.UserRetriesLeft(TokenSerial()));
    if (c.pszTyped != nullptr) {
        EXPECT_TRUE(driver.Finished());
        EXPECT_NE(std::string::npos, strTip.find("PIN left retry times: " + std::to_string(10 - c.ulWrongBefore)))
            << strTip;
    } else {
        EXPECT_TRUE(strTip.empty()) << "a prompt was shown: " << strTip;
    }
    EXPECT_EQ(c.ulExpected == 0 ? 16u : 0u, Context()->GetDeviceHandle()->m_ulAuthCodeLen);
}

INSTANTIATE_TEST_SUITE_P(Skf, ApplicationPromptTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PlaceholderCase> &info) {
                             return std::string(info.param.pszName);
                         });

}  // namespace
