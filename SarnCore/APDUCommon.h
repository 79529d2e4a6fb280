/* Pieces shared by the container, file, key and cryptographic command
 * classes: the sizes their bodies are built from, the failure of a check
 * before anything is sent, the copy of an answer into a caller's buffer and
 * the flags of the chunked writes. */
#ifndef BRIO_SARNCORE_APDU_COMMON_H
#define BRIO_SARNCORE_APDU_COMMON_H

#include "SarnCore/APDU.h"
#include "log/StepTrace.h"

#define APDU_AUTH_CODE_LEN 16u   /* PIN authorisation code opening a body */
#define APDU_CHUNK_LEN 256u      /* data bytes of one chunk command */
#define APDU_CHUNKED_MAX 0x10000u
#define APDU_CHUNK_BASE 0xA0u    /* flags of a chunk: base, first, last */
#define APDU_CHUNK_FIRST 0x01u
#define APDU_CHUNK_LAST 0x10u

/* Token key algorithm codes. */
#define TOKEN_ALG_RSA1024 1u
#define TOKEN_ALG_RSA2048 7u
#define TOKEN_ALG_SM2 17u

/* A failed check: traced, and its code as the value. */
#define APDU_CHECK_FAIL(op, step, code) (TRACE_STEP_FAIL((op), (step), (code)), (code))

/* The answer to pbOut with its length to *pulOutLen.  With both given,
 * *pulOutLen is the room on entry: a longer answer fails with 259 and the
 * needed length, nothing copied. */
inline unsigned int ApduCopyOut(const char *szOperation, const CApduAnswer &answer, unsigned char *pbOut,
                                unsigned int *pulOutLen)
{
    if (pbOut != nullptr && pulOutLen != nullptr && *pulOutLen < answer.Length()) {
        *pulOutLen = answer.Length();
        return APDU_CHECK_FAIL(szOperation, "CHECK *pulOutLen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    return answer.CopyTo(pbOut, pulOutLen);
}

/* P1 of one chunk of a chunked write. */
inline unsigned char ApduChunkFlags(bool bFirst, bool bLast)
{
    return (unsigned char)(APDU_CHUNK_BASE | (bFirst ? APDU_CHUNK_FIRST : 0u) | (bLast ? APDU_CHUNK_LAST : 0u));
}

/* Bytes of a NUL-terminated name, 0 for none. */
inline unsigned int ApduNameLen(const char *szName)
{
    unsigned int ulLen = 0;
    if (szName != nullptr)
        while (szName[ulLen] != '\0') ++ulLen;
    return ulLen;
}

#endif
