/* The middleware's one log: a facade over the zlog-format backend with the
 * single category "vexa_category".  All calls are exported C functions. */
#ifndef BRIO_LOG_VEXA_LOG_H
#define BRIO_LOG_VEXA_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

#define LOG_ERR_INIT            0x6002u
#define LOG_ERR_NO_MEMORY       0x6004u
#define LOG_ERR_BAD_LEVEL       0x6005u
#define LOG_ERR_NOT_INITIALISED 0x6006u
#define LOG_ERR_NO_CONFIG       0x6007u
/* TRACE_BINARY with a null pointer or a negative length (the shared
 * "bad argument" code). */
#define LOG_ERR_BAD_ARGUMENT    87u

#define VEXA_LOG_CATEGORY   "vexa_category"
#define VEXA_LOG_CONF_PATH  "/tmp/RIRAvezaDuraredade.conf"
#define VEXA_LOG_CONF_ENV   "VEXA_LOG_CONF_PATH"

/* Facade levels. */
#define LOG_LEVEL_FATAL 0u
#define LOG_LEVEL_ERROR 1u
#define LOG_LEVEL_WARN  2u
#define LOG_LEVEL_INFO  3u
#define LOG_LEVEL_DEBUG 4u

unsigned int vexa_log_init_ex(const char *pszConfigPath);
unsigned int vexa_log_init(void);
unsigned int vexa_log_init_memory_log(unsigned int uiLevel, const char *pszLogPath);
void vexa_log_fini(void);

unsigned int TRACE(unsigned int uiLevel, const char *pszFormat, ...)
    __attribute__((format(printf, 2, 3)));
unsigned int TRACE_BINARY(unsigned int uiLevel, const void *pData, int nLen);

#ifdef __cplusplus
}
#endif

#endif
