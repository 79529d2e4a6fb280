#include "log/zlog/ZlogMemLog.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "log/zlog/ZlogDiag.h"
#include "log/zlog/ZlogIo.h"

namespace brio_zlog {

namespace {

/* Buffer pairs by path; never freed, so no teardown can race a writer. */
pthread_mutex_t g_registryLock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, CMemLogBuffers *> *g_pRegistry = nullptr;

class CWriteLock {
public:
    explicit CWriteLock(pthread_rwlock_t *p) : m_p(p) { pthread_rwlock_wrlock(m_p); }
    ~CWriteLock() { pthread_rwlock_unlock(m_p); }
    CWriteLock(const CWriteLock &) = delete;
    CWriteLock &operator=(const CWriteLock &) = delete;

private:
    pthread_rwlock_t *m_p;
};

class CMemLogOutput : public IZlogOutput {
public:
    CMemLogOutput(const std::string &strPath, mode_t nPerms)
        : m_strPath(strPath), m_nPerms(nPerms), m_pBuffers(CMemLogBuffers::ForPath(strPath))
    {
    }

    /* Every start and reload empties the file. */
    bool Activate(std::string *) override
    {
        if (m_strPath.empty()) return true;
        if (!MakeParentDirs(m_strPath)) zc_error("mkdirs for [%s] fail, errno[%d]", m_strPath.c_str(), errno);
        int fd = open(m_strPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return true;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && ftruncate(fd, 0) != 0)
            zc_error("truncate [%s] fail, errno[%d]", m_strPath.c_str(), errno);
        close(fd);
        return true;
    }

    int Write(const ZlogEvent &ev, const char *p, size_t n) override
    {
        return m_pBuffers->Append(p, n, ev.nLevel == ZLOG_LEVEL_ERROR, m_nPerms);
    }

private:
    std::string m_strPath;
    mode_t m_nPerms;
    CMemLogBuffers *m_pBuffers;
};

}  // namespace

CMemLogBuffers *CMemLogBuffers::ForPath(const std::string &strPath)
{
    pthread_mutex_lock(&g_registryLock);
    if (g_pRegistry == nullptr) g_pRegistry = new std::map<std::string, CMemLogBuffers *>();
    CMemLogBuffers *&pBuffers = (*g_pRegistry)[strPath];
    if (pBuffers == nullptr) pBuffers = new CMemLogBuffers(strPath);
    CMemLogBuffers *pResult = pBuffers;
    pthread_mutex_unlock(&g_registryLock);
    return pResult;
}

int CMemLogBuffers::Append(const char *p, size_t n, bool bFlush, mode_t nPerms)
{
    CWriteLock lock(&m_lock);
    /* A record longer than a buffer keeps its first 32768 bytes. */
    if (n > kMemLogBufferSize) n = kMemLogBufferSize;
    if (n > kMemLogBufferSize - m_ulCurrent) {
        memcpy(m_abPrevious, m_abCurrent, m_ulCurrent);
        m_ulPrevious = m_ulCurrent;
        m_ulCurrent = 0;
    }
    memcpy(m_abCurrent + m_ulCurrent, p, n);
    m_ulCurrent += n;
    return bFlush ? FlushLocked(nPerms) : 0;
}

int CMemLogBuffers::FlushLocked(mode_t nPerms)
{
    int fd = OpenLogFile(m_strPath, nPerms);
    if (fd < 0) {
        zc_error("open file[%s] fail, errno[%d]", m_strPath.c_str(), errno);
        return -1;
    }
    size_t ulWritten = 0;
    int nErr = WriteAll(fd, m_abPrevious, m_ulPrevious, &ulWritten);
    if (nErr == 0) {
        size_t ulCurrentWritten = 0;
        nErr = WriteAll(fd, m_abCurrent, m_ulCurrent, &ulCurrentWritten);
        ulWritten += ulCurrentWritten;
    }
    /* What reached the file leaves the buffers, so a later flush neither
     * repeats it nor loses the rest. */
    size_t ulFromPrevious = ulWritten < m_ulPrevious ? ulWritten : m_ulPrevious;
    memmove(m_abPrevious, m_abPrevious + ulFromPrevious, m_ulPrevious - ulFromPrevious);
    m_ulPrevious -= ulFromPrevious;
    size_t ulFromCurrent = ulWritten - ulFromPrevious;
    memmove(m_abCurrent, m_abCurrent + ulFromCurrent, m_ulCurrent - ulFromCurrent);
    m_ulCurrent -= ulFromCurrent;
    if (nErr != 0) {
        zc_error("write fail, errno[%d]", nErr);
        close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        zc_error("write fail, maybe cause by write, errno[%d]", errno);
        return -1;
    }
    return 0;
}

size_t CMemLogBuffers::CurrentLength()
{
    CWriteLock lock(&m_lock);
    return m_ulCurrent;
}

size_t CMemLogBuffers::PreviousLength()
{
    CWriteLock lock(&m_lock);
    return m_ulPrevious;
}

void CMemLogBuffers::Clear()
{
    CWriteLock lock(&m_lock);
    m_ulCurrent = m_ulPrevious = 0;
}

std::unique_ptr<IZlogOutput> MakeMemLogOutput(const std::string &strPath, mode_t nPerms)
{
    return std::unique_ptr<IZlogOutput>(new CMemLogOutput(strPath, nPerms));
}

}  // namespace brio_zlog
