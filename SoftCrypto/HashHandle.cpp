// CHashObject: software digests behind the SKF hash handle.
#include "SoftCrypto/HashHandle.h"

#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/StepCheck.h"

namespace {

/* DER DigestInfo prefixes of PKCS#1 v1.5 (RFC 8017, 9.2, note 1). */
const unsigned char kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                    0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                     0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const unsigned char kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

void FreeDigestContext(void *&pCtx)
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(pCtx));
    pCtx = nullptr;
}

}  // namespace

CHashObject::CHashObject(unsigned char byHashID)
    : m_pHashCtx(nullptr), m_pHashCtx2nd(nullptr), m_byHashID(byHashID), m_byHash(), m_ulHashLen(0)
{
}

CHashObject::~CHashObject()
{
    // Open contexts are released unfinished; nothing reads the digest now.
    FreeDigestContext(m_pHashCtx2nd);
    FreeDigestContext(m_pHashCtx);
    OPENSSL_cleanse(m_byHash, sizeof(m_byHash));
}

unsigned int CHashObject::Initialize(unsigned char byHashID, CHashObject **ppHashObject)
{
    static const char kOp[] = "CHashObject::Initialize";
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK ppHashObject", ppHashObject != nullptr, ERR_NULL_ARGUMENT))
        return rv;
    CHashObject *pObject = new (std::nothrow) CHashObject(byHashID);
    if (unsigned int rv = SC_STEP_FAIL(kOp, "new CHashObject", pObject != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    unsigned int rv;
    if (byHashID == SC_HASH_SHA1_MD5) {
        if ((rv = Hash_Init(&pObject->m_pHashCtx, SC_HASH_SHA1)) != 0)
            SC_STEP_FAIL(kOp, "Hash_Init(SHA1)", false, rv);
        else if ((rv = Hash_Init(&pObject->m_pHashCtx2nd, SC_HASH_MD5)) != 0)
            SC_STEP_FAIL(kOp, "Hash_Init(MD5)", false, rv);
    } else if ((rv = Hash_Init(&pObject->m_pHashCtx, byHashID)) != 0) {
        SC_STEP_FAIL(kOp, "Hash_Init", false, rv);
    }
    if (rv != 0) {
        delete pObject;
        return rv;
    }
    *ppHashObject = pObject;
    return 0;
}

void CHashObject::Release(CHashObject *&pHashObject)
{
    delete pHashObject;
    pHashObject = nullptr;
}

unsigned int CHashObject::GetHashLength()
{
    switch (m_byHashID) {
    case SC_HASH_MD5: return 16;
    case SC_HASH_SHA1: return 20;
    case SC_HASH_SHA256: return 32;
    case SC_HASH_SHA512: return 64;
    case SC_HASH_SHA1_MD5: return 36;
    case SC_HASH_SM3: return 32;
    default: return 0;
    }
}

unsigned int CHashObject::Update(unsigned char *pbData, unsigned int ulLen)
{
    static const char kOp[] = "CHashObject::Update";
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_pHashCtx", m_pHashCtx != nullptr, ERR_NO_CONTEXT))
        return rv;
    if (m_byHashID == SC_HASH_SHA1_MD5) {
        if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_pHashCtx2nd", m_pHashCtx2nd != nullptr, ERR_NO_CONTEXT))
            return rv;
        if (unsigned int rv = Hash_Update(m_pHashCtx2nd, pbData, ulLen))
            return SC_STEP_FAIL(kOp, "Hash_Update", false, rv);
    }
    if (unsigned int rv = Hash_Update(m_pHashCtx, pbData, ulLen))
        return SC_STEP_FAIL(kOp, "Hash_Update", false, rv);
    return 0;
}

/* Finishes the open context(s) into the stored digest: for id 14 MD5 at
 * byte 20 behind SHA-1 at byte 0. */
unsigned int CHashObject::FinishContexts()
{
    static const char kOp[] = "CHashObject::Final";
    if (m_pHashCtx == nullptr)
        return 0;
    if (m_pHashCtx2nd != nullptr) {
        unsigned int ulMd5Len = 0;
        if (unsigned int rv = Hash_Final(m_pHashCtx2nd, m_byHash + 20, &ulMd5Len))
            return SC_STEP_FAIL(kOp, "Hash_Final", false, rv);
        m_pHashCtx2nd = nullptr;
    }
    unsigned int ulPrimaryLen = 0;
    if (unsigned int rv = Hash_Final(m_pHashCtx, m_byHash, &ulPrimaryLen))
        return SC_STEP_FAIL(kOp, "Hash_Final", false, rv);
    m_pHashCtx = nullptr;
    m_ulHashLen = ulPrimaryLen + (m_byHashID == SC_HASH_SHA1_MD5 ? 16 : 0);
    return 0;
}

/* Checks the capacity, finishes the open context(s) and copies
 * prefix || digest to pbOut when it is given; the total length goes to
 * *pulOutLen when that is given.  A buffer too small changes nothing. */
unsigned int CHashObject::Emit(const unsigned char *pbPrefix, unsigned int ulPrefixLen, unsigned char *pbOut,
                               unsigned int *pulOutLen, const char *pszOperation)
{
    unsigned int ulTotal = ulPrefixLen + (m_pHashCtx != nullptr ? GetHashLength() : m_ulHashLen);
    if (pbOut != nullptr) {
        if (unsigned int rv = SC_STEP_FAIL(pszOperation, "CHECK pulHashLen", pulOutLen != nullptr, ERR_NULL_ARGUMENT))
            return rv;
        bool bFits = *pulOutLen >= ulTotal;
        if (!bFits)
            *pulOutLen = ulTotal;
        if (unsigned int rv = SC_STEP_FAIL(pszOperation, "CHECK *pulHashLen SIZE", bFits, ERR_BUFFER_TOO_SMALL))
            return rv;
    }
    if (unsigned int rv = FinishContexts())
        return SC_STEP_FAIL(pszOperation, "Final", false, rv);
    ulTotal = ulPrefixLen + m_ulHashLen;
    if (pbOut != nullptr) {
        if (ulPrefixLen != 0)
            memcpy(pbOut, pbPrefix, ulPrefixLen);
        memcpy(pbOut + ulPrefixLen, m_byHash, m_ulHashLen);
    }
    if (pulOutLen != nullptr)
        *pulOutLen = ulTotal;
    return 0;
}

unsigned int CHashObject::Final(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Emit(nullptr, 0, pbOut, pulOutLen, "CHashObject::Final");
}

unsigned int CHashObject::Set(unsigned char *pbHash, unsigned int ulLen)
{
    static const char kOp[] = "CHashObject::Set";
    unsigned int ulHashLen = GetHashLength();
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_byHashID", ulHashLen != 0, ERR_BAD_ALGORITHM))
        return rv;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK nInlen", pbHash != nullptr && ulLen == ulHashLen, ERR_NULL_ARGUMENT))
        return rv;
    if (unsigned int rv = Final(nullptr, nullptr))
        return SC_STEP_FAIL(kOp, "Final", false, rv);
    memcpy(m_byHash, pbHash, ulLen);
    m_ulHashLen = ulLen;
    return 0;
}

unsigned int CHashObject::Digest(unsigned char *pbData, unsigned int ulLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen)
{
    static const char kOp[] = "CHashObject::Digest";
    unsigned int ulHashLen = GetHashLength();
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK pnHashLen", pulOutLen != nullptr, ERR_NULL_ARGUMENT))
        return rv;
    unsigned int ulCapacity = *pulOutLen;
    *pulOutLen = ulHashLen;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_byHashID", ulHashLen != 0, ERR_BAD_ALGORITHM))
        return rv;
    if (pbOut == nullptr)
        return 0;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK *pnHashLen SIZE", ulCapacity >= ulHashLen, ERR_BUFFER_TOO_SMALL))
        return rv;
    if (unsigned int rv = Update(pbData, ulLen))
        return SC_STEP_FAIL(kOp, "Update", false, rv);
    unsigned int ulOutLen = ulCapacity;
    if (unsigned int rv = Final(pbOut, &ulOutLen))
        return SC_STEP_FAIL(kOp, "Final", false, rv);
    return 0;
}

unsigned int CHashObject::FinalAndHeader(unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char kOp[] = "CHashObject::FinalAndHeader";
    const unsigned char *pbPrefix = nullptr;
    unsigned int ulPrefixLen = 0;
    switch (m_byHashID) {
    case SC_HASH_MD5: pbPrefix = kMd5Prefix; ulPrefixLen = sizeof(kMd5Prefix); break;
    case SC_HASH_SHA1: pbPrefix = kSha1Prefix; ulPrefixLen = sizeof(kSha1Prefix); break;
    case SC_HASH_SHA256: pbPrefix = kSha256Prefix; ulPrefixLen = sizeof(kSha256Prefix); break;
    case SC_HASH_SHA512: pbPrefix = kSha512Prefix; ulPrefixLen = sizeof(kSha512Prefix); break;
    case SC_HASH_SHA1_MD5:
    case SC_HASH_SM3: break;
    default:
        if (pulOutLen != nullptr)
            *pulOutLen = 0;
        return SC_STEP_FAIL(kOp, "CHECK m_byHashID", false, ERR_BAD_ALGORITHM);
    }
    return Emit(pbPrefix, ulPrefixLen, pbOut, pulOutLen, kOp);
}
