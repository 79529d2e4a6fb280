/* GM objects: the layer's object numbers mapped onto the crypto library's
 * objects, and the curve list with the two SM2 curves. */
#include "gm/gm_objects.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <pthread.h>
#include <string.h>

struct gm_object {
    int iGmObj;
    const char *szOid;
    const char *szShortName;   /* null: the library's own object is used */
    const char *szLongName;
    int nid;                   /* the library's NID, filled at set-up */
};

/* 920, 922 and 924 have OIDs the library already knows; 923's OID would
 * bring a short name that shadows the library's "sm4-cbc", so its object
 * is the library's SM4-CBC. */
static struct gm_object g_objects[] = {
    {GM_OBJ_SM2, "1.2.156.10197.1.301", NULL, NULL, NID_sm2},
    {GM_OBJ_SM2_TEST, "1.2.156.10197.1.888", "ChinaSM2TEST256", "prime256v1SM2TEST", NID_undef},
    {GM_OBJ_SM3, "1.2.156.10197.1.401", NULL, NULL, NID_sm3},
    {GM_OBJ_SM4_CBC, NULL, NULL, NULL, NID_sm4_cbc},
    {GM_OBJ_SM2_SM3, "1.2.156.10197.1.501", NULL, NULL, NID_SM2_with_SM3},
    {GM_OBJ_SM1_CBC, "1.2.156.10197.1.102", "sm1-cbc", "ChinaSM1-CBC", NID_undef},
    {GM_OBJ_ZUC, "1.2.156.10197.1.105", "zuc", "ChinaZUC", NID_undef},
    {GM_OBJ_SM2_SM3_PKCS7, "1.2.156.10197.1.301.1", "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7",
     NID_undef},
    {GM_OBJ_SM_PKCS7_DATA, "1.2.156.10197.6.1.4.2.1", "sm-pkcs7-data", "SM-pkcs7-data", NID_undef},
    {GM_OBJ_SM_PKCS7_SIGNED, "1.2.156.10197.6.1.4.2.2", "sm-pkcs7-signedData", "SM-pkcs7-signed",
     NID_undef},
};

#define GM_OBJECT_COUNT (sizeof(g_objects) / sizeof(g_objects[0]))

static pthread_once_t g_objectsOnce = PTHREAD_ONCE_INIT;
static int g_objectsReady;

static void objects_setup(void)
{
    size_t i;
    int ok = 1;

    for (i = 0; i < GM_OBJECT_COUNT; i++) {
        struct gm_object *o = &g_objects[i];
        if (o->szShortName == NULL)
            continue;
        /* Someone in the process may have created it already. */
        o->nid = OBJ_txt2nid(o->szOid);
        if (o->nid == NID_undef)
            o->nid = OBJ_create(o->szOid, o->szShortName, o->szLongName);
        if (o->nid == NID_undef)
            ok = 0;
    }
    g_objectsReady = ok;
}

int gm_objects_init(void)
{
    if (pthread_once(&g_objectsOnce, objects_setup) != 0)
        return 0;
    return g_objectsReady;
}

int gm_obj_nid(int iGmObj)
{
    size_t i;

    gm_objects_init();
    for (i = 0; i < GM_OBJECT_COUNT; i++)
        if (g_objects[i].iGmObj == iGmObj && g_objects[i].nid != NID_undef)
            return g_objects[i].nid;
    ERR_raise(ERR_LIB_OBJ, OBJ_R_UNKNOWN_NID);
    return NID_undef;
}

static const EC_builtin_curve g_gmCurves[] = {
    {GM_CURVE_SM2, "China SM2 curve over a 256 bit prime field"},
    {GM_CURVE_SM2_TEST, "China SM2 Test curve over a 256 bit prime field"},
};

#define GM_CURVE_COUNT (sizeof(g_gmCurves) / sizeof(g_gmCurves[0]))

size_t gm_get_builtin_curves(EC_builtin_curve *r, size_t nitems)
{
    size_t nLib = EC_get_builtin_curves(NULL, 0);
    EC_builtin_curve *lib = OPENSSL_malloc((nLib ? nLib : 1) * sizeof(*lib));
    size_t i, j, count = 0;

    if (lib == NULL)
        return 0;
    nLib = EC_get_builtin_curves(lib, nLib);
    for (i = 0; i < nLib; i++) {
        if (lib[i].nid == NID_sm2)
            continue;
        if (count < nitems && r != NULL)
            r[count] = lib[i];
        count++;
        if (lib[i].nid != NID_X9_62_prime256v1)
            continue;
        for (j = 0; j < GM_CURVE_COUNT; j++, count++)
            if (count < nitems && r != NULL)
                r[count] = g_gmCurves[j];
    }
    OPENSSL_free(lib);
    return count;
}
