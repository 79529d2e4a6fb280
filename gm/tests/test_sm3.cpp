// SM3: the GM/T 0004 vectors, both faces fed in pieces, OpenSSL 3.0 as oracle.
#include "gm/sm3.h"
#include "gm/tests/gm_test_util.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <thread>

using namespace gmtest;

namespace {

Bytes BlockFace(const Bytes &msg, size_t piece)
{
    SM3_BLOCK_CTX ctx;
    Bytes md(32);
    EXPECT_EQ(1, gm_sm3_init(&ctx));
    for (size_t off = 0; off < msg.size(); off += piece)
        EXPECT_EQ(1, gm_sm3_update(&ctx, msg.data() + off, std::min(piece, msg.size() - off)));
    EXPECT_EQ(1, gm_sm3_final(&ctx, md.data()));
    return md;
}

Bytes DigestFace(const Bytes &msg, size_t piece)
{
    SM3_DIGEST_CTX ctx;
    Bytes md(32);
    EXPECT_EQ(1, SM3_Init(&ctx));
    for (size_t off = 0; off < msg.size(); off += piece)
        EXPECT_EQ(1, SM3_Update(&ctx, msg.data() + off, std::min(piece, msg.size() - off)));
    EXPECT_EQ(1, SM3_Final(md.data(), &ctx));
    return md;
}

Bytes OpenSslSm3(const Bytes &msg)
{
    Bytes md(32);
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(msg.data(), msg.size(), md.data(), &len, EVP_sm3(), nullptr));
    return md;
}

struct Sm3Vector {
    const char *name;
    std::string message;
    const char *digest;
};

class Sm3VectorTest : public ::testing::TestWithParam<Sm3Vector> {};

TEST_P(Sm3VectorTest, EveryFaceGivesTheStandardDigest)
{
    const Sm3Vector &v = GetParam();
    Bytes msg = Text(v.message);
    Bytes md(32);

    ASSERT_EQ(1, gm_sm3(msg.data(), msg.size(), md.data()));
    EXPECT_EQ(v.digest, ToHex(md));
    ASSERT_EQ(md.data(), SM3(msg.data(), msg.size(), md.data()));
    EXPECT_EQ(v.digest, ToHex(md));
    EXPECT_EQ(v.digest, ToHex(BlockFace(msg, msg.size() + 1)));
    EXPECT_EQ(v.digest, ToHex(DigestFace(msg, msg.size() + 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Gmt0004, Sm3VectorTest,
    ::testing::Values(
        Sm3Vector{"abc", "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
        Sm3Vector{"abcd16",
                  "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
                  "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"}),
    [](const ::testing::TestParamInfo<Sm3Vector> &i) { return std::string(i.param.name); });

// Every length around the block and padding boundaries, fed whole and in
// pieces of the sizes that straddle them, on both faces, against OpenSSL.
class Sm3PieceTest : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm3PieceTest, BothFacesEqualOpenSslForEveryLength)
{
    const size_t piece = GetParam();
    for (size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 200, 1000, 4097}) {
        Bytes msg = Random(len);
        std::string want = ToHex(OpenSslSm3(msg));
        EXPECT_EQ(want, ToHex(BlockFace(msg, piece))) << "len " << len;
        EXPECT_EQ(want, ToHex(DigestFace(msg, piece))) << "len " << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Pieces, Sm3PieceTest, ::testing::Values(1, 55, 56, 63, 64, 65, 100000));

TEST(Sm3Oracle, RandomMessagesOfManyLengthsEqualOpenSsl)
{
    for (int i = 0; i < 300; i++) {
        Bytes len = Random(2);
        Bytes msg = Random((len[0] << 8 | len[1]) % 3000);
        Bytes md(32);
        ASSERT_EQ(md.data(), SM3(msg.data(), msg.size(), md.data()));
        ASSERT_EQ(ToHex(OpenSslSm3(msg)), ToHex(md)) << "len " << msg.size();
    }
}

TEST(Sm3DigestFace, SixtyFourBytesWaitInTheBufferUntilTheEnd)
{
    Bytes msg = Random(64);
    SM3_DIGEST_CTX ctx;
    Bytes md(32);
    ASSERT_EQ(1, SM3_Init(&ctx));
    ASSERT_EQ(1, SM3_Update(&ctx, msg.data(), msg.size()));
    EXPECT_EQ(64u, ctx.pending);
    EXPECT_EQ(0u, ctx.total);
    ASSERT_EQ(1, SM3_Final(md.data(), &ctx));
    EXPECT_EQ(ToHex(OpenSslSm3(msg)), ToHex(md));
}

TEST(Sm3DigestFace, NullDataIsANoOpAndNullContextFails)
{
    SM3_DIGEST_CTX ctx;
    ASSERT_EQ(1, SM3_Init(&ctx));
    EXPECT_EQ(1, SM3_Update(&ctx, nullptr, 10));
    EXPECT_EQ(0u, ctx.pending);
    EXPECT_EQ(0, SM3_Init(nullptr));
    EXPECT_EQ(0, gm_sm3_update(nullptr, "a", 1));
    EXPECT_EQ(0, gm_sm3_final(nullptr, ctx.buffer));
}

// The message length is counted in 64 bits: a context that has processed
// 4 GiB must not pad like an empty one (a 32-bit count wraps to zero).
TEST(Sm3Length, CountsBeyondFourGibibytesAreNotTruncated)
{
    const uint64_t four_gib = 1ull << 32;
    SM3_DIGEST_CTX wrapped, fresh;
    SM3_BLOCK_CTX block;
    Bytes a(32), b(32), c(32);

    SM3_Init(&wrapped);
    SM3_Init(&fresh);
    gm_sm3_init(&block);
    wrapped.total = four_gib;
    block.nblocks = four_gib / 64;
    SM3_Update(&wrapped, "abc", 3);
    SM3_Update(&fresh, "abc", 3);
    gm_sm3_update(&block, "abc", 3);
    SM3_Final(a.data(), &wrapped);
    SM3_Final(b.data(), &fresh);
    gm_sm3_final(&block, c.data());
    EXPECT_NE(ToHex(b), ToHex(a));
    EXPECT_EQ(ToHex(a), ToHex(c));
}

TEST(Sm3OneShot, NullOutputUsesABufferOfTheCallingThread)
{
    unsigned char *mine = SM3(reinterpret_cast<const unsigned char *>("abc"), 3, nullptr);
    ASSERT_NE(nullptr, mine);
    EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", ToHex(mine, 32));

    unsigned char *theirs = nullptr;
    std::thread t([&] { theirs = SM3(reinterpret_cast<const unsigned char *>("abcd"), 4, nullptr); });
    t.join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", ToHex(mine, 32));
}

}  // namespace
