/* SM2 key exchange (GM/T 0003-2012 part 3, steps A4-A8 / B3-B7) without the
 * optional key confirmation, and the user hash Z on either SM2 curve.
 *
 * Curves by GM curve id (gm/sm2_group.h): 920 the recommended curve, 921
 * the example curve.  Z1 is always the initiator's user hash and Z2 the
 * responder's.  klen is the key length in bits; klen / 8 bytes are written.
 * All functions return 1 on success and 0 on failure. */
#ifndef BRIO_GM_SM2_KEX_H
#define BRIO_GM_SM2_KEX_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM2_KEP_INITIATOR 1

int _SM2_CalculateZValue_byCurve(int nid, const unsigned char *id, unsigned int idLen,
                                 const BIGNUM *Px, const BIGNUM *Py, unsigned char *out);
int _SM2_CalculateZValue_byCurve_ex(int nid, const unsigned char *id, unsigned int idLen,
                                    const unsigned char *Px, const unsigned char *Py,
                                    unsigned char *out);

/* r in [1, n-1], (x, y) = [r]G. */
int _SM2_generate_temp_keypair(BIGNUM *r, BIGNUM *x, BIGNUM *y, int nid);

/* The shared key from the own temporary point (xR, yR) with its private
 * value r, the own key pair (xP, yP, d), the peer's temporary point and
 * public key, and the two user hashes in key-derivation order. */
int _SM2_KEP(int nid, const BIGNUM *xR, const BIGNUM *yR, const BIGNUM *r, const BIGNUM *xP,
             const BIGNUM *yP, const BIGNUM *d, const unsigned char *Z1, const BIGNUM *xRpeer,
             const BIGNUM *yRpeer, const BIGNUM *xPpeer, const BIGNUM *yPpeer,
             const unsigned char *Z2, unsigned int klen, unsigned char *out);
/* The same on 32-byte big-endian fields. */
int _SM2_KEP_ex(int nid, const unsigned char *xR, const unsigned char *yR,
                const unsigned char *r, const unsigned char *xP, const unsigned char *yP,
                const unsigned char *d, const unsigned char *Z1, const unsigned char *xRpeer,
                const unsigned char *yRpeer, const unsigned char *xPpeer,
                const unsigned char *yPpeer, const unsigned char *Z2, unsigned int klen,
                unsigned char *out);

/* The shared key from the crypto library's objects, with the default
 * identity on both sides; role SM2_KEP_INITIATOR or any other value for the
 * responder.  Computed on the curve of the own keys (920 or 921). */
int sm2kep_compute_key(void *out, unsigned int klen, const EC_POINT *Rpeer,
                       const EC_POINT *Ppeer, const EC_KEY *tempKey, const EC_KEY *ownKey,
                       int role);

/* Building blocks. */
int _SM2_KEP_calculate_xDash(BIGNUM *out, const BIGNUM *x, int w);
int _SM2_KEP_calculate_t(BIGNUM *t, const BIGNUM *d, const BIGNUM *xDash, const BIGNUM *r,
                         const BIGNUM *n);
int _SM2_KEP_calculate_point_V(BIGNUM *xV, BIGNUM *yV, const BIGNUM *xP, const BIGNUM *yP,
                               const BIGNUM *xR, const BIGNUM *yR, const BIGNUM *h,
                               const BIGNUM *t, const BIGNUM *xDash, int nid);
int _SM2_BNBitAND(BIGNUM *out, const BIGNUM *a, const BIGNUM *b);
int _SM2_log2n(const BIGNUM *n, int *bits);

#ifdef __cplusplus
}
#endif
#endif
