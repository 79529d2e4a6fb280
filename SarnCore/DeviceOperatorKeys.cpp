/* CDeviceOperator: containers, key pairs, public keys, on-token key
 * objects, session keys and the token's random generator, hashing and
 * administrator-key signature.  Every command that changes keys or
 * containers carries the connection's PIN authorisation code, and a secure
 * session is made sure of before the first secure command. */
#include "SarnCore/DeviceOperator.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/KeyObject.h"
#include "SarnCore/OperatorSteps.h"
#include "SoftCrypto/SymKeyHandle.h"

#define RSA_PUBLIC_EXPONENT 65537u
#define RSA1024_BYTES 128u
#define RSA_EXPONENT_BYTES 4u
#define PUBLIC_KEY_EXPORT_LEN 1024u

static unsigned char *AuthCode(CDeviceContext *pContext)
{
    return pContext->GetDeviceHandle()->m_pbAuthCode;
}

unsigned int CDeviceOperator::CreateContainer(char *pszContainerName)
{
    static const char *OP = "CreateContainer";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    unsigned int ulRet = CheckContainerName(OP, pszContainerName);
    if (ulRet != 0) return ulRet;
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    OP_STEP(OP, "m_pDeviceContext->GetAPDUContainer()->CreateContainer",
            m_pDeviceContext->GetAPDUContainer()->CreateContainer(AuthCode(m_pDeviceContext), OPERATOR_APP_ID,
                                                                  pszContainerName));
    LogOperation(OP, "CreCtnr");
    return 0;
}

unsigned int CDeviceOperator::DeleteContainer(char *pszContainerName)
{
    static const char *OP = "DeleteContainer";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    unsigned int ulRet = CheckContainerName(OP, pszContainerName);
    if (ulRet != 0) return ulRet;
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    OP_STEP(OP, "m_pDeviceContext->GetAPDUContainer()->DeleteContainerByName",
            m_pDeviceContext->GetAPDUContainer()->DeleteContainerByName(AuthCode(m_pDeviceContext), OPERATOR_APP_ID,
                                                                        pszContainerName));
    EraseContainerFromMemory(pszContainerName);
    LogOperation(OP, "DelCtnr");
    return 0;
}

/* The key object handed out after a key was generated or imported. */
static unsigned int HandOutKey(CDeviceOperator *pOperator, const char *pszOperation, unsigned char byAlgID,
                               unsigned short usKeyFID, void **ppKeyCtx)
{
    CAsymKeyObject *pKey = nullptr;
    OP_STEP(pszOperation, "NewAsymKey", pOperator->NewAsymKey(byAlgID, usKeyFID, &pKey));
    *ppKeyCtx = pKey;
    return 0;
}

unsigned int CDeviceOperator::GenerateKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                              void **ppKeyCtx)
{
    static const char *OP = "GenerateKeyPair";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszContainerName);
    unsigned short usKeyFID = 0;
    OP_STEP(OP, "GetContainerInfo", GetContainerInfo(pszContainerName, byKeySpec, nullptr, &usKeyFID, nullptr, false));
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    CAPDUKey *pKey = m_pDeviceContext->GetAPDUKey();
    if (byAlgID == TOKEN_ALG_SM2) {
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->GenSm2KeyPair",
                pKey->GenSm2KeyPair(AuthCode(m_pDeviceContext), OPERATOR_APP_ID, usKeyFID));
    } else if (byAlgID == TOKEN_ALG_RSA1024 || byAlgID == TOKEN_ALG_RSA2048) {
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->GenRsaKeyPair",
                pKey->GenRsaKeyPair(byAlgID, AuthCode(m_pDeviceContext), OPERATOR_APP_ID, usKeyFID,
                                    RSA_PUBLIC_EXPONENT));
    } else {
        TRACE_STEP_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    UpdateContainerKeyType(pszContainerName, byKeySpec, byAlgID);
    return ppKeyCtx == nullptr ? 0 : HandOutKey(this, OP, byAlgID, usKeyFID, ppKeyCtx);
}

/* An RSA-1024 key record as the import command takes it: modulus (128),
 * private exponent (128) and public exponent (4), each right-aligned in its
 * field, in the command's 512-byte key material. */
static unsigned int BuildRsa1024Material(const _QV_RSA_KEY_PAIR *pKey, unsigned char *pbMaterial)
{
    if (pKey->NLen != RSA1024_BYTES || pKey->DLen == 0 || pKey->DLen > RSA1024_BYTES || pKey->ELen == 0 ||
        pKey->ELen > RSA_EXPONENT_BYTES)
        return ERR_BAD_LENGTH;
    memset(pbMaterial, 0, KEY_RSA_MATERIAL_1024);
    memcpy(pbMaterial, pKey->N, RSA1024_BYTES);
    memcpy(pbMaterial + 2 * RSA1024_BYTES - pKey->DLen, pKey->D, pKey->DLen);
    memcpy(pbMaterial + 2 * RSA1024_BYTES + RSA_EXPONENT_BYTES - pKey->ELen, pKey->E, pKey->ELen);
    return 0;
}

unsigned int CDeviceOperator::ImportKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                            void *pKeyBuf, unsigned int nKeyLen, void *pSymKeyBuf,
                                            unsigned int nSymKeyLen, void **ppKeyCtx)
{
    static const char *OP = "ImportKeyPair";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pKeyBuf);
    OP_CHECK(OP, byKeySpec == KEY_SPEC_EXCHANGE, "byKeyType", ERR_BAD_KEY_TYPE);
    unsigned short usKeyFID = 0;
    OP_STEP(OP, "GetContainerInfo",
            GetContainerInfo(pszContainerName, KEY_SPEC_EXCHANGE, nullptr, &usKeyFID, nullptr, false));
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    CAPDUKey *pKey = m_pDeviceContext->GetAPDUKey();
    unsigned char *pbAuth = AuthCode(m_pDeviceContext);
    if (byAlgID == TOKEN_ALG_RSA1024) {
        OP_CHECK(OP, nKeyLen >= sizeof(_QV_RSA_KEY_PAIR), "nKeyLen", ERR_BAD_LENGTH);
        unsigned char pbMaterial[KEY_RSA_MATERIAL_1024];
        unsigned int ulRet = BuildRsa1024Material((const _QV_RSA_KEY_PAIR *)pKeyBuf, pbMaterial);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "CHECK pKeyBuf", ulRet);
            return ulRet;
        }
        ulRet = pKey->ImportRsaKeyPair(TOKEN_ALG_RSA1024, pbAuth, OPERATOR_APP_ID, usKeyFID, pbMaterial,
                                       2 * RSA1024_BYTES + RSA_EXPONENT_BYTES, false);
        OPENSSL_cleanse(pbMaterial, sizeof(pbMaterial));
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ImportRsaKeyPair(1024)", ulRet);
    } else if (byAlgID == TOKEN_ALG_RSA2048) {
        if (pSymKeyBuf != nullptr) {
            m_pDeviceContext->ClaimKeySlot(true);  /* the slot gets the wrapping key, even if the answer is lost */
            OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ImportEncSymKey",
                    pKey->ImportEncSymKey(pbAuth, OPERATOR_APP_ID, usKeyFID, (unsigned char *)pSymKeyBuf,
                                          nSymKeyLen));
        }
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ImportRsaKeyPair(2048)",
                pKey->ImportRsaKeyPair(TOKEN_ALG_RSA2048, pbAuth, OPERATOR_APP_ID, usKeyFID, (unsigned char *)pKeyBuf,
                                       nKeyLen, pSymKeyBuf != nullptr));
    } else if (byAlgID == TOKEN_ALG_SM2) {
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ImportSm2KeyPair",
                pKey->ImportSm2KeyPair(pbAuth, OPERATOR_APP_ID, usKeyFID, (unsigned char *)pKeyBuf, nKeyLen));
    } else {
        TRACE_STEP_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    UpdateContainerKeyType(pszContainerName, KEY_SPEC_EXCHANGE, byAlgID);
    if (ppKeyCtx != nullptr) {
        unsigned int ulRet = HandOutKey(this, OP, byAlgID, usKeyFID, ppKeyCtx);
        if (ulRet != 0) return ulRet;
    }
    LogOperation(OP, "ImpKeyP");
    return 0;
}

/* Size of the exported public-key record of a token key algorithm, 0 for
 * none. */
static unsigned int PublicKeyRecordSize(unsigned char byAlgID)
{
    if (byAlgID == TOKEN_ALG_RSA1024 || byAlgID == TOKEN_ALG_RSA2048) return sizeof(_QV_RSA_KEY_PAIR);
    if (byAlgID == TOKEN_ALG_SM2) return sizeof(_QV_SM2_KEY_PAIR);
    return 0;
}

unsigned int CDeviceOperator::ExportPublicKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                              unsigned char *pbyKeyBuf, unsigned int *pnKeySize)
{
    static const char *OP = "ExportPublicKey";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pbyAlgID);
    OP_CHECK_PTR(OP, pnKeySize);
    *pbyAlgID = 0xFF;
    unsigned short usKeyFID = 0;
    unsigned int ulRet = GetContainerInfo(pszContainerName, byKeySpec, pbyAlgID, &usKeyFID, nullptr, false);
    OP_CHECK_SIZE(OP, ulRet == 0, "GetContainerInfo", ulRet, pnKeySize, 0u);
    unsigned int ulKeySize = PublicKeyRecordSize(*pbyAlgID);
    OP_CHECK_SIZE(OP, ulKeySize != 0, "CHECK byAlgID", ERR_BAD_ALGORITHM, pnKeySize, 0u);
    unsigned char pbRecord[PUBLIC_KEY_EXPORT_LEN];
    memset(pbRecord, 0, sizeof(pbRecord));
    ulRet = m_pDeviceContext->GetAPDUKey()->ExportPublicKey(OPERATOR_APP_ID, usKeyFID, *pbyAlgID, pbRecord);
    OP_CHECK_SIZE(OP, ulRet == 0, "m_pDeviceContext->GetAPDUKey()->ExportPublicKey", ulRet, pnKeySize, 0u);
    if (pbyKeyBuf != nullptr) {
        OP_CHECK_SIZE(OP, *pnKeySize >= ulKeySize, "CHECK *pnKeySize SIZE", ERR_BUFFER_TOO_SMALL, pnKeySize, ulKeySize);
        memcpy(pbyKeyBuf, pbRecord, ulKeySize);
    }
    *pnKeySize = ulKeySize;
    return 0;
}

unsigned int CDeviceOperator::GetUserKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                         void **ppKeyCtx)
{
    static const char *OP = "GetUserKey";
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pbyAlgID);
    OP_CHECK(OP, ppKeyCtx != nullptr, "ppKeyCtx", ERR_NULL_ARGUMENT);
    *pbyAlgID = 0;
    unsigned short usKeyFID = 0;
    OP_STEP(OP, "GetContainerInfo", GetContainerInfo(pszContainerName, byKeySpec, pbyAlgID, &usKeyFID, nullptr, false));
    return HandOutKey(this, OP, *pbyAlgID, usKeyFID, ppKeyCtx);
}

unsigned int CDeviceOperator::GetZValue(char *pszContainerName, unsigned char *pbyZValue)
{
    static const char *OP = "GetZValue";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyZValue);
    unsigned int ulRet = CheckContainerName(OP, pszContainerName);
    if (ulRet != 0) return ulRet;
    _QV_CONTAINER_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    strncpy(stInfo.szName, pszContainerName, CONTAINER_NAME_MAX);
    OP_STEP(OP, "ReadContainer", ReadContainer(&stInfo, false));
    bool bSign = stInfo.bySignKeyAlg != 0;
    unsigned char byAlgID = bSign ? stInfo.bySignKeyAlg : stInfo.byExchKeyAlg;
    unsigned short usKeyFID = (unsigned short)((stInfo.pbFileBase[0] << 8 | stInfo.pbFileBase[1]) |
                                               (bSign ? KEY_SPEC_SIGNATURE : KEY_SPEC_EXCHANGE));
    OP_CHECK(OP, byAlgID == TOKEN_ALG_SM2, "byAlgID", ERR_BAD_ALGORITHM);
    _QV_SM2_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ExportPublicKey",
            m_pDeviceContext->GetAPDUKey()->ExportPublicKey(OPERATOR_APP_ID, usKeyFID, TOKEN_ALG_SM2, &stKey));
    OP_STEP(OP, "SM2_GetZVal", SM2_GetZVal(&stKey, pbyZValue));
    return 0;
}

unsigned int CDeviceOperator::NewAsymKey(unsigned char byAlgID, unsigned short usKeyFID, CAsymKeyObject **ppKeyCtx)
{
    static const char *OP = "NewAsymKey";
    OP_CHECK(OP, ppKeyCtx != nullptr, "ppKeyCtx", ERR_NULL_ARGUMENT);
    CAsymKeyObject *pKey = nullptr;
    if (byAlgID == TOKEN_ALG_SM2) {
        pKey = new (std::nothrow) CSM2DevObj();
    } else if (byAlgID == TOKEN_ALG_RSA1024 || byAlgID == TOKEN_ALG_RSA2048) {
        pKey = new (std::nothrow) CRSADevObj();
    } else {
        TRACE_STEP_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    OP_CHECK(OP, pKey != nullptr, "new CAsymKeyObject", ERR_NO_MEMORY);
    pKey->SetDeviceContext(m_pDeviceContext);
    pKey->SetAlgID(byAlgID);
    pKey->SetKeyFID(usKeyFID);
    *ppKeyCtx = pKey;
    return 0;
}

unsigned int CDeviceOperator::ImportEncSessionKey(unsigned short usKeyID, unsigned char *pbySymKeyBuf,
                                                  unsigned int nSymKeyLen)
{
    static const char *OP = "ImportEncSessionKey";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbySymKeyBuf);
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    m_pDeviceContext->ClaimKeySlot(true);  /* the slot gets the imported key, even if the answer is lost */
    OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->ImportEncSymKey",
            m_pDeviceContext->GetAPDUKey()->ImportEncSymKey(AuthCode(m_pDeviceContext), OPERATOR_APP_ID, usKeyID,
                                                            pbySymKeyBuf, nSymKeyLen));
    return 0;
}

unsigned int CDeviceOperator::InitSymKey(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                         unsigned char *pbyKey, unsigned char *pbyIV, void **phKeyHandle)
{
    OP_STEP("InitSymKey", "QV_SYMKEY_HANDLE::Initialize",
            CSymKeyHandle::Initialize(byAlgID, byCryptType, byMode, pbyKey, pbyIV, phKeyHandle));
    return 0;
}

unsigned int CDeviceOperator::SignWithAdminKey(unsigned char *pbyRawBuf, unsigned int nRawLen,
                                               unsigned char *pbySignBuf, unsigned int *pnSignLen)
{
    static const char *OP = "SignWithAdminKey";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyRawBuf);
    OP_CHECK_PTR(OP, pbySignBuf);
    OP_CHECK_PTR(OP, pnSignLen);
    unsigned char byAlgID =
        m_pDeviceContext->GetDeviceHandle()->m_byAlgID == AUTH_KEY_FORM_SM2 ? TOKEN_ALG_SM2 : TOKEN_ALG_RSA1024;
    /* The token answers up to 128 bytes into the caller's buffer. */
    unsigned int ulNeeded = byAlgID == TOKEN_ALG_SM2 ? SM2_SIGNATURE_LEN : RSA1024_BYTES;
    OP_CHECK_SIZE(OP, *pnSignLen >= ulNeeded, "CHECK *pnSignLen SIZE", ERR_BUFFER_TOO_SMALL, pnSignLen, ulNeeded);
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    OP_STEP(OP, "m_pDeviceContext->GetAPDUCrypto()->SignWithAdminKey",
            m_pDeviceContext->GetAPDUCrypto()->SignWithAdminKey(AuthCode(m_pDeviceContext), byAlgID, pbyRawBuf,
                                                                nRawLen, pbySignBuf, pnSignLen));
    return 0;
}

unsigned int CDeviceOperator::GenerateRandom(unsigned char bySource, unsigned char byLen, unsigned char *pbyRandomData)
{
    static const char *OP = "GenerateRandom";
    OP_CHECK_PTR(OP, pbyRandomData);
    if (bySource == 1) {
        OP_CHECK_PTR(OP, m_pDeviceContext);
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->GenRandom",
                m_pDeviceContext->GetAPDUKey()->GenRandom(byLen, pbyRandomData));
    } else {
        OP_STEP(OP, "GenRand", GenRand(byLen, pbyRandomData, true));
    }
    return 0;
}

unsigned int CDeviceOperator::HashInit(unsigned char byAlgID, void **ppHashHandle)
{
    static const char *OP = "HashInit";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, ppHashHandle);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUCrypto()->HashInit", m_pDeviceContext->GetAPDUCrypto()->HashInit(byAlgID));
    return 0;
}

unsigned int CDeviceOperator::HashUpdate(unsigned char *pbyDataBuf, unsigned int nDataLen)
{
    static const char *OP = "HashUpdate";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyDataBuf);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUCrypto()->HashUpdate",
            m_pDeviceContext->GetAPDUCrypto()->HashUpdate(pbyDataBuf, nDataLen));
    return 0;
}

unsigned int CDeviceOperator::HashFinal(unsigned char *pbyDigestBuf, unsigned int *pnDigestLen)
{
    static const char *OP = "HashFinal";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyDigestBuf);
    OP_CHECK_PTR(OP, pnDigestLen);
    /* The token's digest (up to 64 bytes) goes to a local buffer first: the
     * caller's size is its room. */
    unsigned char pbDigest[64];
    unsigned int ulLen = sizeof(pbDigest);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUCrypto()->HashFinal",
            m_pDeviceContext->GetAPDUCrypto()->HashFinal(pbDigest, &ulLen));
    OP_CHECK_SIZE(OP, ulLen <= *pnDigestLen, "CHECK *pnDigestLen SIZE", ERR_BUFFER_TOO_SMALL, pnDigestLen, ulLen);
    memcpy(pbyDigestBuf, pbDigest, ulLen);
    *pnDigestLen = ulLen;
    return 0;
}
