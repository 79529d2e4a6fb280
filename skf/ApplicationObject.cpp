/* CApplicationObject: the PIN operations with the PIN policy and the
 * container operations.  The SKF file layer is in ApplicationFiles.cpp. */
#include "skf/ApplicationObject.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "SarnCore/OperatorSteps.h"
#include "log/vexa_log.h"
#include "skf/ContainerObject.h"
#include "skf/PlaceholderPin.h"

#define PIN_MIN_LEN 6u
#define PIN_MAX_LEN 16u
#define PIN_CLASS_LETTER 1u
#define PIN_CLASS_DIGIT 2u
#define PIN_CLASS_PUNCT 4u
#define PIN_RETRY_STATUS 0x800063C0u  /* token status 63Cx: x tries left */
#define PIN_LENGTH_BYTE_MAX 255u       /* the operator takes PIN lengths as bytes */
#define SINGLE_CERT_SUFFIX "#2"

CApplicationObject::CApplicationObject(CDeviceContext *pDeviceContext)
    : CDialogObject(pDeviceContext),
      m_szAppName(),
      m_pbRecords(),
      m_bRecordsKnown(false),
      m_bRecordFile(false),
      m_ulRecordFileSize(0),
      m_bRecordFileInDoubt(false),
      m_pbLayoutKnown(),
      m_pstLayouts(),
      m_ullChangesSeen(0),
      m_ullConnectionSeen(0)
{
    CDeviceContext::TraceInfo("CApplicationObject: Constructor");
}

CApplicationObject::~CApplicationObject() { CDeviceContext::TraceInfo("CApplicationObject: Destructor"); }

void CApplicationObject::SetApplicationName(char *pszName)
{
    size_t n = strlen(pszName);
    memcpy(m_szAppName, pszName, n < SKF_APP_NAME_FIELD - 1 ? n : SKF_APP_NAME_FIELD - 1);
}

/* ---- PINs ---- */

/* Compared only within the caller's PIN: a shorter PIN is never read past
 * its terminator. */
static bool IsPlaceholderPin(const char *pszPin)
{
    if (strnlen(pszPin, SKF_PLACEHOLDER_PIN_LEN) < SKF_PLACEHOLDER_PIN_LEN) return false;
    char szPlaceholder[SKF_PLACEHOLDER_PIN_LEN];
    BuildPlaceholderPin(szPlaceholder);
    bool bSame = CRYPTO_memcmp(pszPin, szPlaceholder, SKF_PLACEHOLDER_PIN_LEN) == 0;
    OPENSSL_cleanse(szPlaceholder, sizeof(szPlaceholder));
    return bSame;
}

/* The token knows two PINs; a wider type must not reach it cut to a byte. */
static bool IsPinType(unsigned int ulPINType) { return ulPINType == ADMIN_TYPE || ulPINType == USER_TYPE; }

unsigned int CApplicationObject::PinFailure(unsigned int ulRet, unsigned int *pulRetryCount)
{
    if ((ulRet & ~0xFu) != PIN_RETRY_STATUS) return ulRet;
    *pulRetryCount = ulRet & 0xFu;
    return *pulRetryCount == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
}

unsigned int CApplicationObject::VerifyPIN(unsigned int ulPINType, char *pszPin, unsigned int *pulRetryCount)
{
    static const char *OP = "VerifyPIN";
    OP_CHECK(OP, IsPinType(ulPINType), "ulPINType", SAR_USER_TYPE_INVALID);
    OP_CHECK(OP, pszPin != nullptr, "pszPinBuf", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulRetryCount != nullptr, "pulRetryCount", SAR_INVALIDPARAMERR);
    unsigned int ulRet = 0;
    if (ulPINType == USER_TYPE && IsPlaceholderPin(pszPin)) {
        ulRet = CheckUserPIN(true);
        if (ulRet == 0) {
            TRACE_STEP_OK(OP, "CheckUserPIN");
            return 0;
        }
        TRACE_STEP_FAIL(OP, "CheckUserPIN", ulRet);
        return PinFailure(ulRet, pulRetryCount);
    }
    size_t nLen = strnlen(pszPin, PIN_MAX_LEN + 1);
    OP_CHECK(OP, nLen >= PIN_MIN_LEN && nLen <= PIN_MAX_LEN, "pszPinBuf length", SAR_INDATALENERR);
    ulRet = VerifyAndProtectPIN(ulPINType, pszPin, (unsigned int)nLen);
    if (ulRet == 0) {
        TRACE_STEP_OK(OP, "VerifyAndProtectPIN");
        return 0;
    }
    TRACE_STEP_FAIL(OP, "VerifyAndProtectPIN", ulRet);
    return PinFailure(ulRet, pulRetryCount);
}

/* Letters, digits and punctuation; 0 for any other character. */
static unsigned int PinCharClass(unsigned char ch)
{
    if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')) return PIN_CLASS_LETTER;
    if (ch >= '0' && ch <= '9') return PIN_CLASS_DIGIT;
    if ((ch >= 33 && ch <= 47) || (ch >= 58 && ch <= 64) || (ch >= 91 && ch <= 96) || (ch >= 123 && ch <= 126))
        return PIN_CLASS_PUNCT;
    return 0;
}

/* At least two of the three classes among the first 16 characters, and no
 * character outside them. */
static bool IsStrongPin(const char *pszPin)
{
    unsigned int ulClasses = 0;
    for (unsigned int i = 0; i < PIN_MAX_LEN && pszPin[i] != '\0'; ++i) {
        unsigned int ulClass = PinCharClass((unsigned char)pszPin[i]);
        if (ulClass == 0) return false;
        ulClasses |= ulClass;
    }
    return __builtin_popcount(ulClasses) >= 2;
}

unsigned int CApplicationObject::ChangePIN(unsigned int ulPINType, char *pszOldPin, char *pszNewPin,
                                           unsigned int *pulRetryCount)
{
    static const char *OP = "ChangePIN";
    OP_CHECK(OP, IsPinType(ulPINType), "ulPINType", SAR_USER_TYPE_INVALID);
    OP_CHECK(OP, pszOldPin != nullptr, "pszOldPin", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pszNewPin != nullptr, "pszNewPin", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulRetryCount != nullptr, "pulRetryCount", SAR_INVALIDPARAMERR);
    if (strcmp(pszOldPin, pszNewPin) == 0) {
        TRACE_STEP_FAIL(OP, "strcmp(pszOldPin, pszNewPin)", SAR_PIN_INVALID);
        return SAR_PIN_INVALID;
    }
    if (!IsStrongPin(pszNewPin)) {
        TRACE_STEP_FAIL(OP, "regcomp", SAR_PIN_INVALID);
        return SAR_PIN_INVALID;
    }
    /* A longer PIN would reach the token cut to its length modulo 256. */
    size_t nOldLen = strnlen(pszOldPin, PIN_LENGTH_BYTE_MAX + 1);
    size_t nNewLen = strnlen(pszNewPin, PIN_LENGTH_BYTE_MAX + 1);
    OP_CHECK(OP, nOldLen <= PIN_LENGTH_BYTE_MAX, "pszOldPin length", SAR_PIN_LEN_RANGE);
    OP_CHECK(OP, nNewLen <= PIN_LENGTH_BYTE_MAX, "pszNewPin length", SAR_PIN_LEN_RANGE);
    OperationCallbackContext stContext = {0, this};
    unsigned int ulRet = CBrioOperator::ChangePIN((unsigned char)ulPINType, pszOldPin, (unsigned char)nOldLen,
                                                  pszNewPin, (unsigned char)nNewLen, SKFOperationCallback, &stContext);
    if (ulRet == 0) {
        TRACE_STEP_OK(OP, "CBrioOperator::ChangePIN");
        return 0;
    }
    TRACE_STEP_FAIL(OP, "CBrioOperator::ChangePIN", ulRet);
    return PinFailure(ulRet, pulRetryCount);
}

unsigned int CApplicationObject::UnlockPIN(char *, char *, unsigned int *)
{
    TRACE_STEP_FAIL("UnlockPIN", "Unsupported function", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CApplicationObject::GetPINStatus(unsigned int ulPINType, unsigned int *pulMaxRetry,
                                              unsigned int *pulRemainRetry, bool *pbDefault)
{
    static const char *OP = "GetPINStatus";
    OP_CHECK(OP, IsPinType(ulPINType), "ulPINType", SAR_USER_TYPE_INVALID);
    unsigned char byRemain = 0, byStatus = 0, byDefault = 0, byMax = 0;
    OP_STEP(OP, "CDeviceOperator::GetPINStatus",
            CDeviceOperator::GetPINStatus((unsigned char)ulPINType, &byRemain, &byStatus, &byDefault, &byMax));
    if (pulMaxRetry != nullptr) *pulMaxRetry = byMax;
    if (pulRemainRetry != nullptr) *pulRemainRetry = byRemain;
    if (pbDefault != nullptr) *pbDefault = byDefault != 0;
    return 0;
}

unsigned int CApplicationObject::ClearAuthCode()
{
    OP_STEP("ClearAuthCode", "CDeviceOperator::ClearAuthCode", CDeviceOperator::ClearAuthCode());
    return 0;
}

/* ---- containers ---- */

char *CApplicationObject::NewContainerName(char *pszName, bool *pbSingleCert)
{
    size_t nLen = strlen(pszName);
    if (nLen >= BRIO_MAX_BUFFER_SIZE) {
        TRACE_STEP_FAIL("NewContainerName", "Check buffer size", ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t nSuffix = sizeof(SINGLE_CERT_SUFFIX) - 1;
    bool bSingle = nLen >= nSuffix && memcmp(pszName + nLen - nSuffix, SINGLE_CERT_SUFFIX, nSuffix) == 0;
    char *pszCopy = new (std::nothrow) char[nLen + 1]();
    if (pszCopy == nullptr) return nullptr;
    memcpy(pszCopy, pszName, bSingle ? nLen - nSuffix : nLen);
    if (pbSingleCert != nullptr) *pbSingleCert = bSingle;
    return pszCopy;
}

unsigned int CApplicationObject::EnumContainer(char *pszNames, unsigned int *pulSize)
{
    static const char *OP = "EnumContainer";
    OP_CHECK(OP, pulSize != nullptr, "pulSize", SAR_INVALIDPARAMERR);
    unsigned int ulSize = 0;
    OP_STEP(OP, "CDeviceOperator::EnumContainer(NULL)", CDeviceOperator::EnumContainer(nullptr, &ulSize, true));
    if (pszNames == nullptr) {
        TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pszContainerNames", 0ul, BRIO_FILE_NAME,
              __LINE__);
        *pulSize = ulSize;
        return 0;
    }
    OP_CHECK_SIZE(OP, *pulSize >= ulSize, "CHECK *pulSize SIZE", SAR_BUFFER_TOO_SMALL, pulSize, ulSize);
    /* The list of the cache just read, straight into the caller's room (an
     * application without containers lists nothing, size 0). */
    unsigned int ulRoom = *pulSize;
    unsigned int ulRet = CDeviceOperator::EnumContainer(pszNames, &ulRoom, true);
    OP_CHECK_SIZE(OP, ulRet == 0, "CDeviceOperator::EnumContainer", ulRet, pulSize, ulSize);
    *pulSize = ulSize;
    return 0;
}

unsigned int CApplicationObject::CreateContainer(char *pszName, void **phContainer)
{
    static const char *OP = "CreateContainer";
    OP_CHECK(OP, pszName != nullptr, "pszContainerName", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, phContainer != nullptr, "phContainer", SAR_INVALIDPARAMERR);
    bool bSingle = false;
    char *pszStripped = NewContainerName(pszName, &bSingle);
    OP_CHECK(OP, pszStripped != nullptr, "NewContainerName", SAR_MEMORYERR);
    unsigned int ulRet = CDeviceOperator::CreateContainer(pszStripped);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "CDeviceOperator::CreateContainer", ulRet);
    } else {
        TRACE_STEP_OK(OP, "CDeviceOperator::CreateContainer");
        /* Stripped once: the handle is bound to the container just made. */
        ulRet = OpenStrippedContainer(pszStripped, phContainer);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "OpenContainer", ulRet);
    }
    if (ulRet == 0 && bSingle) {
        static_cast<CContainerObject *>(*phContainer)->SetSingleCert(true);
        TRACE(LOG_LEVEL_INFO, "%s - SetSingleCert(TRUE)", OP);
    }
    delete[] pszStripped;
    return ulRet;
}

unsigned int CApplicationObject::OpenContainer(char *pszName, void **phContainer)
{
    static const char *OP = "OpenContainer";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    OP_CHECK(OP, pszName != nullptr, "pszContainerName", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, phContainer != nullptr, "phContainer", SAR_INVALIDPARAMERR);
    char *pszStripped = NewContainerName(pszName, nullptr);
    OP_CHECK(OP, pszStripped != nullptr, "NewContainerName", SAR_MEMORYERR);
    unsigned int ulRet = OpenStrippedContainer(pszStripped, phContainer);
    delete[] pszStripped;
    return ulRet;
}

unsigned int CApplicationObject::OpenStrippedContainer(const char *pszName, void **phContainer)
{
    static const char *OP = "OpenContainer";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    /* The record's name field keeps its terminator: a longer name is not a
     * container name (and must not open the one its first 39 characters
     * name). */
    size_t nName = strnlen(pszName, CONTAINER_NAME_MAX + 1);
    OP_CHECK(OP, nName <= CONTAINER_NAME_MAX, "pszContainerName length", ERR_BAD_LENGTH);
    CContainerObject *pContainer = new (std::nothrow) CContainerObject(m_pDeviceContext);
    OP_CHECK(OP, pContainer != nullptr, "new SKF_CONTAINER_OBJECT", SAR_MEMORYERR);
    _QV_CONTAINER_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    memcpy(stInfo.szName, pszName, nName);
    unsigned int ulRet = pContainer->ReadContainer(&stInfo, false);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "ReadContainer", ulRet);
        delete pContainer;
        return ulRet;
    }
    pContainer->SetContainerName(const_cast<char *>(pszName));
    *phContainer = pContainer;
    return 0;
}

unsigned int CApplicationObject::DeleteContainer(char *pszName)
{
    static const char *OP = "DeleteContainer";
    OP_CHECK(OP, pszName != nullptr, "pszContainerName", SAR_INVALIDPARAMERR);
    char *pszStripped = NewContainerName(pszName, nullptr);
    OP_CHECK(OP, pszStripped != nullptr, "NewContainerName", SAR_MEMORYERR);
    unsigned int ulRet = CDeviceOperator::DeleteContainer(pszStripped);
    delete[] pszStripped;
    OP_STEP(OP, "CDeviceOperator::DeleteContainer", ulRet);
    /* The signal's outcome does not change the deletion's. */
    ulRet = BroadcastCert();
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "BroadcastCert", ulRet);
    return 0;
}
