/* OpenSSL (EVP) as the independent side of the device-object tests: RSA and
 * SM2 keys in the GM/T 0016 record layout, raw RSA, PKCS #1 v1.5 and SM2
 * signatures, SM2 encryption and decryption (OpenSSL's DER form converted
 * to and from Struct_ECCCIPHERBLOB), SM3 and the SM2 Z value. */
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "skf/skf.h"
#include "skf/tests/SkfOpenSslOracle.h"

namespace oracle {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM *p) const { BN_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

inline Bn BnParam(EVP_PKEY *pkey, const char *name)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    return Bn(bn);
}

/* ---- SM2 ---- */

class Sm2Key {
public:
    Sm2Key() : m_key(NewSm2Key()) {}

    EVP_PKEY *Get() const { return m_key.get(); }

    Bytes X() const
    {
        Struct_ECCPUBLICKEYBLOB b = PublicBlob();
        return Bytes(b.XCoordinate + 32, b.XCoordinate + 64);
    }
    Bytes Y() const
    {
        Struct_ECCPUBLICKEYBLOB b = PublicBlob();
        return Bytes(b.YCoordinate + 32, b.YCoordinate + 64);
    }
    Bytes D() const { return BnBytes(BnParam(m_key.get(), OSSL_PKEY_PARAM_PRIV_KEY).get(), 32); }

    Struct_ECCPUBLICKEYBLOB PublicBlob() const { return Sm2PublicKeyBlob(m_key.get()); }

    Struct_ECCPRIVATEKEYBLOB PrivateBlob() const { return Sm2PrivateKeyBlob(m_key.get()); }

    /* Signature of the 32-byte value e as it is: r || s. */
    Bytes SignDigest(const Bytes &e) const
    {
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        unsigned char der[128];
        size_t len = sizeof(der);
        if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_sign(ctx.get(), der, &len, e.data(), e.size()) != 1)
            return {};
        return Sm2RsOfDer(Bytes(der, der + len));
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
                  EVP_PKEY_CTX_set1_id(pctx, SM2_DEFAULT_ID, 16) == 1 &&
                  EVP_DigestSign(md, der, &len, msg.data(), msg.size()) == 1;
        EVP_MD_CTX_free(md);
        if (!ok) return {};
        return Sm2RsOfDer(Bytes(der, der + len));
    }

    /* Verification of r || s over the 32-byte value e as it is. */
    bool VerifyDigest(const Bytes &e, const unsigned char *r, const unsigned char *s) const
    {
        Bytes der = Sm2SignatureDer(r, s);
        PkeyCtx ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
        return EVP_PKEY_verify_init(ctx.get()) == 1 &&
               EVP_PKEY_verify(ctx.get(), der.data(), der.size(), e.data(), e.size()) == 1;
    }

    /* The cipher blob's content in OpenSSL's form, decrypted. */
    Bytes Decrypt(const Struct_ECCCIPHERBLOB &blob) const { return Sm2Decrypt(m_key.get(), blob); }

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

    /* Z of the default ID and the key. */
    Bytes Z() const { return Sm2Z(PublicBlob()); }

private:
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

    Struct_RSAPUBLICKEYBLOB PublicBlob() const { return RsaPublicBlob(m_key.get()); }

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
