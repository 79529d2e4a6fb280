/* SM2 (GM/T 0003-2012): signature, public-key encryption, key derivation
 * and the user hash Z, on the crypto library's big numbers and points,
 * with byte-level wrappers on 32-byte big-endian right-aligned values.
 *
 * Curves are named by GM curve id (gm/sm2_group.h): the byte-level
 * wrappers use 920; _SM2_sign / _SM2_verify accept 920 and 921 only.
 * Cipher text: C1 || C2 || C3 with C1 = 04 || x1 || y1, i.e. the message
 * length + SM2_CIPHER_OVERHEAD bytes.  Hashing uses the SM3 digest face.
 * Results are 1 for success and 0 for failure unless stated; failures put
 * an entry on the crypto library's error queue. */
#ifndef BRIO_GM_SM2_H
#define BRIO_GM_SM2_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM2_FIELD_BYTES 32
#define SM2_CIPHER_OVERHEAD 97
#define SM2_DEFAULT_ID "1234567812345678"
#define SM2_DEFAULT_ID_LENGTH 16
/* The longest identity whose bit length fits ENTL's 16 bits. */
#define SM2_MAX_ID_LENGTH 8191
/* The longest message whose bit length fits the key derivation's 32 bits. */
#define SM2_MAX_MESSAGE_LENGTH (0xFFFFFFFFu / 8)

/* Conversions and tests. */
int _SM2_IsAllZero(const unsigned char *p, int len);
/* klen in bits; out receives klen / 8 bytes.  0 for klen 0. */
int _SM2_KDF(const unsigned char *Z, unsigned Zlen, unsigned klen, unsigned char *out);
int _SM2_point_is_on_curve(const BIGNUM *x, const BIGNUM *y, int nid);
int _SM2_Bytes2BN(const unsigned char *p, unsigned len, BIGNUM *bn);
int _SM2_GetBNBytes(const BIGNUM *bn, unsigned char *out /*[32]*/);

/* Z value.  IDlen above SM2_MAX_ID_LENGTH is refused. */
int _SM2_CalculateZValue(const unsigned char *ID, unsigned IDlen, const BIGNUM *a,
                         const BIGNUM *b, const BIGNUM *Gx, const BIGNUM *Gy,
                         const BIGNUM *X, const BIGNUM *Y, unsigned char *out /*[32]*/);
int _SM2_CalculateDefaultZValue(const unsigned char *X, const unsigned char *Y,
                                unsigned char *out);

/* Encryption: writes mlen + 97 bytes to out, which must not overlap the
 * message.  mlen 0 and mlen above SM2_MAX_MESSAGE_LENGTH are refused. */
int _SM2_encrypt(int nid, const unsigned char *m, unsigned mlen, const BIGNUM *X,
                 const BIGNUM *Y, unsigned char *out);
/* Decryption: writes clen - 97 bytes to out, only after C3 matched; out is
 * left untouched on failure. */
int _SM2_decrypt(int nid, const unsigned char *c, unsigned clen, const BIGNUM *d,
                 unsigned char *out);

/* Signature of the digest e = SM3(Z || M); a new record or null. */
ECDSA_SIG *_SM2_sign(const BIGNUM *e, const BIGNUM *d, int nid);
int _SM2_sign_ex(const unsigned char *e, const unsigned char *d, unsigned char *r,
                 unsigned char *s);
int _SM2_verify(const ECDSA_SIG *sig, const BIGNUM *X, const BIGNUM *Y, const BIGNUM *e,
                int nid);
int _SM2_verify_ex(const unsigned char *r, const unsigned char *s, const unsigned char *X,
                   const unsigned char *Y, const unsigned char *e);

/* Keys. */
int _SM2_generate_key(BIGNUM *d, BIGNUM *X, BIGNUM *Y, int nid);
int _SM2_generate_keypair(unsigned char *d, unsigned char *X, unsigned char *Y);

#ifdef __cplusplus
}
#endif
#endif
