/* SM4 block cipher (GM/T 0002-2012): 128-bit blocks, 128-bit key.
 *
 * The transforms and the one-block CBC step take words (big-endian reading
 * of the bytes); SM4_cbc_encrypt takes bytes.  The decryption schedule is the
 * encryption schedule reversed by _SM4_InvertRoundKey; no block function
 * inverts the schedule itself.  Every function returns 1 unless stated.
 *
 * The gm_sm4_* helpers process whole blocks with a prepared schedule; the
 * SM4 cipher record calls gm_sm4_cbc_blocks for its data. */
#ifndef BRIO_GM_SM4_H
#define BRIO_GM_SM4_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM4_BLOCK_SIZE 16
#define SM4_KEY_LENGTH 16
#define SM4_ROUNDS 32

int _SM4_NLTransform(uint32_t in, uint32_t *out);
int _SM4_LTransform(uint32_t in, uint32_t *out);
int _SM4_LDashTransform(uint32_t in, uint32_t *out);
int _SM4_TTransform(uint32_t in, uint32_t *out);
int _SM4_TDashTransform(uint32_t in, uint32_t *out);
/* out = x0 ^ T(x1 ^ x2 ^ x3 ^ rk) */
int _SM4_FTransform(uint32_t x0, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t rk, uint32_t *out);

int _SM4_ExtendKey(const uint32_t *mk /*[4]*/, uint32_t *rk /*[32]*/);
int _SM4_InvertRoundKey(uint32_t *rk /*[32]*/);
int _SM4_CipherPlaintextTransform(const uint32_t *in /*[4]*/, const uint32_t *rk /*[32]*/,
                                  uint32_t *out /*[4]*/);
/* One CBC block on words; iv is the chaining value, updated in place. */
int _SM4_cbc_encrypt(const uint32_t *in, const uint32_t *rk, uint32_t *iv, uint32_t *out, int enc);
/* One CBC block on bytes; in and out may be the same buffer. */
int SM4_cbc_encrypt(const unsigned char *in, const uint32_t *rk, unsigned char *iv,
                    unsigned char *out, int enc);

/* Helpers on whole blocks (nblocks of 16 bytes; in and out may alias). */
/* Round keys from a 16-byte key; enc == 0 gives the inverted schedule. */
int gm_sm4_set_key(const unsigned char *key, uint32_t *rk /*[32]*/, int enc);
void gm_sm4_ecb_blocks(const uint32_t *rk, const unsigned char *in, unsigned char *out,
                       size_t nblocks);
void gm_sm4_cbc_blocks(const uint32_t *rk, unsigned char *iv, const unsigned char *in,
                       unsigned char *out, size_t nblocks, int enc);

#ifdef __cplusplus
}
#endif
#endif
