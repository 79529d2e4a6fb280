/* LDAP URL texts from CRL distribution points, and the encryption
 * certificate of a dual-certificate set. */
#include "gm/cert_helpers.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <stdlib.h>
#include <string.h>

#define NAME_TEXT_MAX 1024      /* characters of a name or URI text */
#define NAMES_TEXT_SIZE 5121    /* buffer of the joined names */
#define NAMES_TEXT_MAX 5118     /* characters of the joined names */

/* ---- texts ------------------------------------------------------------- */

static int hand_out(char *pszText, char **ppszText, unsigned int *puiLen)
{
    *ppszText = pszText;
    if (puiLen != NULL)
        *puiLen = (unsigned int)strlen(pszText);
    return 1;
}

/* Appends "SN=value" of one entry; 0 when it has no short name, an empty
 * value or no room (with room kept for a separator and two more
 * characters while entries remain). */
static int append_entry(char *pszText, size_t *pulUsed, const X509_NAME_ENTRY *entry,
                        int bMore)
{
    int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
    const char *sn = nid != NID_undef ? OBJ_nid2sn(nid) : NULL;
    unsigned char *value = NULL;
    int valueLen;
    size_t snLen, need;

    if (sn == NULL)
        return 0;
    valueLen = ASN1_STRING_to_UTF8(&value, X509_NAME_ENTRY_get_data(entry));
    if (valueLen < 1) {
        OPENSSL_free(value);
        return 0;
    }
    snLen = strlen(sn);
    need = snLen + 1 + (size_t)valueLen + (bMore ? 3 : 0);
    if (*pulUsed + need > NAME_TEXT_MAX) {
        OPENSSL_free(value);
        return 0;
    }
    memcpy(pszText + *pulUsed, sn, snLen);
    *pulUsed += snLen;
    pszText[(*pulUsed)++] = '=';
    memcpy(pszText + *pulUsed, value, (size_t)valueLen);
    *pulUsed += (size_t)valueLen;
    if (bMore)
        pszText[(*pulUsed)++] = ',';
    OPENSSL_free(value);
    return 1;
}

int GetX509Name(X509_NAME *name, char **ppszText, unsigned int *puiLen)
{
    int count = name != NULL ? X509_NAME_entry_count(name) : 0;
    size_t used = 0;
    char *text;
    int i;

    if (count <= 0 || ppszText == NULL || (text = calloc(NAME_TEXT_MAX + 1, 1)) == NULL)
        return 0;
    for (i = count - 1; i >= 0; i--) {
        if (!append_entry(text, &used, X509_NAME_get_entry(name, i), i > 0)) {
            free(text);
            return 0;
        }
    }
    return hand_out(text, ppszText, puiLen);
}

int GetGeneralName(GENERAL_NAME *gn, char **ppszText, unsigned int *puiLen)
{
    char *text, *dirName = NULL;
    unsigned int dirLen = 0;
    int len;

    if (gn == NULL || ppszText == NULL || (text = calloc(NAME_TEXT_MAX + 1, 1)) == NULL)
        return 0;
    if (gn->type == GEN_DIRNAME) {
        if (!GetX509Name(gn->d.directoryName, &dirName, &dirLen)) {
            free(text);
            return 0;
        }
        memcpy(text, dirName, dirLen);
        free(dirName);
    } else if (gn->type == GEN_URI) {
        len = ASN1_STRING_length(gn->d.uniformResourceIdentifier);
        if (len > NAME_TEXT_MAX) {
            free(text);
            return 0;
        }
        if (len >= 4 && memcmp(ASN1_STRING_get0_data(gn->d.uniformResourceIdentifier), "ldap", 4) == 0)
            memcpy(text, ASN1_STRING_get0_data(gn->d.uniformResourceIdentifier), (size_t)len);
    }
    return hand_out(text, ppszText, puiLen);
}

int GetGeneralNames(GENERAL_NAMES *gns, char **ppszText, unsigned int *puiLen)
{
    size_t used = 0;
    char *text, *part;
    unsigned int partLen;
    int i;

    if (gns == NULL || ppszText == NULL || (text = calloc(NAMES_TEXT_SIZE, 1)) == NULL)
        return 0;
    for (i = 0; i < sk_GENERAL_NAME_num(gns); i++) {
        if (!GetGeneralName(sk_GENERAL_NAME_value(gns, i), &part, &partLen)) {
            free(text);
            return 0;
        }
        if (used + partLen > NAMES_TEXT_MAX) {
            free(part);
            free(text);
            return 0;
        }
        memcpy(text + used, part, partLen);
        used += partLen;
        free(part);
    }
    return hand_out(text, ppszText, puiLen);
}

int GetDP(DIST_POINT_NAME *dp, char **ppszText, unsigned int *puiLen)
{
    if (dp == NULL || ppszText == NULL)
        return 0;
    if (dp->type == 0)
        return GetGeneralNames(dp->name.fullname, ppszText, puiLen);
    *ppszText = NULL;
    if (puiLen != NULL)
        *puiLen = 0;
    return 1;
}

void FreeLdapURLArray(char **ppszArray)
{
    int i;

    if (ppszArray == NULL)
        return;
    for (i = 0; i < LDAP_URL_ARRAY_SIZE; i++) {
        free(ppszArray[i]);
        ppszArray[i] = NULL;
    }
}

/* ---- encryption certificate -------------------------------------------- */

#define GM_X509_F_VERIFY_CERT 127

typedef int (*issued_fn)(X509_STORE_CTX *ctx, X509 *subject, X509 *issuer);

static int set_issued(X509_STORE_CTX *ctx, X509 *subject, X509 *issuer)
{
    (void)ctx;
    return X509_check_issued(issuer, subject) == X509_V_OK;
}

static void no_memory(void)
{
    ERR_put_error(ERR_LIB_X509, GM_X509_F_VERIFY_CERT, ERR_R_MALLOC_FAILURE, "x509_vfy.c",
                  __LINE__);
}

static int first_position(STACK_OF(X509) *set, const X509 *cert)
{
    int i;

    for (i = 0; i < sk_X509_num(set); i++)
        if (sk_X509_value(set, i) == cert)
            return i;
    return -1;
}

/* Walks the issuer chain of start through the set, searching from position
 * nFirst and never taking a position twice, so that certificates naming
 * each other end the walk; then the first position from 1 that is not on
 * the chain. */
static int enc_cert_index(STACK_OF(X509) *set, X509 *start, int nFirst,
                          issued_fn issued, X509_STORE_CTX *ctx)
{
    int n = sk_X509_num(set), i, steps, found = -1;
    unsigned char *marks = calloc((size_t)n, 2);
    unsigned char *visited;
    X509 *cur = start;

    if (marks == NULL) {
        no_memory();
        return -1;
    }
    visited = marks + n;
    marks[0] = 1;
    for (steps = 0; steps < n && !issued(ctx, cur, cur); steps++) {
        for (found = -1, i = nFirst; i < n && found < 0; i++)
            if (!visited[i] && issued(ctx, cur, sk_X509_value(set, i)))
                found = i;
        if (found < 0)
            break;
        visited[found] = 1;
        cur = sk_X509_value(set, found);
        marks[first_position(set, cur)] = 1;
    }
    for (found = -1, i = 1; i < n && found < 0; i++)
        if (!marks[i])
            found = i;
    free(marks);
    return found;
}

int st_x509_get_enc_cert_index(STACK_OF(X509) *certs)
{
    STACK_OF(X509) *set = certs != NULL ? sk_X509_dup(certs) : NULL;
    int index = -1;

    if (set == NULL) {
        no_memory();
        return -1;
    }
    if (sk_X509_num(set) > 0)
        index = enc_cert_index(set, sk_X509_value(set, 0), 1, set_issued, NULL);
    sk_X509_free(set);
    return index;
}

int x509_get_enc_cert_index(X509_STORE_CTX *ctx)
{
    STACK_OF(X509) *untrusted = ctx != NULL ? X509_STORE_CTX_get0_untrusted(ctx) : NULL;
    X509 *cert = ctx != NULL ? X509_STORE_CTX_get0_cert(ctx) : NULL;
    issued_fn issued = ctx != NULL ? X509_STORE_CTX_get_check_issued(ctx) : NULL;
    STACK_OF(X509) *set;
    int index = -1;

    if (untrusted == NULL || sk_X509_num(untrusted) <= 0 || cert == NULL)
        return -1;
    if ((set = sk_X509_dup(untrusted)) == NULL) {
        no_memory();
        return -1;
    }
    index = enc_cert_index(set, cert, 0, issued != NULL ? issued : set_issued, ctx);
    sk_X509_free(set);
    return index;
}
