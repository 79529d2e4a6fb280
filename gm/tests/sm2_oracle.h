// OpenSSL 3.0's own SM2 as the independent oracle of the SM2 tests and
// benchmarks: key import, signature with an identity, and the DER form of
// cipher texts.
#pragma once

#include "gm/tests/gm_test_util.h"

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <string>

namespace gmtest {

// An OpenSSL SM2 key from a 32-byte private key and the public coordinates.
inline EVP_PKEY *OpenSslSm2Key(const Bytes &d, const Bytes &x, const Bytes &y)
{
    Bytes pub{0x04};
    pub.insert(pub.end(), x.begin(), x.end());
    pub.insert(pub.end(), y.begin(), y.end());
    BIGNUM *bd = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, bd);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params) != 1)
        pkey = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bd);
    return pkey;
}

// DER signature of SM3(Z || msg) with the identity set; empty on failure.
inline Bytes OpenSslSm2Sign(EVP_PKEY *pkey, const std::string &id, const Bytes &msg)
{
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    Bytes sig(128);
    size_t len = sig.size();
    bool ok = EVP_DigestSignInit(mctx, &pctx, EVP_sm3(), nullptr, pkey) == 1
        && EVP_PKEY_CTX_set1_id(pctx, id.data(), id.size()) == 1
        && EVP_DigestSign(mctx, sig.data(), &len, msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(mctx);
    sig.resize(ok ? len : 0);
    return sig;
}

inline bool OpenSslSm2Verify(EVP_PKEY *pkey, const std::string &id, const Bytes &msg, const Bytes &sig)
{
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    bool ok = EVP_DigestVerifyInit(mctx, &pctx, EVP_sm3(), nullptr, pkey) == 1
        && EVP_PKEY_CTX_set1_id(pctx, id.data(), id.size()) == 1
        && EVP_DigestVerify(mctx, sig.data(), sig.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(mctx);
    return ok;
}

// OpenSSL's public-key encryption and decryption (DER SM2 cipher texts).
inline Bytes OpenSslSm2Crypt(EVP_PKEY *pkey, const Bytes &in, bool encrypt)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes out(in.size() + 200);
    size_t len = out.size();
    bool ok = (encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx)) == 1
        && (encrypt ? EVP_PKEY_encrypt(ctx, out.data(), &len, in.data(), in.size())
                    : EVP_PKEY_decrypt(ctx, out.data(), &len, in.data(), in.size())) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(ok ? len : 0);
    return out;
}

// C1 || C2 || C3 to the DER record SEQUENCE { x INTEGER, y INTEGER,
// hash OCTET STRING, cipherText OCTET STRING } and back.
inline Bytes RawToDer(const Bytes &raw)
{
    const size_t mlen = raw.size() - 97;
    STACK_OF(ASN1_TYPE) *seq = sk_ASN1_TYPE_new_null();
    auto push_int = [&](const unsigned char *p) {
        BIGNUM *bn = BN_bin2bn(p, 32, nullptr);
        ASN1_TYPE *t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_INTEGER, BN_to_ASN1_INTEGER(bn, nullptr));
        sk_ASN1_TYPE_push(seq, t);
        BN_free(bn);
    };
    auto push_octets = [&](const unsigned char *p, size_t n) {
        ASN1_OCTET_STRING *s = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(s, p, static_cast<int>(n));
        ASN1_TYPE *t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, s);
        sk_ASN1_TYPE_push(seq, t);
    };
    push_int(raw.data() + 1);
    push_int(raw.data() + 33);
    push_octets(raw.data() + 65 + mlen, 32);
    push_octets(raw.data() + 65, mlen);
    unsigned char *der = nullptr;
    int len = i2d_ASN1_SEQUENCE_ANY(seq, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

inline Bytes DerToRaw(const Bytes &der)
{
    const unsigned char *p = der.data();
    STACK_OF(ASN1_TYPE) *seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    Bytes raw;
    if (seq == nullptr || sk_ASN1_TYPE_num(seq) != 4) {
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
        return raw;
    }
    raw.push_back(0x04);
    for (int i = 0; i < 2; i++) {
        BIGNUM *bn = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr);
        unsigned char field[32];
        BN_bn2binpad(bn, field, 32);
        raw.insert(raw.end(), field, field + 32);
        BN_free(bn);
    }
    ASN1_OCTET_STRING *hash = sk_ASN1_TYPE_value(seq, 2)->value.octet_string;
    ASN1_OCTET_STRING *c2 = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
    raw.insert(raw.end(), c2->data, c2->data + c2->length);
    raw.insert(raw.end(), hash->data, hash->data + hash->length);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return raw;
}

}  // namespace gmtest
