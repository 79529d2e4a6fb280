/* The backend's own diagnostics.  Written only when ZLOG_PROFILE_DEBUG or
 * ZLOG_PROFILE_ERROR name files (debug lines go to the first, errors to
 * both), so a running program never sees them otherwise. */
#ifndef BRIO_LOG_ZLOG_DIAG_H
#define BRIO_LOG_ZLOG_DIAG_H

namespace brio_zlog {

void DiagDebug(const char *pszFile, int nLine, const char *pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void DiagError(const char *pszFile, int nLine, const char *pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace brio_zlog

#define zc_debug(...) ::brio_zlog::DiagDebug(__FILE__, __LINE__, __VA_ARGS__)
#define zc_error(...) ::brio_zlog::DiagError(__FILE__, __LINE__, __VA_ARGS__)

#endif
