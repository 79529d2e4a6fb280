/* Curve groups of the GM layer.
 *
 * The GM layer names its two SM2 curves by its own curve ids, which are
 * never handed to the crypto library as NIDs (in OpenSSL 3.0 the numbers
 * 920 and 921 belong to other objects):
 *   GM_CURVE_SM2 (920)       the SM2 recommended curve of GM/T 0003.5
 *                            (OpenSSL's built-in SM2 group; NID_sm2 is
 *                            accepted for it as well);
 *   GM_CURVE_SM2_TEST (921)  the 256-bit prime-field example curve of
 *                            GM/T 0003, built explicitly;
 * any other id is passed to EC_GROUP_new_by_curve_name.
 *
 * Everyone in gm/ (the objects and registration, the key exchange, the
 * certificate helpers) builds groups through gm_curve_group_new only. */
#ifndef BRIO_GM_SM2_GROUP_H
#define BRIO_GM_SM2_GROUP_H

#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GM_CURVE_SM2 920
#define GM_CURVE_SM2_TEST 921

/* A new group for the curve id (the caller frees it with EC_GROUP_free),
 * or null for an unknown curve. */
EC_GROUP *gm_curve_group_new(int nid);

/* 1 when nid names one of the two SM2 curves (920, NID_sm2 or 921). */
int gm_curve_is_sm2(int nid);

/* The GM curve id of a group: 920 for the SM2 recommended curve, 921 for
 * the example curve (compared by parameters), else the group's own curve
 * name (0 when it has none). */
int gm_curve_id_of_group(const EC_GROUP *group);

/* The curve's parameters as 32-byte big-endian values (any out may be
 * null); 1, or 0 for a curve other than 920/NID_sm2 and 921. */
int gm_curve_params(int nid, unsigned char *p, unsigned char *a, unsigned char *b,
                    unsigned char *gx, unsigned char *gy, unsigned char *n);

#ifdef __cplusplus
}
#endif
#endif
