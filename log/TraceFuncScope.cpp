#include "log/TraceFuncScope.h"

#include <time.h>

#include "log/StepTrace.h"
#include "log/vexa_log.h"

TraceFuncScope::TraceFuncScope(const char *pszFuncName) : m_pszFuncName(pszFuncName)
{
    TRACE(LOG_LEVEL_INFO, "Enter (%s)", m_pszFuncName ? m_pszFuncName : "");
}

TraceFuncScope::~TraceFuncScope()
{
    TRACE(LOG_LEVEL_INFO, "Exit (%s)", m_pszFuncName ? m_pszFuncName : "");
}

void TraceStepSuccess(const char *pszOperation, const char *pszStep)
{
    TRACE(LOG_LEVEL_INFO, "%s - %s success", pszOperation, pszStep);
}

/* The innermost live scope of the thread. */
static thread_local const CExpectedStepCode *t_pExpected = nullptr;

CExpectedStepCode::CExpectedStepCode(unsigned long ulCode) : m_ulCode(ulCode), m_pOuter(t_pExpected)
{
    t_pExpected = this;
}

CExpectedStepCode::CExpectedStepCode(bool (*pfnExpected)(unsigned int))
    : m_pfnExpected(pfnExpected), m_pOuter(t_pExpected)
{
    t_pExpected = this;
}

CExpectedStepCode::~CExpectedStepCode()
{
    t_pExpected = m_pOuter;
}

bool CExpectedStepCode::Expected(unsigned long ulCode)
{
    /* 0 is no failure, so it is never expected. */
    if (ulCode == 0) return false;
    for (const CExpectedStepCode *p = t_pExpected; p != nullptr; p = p->m_pOuter) {
        if (p->m_ulCode == ulCode) return true;
        if (p->m_pfnExpected != nullptr && ulCode <= 0xFFFFFFFFul && p->m_pfnExpected((unsigned int)ulCode))
            return true;
    }
    return false;
}

void TraceStepFailure(const char *pszOperation, const char *pszStep, unsigned long ulCode,
                      const char *pszFile, int nLine)
{
    if (CExpectedStepCode::Expected(ulCode)) {
        TRACE(LOG_LEVEL_INFO, "%s - %s answered 0x%08lx as expected[%s:%d]", pszOperation, pszStep, ulCode,
              pszFile, nLine);
        return;
    }
    TRACE(LOG_LEVEL_ERROR, "%s - %s failed(0x%08lx)[%s:%d]", pszOperation, pszStep, ulCode, pszFile,
          nLine);
}

extern "C" {

unsigned int GetTickCount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint32_t ms = static_cast<uint32_t>(static_cast<uint32_t>(ts.tv_sec) * 1000u);
    return ms + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

static int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int HexString_Array(const char *pszHex, unsigned char *pbOut, int nMax)
{
    if (pszHex == nullptr || pbOut == nullptr || nMax < 1) return 0;
    if (pszHex[0] == '\0' || pszHex[1] == '\0') return 0;
    int nCount = 0;
    const char *p = pszHex;
    for (;;) {
        int hi = HexDigitValue(p[0]);
        if (hi < 0) break;
        pbOut[nCount] = static_cast<unsigned char>(hi << 4);
        int lo = HexDigitValue(p[1]);
        if (lo < 0) break;
        pbOut[nCount] = static_cast<unsigned char>((hi << 4) | lo);
        ++nCount;
        p += 2;
        if (p[0] == '\0' || p[1] == '\0' || nCount >= nMax) break;
    }
    return nCount;
}

int Array_HexString(const unsigned char *pbIn, int nLen, char *pszOut)
{
    static const char kDigits[] = "0123456789ABCDEF";
    if (pszOut == nullptr) return 0;
    if (nLen <= 0 || pbIn == nullptr || nLen > (0x7fffffff - 1) / 2) {
        pszOut[0] = '\0';
        return 0;
    }
    pszOut[2 * nLen] = '\0';
    for (int i = nLen - 1; i >= 0; --i) {
        pszOut[2 * i] = kDigits[pbIn[i] >> 4];
        pszOut[2 * i + 1] = kDigits[pbIn[i] & 0x0f];
    }
    return 2 * nLen;
}

unsigned char *ByteReverseA(unsigned char *pbBuf, int nLen)
{
    if (pbBuf == nullptr || nLen < 2) return pbBuf;
    for (int i = 0, j = nLen - 1; i < j; ++i, --j) {
        unsigned char t = pbBuf[i];
        pbBuf[i] = pbBuf[j];
        pbBuf[j] = t;
    }
    return pbBuf;
}

unsigned char *Interger_Array_BigEndian_A(unsigned char *pbOut, unsigned long ulWidth, int nValue)
{
    if (pbOut == nullptr || ulWidth == 0 || ulWidth > 4) return pbOut;
    uint32_t v = static_cast<uint32_t>(nValue);
    for (unsigned long i = 0; i < ulWidth; ++i) {
        pbOut[ulWidth - 1 - i] = static_cast<unsigned char>(v >> (8 * i));
    }
    return pbOut;
}

}  // extern "C"
