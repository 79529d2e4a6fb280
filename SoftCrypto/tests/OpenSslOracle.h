// Independent results from OpenSSL itself, for the software layer's tests:
// digests, ciphers (through a library context of the test's own with the
// default and legacy providers) and small byte helpers.
#ifndef BRIO_SOFTCRYPTO_TESTS_OPENSSL_ORACLE_H
#define BRIO_SOFTCRYPTO_TESTS_OPENSSL_ORACLE_H

#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>

#include <memory>
#include <string>
#include <vector>

namespace oracle {

using Bytes = std::vector<unsigned char>;

inline Bytes Pattern(size_t n, unsigned seed = 1)
{
    Bytes b(n);
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

inline Bytes FromHex(const std::string &hex)
{
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}

inline std::string ToHex(const unsigned char *p, size_t n)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}
inline std::string ToHex(const Bytes &b) { return ToHex(b.data(), b.size()); }

/* The test's own library context with both providers. */
inline OSSL_LIB_CTX *Ctx()
{
    static OSSL_LIB_CTX *s_ctx = [] {
        OSSL_LIB_CTX *ctx = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(ctx, "default");
        OSSL_PROVIDER_load(ctx, "legacy");
        return ctx;
    }();
    return s_ctx;
}

inline Bytes Digest(const char *name, const Bytes &data)
{
    EVP_MD *md = EVP_MD_fetch(Ctx(), name, nullptr);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    Bytes r;
    if (md != nullptr && EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) == 1)
        r.assign(out, out + len);
    EVP_MD_free(md);
    return r;
}

/* One-shot cipher; an empty result with *ok = false on failure. */
inline Bytes Cipher(const char *name, bool enc, const Bytes &key, const unsigned char *iv, const Bytes &in,
                    bool padding, bool *ok = nullptr)
{
    EVP_CIPHER *c = EVP_CIPHER_fetch(Ctx(), name, nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    bool good = c != nullptr && EVP_CipherInit_ex(ctx, c, nullptr, key.data(), iv, enc ? 1 : 0) == 1 &&
                EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1 &&
                EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
                EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    if (ok != nullptr)
        *ok = good;
    if (!good)
        return {};
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

/* A key pair of the type ("RSA", "SM2") from the parameters built in bld,
 * which is freed. */
inline Pkey KeyFromParams(const char *type, OSSL_PARAM_BLD *bld)
{
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY *pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params) != 1)
        pkey = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(pkey);
}

}  // namespace oracle

#endif
