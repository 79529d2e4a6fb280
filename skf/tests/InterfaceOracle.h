/* OpenSSL as the independent side of the SKF flows: keys, signatures,
 * SM2 ciphertexts, ciphers and digests, to and from the GM/T 0016 records
 * of skf.h. */
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "skf/skf.h"
#include "skf/tests/SkfOpenSslOracle.h"

namespace skftest {

using oracle::Bytes;
using PkeyPtr = oracle::Pkey;

using oracle::BnBytes;
using oracle::Digest;
using oracle::RandomBytes;
using oracle::RsaPublicBlob;
using oracle::RsaPublicKey;
using oracle::Sm2PublicKey;
using oracle::Sm2PublicKeyBlob;
using oracle::Sm2Z;

/* The last n bytes of a right-aligned field. */
inline Bytes Tail(const BYTE *pField, size_t nField, size_t n)
{
    return Bytes(pField + nField - n, pField + nField);
}

inline void PutRight(BYTE *pField, size_t nField, const Bytes &v)
{
    memset(pField, 0, nField);
    memcpy(pField + nField - v.size(), v.data(), v.size());
}

/* ---- SM2 ---- */

inline PkeyPtr Sm2Generate() { return oracle::NewSm2Key(); }

inline ECCPRIVATEKEYBLOB Sm2PrivateBlob(EVP_PKEY *pkey) { return oracle::Sm2PrivateKeyBlob(pkey); }

inline Bytes Sm2SignatureDer(const ECCSIGNATUREBLOB &sig)
{
    return oracle::Sm2SignatureDer(sig.r + 32, sig.s + 32);
}

inline ECCSIGNATUREBLOB Sm2SignatureBlob(const Bytes &der)
{
    ECCSIGNATUREBLOB sig = {};
    Bytes rs = oracle::Sm2RsOfDer(der);
    rs.resize(64, 0);
    memcpy(sig.r + 32, rs.data(), 32);
    memcpy(sig.s + 32, rs.data() + 32, 32);
    return sig;
}

/* Verifies a signature of a 32-byte digest e (already SM3(Z || M)). */
inline bool Sm2VerifyDigest(EVP_PKEY *pkey, const Bytes &e, const ECCSIGNATUREBLOB &sig)
{
    Bytes der = Sm2SignatureDer(sig);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_verify(ctx, der.data(), der.size(), e.data(), e.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

inline ECCSIGNATUREBLOB Sm2SignDigest(EVP_PKEY *pkey, const Bytes &e)
{
    unsigned char abDer[128];
    size_t n = sizeof(abDer);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_sign(ctx, abDer, &n, e.data(), e.size());
    EVP_PKEY_CTX_free(ctx);
    return Sm2SignatureBlob(Bytes(abDer, abDer + n));
}

/* An SM2 ciphertext as the standard's record, in a buffer with room for
 * its cipher bytes. */
inline Bytes Sm2Encrypt(EVP_PKEY *pkey, const Bytes &plain)
{
    Bytes der(plain.size() + 256);
    size_t n = der.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_encrypt(ctx, der.data(), &n, plain.data(), plain.size());
    EVP_PKEY_CTX_free(ctx);
    der.resize(n);
    Bytes seq, x, y, hash, cipher;
    size_t pos = 0, inner = 0;
    oracle::DerRead(der, pos, 0x30, &seq);
    oracle::DerRead(seq, inner, 0x02, &x);
    oracle::DerRead(seq, inner, 0x02, &y);
    oracle::DerRead(seq, inner, 0x04, &hash);
    oracle::DerRead(seq, inner, 0x04, &cipher);
    hash.resize(32, 0);
    ECCCIPHERBLOB head = {};
    PutRight(head.XCoordinate, 64, oracle::Fixed(x, 32));
    PutRight(head.YCoordinate, 64, oracle::Fixed(y, 32));
    memcpy(head.HASH, hash.data(), 32);
    head.CipherLen = static_cast<ULONG>(cipher.size());
    const size_t nHead = offsetof(ECCCIPHERBLOB, Cipher);
    const unsigned char *pHead = reinterpret_cast<const unsigned char *>(&head);
    Bytes record(pHead, pHead + nHead);
    record.insert(record.end(), cipher.begin(), cipher.end());
    record.resize(std::max(record.size(), sizeof(ECCCIPHERBLOB)), 0);
    return record;
}

inline Bytes Sm2Decrypt(EVP_PKEY *pkey, const ECCCIPHERBLOB *pBlob)
{
    return oracle::Sm2Decrypt(pkey, *pBlob);
}

/* ---- Ciphers ---- */

inline Bytes Sm4(const Bytes &key, const Bytes &iv, const Bytes &in, bool bEncrypt, bool bCbc, bool bPad)
{
    return oracle::Cipher(bCbc ? "SM4-CBC" : "SM4-ECB", bEncrypt, key, bCbc ? iv.data() : nullptr, in, bPad);
}

/* ---- RSA ---- */

inline PkeyPtr RsaGenerate(unsigned int ulBits)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(ulBits));
    EVP_PKEY_generate(ctx, &pkey);
    EVP_PKEY_CTX_free(ctx);
    return PkeyPtr(pkey);
}

/* The public-key operation with a padding mode: RSA_NO_PADDING gives
 * in^e mod n, RSA_PKCS1_PADDING recovers what a PKCS #1 v1.5 signature
 * holds. */
inline Bytes RsaPublic(EVP_PKEY *pkey, const Bytes &in, int nPadding)
{
    Bytes out(512);
    size_t n = out.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    bool ok;
    if (nPadding == RSA_NO_PADDING) {
        ok = EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, nPadding) == 1 &&
             EVP_PKEY_encrypt(ctx, out.data(), &n, in.data(), in.size()) == 1;
    } else {
        ok = EVP_PKEY_verify_recover_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, nPadding) == 1 &&
             EVP_PKEY_verify_recover(ctx, out.data(), &n, in.data(), in.size()) == 1;
    }
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? n : 0);
    return out;
}

inline Bytes RsaSignPkcs1(EVP_PKEY *pkey, const Bytes &data)
{
    Bytes out(512);
    size_t n = out.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_sign(ctx, out.data(), &n, data.data(), data.size());
    EVP_PKEY_CTX_free(ctx);
    out.resize(n);
    return out;
}

/* A self-signed certificate of the key, DER. */
inline Bytes SelfSignedCertificate(EVP_PKEY *pkey, const char *pszName)
{
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600);
    X509_set_pubkey(x, pkey);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(pszName), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, pkey, EVP_sha256());
    unsigned char *pDer = nullptr;
    int n = i2d_X509(x, &pDer);
    Bytes der(pDer, pDer + (n > 0 ? n : 0));
    OPENSSL_free(pDer);
    X509_free(x);
    return der;
}

}  // namespace skftest
