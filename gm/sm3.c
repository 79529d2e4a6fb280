/* SM3 hash, GM/T 0004-2012. */
#include "gm/sm3.h"

#include <openssl/crypto.h>
#include <string.h>

#include "gm/gm_endian.h"

#define ROL(x, n) (((x) << ((n) & 31)) | ((x) >> ((32 - ((n) & 31)) & 31)))
#define P0(x) ((x) ^ ROL((x), 9) ^ ROL((x), 17))
#define P1(x) ((x) ^ ROL((x), 15) ^ ROL((x), 23))
#define FF0(x, y, z) ((x) ^ (y) ^ (z))
#define FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define GG0(x, y, z) ((x) ^ (y) ^ (z))
#define GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

static const uint32_t k_sm3_iv[8] = {
    0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
    0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e,
};

/* T(j) <<< (j mod 32). */
static const uint32_t k_sm3_t[64] = {
    0x79cc4519, 0xf3988a32, 0xe7311465, 0xce6228cb, 0x9cc45197, 0x3988a32f, 0x7311465e, 0xe6228cbc,
    0xcc451979, 0x988a32f3, 0x311465e7, 0x6228cbce, 0xc451979c, 0x88a32f39, 0x11465e73, 0x228cbce6,
    0x9d8a7a87, 0x3b14f50f, 0x7629ea1e, 0xec53d43c, 0xd8a7a879, 0xb14f50f3, 0x629ea1e7, 0xc53d43ce,
    0x8a7a879d, 0x14f50f3b, 0x29ea1e76, 0x53d43cec, 0xa7a879d8, 0x4f50f3b1, 0x9ea1e762, 0x3d43cec5,
    0x7a879d8a, 0xf50f3b14, 0xea1e7629, 0xd43cec53, 0xa879d8a7, 0x50f3b14f, 0xa1e7629e, 0x43cec53d,
    0x879d8a7a, 0x0f3b14f5, 0x1e7629ea, 0x3cec53d4, 0x79d8a7a8, 0xf3b14f50, 0xe7629ea1, 0xcec53d43,
    0x9d8a7a87, 0x3b14f50f, 0x7629ea1e, 0xec53d43c, 0xd8a7a879, 0xb14f50f3, 0x629ea1e7, 0xc53d43ce,
    0x8a7a879d, 0x14f50f3b, 0x29ea1e76, 0x53d43cec, 0xa7a879d8, 0x4f50f3b1, 0x9ea1e762, 0x3d43cec5,
};

/* W(j) of the message expansion, from the words before it. */
#define EXPAND(j) \
    (P1(w[(j) - 16] ^ w[(j) - 9] ^ ROL(w[(j) - 3], 15)) ^ ROL(w[(j) - 13], 7) ^ w[(j) - 6])

/* One round; the caller renames the registers instead of moving them.
 * Rounds from 12 on first expand the word W(j + 4) they need. */
#define ROUND(A, B, C, D, E, F, G, H, j, FF, GG)                                  \
    do {                                                                          \
        uint32_t a12 = ROL(A, 12);                                                \
        uint32_t ss1, tt1, tt2;                                                   \
        if ((j) >= 12)                                                            \
            w[(j) + 4] = EXPAND((j) + 4);                                         \
        /* E, the last value to arrive, enters the chain as late as possible */   \
        ss1 = ROL((a12 + k_sm3_t[j]) + E, 7);                                     \
        tt2 = (GG(E, F, G) + (H + w[j])) + ss1;                                   \
        tt1 = (FF(A, B, C) + (D + (w[j] ^ w[(j) + 4]))) + (ss1 ^ a12);            \
        B = ROL(B, 9);                                                            \
        F = ROL(F, 19);                                                           \
        D = tt1;                                                                  \
        H = P0(tt2);                                                              \
    } while (0)

#define ROUND4(j, FF, GG)                                   \
    ROUND(a, b, c, d, e, f, g, h, (j), FF, GG);             \
    ROUND(d, a, b, c, h, e, f, g, (j) + 1, FF, GG);         \
    ROUND(c, d, a, b, g, h, e, f, (j) + 2, FF, GG);         \
    ROUND(b, c, d, a, f, g, h, e, (j) + 3, FF, GG)

/* CF over nblocks consecutive 64-byte blocks. */
static void sm3_compress_blocks(uint32_t *v, const unsigned char *data, size_t nblocks)
{
    uint32_t w[68];

    while (nblocks-- > 0) {
        uint32_t a = v[0], b = v[1], c = v[2], d = v[3];
        uint32_t e = v[4], f = v[5], g = v[6], h = v[7];
        int j;

        for (j = 0; j < 16; j++)
            w[j] = gm_load_be32(data + 4 * j);
        ROUND4(0, FF0, GG0);
        ROUND4(4, FF0, GG0);
        ROUND4(8, FF0, GG0);
        ROUND4(12, FF0, GG0);
        ROUND4(16, FF1, GG1);
        ROUND4(20, FF1, GG1);
        ROUND4(24, FF1, GG1);
        ROUND4(28, FF1, GG1);
        ROUND4(32, FF1, GG1);
        ROUND4(36, FF1, GG1);
        ROUND4(40, FF1, GG1);
        ROUND4(44, FF1, GG1);
        ROUND4(48, FF1, GG1);
        ROUND4(52, FF1, GG1);
        ROUND4(56, FF1, GG1);
        ROUND4(60, FF1, GG1);
        v[0] ^= a;
        v[1] ^= b;
        v[2] ^= c;
        v[3] ^= d;
        v[4] ^= e;
        v[5] ^= f;
        v[6] ^= g;
        v[7] ^= h;
        data += SM3_BLOCK_SIZE;
    }
}

/* The final one or two blocks: the rest of the message, 0x80, zeros and
 * the 64-bit big-endian bit length. */
static void sm3_pad_and_compress(uint32_t *v, const unsigned char *rest, size_t nrest,
                                 uint64_t total_bytes)
{
    unsigned char pad[2 * SM3_BLOCK_SIZE];
    size_t n = nrest < 56 ? SM3_BLOCK_SIZE : 2 * SM3_BLOCK_SIZE;
    uint64_t bits = total_bytes << 3;

    memset(pad, 0, sizeof(pad));
    memcpy(pad, rest, nrest);
    pad[nrest] = 0x80;
    gm_store_be32(pad + n - 8, (uint32_t)(bits >> 32));
    gm_store_be32(pad + n - 4, (uint32_t)bits);
    sm3_compress_blocks(v, pad, n / SM3_BLOCK_SIZE);
    OPENSSL_cleanse(pad, sizeof(pad));
}

static void sm3_write_digest(const uint32_t *v, unsigned char *md)
{
    int i;

    for (i = 0; i < 8; i++)
        gm_store_be32(md + 4 * i, v[i]);
}

/* ---- block face ---------------------------------------------------------- */

int gm_sm3_init(SM3_BLOCK_CTX *ctx)
{
    if (ctx == NULL)
        return 0;
    memset(ctx, 0, sizeof(*ctx));
    memcpy(ctx->state, k_sm3_iv, sizeof(k_sm3_iv));
    return 1;
}

int gm_sm3_compress(SM3_BLOCK_CTX *ctx, const unsigned char *block)
{
    if (ctx == NULL || block == NULL)
        return 0;
    sm3_compress_blocks(ctx->state, block, 1);
    return 1;
}

int gm_sm3_update(SM3_BLOCK_CTX *ctx, const void *data, size_t len)
{
    const unsigned char *p = data;
    size_t whole;

    if (ctx == NULL || (p == NULL && len > 0) || ctx->num < 0 || ctx->num >= SM3_BLOCK_SIZE)
        return 0;
    if (len == 0)
        return 1;
    if (ctx->num > 0) {
        size_t room = SM3_BLOCK_SIZE - (size_t)ctx->num;

        if (len < room) {
            memcpy(ctx->block + ctx->num, p, len);
            ctx->num += (int32_t)len;
            return 1;
        }
        memcpy(ctx->block + ctx->num, p, room);
        sm3_compress_blocks(ctx->state, ctx->block, 1);
        ctx->nblocks++;
        p += room;
        len -= room;
        ctx->num = 0;
    }
    whole = len / SM3_BLOCK_SIZE;
    if (whole > 0) {
        sm3_compress_blocks(ctx->state, p, whole);
        ctx->nblocks += whole;
        p += whole * SM3_BLOCK_SIZE;
        len -= whole * SM3_BLOCK_SIZE;
    }
    if (len > 0)
        memcpy(ctx->block, p, len);
    ctx->num = (int32_t)len;
    return 1;
}

int gm_sm3_final(SM3_BLOCK_CTX *ctx, unsigned char *md)
{
    if (ctx == NULL || md == NULL || ctx->num < 0 || ctx->num >= SM3_BLOCK_SIZE)
        return 0;
    sm3_pad_and_compress(ctx->state, ctx->block, (size_t)ctx->num,
                         ctx->nblocks * SM3_BLOCK_SIZE + (uint64_t)ctx->num);
    sm3_write_digest(ctx->state, md);
    return 1;
}

int gm_sm3(const void *data, size_t len, unsigned char *md)
{
    SM3_BLOCK_CTX ctx;
    int ok = gm_sm3_init(&ctx) && gm_sm3_update(&ctx, data, len) && gm_sm3_final(&ctx, md);

    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return ok;
}

/* ---- digest face --------------------------------------------------------- */

int _SM3_DigestInit(SM3_DIGEST_CTX *ctx)
{
    if (ctx == NULL)
        return 0;
    memset(ctx, 0, sizeof(*ctx));
    memcpy(ctx->state, k_sm3_iv, sizeof(k_sm3_iv));
    return 1;
}

int SM3_DigestBlock(SM3_DIGEST_CTX *ctx, const unsigned char *block, size_t len)
{
    if (ctx == NULL || block == NULL || len != SM3_BLOCK_SIZE)
        return 0;
    sm3_compress_blocks(ctx->state, block, 1);
    ctx->total += SM3_BLOCK_SIZE;
    return 1;
}

int _SM3_DigestUpdate(SM3_DIGEST_CTX *ctx, const void *data, size_t len)
{
    const unsigned char *p = data;
    size_t fill, whole;

    if (ctx == NULL || ctx->pending > SM3_BLOCK_SIZE)
        return 0;
    if (p == NULL)
        return 1;
    if (len <= SM3_BLOCK_SIZE - ctx->pending) {
        /* the buffer may end exactly full; it waits for more or the end */
        memcpy(ctx->buffer + ctx->pending, p, len);
        ctx->pending += (uint32_t)len;
        return 1;
    }
    fill = SM3_BLOCK_SIZE - ctx->pending;
    memcpy(ctx->buffer + ctx->pending, p, fill);
    SM3_DigestBlock(ctx, ctx->buffer, SM3_BLOCK_SIZE);
    p += fill;
    len -= fill;
    whole = len / SM3_BLOCK_SIZE;
    if (whole > 0) {
        sm3_compress_blocks(ctx->state, p, whole);
        ctx->total += (uint64_t)whole * SM3_BLOCK_SIZE;
        p += whole * SM3_BLOCK_SIZE;
        len -= whole * SM3_BLOCK_SIZE;
    }
    memcpy(ctx->buffer, p, len);
    ctx->pending = (uint32_t)len;
    return 1;
}

int _SM3_DigestFinal(SM3_DIGEST_CTX *ctx, uint32_t *words)
{
    if (ctx == NULL || words == NULL || ctx->pending > SM3_BLOCK_SIZE)
        return 0;
    sm3_pad_and_compress(ctx->state, ctx->buffer, ctx->pending, ctx->total + ctx->pending);
    memcpy(words, ctx->state, sizeof(ctx->state));
    return 1;
}

int SM3_Init(SM3_DIGEST_CTX *ctx)
{
    return _SM3_DigestInit(ctx);
}

int SM3_Update(SM3_DIGEST_CTX *ctx, const void *data, size_t len)
{
    return _SM3_DigestUpdate(ctx, data, len);
}

int SM3_Final(unsigned char *md, SM3_DIGEST_CTX *ctx)
{
    uint32_t words[8];

    if (md == NULL || !_SM3_DigestFinal(ctx, words))
        return 0;
    sm3_write_digest(words, md);
    OPENSSL_cleanse(words, sizeof(words));
    return 1;
}

unsigned char *SM3(const unsigned char *data, size_t len, unsigned char *md)
{
    static _Thread_local unsigned char own[SM3_DIGEST_LENGTH];
    SM3_DIGEST_CTX ctx;
    int ok;

    if (md == NULL)
        md = own;
    ok = SM3_Init(&ctx) && SM3_Update(&ctx, data, len) && SM3_Final(md, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return ok ? md : NULL;
}
