/* ZUC-128 stream cipher (GM/T 0001-2012) key-stream generator.
 *
 * The generator state is passed as separate pointers: the register (a
 * pointer to the pointer of 16 cells s0..s15), R1, R2 and X0..X3.
 *
 * GM_ZUC_CTX is the per-context data of the ZUC cipher record: the state
 * in the same order, followed by the unused bytes of the last key-stream
 * word, so that data split differently into calls gives the same result. */
#ifndef BRIO_GM_ZUC_H
#define BRIO_GM_ZUC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZUC_KEY_LENGTH 16
#define ZUC_IV_LENGTH 16

int _ZUC_Initialize(const unsigned char *key, const unsigned char *iv, uint32_t **lfsr,
                    uint32_t *R1, uint32_t *R2, uint32_t *X0, uint32_t *X1, uint32_t *X2,
                    uint32_t *X3);
uint32_t _ZUC_NextKey(uint32_t **lfsr, uint32_t *R1, uint32_t *R2, uint32_t *X0, uint32_t *X1,
                      uint32_t *X2, uint32_t *X3);
/* n key-stream words, host order, into *keystream. */
int _ZUC_GenerateKeyStream(uint32_t **lfsr, uint32_t *R1, uint32_t *R2, uint32_t *X0,
                           uint32_t *X1, uint32_t *X2, uint32_t *X3, uint32_t **keystream,
                           unsigned n);
/* The 16-byte IV of 128-EEA3 from COUNT, BEARER and DIRECTION into *iv. */
int _ZUC_ExtendtoIV(unsigned COUNT, unsigned BEARER, unsigned DIRECTION, unsigned char **iv);

typedef struct GM_ZUC_CTX {
    uint32_t lfsr[16];
    uint32_t R1, R2, X0, X1, X2, X3;
    uint32_t word;          /* last key-stream word drawn */
    uint32_t left;          /* its bytes not yet used, 0..3 */
} GM_ZUC_CTX;

/* Initialises ctx from a 16-byte key and IV; 0 for a null argument. */
int gm_zuc_init(GM_ZUC_CTX *ctx, const unsigned char *key, const unsigned char *iv);
/* out = in xor key stream, continuing where the previous call stopped
 * (in and out may be the same buffer); 0 for a null ctx. */
int gm_zuc_xor(GM_ZUC_CTX *ctx, const unsigned char *in, unsigned char *out, size_t len);
/* Wipes the context (key-stream state). */
void gm_zuc_cleanse(GM_ZUC_CTX *ctx);

#ifdef __cplusplus
}
#endif
#endif
