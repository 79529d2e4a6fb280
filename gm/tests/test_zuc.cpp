// ZUC-128: the GM/T 0001 test sets, the 128-EEA3 IV, and the key stream
// carried across calls of any length.
#include "gm/zuc.h"
#include "gm/tests/gm_test_util.h"

#include <gtest/gtest.h>

using namespace gmtest;

namespace {

struct ZucVector {
    const char *name;
    const char *key;
    const char *iv;
    uint32_t z1, z2;
};

class ZucVectorTest : public ::testing::TestWithParam<ZucVector> {};

TEST_P(ZucVectorTest, FirstTwoKeyStreamWords)
{
    const ZucVector &v = GetParam();
    Bytes key = FromHex(v.key), iv = FromHex(v.iv);
    uint32_t cells[16], R1, R2, X0, X1, X2, X3, words[2];
    uint32_t *s = cells, *out = words;
    ASSERT_EQ(1, _ZUC_Initialize(key.data(), iv.data(), &s, &R1, &R2, &X0, &X1, &X2, &X3));
    ASSERT_EQ(1, _ZUC_GenerateKeyStream(&s, &R1, &R2, &X0, &X1, &X2, &X3, &out, 2));
    EXPECT_EQ(v.z1, words[0]);
    EXPECT_EQ(v.z2, words[1]);

    // The same words through the cipher context, most significant byte first.
    GM_ZUC_CTX ctx;
    Bytes zero(8, 0), ks(8);
    ASSERT_EQ(1, gm_zuc_init(&ctx, key.data(), iv.data()));
    ASSERT_EQ(1, gm_zuc_xor(&ctx, zero.data(), ks.data(), ks.size()));
    char want[17];
    snprintf(want, sizeof(want), "%08x%08x", v.z1, v.z2);
    EXPECT_EQ(want, ToHex(ks));
}

INSTANTIATE_TEST_SUITE_P(
    Gmt0001, ZucVectorTest,
    ::testing::Values(
        ZucVector{"AllZero", "00000000000000000000000000000000", "00000000000000000000000000000000",
                  0x27bede74, 0x018082da},
        ZucVector{"AllOnes", "ffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffff",
                  0x0657cfa0, 0x7096398b},
        ZucVector{"Random", "3d4c4be96a82fdaeb58f641db17b455b", "84319aa8de6915ca1f6bda6bfbd8c766",
                  0x14f1c272, 0x3279c419}),
    [](const ::testing::TestParamInfo<ZucVector> &i) { return std::string(i.param.name); });

TEST(ZucIv, ExtendsCountBearerDirectionTo128Eea3Iv)
{
    unsigned char iv[16];
    unsigned char *p = iv;
    ASSERT_EQ(1, _ZUC_ExtendtoIV(0x12345678, 0x15, 1, &p));
    EXPECT_EQ("12345678ac00000012345678ac000000", ToHex(iv, 16));
}

// Data split into calls of any length gives the same cipher text as one
// call: the unused bytes of the last key-stream word are kept in the context.
class ZucSplitTest : public ::testing::TestWithParam<std::vector<size_t>> {};

TEST_P(ZucSplitTest, SplitCallsEqualOneCall)
{
    Bytes key = Random(16), iv = Random(16), plain = Random(64), whole(64), split(64);
    GM_ZUC_CTX a, b;
    gm_zuc_init(&a, key.data(), iv.data());
    ASSERT_EQ(1, gm_zuc_xor(&a, plain.data(), whole.data(), plain.size()));

    gm_zuc_init(&b, key.data(), iv.data());
    size_t off = 0;
    for (size_t piece : GetParam()) {
        ASSERT_EQ(1, gm_zuc_xor(&b, plain.data() + off, split.data() + off, piece));
        off += piece;
    }
    ASSERT_EQ(1, gm_zuc_xor(&b, plain.data() + off, split.data() + off, plain.size() - off));
    EXPECT_EQ(ToHex(whole), ToHex(split));

    // decryption with a fresh context, in place
    gm_zuc_init(&b, key.data(), iv.data());
    ASSERT_EQ(1, gm_zuc_xor(&b, split.data(), split.data(), split.size()));
    EXPECT_EQ(ToHex(plain), ToHex(split));
}

INSTANTIATE_TEST_SUITE_P(Splits, ZucSplitTest,
                         ::testing::Values(std::vector<size_t>{4, 4}, std::vector<size_t>{3, 5},
                                           std::vector<size_t>{1, 1, 1, 1, 1, 1, 1},
                                           std::vector<size_t>{0, 7, 2, 13}, std::vector<size_t>{63}));

TEST(ZucContext, NullContextFails)
{
    unsigned char b = 0;
    Bytes key(16, 0);
    EXPECT_EQ(0, gm_zuc_init(nullptr, key.data(), key.data()));
    EXPECT_EQ(0, gm_zuc_xor(nullptr, &b, &b, 1));
}

}  // namespace
