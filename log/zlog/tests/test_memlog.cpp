#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "log/tests/LogTestUtil.h"
#include "log/zlog/ZlogIo.h"
#include "log/zlog/ZlogMemLog.h"

using namespace brio_zlog;
using logtest::Exists;
using logtest::ReadFile;

namespace {

/* A memory-log output on a file of a fresh directory (so a buffer pair of
 * its own). */
class ZlogMemLogTest : public ::testing::Test {
protected:
    void SetUp() override { Open(m_dir / "sub/dir/mem.log"); }
    void TearDown() override { SetWriteFunction(nullptr); }

    void Open(const std::string &strPath)
    {
        m_strPath = strPath;
        m_pOutput = MakeMemLogOutput(strPath, 0600);
        std::string strError;
        ASSERT_TRUE(m_pOutput->Activate(&strError));
    }

    int Log(int nLevel, const std::string &strText, IZlogOutput *pOutput = nullptr)
    {
        ZlogEvent ev;
        ev.nLevel = nLevel;
        return (pOutput ? pOutput : m_pOutput.get())->Write(ev, strText.data(), strText.size());
    }

    std::string Written() const { return ReadFile(m_strPath); }
    CMemLogBuffers &Buffers() const { return *CMemLogBuffers::ForPath(m_strPath); }

    logtest::CScratchDir m_dir;
    std::string m_strPath;
    std::unique_ptr<IZlogOutput> m_pOutput;
};

std::string Record(int n, size_t ulSize)
{
    std::string s = "record " + std::to_string(n) + " ";
    s.resize(ulSize - 1, '.');
    return s + "\n";
}

TEST_F(ZlogMemLogTest, ErrorRecordWritesTheRecordsUpToIt)
{
    EXPECT_TRUE(Exists(m_dir / "sub/dir")) << "directory made at activation";
    EXPECT_EQ(0, Log(ZLOG_LEVEL_INFO, "one\n"));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_DEBUG, "two\n"));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_FATAL, "fatal\n"));
    EXPECT_FALSE(Exists(m_strPath)) << "nothing written before an ERROR record";
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "error\n"));
    EXPECT_EQ("one\ntwo\nfatal\nerror\n", Written());
    EXPECT_EQ(0u, Buffers().CurrentLength());
    EXPECT_EQ(0, Log(ZLOG_LEVEL_INFO, "three\n"));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "again\n"));
    EXPECT_EQ("one\ntwo\nfatal\nerror\nthree\nagain\n", Written());
}

struct RotationCase {
    int nRecords;   /* of 1000 bytes each, before the ERROR record */
    int nFirstKept; /* first record the file receives */
};

std::ostream &operator<<(std::ostream &os, const RotationCase &c) { return os << c.nRecords << " records"; }

class ZlogMemLogRotation : public ZlogMemLogTest, public ::testing::WithParamInterface<RotationCase> {};

/* 32 records fill a buffer; the 33rd moves it to the previous one. */
TEST_P(ZlogMemLogRotation, KeepsWhatTheTwoBuffersHold)
{
    for (int i = 1; i <= GetParam().nRecords; ++i) ASSERT_EQ(0, Log(ZLOG_LEVEL_INFO, Record(i, 1000)));
    ASSERT_EQ(0, Log(ZLOG_LEVEL_ERROR, "error\n"));
    std::string strExpected;
    for (int i = GetParam().nFirstKept; i <= GetParam().nRecords; ++i) strExpected += Record(i, 1000);
    EXPECT_EQ(strExpected + "error\n", Written());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZlogMemLogRotation,
                         ::testing::Values(RotationCase{30, 1}, RotationCase{40, 1}, RotationCase{70, 33}));

TEST_F(ZlogMemLogTest, RecordLargerThanABufferIsCut)
{
    std::string strHuge(100000, 'h');
    ASSERT_EQ(0, Log(ZLOG_LEVEL_INFO, "before\n"));
    ASSERT_EQ(0, Log(ZLOG_LEVEL_ERROR, strHuge));
    EXPECT_EQ("before\n" + std::string(kMemLogBufferSize, 'h'), Written());
}

TEST_F(ZlogMemLogTest, UnwritableFileKeepsTheRecordsForTheNextFlush)
{
    ASSERT_EQ(0, mkdir(m_strPath.c_str(), 0700)); /* a directory cannot be opened for writing */
    EXPECT_EQ(0, Log(ZLOG_LEVEL_INFO, "kept\n"));
    EXPECT_EQ(-1, Log(ZLOG_LEVEL_ERROR, "first error\n"));
    EXPECT_EQ(17u, Buffers().CurrentLength());
    ASSERT_EQ(0, rmdir(m_strPath.c_str()));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "second error\n"));
    EXPECT_EQ("kept\nfirst error\nsecond error\n", Written());
}

TEST_F(ZlogMemLogTest, WithoutPathErrorsFailAndTheBuffersRotate)
{
    Open("");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0, Log(ZLOG_LEVEL_INFO, Record(i, 1000)));
    EXPECT_EQ(-1, Log(ZLOG_LEVEL_ERROR, "error\n"));
    EXPECT_EQ(kMemLogBufferSize - kMemLogBufferSize % 1000, Buffers().PreviousLength());
    Buffers().Clear();
}

/* write(2) stand-ins: short writes and interruptions, or a failure after
 * some bytes. */
int g_nCalls = 0;
size_t g_ulFailAfter = 0;
size_t g_ulWritten = 0;

ssize_t ChoppyWrite(int fd, const void *p, size_t n)
{
    if (++g_nCalls % 3 == 0) {
        errno = EINTR;
        return -1;
    }
    return write(fd, p, n > 7 ? 7 : n);
}

ssize_t FailingWrite(int fd, const void *p, size_t n)
{
    if (g_ulWritten >= g_ulFailAfter) {
        errno = ENOSPC;
        return -1;
    }
    size_t ulChunk = n < g_ulFailAfter - g_ulWritten ? n : g_ulFailAfter - g_ulWritten;
    ssize_t r = write(fd, p, ulChunk);
    if (r > 0) g_ulWritten += static_cast<size_t>(r);
    return r;
}

TEST_F(ZlogMemLogTest, ShortWritesAndInterruptionsLoseNothing)
{
    for (int i = 1; i <= 40; ++i) ASSERT_EQ(0, Log(ZLOG_LEVEL_INFO, Record(i, 1000)));
    SetWriteFunction(&ChoppyWrite);
    ASSERT_EQ(0, Log(ZLOG_LEVEL_ERROR, "error\n"));
    std::string strExpected;
    for (int i = 1; i <= 40; ++i) strExpected += Record(i, 1000);
    EXPECT_EQ(strExpected + "error\n", Written());
}

TEST_F(ZlogMemLogTest, FailedFlushWritesTheRestOnceLater)
{
    for (int i = 1; i <= 40; ++i) ASSERT_EQ(0, Log(ZLOG_LEVEL_INFO, Record(i, 1000)));
    g_ulWritten = 0;
    g_ulFailAfter = 34567; /* past the previous buffer, inside the current one */
    SetWriteFunction(&FailingWrite);
    EXPECT_EQ(-1, Log(ZLOG_LEVEL_ERROR, "error one\n"));
    SetWriteFunction(nullptr);
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "error two\n"));
    std::string strExpected;
    for (int i = 1; i <= 40; ++i) strExpected += Record(i, 1000);
    EXPECT_EQ(strExpected + "error one\nerror two\n", Written());
}

TEST_F(ZlogMemLogTest, EachFileHasItsOwnBuffers)
{
    std::unique_ptr<IZlogOutput> pOther = MakeMemLogOutput(m_dir / "other.log", 0600);
    EXPECT_EQ(0, Log(ZLOG_LEVEL_INFO, "for mem\n"));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_INFO, "for other\n", pOther.get()));
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "mem error\n"));
    EXPECT_EQ("for mem\nmem error\n", Written());
    EXPECT_EQ(0, Log(ZLOG_LEVEL_ERROR, "other error\n", pOther.get()));
    EXPECT_EQ("for other\nother error\n", ReadFile(m_dir / "other.log"));
}

TEST_F(ZlogMemLogTest, ActivationEmptiesAnExistingFile)
{
    logtest::WriteFile(m_strPath, "old lines\n", 0600);
    Open(m_strPath);
    EXPECT_EQ("", Written());
}

}  // namespace
