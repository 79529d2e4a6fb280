/* SM2 through the crypto library's key objects, as functions of the GM
 * layer.
 *
 * OpenSSL 3.0 sends EVP_PKEY_sign/verify/encrypt/decrypt on an SM2 key to
 * its own SM2 in the default provider; the EC key method cannot be hooked.
 * The routes below are the operations of the EC key method for SM2 keys,
 * called with an EVP_PKEY_CTX over the key, and compute with the layer's
 * SM2 core on the key's own curve (920 or 921).
 *
 * The engine's extra function slots are kept as ex_data of the ENGINE. */
#ifndef BRIO_GM_GM_PKEY_H
#define BRIO_GM_GM_PKEY_H

#include <stddef.h>
#include <openssl/engine.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Signature of a digest: DER SEQUENCE { r, s }.  sig null: *siglen = the
 * ECDSA signature size, 1.  *siglen below it: 0 (buffer too small).  A key
 * on an SM2 curve (without an engine, or with an "openssl ecdsa" engine)
 * is signed with SM2 over e = the digest; 1, or -1 on failure.  Other keys
 * are signed with ECDSA. */
int pkey_ec_sm2_sign(EVP_PKEY_CTX *ctx, unsigned char *sig, size_t *siglen,
                     const unsigned char *tbs, size_t tbslen);

/* SM2 keys (without an engine, or with a "pkcs11" or "openssl ecdsa"
 * engine): 1 for a valid signature, -1 otherwise.  Other keys: ECDSA. */
int pkey_ec_sm2_verify(EVP_PKEY_CTX *ctx, const unsigned char *sig, size_t siglen,
                       const unsigned char *tbs, size_t tbslen);

/* SM2 encryption to the key's public point; out receives the DER SM2Cipher.
 * out null: *outlen = the largest DER length for inlen, 1.  Otherwise *outlen
 * is the room in out; too little room gives -1 (buffer too small).  1 with
 * *outlen = the DER length, or -1. */
int pkey_ec_sm2_encrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                        const unsigned char *in, size_t inlen);

/* SM2 decryption of a DER SM2Cipher; handed unchanged to the key engine's
 * pkey-decrypt function when it has one.  out null: *outlen = the plain-text
 * length, 1.  1 with *outlen = the plain-text length, or -1 (also for too
 * little room in out, or a cipher text that does not check). */
int pkey_ec_sm2_decrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                        const unsigned char *in, size_t inlen);

/* Prepares ctx to sign (iSign != 0) or verify an X.509 item (certificate,
 * request, revocation list) with pkey and md, for X509_sign_ctx and the
 * like, or ASN1_item_verify_ctx: for a key on the SM2 curve with SM3 the
 * signature covers SM3(Z || DER) with Z of the default identity.  1/0. */
int gm_item_digest_init(EVP_MD_CTX *ctx, EVP_PKEY *pkey, const EVP_MD *md, int iSign);

/* The engine's extra slots.  Only the pkey-decrypt function is used by the
 * layer (by pkey_ec_sm2_decrypt); it has the decrypt route's signature. */
typedef int (*ENGINE_PKEY_DECRYPT_PTR)(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                                       const unsigned char *in, size_t inlen);
typedef int (*ENGINE_LIST_OBJECT_INDEX_PTR)(ENGINE *e, unsigned int uiType, char *pszList,
                                            unsigned int *puiLen);
typedef int (*ENGINE_IMPORT_KEY_PTR)(ENGINE *e, const char *pszKeyId, EVP_PKEY *pkey);

int ENGINE_set_pkey_decrypt_function(ENGINE *e, ENGINE_PKEY_DECRYPT_PTR f);
int ENGINE_set_list_object_index_function(ENGINE *e, ENGINE_LIST_OBJECT_INDEX_PTR f);
int ENGINE_set_import_key_function(ENGINE *e, ENGINE_IMPORT_KEY_PTR f);
ENGINE_PKEY_DECRYPT_PTR ENGINE_get_pkey_decrypt_function(const ENGINE *e);
ENGINE_LIST_OBJECT_INDEX_PTR ENGINE_get_list_object_index_function(const ENGINE *e);
ENGINE_IMPORT_KEY_PTR ENGINE_get_import_key_function(const ENGINE *e);

#ifdef __cplusplus
}
#endif
#endif
