/* SM2 (GM/T 0003-2012): signature, encryption, key derivation and Z value
 * on the crypto library's big numbers and points.
 *
 * Secret scalars (d, k) are only multiplied by EC_POINT_mul with a single
 * point and no second scalar, which the crypto library computes with its
 * constant-time ladder; the inverse of 1 + d is taken by a constant-time
 * exponentiation. */
#include "gm/sm2.h"

#include <limits.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "gm/gm_endian.h"
#include "gm/gm_release.h"
#include "gm/sm2_group.h"
#include "gm/sm2_test_seam.h"
#include "gm/sm3.h"

#define SM2_ERR(reason) ERR_raise(ERR_LIB_EC, (reason))

/* ---- curve groups ------------------------------------------------------------
 * The groups of the two SM2 curves are built once and shared (EC_GROUP is
 * only read by the point operations); other curves are built per call. */

static EC_GROUP *g_sm2_groups[2];
/* Montgomery form of each group's order, for the inverse of 1 + d. */
static BN_MONT_CTX *g_sm2_order_mont[2];
static pthread_once_t g_sm2_groups_once = PTHREAD_ONCE_INIT;

static void sm2_groups_noop(void)
{
}

static void sm2_groups_build(void)
{
    BN_CTX *ctx = BN_CTX_new();
    int i;

    g_sm2_groups[0] = gm_curve_group_new(GM_CURVE_SM2);
    g_sm2_groups[1] = gm_curve_group_new(GM_CURVE_SM2_TEST);
    for (i = 0; i < 2; i++) {
        BN_MONT_CTX *mont = BN_MONT_CTX_new();

        if (ctx != NULL && mont != NULL && g_sm2_groups[i] != NULL
            && BN_MONT_CTX_set(mont, EC_GROUP_get0_order(g_sm2_groups[i]), ctx)) {
            g_sm2_order_mont[i] = mont;
        } else {
            BN_MONT_CTX_free(mont);
        }
    }
    BN_CTX_free(ctx);
}

void gm_sm2_groups_release(void)
{
    int i;

    /* Not built after this either. */
    pthread_once(&g_sm2_groups_once, sm2_groups_noop);

    for (i = 0; i < 2; i++) {
        EC_GROUP_free(g_sm2_groups[i]);
        BN_MONT_CTX_free(g_sm2_order_mont[i]);
        g_sm2_groups[i] = NULL;
        g_sm2_order_mont[i] = NULL;
    }
}

static int sm2_curve_index(int nid)
{
    return nid == GM_CURVE_SM2_TEST ? 1 : 0;
}

/* The group of a curve id; *owned is what the caller frees (null for a
 * shared group). */
static const EC_GROUP *sm2_group_get(int nid, EC_GROUP **owned)
{
    const EC_GROUP *group;

    *owned = NULL;
    if (gm_curve_is_sm2(nid)) {
        pthread_once(&g_sm2_groups_once, sm2_groups_build);
        group = g_sm2_groups[sm2_curve_index(nid)];
    } else {
        group = *owned = gm_curve_group_new(nid);
    }
    if (group == NULL)
        SM2_ERR(EC_R_UNKNOWN_GROUP);
    return group;
}

/* ---- the per-call scalar k ---------------------------------------------- */

static int sm2_random_k(BIGNUM *k, const BIGNUM *order, void *arg)
{
    (void)arg;
    do {
        if (!BN_priv_rand_range(k, order))
            return 0;
    } while (BN_is_zero(k));
    return 1;
}

static gm_sm2_k_source_fn g_k_source = sm2_random_k;
static void *g_k_arg;

void gm_sm2_set_k_source(gm_sm2_k_source_fn fn, void *arg)
{
    g_k_source = fn != NULL ? fn : sm2_random_k;
    g_k_arg = fn != NULL ? arg : NULL;
}

static int sm2_draw_k(BIGNUM *k, const BIGNUM *order)
{
    if (!g_k_source(k, order, g_k_arg) || BN_is_zero(k) || BN_cmp(k, order) >= 0) {
        SM2_ERR(EC_R_RANDOM_NUMBER_GENERATION_FAILED);
        return 0;
    }
    return 1;
}

/* A started big-number context (secure memory for secret values), and its
 * release. */
static BN_CTX *sm2_ctx_new(int secure)
{
    BN_CTX *ctx = secure ? BN_CTX_secure_new() : BN_CTX_new();

    if (ctx != NULL)
        BN_CTX_start(ctx);
    return ctx;
}

static void sm2_ctx_free(BN_CTX *ctx)
{
    if (ctx != NULL) {
        BN_CTX_end(ctx);
        BN_CTX_free(ctx);
    }
}

/* ---- conversions and tests ---------------------------------------------- */

int _SM2_IsAllZero(const unsigned char *p, int len)
{
    unsigned char acc = 0;
    int i;

    if (len < 1)
        return 1;
    for (i = 0; i < len; i++)
        acc |= p[i];
    return acc == 0;
}

int _SM2_Bytes2BN(const unsigned char *p, unsigned len, BIGNUM *bn)
{
    if (p == NULL || bn == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (len > SM2_FIELD_BYTES)
        len = SM2_FIELD_BYTES;
    return BN_bin2bn(p, (int)len, bn) != NULL;
}

int _SM2_GetBNBytes(const BIGNUM *bn, unsigned char *out)
{
    if (bn == NULL || out == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    memset(out, 0, SM2_FIELD_BYTES);
    if (BN_is_negative(bn) || BN_num_bytes(bn) > SM2_FIELD_BYTES) {
        SM2_ERR(EC_R_BIGNUM_OUT_OF_RANGE);
        return 0;
    }
    return BN_bn2binpad(bn, out, SM2_FIELD_BYTES) == SM2_FIELD_BYTES;
}

int _SM2_KDF(const unsigned char *Z, unsigned Zlen, unsigned klen, unsigned char *out)
{
    SM3_DIGEST_CTX base, ctx;
    unsigned char ct[4], block[SM3_DIGEST_LENGTH];
    size_t left = klen / 8;
    uint32_t counter;

    if (klen == 0 || out == NULL || (Z == NULL && Zlen > 0)) {
        SM2_ERR(EC_R_INVALID_ARGUMENT);
        return 0;
    }
    SM3_Init(&base);
    SM3_Update(&base, Z, Zlen);
    for (counter = 1; left > 0; counter++) {
        size_t n = left < SM3_DIGEST_LENGTH ? left : SM3_DIGEST_LENGTH;

        ctx = base;
        gm_store_be32(ct, counter);
        SM3_Update(&ctx, ct, sizeof(ct));
        SM3_Final(block, &ctx);
        memcpy(out, block, n);
        out += n;
        left -= n;
    }
    OPENSSL_cleanse(&base, sizeof(base));
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    OPENSSL_cleanse(block, sizeof(block));
    return 1;
}

/* A point of the group from affine coordinates below the field prime,
 * checked to lie on the curve. */
static EC_POINT *sm2_point_new(const EC_GROUP *group, const BIGNUM *x, const BIGNUM *y,
                               BN_CTX *ctx)
{
    const BIGNUM *p = EC_GROUP_get0_field(group);
    EC_POINT *pt;

    if (p == NULL || x == NULL || y == NULL)
        return NULL;
    if (BN_is_negative(x) || BN_is_negative(y) || BN_cmp(x, p) >= 0 || BN_cmp(y, p) >= 0) {
        SM2_ERR(EC_R_COORDINATES_OUT_OF_RANGE);
        return NULL;
    }
    pt = EC_POINT_new(group);
    if (pt == NULL || !EC_POINT_set_affine_coordinates(group, pt, x, y, ctx)
        || EC_POINT_is_on_curve(group, pt, ctx) != 1) {
        EC_POINT_free(pt);
        SM2_ERR(EC_R_POINT_IS_NOT_ON_CURVE);
        return NULL;
    }
    return pt;
}

int _SM2_point_is_on_curve(const BIGNUM *x, const BIGNUM *y, int nid)
{
    EC_GROUP *owned;
    const EC_GROUP *group = sm2_group_get(nid, &owned);
    BN_CTX *ctx = sm2_ctx_new(0);
    EC_POINT *pt = NULL;
    int ok = group != NULL && ctx != NULL && (pt = sm2_point_new(group, x, y, ctx)) != NULL;

    EC_POINT_free(pt);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return ok;
}

/* The affine coordinates of a point as two 32-byte fields. */
static int sm2_point_bytes(const EC_GROUP *group, const EC_POINT *pt, unsigned char *x,
                           unsigned char *y, BN_CTX *ctx)
{
    BIGNUM *bx = BN_CTX_get(ctx), *by = BN_CTX_get(ctx);

    if (by == NULL || !EC_POINT_get_affine_coordinates(group, pt, bx, by, ctx)) {
        SM2_ERR(EC_R_POINT_ARITHMETIC_FAILURE);
        return 0;
    }
    return _SM2_GetBNBytes(bx, x) && _SM2_GetBNBytes(by, y);
}

/* ---- Z value ---------------------------------------------------------------- */

/* Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y) over 32-byte fields. */
static int sm2_z_of_fields(const unsigned char *id, unsigned idlen,
                           const unsigned char fields[6][SM2_FIELD_BYTES], unsigned char *out)
{
    SM3_DIGEST_CTX ctx;
    unsigned char entl[2];
    int i;

    if (out == NULL || (id == NULL && idlen > 0)) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (idlen > SM2_MAX_ID_LENGTH) {
        SM2_ERR(EC_R_INVALID_LENGTH);
        return 0;
    }
    entl[0] = (unsigned char)((idlen * 8) >> 8);
    entl[1] = (unsigned char)(idlen * 8);
    SM3_Init(&ctx);
    SM3_Update(&ctx, entl, 2);
    SM3_Update(&ctx, id, idlen);
    for (i = 0; i < 6; i++)
        SM3_Update(&ctx, fields[i], SM2_FIELD_BYTES);
    SM3_Final(out, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return 1;
}

int _SM2_CalculateZValue(const unsigned char *ID, unsigned IDlen, const BIGNUM *a,
                         const BIGNUM *b, const BIGNUM *Gx, const BIGNUM *Gy,
                         const BIGNUM *X, const BIGNUM *Y, unsigned char *out)
{
    const BIGNUM *numbers[6] = {a, b, Gx, Gy, X, Y};
    unsigned char fields[6][SM2_FIELD_BYTES];
    int i;

    for (i = 0; i < 6; i++)
        if (!_SM2_GetBNBytes(numbers[i], fields[i]))
            return 0;
    return sm2_z_of_fields(ID, IDlen, (const unsigned char(*)[SM2_FIELD_BYTES])fields, out);
}

int _SM2_CalculateDefaultZValue(const unsigned char *X, const unsigned char *Y,
                                unsigned char *out)
{
    unsigned char fields[6][SM2_FIELD_BYTES];

    if (X == NULL || Y == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (!gm_curve_params(GM_CURVE_SM2, NULL, fields[0], fields[1], fields[2], fields[3], NULL))
        return 0;
    memcpy(fields[4], X, SM2_FIELD_BYTES);
    memcpy(fields[5], Y, SM2_FIELD_BYTES);
    return sm2_z_of_fields((const unsigned char *)SM2_DEFAULT_ID, SM2_DEFAULT_ID_LENGTH,
                           (const unsigned char(*)[SM2_FIELD_BYTES])fields, out);
}

/* ---- encryption ------------------------------------------------------------- */

/* C3 = SM3(x2 || M || y2). */
static void sm2_c3(const unsigned char *x2y2, const unsigned char *m, size_t mlen,
                   unsigned char *c3)
{
    SM3_DIGEST_CTX ctx;

    SM3_Init(&ctx);
    SM3_Update(&ctx, x2y2, SM2_FIELD_BYTES);
    SM3_Update(&ctx, m, mlen);
    SM3_Update(&ctx, x2y2 + SM2_FIELD_BYTES, SM2_FIELD_BYTES);
    SM3_Final(c3, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
}

/* (x2 || y2) = [scalar]point as 64 bytes; 0 on failure. */
static int sm2_shared_point(const EC_GROUP *group, const EC_POINT *point, const BIGNUM *scalar,
                            unsigned char *x2y2, BN_CTX *ctx)
{
    EC_POINT *q = EC_POINT_new(group);
    int ok = q != NULL && EC_POINT_mul(group, q, NULL, point, scalar, ctx)
        && !EC_POINT_is_at_infinity(group, q)
        && sm2_point_bytes(group, q, x2y2, x2y2 + SM2_FIELD_BYTES, ctx);

    if (!ok)
        SM2_ERR(EC_R_POINT_ARITHMETIC_FAILURE);
    EC_POINT_free(q);
    return ok;
}

/* [h]P must not be the point at infinity. */
static int sm2_cofactor_check(const EC_GROUP *group, const EC_POINT *pt, BN_CTX *ctx)
{
    EC_POINT *s = EC_POINT_new(group);
    int ok = s != NULL && EC_POINT_mul(group, s, NULL, pt, EC_GROUP_get0_cofactor(group), ctx)
        && !EC_POINT_is_at_infinity(group, s);

    if (!ok)
        SM2_ERR(EC_R_POINT_AT_INFINITY);
    EC_POINT_free(s);
    return ok;
}

int _SM2_encrypt(int nid, const unsigned char *m, unsigned mlen, const BIGNUM *X,
                 const BIGNUM *Y, unsigned char *out)
{
    EC_GROUP *owned = NULL;
    const EC_GROUP *group;
    BN_CTX *ctx = NULL;
    EC_POINT *pb = NULL, *c1 = NULL;
    BIGNUM *k;
    unsigned char x2y2[2 * SM2_FIELD_BYTES], *t = NULL;
    int ok = 0;

    if (m == NULL || X == NULL || Y == NULL || out == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (mlen == 0 || mlen > SM2_MAX_MESSAGE_LENGTH) {
        SM2_ERR(EC_R_INVALID_LENGTH);
        return 0;
    }
    if ((group = sm2_group_get(nid, &owned)) == NULL || (ctx = sm2_ctx_new(1)) == NULL
        || (t = OPENSSL_malloc(mlen)) == NULL)
        goto done;
    if ((k = BN_CTX_get(ctx)) == NULL || (pb = sm2_point_new(group, X, Y, ctx)) == NULL
        || !sm2_cofactor_check(group, pb, ctx) || (c1 = EC_POINT_new(group)) == NULL)
        goto done;
    for (;;) {
        if (!sm2_draw_k(k, EC_GROUP_get0_order(group))
            || !EC_POINT_mul(group, c1, k, NULL, NULL, ctx)
            || !sm2_point_bytes(group, c1, out + 1, out + 1 + SM2_FIELD_BYTES, ctx)
            || !sm2_shared_point(group, pb, k, x2y2, ctx)
            || !_SM2_KDF(x2y2, sizeof(x2y2), mlen * 8, t))
            goto done;
        if (!_SM2_IsAllZero(t, (int)mlen))
            break;
    }
    out[0] = 0x04;
    sm2_c3(x2y2, m, mlen, out + 1 + 2 * SM2_FIELD_BYTES + mlen);
    for (unsigned i = 0; i < mlen; i++)
        out[1 + 2 * SM2_FIELD_BYTES + i] = m[i] ^ t[i];
    ok = 1;
done:
    OPENSSL_cleanse(x2y2, sizeof(x2y2));
    OPENSSL_clear_free(t, mlen);
    EC_POINT_free(c1);
    EC_POINT_free(pb);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return ok;
}

/* d must lie in [1, n - 1]. */
static int sm2_private_in_range(const BIGNUM *d, const BIGNUM *order)
{
    if (BN_is_zero(d) || BN_is_negative(d) || BN_cmp(d, order) >= 0) {
        SM2_ERR(EC_R_INVALID_PRIVATE_KEY);
        return 0;
    }
    return 1;
}

int _SM2_decrypt(int nid, const unsigned char *c, unsigned clen, const BIGNUM *d,
                 unsigned char *out)
{
    EC_GROUP *owned = NULL;
    const EC_GROUP *group;
    BN_CTX *ctx = NULL;
    EC_POINT *c1 = NULL;
    BIGNUM *x1, *y1;
    unsigned char x2y2[2 * SM2_FIELD_BYTES], u[SM3_DIGEST_LENGTH], *plain = NULL;
    const unsigned char *c2;
    unsigned mlen;
    int ok = 0;

    if (c == NULL || d == NULL || out == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (clen <= SM2_CIPHER_OVERHEAD || c[0] != 0x04) {
        SM2_ERR(EC_R_INVALID_ENCODING);
        return 0;
    }
    mlen = clen - SM2_CIPHER_OVERHEAD;
    c2 = c + 1 + 2 * SM2_FIELD_BYTES;
    if ((group = sm2_group_get(nid, &owned)) == NULL || (ctx = sm2_ctx_new(1)) == NULL
        || (plain = OPENSSL_malloc(mlen)) == NULL)
        goto done;
    if ((y1 = (x1 = BN_CTX_get(ctx), BN_CTX_get(ctx))) == NULL
        || !sm2_private_in_range(d, EC_GROUP_get0_order(group))
        || !BN_bin2bn(c + 1, SM2_FIELD_BYTES, x1)
        || !BN_bin2bn(c + 1 + SM2_FIELD_BYTES, SM2_FIELD_BYTES, y1)
        || (c1 = sm2_point_new(group, x1, y1, ctx)) == NULL
        || !sm2_cofactor_check(group, c1, ctx) || !sm2_shared_point(group, c1, d, x2y2, ctx)
        || !_SM2_KDF(x2y2, sizeof(x2y2), mlen * 8, plain))
        goto done;
    if (_SM2_IsAllZero(plain, (int)mlen)) {
        SM2_ERR(EC_R_INVALID_ENCODING);
        goto done;
    }
    /* The plain text stays in scratch memory until C3 has matched. */
    for (unsigned i = 0; i < mlen; i++)
        plain[i] ^= c2[i];
    sm2_c3(x2y2, plain, mlen, u);
    if (CRYPTO_memcmp(u, c2 + mlen, SM3_DIGEST_LENGTH) != 0) {
        SM2_ERR(EC_R_INVALID_ENCODING);
        goto done;
    }
    memcpy(out, plain, mlen);
    ok = 1;
done:
    OPENSSL_cleanse(x2y2, sizeof(x2y2));
    OPENSSL_clear_free(plain, mlen);
    EC_POINT_free(c1);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return ok;
}

/* ---- signature -------------------------------------------------------------- */

ECDSA_SIG *_SM2_sign(const BIGNUM *e, const BIGNUM *d, int nid)
{
    EC_GROUP *owned = NULL;
    const EC_GROUP *group;
    const BIGNUM *n;
    BN_CTX *ctx = NULL;
    EC_POINT *kg = NULL;
    BIGNUM *k, *x1, *tmp, *inv, *r = NULL, *s = NULL, *d1;
    ECDSA_SIG *sig = NULL;

    if (e == NULL || d == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return NULL;
    }
    if (!gm_curve_is_sm2(nid)) {
        SM2_ERR(EC_R_UNKNOWN_GROUP);
        return NULL;
    }
    if ((group = sm2_group_get(nid, &owned)) == NULL || (ctx = sm2_ctx_new(1)) == NULL)
        goto done;
    n = EC_GROUP_get0_order(group);
    k = BN_CTX_get(ctx);
    x1 = BN_CTX_get(ctx);
    tmp = BN_CTX_get(ctx);
    inv = BN_CTX_get(ctx);
    d1 = BN_CTX_get(ctx);
    r = BN_new();
    s = BN_new();
    if (d1 == NULL || r == NULL || s == NULL || (kg = EC_POINT_new(group)) == NULL)
        goto fail;
    /* d in [1, n - 2], so that 1 + d is invertible; (1 + d)^-1 = (1 + d)^(n - 2). */
    if (!sm2_private_in_range(d, n) || !BN_add(d1, d, BN_value_one()) || BN_cmp(d1, n) >= 0) {
        SM2_ERR(EC_R_INVALID_PRIVATE_KEY);
        goto fail;
    }
    if (!BN_copy(tmp, n) || !BN_sub_word(tmp, 2)
        || !BN_mod_exp_mont_consttime(inv, d1, tmp, n, ctx, g_sm2_order_mont[sm2_curve_index(nid)]))
        goto fail;
    for (;;) {
        if (!sm2_draw_k(k, n) || !EC_POINT_mul(group, kg, k, NULL, NULL, ctx)
            || !EC_POINT_get_affine_coordinates(group, kg, x1, NULL, ctx)
            || !BN_mod_add(r, e, x1, n, ctx))
            goto fail;
        if (BN_is_zero(r))
            continue;
        if (!BN_add(tmp, r, k))
            goto fail;
        if (BN_cmp(tmp, n) == 0)
            continue;
        /* s = (1 + d)^-1 (k - r d) mod n */
        if (!BN_mod_mul(tmp, r, d, n, ctx) || !BN_mod_sub(tmp, k, tmp, n, ctx)
            || !BN_mod_mul(s, inv, tmp, n, ctx))
            goto fail;
        if (!BN_is_zero(s))
            break;
    }
    if ((sig = ECDSA_SIG_new()) == NULL || !ECDSA_SIG_set0(sig, r, s)) {
        ECDSA_SIG_free(sig);
        sig = NULL;
        goto fail;
    }
    r = s = NULL;
    goto done;
fail:
    SM2_ERR(EC_R_POINT_ARITHMETIC_FAILURE);
done:
    BN_free(r);
    BN_clear_free(s);
    EC_POINT_free(kg);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return sig;
}

int _SM2_verify(const ECDSA_SIG *sig, const BIGNUM *X, const BIGNUM *Y, const BIGNUM *e,
                int nid)
{
    EC_GROUP *owned = NULL;
    const EC_GROUP *group;
    const BIGNUM *r, *s, *n;
    BN_CTX *ctx = NULL;
    EC_POINT *pa = NULL, *pt = NULL;
    BIGNUM *t, *x1;
    int ok = 0;

    if (sig == NULL || X == NULL || Y == NULL || e == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (!gm_curve_is_sm2(nid)) {
        SM2_ERR(EC_R_UNKNOWN_GROUP);
        return 0;
    }
    ECDSA_SIG_get0(sig, &r, &s);
    if ((group = sm2_group_get(nid, &owned)) == NULL || (ctx = sm2_ctx_new(0)) == NULL)
        goto done;
    n = EC_GROUP_get0_order(group);
    if (r == NULL || s == NULL || BN_is_zero(r) || BN_is_negative(r) || BN_cmp(r, n) >= 0
        || BN_is_zero(s) || BN_is_negative(s) || BN_cmp(s, n) >= 0) {
        SM2_ERR(EC_R_BAD_SIGNATURE);
        goto done;
    }
    t = BN_CTX_get(ctx);
    x1 = BN_CTX_get(ctx);
    if (x1 == NULL || !BN_mod_add(t, r, s, n, ctx))
        goto done;
    if (BN_is_zero(t)) {
        SM2_ERR(EC_R_BAD_SIGNATURE);
        goto done;
    }
    /* (x1, y1) = [s]G + [t]PA; R = (e + x1) mod n must equal r. */
    if ((pa = sm2_point_new(group, X, Y, ctx)) == NULL || (pt = EC_POINT_new(group)) == NULL
        || !EC_POINT_mul(group, pt, s, pa, t, ctx)
        || !EC_POINT_get_affine_coordinates(group, pt, x1, NULL, ctx)
        || !BN_mod_add(t, e, x1, n, ctx))
        goto done;
    ok = BN_cmp(t, r) == 0;
    if (!ok)
        SM2_ERR(EC_R_BAD_SIGNATURE);
done:
    EC_POINT_free(pt);
    EC_POINT_free(pa);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return ok;
}

/* ---- byte-level wrappers and keys -------------------------------------------- */

/* Up to four 32-byte fields to new big numbers; 0 on failure. */
static int sm2_fields_to_bns(const unsigned char *const *fields, BIGNUM **bns, int count)
{
    int i;

    for (i = 0; i < count; i++) {
        bns[i] = fields[i] != NULL ? BN_secure_new() : NULL;
        if (bns[i] == NULL || !_SM2_Bytes2BN(fields[i], SM2_FIELD_BYTES, bns[i]))
            return 0;
    }
    return 1;
}

static void sm2_bns_free(BIGNUM **bns, int count)
{
    int i;

    for (i = 0; i < count; i++)
        BN_clear_free(bns[i]);
}

int _SM2_sign_ex(const unsigned char *e, const unsigned char *d, unsigned char *r,
                 unsigned char *s)
{
    const unsigned char *fields[2] = {e, d};
    BIGNUM *bns[2] = {NULL, NULL};
    ECDSA_SIG *sig = NULL;
    const BIGNUM *br, *bs;
    int ok = 0;

    if (r == NULL || s == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (sm2_fields_to_bns(fields, bns, 2) && (sig = _SM2_sign(bns[0], bns[1], GM_CURVE_SM2))) {
        ECDSA_SIG_get0(sig, &br, &bs);
        ok = _SM2_GetBNBytes(br, r) && _SM2_GetBNBytes(bs, s);
    }
    ECDSA_SIG_free(sig);
    sm2_bns_free(bns, 2);
    return ok;
}

int _SM2_verify_ex(const unsigned char *r, const unsigned char *s, const unsigned char *X,
                   const unsigned char *Y, const unsigned char *e)
{
    const unsigned char *fields[5] = {r, s, X, Y, e};
    BIGNUM *bns[5] = {NULL, NULL, NULL, NULL, NULL};
    ECDSA_SIG *sig = ECDSA_SIG_new();
    int ok = 0;

    if (sig != NULL && sm2_fields_to_bns(fields, bns, 5) && ECDSA_SIG_set0(sig, bns[0], bns[1])) {
        bns[0] = bns[1] = NULL;
        ok = _SM2_verify(sig, bns[2], bns[3], bns[4], GM_CURVE_SM2);
    }
    ECDSA_SIG_free(sig);
    sm2_bns_free(bns, 5);
    return ok;
}

int _SM2_generate_key(BIGNUM *d, BIGNUM *X, BIGNUM *Y, int nid)
{
    EC_GROUP *owned = NULL;
    const EC_GROUP *group;
    BN_CTX *ctx = NULL;
    EC_POINT *pub = NULL;
    BIGNUM *limit;
    int ok = 0;

    if (d == NULL || X == NULL || Y == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if ((group = sm2_group_get(nid, &owned)) == NULL || (ctx = sm2_ctx_new(1)) == NULL)
        goto done;
    /* d in [1, n - 2]: an SM2 signing key needs 1 + d invertible. */
    if ((limit = BN_CTX_get(ctx)) == NULL || !BN_copy(limit, EC_GROUP_get0_order(group))
        || !BN_sub_word(limit, 1) || (pub = EC_POINT_new(group)) == NULL)
        goto done;
    do {
        if (!BN_priv_rand_range(d, limit)) {
            SM2_ERR(EC_R_RANDOM_NUMBER_GENERATION_FAILED);
            goto done;
        }
    } while (BN_is_zero(d));
    ok = EC_POINT_mul(group, pub, d, NULL, NULL, ctx)
        && EC_POINT_get_affine_coordinates(group, pub, X, Y, ctx);
    if (!ok)
        SM2_ERR(EC_R_POINT_ARITHMETIC_FAILURE);
done:
    EC_POINT_free(pub);
    sm2_ctx_free(ctx);
    EC_GROUP_free(owned);
    return ok;
}

int _SM2_generate_keypair(unsigned char *d, unsigned char *X, unsigned char *Y)
{
    BIGNUM *bd = BN_secure_new(), *bx = BN_new(), *by = BN_new();
    int ok;

    if (d == NULL || X == NULL || Y == NULL) {
        SM2_ERR(EC_R_PASSED_NULL_PARAMETER);
        ok = 0;
    } else {
        ok = bd != NULL && bx != NULL && by != NULL && _SM2_generate_key(bd, bx, by, GM_CURVE_SM2)
            && _SM2_GetBNBytes(bd, d) && _SM2_GetBNBytes(bx, X) && _SM2_GetBNBytes(by, Y);
    }
    BN_clear_free(bd);
    BN_free(bx);
    BN_free(by);
    return ok;
}
