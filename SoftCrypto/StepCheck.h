/* One traced step: a condition, the operation and step names and the code
 * that a failed step returns.  SC_STEP traces success (level 3) and failure
 * (level 1); SC_STEP_FAIL traces failure only.  Both give 0 when the step
 * passed, else the code:
 *     if (unsigned int rv = SC_STEP(kOp, "CHECK pKey", pKey != nullptr, ERROR_INVALID_PARAMETER))
 *         return rv;
 * Internal to SoftCrypto/. */
#ifndef BRIO_SOFTCRYPTO_STEP_CHECK_H
#define BRIO_SOFTCRYPTO_STEP_CHECK_H

#include <new>
#include <string.h>

#include <openssl/crypto.h>

#include "log/StepTrace.h"

namespace softcrypto {

inline unsigned int TraceStep(const char *pszOp, const char *pszStep, bool bOk, unsigned int ulCode,
                              bool bTraceSuccess, const char *pszFile, int nLine)
{
    if (bOk) {
        if (bTraceSuccess)
            TraceStepSuccess(pszOp, pszStep);
        return 0;
    }
    TraceStepFailure(pszOp, pszStep, ulCode, pszFile, nLine);
    return ulCode;
}

/* new[] byte array wiped before it is freed; Release hands it over. */
class CSecureBuffer {
public:
    CSecureBuffer() = default;
    ~CSecureBuffer() { Free(); }
    CSecureBuffer(const CSecureBuffer &) = delete;
    CSecureBuffer &operator=(const CSecureBuffer &) = delete;

    /* A zeroed array of ulLen bytes (at least one); false without memory. */
    bool Allocate(size_t ulLen)
    {
        Free();
        m_pbData = new (std::nothrow) unsigned char[ulLen ? ulLen : 1]();
        m_ulLen = m_pbData ? ulLen : 0;
        return m_pbData != nullptr;
    }
    unsigned char *Data() { return m_pbData; }
    unsigned char *Release()
    {
        unsigned char *pbData = m_pbData;
        m_pbData = nullptr;
        m_ulLen = 0;
        return pbData;
    }
    void Free()
    {
        if (m_pbData != nullptr) {
            OPENSSL_cleanse(m_pbData, m_ulLen);
            delete[] m_pbData;
        }
        m_pbData = nullptr;
        m_ulLen = 0;
    }

private:
    unsigned char *m_pbData = nullptr;
    size_t m_ulLen = 0;
};

}  // namespace softcrypto

#define SC_STEP(op, step, ok, code) \
    ::softcrypto::TraceStep((op), (step), (ok), (code), true, BRIO_FILE_NAME, __LINE__)
#define SC_STEP_FAIL(op, step, ok, code) \
    ::softcrypto::TraceStep((op), (step), (ok), (code), false, BRIO_FILE_NAME, __LINE__)

#endif
