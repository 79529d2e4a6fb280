// The calls of the software layer and of protected data are exported from
// the shared library: this test links against it alone.
#include <gtest/gtest.h>

#include <cstring>

#include "SoftCrypto/ProtectData.h"
#include "SoftCrypto/SoftCrypto.h"

namespace {

TEST(SharedLibraryExports, EveryCallResolves)
{
    const void *calls[] = {
        reinterpret_cast<const void *>(&GenRand),
        reinterpret_cast<const void *>(&RSA_PublicEncrypt),
        reinterpret_cast<const void *>(&RSA_Encrypt),
        reinterpret_cast<const void *>(&RSA_GenKey),
        reinterpret_cast<const void *>(
            static_cast<unsigned int (*)(_QV_RSA_KEY_PAIR *, unsigned int, unsigned char *, unsigned char *,
                                         unsigned int)>(&RSA_Verify)),
        reinterpret_cast<const void *>(
            static_cast<unsigned int (*)(_QV_RSA_KEY_PAIR *, unsigned int, unsigned char *, unsigned int,
                                         unsigned char *, unsigned int)>(&RSA_Verify)),
        reinterpret_cast<const void *>(&SM2_GenKey),
        reinterpret_cast<const void *>(&SM2_GetZVal),
        reinterpret_cast<const void *>(
            static_cast<unsigned int (*)(_QV_SM2_KEY_PAIR *, unsigned char *, unsigned char *, unsigned int)>(
                &SM2_Verify)),
        reinterpret_cast<const void *>(
            static_cast<unsigned int (*)(_QV_SM2_KEY_PAIR *, unsigned char *, unsigned int, unsigned char *,
                                         unsigned int)>(&SM2_Verify)),
        reinterpret_cast<const void *>(&SM2_Encrypt),
        reinterpret_cast<const void *>(&EVPSymEnc),
        reinterpret_cast<const void *>(&Hash_Init),
        reinterpret_cast<const void *>(&Hash_Update),
        reinterpret_cast<const void *>(&Hash_Final),
        reinterpret_cast<const void *>(&Hash_Digest),
        reinterpret_cast<const void *>(&SymEncryptInit),
        reinterpret_cast<const void *>(&SymEncryptUpdate),
        reinterpret_cast<const void *>(&SymEncryptFinal),
        reinterpret_cast<const void *>(&SymDecryptInit),
        reinterpret_cast<const void *>(&SymDecryptUpdate),
        reinterpret_cast<const void *>(&SymDecryptFinal),
        reinterpret_cast<const void *>(&CreateProtectData),
        reinterpret_cast<const void *>(&AcquireProtectData),
        reinterpret_cast<const void *>(&SwapByteOrder),
    };
    for (const void *p : calls)
        EXPECT_NE(nullptr, p);

    unsigned char md[32] = {};
    unsigned int len = 0;
    ASSERT_EQ(0u, Hash_Digest(SC_HASH_SM3, reinterpret_cast<const unsigned char *>("abc"), 3, md, &len));
    EXPECT_EQ(0x66, md[0]);
    unsigned char pin[16] = "0123456789abcde", data[5] = {1, 2, 3, 4, 5};
    unsigned char *blob = nullptr, *back = nullptr;
    unsigned int blobLen = 0, backLen = 0;
    ASSERT_EQ(0u, CreateProtectData(data, 5, pin, 16, &blob, blobLen));
    ASSERT_EQ(0u, AcquireProtectData(blob, blobLen, pin, 16, &back, backLen));
    EXPECT_EQ(0, memcmp(back, data, 5));
    delete[] blob;
    delete[] back;
}

}  // namespace
