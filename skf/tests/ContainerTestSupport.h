/* Tests of the container object against the virtual token on bus 22:
 * containers created with the operator and opened the way the application
 * object opens them (ReadContainer, SetContainerName on a new object), and
 * OpenSSL as the independent side for keys, signatures and cipher texts. */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "gm/tests/sm2_oracle.h"
#include "skf/ContainerObject.h"
#include "skf/tests/SkfOpenSslOracle.h"
#include "skf/tests/SkfTestToken.h"

static const unsigned int CONTAINER_TEST_BUS = 22;

using oracle::Bytes;
using oracle::NewSm2Key;
using oracle::Pkey;
using oracle::RsaPublicKey;
using oracle::SM2_DEFAULT_ID;
using oracle::Sm2Decrypt;
using oracle::Sm2PublicKey;

class ContainerTest : public SkfTokenTest {
protected:
    ContainerTest() : SkfTokenTest(CONTAINER_TEST_BUS) {}
    ~ContainerTest() override { m_vContainers.clear(); }

    /* A new object on an existing container, as the application object
     * opens one. */
    CContainerObject *Open(const char *pszName, bool bSingleCert = false)
    {
        CContainerObject *pContainer = new CContainerObject(Context());
        m_vContainers.emplace_back(pContainer);
        _QV_CONTAINER_INFO stInfo;
        memset(&stInfo, 0, sizeof(stInfo));
        strncpy(stInfo.szName, pszName, sizeof(stInfo.szName) - 1);
        EXPECT_EQ(0u, pContainer->ReadContainer(&stInfo, false)) << pszName;
        pContainer->SetContainerName((char *)pszName);
        pContainer->SetSingleCert(bSingleCert);
        return pContainer;
    }

    /* A container created on the token, then opened. */
    CContainerObject *Create(const char *pszName, bool bSingleCert = false)
    {
        EXPECT_EQ(0u, Operator()->CreateContainer((char *)pszName)) << pszName;
        return Open(pszName, bSingleCert);
    }

    /* A token on the suite's bus with the user PIN verified. */
    void OpenVerified(unsigned int ulAddr, unsigned int ulAlg = 0x13) { OpenToken(ulAddr, ulAlg, true); }

    /* The user PIN changed away from its factory value, and verified. */
    void ChangeUserPin()
    {
        ASSERT_EQ(0u, Operator()->ChangePIN(1, (char *)"12345678", 8, (char *)"87654321", 8));
        ASSERT_EQ(0u, VerifyUserPin("87654321"));
    }

    std::vector<std::unique_ptr<CContainerObject>> m_vContainers;
};

/* A 32-bit field of a packed record by value: gtest takes its arguments by
 * reference, and the field may sit at an odd address. */
inline ULONG Field(ULONG ulValue) { return ulValue; }

inline Bytes Random(size_t n) { return oracle::RandomBytes(n); }

/* A certificate as the token stores it: a DER sequence with a two-byte
 * length, random content. */
inline Bytes FakeCertificate(size_t n)
{
    Bytes v = Random(n);
    v[0] = 0x30;
    v[1] = 0x82;
    v[2] = (unsigned char)((n - 4) >> 8);
    v[3] = (unsigned char)(n - 4);
    return v;
}

inline bool AllBytes(const unsigned char *p, size_t n, unsigned char b)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != b) return false;
    return true;
}

inline Bytes Sm4Ecb(const Bytes &key, const Bytes &in, bool bEncrypt = true)
{
    return oracle::Cipher("SM4-ECB", bEncrypt, key, nullptr, in, false);
}

/* ---- OpenSSL keys from the SKF records and back ---- */

/* An OpenSSL SM2 key as the SKF record. */
inline ECCPUBLICKEYBLOB BlobOf(EVP_PKEY *pkey) { return oracle::Sm2PublicKeyBlob(pkey); }

/* A big number of a key, big-endian in n bytes. */
inline Bytes KeyPart(EVP_PKEY *pkey, const char *name, int n)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    Bytes v = oracle::BnBytes(bn, (size_t)n);
    BN_clear_free(bn);
    return v;
}

/* OpenSSL's RSA PKCS #1 v1.5 encryption of a key to an RSA public key. */
inline Bytes RsaWrap(const RSAPUBLICKEYBLOB &to, const Bytes &key)
{
    Pkey pkey = RsaPublicKey(to);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey.get(), nullptr);
    Bytes wrapped(to.BitLen / 8);
    size_t len = wrapped.size();
    bool ok = EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx, wrapped.data(), &len, key.data(), key.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    wrapped.resize(ok ? len : 0);
    return wrapped;
}

/* ---- SM2 signatures and cipher texts ---- */

/* e = SM3(Z || M), Z of the default ID and the key. */
inline Bytes Sm2Digest(const ECCPUBLICKEYBLOB &blob, const Bytes &msg)
{
    Bytes e = oracle::Sm2Z(blob);
    e.insert(e.end(), msg.begin(), msg.end());
    return oracle::Sm3(e);
}

/* OpenSSL verifies r || s (the right-hand 32 bytes of each field) over the
 * message with the default ID. */
inline bool Sm2VerifiesMessage(const ECCPUBLICKEYBLOB &key, const Bytes &msg, const ECCSIGNATUREBLOB &sig)
{
    Pkey pkey = Sm2PublicKey(key);
    return gmtest::OpenSslSm2Verify(pkey.get(), SM2_DEFAULT_ID, msg, oracle::Sm2SignatureDer(sig.r + 32, sig.s + 32));
}

/* OpenSSL's SM2 encryption as an SKF cipher record, with room for the
 * cipher bytes after its one Cipher byte. */
inline Bytes Sm2CipherRecord(EVP_PKEY *pkey, const Bytes &msg)
{
    Bytes raw = gmtest::DerToRaw(gmtest::OpenSslSm2Crypt(pkey, msg, true));  /* C1 || C2 || C3 */
    const size_t c2Len = raw.size() - 97;
    Bytes v(32, 0);
    v.insert(v.end(), raw.begin() + 1, raw.begin() + 33);
    v.insert(v.end(), 32, 0);
    v.insert(v.end(), raw.begin() + 33, raw.begin() + 65);
    v.insert(v.end(), raw.end() - 32, raw.end());
    ULONG len = (ULONG)c2Len;
    v.insert(v.end(), (unsigned char *)&len, (unsigned char *)&len + 4);
    v.insert(v.end(), raw.begin() + 65, raw.begin() + 65 + (long)c2Len);
    return v;
}
