/* Where a rule's records go: a file (static or per-record path, with size
 * rotation), stdout, stderr, syslog, or the memory log. */
#ifndef BRIO_LOG_ZLOG_OUTPUT_H
#define BRIO_LOG_ZLOG_OUTPUT_H

#include <stddef.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "log/zlog/ZlogEvent.h"
#include "log/zlog/ZlogRule.h"

namespace brio_zlog {

/* Serialises rotations: in the process by a mutex, between processes by a
 * lock on the configuration's rotate lock file. */
class CRotateLock {
public:
    explicit CRotateLock(const std::string &strPath) : m_strPath(strPath) {}
    ~CRotateLock();
    CRotateLock(const CRotateLock &) = delete;
    CRotateLock &operator=(const CRotateLock &) = delete;
    bool Open(std::string *pstrError);
    void Lock();
    void Unlock();

private:
    std::string m_strPath;
    int m_fd = -1;
    std::mutex m_mutex;
};

struct ZlogOutputContext {
    mode_t filePerms = 0600;
    size_t ulFsyncPeriod = 0;
    CRotateLock *pRotateLock = nullptr;
};

class IZlogOutput {
public:
    virtual ~IZlogOutput() = default;
    /* Side effects of taking the output into use (opening, creating,
     * truncating); run only once the whole configuration is built. */
    virtual bool Activate(std::string *pstrError) = 0;
    /* 0 or -1. */
    virtual int Write(const ZlogEvent &ev, const char *p, size_t n) = 0;
};

std::unique_ptr<IZlogOutput> MakeOutput(const ZlogRuleSpec &rule, const ZlogOutputContext &ctx);

}  // namespace brio_zlog

#endif
