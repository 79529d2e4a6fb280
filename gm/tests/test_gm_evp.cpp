// The SM3, SM4-CBC and ZUC records through the crypto library's EVP calls,
// against the standards' vectors and OpenSSL 3.0's own SM3 and SM4.
#include "gm/gm_evp.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <memory>
#include <vector>

#include "gm/gm_objects.h"
#include "gm/tests/gm_test_util.h"

using gmtest::Bytes;
using gmtest::FromHex;
using gmtest::ToHex;

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherCtx NewCipherCtx() { return CipherCtx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free); }

Bytes Digest(const EVP_MD *md, const Bytes &data, const std::vector<size_t> &pieces = {})
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    size_t off = 0;
    EXPECT_EQ(EVP_DigestInit_ex(ctx, md, nullptr), 1);
    for (size_t piece : pieces) {
        EXPECT_EQ(EVP_DigestUpdate(ctx, data.data() + off, piece), 1);
        off += piece;
    }
    EXPECT_EQ(EVP_DigestUpdate(ctx, data.data() + off, data.size() - off), 1);
    EXPECT_EQ(EVP_DigestFinal_ex(ctx, out.data(), &len), 1);
    EVP_MD_CTX_free(ctx);
    out.resize(len);
    return out;
}

// One pass of EVP_CipherUpdate/Final over data split into the given pieces.
Bytes Cipher(const EVP_CIPHER *cipher, const Bytes &key, const Bytes &iv, const Bytes &data,
             int enc, int padding, const std::vector<size_t> &pieces = {}, bool *ok = nullptr)
{
    CipherCtx ctx = NewCipherCtx();
    Bytes out(data.size() + 32);
    int len = 0, total = 0;
    size_t off = 0;
    bool good = EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), enc) == 1
        && EVP_CIPHER_CTX_set_padding(ctx.get(), padding) == 1;
    std::vector<size_t> all = pieces;
    size_t used = 0;
    for (size_t p : pieces)
        used += p;
    all.push_back(data.size() - used);
    for (size_t piece : all) {
        good = good && EVP_CipherUpdate(ctx.get(), out.data() + total, &len,
                                        data.data() + off, static_cast<int>(piece)) == 1;
        total += len;
        off += piece;
    }
    good = good && EVP_CipherFinal_ex(ctx.get(), out.data() + total, &len) == 1;
    if (good)
        total += len;
    if (ok != nullptr)
        *ok = good;
    else
        EXPECT_TRUE(good);
    out.resize(total);
    return out;
}

// ---- SM3 ------------------------------------------------------------------

TEST(GmEvpSm3, RecordDescribesSm3)
{
    const EVP_MD *md = gm_EVP_sm3();
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md, gm_EVP_sm3());
    EXPECT_NE(md, EVP_sm3()) << "the layer's record is its own, not libcrypto's";
    EXPECT_EQ(EVP_MD_type(md), NID_sm3);
    EXPECT_EQ(EVP_MD_pkey_type(md), NID_SM2_with_SM3);
    EXPECT_EQ(EVP_MD_size(md), 32);
    EXPECT_EQ(EVP_MD_block_size(md), 64);
}

TEST(GmEvpSm3, StandardVectors)
{
    EXPECT_EQ(ToHex(Digest(gm_EVP_sm3(), gmtest::Text("abc"))),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    std::string abcd;
    for (int i = 0; i < 16; i++)
        abcd += "abcd";
    EXPECT_EQ(ToHex(Digest(gm_EVP_sm3(), gmtest::Text(abcd))),
              "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
}

TEST(GmEvpSm3, EqualsLibcryptoForManyLengthsAndSplits)
{
    for (size_t len : {0, 1, 55, 56, 63, 64, 65, 127, 128, 1000, 4097}) {
        Bytes data = gmtest::Random(len);
        Bytes want = Digest(EVP_sm3(), data);
        EXPECT_EQ(Digest(gm_EVP_sm3(), data), want) << len;
        if (len > 70) {
            EXPECT_EQ(Digest(gm_EVP_sm3(), data, {1, 63, 5}), want) << len;
        }
    }
}

TEST(GmEvpSm3, CopiedContextContinuesIndependently)
{
    Bytes data = gmtest::Random(200);
    EVP_MD_CTX *a = EVP_MD_CTX_new(), *b = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestInit_ex(a, gm_EVP_sm3(), nullptr), 1);
    ASSERT_EQ(EVP_DigestUpdate(a, data.data(), 100), 1);
    ASSERT_EQ(EVP_MD_CTX_copy_ex(b, a), 1);
    ASSERT_EQ(EVP_DigestUpdate(a, data.data() + 100, 100), 1);
    ASSERT_EQ(EVP_DigestUpdate(b, data.data() + 100, 100), 1);
    Bytes da(32), db(32);
    ASSERT_EQ(EVP_DigestFinal_ex(a, da.data(), nullptr), 1);
    ASSERT_EQ(EVP_DigestFinal_ex(b, db.data(), nullptr), 1);
    EXPECT_EQ(da, db);
    EXPECT_EQ(da, Digest(EVP_sm3(), data));
    EVP_MD_CTX_free(a);
    EVP_MD_CTX_free(b);
}

// ---- SM4-CBC ----------------------------------------------------------------

const Bytes kSm4Key = FromHex("0123456789abcdeffedcba9876543210");

TEST(GmEvpSm4, RecordDescribesSm4Cbc)
{
    const EVP_CIPHER *c = gm_EVP_sm4_cbc();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, EVP_sm4_cbc());
    EXPECT_EQ(EVP_CIPHER_nid(c), NID_sm4_cbc);
    EXPECT_EQ(EVP_CIPHER_block_size(c), 16);
    EXPECT_EQ(EVP_CIPHER_key_length(c), 16);
    EXPECT_EQ(EVP_CIPHER_iv_length(c), 16);
    EXPECT_EQ(EVP_CIPHER_mode(c), EVP_CIPH_CBC_MODE);
}

TEST(GmEvpSm4, StandardExampleAsOneBlockWithZeroChaining)
{
    Bytes iv(16, 0);
    Bytes out = Cipher(gm_EVP_sm4_cbc(), kSm4Key, iv, kSm4Key, 1, 0);
    EXPECT_EQ(ToHex(out), "681edf34d206965e86b3e94f536e4246");
    EXPECT_EQ(Cipher(gm_EVP_sm4_cbc(), kSm4Key, iv, out, 0, 0), kSm4Key);
}

TEST(GmEvpSm4, EmptyInputWithPaddingIsOneBlockOfSixteens)
{
    Bytes iv = gmtest::Random(16);
    Bytes out = Cipher(gm_EVP_sm4_cbc(), kSm4Key, iv, {}, 1, 1);
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out, Cipher(EVP_sm4_cbc(), kSm4Key, iv, {}, 1, 1));
    EXPECT_EQ(Cipher(gm_EVP_sm4_cbc(), kSm4Key, iv, out, 0, 1), Bytes());
    Bytes raw = Cipher(gm_EVP_sm4_cbc(), kSm4Key, iv, out, 0, 0);
    EXPECT_EQ(raw, Bytes(16, 16));
}

TEST(GmEvpSm4, EqualsLibcryptoBothWaysForManyLengthsAndSplits)
{
    for (size_t len : {1, 15, 16, 17, 31, 32, 33, 100, 1024, 4099}) {
        Bytes key = gmtest::Random(16), iv = gmtest::Random(16), data = gmtest::Random(len);
        Bytes want = Cipher(EVP_sm4_cbc(), key, iv, data, 1, 1);
        EXPECT_EQ(Cipher(gm_EVP_sm4_cbc(), key, iv, data, 1, 1), want) << len;
        if (len > 20) {
            EXPECT_EQ(Cipher(gm_EVP_sm4_cbc(), key, iv, data, 1, 1, {3, 16, 1}), want) << len;
        }
        EXPECT_EQ(Cipher(gm_EVP_sm4_cbc(), key, iv, want, 0, 1), data) << len;
        EXPECT_EQ(Cipher(EVP_sm4_cbc(), key, iv, Cipher(gm_EVP_sm4_cbc(), key, iv, data, 1, 1), 0, 1),
                  data)
            << len;
    }
}

class Sm4DoCipherTest : public ::testing::TestWithParam<size_t> {};

// The cipher function refuses a piece that is not whole blocks and writes
// nothing then; whole blocks chain through the context's IV.
TEST_P(Sm4DoCipherTest, PartialBlocksAreRefusedWholeBlocksChain)
{
    size_t len = GetParam();
    Bytes iv(16, 0x5a), data = gmtest::Random(len);
    CipherCtx ctx = NewCipherCtx();
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), gm_EVP_sm4_cbc(), nullptr, kSm4Key.data(), iv.data()), 1);
    Bytes out(len + 16, 0xee);
    int rc = sm4_cbc_do_cipher(ctx.get(), out.data(), data.data(), len);
    if (len % 16 != 0) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(out, Bytes(len + 16, 0xee));
    } else {
        EXPECT_EQ(rc, 1);
        Bytes want = Cipher(EVP_sm4_cbc(), kSm4Key, iv, data, 1, 0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Sm4DoCipherTest, ::testing::Values(0, 15, 16, 32, 40, 47, 48));

TEST(GmEvpSm4, UnpaddedDataOfPartialBlockFailsAtFinal)
{
    bool ok = true;
    Cipher(gm_EVP_sm4_cbc(), kSm4Key, Bytes(16, 0), gmtest::Random(40), 1, 0, {}, &ok);
    EXPECT_FALSE(ok);
}

// ---- ZUC --------------------------------------------------------------------

TEST(GmEvpZuc, RecordIsAFixedLengthStreamCipher)
{
    const EVP_CIPHER *c = gm_EVP_zuc();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(EVP_CIPHER_nid(c), gm_obj_nid(GM_OBJ_ZUC));
    EXPECT_EQ(EVP_CIPHER_block_size(c), 1);
    EXPECT_EQ(EVP_CIPHER_key_length(c), 16);
    EXPECT_EQ(EVP_CIPHER_iv_length(c), 16);
    EXPECT_EQ(EVP_CIPHER_flags(c) & EVP_CIPH_VARIABLE_LENGTH, 0u);

    CipherCtx ctx = NewCipherCtx();
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), c, nullptr, nullptr, nullptr), 1);
    EXPECT_NE(EVP_CIPHER_CTX_set_key_length(ctx.get(), 32), 1);
}

struct ZucVector {
    const char *key, *iv, *firstWords;
};

class ZucVectorTest : public ::testing::TestWithParam<ZucVector> {};

TEST_P(ZucVectorTest, KeyStreamOfTheStandard)
{
    const ZucVector &v = GetParam();
    Bytes ks = Cipher(gm_EVP_zuc(), FromHex(v.key), FromHex(v.iv), Bytes(8, 0), 1, 0);
    EXPECT_EQ(ToHex(ks), v.firstWords);
}

INSTANTIATE_TEST_SUITE_P(
    Standard, ZucVectorTest,
    ::testing::Values(
        ZucVector{"00000000000000000000000000000000", "00000000000000000000000000000000",
                  "27bede74018082da"},
        ZucVector{"ffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffff",
                  "0657cfa07096398b"},
        ZucVector{"3d4c4be96a82fdaeb58f641db17b455b", "84319aa8de6915ca1f6bda6bfbd8c766",
                  "14f1c2723279c419"}));

class ZucSplitTest : public ::testing::TestWithParam<std::vector<size_t>> {};

// Data split differently on the two sides comes back whole: unused
// key-stream bytes of one call serve the next.
TEST_P(ZucSplitTest, AnySplitEqualsOneCall)
{
    Bytes key = gmtest::Random(16), iv = gmtest::Random(16), data = gmtest::Random(37);
    Bytes whole = Cipher(gm_EVP_zuc(), key, iv, data, 1, 0);
    Bytes split = Cipher(gm_EVP_zuc(), key, iv, data, 1, 0, GetParam());
    EXPECT_EQ(split, whole);
    EXPECT_EQ(Cipher(gm_EVP_zuc(), key, iv, split, 0, 0, {5, 3}), data);
}

INSTANTIATE_TEST_SUITE_P(Splits, ZucSplitTest,
                         ::testing::Values(std::vector<size_t>{4, 4}, std::vector<size_t>{3, 5},
                                           std::vector<size_t>{1, 1, 1, 1, 1, 6},
                                           std::vector<size_t>{7, 0, 2, 13},
                                           std::vector<size_t>{36}));

}  // namespace
