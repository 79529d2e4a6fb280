/* SM2 routes of the EC key operations, item signing with the default
 * identity, and the engine's extra slots. */
#include "gm/gm_pkey.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <pthread.h>
#include <string.h>

#include "gm/gm_asn1.h"
#include "gm/gm_release.h"
#include "gm/sm2.h"
#include "gm/sm3.h"
#include "gm/sm2_group.h"

/* ---- engine slots ------------------------------------------------------ */

/* One ex_data index per slot, holding the function pointer itself: nothing
 * is allocated per engine, so an engine that outlives the library neither
 * leaks slot data nor calls back into unloaded code. */
enum { SLOT_PKEY_DECRYPT, SLOT_LIST_OBJECT_INDEX, SLOT_IMPORT_KEY, SLOT_COUNT };

static pthread_once_t g_slotsOnce = PTHREAD_ONCE_INIT;
static int g_slotIndex[SLOT_COUNT] = {-1, -1, -1};

static void slots_setup(void)
{
    int i;

    for (i = 0; i < SLOT_COUNT; i++)
        g_slotIndex[i] = ENGINE_get_ex_new_index(0, NULL, NULL, NULL, NULL);
}

static void slots_noop(void)
{
}

void gm_slots_release(void)
{
    int i;

    /* Not taken after this either. */
    pthread_once(&g_slotsOnce, slots_noop);

    for (i = 0; i < SLOT_COUNT; i++) {
        if (g_slotIndex[i] >= 0)
            CRYPTO_free_ex_index(CRYPTO_EX_INDEX_ENGINE, g_slotIndex[i]);
        g_slotIndex[i] = -1;
    }
}

typedef void (*slot_fn)(void);

static int slot_set(ENGINE *e, int slot, slot_fn f)
{
    void *p;

    pthread_once(&g_slotsOnce, slots_setup);
    if (e == NULL || g_slotIndex[slot] < 0)
        return 0;
    memcpy(&p, &f, sizeof(p));
    return ENGINE_set_ex_data(e, g_slotIndex[slot], p);
}

static slot_fn slot_get(const ENGINE *e, int slot)
{
    slot_fn f;
    void *p;

    pthread_once(&g_slotsOnce, slots_setup);
    if (e == NULL || g_slotIndex[slot] < 0 || (p = ENGINE_get_ex_data(e, g_slotIndex[slot])) == NULL)
        return NULL;
    memcpy(&f, &p, sizeof(f));
    return f;
}

#define GM_ENGINE_SLOT(name, type, slot)                                 \
    int ENGINE_set_##name##_function(ENGINE *e, type f)                  \
    {                                                                    \
        return slot_set(e, slot, (slot_fn)f);                            \
    }                                                                    \
    type ENGINE_get_##name##_function(const ENGINE *e)                   \
    {                                                                    \
        return (type)slot_get(e, slot);                                  \
    }

GM_ENGINE_SLOT(pkey_decrypt, ENGINE_PKEY_DECRYPT_PTR, SLOT_PKEY_DECRYPT)
GM_ENGINE_SLOT(list_object_index, ENGINE_LIST_OBJECT_INDEX_PTR, SLOT_LIST_OBJECT_INDEX)
GM_ENGINE_SLOT(import_key, ENGINE_IMPORT_KEY_PTR, SLOT_IMPORT_KEY)

/* ---- key helpers ------------------------------------------------------- */

static const EC_KEY *ctx_ec_key(EVP_PKEY_CTX *ctx)
{
    EVP_PKEY *pkey = ctx != NULL ? EVP_PKEY_CTX_get0_pkey(ctx) : NULL;

    return pkey != NULL ? EVP_PKEY_get0_EC_KEY(pkey) : NULL;
}

/* The SM2 curve id of the key (920 or 921), 0 for any other curve. */
static int sm2_curve_of(const EC_KEY *key)
{
    int id = gm_curve_id_of_group(EC_KEY_get0_group(key));

    return (id == GM_CURVE_SM2 || id == GM_CURVE_SM2_TEST) ? id : 0;
}

/* 1 when the key has no engine or one whose id begins with one of the
 * given prefixes (null-terminated list). */
static int engine_admits(const EC_KEY *key, const char *const *prefixes)
{
    const ENGINE *e = EC_KEY_get0_engine(key);
    const char *id;

    if (e == NULL)
        return 1;
    if ((id = ENGINE_get_id(e)) == NULL)
        return 0;
    for (; *prefixes != NULL; prefixes++)
        if (strncmp(id, *prefixes, strlen(*prefixes)) == 0)
            return 1;
    return 0;
}

static const char *const k_signEngines[] = {"openssl ecdsa", NULL};
static const char *const k_verifyEngines[] = {"pkcs11", "openssl ecdsa", NULL};

static int public_xy(const EC_KEY *key, BIGNUM *x, BIGNUM *y)
{
    const EC_POINT *pub = EC_KEY_get0_public_key(key);

    return pub != NULL
        && EC_POINT_get_affine_coordinates(EC_KEY_get0_group(key), pub, x, y, NULL);
}

/* ---- sign / verify ----------------------------------------------------- */

int pkey_ec_sm2_sign(EVP_PKEY_CTX *ctx, unsigned char *sig, size_t *siglen,
                     const unsigned char *tbs, size_t tbslen)
{
    const EC_KEY *key = ctx_ec_key(ctx);
    ECDSA_SIG *s = NULL;
    BIGNUM *e = NULL;
    unsigned int uiLen;
    int size, curve, len, ret = -1;

    if (key == NULL || siglen == NULL || (size = ECDSA_size(key)) <= 0)
        return -1;
    if (sig == NULL) {
        *siglen = (size_t)size;
        return 1;
    }
    if (*siglen < (size_t)size) {
        ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
        return 0;
    }
    curve = sm2_curve_of(key);
    if (curve == 0 || !engine_admits(key, k_signEngines)) {
        if (!ECDSA_sign(0, tbs, (int)tbslen, sig, &uiLen, (EC_KEY *)key))
            return 0;
        *siglen = uiLen;
        return 1;
    }
    if ((e = BN_bin2bn(tbs, (int)tbslen, NULL)) != NULL
        && (s = _SM2_sign(e, EC_KEY_get0_private_key(key), curve)) != NULL
        && (len = i2d_ECDSA_SIG(s, &sig)) > 0) {
        *siglen = (size_t)len;
        ret = 1;
    }
    ECDSA_SIG_free(s);
    BN_free(e);
    return ret;
}

int pkey_ec_sm2_verify(EVP_PKEY_CTX *ctx, const unsigned char *sig, size_t siglen,
                       const unsigned char *tbs, size_t tbslen)
{
    const EC_KEY *key = ctx_ec_key(ctx);
    const unsigned char *p = sig;
    ECDSA_SIG *s = NULL;
    BIGNUM *x = BN_new(), *y = BN_new(), *e = NULL;
    int curve, ret = -1;

    if (key == NULL || x == NULL || y == NULL)
        goto done;
    curve = sm2_curve_of(key);
    if (curve == 0 || !engine_admits(key, k_verifyEngines)) {
        ret = ECDSA_verify(0, tbs, (int)tbslen, sig, (int)siglen, (EC_KEY *)key);
        goto done;
    }
    if ((s = d2i_ECDSA_SIG(NULL, &p, (long)siglen)) == NULL || !public_xy(key, x, y)
        || (e = BN_bin2bn(tbs, (int)tbslen, NULL)) == NULL)
        goto done;
    if (_SM2_verify(s, x, y, e, curve) == 1)
        ret = 1;
done:
    ECDSA_SIG_free(s);
    BN_free(x);
    BN_free(y);
    BN_free(e);
    return ret;
}

/* ---- encrypt / decrypt ------------------------------------------------- */

/* C1 = 04 || x1 || y1 */
#define C1_BYTES (1 + 2 * SM2_FIELD_BYTES)

/* Bytes of a DER length field for a content of n bytes. */
static size_t der_length_size(size_t n)
{
    size_t size = 1;

    if (n >= 0x80)
        for (; n != 0; n >>= 8)
            size++;
    return size;
}

/* The largest DER SM2Cipher for a message of mlen bytes: two INTEGERs of
 * up to 33 content bytes, the 32-byte hash and the message. */
static size_t sm2_cipher_der_bound(size_t mlen)
{
    size_t content = 2 * (1 + 1 + 33) + (1 + 1 + SM3_DIGEST_LENGTH)
        + (1 + der_length_size(mlen) + mlen);

    return 1 + der_length_size(content) + content;
}

int pkey_ec_sm2_encrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                        const unsigned char *in, size_t inlen)
{
    const EC_KEY *key = ctx_ec_key(ctx);
    SM2Cipher *c = NULL;
    BIGNUM *x = BN_new(), *y = BN_new();
    unsigned char *raw = NULL;
    size_t rawLen = inlen + SM2_CIPHER_OVERHEAD;
    int curve, len, ret = -1;

    if (key == NULL || outlen == NULL || x == NULL || y == NULL
        || (curve = sm2_curve_of(key)) == 0 || inlen == 0 || inlen > SM2_MAX_MESSAGE_LENGTH)
        goto done;
    if (out == NULL) {
        *outlen = sm2_cipher_der_bound(inlen);
        ret = 1;
        goto done;
    }
    if (!public_xy(key, x, y) || (raw = OPENSSL_malloc(rawLen)) == NULL
        || !_SM2_encrypt(curve, in, (unsigned)inlen, x, y, raw))
        goto done;
    if ((c = SM2Cipher_new()) == NULL
        || BN_bin2bn(raw + 1, SM2_FIELD_BYTES, c->XCoordinate) == NULL
        || BN_bin2bn(raw + 1 + SM2_FIELD_BYTES, SM2_FIELD_BYTES, c->YCoordinate) == NULL
        || !ASN1_OCTET_STRING_set(c->cipherText, raw + C1_BYTES, (int)inlen)
        || !ASN1_OCTET_STRING_set(c->HASH, raw + C1_BYTES + inlen, SM3_DIGEST_LENGTH)
        || (len = i2d_SM2Cipher(c, NULL)) <= 0)
        goto done;
    if (*outlen < (size_t)len) {
        ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
        goto done;
    }
    if (i2d_SM2Cipher(c, &out) != len)
        goto done;
    *outlen = (size_t)len;
    ret = 1;
done:
    SM2Cipher_free(c);
    OPENSSL_clear_free(raw, raw != NULL ? rawLen : 0);
    BN_free(x);
    BN_free(y);
    return ret;
}

int pkey_ec_sm2_decrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                        const unsigned char *in, size_t inlen)
{
    const EC_KEY *key = ctx_ec_key(ctx);
    const unsigned char *p = in;
    ENGINE_PKEY_DECRYPT_PTR engineDecrypt;
    SM2Cipher *c = NULL;
    unsigned char *raw = NULL;
    size_t mlen = 0, rawLen = 0;
    int curve, ret = -1;

    if (key == NULL || outlen == NULL)
        return -1;
    engineDecrypt = ENGINE_get_pkey_decrypt_function(EC_KEY_get0_engine(key));
    if (engineDecrypt != NULL)
        return engineDecrypt(ctx, out, outlen, in, inlen);
    if ((curve = sm2_curve_of(key)) == 0 || (c = d2i_SM2Cipher(NULL, &p, (long)inlen)) == NULL
        || ASN1_STRING_length(c->HASH) != SM3_DIGEST_LENGTH || ASN1_STRING_length(c->cipherText) < 1)
        goto done;
    mlen = (size_t)ASN1_STRING_length(c->cipherText);
    if (out == NULL) {
        *outlen = mlen;
        ret = 1;
        goto done;
    }
    if (*outlen < mlen) {
        ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
        goto done;
    }
    /* The raw form 04 || x1 || y1 || C2 || C3, sized by the record's own
     * fields (a DER record with short coordinates is shorter than it). */
    rawLen = SM2_CIPHER_OVERHEAD + mlen;
    if ((raw = OPENSSL_zalloc(rawLen)) == NULL || EC_KEY_get0_private_key(key) == NULL)
        goto done;
    raw[0] = 0x04;
    if (!_SM2_GetBNBytes(c->XCoordinate, raw + 1)
        || !_SM2_GetBNBytes(c->YCoordinate, raw + 1 + SM2_FIELD_BYTES))
        goto done;
    memcpy(raw + C1_BYTES, ASN1_STRING_get0_data(c->cipherText), mlen);
    memcpy(raw + C1_BYTES + mlen, ASN1_STRING_get0_data(c->HASH), SM3_DIGEST_LENGTH);
    if (_SM2_decrypt(curve, raw, (unsigned)rawLen, EC_KEY_get0_private_key(key), out) == 1) {
        *outlen = mlen;
        ret = 1;
    }
done:
    SM2Cipher_free(c);
    OPENSSL_clear_free(raw, rawLen);
    return ret;
}

/* ---- item signing ------------------------------------------------------ */

int gm_item_digest_init(EVP_MD_CTX *ctx, EVP_PKEY *pkey, const EVP_MD *md, int iSign)
{
    EVP_PKEY_CTX *pctx = NULL;
    const EC_KEY *key;
    int ok;

    if (ctx == NULL || pkey == NULL || md == NULL)
        return 0;
    ok = iSign ? EVP_DigestSignInit(ctx, &pctx, md, NULL, pkey)
               : EVP_DigestVerifyInit(ctx, &pctx, md, NULL, pkey);
    if (ok != 1)
        return 0;
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC || EVP_MD_type(md) != NID_sm3)
        return 1;
    key = EVP_PKEY_get0_EC_KEY(pkey);
    if (key == NULL || gm_curve_id_of_group(EC_KEY_get0_group(key)) != GM_CURVE_SM2)
        return 1;
    return EVP_PKEY_CTX_set1_id(pctx, SM2_DEFAULT_ID, SM2_DEFAULT_ID_LENGTH) == 1;
}
