// CSymKeyHandle: the software symmetric cipher handle and the one-shot
// ciphers of secure messaging and session-key establishment.
#include "SoftCrypto/SymKeyHandle.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/StepCheck.h"

using softcrypto::CSecureBuffer;

namespace {

/* Key bytes taken by SetKey (and the handle's unit length); 0 for an
 * algorithm the handle does not know. */
unsigned int KeyLengthOf(unsigned int ulAlgID)
{
    switch (ulAlgID) {
    case SC_ALG_DES: return 8;
    case SC_ALG_3DES_2KEY: return 16;
    case SC_ALG_3DES_3KEY: return 24;
    case SC_ALG_RC4: return 16;
    case SC_ALG_SM4: return 16;
    default: return 0;
    }
}

/* The cipher calls of one direction, for the one-shot operations. */
struct OneShotCalls {
    const char *pszOperation;
    unsigned int (*pfnInit)(void **, unsigned int, unsigned int, unsigned char *, unsigned char *);
    unsigned int (*pfnUpdate)(void *, unsigned char *, unsigned int, unsigned char *, unsigned int *);
    unsigned int (*pfnFinal)(void *, unsigned char *, unsigned int *);
    const char *pszInit, *pszUpdate, *pszFinal;
};

const OneShotCalls kOneShotEncrypt = {"CSymKeyHandle::Encrypt", SymEncryptInit, SymEncryptUpdate, SymEncryptFinal,
                                      "SymEncryptInit", "SymEncryptUpdate", "SymEncryptFinal"};
const OneShotCalls kOneShotDecrypt = {"CSymKeyHandle::Decrypt", SymDecryptInit, SymDecryptUpdate, SymDecryptFinal,
                                      "SymDecryptInit", "SymDecryptUpdate", "SymDecryptFinal"};

/* Init, update and final into a zeroed work buffer of ulWorkLen bytes, then
 * the result is copied to pbOut when it fits the capacity in *pulOutLen
 * (pbOut null: a size query after the work).  bSizeOk: the input length is
 * within the bounds of the direction. */
unsigned int OneShot(const OneShotCalls &calls, bool bSizeOk, size_t ulWorkLen, unsigned char byAlgID,
                     unsigned char byMode, unsigned char *pbKey, unsigned char *pbIV, unsigned char *pbIn,
                     unsigned int ulInLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    if (unsigned int rv =
            SC_STEP_FAIL(calls.pszOperation, "Check pulOutLen", pulOutLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (!bSizeOk) {
        *pulOutLen = 0;
        return SC_STEP_FAIL(calls.pszOperation, "Check buffer size", false, ERROR_INVALID_PARAMETER);
    }
    CSecureBuffer work;
    if (unsigned int rv = SC_STEP_FAIL(calls.pszOperation, "New buffer", work.Allocate(ulWorkLen),
                                       ERROR_NOT_ENOUGH_MEMORY)) {
        *pulOutLen = 0;
        return rv;
    }
    void *pCtx = nullptr;
    unsigned int ulUpdated = 0, ulFinal = 0;
    unsigned int rv = calls.pfnInit(&pCtx, byAlgID, byMode, pbKey, pbIV);
    if (rv != 0) {
        *pulOutLen = 0;
        return SC_STEP_FAIL(calls.pszOperation, calls.pszInit, false, rv);
    }
    rv = calls.pfnUpdate(pCtx, pbIn, ulInLen, work.Data(), &ulUpdated);
    if (rv != 0) {
        SC_STEP_FAIL(calls.pszOperation, calls.pszUpdate, false, rv);
    } else if ((rv = calls.pfnFinal(pCtx, work.Data() + ulUpdated, &ulFinal)) != 0) {
        SC_STEP_FAIL(calls.pszOperation, calls.pszFinal, false, rv);
    } else {
        pCtx = nullptr;  // freed by the final call
    }
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX *>(pCtx));
    if (rv != 0) {
        *pulOutLen = ulUpdated;
        return rv;
    }
    unsigned int ulResult = ulUpdated + ulFinal;
    unsigned int ulCapacity = *pulOutLen;
    *pulOutLen = ulResult;
    if (pbOut == nullptr)
        return 0;
    if ((rv = SC_STEP_FAIL(calls.pszOperation, "CHECK *pulOutLen SIZE", ulCapacity >= ulResult,
                           ERR_BUFFER_TOO_SMALL)) != 0)
        return rv;
    memcpy(pbOut, work.Data(), ulResult);
    return 0;
}

}  // namespace

CSymKeyHandle::CSymKeyHandle()
    : m_pCipherCtx(nullptr), m_bEncrypt(0), m_ulUnitLen(0), m_ulPadding(0), m_pbSymmKey(nullptr), m_ulHeldLen(0)
{
}

CSymKeyHandle::~CSymKeyHandle()
{
    ReleaseCipherContext();
    ReleaseKey();
}

void CSymKeyHandle::ReleaseCipherContext()
{
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX *>(m_pCipherCtx));
    m_pCipherCtx = nullptr;
}

void CSymKeyHandle::ReleaseKey()
{
    if (m_pbSymmKey != nullptr) {
        OPENSSL_cleanse(m_pbSymmKey, m_ulUnitLen);
        delete[] m_pbSymmKey;
    }
    m_pbSymmKey = nullptr;
}

unsigned int CSymKeyHandle::SetKey(unsigned short usAlgID, unsigned char *pbKey, unsigned int ulKeyLen)
{
    static const char kOp[] = "CSymKeyHandle::SetKey";
    unsigned int ulNeeded = KeyLengthOf(usAlgID);
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK byAlgID", ulNeeded != 0, ERR_BAD_ALGORITHM))
        return rv;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK pbKey", pbKey != nullptr, ERR_NULL_ARGUMENT))
        return rv;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK ulKeyLen", ulKeyLen >= ulNeeded, ERR_BAD_LENGTH))
        return rv;
    unsigned char *pbNewKey = new (std::nothrow) unsigned char[ulNeeded];
    if (unsigned int rv = SC_STEP_FAIL(kOp, "New buffer", pbNewKey != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    memcpy(pbNewKey, pbKey, ulNeeded);
    ReleaseKey();
    m_pbSymmKey = pbNewKey;
    m_ulUnitLen = ulNeeded;
    return 0;
}

unsigned int CSymKeyHandle::Init(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                 unsigned char *pbIV, unsigned int ulPadding)
{
    static const char kOp[] = "CSymKeyHandle::Init";
    if (unsigned int rv =
            SC_STEP_FAIL(kOp, "CHECK m_pbSymmKey", m_ulUnitLen == 0 || m_pbSymmKey != nullptr, ERR_NO_SYMMETRIC_KEY))
        return rv;
    // The cipher reads its own key length from the stored key.
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_ulUnitLen",
                                       m_pbSymmKey == nullptr || KeyLengthOf(byAlgID) <= m_ulUnitLen, ERR_BAD_LENGTH))
        return rv;
    ReleaseCipherContext();
    unsigned int rv;
    if (byCryptType == SYM_CRYPT_ENCRYPT) {
        if ((rv = SymEncryptInit(&m_pCipherCtx, byAlgID, byMode, m_pbSymmKey, pbIV)) != 0)
            return SC_STEP_FAIL(kOp, "SymEncryptInit", false, rv);
        m_bEncrypt = 1;
    } else if (byCryptType == SYM_CRYPT_DECRYPT) {
        if ((rv = SymDecryptInit(&m_pCipherCtx, byAlgID, byMode, m_pbSymmKey, pbIV)) != 0)
            return SC_STEP_FAIL(kOp, "SymDecryptInit", false, rv);
        m_bEncrypt = 0;
    } else {
        return SC_STEP_FAIL(kOp, "CHECK byCryptType", false, ERR_BAD_KEY_TYPE);
    }
    EVP_CIPHER_CTX_set_padding(static_cast<EVP_CIPHER_CTX *>(m_pCipherCtx), ulPadding == 1 ? 1 : 0);
    m_ulPadding = ulPadding;
    m_ulHeldLen = 0;
    return 0;
}

unsigned int CSymKeyHandle::Update(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                   unsigned int *pulOutLen)
{
    static const char kOp[] = "CSymKeyHandle::Update";
    // What the cipher holds and the new input must be countable in the output length.
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK nInlen",
                                       static_cast<unsigned long long>(m_ulHeldLen) + ulInLen <= 0xFFFFFFFFull,
                                       ERR_BAD_LENGTH))
        return rv;
    unsigned int rv = m_bEncrypt ? SymEncryptUpdate(m_pCipherCtx, pbIn, ulInLen, pbOut, pulOutLen)
                                 : SymDecryptUpdate(m_pCipherCtx, pbIn, ulInLen, pbOut, pulOutLen);
    // What went in and did not come out stays in the cipher context.
    if (rv == 0)
        m_ulHeldLen = m_ulHeldLen + ulInLen - *pulOutLen;
    return SC_STEP_FAIL(kOp, m_bEncrypt ? "SymEncryptUpdate" : "SymDecryptUpdate", rv == 0, rv);
}

unsigned int CSymKeyHandle::Final(unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char kOp[] = "CSymKeyHandle::Final";
    unsigned int rv = m_bEncrypt ? SymEncryptFinal(m_pCipherCtx, pbOut, pulOutLen)
                                 : SymDecryptFinal(m_pCipherCtx, pbOut, pulOutLen);
    if (rv == 0) {
        m_pCipherCtx = nullptr;  // freed by the final call
        m_ulHeldLen = 0;
    }
    return SC_STEP_FAIL(kOp, m_bEncrypt ? "SymEncryptFinal" : "SymDecryptFinal", rv == 0, rv);
}

unsigned int CSymKeyHandle::Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                    unsigned int *pulOutLen)
{
    static const char kOp[] = "CSymKeyHandle::Encrypt";
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK pulEncryptedLen", pulOutLen != nullptr, ERR_NULL_ARGUMENT))
        return rv;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK m_pbSymmKey", m_ulUnitLen != 0, ERR_NO_SYMMETRIC_KEY))
        return rv;
    // Bytes an earlier Update left in the cipher come out of this call too.
    const unsigned long long ullUnit = LengthUnit();
    unsigned long long ullNeeded = static_cast<unsigned long long>(m_ulHeldLen) + ulInLen;
    if (m_bEncrypt && m_ulPadding == 1) {
        ullNeeded = ullUnit * (ullNeeded / ullUnit + 1);
    } else if (ullNeeded % ullUnit != 0) {
        *pulOutLen = ulInLen;
        return SC_STEP_FAIL(kOp, "CHECK nInlen", false, ERR_BAD_LENGTH);
    }
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK nInlen", ullNeeded <= 0xFFFFFFFFull, ERR_BAD_LENGTH))
        return rv;
    unsigned int ulNeeded = static_cast<unsigned int>(ullNeeded);
    unsigned int ulCapacity = *pulOutLen;
    *pulOutLen = ulNeeded;
    if (pbOut == nullptr)
        return 0;
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK *pulEncryptedLen SIZE", ulCapacity >= ulNeeded,
                                       ERR_BUFFER_TOO_SMALL))
        return rv;
    /* The room goes along (no more than the size found above): a derived
     * Update or Final checks it. */
    unsigned int ulUpdated = ulNeeded, ulFinal = 0;
    if (unsigned int rv = Update(pbIn, ulInLen, pbOut, &ulUpdated)) {
        *pulOutLen = ulUpdated;
        return SC_STEP_FAIL(kOp, "Update", false, rv);
    }
    ulFinal = ulNeeded - ulUpdated;
    if (unsigned int rv = Final(pbOut + ulUpdated, &ulFinal)) {
        *pulOutLen = ulUpdated;
        return SC_STEP_FAIL(kOp, "Final", false, rv);
    }
    *pulOutLen = ulUpdated + ulFinal;
    return 0;
}

unsigned int CSymKeyHandle::Initialize(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                       unsigned char *pbKey, unsigned char *pbIV, void **phKeyHandle)
{
    static const char kOp[] = "CSymKeyHandle::Initialize";
    if (unsigned int rv = SC_STEP_FAIL(kOp, "CHECK phKeyHandle", phKeyHandle != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    CSymKeyHandle *pHandle = new (std::nothrow) CSymKeyHandle();
    if (unsigned int rv = SC_STEP_FAIL(kOp, "new CSymKeyHandle", pHandle != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    unsigned int rv = pHandle->SetKey(byAlgID, pbKey, 16);
    if (rv != 0)
        SC_STEP_FAIL(kOp, "SetKey", false, rv);
    else if ((rv = pHandle->Init(byAlgID, byCryptType, byMode, pbIV, 1)) != 0)
        SC_STEP_FAIL(kOp, "Init", false, rv);
    if (rv != 0) {
        delete pHandle;
        return rv;
    }
    *phKeyHandle = pHandle;
    return 0;
}

void CSymKeyHandle::Release(CSymKeyHandle *&pHandle)
{
    delete pHandle;
    pHandle = nullptr;
}

unsigned int CSymKeyHandle::Encrypt(unsigned char byAlgID, unsigned char byMode, unsigned char *pbKey,
                                    unsigned char *pbIV, unsigned char *pbIn, unsigned int ulInLen,
                                    unsigned char *pbOut, unsigned int *pulOutLen)
{
    // Room for the padding block; compared without overflowing.
    return OneShot(kOneShotEncrypt, ulInLen <= BRIO_MAX_BUFFER_SIZE - 16, size_t(ulInLen) + 16, byAlgID, byMode,
                   pbKey, pbIV, pbIn, ulInLen, pbOut, pulOutLen);
}

unsigned int CSymKeyHandle::Decrypt(unsigned char byAlgID, unsigned char byMode, unsigned char *pbKey,
                                    unsigned char *pbIV, unsigned char *pbIn, unsigned int ulInLen,
                                    unsigned char *pbOut, unsigned int *pulOutLen)
{
    return OneShot(kOneShotDecrypt, ulInLen != 0 && ulInLen <= BRIO_MAX_BUFFER_SIZE, ulInLen, byAlgID, byMode,
                   pbKey, pbIV, pbIn, ulInLen, pbOut, pulOutLen);
}
