/* SM3 hash (GM/T 0004-2012), 256-bit digest.
 *
 * Two faces over one compression function:
 *  - the block face (gm_sm3_*), the per-context data of the SM3 digest
 *    record (SM3_BLOCK_CTX fits the record's 112 bytes of context data);
 *  - the digest face (SM3_Init / SM3_Update / SM3_Final / SM3), used by the
 *    SM2 code for the key derivation, the Z value and the cipher-text hash.
 * All functions return 1 on success and 0 on failure unless stated.
 * Message lengths are counted in 64 bits on both faces. */
#ifndef BRIO_GM_SM3_H
#define BRIO_GM_SM3_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM3_DIGEST_LENGTH 32
#define SM3_BLOCK_SIZE 64

typedef struct SM3_BLOCK_CTX {
    uint32_t state[8];      /* V */
    uint64_t nblocks;       /* 64-byte blocks compressed so far */
    unsigned char block[SM3_BLOCK_SIZE];
    int32_t num;            /* bytes buffered in block, 0..63 between calls */
} SM3_BLOCK_CTX;

typedef struct SM3_DIGEST_CTX {
    unsigned char buffer[SM3_BLOCK_SIZE];
    uint32_t pending;       /* bytes in buffer, 0..64 between calls */
    uint32_t state[8];
    uint64_t total;         /* bytes processed in whole blocks */
} SM3_DIGEST_CTX;

/* Block face. */
int gm_sm3_init(SM3_BLOCK_CTX *ctx);
int gm_sm3_update(SM3_BLOCK_CTX *ctx, const void *data, size_t len);
int gm_sm3_final(SM3_BLOCK_CTX *ctx, unsigned char *md);
int gm_sm3_compress(SM3_BLOCK_CTX *ctx, const unsigned char *block);
int gm_sm3(const void *data, size_t len, unsigned char *md);

/* Digest face. */
int _SM3_DigestInit(SM3_DIGEST_CTX *ctx);
int _SM3_DigestUpdate(SM3_DIGEST_CTX *ctx, const void *data, size_t len);
/* Finishes and copies the eight state words (host order) to words. */
int _SM3_DigestFinal(SM3_DIGEST_CTX *ctx, uint32_t *words);
/* Processes one block; len must be 64. */
int SM3_DigestBlock(SM3_DIGEST_CTX *ctx, const unsigned char *block, size_t len);

int SM3_Init(SM3_DIGEST_CTX *ctx);
int SM3_Update(SM3_DIGEST_CTX *ctx, const void *data, size_t len);
int SM3_Final(unsigned char *md, SM3_DIGEST_CTX *ctx);
/* One-shot digest; the local context is wiped.  With a null md the digest
 * goes to a buffer of the calling thread's own, whose address is returned;
 * null on failure. */
unsigned char *SM3(const unsigned char *data, size_t len, unsigned char *md);

#ifdef __cplusplus
}
#endif
#endif
