// The log facade: one category, "vexa_category", over the zlog-format
// backend.  Starting and stopping are serialised by a lock of their own;
// TRACE may run in any thread at any time, also while the log stops (the
// backend checks under its own lock that it still runs, and the category
// object outlives every stop).
#include "log/vexa_log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <string>

#include "log/zlog/ZlogConf.h"
#include "log/zlog/ZlogDiag.h"
#include "log/zlog/ZlogLevel.h"
#include "log/zlog/ZlogRuntime.h"

using namespace brio_zlog;

namespace {

pthread_mutex_t g_startLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<zlog_category_t *> g_pCategory{nullptr};

const size_t kFirstMessageSize = 4096;

struct FacadeLevel {
    int nZlogLevel;
    const char *pszName;
    long lLine; /* the line carried in the facade's records */
};

const FacadeLevel kLevels[] = {
    {ZLOG_LEVEL_FATAL, "FATAL", 100}, {ZLOG_LEVEL_ERROR, "ERROR", 101}, {ZLOG_LEVEL_WARN, "WARN", 102},
    {ZLOG_LEVEL_INFO, "INFO", 103},   {ZLOG_LEVEL_DEBUG, "DEBUG", 104},
};
const unsigned int kLevelCount = sizeof kLevels / sizeof kLevels[0];

class CStartLock {
public:
    CStartLock() { pthread_mutex_lock(&g_startLock); }
    ~CStartLock() { pthread_mutex_unlock(&g_startLock); }
    CStartLock(const CStartLock &) = delete;
    CStartLock &operator=(const CStartLock &) = delete;
};

enum class ConfState { Missing, Refused, Usable };

/* A configuration counts only as a regular file owned by the effective
 * user or root and writable by nobody else: the default path lies in a
 * directory every local user can write to. */
ConfState ExamineConfig(const char *pszPath)
{
    if (pszPath == nullptr || pszPath[0] == '\0') return ConfState::Missing;
    struct stat st;
    memset(&st, 0, sizeof st);
    if (stat(pszPath, &st) != 0 || !S_ISREG(st.st_mode)) return ConfState::Missing;
    std::string strWhy;
    if (!ConfigFileTrusted(st, &strWhy)) {
        zc_error("------config file[%s] refused: %s------", pszPath, strWhy.c_str());
        return ConfState::Refused;
    }
    return ConfState::Usable;
}

/* The opening of both starts: true when the log runs already. */
bool AlreadyStarted()
{
    if (g_pCategory.load() != nullptr) {
        zc_debug("------have initialized------");
        return true;
    }
    zc_debug("------fire-new init------");
    return false;
}

/* Fetches the category after a backend start; 0 or LOG_ERR_INIT. */
unsigned int TakeCategory(const char *pszFailure)
{
    zlog_category_t *pCategory = zlog_get_category(VEXA_LOG_CATEGORY);
    if (pCategory == nullptr) {
        zc_error("%s", pszFailure);
        zlog_fini();
        return LOG_ERR_INIT;
    }
    g_pCategory.store(pCategory, std::memory_order_release);
    return 0;
}

}  // namespace

extern "C" {

unsigned int vexa_log_init_ex(const char *pszConfigPath)
{
    CStartLock lock;
    zc_debug("------vexa_log_init_ex:config_path[%s]------", pszConfigPath ? pszConfigPath : "");
    if (AlreadyStarted()) return 0;
    const char *pszPath = pszConfigPath;
    ConfState eState = ExamineConfig(pszConfigPath);
    bool bRefused = eState == ConfState::Refused;
    if (eState != ConfState::Usable) {
        const char *pszEnv = getenv(VEXA_LOG_CONF_ENV);
        if (pszEnv == nullptr || pszEnv[0] == '\0') {
            zc_debug("------environment variable doesn't exist------");
        } else {
            zc_debug("------environment variable[%s]------", pszEnv);
            eState = ExamineConfig(pszEnv);
            bRefused = bRefused || eState == ConfState::Refused;
            if (eState == ConfState::Missing) zc_debug("------environment config file doesn't exist------");
            pszPath = pszEnv;
        }
        if (eState != ConfState::Usable) {
            if (bRefused) {
                zc_error("------init failed------");
                return LOG_ERR_INIT;
            }
            zc_error("------config file doesn't exist------");
            return LOG_ERR_NO_CONFIG;
        }
    }
    if (zlog_init(pszPath) != 0) {
        zc_error("------init failed------");
        return LOG_ERR_INIT;
    }
    zc_debug("------zlog_init success------");
    unsigned int uiResult = TakeCategory("------get category failed------");
    if (uiResult == 0) zc_debug("------vexa_log_init_ex() successful finish------");
    return uiResult;
}

unsigned int vexa_log_init(void) { return vexa_log_init_ex("vexalog.conf"); }

unsigned int vexa_log_init_memory_log(unsigned int uiLevel, const char *pszLogPath)
{
    CStartLock lock;
    zc_debug("------enter vexa_log_init_memory_log()------");
    zc_debug("------log_level[%u], log_path[%s]------", uiLevel, pszLogPath ? pszLogPath : "");
    if (AlreadyStarted()) return 0;
    if (pszLogPath == nullptr || pszLogPath[0] == '\0') {
        zc_error("------psz_log_path is empty------");
        return LOG_ERR_INIT;
    }
    const char *pszLevel = uiLevel < kLevelCount ? kLevels[uiLevel].pszName : "INFO";
    zc_debug("------log_level[%s]------", pszLevel);
    if (zlog_init_memory_log(pszLevel, pszLogPath) != 0) {
        zc_error("------zlog_init_memory_log() failed------");
        return LOG_ERR_INIT;
    }
    zc_debug("------zlog_init_memory_log() success------");
    unsigned int uiResult = TakeCategory("------zlog_get_category() failed------");
    if (uiResult == 0) zc_debug("------vexa_log_init_memory_log() successful finish------");
    return uiResult;
}

void vexa_log_fini(void)
{
    CStartLock lock;
    if (g_pCategory.exchange(nullptr) == nullptr) return;
    zlog_fini();
}

unsigned int TRACE(unsigned int uiLevel, const char *pszFormat, ...)
{
    zlog_category_t *pCategory = g_pCategory.load(std::memory_order_acquire);
    if (pCategory == nullptr) return LOG_ERR_NOT_INITIALISED;
    if (pszFormat == nullptr) return LOG_ERR_BAD_ARGUMENT;

    char *pszMessage = static_cast<char *>(malloc(kFirstMessageSize));
    if (pszMessage == nullptr) return LOG_ERR_NO_MEMORY;
    va_list ap, apRetry;
    va_start(ap, pszFormat);
    va_copy(apRetry, ap);
    int n = vsnprintf(pszMessage, kFirstMessageSize, pszFormat, ap);
    if (n >= 0 && static_cast<size_t>(n) >= kFirstMessageSize) {
        char *pszLonger = static_cast<char *>(realloc(pszMessage, static_cast<size_t>(n) + 1));
        if (pszLonger == nullptr) n = -2;
        else {
            pszMessage = pszLonger;
            vsnprintf(pszMessage, static_cast<size_t>(n) + 1, pszFormat, apRetry);
        }
    }
    va_end(apRetry);
    va_end(ap);
    unsigned int uiResult = 0;
    if (n < 0) {
        /* an encoding error of the formatter, or no memory for the text */
        uiResult = LOG_ERR_NO_MEMORY;
    } else if (uiLevel >= kLevelCount) {
        uiResult = LOG_ERR_BAD_LEVEL;
    } else {
        const FacadeLevel &level = kLevels[uiLevel];
        zlog(pCategory, __FILE__, "TRACE", level.lLine, level.nZlogLevel, "%s", pszMessage);
    }
    free(pszMessage);
    return uiResult;
}

unsigned int TRACE_BINARY(unsigned int uiLevel, const void *pData, int nLen)
{
    zlog_category_t *pCategory = g_pCategory.load(std::memory_order_acquire);
    if (pCategory == nullptr) return 0;
    if (uiLevel >= kLevelCount) return LOG_ERR_BAD_LEVEL;
    if (pData == nullptr || nLen < 0) return LOG_ERR_BAD_ARGUMENT;
    const FacadeLevel &level = kLevels[uiLevel];
    hzlog(pCategory, __FILE__, "TRACE_BINARY", level.lLine + 10, level.nZlogLevel, pData,
          static_cast<size_t>(nLen));
    return 0;
}

}  // extern "C"
