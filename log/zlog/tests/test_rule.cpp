#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "log/zlog/ZlogConf.h"
#include "log/zlog/ZlogRule.h"

using namespace brio_zlog;

namespace {

struct CategoryCase {
    const char *pszSelector;
    const char *pszCategory;
    bool bMatches;
};

std::ostream &operator<<(std::ostream &os, const CategoryCase &c)
{
    return os << c.pszSelector << " vs " << c.pszCategory;
}

class ZlogCategorySelector : public ::testing::TestWithParam<CategoryCase> {};

TEST_P(ZlogCategorySelector, Matches)
{
    EXPECT_EQ(GetParam().bMatches, CategoryMatches(GetParam().pszSelector, GetParam().pszCategory));
}

INSTANTIATE_TEST_SUITE_P(Selectors, ZlogCategorySelector,
                         ::testing::Values(CategoryCase{"*", "anything", true},
                                           CategoryCase{"vexa_category", "vexa_category", true},
                                           CategoryCase{"vexa_category", "vexa_categoryx", false},
                                           CategoryCase{"vexa", "vexa_category", false},
                                           CategoryCase{"vexa_", "vexa_category", true},
                                           CategoryCase{"vexa_", "vexa", true},
                                           CategoryCase{"vexa_", "vex", false},
                                           CategoryCase{"vexa_", "vexaz", false},
                                           CategoryCase{"vexa_", "vexa_", true},
                                           CategoryCase{"!", "anything", false}));

struct LevelCase {
    const char *pszSelector;
    int nLevel;
    bool bMatches;
};

std::ostream &operator<<(std::ostream &os, const LevelCase &c) { return os << c.pszSelector << " vs " << c.nLevel; }

class ZlogLevelSelector : public ::testing::TestWithParam<LevelCase> {};

TEST_P(ZlogLevelSelector, Matches)
{
    std::string strError;
    ZlogConfPtr p = zlog_conf_new_with_rule((std::string("c.") + GetParam().pszSelector + " >stdout").c_str(),
                                            &strError);
    ASSERT_TRUE(p) << strError;
    const ZlogRuleSpec &r = p->vecRules.at(0);
    EXPECT_EQ(GetParam().bMatches, LevelMatches(r.eLevelOp, r.nLevel, GetParam().nLevel));
}

INSTANTIATE_TEST_SUITE_P(Selectors, ZlogLevelSelector,
                         ::testing::Values(LevelCase{"*", ZLOG_LEVEL_DEBUG, true}, LevelCase{"*", 1, true},
                                           LevelCase{"INFO", ZLOG_LEVEL_DEBUG, false},
                                           LevelCase{"INFO", ZLOG_LEVEL_INFO, true},
                                           LevelCase{"info", ZLOG_LEVEL_FATAL, true},
                                           LevelCase{"=INFO", ZLOG_LEVEL_INFO, true},
                                           LevelCase{"=INFO", ZLOG_LEVEL_WARN, false},
                                           LevelCase{"!ERROR", ZLOG_LEVEL_ERROR, false},
                                           LevelCase{"!ERROR", ZLOG_LEVEL_FATAL, true},
                                           LevelCase{"!ERROR", ZLOG_LEVEL_DEBUG, true}));

struct OutputCase {
    const char *pszRule;
    OutputKind eKind;
    const char *pszPath;
};

std::ostream &operator<<(std::ostream &os, const OutputCase &c) { return os << c.pszRule; }

class ZlogRuleOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(ZlogRuleOutput, Parses)
{
    std::string strError;
    ZlogConfPtr p = zlog_conf_new_with_rule(GetParam().pszRule, &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_EQ(GetParam().eKind, p->vecRules.at(0).eOutput);
    EXPECT_EQ(GetParam().pszPath, p->vecRules.at(0).strPath);
}

INSTANTIATE_TEST_SUITE_P(Outputs, ZlogRuleOutput,
                         ::testing::Values(OutputCase{"*.* >stdout", OutputKind::Stdout, ""},
                                           OutputCase{"*.* >stderr;", OutputKind::Stderr, ""},
                                           OutputCase{"*.* >syslog", OutputKind::Syslog, ""},
                                           OutputCase{"*.* >syslog , LOG_LOCAL7 ; default", OutputKind::Syslog, ""},
                                           OutputCase{"*.* >memlog:", OutputKind::MemLog, ""},
                                           OutputCase{"*.* >memlog:/a b/m.log", OutputKind::MemLog, "/a b/m.log"},
                                           OutputCase{"*.* \"/var/x;y.log\"", OutputKind::File, "/var/x;y.log"},
                                           OutputCase{"*.* \"/l/%c-%d(%F).log\"", OutputKind::File,
                                                      "/l/%c-%d(%F).log"}));

TEST(ZlogRuleOutput, EnvironmentOnlyPathsAreStatic)
{
    setenv("BRIO_RULE_TEST_HOME", "/home/someone", 1);
    std::string strError;
    ZlogConfPtr p = zlog_conf_new_with_rule("*.* \"%E(BRIO_RULE_TEST_HOME)/log/a.log\", 10kb ~ \"a.#3r\"", &strError);
    ASSERT_TRUE(p) << strError;
    const ZlogRuleSpec &r = p->vecRules.at(0);
    EXPECT_EQ("/home/someone/log/a.log", r.strPath);
    EXPECT_FALSE(r.pPathFormat);
    EXPECT_EQ(10240u, r.ulMaxSize);
    EXPECT_EQ("a.#3r", r.strArchive);
    p = zlog_conf_new_with_rule("*.* \"/l/%c.log\"", &strError);
    ASSERT_TRUE(p) << strError;
    EXPECT_TRUE(p->vecRules.at(0).pPathFormat);
}

}  // namespace
