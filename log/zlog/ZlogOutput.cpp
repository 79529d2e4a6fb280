#include "log/zlog/ZlogOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "log/zlog/ZlogDiag.h"
#include "log/zlog/ZlogIo.h"
#include "log/zlog/ZlogMemLog.h"

namespace brio_zlog {

CRotateLock::~CRotateLock()
{
    if (m_fd >= 0) close(m_fd);
}

bool CRotateLock::Open(std::string *)
{
    if (m_fd >= 0) return true;
    m_fd = open(m_strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    /* Without the file (another user's, say) rotations are still serialised
     * inside this process. */
    if (m_fd < 0) zc_error("open rotate lock file [%s] fail, errno[%d]", m_strPath.c_str(), errno);
    return true;
}

void CRotateLock::Lock()
{
    m_mutex.lock();
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (m_fd >= 0 && fcntl(m_fd, F_SETLKW, &fl) != 0 && errno == EINTR) {}
}

void CRotateLock::Unlock()
{
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    if (m_fd >= 0) fcntl(m_fd, F_SETLK, &fl);
    m_mutex.unlock();
}

namespace {

/* A file, static or named per record, rotated by size. */
class CFileOutput : public IZlogOutput {
public:
    CFileOutput(const ZlogRuleSpec &rule, const ZlogOutputContext &ctx) : m_rule(rule), m_ctx(ctx) {}
    ~CFileOutput() override
    {
        if (m_fd >= 0) close(m_fd);
    }

    bool Activate(std::string *pstrError) override
    {
        if (m_rule.ulMaxSize > 0 && (m_ctx.pRotateLock == nullptr || !m_ctx.pRotateLock->Open(pstrError)))
            return false;
        if (m_rule.pPathFormat) return true;
        m_fd = OpenLogFile(m_rule.strPath, m_ctx.filePerms);
        if (m_fd >= 0) return true;
        *pstrError = "cannot open log file [" + m_rule.strPath + "]: " + strerror(errno);
        return false;
    }

    int Write(const ZlogEvent &ev, const char *p, size_t n) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::string strPath = m_rule.strPath;
        int fd = m_rule.pPathFormat ? -1 : m_fd;
        if (m_rule.pPathFormat) {
            strPath.clear();
            m_rule.pPathFormat->Append(ev, strPath);
            if (strPath.empty() || strPath.size() > kMaxRulePath) return -1;
        }
        if (fd < 0) fd = OpenLogFile(strPath, m_ctx.filePerms);
        if (fd < 0) {
            zc_error("open file[%s] fail, errno[%d]", strPath.c_str(), errno);
            return -1;
        }
        if (m_rule.ulMaxSize > 0) fd = Rotate(strPath, fd, n);
        int nErr = fd < 0 ? errno : WriteAll(fd, p, n, nullptr);
        if (nErr == 0 && m_ctx.ulFsyncPeriod > 0 && ++m_ulWrites >= m_ctx.ulFsyncPeriod) {
            m_ulWrites = 0;
            fsync(fd);
        }
        if (m_rule.pPathFormat && fd >= 0) close(fd);
        else m_fd = fd;
        if (nErr == 0) return 0;
        zc_error("write file[%s] fail, errno[%d]", strPath.c_str(), nErr);
        return -1;
    }

private:
    std::string ArchiveName(const std::string &strPath, long lIndex) const
    {
        std::string strArchive = m_rule.strArchive.empty() ? strPath + ".#r" : m_rule.strArchive;
        size_t h = strArchive.find('#');
        size_t r = strArchive.find('r', h);
        int nWidth = r > h + 1 ? strArchive[h + 1] - '0' : 0;
        char szIndex[32];
        snprintf(szIndex, sizeof szIndex, "%0*ld", nWidth, lIndex);
        return strArchive.substr(0, h) + szIndex + strArchive.substr(r + 1);
    }

    /* Before a write that would take the file beyond its size: archives
     * shift up by one ("#r" 0 is the newest), the file becomes archive 0 and
     * a new file is opened.  Returns the descriptor to write to. */
    int Rotate(const std::string &strPath, int fd, size_t n)
    {
        struct stat stFd;
        if (fstat(fd, &stFd) != 0 || stFd.st_size == 0 ||
            static_cast<size_t>(stFd.st_size) + n <= m_rule.ulMaxSize)
            return fd;
        m_ctx.pRotateLock->Lock();
        struct stat stPath;
        bool bSameFile = stat(strPath.c_str(), &stPath) == 0 && stPath.st_ino == stFd.st_ino &&
                         stPath.st_dev == stFd.st_dev;
        if (bSameFile) {
            long lLast = m_rule.lMaxCount - 1;
            if (m_rule.lMaxCount == 0) {
                struct stat st;
                lLast = 0;
                while (stat(ArchiveName(strPath, lLast).c_str(), &st) == 0) ++lLast;
            } else {
                unlink(ArchiveName(strPath, lLast).c_str());
            }
            for (long i = lLast - 1; i >= 0; --i)
                rename(ArchiveName(strPath, i).c_str(), ArchiveName(strPath, i + 1).c_str());
            if (rename(strPath.c_str(), ArchiveName(strPath, 0).c_str()) != 0)
                zc_error("rotate [%s] fail, errno[%d]", strPath.c_str(), errno);
        }
        /* Another process may have rotated it already: write to the new file. */
        close(fd);
        fd = OpenLogFile(strPath, m_ctx.filePerms);
        m_ctx.pRotateLock->Unlock();
        return fd;
    }

    ZlogRuleSpec m_rule;
    ZlogOutputContext m_ctx;
    std::mutex m_mutex;
    int m_fd = -1;
    size_t m_ulWrites = 0;
};

class CStreamOutput : public IZlogOutput {
public:
    explicit CStreamOutput(int fd) : m_fd(fd) {}
    bool Activate(std::string *) override { return true; }
    int Write(const ZlogEvent &, const char *p, size_t n) override
    {
        return WriteAll(m_fd, p, n, nullptr) == 0 ? 0 : -1;
    }

private:
    int m_fd;
};

class CSyslogOutput : public IZlogOutput {
public:
    explicit CSyslogOutput(int nFacility) : m_nFacility(nFacility) {}
    bool Activate(std::string *) override { return true; }
    int Write(const ZlogEvent &ev, const char *p, size_t n) override
    {
        int nPriority = ev.pLevel ? ev.pLevel->nSyslogLevel : LOG_ERR;
        syslog(m_nFacility | nPriority, "%.*s", static_cast<int>(n > 0x7fffffff ? 0x7fffffff : n), p);
        return 0;
    }

private:
    int m_nFacility;
};

}  // namespace

std::unique_ptr<IZlogOutput> MakeOutput(const ZlogRuleSpec &rule, const ZlogOutputContext &ctx)
{
    switch (rule.eOutput) {
    case OutputKind::File: return std::unique_ptr<IZlogOutput>(new CFileOutput(rule, ctx));
    case OutputKind::Stdout: return std::unique_ptr<IZlogOutput>(new CStreamOutput(STDOUT_FILENO));
    case OutputKind::Stderr: return std::unique_ptr<IZlogOutput>(new CStreamOutput(STDERR_FILENO));
    case OutputKind::Syslog: return std::unique_ptr<IZlogOutput>(new CSyslogOutput(rule.nSyslogFacility));
    case OutputKind::MemLog: return MakeMemLogOutput(rule.strPath, ctx.filePerms);
    }
    return nullptr;
}

}  // namespace brio_zlog
