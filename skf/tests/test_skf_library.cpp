/* The middleware's start and stop as a program loads and unloads it: the
 * log starts before anything else of the library traces and stops last,
 * loading and unloading repeat cleanly (also when the unloading thread never
 * logged: the line it writes at unload must leave nothing of the library
 * behind in the thread, or the thread's end would crash), and without a log
 * configuration the library works (its SKF calls against a virtual token)
 * and writes nothing.  What the library keeps for its calls outlives the
 * exit handlers of the application. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"
#include "skf/skf.h"
#include "vtoken/testkit/VTokenTestKit.h"

namespace {

/* Tokens of these tests: the manager's bus, addresses from 120. */
const unsigned int LIBRARY_TEST_BUS = 25;

using TraceFn = unsigned int (*)(unsigned int, const char *, ...);

/* A test program run to its end: what it wrote, and whether it ended with 0. */
struct PeerRun {
    std::string strOut;
    bool bOk = false;
};

PeerRun RunPeer(const std::string &strCommand)
{
    PeerRun run;
    FILE *pPeer = popen(strCommand.c_str(), "r");
    if (pPeer == nullptr) return run;
    char ab[256];
    for (size_t n; (n = fread(ab, 1, sizeof(ab), pPeer)) > 0;) run.strOut.append(ab, n);
    int nStatus = pclose(pPeer);
    run.bOk = nStatus != -1 && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
    return run;
}

class SkfLibraryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        /* The dialog library stays, as in a program that has its toolkit
         * loaded anyway: the toolkit it brings cannot be unloaded and
         * loaded again in one process. */
        s_pDialogs = dlopen(BRIO_DIALOGS_SO, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
        ASSERT_NE(nullptr, s_pDialogs) << dlerror();
    }

    void SetUp() override
    {
        if (logtest::Exists(VEXA_LOG_CONF_PATH))
            GTEST_SKIP() << VEXA_LOG_CONF_PATH << " exists: the library would log there instead";
        const char *pszOld = getenv(VEXA_LOG_CONF_ENV);
        m_bHadEnv = pszOld != nullptr;
        if (m_bHadEnv) m_strOldEnv = pszOld;
        m_strOut = m_dir / "out.log";
        m_strConf = m_dir / "log.conf";
        logtest::WriteFile(m_strConf, "[formats]\nplain = \"%V %m%n\"\n[rules]\nvexa_category.*  \"" + m_strOut +
                                          "\"; plain\n");
    }

    void TearDown() override
    {
        if (m_bHadEnv) setenv(VEXA_LOG_CONF_ENV, m_strOldEnv.c_str(), 1);
        else unsetenv(VEXA_LOG_CONF_ENV);
    }

    /* Loads the library in a thread of its own, which also makes the calls
     * of fnUse and then ends: what the loading thread logs does not keep the
     * library loaded, so the unload in this thread really unloads. */
    template <class F>
    static void *Load(F fnUse)
    {
        void *pHandle = nullptr;
        std::thread loader([&] {
            pHandle = dlopen(BRIO_MIDDLEWARE_SO, RTLD_NOW | RTLD_LOCAL);
            if (pHandle != nullptr) fnUse(pHandle);
        });
        loader.join();
        EXPECT_NE(nullptr, pHandle) << dlerror();
        return pHandle;
    }
    static void *Load()
    {
        return Load([](void *) {});
    }

    /* A token of these tests at ulAddr. */
    static void AddToken(vtoken::Daemon &daemon, const char *pszSerial, unsigned int ulAddr)
    {
        vtoken::TokenOptions opts;
        opts.serial = pszSerial;
        opts.bus = LIBRARY_TEST_BUS;
        opts.address = ulAddr;
        daemon.CreateToken(opts);
    }

    static bool Loaded() { return dlopen(BRIO_MIDDLEWARE_SO, RTLD_NOW | RTLD_NOLOAD) != nullptr; }

    /* One run of a program of its own, the log emptied first: it must end
     * cleanly and say one of vecSays. */
    ::testing::AssertionResult EndsCleanly(const std::string &strCommand, const std::vector<std::string> &vecSays) const
    {
        remove(m_strOut.c_str());
        PeerRun run = RunPeer(strCommand);
        if (!run.bOk) return ::testing::AssertionFailure() << "ended badly after saying \"" << run.strOut << "\"";
        if (std::find(vecSays.begin(), vecSays.end(), run.strOut) == vecSays.end())
            return ::testing::AssertionFailure() << "said \"" << run.strOut << "\"";
        return ::testing::AssertionSuccess();
    }

    /* The log's lines without the empty ones. */
    std::vector<std::string> LogLines() const
    {
        std::istringstream in(logtest::ReadFile(m_strOut));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }

    static void *s_pDialogs;
    logtest::CScratchDir m_dir;
    std::string m_strOut;
    std::string m_strConf;
    bool m_bHadEnv = false;
    std::string m_strOldEnv;
};

void *SkfLibraryTest::s_pDialogs = nullptr;

TEST_F(SkfLibraryTest, LogStartsBeforeTheManagerAndStopsAtUnload)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    void *pHandle = Load();
    ASSERT_NE(nullptr, pHandle);
    ASSERT_EQ(0, dlclose(pHandle));
    EXPECT_FALSE(Loaded());

    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ("INFO PROCESS ATTACH", lines[0]);
    /* the manager's constructor: its base's line, then its own */
    EXPECT_NE(std::string::npos, lines[1].find("CDeviceManager: Constructor")) << lines[1];
    EXPECT_NE(std::string::npos, lines[2].find("CBrioManager: Constructor")) << lines[2];
    EXPECT_EQ("INFO PROCESS DETACH", lines.back());
    /* the destructors after the log stopped write nothing */
    for (const std::string &line : lines) EXPECT_EQ(std::string::npos, line.find("Destructor")) << line;
}

TEST_F(SkfLibraryTest, LoadsAndUnloadsAgainAndAgain)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    const int kRounds = 20;
    for (int i = 0; i < kRounds; ++i) {
        void *pHandle = Load([i](void *pLoaded) {
            TraceFn pfnTrace = reinterpret_cast<TraceFn>(dlsym(pLoaded, "TRACE"));
            ASSERT_NE(nullptr, pfnTrace);
            EXPECT_EQ(0u, pfnTrace(LOG_LEVEL_WARN, "round %d", i));
        });
        ASSERT_NE(nullptr, pHandle) << "round " << i;
        ASSERT_EQ(0, dlclose(pHandle)) << "round " << i;
        ASSERT_FALSE(Loaded()) << "round " << i;
    }
    int nAttach = 0, nDetach = 0, nRound = 0;
    std::string strLast;
    for (const std::string &line : LogLines()) {
        if (line == "INFO PROCESS ATTACH") {
            EXPECT_NE("INFO PROCESS ATTACH", strLast) << "attached twice without a detach";
            ++nAttach;
            strLast = line;
        } else if (line == "INFO PROCESS DETACH") {
            EXPECT_EQ("INFO PROCESS ATTACH", strLast) << "detached without an attach";
            ++nDetach;
            strLast = line;
        } else if (line.rfind("WARN round ", 0) == 0) {
            ++nRound;
        }
    }
    EXPECT_EQ(kRounds, nAttach);
    EXPECT_EQ(kRounds, nDetach);
    EXPECT_EQ(kRounds, nRound);
}

TEST_F(SkfLibraryTest, WithoutALogConfigurationTheLibraryWorksAndWritesNothing)
{
    unsetenv(VEXA_LOG_CONF_ENV);
    void *pHandle = Load();
    ASSERT_NE(nullptr, pHandle);
    TraceFn pfnTrace = reinterpret_cast<TraceFn>(dlsym(pHandle, "TRACE"));
    ASSERT_NE(nullptr, pfnTrace);
    EXPECT_EQ(LOG_ERR_NOT_INITIALISED, pfnTrace(LOG_LEVEL_ERROR, "%s", "nowhere"));

    /* the SKF calls work: a token is listed, connected, asked and let go */
    vtoken::Daemon daemon;
    AddToken(daemon, "VTLIB1", 120);
    auto pfnEnumDev = reinterpret_cast<decltype(&SKF_EnumDev)>(dlsym(pHandle, "SKF_EnumDev"));
    auto pfnConnectDev = reinterpret_cast<decltype(&SKF_ConnectDev)>(dlsym(pHandle, "SKF_ConnectDev"));
    auto pfnGetDevInfo = reinterpret_cast<decltype(&SKF_GetDevInfo)>(dlsym(pHandle, "SKF_GetDevInfo"));
    auto pfnDisConnectDev = reinterpret_cast<decltype(&SKF_DisConnectDev)>(dlsym(pHandle, "SKF_DisConnectDev"));
    ASSERT_NE(nullptr, pfnEnumDev);
    ASSERT_NE(nullptr, pfnConnectDev);
    ASSERT_NE(nullptr, pfnGetDevInfo);
    ASSERT_NE(nullptr, pfnDisConnectDev);
    char list[256] = {0};
    ULONG size = sizeof(list);
    ASSERT_EQ(0u, pfnEnumDev(TRUE, list, &size));
    const char name[] = "Mirel&pid_f00d&bus_025&addr_120";
    EXPECT_STREQ(name, list);
    DEVHANDLE hDev = nullptr;
    ASSERT_EQ(0u, pfnConnectDev(const_cast<char *>(name), &hDev));
    DEVINFO info;
    EXPECT_EQ(0u, pfnGetDevInfo(hDev, &info));
    EXPECT_STREQ("VTLIB1", info.SerialNumber);
    EXPECT_EQ(0u, pfnDisConnectDev(hDev));

    ASSERT_EQ(0, dlclose(pHandle));
    EXPECT_FALSE(Loaded());
    EXPECT_FALSE(logtest::Exists(m_strOut));
}

/* An application that cleans up in an exit handler registered before its
 * first SKF call still finds its handles there, and lets its device go. */
TEST_F(SkfLibraryTest, AnExitHandlerRegisteredBeforeTheFirstCallClosesAndDisconnects)
{
    vtoken::Daemon daemon;
    AddToken(daemon, "VTLIB2", 121);
    PeerRun run = RunPeer(std::string(SKF_EXIT_PEER) + " cleanup 'Mirel&pid_f00d&bus_025&addr_121'");
    EXPECT_TRUE(run.bOk);
    EXPECT_EQ("opened 00000000\nclosed 00000000 00000000\n", run.strOut);
}

/* An application's own functions named like the library's other exports
 * (with other signatures) serve the application alone: the library's own
 * calls (its start's trace, the connection's, the digest's) stay its own. */
TEST_F(SkfLibraryTest, AnApplicationsOwnNamesServeTheApplicationAlone)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    vtoken::Daemon daemon;
    AddToken(daemon, "VTLIB4", 123);
    PeerRun run = RunPeer(std::string(SKF_OWN_NAMES_PEER) + " 'Mirel&pid_f00d&bus_025&addr_123'");
    EXPECT_TRUE(run.bOk);
    EXPECT_EQ("00000000 trace 1 tick 1 sm3 1\n", run.strOut);
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("INFO PROCESS ATTACH", lines.front());
    EXPECT_EQ("INFO PROCESS DETACH", lines.back());
}

/* The library's last line is written at unload and at exit, whether the
 * program is linked against the library or loads it, and also when its
 * threads logged and live on (each case a program of its own). */
TEST_F(SkfLibraryTest, TheLastLineIsWrittenAtExitAndAtUnload)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    const std::string strLinked = SKF_EXIT_PEER, strLoader = std::string(SKF_LOAD_PEER) + " " + BRIO_MIDDLEWARE_SO;
    const struct {
        const char *pszWhat;
        std::string strCommand;
        const char *pszSays;
    } cases[] = {
        {"linked, at exit", strLinked + " log", "logged\n"},
        {"linked, threads logged, at exit", strLinked + " log threads", "logged\n"},
        {"loaded, at exit", strLoader + " exit", "logged\n"},
        {"loaded, threads logged, at exit", strLoader + " exit threads", "logged\n"},
        {"loaded, unloaded by the main thread", strLoader + " unload", "unloaded\n"},
        {"loaded, threads logged, unloaded (it stays: their end runs its code)", strLoader + " unload threads",
         "still loaded\n"},
    };
    for (const auto &c : cases) {
        remove(m_strOut.c_str());
        PeerRun run = RunPeer(c.strCommand);
        EXPECT_TRUE(run.bOk) << c.pszWhat;
        EXPECT_EQ(c.pszSays, run.strOut) << c.pszWhat;
        std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty()) << c.pszWhat;
        EXPECT_EQ("INFO PROCESS ATTACH", lines.front()) << c.pszWhat;
        EXPECT_EQ("INFO PROCESS DETACH", lines.back()) << c.pszWhat;
    }
}

/* Many threads that logged end while the main thread unloads the library.
 * Each round is a program of its own, which ends cleanly, with the last
 * line written at the unload or at exit (the library stays loaded while
 * the threads' end still runs its code, and unloads when they have all
 * ended before). */
TEST_F(SkfLibraryTest, ThreadsEndingWhileTheLibraryUnloadsDoNotCrash)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    const std::string strCommand = std::string(SKF_LOAD_PEER) + " " + BRIO_MIDDLEWARE_SO + " unload ending";
#if defined(__SANITIZE_ADDRESS__)
    /* A round of 256 threads costs four to five times as much there, and
     * far more on a busy machine; fewer rounds still show a memory error of
     * a thread's end at an unload. */
    const int kRounds = 25;
#else
    const int kRounds = 100;
#endif
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(EndsCleanly(strCommand, {"still loaded\n", "unloaded\n"})) << "round " << i;
        std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty()) << "round " << i;
        ASSERT_EQ("INFO PROCESS DETACH", lines.back()) << "round " << i;
    }
}

/* A worker thread loads the library, logs through an SKF call and ends
 * while the main thread unloads the library, the worker held 300 ms before
 * each lock that the library's code takes at its end: nothing of the library runs in the worker
 * once the library is gone, and the program ends cleanly, every round (a
 * program of its own).  The library stays while the worker's end still
 * runs its code, so its last line is written at unload or at exit. */
TEST_F(SkfLibraryTest, ALoaderThreadEndingWhileTheLibraryUnloadsDoesNotCrash)
{
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    const std::string strCommand = std::string(SKF_UNLOAD_PEER) + " " + BRIO_MIDDLEWARE_SO;
    const int kRounds = 20;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(EndsCleanly(strCommand, {"still loaded\n", "unloaded\n"})) << "round " << i;
        std::vector<std::string> lines = LogLines();
        ASSERT_FALSE(lines.empty()) << "round " << i;
        ASSERT_EQ("INFO PROCESS DETACH", lines.back()) << "round " << i;
    }
}

/* The program exits while its threads are inside SKF calls on a token, and
 * logging: what those calls use is still there for them (the manager, the
 * USB context, OpenSSL's state and the library's own OpenSSL objects:
 * random numbers, curve groups), calls that begin after the library's end
 * are refused, and the program ends cleanly, every round (a program of its
 * own, exiting 20 to 80 ms after its threads began).  One kind of call per
 * test, each on a token of its own. */
struct ExitCase {
    const char *pszKind;
    unsigned int ulAddr;
    int nRounds;
};

void PrintTo(const ExitCase &c, std::ostream *pOut) { *pOut << c.pszKind; }

class SkfLibraryExitTest : public SkfLibraryTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(SkfLibraryExitTest, ExitWhileThreadsAreInsideCallsDoesNotCrash)
{
    const ExitCase &c = GetParam();
    setenv(VEXA_LOG_CONF_ENV, m_strConf.c_str(), 1);
    vtoken::Daemon daemon;
    AddToken(daemon, "VTLIB3", c.ulAddr);
    char szName[32];
    snprintf(szName, sizeof(szName), "Mirel&pid_f00d&bus_025&addr_%03u", c.ulAddr);
    const std::string strCommand = std::string(SKF_EXIT_PEER) + " calls '" + szName + "' " + c.pszKind;
    for (int i = 0; i < c.nRounds; ++i) ASSERT_TRUE(EndsCleanly(strCommand, {"calling\n"})) << "round " << i;
}

INSTANTIATE_TEST_SUITE_P(CallKinds, SkfLibraryExitTest,
                         ::testing::Values(ExitCase{"connect", 122, 20}, ExitCase{"verify", 124, 30},
                                           ExitCase{"sign", 125, 15}, ExitCase{"sm4", 126, 15}),
                         [](const ::testing::TestParamInfo<ExitCase> &info) { return info.param.pszKind; });

}  // namespace
