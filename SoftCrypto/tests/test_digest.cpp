// Digests of the software layer against OpenSSL's own results.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

struct DigestId {
    unsigned int id;
    const char *name;  // OpenSSL's name (and the openssl dgst option)
};

const DigestId kDigests[] = {
    {SC_HASH_MD5, "MD5"}, {SC_HASH_SHA1, "SHA1"}, {SC_HASH_SHA256, "SHA256"}, {SC_HASH_SHA512, "SHA512"},
    {SC_HASH_SM3, "SM3"},
};

const size_t kLengths[] = {0, 1, 3, 55, 56, 63, 64, 65, 127, 128, 1000, 100003};

class DigestMatchesOpenSsl : public ::testing::TestWithParam<std::tuple<DigestId, size_t>> {};

TEST_P(DigestMatchesOpenSsl, OneShotAndInPieces)
{
    const DigestId d = std::get<0>(GetParam());
    const Bytes data = oracle::Pattern(std::get<1>(GetParam()), d.id);
    const Bytes expected = oracle::Digest(d.name, data);
    ASSERT_FALSE(expected.empty());

    unsigned char out[64] = {};
    unsigned int len = 0;
    ASSERT_EQ(0u, Hash_Digest(d.id, data.data(), static_cast<unsigned int>(data.size()), out, &len));
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(out, len));

    // Pieces of changing sizes across block boundaries.
    const size_t pieces[] = {1, 7, 55, 64, 65, 13};
    void *ctx = nullptr;
    ASSERT_EQ(0u, Hash_Init(&ctx, d.id));
    size_t off = 0;
    for (size_t i = 0; off < data.size(); ++i) {
        size_t n = std::min(pieces[i % 6], data.size() - off);
        ASSERT_EQ(0u, Hash_Update(ctx, data.data() + off, static_cast<unsigned int>(n)));
        off += n;
    }
    unsigned char out2[64] = {};
    unsigned int len2 = 0;
    ASSERT_EQ(0u, Hash_Final(ctx, out2, &len2));
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(out2, len2));
}

INSTANTIATE_TEST_SUITE_P(AllIdsAndLengths, DigestMatchesOpenSsl,
                         ::testing::Combine(::testing::ValuesIn(kDigests), ::testing::ValuesIn(kLengths)));

/* The command-line tool as a second oracle over one file. */
class DigestMatchesOpensslDgst : public ::testing::TestWithParam<DigestId> {};

TEST_P(DigestMatchesOpensslDgst, OverAFile)
{
    const DigestId d = GetParam();
    const Bytes data = oracle::Pattern(4099, 7);
    char path[] = "/tmp/softcrypto-dgst-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(data.size()), write(fd, data.data(), data.size()));
    close(fd);
    std::string cmd = std::string("openssl dgst -r -") + d.name + " " + path;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    char line[512] = {};
    ASSERT_NE(nullptr, fgets(line, sizeof line, p));
    pclose(p);
    unlink(path);
    std::string hex(line);
    hex = hex.substr(0, hex.find(' '));

    unsigned char out[64] = {};
    unsigned int len = 0;
    ASSERT_EQ(0u, Hash_Digest(d.id, data.data(), static_cast<unsigned int>(data.size()), out, &len));
    EXPECT_EQ(hex, oracle::ToHex(out, len));
}

INSTANTIATE_TEST_SUITE_P(AllIds, DigestMatchesOpensslDgst, ::testing::ValuesIn(kDigests));

TEST(Digest, Sm3OfAbcIsTheStandardVector)
{
    unsigned char out[32] = {};
    unsigned int len = 0;
    ASSERT_EQ(0u, Hash_Digest(SC_HASH_SM3, reinterpret_cast<const unsigned char *>("abc"), 3, out, &len));
    EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", oracle::ToHex(out, len));
}

class DigestUnknownId : public ::testing::TestWithParam<unsigned int> {};

TEST_P(DigestUnknownId, AnswersNotEnoughMemory)
{
    unsigned char out[64] = {};
    unsigned int len = 0;
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, Hash_Digest(GetParam(), reinterpret_cast<const unsigned char *>("abc"), 3,
                                                   out, &len));
    void *ctx = nullptr;
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, Hash_Init(&ctx, GetParam()));
    EXPECT_EQ(nullptr, ctx);
}

INSTANTIATE_TEST_SUITE_P(Ids, DigestUnknownId, ::testing::Values(14u, 15u, 9u, 0u, 19u));

TEST(Digest, RefusesMissingArguments)
{
    unsigned char out[64] = {};
    unsigned int len = 0;
    void *ctx = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Init(nullptr, SC_HASH_SHA1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Update(nullptr, "x", 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Final(nullptr, out, &len));
    ASSERT_EQ(0u, Hash_Init(&ctx, SC_HASH_SHA1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Update(ctx, nullptr, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Final(ctx, nullptr, &len));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Final(ctx, out, nullptr));
    // The context survived the refused calls.
    ASSERT_EQ(0u, Hash_Final(ctx, out, &len));
    EXPECT_EQ(20u, len);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Hash_Digest(SC_HASH_SHA1, nullptr, 3, out, &len));
}

}  // namespace
