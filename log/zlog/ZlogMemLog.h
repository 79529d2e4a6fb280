/* The ">memlog:PATH" output: the latest records stay in two 32 KiB buffers
 * and go to the file only when an ERROR record arrives, so the file holds the
 * lines that led up to each error.  Every file path has its own buffer pair,
 * kept for the life of the process. */
#ifndef BRIO_LOG_ZLOG_MEMLOG_H
#define BRIO_LOG_ZLOG_MEMLOG_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "log/zlog/ZlogOutput.h"

namespace brio_zlog {

const size_t kMemLogBufferSize = 32768;

class CMemLogBuffers {
public:
    /* The buffer pair of a file path, made on first use. */
    static CMemLogBuffers *ForPath(const std::string &strPath);

    /* Keeps one record; at an ERROR record writes the previous and the
     * current buffer to the file and empties them.  0 or -1. */
    int Append(const char *p, size_t n, bool bFlush, mode_t nPerms);

    size_t CurrentLength();
    size_t PreviousLength();
    void Clear();

private:
    explicit CMemLogBuffers(const std::string &strPath) : m_strPath(strPath) {}
    int FlushLocked(mode_t nPerms);

    std::string m_strPath;
    pthread_rwlock_t m_lock = PTHREAD_RWLOCK_INITIALIZER;
    size_t m_ulCurrent = 0;
    size_t m_ulPrevious = 0;
    char m_abCurrent[kMemLogBufferSize];
    char m_abPrevious[kMemLogBufferSize];
};

std::unique_ptr<IZlogOutput> MakeMemLogOutput(const std::string &strPath, mode_t nPerms);

}  // namespace brio_zlog

#endif
