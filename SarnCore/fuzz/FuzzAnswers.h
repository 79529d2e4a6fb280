/* Token answers read from a fuzz input, for the fuzz targets that drive
 * code through the scripted token (SarnCore/tests/FakeToken.h).  Each
 * answer is one byte of kind and its bytes:
 *   kind % 4 == 0   raw answer bytes: (kind / 4) % 8 of them
 *   otherwise       status word (from a table by kind / 4, or the next two
 *                   bytes), a two-byte payload length (at most 4092) and the
 *                   payload (zeros where the input ends) */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "SarnCore/tests/FakeToken.h"
#include "SoftCrypto/fuzz/FuzzInput.h"

namespace fuzz {

inline ScriptedAnswer NextAnswer(Input &in)
{
    static const unsigned int kStatusWords[] = {0x9000, 0x9000, 0x9000, 0x63C3, 0x6982, 0xF102,
                                                0xF321, 0xF526, 0x6A80, 0x6A82, 0x6D00};
    const size_t ulTable = sizeof(kStatusWords) / sizeof(kStatusWords[0]);
    ScriptedAnswer a;
    uint8_t byKind = in.Byte();
    if (byKind % 4 == 0) {
        a.raw = true;
        for (unsigned int i = (byKind / 4) % 8; i > 0; --i) a.rawBytes.push_back(in.Byte());
        return a;
    }
    unsigned int ulPick = byKind / 4;
    a.sw = ulPick < ulTable ? kStatusWords[ulPick] : in.Word();
    a.payload = in.Bytes(in.Word() % 4093);
    return a;
}

/* With BRIO_FUZZ_VERBOSE set, the result of each call goes to stderr (to
 * see how far a seed gets); the code is handed back. */
inline unsigned int Result(const char *pszCall, unsigned int ulRet)
{
    static const bool bVerbose = getenv("BRIO_FUZZ_VERBOSE") != nullptr;
    if (bVerbose) fprintf(stderr, "%s: 0x%08X\n", pszCall, ulRet);
    return ulRet;
}

/* The rest of the input as the token's answers, in order. */
inline void ScriptAnswers(Input &in, FakeToken &token)
{
    while (!in.Empty()) token.script.push_back(NextAnswer(in));
}

}  // namespace fuzz
