// Without OpenSSL's legacy module, DES and RC4 are refused like an unknown
// cipher and everything else keeps working.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/tests/OpenSslOracle.h"

namespace {

TEST(WithoutLegacyProvider, DesAndRc4AreUnsupportedOthersWork)
{
    // Before the layer's first call: its context then finds no modules.
    ASSERT_EQ(0, setenv("OPENSSL_MODULES", "/nonexistent/ossl-modules", 1));
    unsigned char key[24] = {1, 2, 3}, in[16] = {4, 5, 6}, out[64];
    unsigned int n = 0;
    void *ctx = nullptr;
    for (unsigned int mode : {SC_MODE_ECB, SC_MODE_CBC, SC_MODE_OFB, SC_MODE_CFB}) {
        EXPECT_EQ(NTE_FAIL, SymEncryptInit(&ctx, SC_ALG_DES, mode, key, nullptr));
        EXPECT_EQ(nullptr, EVPSymEnc(SC_ALG_DES, mode));
    }
    EXPECT_EQ(NTE_FAIL, SymDecryptInit(&ctx, SC_ALG_RC4, SC_MODE_ECB, key, nullptr));
    EXPECT_EQ(nullptr, ctx);

    for (unsigned int alg : {SC_ALG_3DES_2KEY, SC_ALG_3DES_3KEY, SC_ALG_SM4}) {
        ASSERT_EQ(0u, SymEncryptInit(&ctx, alg, SC_MODE_CBC, key, nullptr)) << alg;
        unsigned int m = 0;
        ASSERT_EQ(0u, SymEncryptUpdate(ctx, in, 16, out, &n));
        ASSERT_EQ(0u, SymEncryptFinal(ctx, out + n, &m));
        ctx = nullptr;
    }
    for (unsigned int id : {SC_HASH_MD5, SC_HASH_SHA1, SC_HASH_SHA256, SC_HASH_SHA512, SC_HASH_SM3})
        EXPECT_EQ(0u, Hash_Digest(id, in, 16, out, &n)) << id;
}

}  // namespace
