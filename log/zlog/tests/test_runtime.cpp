#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log/tests/LogTestUtil.h"
#include "log/zlog/ZlogLevel.h"
#include "log/zlog/ZlogRuntime.h"

using namespace brio_zlog;
using logtest::Exists;
using logtest::ReadFile;
using logtest::WriteFile;

namespace {

class ZlogRuntimeTest : public ::testing::Test {
protected:
    void TearDown() override { zlog_fini(); }

    /* A configuration file of the rules given, with format "plain". */
    std::string Conf(const std::string &strRules, const std::string &strGlobal = "",
                     const std::string &strName = "z.conf")
    {
        std::string strPath = m_dir / strName;
        WriteFile(strPath, "[global]\n" + strGlobal + "\n[formats]\nplain = \"%c %V %m%n\"\n[rules]\n" + strRules);
        return strPath;
    }
    std::string File(const std::string &strName) const { return m_dir / strName; }
    std::string Rule(const std::string &strSelector, const std::string &strFile) const
    {
        return strSelector + " \"" + File(strFile) + "\"; plain\n";
    }

    static void Log(const char *pszCategory, int nLevel, const char *pszText)
    {
        zlog(zlog_get_category(pszCategory), __FILE__, __func__, __LINE__, nLevel, "%s", pszText);
    }

    logtest::CScratchDir m_dir;
};

TEST_F(ZlogRuntimeTest, CategoriesTakeTheRulesThatMatch)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("vexa_.INFO", "prefix.log") + Rule("other.=DEBUG", "other.log") +
                                Rule("!.*", "rest.log") + Rule("*.!WARN", "all.log"))
                               .c_str()));
    Log("vexa_category", ZLOG_LEVEL_DEBUG, "d");
    Log("vexa_category", ZLOG_LEVEL_ERROR, "e");
    Log("other", ZLOG_LEVEL_DEBUG, "od");
    Log("other", ZLOG_LEVEL_INFO, "oi");
    Log("lonely", ZLOG_LEVEL_WARN, "lw");
    EXPECT_EQ("vexa_category ERROR e\n", ReadFile(File("prefix.log")));
    EXPECT_EQ("other DEBUG od\n", ReadFile(File("other.log")));
    /* "!" takes only categories that no other rule takes; "*" takes all */
    EXPECT_EQ("", ReadFile(File("rest.log")));
    EXPECT_EQ("vexa_category DEBUG d\nvexa_category ERROR e\nother DEBUG od\nother INFO oi\n",
              ReadFile(File("all.log")));
}

TEST_F(ZlogRuntimeTest, NotCategoryTakesTheUnmatched)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("known.*", "known.log") + Rule("!.*", "rest.log")).c_str()));
    Log("known", ZLOG_LEVEL_INFO, "k");
    Log("stranger", ZLOG_LEVEL_INFO, "s");
    EXPECT_EQ("known INFO k\n", ReadFile(File("known.log")));
    EXPECT_EQ("stranger INFO s\n", ReadFile(File("rest.log")));
}

TEST_F(ZlogRuntimeTest, StartStopAndTheCategoryObject)
{
    EXPECT_EQ(nullptr, zlog_get_category("c")) << "not started";
    std::string strConf = Conf(Rule("*.*", "a.log"));
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    EXPECT_EQ(-1, zlog_init(strConf.c_str())) << "already init, use zlog_reload pls";
    zlog_category_t *pCategory = zlog_get_category("c");
    ASSERT_NE(nullptr, pCategory);
    EXPECT_EQ(pCategory, zlog_get_category("c"));
    EXPECT_EQ(nullptr, zlog_get_category(""));
    zlog_fini();
    zlog(pCategory, "f", "fn", 1, ZLOG_LEVEL_ERROR, "after stop");
    EXPECT_EQ(-1, zlog_reload(nullptr));
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    EXPECT_EQ(pCategory, zlog_get_category("c")) << "category objects live on";
    zlog(pCategory, "f", "fn", 1, ZLOG_LEVEL_ERROR, "restarted");
    EXPECT_EQ("c ERROR restarted\n", ReadFile(File("a.log")));
}

TEST_F(ZlogRuntimeTest, ReloadTakesTheNewFileOrKeepsTheOld)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("*.*", "a.log")).c_str()));
    Log("c", ZLOG_LEVEL_INFO, "one");
    std::string strBad = Conf("*.* | cat\n", "", "bad.conf");
    EXPECT_EQ(-1, zlog_reload(strBad.c_str()));
    Log("c", ZLOG_LEVEL_INFO, "two");
    ASSERT_EQ(0, zlog_reload(Conf(Rule("*.*", "b.log"), "", "new.conf").c_str()));
    Log("c", ZLOG_LEVEL_INFO, "three");
    EXPECT_EQ("c INFO one\nc INFO two\n", ReadFile(File("a.log")));
    EXPECT_EQ("c INFO three\n", ReadFile(File("b.log")));
}

TEST_F(ZlogRuntimeTest, ReloadPeriodRereadsTheFile)
{
    std::string strConf = Conf(Rule("*.*", "a.log"), "reload conf period = 3");
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    Conf(Rule("*.*", "b.log"), "reload conf period = 3");
    for (int i = 0; i < 5; ++i) Log("c", ZLOG_LEVEL_INFO, std::to_string(i).c_str());
    EXPECT_EQ("c INFO 0\nc INFO 1\nc INFO 2\n", ReadFile(File("a.log")));
    EXPECT_EQ("c INFO 3\nc INFO 4\n", ReadFile(File("b.log")));
}

TEST_F(ZlogRuntimeTest, StrictInitDecidesOnRulesWhoseFileCannotOpen)
{
    std::string strRules = Rule("*.*", "no/dir/x.log") + Rule("*.*", "ok.log");
    EXPECT_EQ(-1, zlog_init(Conf(strRules, "strict init = true").c_str()));
    ASSERT_EQ(0, zlog_init(Conf(strRules, "strict init = false").c_str()));
    Log("c", ZLOG_LEVEL_INFO, "kept");
    EXPECT_EQ("c INFO kept\n", ReadFile(File("ok.log")));
}

TEST_F(ZlogRuntimeTest, BufferMaxCutsLongRecordsKeepingTheNewline)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("*.*", "a.log"), "buffer min = 16\nbuffer max = 32").c_str()));
    Log("c", ZLOG_LEVEL_INFO, std::string(100, 'x').c_str());
    EXPECT_EQ("c INFO " + std::string(24, 'x') + "\n", ReadFile(File("a.log")));
    std::vector<unsigned char> vecHuge(1 << 20, 0x5a);
    hzlog(zlog_get_category("c"), "f", "fn", 1, ZLOG_LEVEL_INFO, vecHuge.data(), vecHuge.size());
    EXPECT_EQ("c INFO " + std::string(24, 'x') + "\nc INFO hex_buf_len=[1048576]\n00\n",
              ReadFile(File("a.log")));
}

TEST_F(ZlogRuntimeTest, HexDumpRecord)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("*.*", "a.log")).c_str()));
    std::string strData = "0123456789abcdefXY";
    hzlog(zlog_get_category("c"), "f", "fn", 1, ZLOG_LEVEL_INFO, strData.data(), strData.size());
    EXPECT_EQ("c INFO hex_buf_len=[18]\n"
              "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  0123456789abcdef\n"
              "00000010  58 59                                             XY\n",
              ReadFile(File("a.log")));
}

TEST_F(ZlogRuntimeTest, ThreadBuffersAreCountedAndReleased)
{
    ASSERT_EQ(0, zlog_init(Conf(Rule("*.*", "a.log")).c_str()));
    long lBefore = zlog_thread_buffer_count();
    std::atomic<int> nReady{0};
    std::atomic<bool> bGo{false};
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 4; ++i) {
        vecThreads.emplace_back([&] {
            Log("c", ZLOG_LEVEL_INFO, "from a thread");
            ++nReady;
            while (!bGo.load()) std::this_thread::yield();
        });
    }
    while (nReady.load() < 4) std::this_thread::yield();
    EXPECT_EQ(lBefore + 4, zlog_thread_buffer_count());
    bGo = true;
    for (std::thread &t : vecThreads) t.join();
    EXPECT_EQ(lBefore, zlog_thread_buffer_count());
    Log("c", ZLOG_LEVEL_INFO, "main");
    long lWithMain = zlog_thread_buffer_count();
    zlog_fini();
    EXPECT_EQ(lWithMain - 1, zlog_thread_buffer_count()) << "the stopping thread's buffer goes";
}

/* The memory log through the runtime. */

TEST_F(ZlogRuntimeTest, MemoryStartWritesAtErrorRecords)
{
    std::string strPath = File("mem/dir/m.log");
    ASSERT_EQ(0, zlog_init_memory_log("ERROR", strPath.c_str()));
    EXPECT_TRUE(Exists(File("mem/dir")));
    EXPECT_EQ(-1, zlog_init_memory_log("ERROR", strPath.c_str())) << "already init, use zlog_reload pls";
    Log("vexa_category", ZLOG_LEVEL_WARN, "below the level");
    Log("vexa_category", ZLOG_LEVEL_FATAL, "fatal");
    Log("other", ZLOG_LEVEL_ERROR, "other category");
    EXPECT_EQ("", ReadFile(strPath));
    Log("vexa_category", ZLOG_LEVEL_ERROR, "error");
    std::string strFile = ReadFile(strPath);
    EXPECT_EQ(std::string::npos, strFile.find("below the level"));
    EXPECT_EQ(std::string::npos, strFile.find("other category"));
    EXPECT_NE(std::string::npos, strFile.find("FATAL"));
    EXPECT_NE(std::string::npos, strFile.find("ERROR"));
    /* a reload rebuilds from the in-memory rule, whatever file is named */
    ASSERT_EQ(0, zlog_reload(Conf(Rule("*.*", "a.log")).c_str()));
    Log("vexa_category", ZLOG_LEVEL_ERROR, "after reload");
    EXPECT_FALSE(Exists(File("a.log")));
    EXPECT_NE(std::string::npos, ReadFile(strPath).find("after reload"));
}

TEST_F(ZlogRuntimeTest, FailedMemoryStartLeavesNoRuleBehind)
{
    EXPECT_EQ(-1, zlog_init_memory_log("NOSUCHLEVEL", File("first.log").c_str()));
    EXPECT_EQ(-1, zlog_init_memory_log("ERROR", std::string(600, 'p').c_str())) << "rule beyond 512 bytes";
    ASSERT_EQ(0, zlog_init_memory_log("ERROR", File("second.log").c_str()));
    Log("vexa_category", ZLOG_LEVEL_ERROR, "error");
    EXPECT_NE(std::string::npos, ReadFile(File("second.log")).find("error"));
    EXPECT_FALSE(Exists(File("first.log")));
}

TEST_F(ZlogRuntimeTest, MemoryLogFileIsEmptiedOnlyByASuccessfulStartOrReload)
{
    std::string strMem = File("keep/m.log");
    std::string strMemRule = "*.* >memlog:" + strMem + "; plain\n";
    /* a start that fails on a later rule neither makes the directory nor
       touches the file */
    EXPECT_EQ(-1, zlog_init(Conf(strMemRule + "*.* $nobody\n").c_str()));
    EXPECT_FALSE(Exists(File("keep")));
    ASSERT_EQ(0, zlog_init(Conf(strMemRule).c_str()));
    Log("c", ZLOG_LEVEL_ERROR, "kept line");
    EXPECT_EQ("c ERROR kept line\n", ReadFile(strMem));
    EXPECT_EQ(-1, zlog_reload(Conf(strMemRule + Rule("*.*", "no/dir/x.log"), "", "bad.conf").c_str()));
    EXPECT_EQ("c ERROR kept line\n", ReadFile(strMem)) << "a failed reload leaves the file";
    ASSERT_EQ(0, zlog_reload(nullptr));
    EXPECT_EQ("", ReadFile(strMem)) << "a reload empties it";
}

}  // namespace
