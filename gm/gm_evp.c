/* SM3, SM4-CBC and ZUC as EVP records of the crypto library. */
#include "gm/gm_evp.h"

#include <openssl/objects.h>
#include <pthread.h>
#include <string.h>

#include "gm/gm_objects.h"
#include "gm/gm_release.h"
#include "gm/sm3.h"
#include "gm/sm4.h"
#include "gm/zuc.h"

/* Per-context data of the SM4 record: key words, then the round keys of the
 * context's direction. */
typedef struct GM_SM4_CBC_CTX {
    uint32_t mk[4];
    uint32_t rk[SM4_ROUNDS];
} GM_SM4_CBC_CTX;

static pthread_once_t g_recordsOnce = PTHREAD_ONCE_INIT;
static EVP_MD *g_sm3;
static EVP_CIPHER *g_sm4Cbc;
static EVP_CIPHER *g_zuc;

static int sm3_md_init(EVP_MD_CTX *ctx)
{
    return gm_sm3_init(EVP_MD_CTX_md_data(ctx));
}

static int sm3_md_update(EVP_MD_CTX *ctx, const void *data, size_t len)
{
    return gm_sm3_update(EVP_MD_CTX_md_data(ctx), data, len);
}

static int sm3_md_final(EVP_MD_CTX *ctx, unsigned char *md)
{
    return gm_sm3_final(EVP_MD_CTX_md_data(ctx), md);
}

static EVP_MD *new_sm3_record(void)
{
    EVP_MD *md = EVP_MD_meth_new(NID_sm3, NID_SM2_with_SM3);

    if (md == NULL)
        return NULL;
    if (!EVP_MD_meth_set_result_size(md, SM3_DIGEST_LENGTH)
        || !EVP_MD_meth_set_input_blocksize(md, SM3_BLOCK_SIZE)
        || !EVP_MD_meth_set_app_datasize(md, sizeof(SM3_BLOCK_CTX))
        || !EVP_MD_meth_set_flags(md, 0) || !EVP_MD_meth_set_init(md, sm3_md_init)
        || !EVP_MD_meth_set_update(md, sm3_md_update)
        || !EVP_MD_meth_set_final(md, sm3_md_final)) {
        EVP_MD_meth_free(md);
        return NULL;
    }
    return md;
}

int sm4_cbc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv,
                     int enc)
{
    GM_SM4_CBC_CTX *c = EVP_CIPHER_CTX_get_cipher_data(ctx);
    int i;

    (void)iv; /* the library keeps the chaining value in the context */
    if (c == NULL || key == NULL)
        return 0;
    for (i = 0; i < 4; i++)
        c->mk[i] = ((uint32_t)key[4 * i] << 24) | ((uint32_t)key[4 * i + 1] << 16)
            | ((uint32_t)key[4 * i + 2] << 8) | key[4 * i + 3];
    if (!_SM4_ExtendKey(c->mk, c->rk))
        return 0;
    return enc ? 1 : _SM4_InvertRoundKey(c->rk);
}

int sm4_cbc_do_cipher(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                      size_t len)
{
    GM_SM4_CBC_CTX *c = EVP_CIPHER_CTX_get_cipher_data(ctx);

    /* A trailing piece of a block cannot be chained: refuse it rather than
     * leave it out unreported. */
    if (c == NULL || len % SM4_BLOCK_SIZE != 0)
        return 0;
    if (len == 0)
        return 1;
    gm_sm4_cbc_blocks(c->rk, EVP_CIPHER_CTX_iv_noconst(ctx), in, out, len / SM4_BLOCK_SIZE,
                      EVP_CIPHER_CTX_encrypting(ctx));
    return 1;
}

int zuc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv, int enc)
{
    GM_ZUC_CTX *c = EVP_CIPHER_CTX_get_cipher_data(ctx);

    (void)enc; /* encryption and decryption are the same operation */
    if (c == NULL)
        return 0;
    return gm_zuc_init(c, key, iv);
}

int zuc_do_cipher(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in, size_t len)
{
    GM_ZUC_CTX *c = EVP_CIPHER_CTX_get_cipher_data(ctx);

    if (c == NULL)
        return 0;
    if (len == 0)
        return 1;
    return gm_zuc_xor(c, in, out, len);
}

static EVP_CIPHER *new_cipher_record(int nid, int iBlockSize, int iFlags, size_t ulDataSize,
                                     int (*init)(EVP_CIPHER_CTX *, const unsigned char *,
                                                 const unsigned char *, int),
                                     int (*doCipher)(EVP_CIPHER_CTX *, unsigned char *,
                                                     const unsigned char *, size_t))
{
    EVP_CIPHER *cipher;

    if (nid == NID_undef || (cipher = EVP_CIPHER_meth_new(nid, iBlockSize, 16)) == NULL)
        return NULL;
    if (!EVP_CIPHER_meth_set_iv_length(cipher, 16) || !EVP_CIPHER_meth_set_flags(cipher, iFlags)
        || !EVP_CIPHER_meth_set_init(cipher, init)
        || !EVP_CIPHER_meth_set_do_cipher(cipher, doCipher)
        || !EVP_CIPHER_meth_set_impl_ctx_size(cipher, (int)ulDataSize)) {
        EVP_CIPHER_meth_free(cipher);
        return NULL;
    }
    return cipher;
}

static void records_setup(void)
{
    g_sm3 = new_sm3_record();
    g_sm4Cbc = new_cipher_record(NID_sm4_cbc, SM4_BLOCK_SIZE, EVP_CIPH_CBC_MODE,
                                 sizeof(GM_SM4_CBC_CTX), sm4_cbc_init_key, sm4_cbc_do_cipher);
    g_zuc = new_cipher_record(gm_obj_nid(GM_OBJ_ZUC), 1, EVP_CIPH_STREAM_CIPHER,
                              sizeof(GM_ZUC_CTX), zuc_init_key, zuc_do_cipher);
}

static void records_noop(void)
{
}

void gm_records_release(void)
{
    /* Not made after this either. */
    pthread_once(&g_recordsOnce, records_noop);
    EVP_MD_meth_free(g_sm3);
    EVP_CIPHER_meth_free(g_sm4Cbc);
    EVP_CIPHER_meth_free(g_zuc);
    g_sm3 = NULL;
    g_sm4Cbc = NULL;
    g_zuc = NULL;
}

const EVP_MD *gm_EVP_sm3(void)
{
    pthread_once(&g_recordsOnce, records_setup);
    return g_sm3;
}

const EVP_CIPHER *gm_EVP_sm4_cbc(void)
{
    pthread_once(&g_recordsOnce, records_setup);
    return g_sm4Cbc;
}

const EVP_CIPHER *gm_EVP_zuc(void)
{
    pthread_once(&g_recordsOnce, records_setup);
    return g_zuc;
}
