/* The GM layer's DER decoders on any bytes: SM2Cipher, PFX_SM2 and its two
 * parts, SM2_PRIVATEKEY, the private-key decoder into an EC key and the
 * legacy EC private-key decoder.  What decodes is encoded again, and the
 * encoding of that must decode to the same bytes (a stable round trip). */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "gm/gm_asn1.h"

namespace {

/* d2i, i2d, then d2i and i2d again: both encodings must be equal. */
template <class T>
void RoundTrip(const uint8_t *data, size_t size, T *(*d2i)(T **, const unsigned char **, long),
               int (*i2d)(const T *, unsigned char **), void (*freeFn)(T *))
{
    const unsigned char *p = data;
    T *obj = d2i(nullptr, &p, static_cast<long>(size));
    if (obj == nullptr) return;
    if (p < data || p > data + size) abort();
    unsigned char *der = nullptr;
    int len = i2d(obj, &der);
    freeFn(obj);
    if (len <= 0) return;
    const unsigned char *q = der;
    T *again = d2i(nullptr, &q, len);
    if (again == nullptr || q != der + len) abort();
    unsigned char *der2 = nullptr;
    int len2 = i2d(again, &der2);
    if (len2 != len || memcmp(der, der2, static_cast<size_t>(len)) != 0) abort();
    freeFn(again);
    OPENSSL_free(der);
    OPENSSL_free(der2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RoundTrip<SM2Cipher>(data, size, d2i_SM2Cipher, i2d_SM2Cipher, SM2Cipher_free);
    RoundTrip<PFX_SM2>(data, size, d2i_PFX_SM2, i2d_PFX_SM2, PFX_SM2_free);
    RoundTrip<PFX_SM2_PRIVATE_DATA>(data, size, d2i_PFX_SM2_PRIVATE_DATA, i2d_PFX_SM2_PRIVATE_DATA,
                                    PFX_SM2_PRIVATE_DATA_free);
    RoundTrip<PFX_SM2_PUBLIC_DATA>(data, size, d2i_PFX_SM2_PUBLIC_DATA, i2d_PFX_SM2_PUBLIC_DATA,
                                   PFX_SM2_PUBLIC_DATA_free);
    RoundTrip<SM2_PRIVATEKEY>(data, size, d2i_SM2_PRIVATEKEY, i2d_SM2_PRIVATEKEY, SM2_PRIVATEKEY_free);

    BIO *bio = BIO_new_mem_buf(data, static_cast<int>(size));
    if (bio != nullptr) {
        PFX_SM2_free(d2i_SM2_PFX_bio(bio, nullptr));
        BIO_free(bio);
    }

    /* The private key into an EC key, and that key encoded back. */
    const unsigned char *p = data;
    EC_KEY *key = d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(size));
    if (key != nullptr) {
        unsigned char *der = nullptr;
        int len = i2d_SM2PrivateKey(key, &der);
        if (len > 0) {
            const unsigned char *q = der;
            EC_KEY *again = d2i_SM2PrivateKey(nullptr, &q, len);
            if (again == nullptr) abort();
            EC_KEY_free(again);
        }
        OPENSSL_free(der);
        EC_KEY_free(key);
    }

    EVP_PKEY *pkey = EVP_PKEY_new();
    p = data;
    if (size <= 0x7FFFFFFF) ec_priv_decode_legacy(pkey, &p, static_cast<int>(size));
    EVP_PKEY_free(pkey);
    ERR_clear_error();
    return 0;
}
