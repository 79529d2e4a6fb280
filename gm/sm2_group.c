/* Curve groups of the GM layer: the SM2 recommended curve and the GM/T 0003
 * example curve by the layer's own curve ids. */
#include "gm/sm2_group.h"

#include <openssl/bn.h>
#include <openssl/obj_mac.h>
#include <string.h>

struct gm_curve_text {
    const char *p, *a, *b, *gx, *gy, *n;
};

/* GM/T 0003.5, the recommended 256-bit curve. */
static const struct gm_curve_text k_sm2_curve = {
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
    "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
    "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123",
};

/* GM/T 0003, the 256-bit prime-field example curve. */
static const struct gm_curve_text k_sm2_test_curve = {
    "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3",
    "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498",
    "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A",
    "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D",
    "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2",
    "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7",
};

static const struct gm_curve_text *curve_text(int nid)
{
    if (nid == GM_CURVE_SM2 || nid == NID_sm2)
        return &k_sm2_curve;
    if (nid == GM_CURVE_SM2_TEST)
        return &k_sm2_test_curve;
    return NULL;
}

int gm_curve_is_sm2(int nid)
{
    return curve_text(nid) != NULL;
}

static EC_GROUP *new_explicit_group(const struct gm_curve_text *t)
{
    EC_GROUP *group = NULL;
    EC_POINT *g = NULL;
    BIGNUM *p = NULL, *a = NULL, *b = NULL, *x = NULL, *y = NULL, *n = NULL;
    BN_CTX *ctx = BN_CTX_new();
    int ok = 0;

    if (ctx == NULL || !BN_hex2bn(&p, t->p) || !BN_hex2bn(&a, t->a) || !BN_hex2bn(&b, t->b)
        || !BN_hex2bn(&x, t->gx) || !BN_hex2bn(&y, t->gy) || !BN_hex2bn(&n, t->n))
        goto done;
    group = EC_GROUP_new_curve_GFp(p, a, b, ctx);
    if (group == NULL || (g = EC_POINT_new(group)) == NULL
        || !EC_POINT_set_affine_coordinates(group, g, x, y, ctx)
        || !EC_GROUP_set_generator(group, g, n, BN_value_one()))
        goto done;
    EC_GROUP_set_asn1_flag(group, OPENSSL_EC_EXPLICIT_CURVE);
    ok = 1;
done:
    if (!ok) {
        EC_GROUP_free(group);
        group = NULL;
    }
    EC_POINT_free(g);
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(x);
    BN_free(y);
    BN_free(n);
    BN_CTX_free(ctx);
    return group;
}

EC_GROUP *gm_curve_group_new(int nid)
{
    if (nid == GM_CURVE_SM2 || nid == NID_sm2)
        return EC_GROUP_new_by_curve_name(NID_sm2);
    if (nid == GM_CURVE_SM2_TEST)
        return new_explicit_group(&k_sm2_test_curve);
    return EC_GROUP_new_by_curve_name(nid);
}

static int hex_to_field(const char *hex, unsigned char *out)
{
    BIGNUM *bn = NULL;
    int ok;

    if (out == NULL)
        return 1;
    ok = BN_hex2bn(&bn, hex) && BN_bn2binpad(bn, out, 32) == 32;
    BN_free(bn);
    return ok;
}

int gm_curve_params(int nid, unsigned char *p, unsigned char *a, unsigned char *b,
                    unsigned char *gx, unsigned char *gy, unsigned char *n)
{
    const struct gm_curve_text *t = curve_text(nid);

    if (t == NULL)
        return 0;
    return hex_to_field(t->p, p) && hex_to_field(t->a, a) && hex_to_field(t->b, b)
        && hex_to_field(t->gx, gx) && hex_to_field(t->gy, gy) && hex_to_field(t->n, n);
}

static int group_matches(const EC_GROUP *group, const BIGNUM *p, const struct gm_curve_text *t)
{
    unsigned char want[32], have[32];

    return BN_bn2binpad(p, have, 32) == 32 && hex_to_field(t->p, want)
        && memcmp(want, have, 32) == 0
        && BN_bn2binpad(EC_GROUP_get0_order(group), have, 32) == 32
        && hex_to_field(t->n, want) && memcmp(want, have, 32) == 0;
}

int gm_curve_id_of_group(const EC_GROUP *group)
{
    BIGNUM *p;
    int id = 0;

    if (group == NULL)
        return 0;
    if (EC_GROUP_get_curve_name(group) == NID_sm2)
        return GM_CURVE_SM2;
    if (EC_GROUP_get_curve_name(group) != NID_undef)
        return EC_GROUP_get_curve_name(group);
    /* An explicit group: the SM2 curves are known by their prime and order. */
    p = BN_new();
    if (p != NULL && EC_GROUP_get_curve(group, p, NULL, NULL, NULL)) {
        if (group_matches(group, p, &k_sm2_curve))
            id = GM_CURVE_SM2;
        else if (group_matches(group, p, &k_sm2_test_curve))
            id = GM_CURVE_SM2_TEST;
    }
    BN_free(p);
    return id;
}
