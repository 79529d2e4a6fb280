/* Small shared tools: scope tracing, the millisecond tick, hex text and the
 * byte-order routines with which command bodies are built. */
#ifndef BRIO_LOG_TRACE_FUNC_SCOPE_H
#define BRIO_LOG_TRACE_FUNC_SCOPE_H

#include <stdint.h>

#define BRIO_EXPORT

/* Writes "Enter (%s)" when made and "Exit (%s)" when destroyed, at level 3.
 * The name is not copied: pass a literal. */
class BRIO_EXPORT TraceFuncScope {
public:
    explicit TraceFuncScope(const char *pszFuncName);
    virtual ~TraceFuncScope();
    TraceFuncScope(const TraceFuncScope &) = delete;
    TraceFuncScope &operator=(const TraceFuncScope &) = delete;

private:
    const char *m_pszFuncName;
};

extern "C" {
unsigned int GetTickCount(void);
int HexString_Array(const char *pszHex, unsigned char *pbOut, int nMax);
int Array_HexString(const unsigned char *pbIn, int nLen, char *pszOut);
unsigned char *ByteReverseA(unsigned char *pbBuf, int nLen);
unsigned char *Interger_Array_BigEndian_A(unsigned char *pbOut, unsigned long ulWidth, int nValue);
}

#endif
