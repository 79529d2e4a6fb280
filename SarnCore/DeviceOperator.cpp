/* CDeviceOperator: construction, the start and end of a connection, the
 * external authentication, the container cache with the two token
 * operations that fill it, and the operations the class does not offer. */
#include "SarnCore/DeviceOperator.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/KeyObject.h"
#include "SarnCore/OperatorSteps.h"
#include "SoftCrypto/SymKeyHandle.h"

/* The master key from which the external-authentication key of a token is
 * derived with its chip serial number. */
static unsigned char g_pbExternAuthMaster[DEVINFO_KEY_LEN] = {0x3F, 0x7A, 0x19, 0xC2, 0xE0, 0x5B, 0x4D, 0x88,
                                                              0x61, 0xA2, 0xF0, 0xC9, 0x3E, 0x17, 0xB6, 0xD4};

CDeviceOperator::CDeviceOperator(CDeviceContext *pDeviceContext)
    : m_pDeviceContext(pDeviceContext), m_ulFlashWriteUnit(OPERATOR_FLASH_UNIT), m_ulFlashReadUnit(OPERATOR_FLASH_UNIT)
{
    CDeviceContext::TraceInfo("CDeviceOperator: Constructor");
}

CDeviceOperator::~CDeviceOperator()
{
    CDeviceContext::TraceInfo("CDeviceOperator: Destructor");
}

unsigned int CDeviceOperator::Initialize(unsigned int ulFlags)
{
    static const char *OP = "Initialize";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    /* Given back however the steps end (a derived operator's may throw). */
    CDevMutexLock lock(m_pDeviceContext);
    OP_STEP(OP, "WaitDevMutex", lock.Result());
    _QV_DEV_INFO stDevInfo;
    memset(&stDevInfo, 0, sizeof(stDevInfo));
    unsigned int ulRet = GetDeviceInfo(&stDevInfo);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "GetDeviceInfo", ulRet);
    } else {
        TRACE_STEP_OK(OP, "GetDeviceInfo");
        CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
        pInfo->m_byAlgID = (unsigned char)(stDevInfo.ulDevAuthAlgId >> 8);
        pInfo->m_pRootKey = pInfo->m_byAlgID == AUTH_KEY_FORM_SM2 ? (const void *)&g_stProdSM2PubKey
                                                                  : (const void *)&g_stProdRsaPubKey;
        pInfo->m_usKeyID = stDevInfo.usKeyID;
        if ((ulFlags & OPERATOR_INIT_NO_EXTERNAL_AUTH) == 0) {
            ulRet = ExternalAuth(nullptr);
            if (ulRet != 0) TRACE_STEP_FAIL(OP, "ExternalAuth", ulRet);
            else TRACE_STEP_OK(OP, "ExternalAuth");
        }
    }
    unsigned int ulRelease = lock.Release();
    if (ulRelease != 0) TRACE_STEP_FAIL(OP, "ReleaseDevMutex", ulRelease);
    else TRACE_STEP_OK(OP, "ReleaseDevMutex");
    return ulRet;
}

unsigned int CDeviceOperator::Finalize()
{
    static const char *OP = "Finalize";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_STEP(OP, "m_pDeviceContext->Close", m_pDeviceContext->Close());
    delete m_pDeviceContext;
    m_pDeviceContext = nullptr;
    return 0;
}

unsigned int CDeviceOperator::ComputeExternAuthKey(unsigned char *pbyChipSN, unsigned int nSNLen,
                                                   unsigned char *pbyExternAuthKey)
{
    static const char *OP = "ComputeExternAuthKey";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyChipSN);
    OP_CHECK_PTR(OP, pbyExternAuthKey);
    unsigned char byAlgID = m_pDeviceContext->GetDeviceHandle()->m_byAlgID;
    OP_STEP(OP, "CheckChannelCipher", CheckChannelCipher(byAlgID));
    unsigned char pbDigest[16];
    unsigned int ulDigestLen = sizeof(pbDigest);
    OP_STEP(OP, "Hash_Digest", Hash_Digest(SC_HASH_MD5, pbyChipSN, nSNLen, pbDigest, &ulDigestLen));
    unsigned char pbKey[2 * DEVINFO_KEY_LEN];
    unsigned int ulKeyLen = sizeof(pbKey);
    unsigned int ulRet = CSymKeyHandle::Encrypt(byAlgID, SC_MODE_CBC, g_pbExternAuthMaster, nullptr, pbDigest,
                                                ulDigestLen, pbKey, &ulKeyLen);
    if (ulRet == 0 && ulKeyLen < DEVINFO_KEY_LEN) ulRet = ERR_BAD_LENGTH;
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "CSymKeyHandle::Encrypt", ulRet);
    } else {
        TRACE_STEP_OK(OP, "CSymKeyHandle::Encrypt");
        memcpy(pbyExternAuthKey, pbKey, DEVINFO_KEY_LEN);
    }
    OPENSSL_cleanse(pbKey, sizeof(pbKey));
    OPENSSL_cleanse(pbDigest, sizeof(pbDigest));
    return ulRet;
}

unsigned int CDeviceOperator::ExternalAuth(unsigned char *pbyExternAuthKey)
{
    static const char *OP = "ExternalAuth";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    OP_STEP(OP, "CheckChannelCipher", CheckChannelCipher(pInfo->m_byAlgID));
    unsigned char pbKey[DEVINFO_KEY_LEN];
    unsigned char pbChallenge[PIN_CHALLENGE_LEN];
    unsigned char pbCrypt[2 * PIN_CHALLENGE_LEN];
    unsigned int ulRet = 0;
    const char *pszStep = "";
    do {
        if (pbyExternAuthKey == nullptr) {
            unsigned char pbChipSN[CHIP_SN_LEN];
            unsigned int ulSNLen = sizeof(pbChipSN);
            pszStep = "m_pDeviceContext->GetAPDUChip()->GetChipSN";
            ulRet = m_pDeviceContext->GetAPDUChip()->GetChipSN(pbChipSN, &ulSNLen);
            if (ulRet != 0) break;
            TRACE_STEP_OK(OP, pszStep);
            pszStep = "ComputeExternAuthKey";
            ulRet = ComputeExternAuthKey(pbChipSN, ulSNLen, pbKey);
            if (ulRet != 0) break;
            TRACE_STEP_OK(OP, pszStep);
        } else {
            memcpy(pbKey, pbyExternAuthKey, DEVINFO_KEY_LEN);
        }
        unsigned int ulChallengeLen = sizeof(pbChallenge);
        pszStep = "m_pDeviceContext->GetAPDUPin()->ExternalAuth_Request";
        ulRet = m_pDeviceContext->GetAPDUPin()->ExternalAuth_Request(pbChallenge, &ulChallengeLen);
        if (ulRet == 0 && ulChallengeLen == 0) ulRet = ERR_BAD_LENGTH;
        if (ulRet != 0) break;
        TRACE_STEP_OK(OP, pszStep);
        unsigned int ulCryptLen = sizeof(pbCrypt);
        pszStep = "CSymKeyHandle::Encrypt";
        ulRet = CSymKeyHandle::Encrypt(pInfo->m_byAlgID, SC_MODE_CBC, pbKey, nullptr, pbChallenge, ulChallengeLen,
                                       pbCrypt, &ulCryptLen);
        if (ulRet != 0) break;
        TRACE_STEP_OK(OP, pszStep);
        pszStep = "m_pDeviceContext->GetAPDUPin()->ExternalAuth_Response";
        ulRet = m_pDeviceContext->GetAPDUPin()->ExternalAuth_Response(pbCrypt, ulCryptLen);
        if (ulRet != 0) break;
        TRACE_STEP_OK(OP, pszStep);
        pszStep = "m_pDeviceContext->GetAPDUPin()->SetAuthKey";
        ulRet = pInfo->SetAuthKey(pbKey);
        if (ulRet != 0) break;
        TRACE_STEP_OK(OP, pszStep);
    } while (0);
    if (ulRet != 0) TRACE_STEP_FAIL(OP, pszStep, ulRet);
    OPENSSL_cleanse(pbKey, sizeof(pbKey));
    OPENSSL_cleanse(pbCrypt, sizeof(pbCrypt));
    return ulRet;
}

/* ---- the container cache ---- */

unsigned int CDeviceOperator::CheckContainerName(const char *pszOperation, const char *pszContainerName)
{
    OP_CHECK_PTR(pszOperation, pszContainerName);
    size_t nLen = strnlen(pszContainerName, CONTAINER_NAME_FIELD);
    OP_CHECK(pszOperation, nLen > 0 && nLen <= CONTAINER_NAME_MAX, "nNameLen", ERR_BAD_LENGTH);
    return 0;
}

_QV_CONTAINER_INFO *CDeviceOperator::FindContainerFromMemory(char *pszContainerName)
{
    if (pszContainerName == nullptr) return nullptr;
    for (auto &stInfo : m_vContainers) {
        if (strncmp(stInfo.szName, pszContainerName, CONTAINER_NAME_FIELD) == 0) return &stInfo;
    }
    return nullptr;
}

unsigned int CDeviceOperator::EraseContainerFromMemory(char *pszContainerName)
{
    _QV_CONTAINER_INFO *pInfo = FindContainerFromMemory(pszContainerName);
    if (pInfo == nullptr) return ERR_CONTAINER_NOT_FOUND;
    m_vContainers.erase(m_vContainers.begin() + (pInfo - m_vContainers.data()));
    return 0;
}

unsigned int CDeviceOperator::UpdateContainerKeyType(char *pszContainerName, unsigned char byKeySpec,
                                                     unsigned char byAlgID)
{
    OP_CHECK_PTR("UpdateContainerKeyType", pszContainerName);
    _QV_CONTAINER_INFO *pInfo = FindContainerFromMemory(pszContainerName);
    if (pInfo == nullptr) {
        CDeviceContext::TraceInfo("No found container named %s from memory.", pszContainerName);
        return 0;
    }
    pInfo->byType = byAlgID == TOKEN_ALG_SM2 ? 2 : 1;
    bool bSign = byKeySpec == KEY_SPEC_SIGNATURE;
    (bSign ? pInfo->bySignKeyAlg : pInfo->byExchKeyAlg) = byAlgID;
    CDeviceContext::TraceInfo("Update %s key of container named %s success.", bSign ? "SIGNATURE" : "EXCHANGE",
                              pszContainerName);
    return 0;
}

unsigned int CDeviceOperator::UpdateContainerCertFlag(char *pszContainerName, unsigned char byKeySpec)
{
    OP_CHECK_PTR("UpdateContainerCertFlag", pszContainerName);
    _QV_CONTAINER_INFO *pInfo = FindContainerFromMemory(pszContainerName);
    if (pInfo == nullptr) {
        CDeviceContext::TraceInfo("No found container named %s from memory.", pszContainerName);
        return 0;
    }
    bool bSign = byKeySpec == KEY_SPEC_SIGNATURE;
    (bSign ? pInfo->bySignCertFlag : pInfo->byExchCertFlag) = 1;
    CDeviceContext::TraceInfo("Update %s cert of container named %s success.", bSign ? "SIGNATURE" : "EXCHANGE",
                              pszContainerName);
    return 0;
}

unsigned int CDeviceOperator::GetContainerInfo(char *pszContainerName, unsigned char byKeySpec,
                                               unsigned char *pbyAlgID, unsigned short *pusKeyFID,
                                               unsigned short *pusCertFID, bool bCacheOnly)
{
    static const char *OP = "GetContainerInfo";
    unsigned int ulRet = CheckContainerName(OP, pszContainerName);
    if (ulRet != 0) return ulRet;
    _QV_CONTAINER_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    strncpy(stInfo.szName, pszContainerName, CONTAINER_NAME_MAX);
    OP_STEP(OP, "ReadContainer", ReadContainer(&stInfo, bCacheOnly));
    bool bSign = byKeySpec == KEY_SPEC_SIGNATURE;
    if (pbyAlgID != nullptr) *pbyAlgID = bSign ? stInfo.bySignKeyAlg : stInfo.byExchKeyAlg;
    unsigned short usFID = (unsigned short)(((stInfo.pbFileBase[0] << 8) | stInfo.pbFileBase[1]) | byKeySpec);
    if (pusKeyFID != nullptr) *pusKeyFID = usFID;
    if (pusCertFID != nullptr) *pusCertFID = usFID;
    return 0;
}

unsigned int CDeviceOperator::ReadContainer(_QV_CONTAINER_INFO *pContainer, bool bCacheOnly)
{
    static const char *OP = "ReadContainer";
    OP_CHECK_PTR(OP, pContainer);
    unsigned int ulRet = CheckContainerName(OP, pContainer->szName);
    if (ulRet != 0) return ulRet;
    _QV_CONTAINER_INFO *pCached = FindContainerFromMemory(pContainer->szName);
    if (pCached != nullptr) {
        memcpy(pContainer, pCached, offsetof(_QV_CONTAINER_INFO, szName));
        return 0;
    }
    OP_CHECK(OP, !bCacheOnly, "Invalid container name", ERR_CONTAINER_NOT_FOUND);
    OP_CHECK_PTR(OP, m_pDeviceContext);
    unsigned char pbAnswer[8];
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUContainer()->OpenContainer",
            m_pDeviceContext->GetAPDUContainer()->OpenContainer(pContainer->szName, pbAnswer, &ulAnswerLen));
    /* Bytes 0-7 are what the cache answers from: a shorter answer is wrong. */
    OP_CHECK(OP, ulAnswerLen == sizeof(pbAnswer), "OpenContainer answer length", ERR_BAD_LENGTH);
    memcpy(pContainer, pbAnswer, sizeof(pbAnswer));
    pContainer->byReserved8 = 0;
    pContainer->byNameLen = (unsigned char)strlen(pContainer->szName);
    _QV_CONTAINER_INFO stRecord;
    memset(&stRecord, 0, sizeof(stRecord));
    memcpy(&stRecord, pContainer, offsetof(_QV_CONTAINER_INFO, szName));
    memcpy(stRecord.szName, pContainer->szName, pContainer->byNameLen);
    m_vContainers.push_back(stRecord);
    return 0;
}

unsigned int CDeviceOperator::EnumContainer(char *pszNameList, unsigned int *pnSize, bool bFlag)
{
    static const char *OP = "EnumContainer";
    (void)bFlag;
    OP_CHECK_PTR(OP, pnSize);
    if (pszNameList != nullptr) {
        unsigned int ulNeeded = 0;
        for (const auto &stInfo : m_vContainers) ulNeeded += stInfo.byNameLen + 1u;
        if (ulNeeded != 0) ulNeeded += 1;
        OP_CHECK_SIZE(OP, *pnSize >= ulNeeded, "CHECK *pnSize SIZE", ERR_BUFFER_TOO_SMALL, pnSize, ulNeeded);
        unsigned int ulPos = 0;
        for (const auto &stInfo : m_vContainers) {
            memcpy(pszNameList + ulPos, stInfo.szName, stInfo.byNameLen);
            pszNameList[ulPos + stInfo.byNameLen] = '\0';
            ulPos += stInfo.byNameLen + 1u;
        }
        if (ulPos != 0) pszNameList[ulPos] = '\0';
        *pnSize = ulNeeded;
        return 0;
    }
    *pnSize = 0;
    OP_CHECK_PTR(OP, m_pDeviceContext);
    unsigned char pbList[CONTAINER_LIST_MAX];
    unsigned int ulListLen = sizeof(pbList);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUContainer()->EnumContainer",
            m_pDeviceContext->GetAPDUContainer()->EnumContainer(OPERATOR_APP_ID, (char *)pbList, &ulListLen));
    OP_CHECK(OP, ulListLen <= sizeof(pbList), "EnumContainer answer length", ERR_BAD_LENGTH);
    std::vector<_QV_CONTAINER_INFO> vRecords;
    unsigned int ulSize = 0;
    for (unsigned int ulOff = 0; ulOff + sizeof(_QV_CONTAINER_INFO) <= ulListLen; ulOff += sizeof(_QV_CONTAINER_INFO)) {
        _QV_CONTAINER_INFO stInfo;
        memcpy(&stInfo, pbList + ulOff, sizeof(stInfo));
        /* The name must fit its field with its terminating zero. */
        OP_CHECK(OP, stInfo.byNameLen > 0 && stInfo.byNameLen <= CONTAINER_NAME_MAX &&
                         strnlen(stInfo.szName, CONTAINER_NAME_FIELD) == stInfo.byNameLen,
                 "container record name", ERR_BAD_LENGTH);
        vRecords.push_back(stInfo);
        ulSize += stInfo.byNameLen + 1u;
    }
    m_vContainers.swap(vRecords);
    *pnSize = ulSize == 0 ? 0 : ulSize + 1;
    return 0;
}

/* ---- operations the class does not offer ---- */

static unsigned int Unsupported(const char *pszOperation)
{
    TRACE_STEP_FAIL(pszOperation, "Unsupported function", ERR_UNSUPPORTED);
    return ERR_UNSUPPORTED;
}

unsigned int CDeviceOperator::EraseMF()
{
    return Unsupported("EraseMF");
}

unsigned int CDeviceOperator::EraseCOS()
{
    return Unsupported("EraseCOS");
}

unsigned int CDeviceOperator::InitTokenFile()
{
    return Unsupported("InitTokenFile");
}

unsigned int CDeviceOperator::InitTokenApp()
{
    return Unsupported("InitTokenApp");
}

void CDeviceOperator::LogOperation(const char *pszOperation, const char *pszTag)
{
    unsigned int ulRet = RecordSarnLog((char *)pszTag);
    CDeviceContext::TraceInfo("RecordSarnLog [HRESULT:0x%x]", ulRet);
    if (ulRet == 0) TRACE_STEP_OK(pszOperation, "RecordSarnLog");
}
