/* Tests of the container object against the virtual token on bus 22:
 * containers created with the operator and opened the way the application
 * object opens them (ReadContainer, SetContainerName on a new object), and
 * OpenSSL as the independent side for keys, signatures and cipher texts. */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <vector>

#include "SoftCrypto/tests/OpenSslOracle.h"
#include "gm/tests/sm2_oracle.h"
#include "skf/ContainerObject.h"
#include "skf/tests/SkfTestToken.h"

static const unsigned int CONTAINER_TEST_BUS = 22;

using Bytes = std::vector<unsigned char>;
using oracle::Pkey;

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

inline Bytes Random(size_t n)
{
    Bytes v(n);
    RAND_bytes(v.data(), (int)n);
    return v;
}

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

/* 04 || X || Y of a 256-bit key record. */
inline Bytes PointOf(const ECCPUBLICKEYBLOB &blob)
{
    Bytes point = {0x04};
    point.insert(point.end(), blob.XCoordinate + 32, blob.XCoordinate + 64);
    point.insert(point.end(), blob.YCoordinate + 32, blob.YCoordinate + 64);
    return point;
}

inline Pkey Sm2PublicKey(const ECCPUBLICKEYBLOB &blob)
{
    Bytes point = PointOf(blob);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return oracle::KeyFromParams("SM2", bld);
}

inline Pkey NewSm2Key()
{
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
}

/* An OpenSSL SM2 key as the SKF record: BitLen 256, X and Y right-aligned. */
inline ECCPUBLICKEYBLOB BlobOf(EVP_PKEY *pkey)
{
    unsigned char point[65];
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &len);
    ECCPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof(blob));
    blob.BitLen = 256;
    memcpy(blob.XCoordinate + 32, point + 1, 32);
    memcpy(blob.YCoordinate + 32, point + 33, 32);
    return blob;
}

/* A big number of a key, big-endian in n bytes. */
inline Bytes KeyPart(EVP_PKEY *pkey, const char *name, int n)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    Bytes v((size_t)n);
    BN_bn2binpad(bn, v.data(), n);
    BN_clear_free(bn);
    return v;
}

inline Pkey RsaPublicKey(const RSAPUBLICKEYBLOB &blob)
{
    BIGNUM *n = BN_bin2bn(blob.Modulus + 256 - blob.BitLen / 8, (int)(blob.BitLen / 8), nullptr);
    BIGNUM *e = BN_bin2bn(blob.PublicExponent, 4, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    Pkey p = oracle::KeyFromParams("RSA", bld);
    BN_free(n);
    BN_free(e);
    return p;
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

static const char SM2_DEFAULT_ID[] = "1234567812345678";

/* e = SM3(Z || M), Z of the default ID and the key. */
inline Bytes Sm2Digest(const ECCPUBLICKEYBLOB &blob, const Bytes &msg)
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *a = BN_new(), *b = BN_new(), *x = BN_new(), *y = BN_new();
    EC_GROUP_get_curve(group, nullptr, a, b, nullptr);
    EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), x, y, nullptr);
    Bytes z = {0x00, 0x80};
    z.insert(z.end(), SM2_DEFAULT_ID, SM2_DEFAULT_ID + 16);
    for (BIGNUM *bn : {a, b, x, y}) {
        unsigned char field[32];
        BN_bn2binpad(bn, field, 32);
        z.insert(z.end(), field, field + 32);
        BN_free(bn);
    }
    EC_GROUP_free(group);
    Bytes point = PointOf(blob);
    z.insert(z.end(), point.begin() + 1, point.end());
    Bytes e = oracle::Digest("SM3", z);
    e.insert(e.end(), msg.begin(), msg.end());
    return oracle::Digest("SM3", e);
}

/* OpenSSL verifies r || s (the right-hand 32 bytes of each field) over the
 * message with the default ID. */
inline bool Sm2VerifiesMessage(const ECCPUBLICKEYBLOB &key, const Bytes &msg, const ECCSIGNATUREBLOB &sig)
{
    Pkey pkey = Sm2PublicKey(key);
    ECDSA_SIG *es = ECDSA_SIG_new();
    ECDSA_SIG_set0(es, BN_bin2bn(sig.r + 32, 32, nullptr), BN_bin2bn(sig.s + 32, 32, nullptr));
    unsigned char *der = nullptr;
    int derLen = i2d_ECDSA_SIG(es, &der);
    ECDSA_SIG_free(es);
    Bytes vDer(der, der + (derLen > 0 ? derLen : 0));
    OPENSSL_free(der);
    return gmtest::OpenSslSm2Verify(pkey.get(), SM2_DEFAULT_ID, msg, vDer);
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

/* OpenSSL decrypts an SKF cipher record with the private key. */
inline Bytes Sm2Decrypt(EVP_PKEY *pkey, const ECCCIPHERBLOB &blob)
{
    Bytes raw = {0x04};
    raw.insert(raw.end(), blob.XCoordinate + 32, blob.XCoordinate + 64);
    raw.insert(raw.end(), blob.YCoordinate + 32, blob.YCoordinate + 64);
    raw.insert(raw.end(), blob.Cipher, blob.Cipher + blob.CipherLen);
    raw.insert(raw.end(), blob.HASH, blob.HASH + 32);
    return gmtest::OpenSslSm2Crypt(pkey, gmtest::RawToDer(raw), false);
}
