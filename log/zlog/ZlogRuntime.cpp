#include "log/zlog/ZlogRuntime.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "log/zlog/ZlogConf.h"
#include "log/zlog/ZlogDiag.h"
#include "log/zlog/ZlogHexDump.h"
#include "log/zlog/ZlogOutput.h"

namespace brio_zlog {

namespace {

struct CRuleInstance {
    ZlogRuleSpec spec;
    std::unique_ptr<IZlogOutput> pOutput;
};

/* One built configuration with its outputs. */
struct CRuntime {
    ZlogConfPtr pConf;
    std::unique_ptr<CRotateLock> pRotateLock;
    std::vector<std::unique_ptr<CRuleInstance>> vecRules;
};

}  // namespace

struct zlog_category_t {
    std::string strName;
    std::vector<CRuleInstance *> vecRules;
};

namespace {

/* Process-wide state.  Nothing here has a destructor: a library unloaded or
 * a process exiting while other threads still log must not tear it down
 * under them.  Categories are freed only at the library's end (zlog_end),
 * so a category pointer held by a logging thread stays valid across stop
 * and restart; a logging call looks at its category only after finding the
 * log started. */
pthread_rwlock_t g_lock = PTHREAD_RWLOCK_INITIALIZER;
bool g_bInited = false;
CRuntime *g_pRuntime = nullptr;
std::vector<zlog_category_t *> *g_pCategories = nullptr;
unsigned long g_ulVersion = 0;
const size_t kMemRuleSize = 512;
char g_szMemRule[kMemRuleSize];
std::atomic<long> g_lBufferCount{0};
std::atomic<size_t> g_ulLogCount{0};

class CLock {
public:
    explicit CLock(bool bWrite) { bWrite ? pthread_rwlock_wrlock(&g_lock) : pthread_rwlock_rdlock(&g_lock); }
    ~CLock() { pthread_rwlock_unlock(&g_lock); }
    CLock(const CLock &) = delete;
    CLock &operator=(const CLock &) = delete;
};

/* Per-thread buffers.  Every buffer is on one list, so that the end of the
 * library (zlog_end) can free those of threads that live on; the main
 * thread's stay usable through the process's exit, up to the library's end.
 *
 * A thread other than the main one frees its buffers at its end, in the
 * destructor of a thread_local object (CThreadEnd), not in a thread key's
 * destructor: the C library counts the pending thread_local destructors of
 * each image and does not unmap an image while one of them is registered
 * or still running (it lets the count go only after the destructor has
 * returned), whichever thread unloads it.  A key's destructor has no such
 * guard: pthread_key_delete cannot stop one that has begun, and an unload
 * meanwhile would leave the ending thread in code that is gone.  So an
 * image whose threads are ending, or live on with buffers, stays loaded
 * until their ends have run (then until the process's exit).  The main
 * thread registers no destructor, as its end is the process's exit (or a
 * pthread_exit after which its buffers wait for the library's end): a
 * library only the main thread logged through still really unloads.
 *
 * Once the image's end has begun (zlog_end_begins), and in a thread whose
 * end has run, a record is made in buffers of its own, freed with it: no
 * destructor is registered in an image being unloaded. */
struct CThreadBuffers {
    std::string strMessage;
    std::string strRecord;
    unsigned long ulVersion = 0;
    CThreadBuffers *pPrev = nullptr;
    CThreadBuffers *pNext = nullptr;
};

/* Guards the list. */
std::mutex g_buffersLock;
CThreadBuffers *g_pBufferList = nullptr;
/* Counts the library's ends: a thread's buffers from before the last end
 * were freed by it. */
std::atomic<unsigned long> g_ulEra{0};
std::atomic<bool> g_bEnding{false};
thread_local CThreadBuffers *t_pBuffers = nullptr;
thread_local unsigned long t_ulBuffersEra = 0;
thread_local bool t_bThreadEnded = false;

/* Under g_buffersLock: takes p off the list and frees it. */
void FreeListedBuffers(CThreadBuffers *p)
{
    if (p->pPrev != nullptr) p->pPrev->pNext = p->pNext;
    else g_pBufferList = p->pNext;
    if (p->pNext != nullptr) p->pNext->pPrev = p->pPrev;
    delete p;
    long n = g_lBufferCount.load();
    while (n > 0 && !g_lBufferCount.compare_exchange_weak(n, n - 1)) {}
}

/* Frees the calling thread's buffers, unless the library's end freed them
 * already. */
void ReleaseOwnBuffers()
{
    CThreadBuffers *p = t_pBuffers;
    t_pBuffers = nullptr;
    if (p == nullptr) return;
    std::lock_guard<std::mutex> lock(g_buffersLock);
    if (t_ulBuffersEra == g_ulEra.load()) FreeListedBuffers(p);
}

/* A thread other than the main one ends. */
void zlog_thread_clean()
{
    t_bThreadEnded = true;
    ReleaseOwnBuffers();
}

struct CThreadEnd {
    CThreadEnd() = default;
    ~CThreadEnd() { zlog_thread_clean(); }
    CThreadEnd(const CThreadEnd &) = delete;
    CThreadEnd &operator=(const CThreadEnd &) = delete;
};

bool IsMainThread() { return gettid() == getpid(); }

/* Called with no lock of the log held: the registration takes the loader's
 * lock, which an unload holds while its finalisers log. */
void RegisterThreadEnd()
{
    if (IsMainThread()) return;
    thread_local CThreadEnd t_end;
    (void)t_end;
}

/* Under g_lock (for reading at least).  The thread's buffers, or pLocal
 * (emptied) where the thread keeps none; *pbNew: the thread's buffers were
 * made in this call. */
CThreadBuffers *FetchThreadBuffers(const ZlogConf &conf, CThreadBuffers *pLocal, bool *pbNew)
{
    CThreadBuffers *p = t_pBuffers;
    if (p != nullptr && t_ulBuffersEra != g_ulEra.load()) p = t_pBuffers = nullptr;
    if (p == nullptr && (t_bThreadEnded || g_bEnding.load())) p = pLocal;
    if (p == nullptr) {
        p = new (std::nothrow) CThreadBuffers;
        if (p == nullptr) return nullptr;
        std::lock_guard<std::mutex> lock(g_buffersLock);
        p->pNext = g_pBufferList;
        if (g_pBufferList != nullptr) g_pBufferList->pPrev = p;
        g_pBufferList = p;
        g_lBufferCount.fetch_add(1);
        t_pBuffers = p;
        t_ulBuffersEra = g_ulEra.load();
        *pbNew = true;
    }
    if (p->ulVersion != g_ulVersion) {
        p->strMessage.clear();
        p->strMessage.shrink_to_fit();
        p->strMessage.reserve(conf.ulBufMin);
        p->strRecord.clear();
        p->strRecord.shrink_to_fit();
        p->strRecord.reserve(conf.ulBufMin);
        p->ulVersion = g_ulVersion;
    }
    return p;
}

void BindCategory(zlog_category_t *pCategory)
{
    pCategory->vecRules.clear();
    if (g_pRuntime == nullptr) return;
    for (auto &pRule : g_pRuntime->vecRules)
        if (CategoryMatches(pRule->spec.strCategory, pCategory->strName))
            pCategory->vecRules.push_back(pRule.get());
    if (!pCategory->vecRules.empty()) return;
    for (auto &pRule : g_pRuntime->vecRules)
        if (pRule->spec.strCategory == "!") pCategory->vecRules.push_back(pRule.get());
}

/* Builds the outputs of a configuration.  Files are opened first; the
 * memory-log files are emptied and their directories made only when
 * everything else has succeeded, so a failed start or reload changes
 * nothing. */
std::unique_ptr<CRuntime> BuildRuntime(const ZlogConfPtr &pConf, std::string *pstrError)
{
    std::unique_ptr<CRuntime> pRuntime(new CRuntime);
    pRuntime->pConf = pConf;
    pRuntime->pRotateLock.reset(new CRotateLock(pConf->strRotateLockFile));
    ZlogOutputContext ctx;
    ctx.filePerms = pConf->filePerms;
    ctx.ulFsyncPeriod = pConf->ulFsyncPeriod;
    ctx.pRotateLock = pRuntime->pRotateLock.get();
    for (const std::string &strSkipped : pConf->vecSkipped) zc_error("%s, ignored", strSkipped.c_str());
    for (const ZlogRuleSpec &spec : pConf->vecRules) {
        std::unique_ptr<CRuleInstance> pRule(new CRuleInstance);
        pRule->spec = spec;
        pRule->pOutput = MakeOutput(spec, ctx);
        if (spec.eOutput != OutputKind::MemLog) {
            std::string strError;
            if (!pRule->pOutput->Activate(&strError)) {
                if (pConf->bStrictInit) {
                    *pstrError = "rule [" + spec.strText + "]: " + strError;
                    return nullptr;
                }
                zc_error("rule [%s]: %s, ignored", spec.strText.c_str(), strError.c_str());
                continue;
            }
        }
        pRuntime->vecRules.push_back(std::move(pRule));
    }
    for (auto &pRule : pRuntime->vecRules) {
        std::string strIgnored;
        if (pRule->spec.eOutput == OutputKind::MemLog) pRule->pOutput->Activate(&strIgnored);
    }
    return pRuntime;
}

/* Under the write lock: takes a built runtime into use. */
void Install(std::unique_ptr<CRuntime> pRuntime)
{
    delete g_pRuntime;
    g_pRuntime = pRuntime.release();
    g_bInited = g_pRuntime != nullptr;
    ++g_ulVersion;
    if (g_pCategories != nullptr)
        for (zlog_category_t *pCategory : *g_pCategories) BindCategory(pCategory);
}

int InitWithConf(const ZlogConfPtr &pConf, const std::string &strConfError, const char *pszWhat)
{
    std::string strError = strConfError;
    std::unique_ptr<CRuntime> pRuntime;
    if (pConf) pRuntime = BuildRuntime(pConf, &strError);
    if (!pRuntime) {
        zc_error("%s", strError.c_str());
        zc_error("%s fail", pszWhat);
        return -1;
    }
    Install(std::move(pRuntime));
    return 0;
}

/* What a record's message is made of: a printf format with its arguments,
 * or bytes to dump. */
struct CMessageSource {
    const char *pszFormat = nullptr;
    va_list *pArgs = nullptr;
    const void *pHex = nullptr;
    size_t ulHexLen = 0;
};

/* Formats the message once, sized from the formatter's own count; false on
 * an encoding error. */
bool MakeMessage(const CMessageSource &src, const ZlogConf &conf, std::string &strMessage)
{
    size_t ulMax = conf.ulBufMax;
    if (src.pszFormat == nullptr) {
        strMessage.clear();
        AppendHexDump(strMessage, src.pHex, src.ulHexLen, ulMax);
    } else {
        va_list ap2;
        va_copy(ap2, *src.pArgs);
        strMessage.resize(strMessage.capacity() > conf.ulBufMin ? strMessage.capacity() : conf.ulBufMin);
        int n = vsnprintf(&strMessage[0], strMessage.size(), src.pszFormat, *src.pArgs);
        if (n >= 0 && static_cast<size_t>(n) >= strMessage.size()) {
            size_t ulNeed = static_cast<size_t>(n) + 1;
            if (ulMax != 0 && ulNeed > ulMax) ulNeed = ulMax;
            strMessage.resize(ulNeed);
            vsnprintf(&strMessage[0], strMessage.size(), src.pszFormat, ap2);
        }
        va_end(ap2);
        if (n < 0) {
            zc_error("vsnprintf fail, format[%s]", src.pszFormat);
            return false;
        }
        strMessage.resize(static_cast<size_t>(n) < strMessage.size() ? static_cast<size_t>(n)
                                                                     : strMessage.size() - 1);
    }
    if (ulMax != 0 && strMessage.size() > ulMax) strMessage.resize(ulMax);
    return true;
}

/* Under the read lock: writes the record; true when the configuration is
 * due to be reloaded.  pLocal: buffers for a thread that keeps none;
 * *pbNewBuffers: the thread's buffers were made. */
bool WriteLocked(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
                 const CMessageSource &src, CThreadBuffers *pLocal, bool *pbNewBuffers)
{
    if (!g_bInited) return false;
    bool bWanted = false;
    for (CRuleInstance *pRule : pCategory->vecRules)
        bWanted = bWanted || LevelMatches(pRule->spec.eLevelOp, pRule->spec.nLevel, nLevel);
    if (!bWanted) return false;
    const ZlogConf &conf = *g_pRuntime->pConf;
    CThreadBuffers *pBuffers = FetchThreadBuffers(conf, pLocal, pbNewBuffers);
    if (pBuffers == nullptr) return false;
    std::string &strMessage = pBuffers->strMessage;
    if (!MakeMessage(src, conf, strMessage)) return false;
    size_t ulMax = conf.ulBufMax;

    ZlogEvent ev;
    StampEvent(&ev);
    ev.pszCategory = pCategory->strName.c_str();
    ev.nLevel = nLevel;
    ev.pLevel = &conf.levels.Get(nLevel);
    ev.pszFile = pszFile ? pszFile : "";
    ev.pszFunc = pszFunc ? pszFunc : "";
    ev.lLine = lLine;
    ev.pMessage = strMessage.data();
    ev.ulMessageLen = strMessage.size();
    std::string &strRecord = pBuffers->strRecord;
    for (CRuleInstance *pRule : pCategory->vecRules) {
        if (!LevelMatches(pRule->spec.eLevelOp, pRule->spec.nLevel, nLevel)) continue;
        strRecord.clear();
        pRule->spec.pFormat->Append(ev, strRecord);
        if (ulMax != 0 && strRecord.size() > ulMax) {
            bool bNewline = strRecord.back() == '\n';
            strRecord.resize(ulMax);
            if (bNewline) strRecord.back() = '\n';
        }
        if (pRule->pOutput->Write(ev, strRecord.data(), strRecord.size()) != 0)
            zc_error("output of rule [%s] fail", pRule->spec.strText.c_str());
    }
    if (conf.ulReloadPeriod != 0 && g_ulLogCount.fetch_add(1) + 1 >= conf.ulReloadPeriod) {
        g_ulLogCount.store(0);
        return true;
    }
    return false;
}

void Write(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const CMessageSource &src)
{
    bool bNewBuffers = false;
    bool bReload;
    {
        CThreadBuffers local;
        CLock lock(false);
        bReload = WriteLocked(pCategory, pszFile, pszFunc, lLine, nLevel, src, &local, &bNewBuffers);
    }
    if (bNewBuffers) RegisterThreadEnd();
    if (bReload) zlog_reload(nullptr);
}

}  // namespace

int zlog_init(const char *pszConfPath)
{
    zc_debug("------zlog_init start------");
    CLock lock(true);
    if (g_bInited) {
        zc_error("already init, use zlog_reload pls");
        return -1;
    }
    std::string strError;
    ZlogConfPtr pConf = zlog_conf_new(pszConfPath, &strError);
    return InitWithConf(pConf, strError, "zlog_init_inner");
}

int zlog_init_memory_log(const char *pszLevelName, const char *pszPath)
{
    CLock lock(true);
    if (g_bInited) {
        zc_error("already init, use zlog_reload pls");
        return -1;
    }
    int n = snprintf(g_szMemRule, sizeof g_szMemRule, "vexa_category.%s  >memlog:%s",
                     pszLevelName ? pszLevelName : "", pszPath ? pszPath : "");
    std::string strError = "the rule does not fit 512 bytes";
    ZlogConfPtr pConf;
    if (n > 0 && static_cast<size_t>(n) < sizeof g_szMemRule) pConf = zlog_conf_new_with_rule(g_szMemRule, &strError);
    char szWhat[kMemRuleSize + 64];
    snprintf(szWhat, sizeof szWhat, "zlog_init_inner_with_rule[%s]", g_szMemRule);
    int nResult = InitWithConf(pConf, strError, szWhat);
    /* A failed start leaves no rule behind for the next one. */
    if (nResult != 0) g_szMemRule[0] = '\0';
    return nResult;
}

int zlog_reload(const char *pszConfPath)
{
    CLock lock(true);
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
        return -1;
    }
    std::string strError;
    ZlogConfPtr pConf;
    if (g_szMemRule[0] != '\0') {
        pConf = zlog_conf_new_with_rule(g_szMemRule, &strError);
        if (!pConf) zc_error("zlog_conf_new_with_rule fail");
    } else if (pszConfPath != nullptr && pszConfPath[0] != '\0') {
        pConf = ZlogConfFromFile(pszConfPath, &strError);
    } else if (!g_pRuntime->pConf->strFile.empty()) {
        pConf = ZlogConfFromFile(g_pRuntime->pConf->strFile, &strError);
    } else {
        pConf = zlog_conf_new_with_rule(nullptr, &strError);
    }
    if (InitWithConf(pConf, strError, "zlog_reload") != 0) {
        zc_error("zlog_reload fail, use old conf file, still working");
        return -1;
    }
    return 0;
}

void zlog_fini(void)
{
    {
        CLock lock(true);
        g_szMemRule[0] = '\0';
        if (!g_bInited) {
            zc_error("before finish, must zlog_init() or dzlog_init() first");
            return;
        }
        Install(nullptr);
    }
    zlog_clean_rest_thread();
}

zlog_category_t *zlog_get_category(const char *pszName)
{
    if (pszName == nullptr || pszName[0] == '\0') return nullptr;
    CLock lock(true);
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
        return nullptr;
    }
    if (g_pCategories == nullptr) g_pCategories = new std::vector<zlog_category_t *>();
    for (zlog_category_t *pCategory : *g_pCategories)
        if (pCategory->strName == pszName) return pCategory;
    zlog_category_t *pCategory = new zlog_category_t;
    pCategory->strName = pszName;
    BindCategory(pCategory);
    g_pCategories->push_back(pCategory);
    return pCategory;
}

void vzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const char *pszFormat, va_list ap)
{
    if (pCategory == nullptr || pszFormat == nullptr) return;
    CMessageSource src;
    va_list apCopy;
    va_copy(apCopy, ap);
    src.pszFormat = pszFormat;
    src.pArgs = &apCopy;
    Write(pCategory, pszFile, pszFunc, lLine, nLevel, src);
    va_end(apCopy);
}

void zlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
          const char *pszFormat, ...)
{
    va_list ap;
    va_start(ap, pszFormat);
    vzlog(pCategory, pszFile, pszFunc, lLine, nLevel, pszFormat, ap);
    va_end(ap);
}

void hzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const void *pBuf, size_t ulLen)
{
    if (pCategory == nullptr || pBuf == nullptr) return;
    CMessageSource src;
    src.pHex = pBuf;
    src.ulHexLen = ulLen;
    Write(pCategory, pszFile, pszFunc, lLine, nLevel, src);
}

void zlog_clean_rest_thread(void) { ReleaseOwnBuffers(); }

void zlog_end_begins(void) { g_bEnding.store(true); }

void zlog_end(void)
{
    CLock lock(true);
    if (g_bInited) return;
    if (g_pCategories != nullptr) {
        for (zlog_category_t *pCategory : *g_pCategories) delete pCategory;
        delete g_pCategories;
        g_pCategories = nullptr;
    }
    std::lock_guard<std::mutex> buffersLock(g_buffersLock);
    while (g_pBufferList != nullptr) {
        CThreadBuffers *p = g_pBufferList;
        g_pBufferList = p->pNext;
        delete p;
    }
    g_lBufferCount.store(0);
    g_ulEra.fetch_add(1);
    g_bEnding.store(false);
}

long zlog_thread_buffer_count(void) { return g_lBufferCount.load(); }

bool zlog_is_started(void)
{
    CLock lock(false);
    return g_bInited;
}

}  // namespace brio_zlog
