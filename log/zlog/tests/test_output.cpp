#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "log/tests/LogTestUtil.h"
#include "log/zlog/ZlogConf.h"
#include "log/zlog/ZlogOutput.h"

using namespace brio_zlog;
using logtest::Exists;
using logtest::ReadFile;

namespace {

class ZlogOutputTest : public ::testing::Test {
protected:
    /* Output of the one rule given, activated. */
    std::unique_ptr<IZlogOutput> Make(const std::string &strRule, size_t ulFsync = 0)
    {
        std::string strError;
        m_pConf = zlog_conf_new_with_rule(strRule.c_str(), &strError);
        EXPECT_TRUE(m_pConf) << strError;
        if (!m_pConf) return nullptr;
        ZlogOutputContext ctx;
        ctx.filePerms = 0640;
        ctx.ulFsyncPeriod = ulFsync;
        ctx.pRotateLock = &m_lock;
        std::unique_ptr<IZlogOutput> p = MakeOutput(m_pConf->vecRules.at(0), ctx);
        EXPECT_TRUE(p->Activate(&strError)) << strError;
        return p;
    }

    int Write(IZlogOutput &out, const std::string &strText, const char *pszCategory = "cat")
    {
        ZlogEvent ev;
        StampEvent(&ev);
        ev.pszCategory = pszCategory;
        return out.Write(ev, strText.data(), strText.size());
    }

    logtest::CScratchDir m_dir;
    CRotateLock m_lock{m_dir / "rotate.lock"};
    ZlogConfPtr m_pConf;
};

/* Whether some descriptor of this process refers to the path, and whether
 * all such descriptors are close-on-exec. */
bool OpenAndCloseOnExec(const std::string &strPath, bool *pbCloseOnExec)
{
    char szReal[PATH_MAX];
    if (!realpath(strPath.c_str(), szReal)) return false;
    bool bFound = false;
    *pbCloseOnExec = true;
    DIR *pDir = opendir("/proc/self/fd");
    while (struct dirent *pEntry = readdir(pDir)) {
        char szLink[PATH_MAX] = {};
        std::string strFd = std::string("/proc/self/fd/") + pEntry->d_name;
        if (readlink(strFd.c_str(), szLink, sizeof szLink - 1) <= 0 || std::string(szLink) != szReal) continue;
        bFound = true;
        int fd = atoi(pEntry->d_name);
        *pbCloseOnExec = *pbCloseOnExec && (fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    closedir(pDir);
    return bFound;
}

TEST_F(ZlogOutputTest, StaticFileIsOpenedCloseOnExecWithThePermissions)
{
    std::string strPath = m_dir / "a.log";
    std::unique_ptr<IZlogOutput> p = Make("*.* \"" + strPath + "\"");
    ASSERT_EQ(0, Write(*p, "one\n"));
    ASSERT_EQ(0, Write(*p, "two\n"));
    EXPECT_EQ("one\ntwo\n", ReadFile(strPath));
    struct stat st;
    ASSERT_EQ(0, stat(strPath.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    bool bCloseOnExec = false;
    ASSERT_TRUE(OpenAndCloseOnExec(strPath, &bCloseOnExec));
    EXPECT_TRUE(bCloseOnExec);
}

TEST_F(ZlogOutputTest, StaticFileThatCannotBeOpenedFailsActivation)
{
    std::string strError;
    m_pConf = zlog_conf_new_with_rule(("*.* \"" + (m_dir / "no/such/dir/a.log") + "\"").c_str(), &strError);
    ASSERT_TRUE(m_pConf) << strError;
    std::unique_ptr<IZlogOutput> p = MakeOutput(m_pConf->vecRules.at(0), ZlogOutputContext());
    EXPECT_FALSE(p->Activate(&strError));
    EXPECT_NE(std::string::npos, strError.find("cannot open log file")) << strError;
}

TEST_F(ZlogOutputTest, DynamicPathIsMadePerRecord)
{
    logtest::CEnvVar env("BRIO_OUT_TEST_DIR", m_dir.Path().c_str());
    std::unique_ptr<IZlogOutput> p = Make("*.* \"%E(BRIO_OUT_TEST_DIR)/%c.log\"");
    ASSERT_EQ(0, Write(*p, "to a\n", "a"));
    ASSERT_EQ(0, Write(*p, "to b\n", "b"));
    ASSERT_EQ(0, Write(*p, "to a again\n", "a"));
    EXPECT_EQ("to a\nto a again\n", ReadFile(m_dir / "a.log"));
    EXPECT_EQ("to b\n", ReadFile(m_dir / "b.log"));
    bool bCloseOnExec = false;
    EXPECT_FALSE(OpenAndCloseOnExec(m_dir / "a.log", &bCloseOnExec)) << "closed after each record";
}

struct RotationCase {
    const char *pszName;
    const char *pszSuffix;                 /* after the size in the rule */
    std::vector<std::string> vecArchives;  /* expected contents, newest first */
    const char *pszArchiveFormat;          /* printf pattern of archive names */
    const char *pszMissing;                /* an archive that must not exist */
};

std::ostream &operator<<(std::ostream &os, const RotationCase &c) { return os << c.pszName; }

class ZlogRotation : public ZlogOutputTest, public ::testing::WithParamInterface<RotationCase> {};

/* Records of 10 bytes into a file of at most 25: two records a file. */
TEST_P(ZlogRotation, KeepsTheNewestArchives)
{
    const RotationCase &c = GetParam();
    std::string strPath = m_dir / "r.log";
    std::unique_ptr<IZlogOutput> p = Make("*.* \"" + strPath + "\", 25" + c.pszSuffix);
    for (char r = 'a'; r <= 'h'; ++r) ASSERT_EQ(0, Write(*p, std::string(9, r) + "\n"));
    EXPECT_EQ("ggggggggg\nhhhhhhhhh\n", ReadFile(strPath));
    for (size_t i = 0; i < c.vecArchives.size(); ++i) {
        char szName[64];
        snprintf(szName, sizeof szName, c.pszArchiveFormat, static_cast<int>(i));
        EXPECT_EQ(c.vecArchives[i], ReadFile(m_dir / szName)) << szName;
    }
    EXPECT_FALSE(Exists(m_dir / c.pszMissing));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ZlogRotation,
    ::testing::Values(RotationCase{"TwoArchives", " * 2",
                                   {"eeeeeeeee\nfffffffff\n", "ccccccccc\nddddddddd\n"}, "r.log.%d", "r.log.2"},
                      RotationCase{"AllArchives", "",
                                   {"eeeeeeeee\nfffffffff\n", "ccccccccc\nddddddddd\n",
                                    "aaaaaaaaa\nbbbbbbbbb\n"},
                                   "r.log.%d", "r.log.3"}),
    [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(ZlogOutputTest, ArchiveNameTemplateIsUsed)
{
    std::string strPath = m_dir / "r.log";
    std::unique_ptr<IZlogOutput> p = Make("*.* \"" + strPath + "\", 25 * 1 ~ \"" + (m_dir / "r-#2r.old") + "\"");
    for (char r = 'a'; r <= 'f'; ++r) ASSERT_EQ(0, Write(*p, std::string(9, r) + "\n"));
    EXPECT_EQ("ccccccccc\nddddddddd\n", ReadFile(m_dir / "r-00.old"));
    EXPECT_FALSE(Exists(m_dir / "r-01.old"));
}

struct StreamCase {
    const char *pszRule;
    int fd;
};

std::ostream &operator<<(std::ostream &os, const StreamCase &c) { return os << c.pszRule; }

class ZlogStreamOutput : public ZlogOutputTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(ZlogStreamOutput, WritesToTheStream)
{
    std::string strPath = m_dir / "stream";
    int fdFile = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fdFile, 0);
    fflush(nullptr);
    int fdSaved = dup(GetParam().fd);
    dup2(fdFile, GetParam().fd);
    std::unique_ptr<IZlogOutput> p = Make(GetParam().pszRule);
    int nResult = Write(*p, "on the stream\n");
    dup2(fdSaved, GetParam().fd);
    close(fdSaved);
    close(fdFile);
    EXPECT_EQ(0, nResult);
    EXPECT_EQ("on the stream\n", ReadFile(strPath));
}

INSTANTIATE_TEST_SUITE_P(Streams, ZlogStreamOutput,
                         ::testing::Values(StreamCase{"*.* >stdout", 1}, StreamCase{"*.* >stderr", 2}));

TEST_F(ZlogOutputTest, SyslogTakesRecords)
{
    std::unique_ptr<IZlogOutput> p = Make("*.* >syslog, LOG_LOCAL0");
    CZlogLevelTable levels;
    ZlogEvent ev;
    ev.pLevel = &levels.Get(ZLOG_LEVEL_DEBUG);
    EXPECT_EQ(0, p->Write(ev, "brio output test", 16));
}

}  // namespace
