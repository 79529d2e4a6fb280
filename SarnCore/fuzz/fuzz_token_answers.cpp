/* The answer parsers of the command classes, the on-token cipher handle and
 * the operator and key object operations, fed any sequence of token
 * answers.  The methods are the rows of the hostile-answer tests (each
 * calls one method with its outputs at the very end of heap blocks, so a
 * write past the room given is an AddressSanitizer report).  Input: two
 * bytes choose the row, one byte whether the row's well-formed answers come
 * first (bit 0), the rest are the answers (FuzzAnswers.h).  Once the script
 * is used up the token answers 90 00 without payload.  The call must end
 * (the token counts commands) and, for rows that promise it, leave its
 * outputs as they were when it fails. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "SarnCore/fuzz/FuzzAnswers.h"
#include "SarnCore/tests/HostileAnswerRows.h"

using namespace hostile;

namespace {

const size_t kCommandLimit = 400;

const std::vector<Row> &Rows()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> v = ApduRows();
        std::vector<Row> more = HandleAndOperatorRows();
        v.insert(v.end(), more.begin(), more.end());
        return v;
    }();
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) return 0;
    fuzz::Input in(data, size);
    const Row &r = Rows()[in.Word() % Rows().size()];
    bool bPrelude = (in.Byte() & 1) != 0;
    Env e((r.flags & PRODUCT) != 0);
    if (bPrelude)
        for (const ScriptedAnswer &p : r.prelude) e.token.script.push_back(p);
    fuzz::ScriptAnswers(in, e.token);
    e.token.ulLimit = kCommandLimit;
    unsigned int ulRet = r.call(e);
    if (ulRet == FakeToken::LIMIT_CODE || e.token.seen.size() > kCommandLimit) abort();  // never ends
    if (ulRet != 0 && (r.flags & KEEP) != 0 && !e.Untouched()) abort();  // output written on failure
    return 0;
}
