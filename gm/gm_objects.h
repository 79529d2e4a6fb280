/* GM objects of the layer: object numbers, their crypto-library objects
 * and the list of curves.
 *
 * The layer keeps its own numbers 920 to 930 (929 empty) for the GM
 * objects.  They are never handed to the crypto library: OpenSSL 3.0 uses
 * those NIDs for other objects and already knows SM2, SM3, SM4-CBC and
 * SM2-with-SM3 under NIDs of its own, so gm_obj_nid maps each number to the
 * library's NID (creating the objects the library lacks on first use).
 * The curve numbers 920 and 921 are the curve ids of gm/sm2_group.h. */
#ifndef BRIO_GM_GM_OBJECTS_H
#define BRIO_GM_GM_OBJECTS_H

#include <stddef.h>
#include <openssl/ec.h>

#include "gm/sm2_group.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GM_OBJ_SM2 920                 /* 1.2.156.10197.1.301 (NID_sm2) */
#define GM_OBJ_SM2_TEST 921            /* 1.2.156.10197.1.888 */
#define GM_OBJ_SM3 922                 /* 1.2.156.10197.1.401 (NID_sm3) */
#define GM_OBJ_SM4_CBC 923             /* NID_sm4_cbc */
#define GM_OBJ_SM2_SM3 924             /* 1.2.156.10197.1.501 (NID_SM2_with_SM3) */
#define GM_OBJ_SM1_CBC 925             /* 1.2.156.10197.1.102 */
#define GM_OBJ_ZUC 926                 /* 1.2.156.10197.1.105 */
#define GM_OBJ_SM2_SM3_PKCS7 927       /* 1.2.156.10197.1.301.1 */
#define GM_OBJ_SM_PKCS7_DATA 928       /* 1.2.156.10197.6.1.4.2.1 */
#define GM_OBJ_SM_PKCS7_SIGNED 930     /* 1.2.156.10197.6.1.4.2.2 */

/* Creates the GM objects the crypto library lacks (once per process);
 * 1, or 0 when one could not be created. */
int gm_objects_init(void);

/* The crypto library's NID for a GM object number; NID_undef with
 * OBJ_R_UNKNOWN_NID on the error queue for 929 and any other number. */
int gm_obj_nid(int iGmObj);

/* The crypto library's curve list with the two SM2 curves of the layer
 * (ids 920 and 921, with their comments) right after prime256v1 in place
 * of the library's own SM2 entry; same contract as EC_get_builtin_curves:
 * the number of curves, with up to nitems of them written to r. */
size_t gm_get_builtin_curves(EC_builtin_curve *r, size_t nitems);

#ifdef __cplusplus
}
#endif
#endif
