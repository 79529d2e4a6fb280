// Ciphers of the software layer against OpenSSL's EVP results (DES, 3DES and
// RC4 from OpenSSL's default and legacy providers, SM4 from OpenSSL's own
// SM4, independent of the GM layer).
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <string>
#include <tuple>
#include <vector>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

using oracle::Bytes;

struct CipherCase {
    unsigned int alg;
    unsigned int mode;
    const char *oracleName;
    size_t keyLen;
    size_t block;  // 1 for a stream mode
};

void PrintTo(const CipherCase &c, std::ostream *os) { *os << c.oracleName << " alg " << c.alg << " mode " << c.mode; }

const CipherCase kCiphers[] = {
    {2, 1, "DES-ECB", 8, 8},           {2, 2, "DES-CBC", 8, 8},           {2, 4, "DES-OFB", 8, 1},
    {2, 8, "DES-CFB", 8, 1},           {3, 1, "DES-EDE-ECB", 16, 8},      {3, 2, "DES-EDE-CBC", 16, 8},
    {3, 4, "DES-EDE-OFB", 16, 1},      {3, 8, "DES-EDE-CFB", 16, 1},      {4, 1, "DES-EDE3-ECB", 24, 8},
    {4, 2, "DES-EDE3-CBC", 24, 8},     {4, 4, "DES-EDE3-OFB", 24, 1},     {4, 8, "DES-EDE3-CFB", 24, 1},
    {8, 1, "RC4", 16, 1},              {8, 2, "RC4", 16, 1},              {8, 8, "RC4", 16, 1},
    {19, 2, "SM4-CBC", 16, 16},        {19, 1, "SM4-CBC", 16, 16},        {19, 4, "SM4-CBC", 16, 16},
    {19, 8, "SM4-CBC", 16, 16},
};

const size_t kLengths[] = {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 100, 4096};

/* The layer's init, update (in two pieces) and final in one direction. */
Bytes RunLayer(bool enc, const CipherCase &c, const Bytes &key, unsigned char *iv, const Bytes &in, bool padding,
               unsigned int *finalRv = nullptr)
{
    void *ctx = nullptr;
    auto init = enc ? SymEncryptInit : SymDecryptInit;
    auto update = enc ? SymEncryptUpdate : SymDecryptUpdate;
    auto final = enc ? SymEncryptFinal : SymDecryptFinal;
    EXPECT_EQ(0u, init(&ctx, c.alg, c.mode, const_cast<unsigned char *>(key.data()), iv));
    if (ctx == nullptr)
        return {};
    EVP_CIPHER_CTX_set_padding(static_cast<EVP_CIPHER_CTX *>(ctx), padding ? 1 : 0);
    Bytes out(in.size() + 32);
    Bytes src = in;
    src.push_back(0);  // a valid pointer for empty input
    size_t half = in.size() / 3;
    unsigned int n1 = 0, n2 = 0, n3 = 0;
    EXPECT_EQ(0u, update(ctx, src.data(), static_cast<unsigned int>(half), out.data(), &n1));
    EXPECT_EQ(0u, update(ctx, src.data() + half, static_cast<unsigned int>(in.size() - half), out.data() + n1, &n2));
    unsigned int rv = final(ctx, out.data() + n1 + n2, &n3);
    if (finalRv != nullptr)
        *finalRv = rv;
    else
        EXPECT_EQ(0u, rv);
    if (rv != 0) {
        EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX *>(ctx));  // kept by a failed final
        return {};
    }
    out.resize(n1 + n2 + n3);
    return out;
}

class CipherMatchesOpenSsl : public ::testing::TestWithParam<std::tuple<CipherCase, bool, size_t>> {};

TEST_P(CipherMatchesOpenSsl, EncryptsAsOpenSslAndDecryptsBack)
{
    const CipherCase c = std::get<0>(GetParam());
    const bool padding = std::get<1>(GetParam());
    const size_t len = std::get<2>(GetParam());
    const Bytes key = oracle::Pattern(c.keyLen, 3);
    const Bytes plain = oracle::Pattern(len, 5);
    Bytes iv = oracle::Pattern(16, 9);

    bool ok = false;
    const Bytes expected = oracle::Cipher(c.oracleName, true, key, iv.data(), plain, padding, &ok);
    ASSERT_TRUE(ok);
    Bytes ivCopy = iv;
    const Bytes cipher = RunLayer(true, c, key, ivCopy.data(), plain, padding);
    EXPECT_EQ(oracle::ToHex(expected), oracle::ToHex(cipher));

    ivCopy = iv;
    const Bytes back = RunLayer(false, c, key, ivCopy.data(), cipher, padding);
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back));
}

/* Every cipher with and without padding; without padding the block modes
 * take whole blocks only. */
std::vector<std::tuple<CipherCase, bool, size_t>> AllCombinations()
{
    std::vector<std::tuple<CipherCase, bool, size_t>> v;
    for (const CipherCase &c : kCiphers)
        for (bool padding : {true, false})
            for (size_t len : kLengths)
                if (padding || c.block == 1 || len % c.block == 0)
                    v.emplace_back(c, padding, len);
    return v;
}

INSTANTIATE_TEST_SUITE_P(AllCiphers, CipherMatchesOpenSsl, ::testing::ValuesIn(AllCombinations()));

TEST(Cipher, NullIvIsAZeroIv)
{
    const CipherCase c = {3, 2, "DES-EDE-CBC", 16, 8};
    const Bytes key = oracle::Pattern(16, 1);
    const Bytes plain = oracle::Pattern(40, 2);
    const unsigned char zero[16] = {};
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("DES-EDE-CBC", true, key, zero, plain, true)),
              oracle::ToHex(RunLayer(true, c, key, nullptr, plain, true)));
    const CipherCase s = {19, 2, "SM4-CBC", 16, 16};
    EXPECT_EQ(oracle::ToHex(oracle::Cipher("SM4-CBC", true, key, zero, plain, true)),
              oracle::ToHex(RunLayer(true, s, key, nullptr, plain, true)));
}

TEST(Cipher, Sm4SixteenBytesGiveABlockFromUpdateAndAPaddingBlockFromFinal)
{
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(16, 2), out(64);
    void *ctx = nullptr;
    unsigned int n1 = 0, n2 = 0;
    ASSERT_EQ(0u, SymEncryptInit(&ctx, SC_ALG_SM4, SC_MODE_ECB, key.data(), nullptr));
    ASSERT_EQ(0u, SymEncryptUpdate(ctx, plain.data(), 16, out.data(), &n1));
    ASSERT_EQ(0u, SymEncryptFinal(ctx, out.data() + n1, &n2));
    EXPECT_EQ(16u, n1);
    EXPECT_EQ(16u, n2);

    Bytes back(64);
    unsigned int m1 = 0, m2 = 0;
    ASSERT_EQ(0u, SymDecryptInit(&ctx, SC_ALG_SM4, SC_MODE_CBC, key.data(), nullptr));
    ASSERT_EQ(0u, SymDecryptUpdate(ctx, out.data(), 32, back.data(), &m1));
    ASSERT_EQ(0u, SymDecryptFinal(ctx, back.data() + m1, &m2));
    EXPECT_EQ(16u, m1 + m2);
    EXPECT_EQ(oracle::ToHex(plain), oracle::ToHex(back.data(), 16));
}

TEST(Cipher, UnknownPairsAreRefused)
{
    unsigned char key[24] = {};
    void *ctx = nullptr;
    EXPECT_EQ(NTE_FAIL, SymEncryptInit(&ctx, SC_ALG_3DES_2KEY, 16, key, nullptr));
    EXPECT_EQ(NTE_FAIL, SymDecryptInit(&ctx, SC_ALG_DES, 3, key, nullptr));
    EXPECT_EQ(NTE_FAIL, SymEncryptInit(&ctx, 5, SC_MODE_CBC, key, nullptr));
    EXPECT_EQ(NTE_FAIL, SymEncryptInit(&ctx, SC_ALG_SM1, SC_MODE_CBC, key, nullptr));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_EQ(nullptr, EVPSymEnc(SC_ALG_3DES_3KEY, 0));
    EXPECT_EQ(EVPSymEnc(SC_ALG_RC4, 1), EVPSymEnc(SC_ALG_RC4, 77));
    EXPECT_EQ(EVPSymEnc(SC_ALG_SM4, 1), EVPSymEnc(SC_ALG_SM4, 2));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SymEncryptInit(nullptr, SC_ALG_SM4, 2, key, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SymEncryptInit(&ctx, SC_ALG_SM4, 2, nullptr, nullptr));
}

class CipherDecryptFinalFails : public ::testing::TestWithParam<CipherCase> {};

TEST_P(CipherDecryptFinalFails, OnBadPaddingOrPartialBlockAndKeepsTheContext)
{
    const CipherCase c = GetParam();
    const Bytes key = oracle::Pattern(c.keyLen, 3);
    unsigned char zero[16] = {};
    unsigned int rv = 0;
    RunLayer(false, c, key, nullptr, oracle::Pattern(3 * c.block - 1, 6), true, &rv);
    EXPECT_EQ(CRYPTO_ERR_DECRYPT, rv) << "partial block";
    // Last plain byte 0x00 after decryption: never a valid padding.
    Bytes plainWithZero = oracle::Pattern(2 * c.block, 8);
    plainWithZero.back() = 0;
    Bytes bad = oracle::Cipher(c.oracleName, true, key, zero, plainWithZero, false);
    RunLayer(false, c, key, nullptr, bad, true, &rv);
    EXPECT_EQ(CRYPTO_ERR_DECRYPT, rv) << "bad padding";
}

INSTANTIATE_TEST_SUITE_P(BlockCiphers, CipherDecryptFinalFails,
                         ::testing::Values(CipherCase{2, 2, "DES-CBC", 8, 8}, CipherCase{3, 1, "DES-EDE-ECB", 16, 8},
                                           CipherCase{4, 2, "DES-EDE3-CBC", 24, 8},
                                           CipherCase{19, 2, "SM4-CBC", 16, 16}));

TEST(Cipher, HostDefaultContextGetsNoProvider)
{
    // Legacy algorithms through the layer ...
    Bytes key = oracle::Pattern(16, 1), plain = oracle::Pattern(8, 2);
    RunLayer(true, CipherCase{2, 1, "DES-ECB", 8, 8}, key, nullptr, plain, true);
    RunLayer(true, CipherCase{8, 1, "RC4", 16, 1}, key, nullptr, plain, true);
    // ... leave the process's default context as it was: no legacy there.
    EXPECT_EQ(0, OSSL_PROVIDER_available(nullptr, "legacy"));
}

}  // namespace
