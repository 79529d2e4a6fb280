#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "log/tests/LogTestUtil.h"
#include "log/zlog/ZlogConf.h"

using namespace brio_zlog;

namespace {

TEST(ZlogConf, GlobalKeysWithUnits)
{
    std::string strError;
    ZlogConfPtr p = ZlogConfFromText("# comment\n[global]\n"
                                     "strict init = false\n"
                                     "buffer min = 2kb\n"
                                     "buffer max  =  3MB\n"
                                     "rotate lock file = /tmp/brio-test.lock\n"
                                     "default format = \"%m%n\"\n"
                                     "file perms = 640\n"
                                     "reload conf period = 10k\n"
                                     "fsync period = 1M\n",
                                     "t.conf", &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_FALSE(p->bStrictInit);
    EXPECT_EQ(2048u, p->ulBufMin);
    EXPECT_EQ(3u * 1024 * 1024, p->ulBufMax);
    EXPECT_EQ("/tmp/brio-test.lock", p->strRotateLockFile);
    EXPECT_EQ("%m%n", p->pDefaultFormat->Pattern());
    EXPECT_EQ(0640u, p->filePerms);
    EXPECT_EQ(10000u, p->ulReloadPeriod);
    EXPECT_EQ(1000000u, p->ulFsyncPeriod);
}

TEST(ZlogConf, DefaultsOfAConfigurationFromOneRule)
{
    std::string strError;
    ZlogConfPtr p = zlog_conf_new_with_rule(nullptr, &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_TRUE(p->strFile.empty());
    EXPECT_TRUE(p->bStrictInit);
    EXPECT_EQ(1024u, p->ulBufMin);
    EXPECT_EQ(2u * 1024 * 1024, p->ulBufMax);
    EXPECT_EQ("/tmp/zlog.lock", p->strRotateLockFile);
    EXPECT_EQ("%D %V [%p:%F:%L] %m%n", p->pDefaultFormat->Pattern());
    EXPECT_EQ(0600u, p->filePerms);
    EXPECT_EQ(0u, p->ulReloadPeriod);
    EXPECT_EQ(0u, p->ulFsyncPeriod);
    ASSERT_EQ(1u, p->vecRules.size());
    EXPECT_EQ("*", p->vecRules[0].strCategory);
    EXPECT_EQ(OutputKind::Stdout, p->vecRules[0].eOutput);
}

TEST(ZlogConf, LevelsFormatsAndRulesTogether)
{
    std::string strError;
    ZlogConfPtr p = ZlogConfFromText("[levels]\nTRACE = 10\nCRIT = 130, LOG_CRIT\n"
                                     "[formats]\nsimple = \"%m%n\"\n"
                                     "[rules]\n"
                                     "my_.trace   >stdout; simple\n"
                                     "*.=CRIT  >syslog, LOG_LOCAL0\n"
                                     "a.*  \"/tmp/x.log\", \\\n   1MB * 3\n",
                                     "t.conf", &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_EQ(10, p->levels.Find("trace"));
    EXPECT_EQ(2, p->levels.Get(130).nSyslogLevel); /* LOG_CRIT */
    ASSERT_EQ(3u, p->vecRules.size());
    EXPECT_EQ(10, p->vecRules[0].nLevel);
    EXPECT_EQ("%m%n", p->vecRules[0].pFormat->Pattern());
    EXPECT_EQ(LevelOp::Equal, p->vecRules[1].eLevelOp);
    EXPECT_EQ(16 << 3, p->vecRules[1].nSyslogFacility); /* LOG_LOCAL0 */
    EXPECT_EQ(p->pDefaultFormat, p->vecRules[1].pFormat);
    EXPECT_EQ(1024u * 1024, p->vecRules[2].ulMaxSize);
    EXPECT_EQ(3, p->vecRules[2].lMaxCount);
    EXPECT_EQ("/tmp/x.log.#r", p->vecRules[2].strArchive);
}

struct BadConfCase {
    const char *pszName;
    const char *pszText;
    const char *pszError; /* part of the diagnostic */
};

std::ostream &operator<<(std::ostream &os, const BadConfCase &c) { return os << c.pszName; }

class ZlogConfRefused : public ::testing::TestWithParam<BadConfCase> {};

TEST_P(ZlogConfRefused, WithADiagnostic)
{
    std::string strError;
    EXPECT_FALSE(ZlogConfFromText(GetParam().pszText, "bad.conf", &strError));
    EXPECT_NE(std::string::npos, strError.find(GetParam().pszError)) << strError;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ZlogConfRefused,
    ::testing::Values(
        BadConfCase{"LineOutsideSection", "a.* >stdout\n", "outside any section"},
        BadConfCase{"UnknownSection", "[extra]\n", "unknown section"},
        BadConfCase{"SectionsOutOfOrder", "[rules]\n[global]\n", "out of order"},
        BadConfCase{"UnknownGlobalKey", "[global]\ncolour = red\n", "unknown global key"},
        BadConfCase{"BadStrictValue", "[global]\nstrict init = maybe\n", "bad value"},
        BadConfCase{"BadUnit", "[global]\nbuffer max = 3 parsecs\n", "bad value"},
        BadConfCase{"MinAboveMax", "[global]\nbuffer min = 4k\nbuffer max = 1k\n", "buffer min is above"},
        BadConfCase{"BadPerms", "[global]\nfile perms = 999\n", "bad value"},
        BadConfCase{"UnquotedDefaultFormat", "[global]\ndefault format = %m%n\n", "quoted"},
        BadConfCase{"BadLevelNumber", "[levels]\nHIGH = 300\n", "1..254"},
        BadConfCase{"BadSyslogLevel", "[levels]\nHIGH = 30, LOG_LOUD\n", "syslog level"},
        BadConfCase{"BadFormat", "[formats]\nf = \"%Q\"\n", "unknown conversion %Q"},
        BadConfCase{"UnknownFormatInRule", "[rules]\n*.* >stdout; nosuch\n", "format [nosuch] is not defined"},
        BadConfCase{"UnknownLevelInRule", "[rules]\n*.LOUD >stdout\n", "level [LOUD] is not defined"},
        BadConfCase{"SelectorWithoutDot", "[rules]\nall >stdout\n", "is not category.level"},
        BadConfCase{"PipeOutput", "[rules]\n*.* | cat\n", "pipe outputs"},
        BadConfCase{"UserOutput", "[rules]\n*.* $mine, \"x\"\n", "nothing registers it"},
        BadConfCase{"OtherSpecialOutput", "[rules]\n*.* >tty\n",
                    "[tty]the string after is not syslog, stdout or stderr"},
        BadConfCase{"BadFacility", "[rules]\n*.* >syslog, LOG_NOWHERE\n", "facility"},
        BadConfCase{"BadRotationSize", "[rules]\n*.* \"/tmp/a\", lots\n", "bad file size"},
        BadConfCase{"SequenceArchive", "[rules]\n*.* \"/tmp/a\", 1k ~ \"/tmp/a.#s\"\n", "archive path"}),
    [](const auto &info) { return std::string(info.param.pszName); });

TEST(ZlogConf, WithoutStrictInitABadRuleIsSkipped)
{
    std::string strError;
    ZlogConfPtr p = ZlogConfFromText("[global]\nstrict init = false\n[rules]\n*.* | cat\n*.* >stderr\n",
                                     "t.conf", &strError);
    ASSERT_TRUE(p) << strError;
    ASSERT_EQ(1u, p->vecRules.size());
    EXPECT_EQ(OutputKind::Stderr, p->vecRules[0].eOutput);
    ASSERT_EQ(1u, p->vecSkipped.size());
    EXPECT_NE(std::string::npos, p->vecSkipped[0].find("pipe outputs"));
    /* sections and global keys stay strict */
    EXPECT_FALSE(ZlogConfFromText("[global]\nstrict init = false\n[rulez]\n", "t.conf", &strError));
}

TEST(ZlogConf, PathsLongerThan1024AreRefused)
{
    std::string strError;
    std::string strLong = "/tmp/" + std::string(1020, 'a');
    EXPECT_FALSE(zlog_conf_new_with_rule(("*.* >memlog:" + strLong).c_str(), &strError));
    EXPECT_NE(std::string::npos, strError.find("longer than 1024")) << strError;
    EXPECT_FALSE(zlog_conf_new_with_rule(("*.* \"" + strLong + "\"").c_str(), &strError));
    EXPECT_NE(std::string::npos, strError.find("longer than 1024")) << strError;
    EXPECT_TRUE(zlog_conf_new_with_rule(("*.* >memlog:" + strLong.substr(0, 1024)).c_str(), &strError));
}

TEST(ZlogConf, OneRuleMustBeOneLine)
{
    std::string strError;
    EXPECT_FALSE(zlog_conf_new_with_rule("a.* >stdout\n[global]\nbuffer min = 1", &strError));
    ZlogConfPtr p = zlog_conf_new_with_rule("vexa_category.ERROR  >memlog:/tmp/m.log", &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_EQ(OutputKind::MemLog, p->vecRules[0].eOutput);
    EXPECT_EQ("/tmp/m.log", p->vecRules[0].strPath);
}

TEST(ZlogConfFile, VariableNamesTheFileWhenNoPathIsGiven)
{
    logtest::CScratchDir dir;
    std::string strConf = dir / "z.conf";
    logtest::WriteFile(strConf, "[rules]\nx.* >stderr\n");
    logtest::CEnvVar env(ZLOG_CONF_ENV, strConf.c_str());
    std::string strError;
    ZlogConfPtr p = zlog_conf_new("", &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_EQ(strConf, p->strFile);
    EXPECT_EQ(OutputKind::Stderr, p->vecRules[0].eOutput);
}

TEST(ZlogConfFile, UntrustedFilesAreRefused)
{
    logtest::CScratchDir dir;
    std::string strConf = dir / "z.conf";
    logtest::WriteFile(strConf, "[rules]\nx.* >stderr\n", 0620);
    std::string strError;
    EXPECT_FALSE(ZlogConfFromFile(strConf, &strError));
    EXPECT_NE(std::string::npos, strError.find("writable by group or others")) << strError;
    EXPECT_FALSE(ZlogConfFromFile(dir.Path(), &strError));
    EXPECT_NE(std::string::npos, strError.find("not a regular file")) << strError;
}

}  // namespace
