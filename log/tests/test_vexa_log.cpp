#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "log/StepTrace.h"
#include "log/TraceFuncScope.h"
#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"
#include "log/zlog/ZlogIo.h"

using logtest::CEnvVar;
using logtest::CScratchDir;
using logtest::Exists;
using logtest::ReadFile;
using logtest::WriteFile;

namespace {

/* A configuration in a scratch directory whose one rule writes
 * "LEVEL message" lines of vexa_category to out.log. */
class VexaLog : public ::testing::Test {
protected:
    void TearDown() override { vexa_log_fini(); }

    std::string WriteConfig(const std::string &strName, mode_t mode = 0644,
                            const std::string &strFormat = "%V %m%n")
    {
        std::string strPath = m_dir / strName;
        WriteFile(strPath,
                  "[formats]\nplain = \"" + strFormat + "\"\n[rules]\nvexa_category.*  \"" + Out() +
                      "\"; plain\n",
                  mode);
        return strPath;
    }
    std::string Out() const { return m_dir / "out.log"; }
    std::string Written() const { return ReadFile(Out()); }

    CScratchDir m_dir;
    CEnvVar m_env{VEXA_LOG_CONF_ENV, nullptr};
};

TEST_F(VexaLog, StartsFromTheGivenFileAndWritesMappedLevels)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    for (unsigned int uiLevel = 0; uiLevel <= 4; ++uiLevel) EXPECT_EQ(0u, TRACE(uiLevel, "line %u", uiLevel));
    EXPECT_EQ("FATAL line 0\nERROR line 1\nWARN line 2\nINFO line 3\nDEBUG line 4\n", Written());
}

struct MissingPathCase {
    const char *pszName;
    bool bDirectory;
};

std::ostream &operator<<(std::ostream &os, const MissingPathCase &c) { return os << c.pszName; }

class VexaLogFallback : public VexaLog, public ::testing::WithParamInterface<MissingPathCase> {};

TEST_P(VexaLogFallback, UsesTheFileNamedByTheVariable)
{
    std::string strGiven = m_dir / "given";
    if (GetParam().bDirectory) {
        ASSERT_EQ(0, mkdir(strGiven.c_str(), 0700));
    }
    CEnvVar env(VEXA_LOG_CONF_ENV, WriteConfig("env.conf").c_str());
    ASSERT_EQ(0u, vexa_log_init_ex(strGiven.c_str()));
    TRACE(LOG_LEVEL_INFO, "from env");
    EXPECT_EQ("INFO from env\n", Written());
}

INSTANTIATE_TEST_SUITE_P(Paths, VexaLogFallback,
                         ::testing::Values(MissingPathCase{"Directory", true}, MissingPathCase{"Nothing", false}),
                         [](const auto &info) { return std::string(info.param.pszName); });

struct NoConfigCase {
    const char *pszName;
    const char *pszEnv; /* "" empty, null unset, else a missing file */
};

std::ostream &operator<<(std::ostream &os, const NoConfigCase &c) { return os << c.pszName; }

class VexaLogNoConfig : public VexaLog, public ::testing::WithParamInterface<NoConfigCase> {};

TEST_P(VexaLogNoConfig, ReportsNoConfigAndStaysStopped)
{
    CEnvVar env(VEXA_LOG_CONF_ENV, GetParam().pszEnv);
    EXPECT_EQ(LOG_ERR_NO_CONFIG, vexa_log_init_ex((m_dir / "absent.conf").c_str()));
    EXPECT_EQ(LOG_ERR_NOT_INITIALISED, TRACE(LOG_LEVEL_ERROR, "nothing"));
    EXPECT_EQ(0u, TRACE_BINARY(LOG_LEVEL_ERROR, "ab", 2));
}

INSTANTIATE_TEST_SUITE_P(Variables, VexaLogNoConfig,
                         ::testing::Values(NoConfigCase{"Unset", nullptr}, NoConfigCase{"Empty", ""},
                                           NoConfigCase{"MissingFile", "/nonexistent/brio.conf"}),
                         [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(VexaLog, SocketIsNoConfiguration)
{
    std::string strSocket = m_dir / "sock";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", strSocket.c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
    EXPECT_EQ(LOG_ERR_NO_CONFIG, vexa_log_init_ex(strSocket.c_str()));
    close(fd);
}

struct UntrustedCase {
    const char *pszName;
    mode_t mode;
    bool bOtherOwner;
};

std::ostream &operator<<(std::ostream &os, const UntrustedCase &c) { return os << c.pszName; }

class VexaLogUntrusted : public VexaLog, public ::testing::WithParamInterface<UntrustedCase> {};

TEST_P(VexaLogUntrusted, RefusesTheFileAndWritesNothing)
{
    std::string strConf = WriteConfig("planted.conf", GetParam().mode);
    if (GetParam().bOtherOwner) {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
        ASSERT_EQ(0, chown(strConf.c_str(), 65534, 65534));
    }
    EXPECT_EQ(LOG_ERR_INIT, vexa_log_init_ex(strConf.c_str()));
    EXPECT_EQ(LOG_ERR_NOT_INITIALISED, TRACE(LOG_LEVEL_ERROR, "x"));
    EXPECT_FALSE(Exists(Out()));

    /* A refused file does not hide the one the variable names. */
    CEnvVar env(VEXA_LOG_CONF_ENV, WriteConfig("mine.conf").c_str());
    EXPECT_EQ(0u, vexa_log_init_ex(strConf.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Files, VexaLogUntrusted,
                         ::testing::Values(UntrustedCase{"GroupWritable", 0664, false},
                                           UntrustedCase{"OtherWritable", 0646, false},
                                           UntrustedCase{"OtherOwner", 0644, true}),
                         [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(VexaLog, SecondStartKeepsTheFirstConfiguration)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    EXPECT_EQ(0u, vexa_log_init_ex("/nonexistent"));
    EXPECT_EQ(0u, vexa_log_init_memory_log(LOG_LEVEL_DEBUG, (m_dir / "mem.log").c_str()));
    TRACE(LOG_LEVEL_WARN, "still here");
    EXPECT_EQ("WARN still here\n", Written());
}

TEST_F(VexaLog, LevelAboveFourIsRefusedUnwritten)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    EXPECT_EQ(LOG_ERR_BAD_LEVEL, TRACE(5, "five"));
    EXPECT_EQ(LOG_ERR_BAD_LEVEL, TRACE_BINARY(5, "ab", 2));
    EXPECT_EQ("", Written());
}

TEST_F(VexaLog, LongMessageIsWrittenWhole)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    std::string strLong(10000, 'x');
    strLong += "end";
    EXPECT_EQ(0u, TRACE(LOG_LEVEL_INFO, "%s", strLong.c_str()));
    EXPECT_EQ("INFO " + strLong + "\n", Written());
}

TEST_F(VexaLog, TextWithConversionsIsWrittenAsIs)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    EXPECT_EQ(0u, TRACE(LOG_LEVEL_INFO, "%s", "name %s %d %n 100%"));
    EXPECT_EQ("INFO name %s %d %n 100%\n", Written());
}

TEST_F(VexaLog, TraceBinaryRefusesNullAndNegativeLengths)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    EXPECT_EQ(LOG_ERR_BAD_ARGUMENT, TRACE_BINARY(LOG_LEVEL_INFO, nullptr, 4));
    EXPECT_EQ(LOG_ERR_BAD_ARGUMENT, TRACE_BINARY(LOG_LEVEL_INFO, "abcd", -1));
    EXPECT_EQ("", Written());
    const unsigned char ab[] = {0x41, 0x00, 0xff};
    EXPECT_EQ(0u, TRACE_BINARY(LOG_LEVEL_INFO, ab, 3));
    EXPECT_EQ(std::string("INFO hex_buf_len=[3]\n00000000  41 00 ff") + std::string(13 * 3 + 2, ' ') +
                  " A..\n",
              Written());
}

TEST_F(VexaLog, ScopeAndStepLines)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    auto early = [](bool bLeave) {
        TraceFuncScope scope("SKF_Thing");
        if (bLeave) return 1;
        TRACE_STEP_OK("SendAPDUCmd", "GetCryptByte");
        return 0;
    };
    early(true);
    early(false);
    TRACE_STEP_FAIL("SendAPDUCmd", "CHECK pDeviceHandle", 0x101);
    std::string strExpected = "INFO Enter (SKF_Thing)\nINFO Exit (SKF_Thing)\nINFO Enter (SKF_Thing)\n"
                              "INFO SendAPDUCmd - GetCryptByte success\nINFO Exit (SKF_Thing)\n"
                              "ERROR SendAPDUCmd - CHECK pDeviceHandle failed(0x00000101)[test_vexa_log.cpp:" +
                              std::to_string(__LINE__ - 4) + "]\n";
    EXPECT_EQ(strExpected, Written());
}

/* Expected codes: a scope expects its code or the codes its test accepts,
 * scopes nest (the inner adds to the outer), 0 is never expected, and an
 * ended scope expects nothing more. */
static bool IsChannelCode(unsigned int ulCode) { return ulCode == 0x107 || ulCode == 0x8000F525u; }

TEST_F(VexaLog, ExpectedCodesAreTracedAsExpectedWhileTheirScopesLive)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf").c_str()));
    auto fnLevels = [](std::initializer_list<unsigned long> codes) {
        std::string strLevels;
        for (unsigned long ul : codes) strLevels += CExpectedStepCode::Expected(ul) ? 'E' : '-';
        return strLevels;
    };
    const std::initializer_list<unsigned long> CODES = {0, 0x107, 0x8000F525u, 0x8000F321u, 0x8000F102u};
    {
        CExpectedStepCode button(0x8000F321u);
        EXPECT_EQ("---E-", fnLevels(CODES));
        {
            CExpectedStepCode channel(IsChannelCode);
            EXPECT_EQ("-EEE-", fnLevels(CODES));
            CExpectedStepCode none(0ul);
            EXPECT_EQ("-EEE-", fnLevels(CODES));
            TRACE_STEP_FAIL("SendAPDUCmd", "CHECK SecurityMode", 0x107);
            TRACE_STEP_FAIL("SendAPDUCmd", "CHECK SW1SW2", 0x8000F102u);
        }
        EXPECT_EQ("---E-", fnLevels(CODES));
    }
    EXPECT_EQ("-----", fnLevels(CODES));
    TRACE_STEP_FAIL("SendAPDUCmd", "CHECK SecurityMode", 0x107);
    std::string strLine = std::to_string(__LINE__ - 1);
    std::string strText = Written();
    EXPECT_NE(std::string::npos, strText.find("INFO SendAPDUCmd - CHECK SecurityMode answered 0x00000107 as expected["))
        << strText;
    EXPECT_NE(std::string::npos, strText.find("ERROR SendAPDUCmd - CHECK SW1SW2 failed(0x8000f102)[")) << strText;
    EXPECT_NE(std::string::npos,
              strText.find("ERROR SendAPDUCmd - CHECK SecurityMode failed(0x00000107)[test_vexa_log.cpp:" + strLine + "]"))
        << strText;
}

struct MemoryStartCase {
    const char *pszName;
    unsigned int uiLevel;
    const char *pszFileName; /* null: empty path */
    unsigned int uiResult;
    bool bInfoKept;
};

std::ostream &operator<<(std::ostream &os, const MemoryStartCase &c) { return os << c.pszName; }

class VexaLogMemoryStart : public VexaLog, public ::testing::WithParamInterface<MemoryStartCase> {};

TEST_P(VexaLogMemoryStart, MapsTheLevelOrRefusesTheEmptyPath)
{
    const MemoryStartCase &c = GetParam();
    std::string strPath = c.pszFileName ? m_dir / c.pszFileName : "";
    ASSERT_EQ(c.uiResult, vexa_log_init_memory_log(c.uiLevel, strPath.c_str()));
    if (c.uiResult != 0) {
        EXPECT_EQ(LOG_ERR_NOT_INITIALISED, TRACE(LOG_LEVEL_ERROR, "x"));
        return;
    }
    TRACE(LOG_LEVEL_DEBUG, "debug line");
    TRACE(LOG_LEVEL_INFO, "info line");
    TRACE(LOG_LEVEL_ERROR, "error line");
    std::string strFile = ReadFile(strPath);
    EXPECT_EQ(std::string::npos, strFile.find("debug line"));
    EXPECT_EQ(c.bInfoKept, strFile.find("info line") != std::string::npos);
    EXPECT_NE(std::string::npos, strFile.find("error line"));
}

INSTANTIATE_TEST_SUITE_P(Starts, VexaLogMemoryStart,
                         ::testing::Values(MemoryStartCase{"LevelSevenIsInfo", 7, "m.log", 0, true},
                                           MemoryStartCase{"LevelError", 1, "sub/dir/m.log", 0, false},
                                           MemoryStartCase{"EmptyPath", 3, nullptr, LOG_ERR_INIT, false}),
                         [](const auto &info) { return std::string(info.param.pszName); });

TEST_F(VexaLog, TraceFromThreadsWhileTheLogStopsAndStarts)
{
    std::string strConf = WriteConfig("log.conf");
    ASSERT_EQ(0u, vexa_log_init_ex(strConf.c_str()));
    std::atomic<bool> bStop{false};
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 6; ++i) {
        vecThreads.emplace_back([&bStop, i] {
            while (!bStop.load()) {
                unsigned int r = TRACE(LOG_LEVEL_INFO, "thread %d", i);
                EXPECT_TRUE(r == 0 || r == LOG_ERR_NOT_INITIALISED) << r;
                TRACE_BINARY(LOG_LEVEL_DEBUG, &i, sizeof i);
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        vexa_log_fini();
        ASSERT_EQ(0u, vexa_log_init_ex(strConf.c_str()));
    }
    bStop = true;
    for (std::thread &t : vecThreads) t.join();
    vexa_log_fini();
    EXPECT_EQ(LOG_ERR_NOT_INITIALISED, TRACE(LOG_LEVEL_INFO, "after"));
    EXPECT_NE(std::string::npos, Written().find("INFO thread"));
}

/* A child process with a pipe towards the parent: *pfd is the writing end
 * in the child and the reading end in the parent.  -1 when there is none. */
pid_t ForkWithPipe(int *pfd)
{
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == -1) close(fds[0]);
    close(pid == 0 ? fds[0] : fds[1]);
    *pfd = pid == 0 ? fds[1] : fds[0];
    return pid;
}

/* Waits for a child and returns its exit code, or -1 when it did not exit. */
int ExitCodeOf(pid_t child)
{
    int nStatus = 0;
    if (waitpid(child, &nStatus, 0) != child || !WIFEXITED(nStatus)) return -1;
    return WEXITSTATUS(nStatus);
}

TEST_F(VexaLog, LinesOfForkedChildrenCarryTheirOwnProcessId)
{
    ASSERT_EQ(0u, vexa_log_init_ex(WriteConfig("log.conf", 0644, "%p %m%n").c_str()));
    ASSERT_EQ(0u, TRACE(LOG_LEVEL_INFO, "parent"));
    int fd = -1;
    pid_t child = ForkWithPipe(&fd);
    ASSERT_NE(-1, child);
    if (child == 0) {
        /* the child logs, then a grandchild of its own */
        int nFailed = TRACE(LOG_LEVEL_INFO, "child") != 0;
        pid_t grandchild = fork();
        if (grandchild == 0) _exit(TRACE(LOG_LEVEL_INFO, "grandchild") == 0 ? 0 : 1);
        nFailed |= grandchild == -1 || ExitCodeOf(grandchild) != 0;
        nFailed |= write(fd, &grandchild, sizeof grandchild) != sizeof grandchild;
        _exit(nFailed);
    }
    pid_t grandchild = 0;
    EXPECT_EQ(static_cast<ssize_t>(sizeof grandchild), read(fd, &grandchild, sizeof grandchild));
    close(fd);
    ASSERT_EQ(0, ExitCodeOf(child));
    TRACE(LOG_LEVEL_INFO, "parent again");
    std::string strParent = std::to_string(getpid());
    EXPECT_EQ(strParent + " parent\n" + std::to_string(child) + " child\n" + std::to_string(grandchild) +
                  " grandchild\n" + strParent + " parent again\n",
              Written());
}

/* The log's writes in the child below, counted. */
std::atomic<int> g_nWrites{0};
int g_fdReport = -1;

ssize_t CountingWrite(int fd, const void *p, size_t n)
{
    g_nWrites.fetch_add(1);
    return write(fd, p, n);
}

/* A system call the filter below refused: its number goes to the parent. */
void ReportRefusedCall(int, siginfo_t *pInfo, void *)
{
    int nCall = pInfo->si_syscall;
    if (write(g_fdReport, &nCall, sizeof nCall) != sizeof nCall) {}
    _exit(4);
}

/* From here on the process may call write, exit and clock_gettime only (the
 * vDSO serves the clock without entering the kernel where the clock source
 * allows; elsewhere the C library falls back to the system call).  Any
 * other system call raises SIGSYS. */
bool AllowOnlyWrites(int fdReport)
{
    g_fdReport = fdReport;
    struct sigaction sa = {};
    sa.sa_sigaction = &ReportRefusedCall;
    sa.sa_flags = SA_SIGINFO;
    if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_gettime, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

TEST_F(VexaLog, ALineEntersTheKernelOnlyForItsOneWrite)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator maps memory of its own while lines are made";
#endif
    /* every conversion that reads the clock, the process or the thread */
    ASSERT_EQ(0u,
              vexa_log_init_ex(WriteConfig("log.conf", 0644, "%d(%F %T).%ms.%us %V [%p:%t:%T:%f:%L:%U] %m%n").c_str()));
    const int kLines = 50;
    int fd = -1;
    pid_t child = ForkWithPipe(&fd);
    ASSERT_NE(-1, child);
    if (child == 0) {
        /* the first line of a process sets up its buffers and reads the time zone */
        TRACE(LOG_LEVEL_DEBUG, "first");
        brio_zlog::SetWriteFunction(&CountingWrite);
        if (!AllowOnlyWrites(fd)) _exit(2);
        for (int i = 0; i < kLines; ++i) TRACE(LOG_LEVEL_DEBUG, "%s - %s success", "SendAPDUCmd", "GetCryptByte");
        _exit(g_nWrites.load() == kLines ? 0 : 3);
    }
    int nRefused = -1;
    bool bRefused = read(fd, &nRefused, sizeof nRefused) == sizeof nRefused;
    close(fd);
    int nExit = ExitCodeOf(child);
    if (nExit == 2) GTEST_SKIP() << "no system call filter in this environment";
    EXPECT_FALSE(bRefused) << "a line made system call number " << nRefused;
    EXPECT_EQ(0, nExit) << "3: not one write per line";
    std::string strWritten = Written();
    size_t ulLines = 0;
    for (char c : strWritten) ulLines += c == '\n';
    EXPECT_EQ(static_cast<size_t>(kLines) + 1, ulLines);
}

}  // namespace
