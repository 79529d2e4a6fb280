/* The demo issuer of brio-demo-provision: two certificate authorities made
 * in software at provisioning time (an SM2 one signing with SM3, an RSA-2048
 * one signing with SHA-256), which certify the public keys of the
 * provisioned key pairs.  Their private keys live only as long as the
 * object; their certificates are written for whoever checks the token's
 * certificates (`openssl verify -CAfile`). */
#ifndef BRIO_DEMO_CERTIFICATES_H
#define BRIO_DEMO_CERTIFICATES_H

#include <string>
#include <vector>

#include "skf/skf.h"

struct evp_pkey_st;
struct x509_st;

/* The distinguishing ID of the SM2 signatures: the default of GM/T 0009.
 * OpenSSL 3.0 verifies with the empty ID unless told this one
 * (`openssl verify -vfyopt distid:1234567812345678`). */
#define DEMO_SM2_ID "1234567812345678"

class CDemoIssuer {
public:
    CDemoIssuer();
    ~CDemoIssuer();
    CDemoIssuer(const CDemoIssuer &) = delete;
    CDemoIssuer &operator=(const CDemoIssuer &) = delete;

    /* Both authorities made (keys and self-signed certificates). */
    bool Ready() const { return m_pSm2Cert != nullptr && m_pRsaCert != nullptr; }
    /* Both CA certificates, PEM, to strPath (mode 0644); false with a
     * reason on standard error. */
    bool WriteAuthorities(const std::string &strPath) const;

    /* DER certificates of a container's key pair, subject "CN=<container>
     * <role>": the SM2 authority certifies an SM2 public key, the RSA one
     * an RSA public key.  Empty when it cannot be made. */
    std::vector<BYTE> Certify(const char *pszContainer, bool bSignature, const ECCPUBLICKEYBLOB &stKey);
    std::vector<BYTE> Certify(const char *pszContainer, bool bSignature, const RSAPUBLICKEYBLOB &stKey);

private:
    std::vector<BYTE> Issue(const char *pszContainer, bool bSignature, evp_pkey_st *pSubjectKey, bool bSm2);

    evp_pkey_st *m_pSm2Key = nullptr;
    x509_st *m_pSm2Cert = nullptr;
    evp_pkey_st *m_pRsaKey = nullptr;
    x509_st *m_pRsaCert = nullptr;
};

#endif
