/* The middleware's start and stop as a program loads and unloads it: the
 * log starts before anything else of the library traces and stops last,
 * loading and unloading repeat cleanly (also when the unloading thread never
 * logged: the line it writes at unload must leave nothing of the library
 * behind in the thread, or the thread's end would crash), and without a log
 * configuration the library works and writes nothing. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gm/sm3.h"
#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"

namespace {

using TraceFn = unsigned int (*)(unsigned int, const char *, ...);

class SkfLibraryTest : public ::testing::Test {
protected:
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
     * of fnUse and then ends: a thread that logged keeps the library loaded
     * while it lives, so the unload in this thread really unloads. */
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

    static bool Loaded() { return dlopen(BRIO_MIDDLEWARE_SO, RTLD_NOW | RTLD_NOLOAD) != nullptr; }

    /* The log's lines without the empty ones. */
    std::vector<std::string> LogLines() const
    {
        std::istringstream in(logtest::ReadFile(m_strOut));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }

    logtest::CScratchDir m_dir;
    std::string m_strOut;
    std::string m_strConf;
    bool m_bHadEnv = false;
    std::string m_strOldEnv;
};

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

    /* an exported call works: SM3 of "abc" (GM/T 0004 example 1) */
    auto pfnInit = reinterpret_cast<decltype(&gm_sm3_init)>(dlsym(pHandle, "gm_sm3_init"));
    auto pfnUpdate = reinterpret_cast<decltype(&gm_sm3_update)>(dlsym(pHandle, "gm_sm3_update"));
    auto pfnFinal = reinterpret_cast<decltype(&gm_sm3_final)>(dlsym(pHandle, "gm_sm3_final"));
    ASSERT_NE(nullptr, pfnInit);
    ASSERT_NE(nullptr, pfnUpdate);
    ASSERT_NE(nullptr, pfnFinal);
    SM3_BLOCK_CTX ctx;
    unsigned char digest[32];
    ASSERT_EQ(1, pfnInit(&ctx));
    ASSERT_EQ(1, pfnUpdate(&ctx, "abc", 3));
    ASSERT_EQ(1, pfnFinal(&ctx, digest));
    EXPECT_EQ(0x66, digest[0]);
    EXPECT_EQ(0xc7, digest[1]);
    EXPECT_EQ(0xe0, digest[31]);

    ASSERT_EQ(0, dlclose(pHandle));
    EXPECT_FALSE(Loaded());
    EXPECT_FALSE(logtest::Exists(m_strOut));
}

}  // namespace
