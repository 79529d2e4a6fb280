#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "log/tests/LogTestUtil.h"
#include "log/zlog/ZlogFormat.h"

using namespace brio_zlog;

namespace {

/* A record at 2024-03-05 06:07:08.012345 local time. */
class ZlogFormatTest : public ::testing::Test {
protected:
    ZlogFormatTest()
    {
        struct tm tm = {};
        tm.tm_year = 124;
        tm.tm_mon = 2;
        tm.tm_mday = 5;
        tm.tm_hour = 6;
        tm.tm_min = 7;
        tm.tm_sec = 8;
        tm.tm_isdst = -1;
        m_ev.tsNow.tv_sec = mktime(&tm);
        m_ev.tsNow.tv_nsec = 12345678;
        m_ev.pszCategory = "vexa_category";
        m_ev.nLevel = ZLOG_LEVEL_WARN;
        m_ev.pLevel = &m_levels.Get(ZLOG_LEVEL_WARN);
        m_ev.pszFile = "/src/log/vexa_log.cpp";
        m_ev.pszFunc = "TRACE";
        m_ev.lLine = 102;
        m_ev.pMessage = "hello world";
        m_ev.ulMessageLen = 11;
        m_ev.pid = 4242;
        m_ev.tid = static_cast<pthread_t>(0xabcdef);
    }

    std::string Apply(const std::string &strPattern)
    {
        std::string strError;
        std::shared_ptr<const CZlogFormat> p = CZlogFormat::Compile(strPattern, &strError);
        EXPECT_TRUE(p) << strError;
        std::string strOut;
        if (p) p->Append(m_ev, strOut);
        return strOut;
    }

    CZlogLevelTable m_levels;
    ZlogEvent m_ev;
};

struct ConversionCase {
    const char *pszPattern;
    const char *pszExpected;
};

std::ostream &operator<<(std::ostream &os, const ConversionCase &c) { return os << c.pszPattern; }

class ZlogConversion : public ZlogFormatTest, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(ZlogConversion, Expands)
{
    EXPECT_EQ(GetParam().pszExpected, Apply(GetParam().pszPattern));
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, ZlogConversion,
    ::testing::Values(ConversionCase{"%d", "2024-03-05 06:07:08"}, ConversionCase{"%d()", "2024-03-05 06:07:08"},
                      ConversionCase{"%d(%m/%d %H)", "03/05 06"}, ConversionCase{"%D", "2024-03-05 06:07:08"},
                      ConversionCase{"%-12.4D|", "2024        |"}, ConversionCase{"%V", "WARN"},
                      ConversionCase{"%-6V|", "WARN  |"}, ConversionCase{"%6V|", "  WARN|"},
                      ConversionCase{"%.2V", "WA"}, ConversionCase{"%p", "4242"}, ConversionCase{"%6p", "  4242"},
                      ConversionCase{"%F", "/src/log/vexa_log.cpp"}, ConversionCase{"%.4F", "/src"},
                      ConversionCase{"%f", "vexa_log.cpp"}, ConversionCase{"%14f|", "  vexa_log.cpp|"},
                      ConversionCase{"%L", "102"}, ConversionCase{"%-5L|", "102  |"}, ConversionCase{"%U", "TRACE"},
                      ConversionCase{"%.3U", "TRA"}, ConversionCase{"%m", "hello world"},
                      ConversionCase{"%-13.5m|", "hello        |"}, ConversionCase{"%13m", "  hello world"},
                      ConversionCase{"%n", "\n"}, ConversionCase{"%c", "vexa_category"},
                      ConversionCase{"%.4c", "vexa"}, ConversionCase{"%t", "abcdef"},
                      ConversionCase{"%8t", "  abcdef"}, ConversionCase{"%T", "11259375"},
                      ConversionCase{"%ms", "012"}, ConversionCase{"%us", "012345"},
                      ConversionCase{"%.2us", "01"}, ConversionCase{"%5ms", "  012"}, ConversionCase{"%%", "%"},
                      ConversionCase{"100%% %m", "100% hello world"},
                      ConversionCase{"%d(%T).%ms %-5V [%f:%L] %m%n",
                                     "06:07:08.012 WARN  [vexa_log.cpp:102] hello world\n"}));

TEST_F(ZlogFormatTest, EnvironmentAndHostAreReadAtCompileTime)
{
    logtest::CEnvVar env("BRIO_FORMAT_TEST", "value");
    std::string strError;
    std::shared_ptr<const CZlogFormat> p = CZlogFormat::Compile("%E(BRIO_FORMAT_TEST)|%7.3E(BRIO_FORMAT_TEST)|%H",
                                                                &strError);
    ASSERT_TRUE(p) << strError;
    setenv("BRIO_FORMAT_TEST", "changed", 1);
    char szHost[256] = {};
    gethostname(szHost, sizeof szHost - 1);
    std::string strOut;
    p->Append(m_ev, strOut);
    EXPECT_EQ(std::string("value|    val|") + szHost, strOut);
    EXPECT_TRUE(p->IsConstant());
    EXPECT_EQ("|", Apply("%E(BRIO_FORMAT_UNSET)|"));
}

class ZlogFormatRefused : public ::testing::TestWithParam<const char *> {};

TEST_P(ZlogFormatRefused, WithADiagnostic)
{
    std::string strError;
    EXPECT_FALSE(CZlogFormat::Compile(GetParam(), &strError));
    EXPECT_NE(std::string::npos, strError.find(GetParam())) << strError;
}

INSTANTIATE_TEST_SUITE_P(Patterns, ZlogFormatRefused,
                         ::testing::Values("%q", "%d(%F", "%E", "%E()", "%u", "%-", "%5%", "%99999m"));

}  // namespace
