/* The running backend: start from a file or from one in-memory rule, reload,
 * stop, categories and the logging calls.  All names here are internal to
 * the middleware (none leaves the shared library). */
#ifndef BRIO_LOG_ZLOG_RUNTIME_H
#define BRIO_LOG_ZLOG_RUNTIME_H

#include <stdarg.h>
#include <stddef.h>

namespace brio_zlog {

struct zlog_category_t;

/* File start; a null or empty path takes VEXA_LOG_CONF_PATH.  0 or -1. */
int zlog_init(const char *pszConfPath);
/* Start from the rule "vexa_category.LEVEL  >memlog:PATH".  0 or -1. */
int zlog_init_memory_log(const char *pszLevelName, const char *pszPath);
/* Rebuilds from the in-memory rule when there is one, else from the given
 * file (null: the file of the running configuration).  On failure the old
 * configuration stays.  0 or -1. */
int zlog_reload(const char *pszConfPath);
/* Stops; safe when not started. */
void zlog_fini(void);

/* Categories live for the process; null when not started or the name is
 * empty. */
zlog_category_t *zlog_get_category(const char *pszName);

void zlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
          const char *pszFormat, ...) __attribute__((format(printf, 6, 7)));
void vzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const char *pszFormat, va_list ap) __attribute__((format(printf, 6, 0)));
void hzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const void *pBuf, size_t ulLen);

/* Releases the calling thread's buffers (also run when a thread ends). */
void zlog_clean_rest_thread(void);
/* While on, a calling thread that holds no buffers yet writes through
 * buffers of each call instead of taking its own, and stopping the log
 * leaves it without any.  For the lines written
 * while the library is being unloaded: the destructor of per-thread buffers
 * taken then would run, at the thread's end, after the library's code is
 * gone. */
void zlog_use_call_buffers(bool bOn);
/* Threads holding buffers now. */
long zlog_thread_buffer_count(void);
/* Whether the backend is started. */
bool zlog_is_started(void);

}  // namespace brio_zlog

#endif
