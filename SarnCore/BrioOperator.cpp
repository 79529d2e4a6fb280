#include "SarnCore/BrioOperator.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/OperatorSteps.h"
#include "SarnCore/GMSymKeyHandle.h"
#include "SoftCrypto/SymKeyHandle.h"

static const unsigned short APP = OPERATOR_APP_ID;

CBrioOperator::CBrioOperator(CDeviceContext *pDeviceContext) : CDeviceOperator(pDeviceContext)
{
    m_ulFlashReadUnit = BRIO_FLASH_READ_UNIT;
    CDeviceContext::TraceInfo("CBrioOperator: Constructor");
}

CBrioOperator::~CBrioOperator()
{
    CDeviceContext::TraceInfo("CBrioOperator: Destructor");
}

thread_local bool CBrioOperator::s_bInPressButtonWait = false;

void CBrioOperator::LogChange(const char *pszOperation, const char *pszTag)
{
    if (s_bInPressButtonWait) {
        CDeviceContext::TraceInfo("%s - RecordSarnLog left to the waiting thread", pszOperation);
        return;
    }
    LogOperation(pszOperation, pszTag);
}

unsigned int CBrioOperator::SendRecovering(const char *pszOperation, const char *pszStep,
                                           const std::function<unsigned int()> &fnSend)
{
    unsigned int ulRet = 0;
    {
        /* The first secure command of a connection finds no channel, and
         * one that another connection replaced is refused: both are the
         * answers on which the channel is set up and the command sent again. */
        CExpectedStepCode channel(ApduChannelRefused);
        ulRet = fnSend();
        if (ApduChannelRefused(ulRet)) TRACE_STEP_FAIL(pszOperation, pszStep, ulRet);
    }
    if (ApduChannelRefused(ulRet)) {
        if (m_pDeviceContext != nullptr) m_pDeviceContext->DisownKeySlot();
        OP_STEP(pszOperation, "SetSessionKey", SetSessionKey(true));
        ulRet = fnSend();
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(pszOperation, pszStep, ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(pszOperation, pszStep);
    return 0;
}

unsigned int CBrioOperator::ProductPin(const char *pszOperation, CAPDUPinBrio **ppPin)
{
    CAPDUPinBrio *pPin = m_pDeviceContext == nullptr ? nullptr
                                                     : dynamic_cast<CAPDUPinBrio *>(m_pDeviceContext->GetAPDUPin());
    if (pPin == nullptr || m_pDeviceContext->GetDeviceHandle() == nullptr) {
        TRACE_STEP_FAIL(pszOperation, "DYNAMIC_CAST m_pApduPin", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    *ppPin = pPin;
    return 0;
}

/* The 132-byte transfer key and the 16-byte challenge of a challenge answer. */
struct PinChallenge {
    unsigned char pbChallenge[PIN_CHALLENGE_LEN];
    unsigned char pbKey[PIN_KEY_LEN];
    ~PinChallenge() { OPENSSL_cleanse(pbChallenge, sizeof(pbChallenge)); }
};

/* The PIN protection of a challenge answer, 128 bytes to pbCipher. */
static unsigned int Protect(const char *pszOperation, const PinChallenge &stChallenge, const void *pPin,
                            unsigned int ulPinLen, const void *pNewPin, unsigned int ulNewLen, unsigned char *pbCipher)
{
    return CDeviceOperator::ProtectPIN(pszOperation, stChallenge.pbKey, stChallenge.pbChallenge,
                                       static_cast<const unsigned char *>(pPin), ulPinLen,
                                       static_cast<const unsigned char *>(pNewPin), ulNewLen, pbCipher);
}

unsigned int CBrioOperator::ProtectedChallenge(const char *pszOperation, const char *pszStep,
                                               const std::function<unsigned int(unsigned char *, unsigned char *)> &fnRequest,
                                               const void *pPin, unsigned int ulPinLen, const void *pNewPin,
                                               unsigned int ulNewLen, unsigned char *pbCipher)
{
    PinChallenge stChallenge;
    unsigned int ulRet = SendRecovering(pszOperation, pszStep,
                                        [&] { return fnRequest(stChallenge.pbChallenge, stChallenge.pbKey); });
    if (ulRet != 0) return ulRet;
    return Protect(pszOperation, stChallenge, pPin, ulPinLen, pNewPin, ulNewLen, pbCipher);
}

unsigned int CBrioOperator::VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen)
{
    static const char *OP = "VerifyPIN";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    OP_CHECK_PTR(OP, pszPinBuf);
    CAPDUPinBrio *pPin = nullptr;
    if (unsigned int ulRet = ProductPin(OP, &pPin)) return ulRet;

    unsigned char pbCipher[PIN_CIPHER_LEN];
    unsigned int ulRet = ProtectedChallenge(
        OP, "pDeviceContext->GetAPDUPin()->VerifyPIN_Request",
        [&](unsigned char *pbC, unsigned char *pbK) { return pPin->VerifyPIN_Request(APP, byPINType, pbC, pbK); },
        pszPinBuf, byPinLen, nullptr, 0, pbCipher);
    if (ulRet != 0) return ulRet;

    unsigned char pbCode[PIN_AUTH_CODE_LEN] = {0};
    unsigned int ulCodeLen = sizeof(pbCode);
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    ulRet = pPin->VerifyPIN_Response(APP, pbCipher, PIN_CIPHER_LEN, pbCode, &ulCodeLen);
    if (ulRet == 0) ulRet = pInfo->SetAuthCode(pbCode, ulCodeLen);
    OPENSSL_cleanse(pbCode, sizeof(pbCode));
    if (ulRet != 0) {
        pInfo->SetAuthCode(nullptr, 0);
        TRACE_STEP_FAIL(OP, "pDeviceContext->GetAPDUPin()->VerifyPIN_Response", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "pDeviceContext->GetAPDUPin()->VerifyPIN_Response");
    return 0;
}

unsigned int CBrioOperator::ChangePINProtected(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                               char *pszNewPin, unsigned char byNewLen)
{
    static const char *OP = "ChangePIN";
    OP_CHECK_PTR(OP, pszOldPin);
    OP_CHECK_PTR(OP, pszNewPin);
    CAPDUPinBrio *pPin = nullptr;
    if (unsigned int ulRet = ProductPin(OP, &pPin)) return ulRet;

    unsigned char pbCipher[PIN_CIPHER_LEN];
    unsigned int ulRet = ProtectedChallenge(
        OP, "pDeviceContext->GetAPDUPin()->ChangePIN_Request",
        [&](unsigned char *pbC, unsigned char *pbK) { return pPin->ChangePIN_Request(APP, byPINType, pbC, pbK); },
        pszOldPin, byOldLen, pszNewPin, byNewLen, pbCipher);
    if (ulRet != 0) return ulRet;
    OP_STEP(OP, "pDeviceContext->GetAPDUPin()->ChangePIN_Response",
            pPin->ChangePIN_Response(APP, pbCipher, PIN_CIPHER_LEN));
    LogChange(OP, "ChgPin");
    return 0;
}

unsigned int CBrioOperator::ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                      char *pszNewPin, unsigned char byNewLen)
{
    OP_CHECK("ChangePIN", m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    unsigned int ulRet = ChangePINProtected(byPINType, pszOldPin, byOldLen, pszNewPin, byNewLen);
    /* A changed PIN (or a failed change) is verified again. */
    if (m_pDeviceContext->GetDeviceHandle() != nullptr) m_pDeviceContext->GetDeviceHandle()->SetAuthCode(nullptr, 0);
    return ulRet;
}

unsigned int CBrioOperator::InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf,
                                          unsigned int &nBufLen)
{
    static const char *OP = "InitTokenUser";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    /* Resetting the application may take its files with it. */
    m_pDeviceContext->BumpFileLayerChangeCounter();
    OP_CHECK_PTR(OP, pbyResetBuf);
    OP_CHECK(OP, byResetFlag >= RESET_WITH_PIN && byResetFlag <= RESET_SEND_ANSWER, "byResetFlag", ERR_BAD_FLAG);
    CAPDUPin *pPin = m_pDeviceContext->GetAPDUPin();
    OP_CHECK(OP, pPin != nullptr, "m_pApduPin", ERR_NULL_ARGUMENT);
    PinChallenge stChallenge;
    auto fnRequest = [&] { return pPin->ResetApp_Request(APP, stChallenge.pbChallenge, stChallenge.pbKey); };

    if (byResetFlag == RESET_FETCH_REQUEST) {
        unsigned int ulRet = SendRecovering(OP, "pDeviceContext->GetAPDUPin()->ResetApp_Request(KEY)", fnRequest);
        if (ulRet != 0) return ulRet;
        CAPDUChip *pChip = m_pDeviceContext->GetAPDUChip();
        OP_CHECK(OP, pChip != nullptr, "m_pApduChip", ERR_NULL_ARGUMENT);
        unsigned char pbSN[CHIP_SN_LEN] = {0};
        unsigned int ulSNLen = sizeof(pbSN);
        OP_STEP(OP, "pDeviceContext->GetAPDUChip()->GetTokenSN", pChip->GetTokenSN(pbSN, &ulSNLen));
        unsigned int ulNeeded = ulSNLen + PIN_CHALLENGE_LEN;
        if (nBufLen < ulNeeded) {
            nBufLen = ulNeeded;
            TRACE_STEP_FAIL(OP, "CHECK nBufLen", ERR_BUFFER_TOO_SMALL);
            return ERR_BUFFER_TOO_SMALL;
        }
        memcpy(pbyResetBuf, pbSN, ulSNLen);
        memcpy(pbyResetBuf + ulSNLen, stChallenge.pbChallenge, PIN_CHALLENGE_LEN);
        nBufLen = ulNeeded;
        return 0;
    }
    if (byResetFlag == RESET_SEND_ANSWER) {
        unsigned int ulRet = SendRecovering(OP, "pDeviceContext->GetAPDUPin()->ResetApp_Response", [&] {
            return pPin->ResetApp_Response(APP, RESET_SEND_ANSWER, pbyResetBuf, nBufLen);
        });
        if (ulRet != 0) return ulRet;
    } else {
        unsigned char pbCipher[PIN_CIPHER_LEN];
        unsigned int ulRet = ProtectedChallenge(
            OP, "pDeviceContext->GetAPDUPin()->ResetApp_Request(PIN)",
            [&](unsigned char *pbC, unsigned char *pbK) { return pPin->ResetApp_Request(APP, pbC, pbK); },
            pbyResetBuf, nBufLen, nullptr, 0, pbCipher);
        if (ulRet != 0) return ulRet;
        OP_STEP(OP, "pDeviceContext->GetAPDUPin()->ResetApp_Response",
                pPin->ResetApp_Response(APP, RESET_WITH_PIN, pbCipher, PIN_CIPHER_LEN));
    }
    LogChange(OP, "RstApp");
    return 0;
}

unsigned int CBrioOperator::InitSymKey(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                       unsigned char *pbyKey, unsigned char *pbyIV, void **phKeyHandle)
{
    static const char *OP = "InitSymKey";
    if (byAlgID == ALG_SM1) {
        OP_STEP(OP, "QV_GMSYMKEY_HANDLE::Initialize",
                CGMSymKeyHandle::Initialize(m_pDeviceContext, ALG_SM1, byCryptType, byMode, pbyKey, pbyIV,
                                            phKeyHandle));
        return 0;
    }
    OP_STEP(OP, "QV_SYMKEY_HANDLE::Initialize",
            CSymKeyHandle::Initialize(byAlgID, byCryptType, byMode, pbyKey, pbyIV, phKeyHandle));
    return 0;
}
