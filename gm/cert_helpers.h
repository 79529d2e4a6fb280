/* Certificate helpers: LDAP URL texts from CRL distribution points, and the
 * encryption certificate of a dual-certificate set.
 *
 * Texts are zero-terminated, allocated with malloc; the receiver frees them
 * with free.  Length outputs (which may be null) receive the text's length
 * without the terminating zero.  Text functions return 1 or 0; the index
 * functions return a position or -1. */
#ifndef BRIO_GM_CERT_HELPERS_H
#define BRIO_GM_CERT_HELPERS_H

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LDAP_URL_ARRAY_SIZE 128

/* "SN=value" parts from the last entry to the first, joined with ",". */
int GetX509Name(X509_NAME *name, char **ppszText, unsigned int *puiLen);
/* A directory name as GetX509Name, an "ldap" URI as it stands, any other
 * name as an empty text. */
int GetGeneralName(GENERAL_NAME *gn, char **ppszText, unsigned int *puiLen);
/* The texts of all names, joined with nothing between them. */
int GetGeneralNames(GENERAL_NAMES *gns, char **ppszText, unsigned int *puiLen);
/* A full name as GetGeneralNames; a relative name gives a null text. */
int GetDP(DIST_POINT_NAME *dp, char **ppszText, unsigned int *puiLen);
/* Frees the strings of a LDAP_URL_ARRAY_SIZE array and nulls its slots. */
void FreeLdapURLArray(char **ppszArray);

/* Position of the first certificate after the first one that is not on
 * the first one's issuer chain within the set, or -1. */
int st_x509_get_enc_cert_index(STACK_OF(X509) *certs);
/* The same for the context's certificate over its untrusted set, with the
 * context's issuer test. */
int x509_get_enc_cert_index(X509_STORE_CTX *ctx);

#ifdef __cplusplus
}
#endif
#endif
