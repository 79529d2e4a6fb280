// The GM registration in the shared library: made once on first use,
// released when the library is unloaded, made again after a reload.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "gm/tests/gm_test_util.h"

using gmtest::Bytes;
using gmtest::FromHex;

namespace {

struct GmCalls {
    const EVP_CIPHER *(*pfnZuc)(void);
    const EVP_MD *(*pfnSm3)(void);
    int (*pfnSetPkeyDecrypt)(ENGINE *, void *);
};

template <typename T>
void Bind(void *pHandle, const char *pszName, T *ppfn)
{
    *ppfn = reinterpret_cast<T>(dlsym(pHandle, pszName));
    ASSERT_NE(nullptr, *ppfn) << pszName;
}

void *Load(GmCalls *pCalls)
{
    void *pHandle = dlopen(BRIO_MIDDLEWARE_SO, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(nullptr, pHandle) << dlerror();
    if (pHandle == nullptr)
        return nullptr;
    Bind(pHandle, "gm_EVP_zuc", &pCalls->pfnZuc);
    Bind(pHandle, "gm_EVP_sm3", &pCalls->pfnSm3);
    Bind(pHandle, "ENGINE_set_pkey_decrypt_function", &pCalls->pfnSetPkeyDecrypt);
    return pHandle;
}

Bytes ZucKeyStream(const EVP_CIPHER *zuc)
{
    Bytes key(16, 0), iv(16, 0), out(8, 0);
    int len = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, zuc, nullptr, key.data(), iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, out.data(), 8), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

int Decrypt(EVP_PKEY_CTX *, unsigned char *, size_t *, const unsigned char *, size_t) { return 1; }

TEST(GmUnload, RecordsWorkAgainAfterAReloadAndEnginesOutliveTheLibrary)
{
    ENGINE *engine = ENGINE_new();
    int zucNid = NID_undef;
    for (int round = 0; round < 2; round++) {
        GmCalls calls{};
        void *pHandle = Load(&calls);
        ASSERT_NE(pHandle, nullptr);
        const EVP_CIPHER *zuc = calls.pfnZuc();
        ASSERT_NE(zuc, nullptr);
        EXPECT_EQ(ZucKeyStream(zuc), FromHex("27bede74018082da")) << round;
        if (round == 0)
            zucNid = EVP_CIPHER_nid(zuc);
        EXPECT_EQ(EVP_CIPHER_nid(zuc), zucNid) << "the object made first is found again";
        EXPECT_EQ(EVP_MD_type(calls.pfnSm3()), NID_sm3);
        EXPECT_EQ(calls.pfnSetPkeyDecrypt(engine, reinterpret_cast<void *>(Decrypt)), 1);
        EXPECT_EQ(dlclose(pHandle), 0);
    }
    // The slot data's clean-up must not call into the unloaded library.
    ENGINE_free(engine);
    EXPECT_STREQ(OBJ_nid2sn(zucNid), "zuc");
}

}  // namespace
