/* Test seam of the SM2 core (internal; not exported from the middleware).
 *
 * Signing and encryption draw their per-call scalar k from the source set
 * here; tests set a fixed k to reproduce the published examples.  A null
 * function restores the random source.  Not for use outside tests. */
#ifndef BRIO_GM_SM2_TEST_SEAM_H
#define BRIO_GM_SM2_TEST_SEAM_H

#include <openssl/bn.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sets k to a value in [1, order - 1]; 1 on success, 0 on failure. */
typedef int (*gm_sm2_k_source_fn)(BIGNUM *k, const BIGNUM *order, void *arg);

void gm_sm2_set_k_source(gm_sm2_k_source_fn fn, void *arg);

#ifdef __cplusplus
}
#endif
#endif
