/* Every command method, the on-token cipher handle and the operator and key
 * object operations that read token answers, against a token that answers
 * out of shape: nothing at all, 1 to 3 bytes, no payload, one byte short or
 * long, the largest answer a frame carries, random bytes, and refusals with
 * a payload.  A table of methods (each calls one method with its outputs at
 * the very end of heap blocks, so a write past the room given is an
 * AddressSanitizer report) times a table of answer shapes.  Each case ends
 * (the token counts commands), returns a code, refuses what cannot be used,
 * and leaves the caller's output as it was when it fails. */
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "HostileAnswerRows.h"

namespace {

using namespace hostile;

enum ShapeKind { RAW, ABS, REL, RANDOM };
struct Shape {
    const char *name;
    ShapeKind kind;
    int value;             /* RAW: bytes; ABS: payload; REL: exact + value */
    unsigned int sw;
};

const Shape SHAPES[] = {
    {"raw0", RAW, 0, 0x9000},       {"raw1", RAW, 1, 0x9000},      {"raw2", RAW, 2, 0x9000},
    {"raw3", RAW, 3, 0x9000},       {"empty", ABS, 0, 0x9000},     {"one", ABS, 1, 0x9000},
    {"three", ABS, 3, 0x9000},      {"exact", REL, 0, 0x9000},     {"short", REL, -1, 0x9000},
    {"long", REL, 1, 0x9000},       {"max", ABS, 4092, 0x9000},    {"maxSecure", ABS, 4087, 0x9000},
    {"random", RANDOM, 0, 0x9000},  {"wrongPin", REL, 0, 0x63C3},  {"noAuth", REL, 0, 0x6982},
    {"noFile", REL, 0, 0xF102},     {"button", REL, 0, 0xF321},    {"lostSession", REL, 0, 0xF526},
    /* the same refusals as a token sends them, without a payload */
    {"wrongPinBare", ABS, 0, 0x63C3}, {"noAuthBare", ABS, 0, 0x6982}, {"noFileBare", ABS, 0, 0xF102},
    {"buttonBare", ABS, 0, 0xF321},   {"lostSessionBare", ABS, 0, 0xF526},
};

/* The payload of a shape for a row, or false when the shape does not
 * apply (one byte short of nothing). */
bool ShapeAnswer(const Shape &s, const Row &r, std::mt19937 &rng, ScriptedAnswer *pA, long *plLen)
{
    ScriptedAnswer a;
    a.sw = s.sw;
    long lLen = 0;
    if (s.kind == RAW) {
        a.raw = true;
        static const unsigned char RAW_BYTES[3] = {0x90, 0x00, 0x00};
        a.rawBytes.assign(RAW_BYTES, RAW_BYTES + s.value);
        lLen = -1;
    } else {
        lLen = s.kind == ABS ? s.value : (long)r.exact + (s.kind == REL ? s.value : 0);
        if (lLen < 0) return false;
        a.payload.resize((size_t)lLen);
        for (long i = 0; i < lLen; ++i)
            a.payload[(size_t)i] = s.kind == RANDOM ? (unsigned char)rng() : (unsigned char)(0x11 + i * 7);
    }
    *pA = a;
    *plLen = lLen;
    return true;
}

/* Would a careful reader of this row have to refuse the answer? */
bool Unusable(const Shape &s, const Row &r, long lLen)
{
    if (s.kind == RAW || s.sw != 0x9000) return true;
    if (r.flags & QUIET) return false;
    if ((unsigned long)lLen > r.exact) return true;
    return (r.flags & FIXED) != 0 && (unsigned long)lLen != r.exact;
}



struct Case {
    Row row;
    Shape shape;
};

std::vector<Case> Cases()
{
    std::vector<Case> v;
    std::vector<Row> rows = ApduRows();
    std::vector<Row> more = HandleAndOperatorRows();
    rows.insert(rows.end(), more.begin(), more.end());
    for (const Row &r : rows)
        for (const Shape &s : SHAPES) v.push_back({r, s});
    return v;
}

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.row.name << " / " << c.shape.name;
}

class HostileAnswerTest : public ::testing::TestWithParam<Case> {};

TEST_P(HostileAnswerTest, EndsWithACodeAndKeepsToTheRoomGiven)
{
    const Row &r = GetParam().row;
    const Shape &s = GetParam().shape;
    /* One seed per case: every run sees the same random answers. */
    const std::string name(r.name);
    std::seed_seq seq(name.begin(), name.end());
    std::mt19937 rng(seq);
    ScriptedAnswer a;
    long lLen = 0;
    if (!ShapeAnswer(s, r, rng, &a, &lLen)) GTEST_SKIP() << "no such shape for this row";
    Env e((r.flags & PRODUCT) != 0);
    for (const ScriptedAnswer &p : r.prelude) e.token.script.push_back(p);
    e.token.bRepeat = true;
    e.token.repeat = a;
    e.token.ulLimit = COMMAND_LIMIT;
    unsigned int ulRet = r.call(e);
    EXPECT_LE(e.token.seen.size(), COMMAND_LIMIT) << "the method does not end on this answer";
    EXPECT_NE(FakeToken::LIMIT_CODE, ulRet);
    if (Unusable(s, r, lLen)) {
        EXPECT_NE(0u, ulRet) << "an unusable answer was taken";
    }
    if (ulRet != 0 && (r.flags & KEEP) != 0) {
        EXPECT_TRUE(e.Untouched()) << "output written on failure";
    }
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info)
{
    return std::string(info.param.row.name) + "_" + info.param.shape.name;
}

INSTANTIATE_TEST_SUITE_P(Methods, HostileAnswerTest, ::testing::ValuesIn(Cases()), CaseName);

/* ---- regressions in detail ---- */

/* A plain message signature whose token never sees its button pressed
 * gives up with the prompt's time-out code instead of polling forever. */
TEST(HostileAnswerRegression, MessageSignatureFetchGivesUpOnAButtonNeverPressed)
{
    Env e(false);
    for (int i = 0; i < 3; ++i) e.token.script.push_back(Ok());
    ScriptedAnswer wait;
    wait.sw = 0xF321;
    e.token.bRepeat = true;
    e.token.repeat = wait;
    e.token.ulLimit = COMMAND_LIMIT;
    unsigned int len = 64;
    unsigned char sig[64];
    memset(sig, CANARY, sizeof(sig));
    EXPECT_EQ(SCARD_E_TIMEOUT, e.Crypto()->SM2SignDisp(e.Auth(), 0, 0x2F01, e.in, 10, sig, &len));
    /* 300 ms at one poll per 100 ms: a bounded number of fetches. */
    EXPECT_LE(e.token.seen.size(), 3u + 4u);
    for (unsigned char b : sig) EXPECT_EQ(CANARY, b);
}

/* A short answer is not zero-filled into a key or challenge. */
TEST(HostileAnswerRegression, ShortKeyAnswersAreRefusedNotPadded)
{
    Env e(false);
    e.token.script.push_back(Ok(Bytes(63, 0x42)));
    _QV_SM2_KEY_PAIR key;
    memset(&key, CANARY, sizeof(key));
    EXPECT_EQ(ERR_BAD_LENGTH, e.Key()->ExportPublicKey(0, 0x2F01, TOKEN_ALG_SM2, &key));
    EXPECT_EQ(CANARY, key.X[0]);
    e.token.script.push_back(Ok(Bytes(147, 0x42)));
    unsigned char c[16], k[132];
    EXPECT_EQ(ERR_BAD_LENGTH, e.Pin()->VerifyPIN_Request(0, c, k));
}

/* A 15-byte authorisation code is not kept as the connection's code. */
TEST(HostileAnswerRegression, ShortAuthorisationCodeFailsTheVerification)
{
    Env e(false);
    e.token.script.push_back(Challenge());
    e.token.script.push_back(Ok(Bytes(15, 0x42)));
    EXPECT_EQ(ERR_BAD_LENGTH, e.op.VerifyPIN(1, (char *)"123456", 6));
    EXPECT_EQ(0u, e.ctx.m_pDevieHandle->m_ulAuthCodeLen);
}

/* An answer longer than the caller's room is refused with the length
 * needed, for the commands that hand the answer on as received. */
TEST(HostileAnswerRegression, AnswerLongerThanTheRoomGivenIsRefused)
{
    Env e(false);
    e.token.script.push_back(Ok(Bytes(16, 0x42)));
    unsigned char *out = e.Out(8);
    unsigned int *len = e.Len(8);
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, e.Chip()->GetChipSN(out, len));
    EXPECT_EQ(16u, *len);
    EXPECT_TRUE(e.Untouched());
}

/* A certificate read that fails in a later chunk hands out no length. */
TEST(HostileAnswerRegression, CertificateReadFailingInAChunkGivesNoLength)
{
    Env e(false);
    e.token.script.push_back(Sm2Container());
    Bytes header(16, 0x41);
    header[0] = 0x30;
    header[1] = 0x82;
    header[2] = 0x01;
    header[3] = 0x28;
    e.token.script.push_back(Ok(header));
    e.token.script.push_back(Ok(Bytes(256, 0x41)));
    ScriptedAnswer refused;
    refused.sw = 0x6982;
    e.token.script.push_back(refused);
    ASSERT_EQ(0u, e.CacheContainer());
    unsigned int *len = e.Len(600);
    EXPECT_EQ(0x80006982u, e.op.ExportCert((char *)"c", KEY_SPEC_SIGNATURE, e.Out(600), len));
    EXPECT_EQ(0u, *len);
}

}  // namespace
