/* The GM digest and cipher records for the crypto library's EVP interface:
 * SM3, SM4-CBC and ZUC.
 *
 * The accessors carry a gm_ prefix: libcrypto 3.0 exports EVP_sm3 and
 * EVP_sm4_cbc itself and calls them internally, so a definition of the same
 * name here would take over the library's own references.  The records are
 * made once per process and freed when the middleware is unloaded; they
 * are not entered in the library's lookup by name. */
#ifndef BRIO_GM_GM_EVP_H
#define BRIO_GM_GM_EVP_H

#include <stddef.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SM3: type NID_sm3, key type NID_SM2_with_SM3, 32-byte digest, 64-byte
 * block, over the block face of gm/sm3.h. */
const EVP_MD *gm_EVP_sm3(void);

/* SM4-CBC: NID_sm4_cbc, 16-byte block, key and IV; the cipher function
 * refuses data that is not whole blocks. */
const EVP_CIPHER *gm_EVP_sm4_cbc(void);

/* ZUC-128: the "zuc" object, stream cipher with a fixed 16-byte key and a
 * 16-byte IV; unused key-stream bytes carry over to the next call. */
const EVP_CIPHER *gm_EVP_zuc(void);

/* The records' key-setup and cipher functions. */
int sm4_cbc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv,
                     int enc);
int sm4_cbc_do_cipher(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                      size_t len);
int zuc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv, int enc);
int zuc_do_cipher(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in, size_t len);

#ifdef __cplusplus
}
#endif
#endif
