#include "SarnCore/GMSymKeyHandle.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

static const char *UPDATE_STEP[2] = {"pDeviceContext->GetAPDUCrypto()->SymDecryptUpdate",
                                     "pDeviceContext->GetAPDUCrypto()->SymEncryptUpdate"};
static const char *FINAL_STEP[2] = {"pDeviceContext->GetAPDUCrypto()->SymDecryptFinal",
                                    "pDeviceContext->GetAPDUCrypto()->SymEncryptFinal"};
static const char *INIT_STEP[2] = {"pDeviceContext->GetAPDUCrypto()->SymDecryptInit",
                                   "pDeviceContext->GetAPDUCrypto()->SymEncryptInit"};

CGMSymKeyHandle::CGMSymKeyHandle(CDeviceContext *pDeviceContext)
    : m_ullSlotStamp(0), m_bStateUnknown(false), m_usRunSpec(0), m_usKeySpec(0), m_bHostKey(false)
{
    m_pCipherCtx = pDeviceContext;
    m_bEncrypt = 0;
    m_ulUnitLen = 0;
    m_ulPadding = 0;
    m_ulHeldLen = 0;
    memset(m_pbBlock, 0, sizeof(m_pbBlock));
    memset(m_pbChain, 0, sizeof(m_pbChain));
    memset(m_pbHostKey, 0, sizeof(m_pbHostKey));
}

CGMSymKeyHandle::~CGMSymKeyHandle()
{
    /* The device context belongs to the connection, not to this handle. */
    m_pCipherCtx = nullptr;
    OPENSSL_cleanse(m_pbBlock, sizeof(m_pbBlock));
    OPENSSL_cleanse(m_pbHostKey, sizeof(m_pbHostKey));
    OPENSSL_cleanse(m_pbChain, sizeof(m_pbChain));
}

unsigned int CGMSymKeyHandle::SetKey(unsigned short usKeySpec, unsigned char *pbKey, unsigned int ulKeyLen)
{
    static const char *OP = "CGMSymKeyHandle::SetKey";
    CDeviceContext *pCtx = Context();
    if (pCtx == nullptr || pCtx->GetAPDUKey() == nullptr)
        return APDU_CHECK_FAIL(OP, "CHECK pDeviceContext", ERR_NO_CONTEXT);
    unsigned int ulRet = pCtx->SetSessionKey(false);
    if (ulRet != 0) return APDU_CHECK_FAIL(OP, "pDeviceContext->SetSessionKey", ulRet);
    /* Claimed before the import: should its answer be lost, the slot may
     * hold this key all the same, and no other handle may trust it. */
    unsigned long long ullClaim = pCtx->ClaimKeySlot(true);
    ulRet = pCtx->GetAPDUKey()->ImportSymKey(0, 0, usKeySpec, pbKey, ulKeyLen);
    if (ulRet != 0) return APDU_CHECK_FAIL(OP, "pDeviceContext->GetAPDUKey()->ImportSymKey", ulRet);
    TRACE_STEP_OK(OP, "pDeviceContext->GetAPDUKey()->ImportSymKey");
    KeepKey(usKeySpec, pbKey, ulKeyLen);
    m_ullSlotStamp = ullClaim;
    return 0;
}

unsigned int CGMSymKeyHandle::Init(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                   unsigned char *pbIV, unsigned int ulPadding)
{
    static const char *OP = "CGMSymKeyHandle::Init";
    if (byAlgID != SC_ALG_SM1 && byAlgID != SC_ALG_SM4) return APDU_CHECK_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    CDeviceContext *pCtx = Context();
    if (pCtx == nullptr || pCtx->GetAPDUCrypto() == nullptr)
        return APDU_CHECK_FAIL(OP, "CHECK pDeviceContext", ERR_NO_CONTEXT);
    if (byCryptType != SYM_CRYPT_ENCRYPT && byCryptType != SYM_CRYPT_DECRYPT)
        return APDU_CHECK_FAIL(OP, "CHECK byCryptType", ERR_BAD_KEY_TYPE);
    unsigned char pbIV16[GM_SYM_BLOCK] = {0};
    if (pbIV != nullptr) memcpy(pbIV16, pbIV, GM_SYM_BLOCK);
    unsigned char byDirection = byCryptType == SYM_CRYPT_ENCRYPT ? 1 : 0;
    unsigned short usSpec = (unsigned short)((byAlgID << 8) | byMode);
    unsigned int ulRet = TakeKeySlot(pCtx, false);
    if (ulRet != 0) return ulRet;
    bool bOwned = m_ullSlotStamp != 0;
    ulRet = SendInit(pCtx, byDirection, usSpec, pbIV16);
    if (ulRet == SARN_SW_CODE(0x6985) && bOwned) {
        /* No key in a slot this handle owned: the token lost its volatile state. */
        pCtx->DisownKeySlot();
        ulRet = TakeKeySlot(pCtx, false);
        if (ulRet != 0) return ulRet;
        ulRet = SendInit(pCtx, byDirection, usSpec, pbIV16);
    }
    if (ulRet != 0) return APDU_CHECK_FAIL(OP, INIT_STEP[byDirection ? 1 : 0], ulRet);
    m_bEncrypt = byDirection;
    m_ulUnitLen = GM_SYM_BLOCK;
    m_ulPadding = ulPadding;
    m_usRunSpec = usSpec;
    memcpy(m_pbChain, pbIV16, GM_SYM_BLOCK);
    /* Bytes an abandoned operation held back do not belong to this one. */
    OPENSSL_cleanse(m_pbBlock, sizeof(m_pbBlock));
    m_ulHeldLen = 0;
    return 0;
}

unsigned int CGMSymKeyHandle::Update(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                     unsigned int *pulOutLen)
{
    static const char *OP = "CGMSymKeyHandle::Update";
    CDeviceContext *pCtx = Context();
    if (pulOutLen == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pnOutlen", ERR_NULL_ARGUMENT);
    if (pCtx == nullptr || pCtx->GetAPDUCrypto() == nullptr) {
        *pulOutLen = 0;
        return APDU_CHECK_FAIL(OP, "CHECK pDeviceContext", ERR_NULL_ARGUMENT);
    }
    if (pbIn == nullptr && ulInLen != 0) return APDU_CHECK_FAIL(OP, "CHECK pbInbuf", ERR_NULL_ARGUMENT);
    unsigned long long ullTotal = (unsigned long long)ulInLen + m_ulHeldLen;
    /* The sizes below are counted in 32 bits, as the caller counts them. */
    if (ullTotal > 0xFFFFFFFFull) {
        *pulOutLen = 0;
        return APDU_CHECK_FAIL(OP, "CHECK nInlen", ERR_BAD_LENGTH);
    }
    if (ullTotal == 0) {
        *pulOutLen = 0;
        return 0;
    }
    unsigned int ulKeep = (unsigned int)(ullTotal % GM_SYM_BLOCK);
    if (ulKeep == 0 && !m_bEncrypt) ulKeep = GM_SYM_BLOCK;
    unsigned int ulSize = (unsigned int)(ullTotal - ulKeep);
    if (pbOut == nullptr) {
        *pulOutLen = ulSize;
        TRACE_STEP_OK(OP, "CHECK pbOutbuf");
        return 0;
    }
    if (*pulOutLen < ulSize) {
        *pulOutLen = ulSize;
        return APDU_CHECK_FAIL(OP, "CHECK *pnOutlen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    if (ulSize == 0) {
        memcpy(m_pbBlock + m_ulHeldLen, pbIn, ulInLen);
        m_ulHeldLen = (unsigned int)ullTotal;
        *pulOutLen = 0;
        return 0;
    }
    unsigned int ulRet = TakeKeySlot(pCtx, true);
    if (ulRet != 0) {
        *pulOutLen = 0;
        return ulRet;
    }
    unsigned int ulProduced = 0, ulUsed = 0;
    while (ulProduced < ulSize) {
        unsigned int ulChunk = ulSize - ulProduced < CRYPTO_SYM_BLOCK_MAX ? ulSize - ulProduced : CRYPTO_SYM_BLOCK_MAX;
        unsigned int ulFromInput = ulChunk - m_ulHeldLen;
        memcpy(m_pbBlock + m_ulHeldLen, pbIn + ulUsed, ulFromInput);
        /* The answer is taken only when it has the length sent. */
        unsigned char pbAnswer[CRYPTO_SYM_BLOCK_MAX];
        unsigned int ulAnswered = ulChunk;
        ulRet = pCtx->GetAPDUCrypto()->SymEncryptUpdate(m_bEncrypt, 0, 0, m_pbBlock, ulChunk, pbAnswer, &ulAnswered);
        if (ulRet == 0 && ulAnswered != ulChunk) ulRet = ERR_BAD_LENGTH;
        if (ulRet == 0) memcpy(pbOut + ulProduced, pbAnswer, ulChunk);
        /* The last cipher block of the chunk carries the chain on. */
        if (ulRet == 0) memcpy(m_pbChain, (m_bEncrypt ? pbAnswer : m_pbBlock) + ulChunk - GM_SYM_BLOCK, GM_SYM_BLOCK);
        OPENSSL_cleanse(pbAnswer, sizeof(pbAnswer));
        if (ulRet != 0) {
            *pulOutLen = ulProduced;
            return APDU_CHECK_FAIL(OP, UPDATE_STEP[m_bEncrypt ? 1 : 0], ulRet);
        }
        ulProduced += ulChunk;
        ulUsed += ulFromInput;
        m_ulHeldLen = 0;
    }
    OPENSSL_cleanse(m_pbBlock, sizeof(m_pbBlock));
    memcpy(m_pbBlock, pbIn + ulInLen - ulKeep, ulKeep);
    m_ulHeldLen = ulKeep;
    *pulOutLen = ulProduced;
    return 0;
}

unsigned int CGMSymKeyHandle::Final(unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "CGMSymKeyHandle::Final";
    CDeviceContext *pCtx = Context();
    if (pulOutLen == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pnOutlen", ERR_NULL_ARGUMENT);
    if (pCtx == nullptr || pCtx->GetAPDUCrypto() == nullptr) {
        *pulOutLen = GM_SYM_BLOCK;
        return APDU_CHECK_FAIL(OP, "CHECK pDeviceContext", ERR_NULL_ARGUMENT);
    }
    if (pbOut == nullptr) {
        *pulOutLen = GM_SYM_BLOCK;
        return 0;
    }
    unsigned int ulSend = m_ulHeldLen;
    if (m_bEncrypt) {
        if (m_ulHeldLen != 0 && m_ulPadding == 0)
            return APDU_CHECK_FAIL(OP, "CHECK m_nFinalLen and m_nPadding", ERR_BAD_LENGTH);
        if (m_ulPadding != 0) ulSend = GM_SYM_BLOCK;
    } else if (m_ulHeldLen != 0 && m_ulHeldLen != GM_SYM_BLOCK) {
        return APDU_CHECK_FAIL(OP, "CHECK m_nFinalLen", ERR_BAD_LENGTH);
    }
    /* The answer is as long as the block sent; it must fit before it is asked for. */
    if (*pulOutLen < ulSend) {
        *pulOutLen = GM_SYM_BLOCK;
        return APDU_CHECK_FAIL(OP, "CHECK *pnOutlen SIZE", ERR_BUFFER_TOO_SMALL);
    }
    unsigned int ulRet = TakeKeySlot(pCtx, true);
    if (ulRet != 0) return ulRet;
    if (m_bEncrypt && m_ulPadding != 0)
        memset(m_pbBlock + m_ulHeldLen, (int)(GM_SYM_BLOCK - m_ulHeldLen), GM_SYM_BLOCK - m_ulHeldLen);
    unsigned char pbLast[GM_SYM_BLOCK] = {0};
    unsigned int ulAnswered = GM_SYM_BLOCK;
    ulRet = pCtx->GetAPDUCrypto()->SymEncryptFinal(m_bEncrypt, 0, 0, ulSend != 0 ? m_pbBlock : nullptr, ulSend,
                                                   pbLast, &ulAnswered);
    if (ulRet == 0 && ulAnswered != ulSend) ulRet = ERR_BAD_LENGTH;
    if (ulRet != 0) return APDU_CHECK_FAIL(OP, FINAL_STEP[m_bEncrypt ? 1 : 0], ulRet);
    unsigned int ulOut = ulAnswered;
    if (!m_bEncrypt && m_ulPadding != 0) {
        unsigned int p = ulAnswered == GM_SYM_BLOCK ? pbLast[GM_SYM_BLOCK - 1] : 0;
        bool bOk = p >= 1 && p <= GM_SYM_BLOCK;
        for (unsigned int i = GM_SYM_BLOCK - (bOk ? p : 0); bOk && i < GM_SYM_BLOCK; ++i) bOk = pbLast[i] == p;
        if (!bOk) {
            OPENSSL_cleanse(pbLast, sizeof(pbLast));
            return APDU_CHECK_FAIL(OP, "CHECK Padding", SARN_SW_CODE(0xF525));
        }
        ulOut = GM_SYM_BLOCK - p;
    }
    memcpy(pbOut, pbLast, ulOut);
    OPENSSL_cleanse(pbLast, sizeof(pbLast));
    OPENSSL_cleanse(m_pbBlock, sizeof(m_pbBlock));
    *pulOutLen = ulOut;
    m_ulHeldLen = 0;
    m_usRunSpec = 0;
    return 0;
}

unsigned int CGMSymKeyHandle::Initialize(void *pDeviceContext, unsigned char byAlgID, unsigned char byCryptType,
                                         unsigned char byMode, unsigned char *pbKey, unsigned char *pbIV,
                                         void **phKeyHandle)
{
    static const char *OP = "CGMSymKeyHandle::Initialize";
    if (byAlgID != SC_ALG_SM1 && byAlgID != SC_ALG_SM4) return APDU_CHECK_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    if (pDeviceContext == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pDeviceContext", ERR_NULL_ARGUMENT);
    if (phKeyHandle == nullptr) return APDU_CHECK_FAIL(OP, "CHECK phKeyHandle", ERR_NULL_ARGUMENT);
    CGMSymKeyHandle *pHandle = new (std::nothrow) CGMSymKeyHandle(static_cast<CDeviceContext *>(pDeviceContext));
    if (pHandle == nullptr) return APDU_CHECK_FAIL(OP, "new CGMSymKeyHandle", ERR_NO_MEMORY);
    CSymKeyHandle *pBase = pHandle;
    unsigned int ulRet = pBase->SetKey((unsigned short)((byAlgID << 8) | byMode), pbKey, GM_SYM_BLOCK);
    if (ulRet != 0) {
        delete pHandle;
        return APDU_CHECK_FAIL(OP, "SetKey", ulRet);
    }
    ulRet = pBase->Init(byAlgID, byCryptType, byMode, pbIV, 1);
    if (ulRet != 0) {
        delete pHandle;
        return APDU_CHECK_FAIL(OP, "Init", ulRet);
    }
    *phKeyHandle = pHandle;
    return 0;
}

/* ---- ownership of the token's key slot and cipher state ---- */

void CGMSymKeyHandle::KeepKey(unsigned short usKeySpec, const unsigned char *pbKey, unsigned int ulKeyLen)
{
    m_bHostKey = pbKey != nullptr && ulKeyLen == GM_SYM_BLOCK;
    m_usKeySpec = usKeySpec;
    if (m_bHostKey && pbKey != m_pbHostKey) memcpy(m_pbHostKey, pbKey, GM_SYM_BLOCK);
    if (!m_bHostKey) OPENSSL_cleanse(m_pbHostKey, sizeof(m_pbHostKey));
}

unsigned int CGMSymKeyHandle::AdoptSlotKey()
{
    CDeviceContext *pCtx = Context();
    if (pCtx == nullptr) return APDU_CHECK_FAIL("CGMSymKeyHandle::AdoptSlotKey", "CHECK pDeviceContext", ERR_NO_CONTEXT);
    KeepKey(0, nullptr, 0);
    m_ullSlotStamp = pCtx->ClaimKeySlot(true);
    return 0;
}

bool CGMSymKeyHandle::KeyInSlot() const
{
    CDeviceContext *pCtx = Context();
    if (pCtx == nullptr || m_ullSlotStamp == 0) return false;
    unsigned long long ullWord = pCtx->KeySlotOwner();
    if (!m_bHostKey) return ullWord == m_ullSlotStamp;
    return !CDeviceContext::SlotIsNobodys(ullWord) &&
           CDeviceContext::SlotKeyGeneration(ullWord) == CDeviceContext::SlotKeyGeneration(m_ullSlotStamp);
}

unsigned int CGMSymKeyHandle::TakeKeySlot(CDeviceContext *pCtx, bool bResume)
{
    static const char *OP = "CGMSymKeyHandle::TakeKeySlot";
    /* Never claimed: the key was put on the token by others; nothing to check. */
    if (m_ullSlotStamp == 0 || (pCtx->KeySlotOwner() == m_ullSlotStamp && !m_bStateUnknown)) return 0;
    unsigned int ulRet = 0;
    if (!KeyInSlot()) {
        if (!m_bHostKey) return APDU_CHECK_FAIL(OP, "CHECK key slot", ERR_NO_SYMMETRIC_KEY);
        ulRet = SetKey(m_usKeySpec, m_pbHostKey, GM_SYM_BLOCK);
        if (ulRet != 0) return APDU_CHECK_FAIL(OP, "SetKey", ulRet);
    }
    if (!bResume || m_usRunSpec == 0) return 0;
    /* Another operation ran meanwhile, or an init failed: start this one
     * again from its chain. */
    ulRet = SendInit(pCtx, m_bEncrypt, m_usRunSpec, m_pbChain);
    if (ulRet != 0) return APDU_CHECK_FAIL(OP, INIT_STEP[m_bEncrypt ? 1 : 0], ulRet);
    TRACE_STEP_OK(OP, "resume");
    return 0;
}

unsigned int CGMSymKeyHandle::SendInit(CDeviceContext *pCtx, unsigned char byDirection, unsigned short usSpec,
                                       unsigned char *pbIV)
{
    /* Claimed before the init goes out: should its answer be lost, the
     * token may have started the new operation all the same, and no handle
     * may go on trusting the state of the one before. */
    m_ullSlotStamp = pCtx->ClaimKeySlot(false);
    unsigned int ulRet = pCtx->GetAPDUCrypto()->SymEncryptInit(byDirection, 0, 0, usSpec, pbIV, GM_SYM_BLOCK);
    m_bStateUnknown = ulRet != 0;
    return ulRet;
}
