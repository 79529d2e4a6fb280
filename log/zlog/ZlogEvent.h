/* One record on its way through the rules: where it comes from, its level,
 * its message text and the moment it was made. */
#ifndef BRIO_LOG_ZLOG_EVENT_H
#define BRIO_LOG_ZLOG_EVENT_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#include "log/zlog/ZlogLevel.h"

namespace brio_zlog {

struct ZlogEvent {
    const char *pszCategory = "";
    int nLevel = 0;
    const ZlogLevel *pLevel = nullptr;
    const char *pszFile = "";
    const char *pszFunc = "";
    long lLine = 0;
    const char *pMessage = ""; /* formatted message, or the hex-dump text */
    size_t ulMessageLen = 0;
    struct timespec tsNow = {0, 0};
    pid_t pid = 0;
    pthread_t tid = 0;

    /* Local time of tsNow, computed once for all conversions. */
    const struct tm &LocalTime() const;

private:
    mutable bool m_bHaveTm = false;
    mutable struct tm m_tm = {};
};

/* Fills the time, process and thread fields for a record made now. */
void StampEvent(ZlogEvent *pEvent);

}  // namespace brio_zlog

#endif
