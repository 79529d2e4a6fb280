/* OpenSSL as the independent side of the SKF tests, the pieces all of them
 * share: random bytes, big numbers, the minimal DER of the SM2 records,
 * OpenSSL keys from the GM/T 0016 public key records and back, the SM2 Z
 * value and SM2 decryption of a cipher record. Built on the software
 * layer's oracle (digests, ciphers, keys from parameters). */
#pragma once

#include <string.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "SoftCrypto/tests/OpenSslOracle.h"
#include "skf/skf.h"

namespace oracle {

static const char SM2_DEFAULT_ID[] = "1234567812345678";

inline Bytes RandomBytes(size_t n)
{
    Bytes b(n);
    if (n > 0) RAND_bytes(b.data(), (int)n);
    return b;
}

inline Bytes Sm3(const Bytes &data) { return Digest("SM3", data); }

/* A big number, big-endian in width bytes. */
inline Bytes BnBytes(const BIGNUM *bn, size_t width)
{
    Bytes b(width);
    BN_bn2binpad(bn, b.data(), (int)width);
    return b;
}

/* ---- minimal DER for the SM2 records ---- */

inline void DerLength(Bytes &out, size_t len)
{
    if (len < 0x80) {
        out.push_back((unsigned char)len);
    } else if (len < 0x100) {
        out.push_back(0x81);
        out.push_back((unsigned char)len);
    } else {
        out.push_back(0x82);
        out.push_back((unsigned char)(len >> 8));
        out.push_back((unsigned char)len);
    }
}

inline void DerItem(Bytes &out, unsigned char tag, const Bytes &content)
{
    out.push_back(tag);
    DerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

/* A non-negative INTEGER from big-endian bytes. */
inline void DerInteger(Bytes &out, const unsigned char *pb, size_t len)
{
    while (len > 1 && pb[0] == 0) {
        ++pb;
        --len;
    }
    Bytes content;
    if (pb[0] & 0x80) content.push_back(0);
    content.insert(content.end(), pb, pb + len);
    DerItem(out, 0x02, content);
}

/* Reads one item of the tag at pos; its content. */
inline bool DerRead(const Bytes &in, size_t &pos, unsigned char tag, Bytes *content)
{
    if (pos + 2 > in.size() || in[pos] != tag) return false;
    size_t len = in[pos + 1], hdr = 2;
    if (len == 0x81 || len == 0x82) {
        size_t n = len - 0x80;
        if (pos + 2 + n > in.size()) return false;
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | in[pos + 2 + i];
        hdr += n;
    }
    if (pos + hdr + len > in.size()) return false;
    content->assign(in.begin() + pos + hdr, in.begin() + pos + hdr + len);
    pos += hdr + len;
    return true;
}

/* An INTEGER's value right-aligned in width bytes. */
inline Bytes Fixed(const Bytes &integer, size_t width)
{
    Bytes v = integer;
    while (v.size() > width && v[0] == 0) v.erase(v.begin());
    Bytes out(width - (v.size() < width ? v.size() : width), 0);
    out.insert(out.end(), v.begin(), v.end());
    return out;
}

/* The DER signature OpenSSL reads of r and s, 32 bytes each. */
inline Bytes Sm2SignatureDer(const unsigned char *r, const unsigned char *s)
{
    Bytes content, der;
    DerInteger(content, r, 32);
    DerInteger(content, s, 32);
    DerItem(der, 0x30, content);
    return der;
}

/* r || s of a DER signature, 32 bytes each; empty if it does not parse. */
inline Bytes Sm2RsOfDer(const Bytes &der)
{
    Bytes seq, r, s;
    size_t pos = 0, inner = 0;
    if (!DerRead(der, pos, 0x30, &seq) || !DerRead(seq, inner, 0x02, &r) || !DerRead(seq, inner, 0x02, &s))
        return {};
    Bytes rs = Fixed(r, 32), ss = Fixed(s, 32);
    rs.insert(rs.end(), ss.begin(), ss.end());
    return rs;
}

/* ---- keys from the SKF records and back ---- */

/* 04 || X || Y of a 256-bit key record. */
inline Bytes Sm2Point(const ECCPUBLICKEYBLOB &blob)
{
    Bytes point = {0x04};
    point.insert(point.end(), blob.XCoordinate + 32, blob.XCoordinate + 64);
    point.insert(point.end(), blob.YCoordinate + 32, blob.YCoordinate + 64);
    return point;
}

inline Pkey Sm2PublicKey(const ECCPUBLICKEYBLOB &blob)
{
    Bytes point = Sm2Point(blob);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return KeyFromParams("SM2", bld);
}

/* The record of a 256-bit key: BitLen 256, X and Y right-aligned. */
inline ECCPUBLICKEYBLOB Sm2PublicKeyBlob(const unsigned char *x, const unsigned char *y)
{
    ECCPUBLICKEYBLOB b;
    memset(&b, 0, sizeof(b));
    b.BitLen = 256;
    memcpy(b.XCoordinate + 32, x, 32);
    memcpy(b.YCoordinate + 32, y, 32);
    return b;
}

inline ECCPUBLICKEYBLOB Sm2PublicKeyBlob(EVP_PKEY *pkey)
{
    unsigned char point[65] = {0};
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &len);
    return Sm2PublicKeyBlob(point + 1, point + 33);
}

inline Pkey NewSm2Key() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

/* The private record of an SM2 key: BitLen 256, d right-aligned. */
inline ECCPRIVATEKEYBLOB Sm2PrivateKeyBlob(EVP_PKEY *pkey)
{
    ECCPRIVATEKEYBLOB blob;
    memset(&blob, 0, sizeof(blob));
    BIGNUM *d = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    blob.BitLen = 256;
    Bytes v = BnBytes(d, 32);
    memcpy(blob.PrivateKey + 32, v.data(), 32);
    BN_clear_free(d);
    return blob;
}

inline Pkey RsaPublicKey(const RSAPUBLICKEYBLOB &blob)
{
    size_t n = blob.BitLen / 8;
    BIGNUM *bnN = BN_bin2bn(blob.Modulus + sizeof(blob.Modulus) - n, (int)n, nullptr);
    BIGNUM *bnE = BN_bin2bn(blob.PublicExponent, sizeof(blob.PublicExponent), nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bnN);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bnE);
    Pkey pkey = KeyFromParams("RSA", bld);
    BN_free(bnN);
    BN_free(bnE);
    return pkey;
}

/* An OpenSSL RSA key as the SKF record: the modulus right-aligned, the
 * exponent in four bytes. */
inline RSAPUBLICKEYBLOB RsaPublicBlob(EVP_PKEY *pkey)
{
    RSAPUBLICKEYBLOB blob;
    memset(&blob, 0, sizeof(blob));
    BIGNUM *bnN = nullptr, *bnE = nullptr;
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &bnN);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &bnE);
    blob.AlgID = SGD_RSA;
    blob.BitLen = (ULONG)BN_num_bits(bnN);
    size_t n = blob.BitLen / 8;
    Bytes vN = BnBytes(bnN, n), vE = BnBytes(bnE, sizeof(blob.PublicExponent));
    memcpy(blob.Modulus + sizeof(blob.Modulus) - n, vN.data(), n);
    memcpy(blob.PublicExponent, vE.data(), vE.size());
    BN_free(bnN);
    BN_free(bnE);
    return blob;
}

/* ---- SM2 ---- */

/* Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), the curve's
 * numbers taken from OpenSSL's SM2 group. */
inline Bytes Sm2Z(const unsigned char *x, const unsigned char *y, const std::string &strId = SM2_DEFAULT_ID)
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
    EC_GROUP_get_curve(group, nullptr, a, b, nullptr);
    EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, nullptr);
    EC_GROUP_free(group);
    Bytes in = {(unsigned char)((strId.size() * 8) >> 8), (unsigned char)(strId.size() * 8)};
    in.insert(in.end(), strId.begin(), strId.end());
    for (BIGNUM *bn : {a, b, gx, gy}) {
        Bytes v = BnBytes(bn, 32);
        in.insert(in.end(), v.begin(), v.end());
        BN_free(bn);
    }
    in.insert(in.end(), x, x + 32);
    in.insert(in.end(), y, y + 32);
    return Sm3(in);
}

inline Bytes Sm2Z(const ECCPUBLICKEYBLOB &blob, const std::string &strId = SM2_DEFAULT_ID)
{
    return Sm2Z(blob.XCoordinate + 32, blob.YCoordinate + 32, strId);
}

/* OpenSSL decrypts an SKF cipher record (in OpenSSL's DER form) with the
 * private key; empty if it does not open. */
inline Bytes Sm2Decrypt(EVP_PKEY *pkey, const ECCCIPHERBLOB &blob)
{
    Bytes content, der;
    DerInteger(content, blob.XCoordinate + 32, 32);
    DerInteger(content, blob.YCoordinate + 32, 32);
    DerItem(content, 0x04, Bytes(blob.HASH, blob.HASH + 32));
    DerItem(content, 0x04, Bytes(blob.Cipher, blob.Cipher + blob.CipherLen));
    DerItem(der, 0x30, content);
    Bytes out(blob.CipherLen + 16);
    size_t len = out.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    bool ok = EVP_PKEY_decrypt_init(ctx) == 1 &&
              EVP_PKEY_decrypt(ctx, out.data(), &len, der.data(), der.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? len : 0);
    return out;
}

}  // namespace oracle
