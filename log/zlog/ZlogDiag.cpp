#include "log/zlog/ZlogDiag.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "log/zlog/ZlogIo.h"

namespace brio_zlog {

namespace {

void Write(const char *pszVariable, const char *pszKind, const char *pszFile, int nLine,
           const char *pszFormat, va_list ap)
{
    const char *pszPath = getenv(pszVariable);
    if (pszPath == nullptr || pszPath[0] == '\0') return;
    char szLine[2048];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    const char *pszBase = strrchr(pszFile, '/');
    int n = snprintf(szLine, sizeof szLine, "%02d:%02d:%02d %s (%ld:%s:%d) ", tm.tm_hour, tm.tm_min,
                     tm.tm_sec, pszKind, static_cast<long>(getpid()), pszBase ? pszBase + 1 : pszFile,
                     nLine);
    if (n < 0 || static_cast<size_t>(n) >= sizeof szLine) return;
    int m = vsnprintf(szLine + n, sizeof szLine - n, pszFormat, ap);
    if (m < 0) return;
    size_t len = strlen(szLine);
    if (len >= sizeof szLine - 1) len = sizeof szLine - 2;
    szLine[len++] = '\n';
    int fd = OpenLogFile(pszPath, 0600);
    if (fd < 0) return;
    WriteAll(fd, szLine, len, nullptr);
    close(fd);
}

}  // namespace

void DiagDebug(const char *pszFile, int nLine, const char *pszFormat, ...)
{
    va_list ap;
    va_start(ap, pszFormat);
    Write("ZLOG_PROFILE_DEBUG", "DEBUG", pszFile, nLine, pszFormat, ap);
    va_end(ap);
}

void DiagError(const char *pszFile, int nLine, const char *pszFormat, ...)
{
    va_list ap, ap2;
    va_start(ap, pszFormat);
    va_copy(ap2, ap);
    Write("ZLOG_PROFILE_ERROR", "ERROR", pszFile, nLine, pszFormat, ap);
    Write("ZLOG_PROFILE_DEBUG", "ERROR", pszFile, nLine, pszFormat, ap2);
    va_end(ap2);
    va_end(ap);
}

}  // namespace brio_zlog
