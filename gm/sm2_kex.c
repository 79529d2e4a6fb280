/* SM2 key exchange on the crypto library's numbers and points. */
#include "gm/sm2_kex.h"

#include <openssl/err.h>
#include <string.h>

#include "gm/sm2.h"
#include "gm/sm2_group.h"

/* w = ceil(ceil(log2 n) / 2) - 1 for the 256-bit orders of both curves. */
#define SM2_KEP_W 127

/* The ECDH function and reasons under which key-exchange failures are
 * queued. */
#define ECDH_F_ECDH_COMPUTE_KEY 100
#define ECDH_R_NO_PRIVATE_VALUE 100
#define ECDH_R_POINT_ARITHMETIC_FAILURE 101
#define ECDH_R_KDF_FAILED 102
#define SM2_KEP_ERROR(reason) \
    ERR_put_error(ERR_LIB_ECDH, ECDH_F_ECDH_COMPUTE_KEY, (reason), "ech_ossl.c", __LINE__)

static int field_to_bn(const unsigned char *p, BIGNUM **bn)
{
    return (*bn = BN_bin2bn(p, SM2_FIELD_BYTES, NULL)) != NULL;
}

int _SM2_CalculateZValue_byCurve(int nid, const unsigned char *id, unsigned int idLen,
                                 const BIGNUM *Px, const BIGNUM *Py, unsigned char *out)
{
    unsigned char a[SM2_FIELD_BYTES], b[SM2_FIELD_BYTES], gx[SM2_FIELD_BYTES],
        gy[SM2_FIELD_BYTES];
    BIGNUM *bnA = NULL, *bnB = NULL, *bnGx = NULL, *bnGy = NULL;
    int ok = gm_curve_params(nid, NULL, a, b, gx, gy, NULL) && field_to_bn(a, &bnA)
        && field_to_bn(b, &bnB) && field_to_bn(gx, &bnGx) && field_to_bn(gy, &bnGy)
        && _SM2_CalculateZValue(id, idLen, bnA, bnB, bnGx, bnGy, Px, Py, out);

    BN_free(bnA);
    BN_free(bnB);
    BN_free(bnGx);
    BN_free(bnGy);
    return ok;
}

int _SM2_CalculateZValue_byCurve_ex(int nid, const unsigned char *id, unsigned int idLen,
                                    const unsigned char *Px, const unsigned char *Py,
                                    unsigned char *out)
{
    BIGNUM *x = NULL, *y = NULL;
    int ok = Px != NULL && Py != NULL && field_to_bn(Px, &x) && field_to_bn(Py, &y)
        && _SM2_CalculateZValue_byCurve(nid, id, idLen, x, y, out);

    BN_free(x);
    BN_free(y);
    return ok;
}

int _SM2_BNBitAND(BIGNUM *out, const BIGNUM *a, const BIGNUM *b)
{
    BIGNUM *tmp;
    int bits, i, ok = 1;

    if (out == NULL || a == NULL || b == NULL || (tmp = BN_new()) == NULL)
        return 0;
    bits = BN_num_bits(a) < BN_num_bits(b) ? BN_num_bits(a) : BN_num_bits(b);
    BN_zero(tmp);
    for (i = 0; i < bits && ok; i++)
        if (BN_is_bit_set(a, i) && BN_is_bit_set(b, i))
            ok = BN_set_bit(tmp, i);
    ok = ok && BN_copy(out, tmp) != NULL;
    BN_free(tmp);
    return ok;
}

int _SM2_KEP_calculate_xDash(BIGNUM *out, const BIGNUM *x, int w)
{
    BIGNUM *pow = BN_new(), *mask = BN_new();
    int ok = out != NULL && x != NULL && w >= 0 && pow != NULL && mask != NULL
        && BN_set_bit(pow, w) && BN_copy(mask, pow) != NULL && BN_sub_word(mask, 1)
        && _SM2_BNBitAND(out, x, mask) && BN_add(out, out, pow);

    BN_free(pow);
    BN_free(mask);
    return ok;
}

int _SM2_KEP_calculate_t(BIGNUM *t, const BIGNUM *d, const BIGNUM *xDash, const BIGNUM *r,
                         const BIGNUM *n)
{
    BN_CTX *ctx = BN_CTX_new();
    int ok = t != NULL && d != NULL && xDash != NULL && r != NULL && n != NULL && ctx != NULL
        && BN_mod_mul(t, xDash, r, n, ctx) && BN_mod_add(t, t, d, n, ctx);

    BN_CTX_free(ctx);
    return ok;
}

int _SM2_KEP_calculate_point_V(BIGNUM *xV, BIGNUM *yV, const BIGNUM *xP, const BIGNUM *yP,
                               const BIGNUM *xR, const BIGNUM *yR, const BIGNUM *h,
                               const BIGNUM *t, const BIGNUM *xDash, int nid)
{
    EC_GROUP *group = gm_curve_group_new(nid);
    BN_CTX *ctx = BN_CTX_new();
    EC_POINT *P = NULL, *R = NULL, *V = NULL;
    BIGNUM *ht = BN_secure_new();
    int ok = 0;

    if (group == NULL || ctx == NULL || ht == NULL || xV == NULL || yV == NULL || h == NULL
        || t == NULL || xDash == NULL || (P = EC_POINT_new(group)) == NULL
        || (R = EC_POINT_new(group)) == NULL || (V = EC_POINT_new(group)) == NULL)
        goto done;
    /* Setting the coordinates checks that both points lie on the curve. */
    if (!EC_POINT_set_affine_coordinates(group, P, xP, yP, ctx)
        || !EC_POINT_set_affine_coordinates(group, R, xR, yR, ctx))
        goto done;
    /* P + [x-bar]R from public values, then [h * t] of it with the secret t. */
    BN_set_flags(ht, BN_FLG_CONSTTIME);
    if (!EC_POINT_mul(group, R, NULL, R, xDash, ctx) || !EC_POINT_add(group, R, R, P, ctx)
        || !BN_mul(ht, h, t, ctx) || !EC_POINT_mul(group, V, NULL, R, ht, ctx)
        || EC_POINT_is_at_infinity(group, V))
        goto done;
    ok = EC_POINT_get_affine_coordinates(group, V, xV, yV, ctx);
done:
    EC_POINT_free(P);
    EC_POINT_free(R);
    EC_POINT_clear_free(V);
    BN_clear_free(ht);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
    return ok;
}

int _SM2_log2n(const BIGNUM *n, int *bits)
{
    BIGNUM *v;
    int ok;

    if (bits == NULL)
        return 0;
    *bits = 1;
    if (n == NULL || BN_cmp(n, BN_value_one()) <= 0 || BN_is_negative(n))
        return 0;
    if ((v = BN_new()) == NULL || !BN_set_word(v, 2)) {
        BN_free(v);
        return 0;
    }
    for (ok = 1; ok && BN_cmp(v, n) < 0; (*bits)++)
        ok = BN_lshift1(v, v);
    BN_free(v);
    return ok;
}

int _SM2_generate_temp_keypair(BIGNUM *r, BIGNUM *x, BIGNUM *y, int nid)
{
    EC_GROUP *group = gm_curve_group_new(nid);
    BN_CTX *ctx = BN_CTX_new();
    EC_POINT *R = NULL;
    int ok = 0;

    if (group == NULL || ctx == NULL || r == NULL || x == NULL || y == NULL
        || (R = EC_POINT_new(group)) == NULL)
        goto done;
    do {
        if (!BN_priv_rand_range(r, EC_GROUP_get0_order(group)))
            goto done;
    } while (BN_is_zero(r));
    ok = EC_POINT_mul(group, R, r, NULL, NULL, ctx)
        && EC_POINT_get_affine_coordinates(group, R, x, y, ctx);
done:
    EC_POINT_clear_free(R);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
    return ok;
}

int _SM2_KEP(int nid, const BIGNUM *xR, const BIGNUM *yR, const BIGNUM *r, const BIGNUM *xP,
             const BIGNUM *yP, const BIGNUM *d, const unsigned char *Z1, const BIGNUM *xRpeer,
             const BIGNUM *yRpeer, const BIGNUM *xPpeer, const BIGNUM *yPpeer,
             const unsigned char *Z2, unsigned int klen, unsigned char *out)
{
    unsigned char kdfIn[4 * SM2_FIELD_BYTES];
    EC_GROUP *group = NULL;
    BIGNUM *xDash = BN_new(), *xDashPeer = BN_new(), *t = BN_secure_new();
    BIGNUM *xV = BN_new(), *yV = BN_new();
    int ok = 0;

    /* The own long-term public key and the own temporary y do not enter. */
    (void)yR;
    (void)xP;
    (void)yP;
    if (xDash == NULL || xDashPeer == NULL || t == NULL || xV == NULL || yV == NULL
        || xR == NULL || r == NULL || d == NULL || Z1 == NULL || Z2 == NULL || out == NULL
        || xRpeer == NULL || yRpeer == NULL || xPpeer == NULL || yPpeer == NULL)
        goto done;
    if (!_SM2_KEP_calculate_xDash(xDash, xR, SM2_KEP_W) || (group = gm_curve_group_new(nid)) == NULL
        || !_SM2_KEP_calculate_t(t, d, xDash, r, EC_GROUP_get0_order(group)))
        goto done;
    if (!_SM2_point_is_on_curve(xRpeer, yRpeer, nid)
        || !_SM2_KEP_calculate_xDash(xDashPeer, xRpeer, SM2_KEP_W)
        || !_SM2_KEP_calculate_point_V(xV, yV, xPpeer, yPpeer, xRpeer, yRpeer,
                                       EC_GROUP_get0_cofactor(group), t, xDashPeer, nid))
        goto done;
    if (!_SM2_GetBNBytes(xV, kdfIn) || !_SM2_GetBNBytes(yV, kdfIn + SM2_FIELD_BYTES))
        goto done;
    memcpy(kdfIn + 2 * SM2_FIELD_BYTES, Z1, SM2_FIELD_BYTES);
    memcpy(kdfIn + 3 * SM2_FIELD_BYTES, Z2, SM2_FIELD_BYTES);
    ok = _SM2_KDF(kdfIn, sizeof(kdfIn), klen, out);
done:
    OPENSSL_cleanse(kdfIn, sizeof(kdfIn));
    BN_free(xDash);
    BN_free(xDashPeer);
    BN_clear_free(t);
    BN_clear_free(xV);
    BN_clear_free(yV);
    EC_GROUP_free(group);
    return ok;
}

int _SM2_KEP_ex(int nid, const unsigned char *xR, const unsigned char *yR,
                const unsigned char *r, const unsigned char *xP, const unsigned char *yP,
                const unsigned char *d, const unsigned char *Z1, const unsigned char *xRpeer,
                const unsigned char *yRpeer, const unsigned char *xPpeer,
                const unsigned char *yPpeer, const unsigned char *Z2, unsigned int klen,
                unsigned char *out)
{
    const unsigned char *fields[10] = {xR, yR, r, xP, yP, d, xRpeer, yRpeer, xPpeer, yPpeer};
    BIGNUM *bn[10] = {NULL};
    int i, ok = 1;

    for (i = 0; i < 10 && ok; i++)
        ok = fields[i] != NULL && field_to_bn(fields[i], &bn[i]);
    ok = ok && _SM2_KEP(nid, bn[0], bn[1], bn[2], bn[3], bn[4], bn[5], Z1, bn[6], bn[7], bn[8],
                        bn[9], Z2, klen, out);
    for (i = 0; i < 10; i++)
        BN_clear_free(bn[i]);
    return ok;
}

static int point_xy(const EC_GROUP *group, const EC_POINT *p, BIGNUM *x, BIGNUM *y)
{
    return p != NULL && EC_POINT_get_affine_coordinates(group, p, x, y, NULL);
}

int sm2kep_compute_key(void *out, unsigned int klen, const EC_POINT *Rpeer,
                       const EC_POINT *Ppeer, const EC_KEY *tempKey, const EC_KEY *ownKey,
                       int role)
{
    static const unsigned char kId[] = SM2_DEFAULT_ID;
    unsigned char zOwn[SM2_FIELD_BYTES], zPeer[SM2_FIELD_BYTES];
    const EC_GROUP *group;
    BIGNUM *v[8];
    int i, curve, ok = 0, haveAll = 1;

    if (tempKey == NULL || ownKey == NULL || EC_KEY_get0_private_key(tempKey) == NULL
        || EC_KEY_get0_private_key(ownKey) == NULL) {
        SM2_KEP_ERROR(ECDH_R_NO_PRIVATE_VALUE);
        return 0;
    }
    for (i = 0; i < 8; i++)
        haveAll &= (v[i] = BN_new()) != NULL;
    /* v: own temporary x, y; own public x, y; peer temporary x, y; peer public x, y. */
    group = EC_KEY_get0_group(tempKey);
    curve = gm_curve_id_of_group(group);
    if (!haveAll || !gm_curve_is_sm2(curve)
        || curve != gm_curve_id_of_group(EC_KEY_get0_group(ownKey))
        || !point_xy(group, EC_KEY_get0_public_key(tempKey), v[0], v[1])
        || !point_xy(group, EC_KEY_get0_public_key(ownKey), v[2], v[3])
        || !point_xy(group, Rpeer, v[4], v[5]) || !point_xy(group, Ppeer, v[6], v[7])) {
        SM2_KEP_ERROR(ECDH_R_POINT_ARITHMETIC_FAILURE);
        goto done;
    }
    if (!_SM2_CalculateZValue_byCurve(curve, kId, SM2_DEFAULT_ID_LENGTH, v[2], v[3], zOwn)
        || !_SM2_CalculateZValue_byCurve(curve, kId, SM2_DEFAULT_ID_LENGTH, v[6], v[7], zPeer)
        || !_SM2_KEP(curve, v[0], v[1], EC_KEY_get0_private_key(tempKey), v[2], v[3],
                     EC_KEY_get0_private_key(ownKey), role == SM2_KEP_INITIATOR ? zOwn : zPeer,
                     v[4], v[5], v[6], v[7], role == SM2_KEP_INITIATOR ? zPeer : zOwn, klen,
                     out)) {
        SM2_KEP_ERROR(ECDH_R_KDF_FAILED);
        goto done;
    }
    ok = 1;
done:
    for (i = 0; i < 8; i++)
        BN_free(v[i]);
    return ok;
}
