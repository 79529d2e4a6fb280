#include "demo/DemoCertificates.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

struct Free {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD *p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM *p) const { OSSL_PARAM_free(p); }
    void operator()(BIGNUM *p) const { BN_free(p); }
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
    void operator()(BIO *p) const { BIO_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

const long VALID_SECONDS = 10L * 365 * 24 * 3600;
const char *const ORGANISATION = "Brio demo";

/* A public key of the type ("SM2", "RSA") from the parameters in bld. */
EVP_PKEY *PublicKeyFrom(const char *pszType, OSSL_PARAM_BLD *pBld)
{
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(pBld));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, pszType, nullptr));
    EVP_PKEY *pKey = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &pKey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return pKey;
}

bool SetName(X509_NAME *pName, const std::string &strCommonName)
{
    return X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_UTF8, (const unsigned char *)ORGANISATION, -1, -1, 0) ==
               1 &&
           X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_UTF8, (const unsigned char *)strCommonName.c_str(), -1,
                                      -1, 0) == 1;
}

/* One extension in the configuration syntax of openssl's x509v3_config. */
bool AddExtension(X509 *pCert, X509 *pIssuer, int nNid, const char *pszValue)
{
    X509V3_CTX stCtx;
    X509V3_set_ctx_nodb(&stCtx);
    X509V3_set_ctx(&stCtx, pIssuer, pCert, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &stCtx, nNid, pszValue));
    return ext && X509_add_ext(pCert, ext.get(), -1) == 1;
}

/* Signs with SHA-256 under RSA, or with SM3 under SM2 and its
 * distinguishing ID, which the signature's Z value covers.  OpenSSL 3.0
 * takes the ID on the context that the signing init made (one set on a
 * context before the init is dropped by it), and without one it signs and
 * verifies with the empty ID. */
bool Sign(X509 *pCert, EVP_PKEY *pIssuerKey, bool bSm2)
{
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX *pCtx = nullptr;  /* owned by md */
    return md && EVP_DigestSignInit(md.get(), &pCtx, bSm2 ? EVP_sm3() : EVP_sha256(), nullptr, pIssuerKey) == 1 &&
           (!bSm2 || EVP_PKEY_CTX_set1_id(pCtx, DEMO_SM2_ID, strlen(DEMO_SM2_ID)) == 1) &&
           X509_sign_ctx(pCert, md.get()) > 0;
}

/* A version 3 certificate of pSubjectKey, serial random, valid from now
 * for ten years; self-signed when pIssuer is null. */
X509 *Certificate(const std::string &strSubject, EVP_PKEY *pSubjectKey, X509 *pIssuer)
{
    Owned<X509> cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) return nullptr;
    unsigned char abSerial[8];
    if (RAND_bytes(abSerial, sizeof(abSerial)) != 1) return nullptr;
    abSerial[0] &= 0x7F;
    abSerial[0] |= 0x40;  /* positive, eight bytes */
    Owned<BIGNUM> serial(BN_bin2bn(abSerial, sizeof(abSerial), nullptr));
    if (!serial || BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr) return nullptr;
    if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), VALID_SECONDS) == nullptr)
        return nullptr;
    if (!SetName(X509_get_subject_name(cert.get()), strSubject)) return nullptr;
    X509_NAME *pIssuerName = pIssuer != nullptr ? X509_get_subject_name(pIssuer) : X509_get_subject_name(cert.get());
    if (X509_set_issuer_name(cert.get(), pIssuerName) != 1 || X509_set_pubkey(cert.get(), pSubjectKey) != 1)
        return nullptr;
    return cert.release();
}

/* An authority: a fresh key of the type and its self-signed certificate. */
bool MakeAuthority(const char *pszType, const char *pszName, EVP_PKEY **ppKey, X509 **ppCert)
{
    Owned<EVP_PKEY> key(strcmp(pszType, "RSA") == 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)2048)
                                                    : EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (!key) return false;
    Owned<X509> cert(Certificate(pszName, key.get(), nullptr));
    if (!cert || !AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") ||
        !Sign(cert.get(), key.get(), strcmp(pszType, "SM2") == 0))
        return false;
    *ppKey = key.release();
    *ppCert = cert.release();
    return true;
}

}  // namespace

CDemoIssuer::CDemoIssuer()
{
    if (!MakeAuthority("SM2", "Brio Demo SM2 CA", &m_pSm2Key, &m_pSm2Cert) ||
        !MakeAuthority("RSA", "Brio Demo RSA CA", &m_pRsaKey, &m_pRsaCert))
        ERR_print_errors_fp(stderr);
}

CDemoIssuer::~CDemoIssuer()
{
    X509_free(m_pSm2Cert);
    X509_free(m_pRsaCert);
    EVP_PKEY_free(m_pSm2Key);
    EVP_PKEY_free(m_pRsaKey);
}

bool CDemoIssuer::WriteAuthorities(const std::string &strPath) const
{
    Owned<BIO> out(BIO_new_file(strPath.c_str(), "w"));
    bool bOk = out && PEM_write_bio_X509(out.get(), m_pSm2Cert) == 1 && PEM_write_bio_X509(out.get(), m_pRsaCert) == 1;
    out.reset();
    if (!bOk) {
        fprintf(stderr, "brio-demo-provision: cannot write the CA certificates to %s\n", strPath.c_str());
        return false;
    }
    chmod(strPath.c_str(), 0644);
    return true;
}

std::vector<BYTE> CDemoIssuer::Issue(const char *pszContainer, bool bSignature, EVP_PKEY *pSubjectKey, bool bSm2)
{
    std::vector<BYTE> vDer;
    X509 *pIssuer = bSm2 ? m_pSm2Cert : m_pRsaCert;
    std::string strSubject = std::string(pszContainer) + (bSignature ? " signature" : " exchange");
    const char *pszUsage = bSignature ? "critical,digitalSignature,nonRepudiation"
                           : bSm2     ? "critical,keyEncipherment,dataEncipherment,keyAgreement"
                                      : "critical,keyEncipherment,dataEncipherment";
    Owned<X509> cert(pIssuer != nullptr ? Certificate(strSubject, pSubjectKey, pIssuer) : nullptr);
    if (!cert || !AddExtension(cert.get(), pIssuer, NID_basic_constraints, "CA:FALSE") ||
        !AddExtension(cert.get(), pIssuer, NID_key_usage, pszUsage) ||
        !AddExtension(cert.get(), pIssuer, NID_subject_key_identifier, "hash") ||
        !AddExtension(cert.get(), pIssuer, NID_authority_key_identifier, "keyid:always") ||
        !Sign(cert.get(), bSm2 ? m_pSm2Key : m_pRsaKey, bSm2)) {
        ERR_print_errors_fp(stderr);
        return vDer;
    }
    int nLen = i2d_X509(cert.get(), nullptr);
    if (nLen <= 0) return vDer;
    vDer.resize((size_t)nLen);
    unsigned char *p = vDer.data();
    if (i2d_X509(cert.get(), &p) != nLen) vDer.clear();
    return vDer;
}

std::vector<BYTE> CDemoIssuer::Certify(const char *pszContainer, bool bSignature, const ECCPUBLICKEYBLOB &stKey)
{
    /* The coordinates are right-aligned in their 64-byte fields. */
    const unsigned int ulBytes = stKey.BitLen / 8;
    if (ulBytes != 32) return {};
    unsigned char abPoint[65];
    abPoint[0] = 0x04;
    memcpy(abPoint + 1, stKey.XCoordinate + ECC_MAX_XCOORDINATE_BITS_LEN / 8 - ulBytes, ulBytes);
    memcpy(abPoint + 1 + ulBytes, stKey.YCoordinate + ECC_MAX_XCOORDINATE_BITS_LEN / 8 - ulBytes, ulBytes);
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, abPoint, sizeof(abPoint)) != 1)
        return {};
    Owned<EVP_PKEY> key(PublicKeyFrom("SM2", bld.get()));
    return key ? Issue(pszContainer, bSignature, key.get(), true) : std::vector<BYTE>();
}

std::vector<BYTE> CDemoIssuer::Certify(const char *pszContainer, bool bSignature, const RSAPUBLICKEYBLOB &stKey)
{
    const unsigned int ulBytes = stKey.BitLen / 8;
    if (ulBytes == 0 || ulBytes > MAX_RSA_MODULUS_LEN) return {};
    Owned<BIGNUM> n(BN_bin2bn(stKey.Modulus + MAX_RSA_MODULUS_LEN - ulBytes, (int)ulBytes, nullptr));
    Owned<BIGNUM> e(BN_bin2bn(stKey.PublicExponent, MAX_RSA_EXPONENT_LEN, nullptr));
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return {};
    Owned<EVP_PKEY> key(PublicKeyFrom("RSA", bld.get()));
    return key ? Issue(pszContainer, bSignature, key.get(), false) : std::vector<BYTE>();
}
