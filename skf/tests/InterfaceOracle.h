/* OpenSSL as the independent side of the SKF flows: keys, signatures,
 * SM2 ciphertexts, ciphers and digests, to and from the GM/T 0016 records
 * of skf.h. */
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>

#include <memory>
#include <string>
#include <vector>

#include "skf/skf.h"

namespace skftest {

using Bytes = std::vector<unsigned char>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

inline Bytes RandomBytes(size_t n)
{
    Bytes v(n);
    RAND_bytes(v.data(), static_cast<int>(n));
    return v;
}

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

inline Bytes BnBytes(const BIGNUM *bn, size_t n)
{
    Bytes v(n);
    BN_bn2binpad(bn, v.data(), static_cast<int>(n));
    return v;
}

/* ---- SM2 ---- */

inline PkeyPtr Sm2Generate()
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_generate(ctx, &pkey);
    EVP_PKEY_CTX_free(ctx);
    return PkeyPtr(pkey, EVP_PKEY_free);
}

inline ECCPUBLICKEYBLOB Sm2PublicBlob(EVP_PKEY *pkey)
{
    ECCPUBLICKEYBLOB blob = {};
    unsigned char abPoint[65];
    size_t n = sizeof(abPoint);
    EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, abPoint, sizeof(abPoint), &n);
    blob.BitLen = 256;
    PutRight(blob.XCoordinate, 64, Bytes(abPoint + 1, abPoint + 33));
    PutRight(blob.YCoordinate, 64, Bytes(abPoint + 33, abPoint + 65));
    return blob;
}

inline ECCPRIVATEKEYBLOB Sm2PrivateBlob(EVP_PKEY *pkey)
{
    ECCPRIVATEKEYBLOB blob = {};
    BIGNUM *d = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    blob.BitLen = 256;
    PutRight(blob.PrivateKey, 64, BnBytes(d, 32));
    BN_clear_free(d);
    return blob;
}

inline PkeyPtr Sm2FromBlob(const ECCPUBLICKEYBLOB &blob)
{
    unsigned char abPoint[65] = {0x04};
    memcpy(abPoint + 1, blob.XCoordinate + 32, 32);
    memcpy(abPoint + 33, blob.YCoordinate + 32, 32);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, abPoint, sizeof(abPoint));
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return PkeyPtr(pkey, EVP_PKEY_free);
}

/* Minimal DER for the SM2 records OpenSSL reads and writes. */
inline void DerPut(Bytes &out, unsigned char tag, const Bytes &v)
{
    out.push_back(tag);
    if (v.size() < 128) {
        out.push_back(static_cast<unsigned char>(v.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<unsigned char>(v.size() >> 8));
        out.push_back(static_cast<unsigned char>(v.size()));
    }
    out.insert(out.end(), v.begin(), v.end());
}

inline Bytes DerInteger(const Bytes &big)
{
    size_t i = 0;
    while (i + 1 < big.size() && big[i] == 0) ++i;
    Bytes v(big.begin() + static_cast<long>(i), big.end());
    if (v[0] & 0x80) v.insert(v.begin(), 0);
    Bytes out;
    DerPut(out, 0x02, v);
    return out;
}

/* Reads one element at p (advanced past it); its contents. */
inline Bytes DerGet(const unsigned char *&p, unsigned char tag)
{
    if (*p++ != tag) return Bytes();
    size_t n = *p++;
    if (n & 0x80) {
        size_t k = n & 0x7F;
        n = 0;
        while (k--) n = (n << 8) | *p++;
    }
    Bytes v(p, p + n);
    p += n;
    return v;
}

inline Bytes Fixed32(Bytes v)
{
    while (v.size() > 32 && v[0] == 0) v.erase(v.begin());
    v.insert(v.begin(), 32 - v.size(), 0);
    return v;
}

inline Bytes Sm2SignatureDer(const ECCSIGNATUREBLOB &sig)
{
    Bytes body = DerInteger(Tail(sig.r, 64, 32));
    Bytes s = DerInteger(Tail(sig.s, 64, 32));
    body.insert(body.end(), s.begin(), s.end());
    Bytes out;
    DerPut(out, 0x30, body);
    return out;
}

inline ECCSIGNATUREBLOB Sm2SignatureBlob(const Bytes &der)
{
    ECCSIGNATUREBLOB sig = {};
    const unsigned char *p = der.data();
    Bytes seq = DerGet(p, 0x30);
    const unsigned char *q = seq.data();
    PutRight(sig.r, 64, Fixed32(DerGet(q, 0x02)));
    PutRight(sig.s, 64, Fixed32(DerGet(q, 0x02)));
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
    const unsigned char *p = der.data();
    Bytes seq = DerGet(p, 0x30);
    const unsigned char *q = seq.data();
    Bytes x = Fixed32(DerGet(q, 0x02)), y = Fixed32(DerGet(q, 0x02));
    Bytes hash = DerGet(q, 0x04), cipher = DerGet(q, 0x04);
    ECCCIPHERBLOB head = {};
    PutRight(head.XCoordinate, 64, x);
    PutRight(head.YCoordinate, 64, y);
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
    Bytes body = DerInteger(Tail(pBlob->XCoordinate, 64, 32));
    Bytes y = DerInteger(Tail(pBlob->YCoordinate, 64, 32));
    body.insert(body.end(), y.begin(), y.end());
    DerPut(body, 0x04, Bytes(pBlob->HASH, pBlob->HASH + 32));
    DerPut(body, 0x04, Bytes(pBlob->Cipher, pBlob->Cipher + pBlob->CipherLen));
    Bytes der;
    DerPut(der, 0x30, body);
    Bytes plain(pBlob->CipherLen + 16);
    size_t n = plain.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_decrypt(ctx, plain.data(), &n, der.data(), der.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    plain.resize(ok ? n : 0);
    return plain;
}

/* ---- Digests ---- */

inline Bytes Digest(const char *pszName, const Bytes &data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_get_digestbyname(pszName), nullptr);
    out.resize(n);
    return out;
}

/* Z of GM/T 0003 for the default user id and the key, from the curve's
 * parameters as OpenSSL holds them. */
inline Bytes Sm2Z(const ECCPUBLICKEYBLOB &pub, const std::string &strId = "1234567812345678")
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
    EC_GROUP_get_curve(group, p, a, b, nullptr);
    EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, nullptr);
    Bytes in = {static_cast<unsigned char>((strId.size() * 8) >> 8), static_cast<unsigned char>(strId.size() * 8)};
    in.insert(in.end(), strId.begin(), strId.end());
    for (BIGNUM *bn : {a, b, gx, gy}) {
        Bytes v = BnBytes(bn, 32);
        in.insert(in.end(), v.begin(), v.end());
    }
    Bytes x = Tail(pub.XCoordinate, 64, 32), y = Tail(pub.YCoordinate, 64, 32);
    in.insert(in.end(), x.begin(), x.end());
    in.insert(in.end(), y.begin(), y.end());
    for (BIGNUM *bn : {p, a, b, gx, gy}) BN_free(bn);
    EC_GROUP_free(group);
    return Digest("SM3", in);
}

/* ---- Ciphers ---- */

inline Bytes Sm4(const Bytes &key, const Bytes &iv, const Bytes &in, bool bEncrypt, bool bCbc, bool bPad)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, bCbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, key.data(), bCbc ? iv.data() : nullptr,
                      bEncrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, bPad ? 1 : 0);
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

/* ---- RSA ---- */

inline PkeyPtr RsaFromBlob(const RSAPUBLICKEYBLOB &blob)
{
    size_t n = blob.BitLen / 8;
    BIGNUM *bnN = BN_bin2bn(blob.Modulus + sizeof(blob.Modulus) - n, static_cast<int>(n), nullptr);
    BIGNUM *bnE = BN_bin2bn(blob.PublicExponent, sizeof(blob.PublicExponent), nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bnN);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bnE);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bnN);
    BN_free(bnE);
    return PkeyPtr(pkey, EVP_PKEY_free);
}

inline PkeyPtr RsaGenerate(unsigned int ulBits)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(ulBits));
    EVP_PKEY_generate(ctx, &pkey);
    EVP_PKEY_CTX_free(ctx);
    return PkeyPtr(pkey, EVP_PKEY_free);
}

inline RSAPUBLICKEYBLOB RsaPublicBlob(EVP_PKEY *pkey)
{
    RSAPUBLICKEYBLOB blob = {};
    BIGNUM *bnN = nullptr, *bnE = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &bnN);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &bnE);
    blob.AlgID = SGD_RSA;
    blob.BitLen = static_cast<ULONG>(BN_num_bits(bnN));
    PutRight(blob.Modulus, sizeof(blob.Modulus), BnBytes(bnN, blob.BitLen / 8));
    PutRight(blob.PublicExponent, sizeof(blob.PublicExponent), BnBytes(bnE, 4));
    BN_free(bnN);
    BN_free(bnE);
    return blob;
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
