// The frame of the SKF functions through the public header, without a
// token: every argument check in its order (arguments before the handle),
// null and stale handles, the close functions' own rules, and the
// translation of internal codes into SAR codes with the lines it logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skf/skf.h"
#include "skf/tests/InterfaceCallTable.h"
#include "skf/tests/InterfaceLog.h"

using skftest::CallArgs;
using skftest::CallCase;
using skftest::CInterfaceLog;

namespace {

/* The argument rows of c's function that come before c in the table: their
 * checks must have been logged as passed before c's step failed. */
std::vector<std::string> EarlierSteps(const CallCase &c)
{
    std::vector<std::string> v;
    for (const CallCase &other : skftest::AllCallCases()) {
        if (std::string(other.pszFunction) != c.pszFunction) continue;
        if (std::string(other.pszStep) == c.pszStep) break;
        if (other.eKind == skftest::HandleKind::None) v.push_back(other.pszStep);
    }
    return v;
}

class SkfFrame : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Started()); }

    /* Runs the row with handle h; checks its code, the failed step, the
     * passed steps before it, the scope lines, and that nothing was locked
     * or translated. */
    void Expect(const CallCase &c, HANDLE h)
    {
        CallArgs args;
        m_log.Mark();
        EXPECT_EQ(c.ulCode, c.fnCall(args, h));
        std::string strLog = m_log.Since();
        std::string strFunc = c.pszFunction;
        size_t nFailed = strLog.find(CInterfaceLog::Failed(strFunc, c.pszStep, c.ulCode));
        EXPECT_NE(std::string::npos, nFailed) << strLog;
        for (const std::string &strStep : EarlierSteps(c)) {
            size_t nPassed = strLog.find(CInterfaceLog::Success(strFunc, strStep));
            EXPECT_LT(nPassed, nFailed) << strStep << " not passed before " << c.pszStep << ":\n" << strLog;
        }
        EXPECT_EQ(std::string::npos, strLog.find("WaitDevMutex")) << strLog;
        EXPECT_EQ(std::string::npos, strLog.find("TransErrorCode")) << strLog;
        if (strFunc != "SKF_WaitForDevEvent") {
            EXPECT_EQ(0u, strLog.find("INFO Enter (" + strFunc + ")\n")) << strLog;
            EXPECT_NE(std::string::npos, strLog.find("INFO Exit (" + strFunc + ")\n", nFailed)) << strLog;
        } else {
            EXPECT_EQ(std::string::npos, strLog.find("Enter (")) << strLog;
        }
    }

    CInterfaceLog m_log;
};

class ArgumentCheck : public SkfFrame, public ::testing::WithParamInterface<CallCase> {};

TEST_P(ArgumentCheck, EndsTheCallBeforeTheHandleIsLookedAt)
{
    Expect(GetParam(), nullptr);
    EXPECT_EQ(std::string::npos, m_log.Since().find("_PCTX")) << m_log.Since();
    EXPECT_EQ(std::string::npos, m_log.Since().find("CHECK hDev")) << m_log.Since();
}

INSTANTIATE_TEST_SUITE_P(AllFunctions, ArgumentCheck, ::testing::ValuesIn(skftest::ArgumentCases()),
                         [](const auto &info) { return skftest::CaseName(info.param); });

class HandleCheck : public SkfFrame, public ::testing::WithParamInterface<CallCase> {};

TEST_P(HandleCheck, RefusesANullHandle) { Expect(GetParam(), nullptr); }

TEST_P(HandleCheck, RefusesAnAddressThatIsNoHandle)
{
    /* A readable address that no open call handed out. */
    static unsigned char s_abNotAHandle[4096];
    Expect(GetParam(), s_abNotAHandle);
}

INSTANTIATE_TEST_SUITE_P(AllFunctions, HandleCheck, ::testing::ValuesIn(skftest::HandleCases()),
                         [](const auto &info) { return skftest::CaseName(info.param); });

TEST_F(SkfFrame, CloseHandleOfNullIsDoneWithoutAStep)
{
    m_log.Mark();
    EXPECT_EQ(SAR_OK, SKF_CloseHandle(nullptr));
    EXPECT_EQ("INFO Enter (SKF_CloseHandle)\nINFO Exit (SKF_CloseHandle)\n", m_log.Since());
}

TEST_F(SkfFrame, CloseHandleOfAnAddressThatIsNoHandleIsRefused)
{
    int nNotAHandle = 0;
    m_log.Mark();
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(&nNotAHandle));
    EXPECT_NE(std::string::npos,
              m_log.Since().find(CInterfaceLog::Failed("SKF_CloseHandle", "CHECK_KEY_PCTX", SAR_INVALIDHANDLEERR)));
}

TEST_F(SkfFrame, NamesAndStringsOfTheCallerNeverFormatALine)
{
    char szFormat[] = "%s%s%s%n%n%n";
    HANDLE hOut = nullptr;
    m_log.Mark();
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CreateContainer(nullptr, szFormat, &hOut));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_SetLabel(nullptr, szFormat));
    EXPECT_EQ(std::string::npos, m_log.Since().find(szFormat));
}

/* ---- Translation ---- */

struct TranslationCase {
    uint32_t ulIn;
    uint32_t ulOut;
};

std::ostream &operator<<(std::ostream &os, const TranslationCase &c)
{
    return os << CInterfaceLog::Hex(c.ulIn) << " -> " << CInterfaceLog::Hex(c.ulOut);
}

class Translation : public SkfFrame, public ::testing::WithParamInterface<TranslationCase> {};

TEST_P(Translation, GivesItsSarCodeAndLogsAChange)
{
    const TranslationCase &c = GetParam();
    m_log.Mark();
    EXPECT_EQ(c.ulOut, SKF_TransErrorCode(static_cast<long>(c.ulIn)));
    if (c.ulIn == c.ulOut) {
        EXPECT_EQ("", m_log.Since());
    } else {
        EXPECT_EQ("ERROR TransErrorCode:" + CInterfaceLog::Hex(c.ulIn) + " to " + CInterfaceLog::Hex(c.ulOut) +
                      " success\n",
                  m_log.Since());
    }
}

INSTANTIATE_TEST_SUITE_P(ExactValues, Translation,
                         ::testing::Values(TranslationCase{8, SAR_MEMORYERR}, TranslationCase{87, SAR_INVALIDPARAMERR},
                                           TranslationCase{0x101, SAR_INVALIDPARAMERR},
                                           TranslationCase{0x102, SAR_MEMORYERR},
                                           TranslationCase{0x103, SAR_BUFFER_TOO_SMALL},
                                           TranslationCase{0x104, SAR_INDATALENERR},
                                           TranslationCase{0x105, SAR_MODULUSLENERR},
                                           TranslationCase{0x108, SAR_NOTSUPPORTYETERR},
                                           TranslationCase{0x112, SAR_NAMELENERR},
                                           TranslationCase{0x113, SAR_INVALIDHANDLEERR},
                                           TranslationCase{0x114, SAR_KEYINFOTYPEERR},
                                           TranslationCase{0x115, SAR_FAIL}, TranslationCase{0x116, SAR_KEYUSAGEERR},
                                           TranslationCase{0x20B, SAR_FILEERR}, TranslationCase{0x80004005, SAR_FAIL},
                                           TranslationCase{0x80006982, SAR_USER_NOT_LOGGED_IN},
                                           TranslationCase{0x80006983, SAR_PIN_LOCKED},
                                           TranslationCase{0x80006D00, SAR_NOTSUPPORTYETERR},
                                           TranslationCase{0x8000F102, SAR_FILE_NOT_EXIST},
                                           TranslationCase{0x8000F104, SAR_NO_ROOM},
                                           TranslationCase{0x8000F10E, SAR_FAIL},
                                           TranslationCase{0x8000F20C, SAR_CERTNOTFOUNTERR},
                                           TranslationCase{0x8000F20D, SAR_KEYNOTFOUNTERR},
                                           TranslationCase{0x8000F323, SAR_TIMEOUTERR},
                                           TranslationCase{0x8000F525, SAR_DECRYPTPADERR},
                                           TranslationCase{0x8000F530, SAR_NOTINITIALIZEERR},
                                           TranslationCase{0x8010000A, SAR_TIMEOUTERR},
                                           TranslationCase{0x8010006E, SAR_FAIL}));

INSTANTIATE_TEST_SUITE_P(PinRetries, Translation,
                         ::testing::Values(TranslationCase{0x800063C0, SAR_PIN_LOCKED},
                                           TranslationCase{0x800063C1, SAR_PIN_INCORRECT},
                                           TranslationCase{0x800063C3, SAR_PIN_INCORRECT},
                                           TranslationCase{0x800063CF, SAR_PIN_INCORRECT}));

INSTANTIATE_TEST_SUITE_P(CryptoFailures, Translation,
                         ::testing::Values(TranslationCase{0x80090006, SAR_FAIL}, TranslationCase{0x80090003, SAR_FAIL},
                                           TranslationCase{0x80090020, SAR_FAIL}, TranslationCase{0x8009FFFF, SAR_FAIL},
                                           TranslationCase{0xFFFFFFFF, SAR_FAIL}));

INSTANTIATE_TEST_SUITE_P(OtherStatusWords, Translation,
                         ::testing::Values(TranslationCase{0x80006A82, 0xAA006A82},
                                           TranslationCase{0x8000F321, 0xAA00F321},
                                           TranslationCase{0x800063D0, 0xAA0063D0},
                                           TranslationCase{0x80100001, 0xAA000001},
                                           TranslationCase{0x80080000, 0xAA000000}));

INSTANTIATE_TEST_SUITE_P(Unchanged, Translation,
                         ::testing::Values(TranslationCase{0, 0},
                                           TranslationCase{SAR_INVALIDPARAMERR, SAR_INVALIDPARAMERR},
                                           TranslationCase{SAR_PIN_INCORRECT, SAR_PIN_INCORRECT},
                                           TranslationCase{0x20C, 0x20C}, TranslationCase{225, 225},
                                           TranslationCase{229, 229}, TranslationCase{0x107, 0x107},
                                           TranslationCase{0x210, 0x210}, TranslationCase{0x211, 0x211},
                                           TranslationCase{0x212, 0x212}, TranslationCase{100, 100},
                                           TranslationCase{6000, 6000}, TranslationCase{6001, 6001},
                                           TranslationCase{0x6002, 0x6002}, TranslationCase{0x6007, 0x6007},
                                           TranslationCase{110, 110}));

TEST_F(SkfFrame, TranslationTakesTheLow32BitsOfASignExtendedCode)
{
    EXPECT_EQ(SAR_FAIL, SKF_TransErrorCode(static_cast<long>(static_cast<int32_t>(0x80004005u))));
    EXPECT_EQ(SAR_PIN_INCORRECT, SKF_TransErrorCode(static_cast<long>(static_cast<int32_t>(0x800063C2u))));
}

}  // namespace
