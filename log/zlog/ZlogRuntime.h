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

/* Categories live until the library's end; null when not started or the
 * name is empty. */
zlog_category_t *zlog_get_category(const char *pszName);

void zlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
          const char *pszFormat, ...) __attribute__((format(printf, 6, 7)));
void vzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const char *pszFormat, va_list ap) __attribute__((format(printf, 6, 0)));
void hzlog(zlog_category_t *pCategory, const char *pszFile, const char *pszFunc, long lLine, int nLevel,
           const void *pBuf, size_t ulLen);

/* Releases the calling thread's buffers (the end of a thread other than the
 * main one releases its own). */
void zlog_clean_rest_thread(void);
/* The image's end begins (its finaliser runs): from here on a thread
 * without buffers makes each record in buffers of its own, so that nothing
 * is left for its end to run in the image.  Until then, the first buffers
 * of a thread other than the main one register a thread_local destructor
 * that frees them at its end, and the image stays loaded while that
 * destructor is pending or running. */
void zlog_end_begins(void);
/* The library's end, once stopped (else nothing): releases the categories
 * and the buffers of every thread, also of those that live on, so that
 * nothing of the library is left behind.  A later start begins afresh. */
void zlog_end(void);
/* Threads holding buffers now. */
long zlog_thread_buffer_count(void);
/* Whether the backend is started. */
bool zlog_is_started(void);

}  // namespace brio_zlog

#endif
