/* The step-trace lines every operation of the middleware writes:
 *   level 3  "%s - %s success"
 *   level 1  "%s - %s failed(0x%08lx)[%s:%d]"
 *   level 3  "%s - %s answered 0x%08lx as expected[%s:%d]" (see
 *            CExpectedStepCode)
 * Operation and step names are literals; an argument check is a step named
 * "CHECK " followed by what it tests. */
#ifndef BRIO_LOG_STEP_TRACE_H
#define BRIO_LOG_STEP_TRACE_H

#include <stdint.h>

void TraceStepSuccess(const char *pszOperation, const char *pszStep);
void TraceStepFailure(const char *pszOperation, const char *pszStep, unsigned long ulCode,
                      const char *pszFile, int nLine);

/* Base name of the current source file, for the failure lines. */
#define BRIO_FILE_NAME (__builtin_strrchr(__FILE__, '/') ? __builtin_strrchr(__FILE__, '/') + 1 : __FILE__)

/* While one lives on a thread, a step of that thread failing with a code
 * it expects is an answer the design looks for and recovers from (an absent
 * file that a sweep deletes, the missing secure channel that the first
 * secure command of a connection meets and that is then set up), traced at
 * level 3 instead of as a failure.  Scopes nest: a code is expected while
 * any live scope of the thread expects it.  A failure that then reaches the
 * caller is traced as one by the step that returns it, outside the scope. */
class CExpectedStepCode {
public:
    /* That one code; 0 expects nothing. */
    explicit CExpectedStepCode(unsigned long ulCode);
    /* Every code for which pfnExpected answers true. */
    explicit CExpectedStepCode(bool (*pfnExpected)(unsigned int ulCode));
    ~CExpectedStepCode();
    CExpectedStepCode(const CExpectedStepCode &) = delete;
    CExpectedStepCode &operator=(const CExpectedStepCode &) = delete;

    /* Whether a live scope of this thread expects ulCode. */
    static bool Expected(unsigned long ulCode);

private:
    unsigned long m_ulCode = 0;
    bool (*m_pfnExpected)(unsigned int) = nullptr;
    const CExpectedStepCode *m_pOuter;
};

#define TRACE_STEP_OK(op, step) TraceStepSuccess((op), (step))
#define TRACE_STEP_FAIL(op, step, code) \
    TraceStepFailure((op), (step), (unsigned long)(code), BRIO_FILE_NAME, __LINE__)

#endif
