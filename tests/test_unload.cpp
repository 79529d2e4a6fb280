// Loading and unloading libbrioskf-enterprise while a thread that logged
// through it is still alive: the thread's log buffers must neither crash it
// when it ends after the unload nor be torn down under it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"

namespace {

struct LogCalls {
    unsigned int (*pfnInitEx)(const char *);
    void (*pfnFini)(void);
    unsigned int (*pfnTrace)(unsigned int, const char *, ...);
    unsigned int (*pfnTraceBinary)(unsigned int, const void *, int);
};

template <typename T>
void Bind(void *pHandle, const char *pszName, T *ppfn)
{
    *ppfn = reinterpret_cast<T>(dlsym(pHandle, pszName));
    ASSERT_NE(nullptr, *ppfn) << pszName;
}

class MiddlewareUnload : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strOut = m_dir / "out.log";
        m_strConf = m_dir / "log.conf";
        logtest::WriteFile(m_strConf, "[formats]\nplain = \"%V %m%n\"\n[rules]\nvexa_category.*  \"" + m_strOut +
                                          "\"; plain\n");
    }

    void *Load(LogCalls *pCalls)
    {
        void *pHandle = dlopen(BRIO_MIDDLEWARE_SO, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(nullptr, pHandle) << dlerror();
        if (pHandle == nullptr) return nullptr;
        Bind(pHandle, "vexa_log_init_ex", &pCalls->pfnInitEx);
        Bind(pHandle, "vexa_log_fini", &pCalls->pfnFini);
        Bind(pHandle, "TRACE", &pCalls->pfnTrace);
        Bind(pHandle, "TRACE_BINARY", &pCalls->pfnTraceBinary);
        /* the library may have started its log from the default file */
        pCalls->pfnFini();
        EXPECT_EQ(0u, pCalls->pfnInitEx(m_strConf.c_str()));
        return pHandle;
    }

    logtest::CScratchDir m_dir;
    std::string m_strOut;
    std::string m_strConf;
};

TEST_F(MiddlewareUnload, ThreadThatLoggedOutlivesTheLibrary)
{
    LogCalls calls = {};
    void *pHandle = Load(&calls);
    ASSERT_NE(nullptr, pHandle);

    std::mutex mutex;
    std::condition_variable cv;
    bool bLogged = false, bUnloaded = false;
    std::thread worker([&] {
        EXPECT_EQ(0u, calls.pfnTrace(LOG_LEVEL_INFO, "from the worker %d", 1));
        EXPECT_EQ(0u, calls.pfnTraceBinary(LOG_LEVEL_DEBUG, "ab", 2));
        std::unique_lock<std::mutex> lock(mutex);
        bLogged = true;
        cv.notify_all();
        cv.wait(lock, [&] { return bUnloaded; });
        /* ends here, after the unload: its buffers go now */
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return bLogged; });
    }
    calls.pfnFini();
    EXPECT_EQ(0, dlclose(pHandle));
    {
        std::lock_guard<std::mutex> lock(mutex);
        bUnloaded = true;
        cv.notify_all();
    }
    worker.join();
    EXPECT_NE(std::string::npos, logtest::ReadFile(m_strOut).find("INFO from the worker 1\n"));

    /* and the library loads and logs again */
    pHandle = Load(&calls);
    ASSERT_NE(nullptr, pHandle);
    EXPECT_EQ(0u, calls.pfnTrace(LOG_LEVEL_WARN, "%s", "reloaded"));
    calls.pfnFini();
    EXPECT_EQ(0, dlclose(pHandle));
    EXPECT_NE(std::string::npos, logtest::ReadFile(m_strOut).find("WARN reloaded\n"));
}

TEST_F(MiddlewareUnload, LogStopsWhileThreadsAreLogging)
{
    LogCalls calls = {};
    void *pHandle = Load(&calls);
    ASSERT_NE(nullptr, pHandle);
    std::atomic<bool> bStop{false};
    std::vector<std::thread> vecThreads;
    for (int i = 0; i < 4; ++i)
        vecThreads.emplace_back([&] {
            while (!bStop.load()) calls.pfnTrace(LOG_LEVEL_INFO, "busy");
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    calls.pfnFini();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bStop = true;
    for (std::thread &t : vecThreads) t.join();
    EXPECT_EQ(LOG_ERR_NOT_INITIALISED, calls.pfnTrace(LOG_LEVEL_INFO, "stopped"));
    EXPECT_EQ(0, dlclose(pHandle));
}

}  // namespace
