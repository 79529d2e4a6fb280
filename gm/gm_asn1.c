/* DER records of the GM layer and the SM2 private-key codec. */
#include "gm/gm_asn1.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <string.h>

#include "gm/gm_objects.h"
#include "gm/sm2_group.h"

ASN1_SEQUENCE(SM2Cipher) = {
    ASN1_SIMPLE(SM2Cipher, XCoordinate, CBIGNUM),
    ASN1_SIMPLE(SM2Cipher, YCoordinate, CBIGNUM),
    ASN1_SIMPLE(SM2Cipher, HASH, ASN1_OCTET_STRING),
    ASN1_SIMPLE(SM2Cipher, cipherText, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2Cipher)
IMPLEMENT_ASN1_FUNCTIONS(SM2Cipher)

ASN1_SEQUENCE(PFX_SM2_PRIVATE_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataEncryptedAlg, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, encryptedSM2PrivateKey, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)

ASN1_SEQUENCE(PFX_SM2_PUBLIC_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, SM2Certificate, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PUBLIC_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)

ASN1_SEQUENCE(PFX_SM2) = {
    ASN1_SIMPLE(PFX_SM2, version, ASN1_INTEGER),
    ASN1_SIMPLE(PFX_SM2, privateData, PFX_SM2_PRIVATE_DATA),
    ASN1_SIMPLE(PFX_SM2, publicData, PFX_SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(PFX_SM2)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2)

ASN1_SEQUENCE(SM2_PRIVATEKEY) = {
    ASN1_SIMPLE(SM2_PRIVATEKEY, version, LONG),
    ASN1_SIMPLE(SM2_PRIVATEKEY, privateKey, ASN1_INTEGER),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, parameters, ASN1_ANY, 0),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, publicKey, ASN1_BIT_STRING, 1),
} ASN1_SEQUENCE_END(SM2_PRIVATEKEY)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

PFX_SM2 *d2i_SM2_PFX_bio(BIO *bp, PFX_SM2 **pfx)
{
    return ASN1_item_d2i_bio(ASN1_ITEM_rptr(PFX_SM2), bp, pfx);
}

/* The example curve is known to the layer only: its OID names it. */
static int is_test_curve_oid(const ASN1_TYPE *t)
{
    return t->type == V_ASN1_OBJECT
        && OBJ_obj2nid(t->value.object) == gm_obj_nid(GM_OBJ_SM2_TEST);
}

static EC_GROUP *group_from_parameters(const ASN1_TYPE *params)
{
    unsigned char *der = NULL;
    const unsigned char *p;
    EC_GROUP *group;
    int len;

    if (is_test_curve_oid(params))
        return gm_curve_group_new(GM_CURVE_SM2_TEST);
    if ((len = i2d_ASN1_TYPE(params, &der)) <= 0)
        return NULL;
    p = der;
    group = d2i_ECPKParameters(NULL, &p, len);
    OPENSSL_free(der);
    return group;
}

static ASN1_TYPE *parameters_from_group(const EC_GROUP *group)
{
    unsigned char *der = NULL;
    const unsigned char *p;
    ASN1_TYPE *params = NULL;
    int len;

    if (gm_curve_id_of_group(group) == GM_CURVE_SM2_TEST
        && (EC_GROUP_get_asn1_flag(group) & OPENSSL_EC_NAMED_CURVE)) {
        ASN1_OBJECT *obj = OBJ_nid2obj(gm_obj_nid(GM_OBJ_SM2_TEST));
        if (obj == NULL || (params = ASN1_TYPE_new()) == NULL)
            return NULL;
        ASN1_TYPE_set(params, V_ASN1_OBJECT, obj);
        return params;
    }
    if ((len = i2d_ECPKParameters(group, &der)) <= 0)
        return NULL;
    p = der;
    params = d2i_ASN1_TYPE(NULL, &p, len);
    OPENSSL_free(der);
    return params;
}

/* The private scalar of the record: a positive INTEGER below the order. */
static BIGNUM *private_scalar(const ASN1_INTEGER *ai, const EC_GROUP *group)
{
    BIGNUM *d;

    if (ai == NULL || ASN1_STRING_type(ai) != V_ASN1_INTEGER)
        return NULL;
    d = BN_bin2bn(ASN1_STRING_get0_data(ai), ASN1_STRING_length(ai), NULL);
    if (d != NULL && (BN_is_zero(d) || BN_cmp(d, EC_GROUP_get0_order(group)) >= 0)) {
        BN_clear_free(d);
        return NULL;
    }
    return d;
}

static int set_public_key(EC_KEY *key, const ASN1_BIT_STRING *bits)
{
    const EC_GROUP *group = EC_KEY_get0_group(key);
    const unsigned char *oct = ASN1_STRING_get0_data(bits);
    int len = ASN1_STRING_length(bits);
    EC_POINT *point;
    int ok;

    if (len < 1 || (point = EC_POINT_new(group)) == NULL)
        return 0;
    ok = EC_POINT_oct2point(group, point, oct, (size_t)len, NULL)
        && EC_KEY_set_public_key(key, point);
    if (ok)
        EC_KEY_set_conv_form(key, (point_conversion_form_t)(oct[0] & ~0x01));
    EC_POINT_free(point);
    return ok;
}

EC_KEY *d2i_SM2PrivateKey(EC_KEY **key, const unsigned char **in, long len)
{
    SM2_PRIVATEKEY *rec;
    EC_KEY *ret = NULL;
    BIGNUM *d = NULL;
    int reason = EC_R_DECODE_ERROR;

    if ((rec = d2i_SM2_PRIVATEKEY(NULL, in, len)) == NULL)
        goto fail;
    reason = ERR_R_EC_LIB;
    ret = (key != NULL && *key != NULL) ? *key : EC_KEY_new();
    if (ret == NULL)
        goto fail;
    if (rec->parameters != NULL) {
        EC_GROUP *group = group_from_parameters(rec->parameters);
        int ok = group != NULL && EC_KEY_set_group(ret, group);
        EC_GROUP_free(group);
        if (!ok)
            goto fail;
    } else if (EC_KEY_get0_group(ret) == NULL) {
        reason = EC_R_MISSING_PARAMETERS;
        goto fail;
    }
    if ((d = private_scalar(rec->privateKey, EC_KEY_get0_group(ret))) == NULL) {
        reason = EC_R_INVALID_PRIVATE_KEY;
        goto fail;
    }
    if (!EC_KEY_set_private_key(ret, d))
        goto fail;
    if (rec->publicKey != NULL && !set_public_key(ret, rec->publicKey))
        goto fail;
    BN_clear_free(d);
    SM2_PRIVATEKEY_free(rec);
    if (key != NULL)
        *key = ret;
    return ret;
fail:
    ERR_raise(ERR_LIB_EC, reason);
    BN_clear_free(d);
    SM2_PRIVATEKEY_free(rec);
    if (ret != NULL && (key == NULL || *key != ret))
        EC_KEY_free(ret);
    return NULL;
}

int i2d_SM2PrivateKey(EC_KEY *key, unsigned char **out)
{
    const EC_GROUP *group = key != NULL ? EC_KEY_get0_group(key) : NULL;
    const BIGNUM *d = key != NULL ? EC_KEY_get0_private_key(key) : NULL;
    unsigned int flags = key != NULL ? EC_KEY_get_enc_flags(key) : 0;
    SM2_PRIVATEKEY *rec = NULL;
    unsigned char *oct = NULL;
    size_t octLen;
    int len = 0;

    if (group == NULL || d == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if ((rec = SM2_PRIVATEKEY_new()) == NULL)
        goto done;
    /* libcrypto 3.0 does not tell the version of a key; EC keys are version 1. */
    rec->version = 1;
    if (BN_to_ASN1_INTEGER(d, rec->privateKey) == NULL)
        goto done;
    if (!(flags & EC_PKEY_NO_PARAMETERS)
        && (rec->parameters = parameters_from_group(group)) == NULL)
        goto done;
    if (!(flags & EC_PKEY_NO_PUBKEY)) {
        octLen = EC_KEY_key2buf(key, EC_KEY_get_conv_form(key), &oct, NULL);
        if (octLen == 0 || (rec->publicKey = ASN1_BIT_STRING_new()) == NULL
            || !ASN1_BIT_STRING_set(rec->publicKey, oct, (int)octLen))
            goto done;
        /* No unused bits. */
        rec->publicKey->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
        rec->publicKey->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    }
    len = i2d_SM2_PRIVATEKEY(rec, out);
    if (len < 0)
        len = 0;
done:
    if (len == 0)
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
    OPENSSL_free(oct);
    SM2_PRIVATEKEY_free(rec);
    return len;
}

/* 1 when the key's private scalar lies in [1, n-1]. */
static int scalar_in_range(const EC_KEY *key)
{
    const BIGNUM *d = EC_KEY_get0_private_key(key);
    const EC_GROUP *group = EC_KEY_get0_group(key);

    return d != NULL && group != NULL && !BN_is_zero(d) && !BN_is_negative(d)
        && BN_cmp(d, EC_GROUP_get0_order(group)) < 0;
}

int ec_priv_decode_legacy(EVP_PKEY *pkey, const unsigned char **in, int len)
{
    const unsigned char *p = in != NULL ? *in : NULL;
    EC_KEY *key;

    if (pkey == NULL || p == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    /* The caller's own errors stay on the queue; only this attempt's go. */
    ERR_set_mark();
    key = d2i_ECPrivateKey(NULL, &p, len);
    if (key != NULL && !scalar_in_range(key)) {
        EC_KEY_free(key);
        key = NULL;
    }
    if (key == NULL) {
        p = *in;
        key = d2i_SM2PrivateKey(NULL, &p, len);
    }
    ERR_pop_to_mark();
    if (key == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        return 0;
    }
    if (!EVP_PKEY_assign_EC_KEY(pkey, key)) {
        EC_KEY_free(key);
        return 0;
    }
    *in = p;
    return 1;
}
