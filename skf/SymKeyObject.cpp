/* Key handle objects: symmetric keys, MACs, digests and key agreements
 * behind the SKF HANDLE. */
#include "skf/SymKeyObject.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "SoftCrypto/HashHandle.h"
#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/StepCheck.h"
#include "SoftCrypto/SymKeyHandle.h"
#include "log/ResultCodes.h"
#include "log/StepTrace.h"
#include "log/TraceFuncScope.h"

namespace {

/* What SetSymmKey makes of an SGD identifier. */
struct SymAlgRow {
    unsigned int ulSgd;
    bool bToken;
    unsigned int ulAlg;
    unsigned int ulMode;
    unsigned short usKeySpec;
    unsigned int ulBlock;
    unsigned int ulKeyLen;  /* key bytes taken from the caller */
};

const SymAlgRow SYM_ALGS[] = {
    {SGD_SM1_ECB, true, SC_ALG_SM1, SC_MODE_ECB, 0x1001, 16, 16},
    {SGD_SM1_CBC, true, SC_ALG_SM1, SC_MODE_CBC, 0x1002, 16, 16},
    {SGD_SM1_MAC, true, SC_ALG_SM1, SC_MODE_CBC, 0x1002, 16, 16},
    {SGD_SMS4_ECB, true, SC_ALG_SM4, SC_MODE_ECB, 0x1301, 16, 16},
    {SGD_SMS4_CBC, true, SC_ALG_SM4, SC_MODE_CBC, 0x1302, 16, 16},
    {SGD_SMS4_MAC, true, SC_ALG_SM4, SC_MODE_CBC, 0x1302, 16, 16},
    {ALG_SOFT_3DES_ECB, false, SC_ALG_3DES_3KEY, SC_MODE_ECB, SC_ALG_3DES_3KEY, 8, 24},
};

const SymAlgRow *FindSymAlg(unsigned int ulSgd)
{
    for (const SymAlgRow &row : SYM_ALGS)
        if (row.ulSgd == ulSgd) return &row;
    return nullptr;
}

unsigned int StepFail(const char *pszOperation, const char *pszStep, unsigned int ulCode)
{
    TRACE_STEP_FAIL(pszOperation, pszStep, ulCode);
    return ulCode;
}

/* Held bytes and a new input together must be countable in 32 bits, as
 * every length of a cipher run is; refused before anything is taken. */
unsigned int CheckInputTotal(const char *pszOperation, unsigned int ulHeld, unsigned int ulInLen)
{
    if ((unsigned long long)ulHeld + ulInLen <= 0xFFFFFFFFull) return 0;
    return StepFail(pszOperation, "CHECK ulInLen", SAR_INDATALENERR);
}

/* A code of a cipher handle or a token command, step-traced; a token key
 * that left the slot is reported as a key not found, and the software
 * cipher's final failures as the token road reports them: a bad padding
 * as SAR_DECRYPTPADERR, a block it cannot finish as SAR_INDATALENERR. */
unsigned int CipherResult(const char *pszOperation, const char *pszStep, unsigned int ulRet)
{
    if (ulRet == ERR_NO_SYMMETRIC_KEY) ulRet = SAR_KEYNOTFOUNTERR;
    if (ulRet == CRYPTO_ERR_DECRYPT) ulRet = SAR_DECRYPTPADERR;
    if (ulRet == CRYPTO_ERR_ENCRYPT) ulRet = SAR_INDATALENERR;
    if (ulRet != 0) return StepFail(pszOperation, pszStep, ulRet);
    TRACE_STEP_OK(pszOperation, pszStep);
    return 0;
}

/* The software cipher handle of the key objects: its one-shot call
 * measures input in cipher blocks (8 bytes for triple DES), as every other
 * step of a run does, not in key lengths. */
class CSoftSymKeyHandle : public CSymKeyHandle {
public:
    explicit CSoftSymKeyHandle(unsigned int ulBlockLen) : m_ulBlockLen(ulBlockLen) {}

protected:
    unsigned int LengthUnit() const override { return m_ulBlockLen; }

private:
    unsigned int m_ulBlockLen;
};

}  // namespace

/* The device mutex around one operation on a token cipher (recursive:
 * the SKF frame may hold it already). */
class CKeyObjectLock {
public:
    CKeyObjectLock(CDeviceContext *pContext, bool bToken) : m_pContext(bToken ? pContext : nullptr), m_ulRet(0)
    {
        if (bToken) m_ulRet = pContext != nullptr ? pContext->WaitDevMutex() : (unsigned int)SAR_INVALIDHANDLEERR;
    }
    ~CKeyObjectLock()
    {
        if (m_pContext != nullptr && m_ulRet == 0) m_pContext->ReleaseDevMutex();
    }
    CKeyObjectLock(const CKeyObjectLock &) = delete;
    CKeyObjectLock &operator=(const CKeyObjectLock &) = delete;
    unsigned int Result() const { return m_ulRet; }

private:
    CDeviceContext *m_pContext;
    unsigned int m_ulRet;
};

namespace {

/* BitLen (32 bits, big-endian), X and Y (BitLen / 8 bytes each, from the
 * right of their 64-byte fields). */
unsigned int EncodePublicKey(const Struct_ECCPUBLICKEYBLOB *pKey, unsigned char *pbOut, unsigned int *pulLen)
{
    const unsigned int ulField = ECC_MAX_XCOORDINATE_BITS_LEN / 8;
    if (pKey == nullptr || pKey->BitLen == 0 || pKey->BitLen % 8 != 0 || pKey->BitLen / 8 > ulField)
        return SAR_INVALIDPARAMERR;
    unsigned int ulBytes = pKey->BitLen / 8;
    Interger_Array_BigEndian_A(pbOut, 4, (int)pKey->BitLen);
    memcpy(pbOut + 4, pKey->XCoordinate + ulField - ulBytes, ulBytes);
    memcpy(pbOut + 4 + ulBytes, pKey->YCoordinate + ulField - ulBytes, ulBytes);
    *pulLen = 4 + 2 * ulBytes;
    return 0;
}

}  // namespace

CSymKeyCipher::~CSymKeyCipher() { delete pHandle; }

/* ---- CKeyObject: every operation refused unless a kind offers it ---- */

CKeyObject::CKeyObject(CDeviceContext *pDeviceContext) : m_pDeviceContext(pDeviceContext), m_ulAlgID(0) {}
CKeyObject::~CKeyObject() {}
unsigned int CKeyObject::DigestUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::DigestFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Digest(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::EncInit(bool, Struct_BLOCKCIPHERPARAM *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::EncUpdate(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::EncFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Encrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::MacInit(Struct_BLOCKCIPHERPARAM *, void **) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::MacUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::MacFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Mac(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *, Struct_ECCPUBLICKEYBLOB *, unsigned char *,
                                            unsigned int, void **)
{
    return SAR_NOTSUPPORTYETERR;
}

/* ---- CSymKeyObject ---- */

CSymKeyObject::CSymKeyObject(CDeviceContext *pDeviceContext)
    : CKeyObject(pDeviceContext), m_ulMode(0), m_ulBlockLen(0), m_ulPadding(0), m_bEncrypt(true), m_ulRun(0)
{
    CDeviceContext::TraceInfo("CSymKeyObject: Constructor");
}

CSymKeyObject::~CSymKeyObject() { CDeviceContext::TraceInfo("CSymKeyObject: Destructor"); }

unsigned int CSymKeyObject::SetSymmKey(unsigned int ulAlgID, unsigned char *pbKey)
{
    static const char *OP = "SetSymmKey";
    m_pKeyHandle.reset();
    m_ulRun = 0;
    const SymAlgRow *pRow = FindSymAlg(ulAlgID);
    if (pRow == nullptr) return StepFail(OP, "CHECK ulAlgID", SAR_NOTSUPPORTYETERR);
    std::shared_ptr<CSymKeyCipher> pCipher(new (std::nothrow) CSymKeyCipher());
    if (pCipher == nullptr) return StepFail(OP, "new CSymKeyCipher", ERR_NO_MEMORY);
    pCipher->bToken = pRow->bToken;
    if (pRow->bToken)
        pCipher->pHandle = new (std::nothrow) CGMSymKeyHandle(m_pDeviceContext);
    else
        pCipher->pHandle = new (std::nothrow) CSoftSymKeyHandle(pRow->ulBlock);
    if (pCipher->pHandle == nullptr) return StepFail(OP, "new CSymKeyHandle", ERR_NO_MEMORY);
    m_ulAlgID = pRow->ulAlg;
    m_ulMode = pRow->ulMode;
    m_ulBlockLen = pRow->ulBlock;

    CKeyObjectLock lock(m_pDeviceContext, pRow->bToken);
    if (lock.Result() != 0) return StepFail(OP, "WaitDevMutex", lock.Result());
    unsigned int ulRet = 0;
    if (pbKey == nullptr) {
        /* The key sits on the token already: the slot's key is this one's. */
        if (pRow->bToken) ulRet = static_cast<CGMSymKeyHandle *>(pCipher->pHandle)->AdoptSlotKey();
        if (ulRet != 0) return StepFail(OP, "AdoptSlotKey", ulRet);
    } else {
        ulRet = pCipher->pHandle->SetKey(pRow->usKeySpec, pbKey, pRow->ulKeyLen);
        if (ulRet != 0) return StepFail(OP, "SetKey", ulRet);
    }
    /* Only a keyed cipher is kept: no object ciphers with a key it did not load. */
    m_pKeyHandle = pCipher;
    TRACE_STEP_OK(OP, "SetKey");
    return 0;
}

unsigned int CSymKeyObject::CheckRun(const char *pszOperation, const CKeyObjectLock &lock, bool bOutLenGiven) const
{
    if (!bOutLenGiven) return StepFail(pszOperation, "CHECK pulOutLen", SAR_INVALIDPARAMERR);
    if (m_pKeyHandle == nullptr) return StepFail(pszOperation, "CHECK m_pKeyHandle", SAR_INVALIDHANDLEERR);
    if (lock.Result() != 0) return StepFail(pszOperation, "WaitDevMutex", lock.Result());
    if (m_ulRun == 0 || m_ulRun != m_pKeyHandle->ulRun)
        return StepFail(pszOperation, "CHECK cipher run", SAR_NOTINITIALIZEERR);
    return 0;
}

unsigned int CSymKeyObject::EncInit(bool bEncrypt, Struct_BLOCKCIPHERPARAM *pParam)
{
    static const char *OP = "EncInit";
    if (pParam == nullptr) return StepFail(OP, "CHECK pParam", SAR_INVALIDPARAMERR);
    if (pParam->IVLen != 0 && pParam->IVLen != 16) return StepFail(OP, "CHECK IVLen", SAR_INVALIDPARAMERR);
    /* 0: no padding, 1: PKCS #7; the token and software roads know no other. */
    if (pParam->PaddingType != 0 && pParam->PaddingType != 1)
        return StepFail(OP, "CHECK PaddingType", SAR_INVALIDPARAMERR);
    if (m_pKeyHandle == nullptr) return StepFail(OP, "CHECK m_pKeyHandle", SAR_INVALIDHANDLEERR);
    CKeyObjectLock lock(m_pDeviceContext, m_pKeyHandle->bToken);
    if (lock.Result() != 0) return StepFail(OP, "WaitDevMutex", lock.Result());
    unsigned int ulRet = m_pKeyHandle->pHandle->Init(
        (unsigned char)m_ulAlgID, bEncrypt ? SYM_CRYPT_ENCRYPT : SYM_CRYPT_DECRYPT, (unsigned char)m_ulMode,
        pParam->IVLen == 16 ? pParam->IV : nullptr, pParam->PaddingType);
    if (ulRet != 0) {
        /* The handle's state is no longer any run's. */
        ++m_pKeyHandle->ulRun;
        m_ulRun = 0;
        return CipherResult(OP, "Init", ulRet);
    }
    m_ulPadding = pParam->PaddingType;
    m_bEncrypt = bEncrypt;
    m_ulRun = ++m_pKeyHandle->ulRun;
    if (m_ulRun == 0) m_ulRun = ++m_pKeyHandle->ulRun;
    TRACE_STEP_OK(OP, "Init");
    return 0;
}

unsigned int CSymKeyObject::EncUpdate(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                      unsigned int *pulOutLen)
{
    static const char *OP = "EncUpdate";
    CKeyObjectLock lock(m_pDeviceContext, TokenCipher());
    if (unsigned int ulRet = CheckRun(OP, lock, pulOutLen != nullptr)) return ulRet;
    if (unsigned int ulRet = CheckInputTotal(OP, m_pKeyHandle->pHandle->HeldLength(), ulInLen)) return ulRet;
    if (!m_pKeyHandle->bToken) {
        /* The software cipher writes whole blocks of what it holds and what
         * comes in; the room for them is checked before anything is written. */
        unsigned int ulTotal = m_pKeyHandle->pHandle->HeldLength() + ulInLen;
        unsigned int ulNeeded = ulTotal - ulTotal % m_ulBlockLen;
        unsigned int ulRoom = *pulOutLen;
        *pulOutLen = ulNeeded;
        if (pbOut == nullptr) return 0;
        if (ulRoom < ulNeeded) return StepFail(OP, "CHECK *pulOutLen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    return CipherResult(OP, "Update", m_pKeyHandle->pHandle->Update(pbIn, ulInLen, pbOut, pulOutLen));
}

unsigned int CSymKeyObject::EncFinal(unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "EncFinal";
    CKeyObjectLock lock(m_pDeviceContext, TokenCipher());
    if (unsigned int ulRet = CheckRun(OP, lock, pulOutLen != nullptr)) return ulRet;
    /* The last bytes are at most one block. */
    unsigned int ulRoom = *pulOutLen;
    if (pbOut == nullptr) {
        *pulOutLen = m_ulBlockLen;
        return 0;
    }
    if (ulRoom < m_ulBlockLen) {
        *pulOutLen = m_ulBlockLen;
        return StepFail(OP, "CHECK *pulOutLen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    /* Ciphertext ends on a block boundary; the software cipher would take
     * a partial last block for a bad padding. */
    if (!m_pKeyHandle->bToken && !m_bEncrypt && m_pKeyHandle->pHandle->HeldLength() % m_ulBlockLen != 0)
        return StepFail(OP, "CHECK ulEncryptedLen", SAR_INDATALENERR);
    unsigned int ulRet = CipherResult(OP, "Final", m_pKeyHandle->pHandle->Final(pbOut, pulOutLen));
    if (ulRet == 0) m_ulRun = 0;
    return ulRet;
}

unsigned int CSymKeyObject::Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                    unsigned int *pulOutLen)
{
    static const char *OP = "Encrypt";
    CKeyObjectLock lock(m_pDeviceContext, TokenCipher());
    if (unsigned int ulRet = CheckRun(OP, lock, pulOutLen != nullptr)) return ulRet;
    if (unsigned int ulRet = CheckInputTotal(OP, m_pKeyHandle->pHandle->HeldLength(), ulInLen)) return ulRet;
    unsigned int ulRet = m_bEncrypt || pbOut == nullptr
                             ? CipherResult(OP, "Encrypt",
                                            m_pKeyHandle->pHandle->Encrypt(pbIn, ulInLen, pbOut, pulOutLen))
                             : DecryptWhole(pbIn, ulInLen, pbOut, pulOutLen);
    if (ulRet == 0 && pbOut != nullptr) m_ulRun = 0;
    return ulRet;
}

unsigned int CSymKeyObject::DecryptWhole(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                         unsigned int *pulOutLen)
{
    static const char *OP = "Encrypt";
    /* The plain text counts only once its padding is checked: it is made in
     * a scratch buffer, and the caller's buffer and length change only when
     * the whole run succeeded. */
    unsigned int ulNeeded = 0;
    CSymKeyHandle *pHandle = m_pKeyHandle->pHandle;
    if (unsigned int ulRet = CipherResult(OP, "Encrypt size", pHandle->Encrypt(pbIn, ulInLen, nullptr, &ulNeeded)))
        return ulRet;
    if (*pulOutLen < ulNeeded) {
        *pulOutLen = ulNeeded;
        return StepFail(OP, "CHECK *pulOutLen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    if (ulNeeded > BRIO_MAX_BUFFER_SIZE) return StepFail(OP, "CHECK ulInLen", ERROR_INVALID_PARAMETER);
    softcrypto::CSecureBuffer scratch;
    if (!scratch.Allocate(ulNeeded)) return StepFail(OP, "new buffer", ERR_NO_MEMORY);
    unsigned int ulPlain = ulNeeded;
    if (unsigned int ulRet = CipherResult(OP, "Encrypt", pHandle->Encrypt(pbIn, ulInLen, scratch.Data(), &ulPlain)))
        return ulRet;
    memcpy(pbOut, scratch.Data(), ulPlain);
    *pulOutLen = ulPlain;
    return 0;
}

unsigned int CSymKeyObject::MacInit(Struct_BLOCKCIPHERPARAM *pParam, void **phMac)
{
    static const char *OP = "MacInit";
    if (pParam == nullptr) return StepFail(OP, "CHECK pMacParam", SAR_INVALIDPARAMERR);
    if (phMac == nullptr) return StepFail(OP, "CHECK phMac", SAR_INVALIDPARAMERR);
    pParam->PaddingType = 0;
    if (m_pDeviceContext == nullptr) return StepFail(OP, "CHECK m_pDeviceContext", SAR_INVALIDHANDLEERR);
    CMacKeyObject *pMac = new (std::nothrow) CMacKeyObject(m_pDeviceContext);
    if (pMac == nullptr) return StepFail(OP, "new CMacKeyObject", ERR_NO_MEMORY);
    if (m_pKeyHandle == nullptr) {
        delete pMac;
        return StepFail(OP, "CHECK m_pKeyHandle", SAR_INVALIDHANDLEERR);
    }
    pMac->m_pKeyHandle = m_pKeyHandle;
    pMac->m_ulAlgID = m_ulAlgID;
    pMac->m_ulBlockLen = m_ulBlockLen;
    unsigned int ulRet = pMac->CSymKeyObject::EncInit(true, pParam);
    if (ulRet != 0) {
        delete pMac;
        return StepFail(OP, "EncInit", ulRet);
    }
    *phMac = pMac;
    TRACE_STEP_OK(OP, "EncInit");
    return 0;
}

/* A key handle computes no MAC and a MAC handle ciphers nothing: each
 * refuses the other's operations as a handle of the wrong kind. */
unsigned int CSymKeyObject::MacUpdate(unsigned char *, unsigned int)
{
    return StepFail("MacUpdate", "CHECK hMac", SAR_INVALIDHANDLEERR);
}
unsigned int CSymKeyObject::MacFinal(unsigned char *, unsigned int *)
{
    return StepFail("MacFinal", "CHECK hMac", SAR_INVALIDHANDLEERR);
}
unsigned int CSymKeyObject::Mac(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return StepFail("Mac", "CHECK hMac", SAR_INVALIDHANDLEERR);
}
unsigned int CMacKeyObject::EncInit(bool, Struct_BLOCKCIPHERPARAM *)
{
    return StepFail("EncInit", "CHECK hKey", SAR_INVALIDHANDLEERR);
}
unsigned int CMacKeyObject::EncUpdate(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return StepFail("EncUpdate", "CHECK hKey", SAR_INVALIDHANDLEERR);
}
unsigned int CMacKeyObject::EncFinal(unsigned char *, unsigned int *)
{
    return StepFail("EncFinal", "CHECK hKey", SAR_INVALIDHANDLEERR);
}
unsigned int CMacKeyObject::Encrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return StepFail("Encrypt", "CHECK hKey", SAR_INVALIDHANDLEERR);
}
unsigned int CMacKeyObject::MacInit(Struct_BLOCKCIPHERPARAM *, void **)
{
    return StepFail("MacInit", "CHECK hKey", SAR_INVALIDHANDLEERR);
}

/* ---- CMacKeyObject: the last CBC block over whole blocks, no padding ---- */

CMacKeyObject::CMacKeyObject(CDeviceContext *pDeviceContext)
    : CSymKeyObject(pDeviceContext), m_ulHeldLen(0), m_pbHeld()
{
    m_ulMode = SC_MODE_CBC;
}

CMacKeyObject::~CMacKeyObject() { OPENSSL_cleanse(m_pbHeld, sizeof(m_pbHeld)); }

unsigned int CMacKeyObject::MacUpdate(unsigned char *pbData, unsigned int ulDataLen)
{
    static const char *OP = "MacUpdate";
    if (m_ulBlockLen == 0 || ulDataLen % m_ulBlockLen != 0) return StepFail(OP, "CHECK ulDataLen", SAR_INDATALENERR);
    if (unsigned int ulRet = CheckInputTotal(OP, m_ulHeldLen, ulDataLen)) return ulRet;
    if (ulDataLen == 0 || ulDataLen > BRIO_MAX_BUFFER_SIZE)
        return StepFail(OP, "CHECK ulDataLen", ERROR_INVALID_PARAMETER);
    if (pbData == nullptr) return StepFail(OP, "CHECK pbData", SAR_INVALIDPARAMERR);
    {
        /* Data is held back only within a run of this MAC. */
        CKeyObjectLock lock(m_pDeviceContext, TokenCipher());
        if (unsigned int ulRet = CheckRun(OP, lock, true)) return ulRet;
    }
    unsigned char *pbScratch = new (std::nothrow) unsigned char[ulDataLen]();
    if (pbScratch == nullptr) return StepFail(OP, "new buffer", ERR_NO_MEMORY);
    unsigned int ulRet = 0, ulOut = ulDataLen;
    if (m_ulHeldLen > 0) {
        ulRet = CSymKeyObject::EncUpdate(m_pbHeld, m_ulBlockLen, pbScratch, &ulOut);
        m_ulHeldLen = 0;
    }
    if (ulRet == 0 && ulDataLen > m_ulBlockLen) {
        ulOut = ulDataLen;
        ulRet = CSymKeyObject::EncUpdate(pbData, ulDataLen - m_ulBlockLen, pbScratch, &ulOut);
    }
    OPENSSL_cleanse(pbScratch, ulDataLen);
    delete[] pbScratch;
    if (ulRet != 0) return StepFail(OP, "EncUpdate", ulRet);
    memcpy(m_pbHeld, pbData + ulDataLen - m_ulBlockLen, m_ulBlockLen);
    m_ulHeldLen = m_ulBlockLen;
    return 0;
}

unsigned int CMacKeyObject::CheckMacRoom(const char *pszOperation, const unsigned char *pbMac,
                                         unsigned int *pulMacLen, bool &bSizeOnly) const
{
    if (pulMacLen == nullptr) return StepFail(pszOperation, "CHECK pulMacLen", SAR_INVALIDPARAMERR);
    unsigned int ulRoom = *pulMacLen;
    *pulMacLen = m_ulBlockLen;
    bSizeOnly = pbMac == nullptr;
    if (!bSizeOnly && ulRoom < m_ulBlockLen)
        return StepFail(pszOperation, "CHECK *pulMacLen SIZE", SAR_BUFFER_TOO_SMALL);
    return 0;
}

unsigned int CMacKeyObject::MacFinal(unsigned char *pbMac, unsigned int *pulMacLen)
{
    static const char *OP = "MacFinal";
    bool bSizeOnly = false;
    if (unsigned int ulRet = CheckMacRoom(OP, pbMac, pulMacLen, bSizeOnly)) return ulRet;
    if (bSizeOnly) return 0;
    /* The CBC output of the held block (a zero block when no data came) is the MAC. */
    unsigned int ulOut = *pulMacLen;
    unsigned int ulRet = CSymKeyObject::EncUpdate(m_pbHeld, m_ulBlockLen, pbMac, &ulOut);
    OPENSSL_cleanse(m_pbHeld, sizeof(m_pbHeld));
    m_ulHeldLen = 0;
    if (ulRet == 0) {
        unsigned char pbRest[16];
        unsigned int ulRest = sizeof(pbRest);
        ulRet = CSymKeyObject::EncFinal(pbRest, &ulRest);
    }
    *pulMacLen = m_ulBlockLen;
    if (ulRet != 0) return StepFail(OP, "EncUpdate", ulRet);
    return 0;
}

unsigned int CMacKeyObject::Mac(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbMac,
                                unsigned int *pulMacLen)
{
    static const char *OP = "Mac";
    bool bSizeOnly = false;
    if (unsigned int ulRet = CheckMacRoom(OP, pbMac, pulMacLen, bSizeOnly)) return ulRet;
    if (bSizeOnly) return 0;
    /* No data: the MAC of nothing, as MacFinal alone gives it. */
    if (ulDataLen != 0) {
        unsigned int ulRet = MacUpdate(pbData, ulDataLen);
        if (ulRet != 0) return StepFail(OP, "MacUpdate", ulRet);
    }
    unsigned int ulRet = MacFinal(pbMac, pulMacLen);
    *pulMacLen = m_ulBlockLen;
    return ulRet == 0 ? 0 : StepFail(OP, "MacFinal", ulRet);
}

/* ---- CDigestObject ---- */

CDigestObject::CDigestObject(CDeviceContext *pDeviceContext) : CKeyObject(pDeviceContext), m_pHashObject(nullptr)
{
    CDeviceContext::TraceInfo("CDigestObject: Constructor");
}

CDigestObject::~CDigestObject()
{
    CHashObject::Release(m_pHashObject);
    CDeviceContext::TraceInfo("CDigestObject: Destructor");
}

unsigned int CDigestObject::DigestInit(unsigned int ulHashID)
{
    static const char *OP = "DigestInit";
    CHashObject::Release(m_pHashObject);
    if (ulHashID > 0xFF || CHashObject::Initialize((unsigned char)ulHashID, &m_pHashObject) != 0 ||
        m_pHashObject == nullptr) {
        m_pHashObject = nullptr;
        return StepFail(OP, "CHashObject::Initialize", SAR_MEMORYERR);
    }
    TRACE_STEP_OK(OP, "CHashObject::Initialize");
    return 0;
}

unsigned int CDigestObject::DigestUpdate(unsigned char *pbData, unsigned int ulDataLen)
{
    if (m_pHashObject == nullptr) return StepFail("DigestUpdate", "CHECK m_pHashObject", ERR_NO_CONTEXT);
    return m_pHashObject->Update(pbData, ulDataLen);
}

unsigned int CDigestObject::DigestFinal(unsigned char *pbHash, unsigned int *pulHashLen)
{
    if (m_pHashObject == nullptr) return StepFail("DigestFinal", "CHECK m_pHashObject", ERR_NO_CONTEXT);
    return m_pHashObject->Final(pbHash, pulHashLen);
}

unsigned int CDigestObject::Digest(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbHash,
                                   unsigned int *pulHashLen)
{
    if (m_pHashObject == nullptr) return StepFail("Digest", "CHECK m_pHashObject", ERR_NO_CONTEXT);
    return m_pHashObject->Digest(pbData, ulDataLen, pbHash, pulHashLen);
}

/* ---- CAgreementObject ---- */

CAgreementObject::CAgreementObject(CDeviceContext *pDeviceContext, unsigned int ulAlgID, unsigned short usKeyID,
                                   unsigned int ulAgreementParam)
    : CKeyObject(pDeviceContext), m_usKeyID(usKeyID), m_ulAgreementParam(ulAgreementParam)
{
    m_ulAlgID = ulAlgID;
}

CAgreementObject::~CAgreementObject() {}

unsigned int CAgreementObject::GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *pPeerPubKey,
                                                  Struct_ECCPUBLICKEYBLOB *pPeerTempPubKey, unsigned char *pbID,
                                                  unsigned int ulIDLen, void **phKey)
{
    static const char *OP = "GenerateKeyWithECC";
    if (m_pDeviceContext == nullptr || m_pDeviceContext->GetDeviceHandle() == nullptr)
        return StepFail(OP, "CHECK m_pDeviceContext", SAR_INVALIDHANDLEERR);
    CAPDUKey *pApduKey = m_pDeviceContext->GetAPDUKey();
    if (pApduKey == nullptr) return StepFail(OP, "CHECK GetAPDUKey", ERR_NULL_ARGUMENT);
    if (phKey == nullptr || (pbID == nullptr && ulIDLen != 0)) return StepFail(OP, "CHECK phKey", SAR_INVALIDPARAMERR);
    /* The agreed key stays on the token: only a token cipher can use it. */
    const SymAlgRow *pRow = FindSymAlg(m_ulAlgID);
    if (pRow == nullptr || !pRow->bToken) return StepFail(OP, "CHECK m_ulAlgID", SAR_NOTSUPPORTYETERR);
    unsigned char pbPeer[4 + 2 * ECC_MAX_XCOORDINATE_BITS_LEN / 8], pbTemp[sizeof(pbPeer)];
    unsigned int ulPeerLen = 0, ulTempLen = 0;
    if (EncodePublicKey(pPeerPubKey, pbPeer, &ulPeerLen) != 0)
        return StepFail(OP, "CHECK pPeerPubKey", SAR_INVALIDPARAMERR);
    if (EncodePublicKey(pPeerTempPubKey, pbTemp, &ulTempLen) != 0)
        return StepFail(OP, "CHECK pPeerTempPubKey", SAR_INVALIDPARAMERR);

    CSymKeyObject *pKey = new (std::nothrow) CSymKeyObject(m_pDeviceContext);
    if (pKey == nullptr) return StepFail(OP, "new CSymKeyObject", ERR_NO_MEMORY);
    CKeyObjectLock lock(m_pDeviceContext, true);
    unsigned int ulRet = lock.Result();
    if (ulRet != 0) {
        delete pKey;
        return StepFail(OP, "WaitDevMutex", ulRet);
    }
    unsigned int ulKeyID = 0;
    m_pDeviceContext->ClaimKeySlot(true);  /* the slot gets the agreed key, even if the answer is lost */
    ulRet = pApduKey->GenerateKeyWithECC(0, m_usKeyID, m_ulAgreementParam, pbPeer, ulPeerLen, pbTemp, ulTempLen, pbID,
                                         ulIDLen, &ulKeyID);
    if (ulRet != 0) {
        delete pKey;
        return StepFail(OP, "GetAPDUKey()->GenerateKeyWithECC", ulRet);
    }
    /* The agreed key sits in the token's slot: the new key object takes it. */
    ulRet = pKey->SetSymmKey(m_ulAlgID, nullptr);
    if (ulRet != 0) {
        delete pKey;
        return StepFail(OP, "SetSymmKey", ulRet);
    }
    *phKey = pKey;
    TRACE_STEP_OK(OP, "SetSymmKey");
    return 0;
}
