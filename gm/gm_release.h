/* The GM layer's shared crypto-library objects: the SM2 curve groups, the
 * EVP records and the engine slot indices, each made once on first use.
 * Nothing releases them at exit, where other threads may still be using
 * them; the shared library lets them go when it is really unloaded, with no
 * call running (through softcrypto::ReleaseCryptoObjects).  After a release
 * they are not made again: the calls that need them fail. */
#ifndef BRIO_GM_GM_RELEASE_H
#define BRIO_GM_GM_RELEASE_H

#ifdef __cplusplus
extern "C" {
#endif

void gm_sm2_groups_release(void);
void gm_records_release(void);
void gm_slots_release(void);

#ifdef __cplusplus
}
#endif

#endif
