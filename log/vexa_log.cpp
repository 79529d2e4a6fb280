// Bootstrap facade: the log is never started, so TRACE answers
// LOG_ERR_NOT_INITIALISED and nothing is written.  Replaced by the facade
// over the zlog-format backend.
#include "log/vexa_log.h"

extern "C" {
unsigned int vexa_log_init_ex(const char *) { return LOG_ERR_NO_CONFIG; }
unsigned int vexa_log_init(void) { return LOG_ERR_NO_CONFIG; }
unsigned int vexa_log_init_memory_log(unsigned int, const char *) { return LOG_ERR_INIT; }
void vexa_log_fini(void) {}
unsigned int TRACE(unsigned int, const char *, ...) { return LOG_ERR_NOT_INITIALISED; }
unsigned int TRACE_BINARY(unsigned int, const void *, int) { return 0; }
}
