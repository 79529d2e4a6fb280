// Owning pointers for the OpenSSL objects the virtual token's cryptography
// works with; numbers that may hold key material are cleared when freed.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace vtoken {

struct VtFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(ASN1_SEQUENCE_ANY* p) const { sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free); }
};
template <class T>
using VtOwned = std::unique_ptr<T, VtFree>;

}  // namespace vtoken
