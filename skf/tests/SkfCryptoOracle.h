/* OpenSSL (EVP) as the independent side of the device-object tests: RSA and
 * SM2 keys in the GM/T 0016 record layout, raw RSA, PKCS #1 v1.5 and SM2
 * signatures, SM2 encryption and decryption (OpenSSL's DER form converted
 * to and from Struct_ECCCIPHERBLOB), SM3 and the SM2 Z value. */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>
#include <vector>

#include "skf/skf.h"

namespace oracle {

using Bytes = std::vector<unsigned char>;

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM *p) const { BN_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

inline Bytes RandomBytes(size_t n)
{
    Bytes b(n);
    if (n > 0) RAND_bytes(b.data(), (int)n);
    return b;
}

inline Bytes Sm3(const Bytes &data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sm3(), nullptr);
    return Bytes(out, out + len);
}

inline Bytes BnBytes(const BIGNUM *bn, size_t width)
{
    Bytes b(width);
    BN_bn2binpad(bn, b.data(), (int)width);
    return b;
}

inline Bn BnParam(EVP_PKEY *pkey, const char *name)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    return Bn(bn);
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

/* ---- SM2 ---- */

class Sm2Key {
public:
    Sm2Key() : m_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")) {}

    EVP_PKEY *Get() const { return m_key.get(); }

    Bytes X() const { return Point(1); }
    Bytes Y() const { return Point(33); }
    Bytes D() const { return BnBytes(BnParam(m_key.get(), OSSL_PKEY_PARAM_PRIV_KEY).get(), 32); }

    Struct_ECCPUBLICKEYBLOB PublicBlob() const
    {
        Struct_ECCPUBLICKEYBLOB b;
        memset(&b, 0, sizeof(b));
        b.BitLen = 256;
        Bytes x = X(), y = Y();
        memcpy(b.XCoordinate + 32, x.data(), 32);
        memcpy(b.YCoordinate + 32, y.data(), 32);
        return b;
    }

    Struct_ECCPRIVATEKEYBLOB PrivateBlob() const
    {
        Struct_ECCPRIVATEKEYBLOB b;
        memset(&b, 0, sizeof(b));
        b.BitLen = 256;
        Bytes d = D();
        memcpy(b.PrivateKey + 32, d.data(), 32);
        return b;
    }

    /* Signature of the 32-byte value e as it is: r || s. */
    Bytes SignDigest(const Bytes &e) const
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        unsigned char der[128];
        size_t len = sizeof(der);
        if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_sign(ctx.get(), der, &len, e.data(), e.size()) != 1)
            return {};
        return RsOfDer(Bytes(der, der + len));
    }

    /* OpenSSL's own SM2 signature of a message (SM3 over its Z with the
     * default ID, then the message): r || s. */
    Bytes SignMessage(const Bytes &msg) const
    {
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        EVP_PKEY_CTX *pctx = nullptr;
        unsigned char der[128];
        size_t len = sizeof(der);
        bool ok = EVP_DigestSignInit(md, &pctx, EVP_sm3(), nullptr, m_key.get()) == 1 &&
                  EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) == 1 &&
                  EVP_DigestSign(md, der, &len, msg.data(), msg.size()) == 1;
        EVP_MD_CTX_free(md);
        if (!ok) return {};
        return RsOfDer(Bytes(der, der + len));
    }

    /* Verification of r || s over the 32-byte value e as it is. */
    bool VerifyDigest(const Bytes &e, const unsigned char *r, const unsigned char *s) const
    {
        Bytes content, der;
        DerInteger(content, r, 32);
        DerInteger(content, s, 32);
        DerItem(der, 0x30, content);
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        return EVP_PKEY_verify_init(ctx.get()) == 1 &&
               EVP_PKEY_verify(ctx.get(), der.data(), der.size(), e.data(), e.size()) == 1;
    }

    /* The cipher blob's content in OpenSSL's form, decrypted. */
    Bytes Decrypt(const Struct_ECCCIPHERBLOB &blob) const
    {
        Bytes content, der;
        DerInteger(content, blob.XCoordinate + 32, 32);
        DerInteger(content, blob.YCoordinate + 32, 32);
        DerItem(content, 0x04, Bytes(blob.HASH, blob.HASH + 32));
        DerItem(content, 0x04, Bytes(blob.Cipher, blob.Cipher + blob.CipherLen));
        DerItem(der, 0x30, content);
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        Bytes out(blob.CipherLen + 16);
        size_t len = out.size();
        if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
            EVP_PKEY_decrypt(ctx.get(), out.data(), &len, der.data(), der.size()) != 1)
            return {};
        out.resize(len);
        return out;
    }

    /* OpenSSL's encryption of plain as a cipher blob (room for the cipher after it). */
    std::vector<unsigned char> Encrypt(const Bytes &plain) const
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        Bytes der(plain.size() + 200);
        size_t len = der.size();
        std::vector<unsigned char> room;
        if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
            EVP_PKEY_encrypt(ctx.get(), der.data(), &len, plain.data(), plain.size()) != 1)
            return room;
        der.resize(len);
        Bytes seq, x, y, hash, c2;
        size_t pos = 0, inner = 0;
        if (!DerRead(der, pos, 0x30, &seq) || !DerRead(seq, inner, 0x02, &x) || !DerRead(seq, inner, 0x02, &y) ||
            !DerRead(seq, inner, 0x04, &hash) || !DerRead(seq, inner, 0x04, &c2) || hash.size() != 32)
            return room;
        room.assign(sizeof(Struct_ECCCIPHERBLOB) + c2.size(), 0);
        Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
        memcpy(pBlob->XCoordinate + 32, Fixed(x, 32).data(), 32);
        memcpy(pBlob->YCoordinate + 32, Fixed(y, 32).data(), 32);
        memcpy(pBlob->HASH, hash.data(), 32);
        pBlob->CipherLen = (ULONG)c2.size();
        if (!c2.empty()) memcpy(pBlob->Cipher, c2.data(), c2.size());
        return room;
    }

    /* Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) for the default ID,
     * the curve's numbers taken from OpenSSL's SM2 group. */
    Bytes Z() const
    {
        static const char ID[] = "1234567812345678";
        EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
        Bn a(BN_new()), b(BN_new()), p(BN_new()), gx(BN_new()), gy(BN_new());
        EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), nullptr);
        EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx.get(), gy.get(), nullptr);
        EC_GROUP_free(group);
        Bytes in = {0x00, 0x80};
        in.insert(in.end(), ID, ID + 16);
        for (const BIGNUM *bn : {a.get(), b.get(), gx.get(), gy.get()}) {
            Bytes v = BnBytes(bn, 32);
            in.insert(in.end(), v.begin(), v.end());
        }
        Bytes x = X(), y = Y();
        in.insert(in.end(), x.begin(), x.end());
        in.insert(in.end(), y.begin(), y.end());
        return Sm3(in);
    }

private:
    /* r || s of a DER signature, 32 bytes each. */
    static Bytes RsOfDer(const Bytes &der)
    {
        Bytes seq, r, s;
        size_t pos = 0, inner = 0;
        if (!DerRead(der, pos, 0x30, &seq) || !DerRead(seq, inner, 0x02, &r) || !DerRead(seq, inner, 0x02, &s))
            return {};
        Bytes rs = Fixed(r, 32), ss = Fixed(s, 32);
        rs.insert(rs.end(), ss.begin(), ss.end());
        return rs;
    }

    Bytes Point(size_t offset) const
    {
        unsigned char pub[65];
        size_t len = 0;
        EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof(pub), &len);
        return Bytes(pub + offset, pub + offset + 32);
    }

    Pkey m_key;
};

/* fnEncrypt(plain, length, blob) encrypts plaintexts of 1 to 128 bytes
 * under key into a blob with room for exactly the cipher; OpenSSL must open
 * each, and nothing may be written past the cipher. */
template <class F>
void ExpectSm2EncryptionOpens(const Sm2Key &key, F fnEncrypt)
{
    for (unsigned int len : {1u, 32u, 100u, 128u}) {
        SCOPED_TRACE(len);
        Bytes plain = RandomBytes(len);
        std::vector<unsigned char> room(sizeof(Struct_ECCCIPHERBLOB) + len, 0xCC);
        Struct_ECCCIPHERBLOB *pBlob = reinterpret_cast<Struct_ECCCIPHERBLOB *>(room.data());
        ASSERT_EQ(0u, fnEncrypt(plain.data(), len, pBlob));
        EXPECT_EQ(len, (unsigned int)pBlob->CipherLen);
        EXPECT_EQ(Bytes(32, 0), Bytes(pBlob->XCoordinate, pBlob->XCoordinate + 32));
        EXPECT_EQ(Bytes(32, 0), Bytes(pBlob->YCoordinate, pBlob->YCoordinate + 32));
        EXPECT_EQ(plain, key.Decrypt(*pBlob));
        EXPECT_EQ(0xCC, room[sizeof(Struct_ECCCIPHERBLOB) - 1 + len]) << "written past the cipher";
    }
}

/* ---- RSA ---- */

class RsaKey {
public:
    explicit RsaKey(unsigned int bits, unsigned long exponent = 65537)
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        Bn e(BN_new());
        BN_set_word(e.get(), exponent);
        EVP_PKEY *key = nullptr;
        if (EVP_PKEY_keygen_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), (int)bits) == 1 &&
            EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1)
            EVP_PKEY_keygen(ctx.get(), &key);
        m_key.reset(key);
        m_bytes = bits / 8;
    }

    size_t ModulusBytes() const { return m_bytes; }
    Bytes N() const { return BnBytes(BnParam(m_key.get(), OSSL_PKEY_PARAM_RSA_N).get(), m_bytes); }

    Struct_RSAPUBLICKEYBLOB PublicBlob() const
    {
        Struct_RSAPUBLICKEYBLOB b;
        memset(&b, 0, sizeof(b));
        b.AlgID = SGD_RSA;
        b.BitLen = (ULONG)(m_bytes * 8);
        Bytes n = N();
        memcpy(b.Modulus + 256 - m_bytes, n.data(), m_bytes);
        Bytes e = BnBytes(BnParam(m_key.get(), OSSL_PKEY_PARAM_RSA_E).get(), 4);
        memcpy(b.PublicExponent, e.data(), 4);
        return b;
    }

    /* in^e mod N, no padding. */
    Bytes RawPublic(const Bytes &in) const { return Op(in, true, RSA_NO_PADDING); }
    /* block^d mod N, no padding: a "signature" of any block. */
    Bytes RawPrivate(const Bytes &block) const { return Op(block, false, RSA_NO_PADDING); }
    /* The PKCS #1 v1.5 signature (type 1) of data as it is. */
    Bytes SignPkcs1(const Bytes &data) const
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        Bytes out(m_bytes);
        size_t len = out.size();
        if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_sign(ctx.get(), out.data(), &len, data.data(), data.size()) != 1)
            return {};
        out.resize(len);
        return out;
    }

private:
    Bytes Op(const Bytes &in, bool bPublic, int padding) const
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        Bytes out(m_bytes);
        size_t len = out.size();
        bool ok = bPublic ? EVP_PKEY_encrypt_init(ctx.get()) == 1 : EVP_PKEY_decrypt_init(ctx.get()) == 1;
        ok = ok && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1;
        ok = ok && (bPublic ? EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size())
                            : EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size())) == 1;
        if (!ok) return {};
        out.resize(len);
        return out;
    }

    Pkey m_key;
    size_t m_bytes = 0;
};

}  // namespace oracle
