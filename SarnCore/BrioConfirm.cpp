/* CBrioOperator: the press-button wait and the callback variants. */
#include <string.h>
#include <unistd.h>

#include "SarnCore/BrioOperator.h"
#include "SarnCore/KeyObject.h"
#include "SarnCore/OperatorSteps.h"

/* Hands a filled record to the callback; a record that cannot be written
 * ends the token's wait. */
static unsigned int AskCallback(const char *pszOperation, CDeviceContext *pDeviceContext, unsigned int ulWrite,
                                unsigned int ulCode, OperationCallback pfnCallback, void *pContext,
                                PressButtonRecord *pRecord)
{
    if (ulWrite != 0) {
        TRACE_STEP_FAIL(pszOperation, "PressButtonRecord", ulWrite);
        CBrioOperator::CancelPressButton(pDeviceContext);
        return ulWrite;
    }
    unsigned int ulRet = (unsigned int)pfnCallback(ulCode, pContext, pRecord);
    PressButtonWipe(pRecord);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(pszOperation, "OperationCallback", ulRet);
    } else {
        TRACE_STEP_OK(pszOperation, "OperationCallback");
    }
    return ulRet;
}

unsigned int CBrioOperator::VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen,
                                      OperationCallback pfnCallback, void *pContext)
{
    unsigned int ulRet =
        RunAwaitingButton(pfnCallback, [&] { return CBrioOperator::VerifyPIN(byPINType, pszPinBuf, byPinLen); });
    if (ulRet != SW_BUTTON_NOT_PRESSED || pfnCallback == nullptr) return ulRet;
    PressButtonRecord stRecord;
    unsigned int ulWrite = PressButtonWritePin(&stRecord, this, byPINType, pszPinBuf, byPinLen, pfnCallback);
    return AskCallback("VerifyPIN", m_pDeviceContext, ulWrite, CALLBACK_PRESS_VERIFY_PIN, pfnCallback, pContext,
                       &stRecord);
}

unsigned int CBrioOperator::ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                      char *pszNewPin, unsigned char byNewLen, OperationCallback pfnCallback,
                                      void *pContext)
{
    unsigned int ulRet = RunAwaitingButton(
        pfnCallback, [&] { return CBrioOperator::ChangePIN(byPINType, pszOldPin, byOldLen, pszNewPin, byNewLen); });
    if (ulRet != SW_BUTTON_NOT_PRESSED || pfnCallback == nullptr) return ulRet;
    PressButtonRecord stRecord;
    unsigned int ulWrite =
        PressButtonWriteChangePin(&stRecord, this, byPINType, pszOldPin, byOldLen, pszNewPin, byNewLen, pfnCallback);
    ulRet = AskCallback("ChangePIN", m_pDeviceContext, ulWrite, CALLBACK_PRESS_CHANGE_PIN, pfnCallback, pContext,
                        &stRecord);
    if (ulRet == 0) LogChange("ChangePIN", "ChgPin");
    return ulRet;
}

unsigned int CBrioOperator::InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf,
                                          unsigned int &nBufLen, OperationCallback pfnCallback, void *pContext)
{
    unsigned int ulRet = RunAwaitingButton(
        pfnCallback, [&] { return CBrioOperator::InitTokenUser(byResetFlag, pbyResetBuf, nBufLen); });
    if (ulRet != SW_BUTTON_NOT_PRESSED || pfnCallback == nullptr) return ulRet;
    PressButtonRecord stRecord;
    unsigned int ulWrite = PressButtonWriteReset(&stRecord, this, byResetFlag, pbyResetBuf, nBufLen, pfnCallback);
    ulRet = AskCallback("InitTokenUser", m_pDeviceContext, ulWrite, CALLBACK_PRESS_RESET, pfnCallback, pContext,
                        &stRecord);
    if (ulRet == 0) LogChange("InitTokenUser", "RstApp");
    return ulRet;
}

unsigned int CBrioOperator::CreateContainer(char *pszContainerName, OperationCallback pfnCallback, void *pContext)
{
    static const char *OP = "CreateContainer";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    OP_CHECK_PTR(OP, pszContainerName);
    auto fn = [&] { return CDeviceOperator::CreateContainer(pszContainerName); };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::DeleteContainer(char *pszContainerName, OperationCallback pfnCallback, void *pContext)
{
    static const char *OP = "DeleteContainer";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    OP_CHECK_PTR(OP, pszContainerName);
    auto fn = [&] { return CDeviceOperator::DeleteContainer(pszContainerName); };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::GenerateKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                            void **ppKeyCtx, OperationCallback pfnCallback, void *pContext)
{
    OP_CHECK_PTR("GenerateKeyPair", pszContainerName);
    auto fn = [&] { return CDeviceOperator::GenerateKeyPair(pszContainerName, byKeySpec, byAlgID, ppKeyCtx); };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::ImportKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                          void *pKeyBuf, unsigned int nKeyLen, void *pSymKeyBuf,
                                          unsigned int nSymKeyLen, void **ppKeyCtx, OperationCallback pfnCallback,
                                          void *pContext)
{
    static const char *OP = "ImportKeyPair";
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pKeyBuf);
    OP_CHECK(OP, byKeySpec == KEY_SPEC_EXCHANGE, "byKeyType", ERR_BAD_KEY_TYPE);
    auto fn = [&] {
        return CDeviceOperator::ImportKeyPair(pszContainerName, KEY_SPEC_EXCHANGE, byAlgID, pKeyBuf, nKeyLen,
                                              pSymKeyBuf, nSymKeyLen, ppKeyCtx);
    };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::ImportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                       unsigned int nCertLen, OperationCallback pfnCallback, void *pContext)
{
    static const char *OP = "ImportCert";
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pbyCertBuf);
    auto fn = [&] { return CDeviceOperator::ImportCert(pszContainerName, byKeySpec, pbyCertBuf, nCertLen); };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::ImportEncSessionKey(unsigned short usKeyID, unsigned char *pbySymKeyBuf,
                                                unsigned int nSymKeyLen, OperationCallback pfnCallback,
                                                void *pContext)
{
    OP_CHECK_PTR("ImportEncSessionKey", pbySymKeyBuf);
    auto fn = [&] { return CDeviceOperator::ImportEncSessionKey(usKeyID, pbySymKeyBuf, nSymKeyLen); };
    return RepeatAfterUserPin(fn(), pfnCallback, pContext, fn);
}

unsigned int CBrioOperator::CancelPressButton(CDeviceContext *pDeviceContext)
{
    static const char *OP = "CancelPressButton";
    OP_CHECK(OP, pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    CAPDUPin *pPin = pDeviceContext->GetAPDUPin();
    OP_CHECK(OP, pPin != nullptr, "m_pApduPin", ERR_NULL_ARGUMENT);
    OP_STEP(OP, "pDeviceContext->GetAPDUPin()->GetPINStatus",
            pPin->GetPINStatus(OPERATOR_APP_ID, 1, nullptr, nullptr, nullptr, nullptr));
    return 0;
}

/* The pending operation of a record, run once. */
static unsigned int RunPending(PressButtonArgs &stArgs, unsigned char *pbSignature, unsigned int *pulSignLen)
{
    switch (stArgs.byKind) {
    case 2:
        return static_cast<CBrioOperator *>(stArgs.pObject)
            ->VerifyPIN(stArgs.byParam, (char *)stArgs.pbPin, stArgs.byPinLen);
    case 3:
        return static_cast<CBrioOperator *>(stArgs.pObject)
            ->ChangePIN(stArgs.byParam, (char *)stArgs.pbPin, stArgs.byPinLen, (char *)stArgs.pbNewPin,
                        stArgs.byNewPinLen);
    case 4:
        *pulSignLen = PRESS_BUTTON_DATA_MAX;
        return static_cast<CAsymKeyObject *>(stArgs.pObject)
            ->SignDigest(stArgs.pbData, stArgs.ulDataLen, pbSignature, pulSignLen);
    default: {
        unsigned int ulLen = stArgs.ulDataLen;
        return static_cast<CBrioOperator *>(stArgs.pObject)->InitTokenUser(stArgs.byParam, stArgs.pbData, ulLen);
    }
    }
}

static CDeviceContext *ContextOf(const PressButtonArgs &stArgs)
{
    if (stArgs.byKind == 4)
        return static_cast<CDeviceContext *>(static_cast<CAsymKeyObject *>(stArgs.pObject)->GetDeviceContext());
    return static_cast<CBrioOperator *>(stArgs.pObject)->GetDeviceContext();
}

unsigned long CBrioOperator::WaitPressButton(void *pContext, void *pRecord)
{
    static const char *OP = "WaitPressButton";
    static const char *const STEP[] = {"VerifyPIN", "ChangePIN", "SignDigest", "InitTokenUser"};
    PressButtonRecord *pstRecord = static_cast<PressButtonRecord *>(pRecord);
    OP_CHECK(OP, pstRecord != nullptr, "pMiddlewareConext", ERR_NULL_ARGUMENT);
    PressButtonArgs stArgs;
    unsigned int ulRet = PressButtonRead(pstRecord, &stArgs);
    if (ulRet != 0) {
        PressButtonWipe(&stArgs);
        return ulRet;
    }
    unsigned char pbSignature[PRESS_BUTTON_DATA_MAX] = {0};
    unsigned int ulSignLen = 0;
    s_bInPressButtonWait = true;
    for (;;) {
        {
            /* "Not pressed yet" is what each round of the wait looks for. */
            CExpectedStepCode button(SW_BUTTON_NOT_PRESSED);
            ulRet = RunPending(stArgs, pbSignature, &ulSignLen);
        }
        if (ulRet != SW_BUTTON_NOT_PRESSED) break;
        unsigned int ulStatus = (unsigned int)stArgs.pfnCallback(CALLBACK_WAIT_STATUS, pContext, nullptr);
        if (ulStatus == SCARD_W_CANCELLED_BY_USER || ulStatus == SCARD_E_TIMEOUT) {
            unsigned int ulCancel = CancelPressButton(ContextOf(stArgs));
            CDeviceContext::TraceInfo("CancelPressButton return %#x", ulCancel);
            ulRet = ulStatus;
            break;
        }
        usleep(PRESS_BUTTON_POLL_US);
    }
    s_bInPressButtonWait = false;
    if (stArgs.byKind == 4 && ulRet == 0) ulRet = PressButtonWriteSignature(pstRecord, pbSignature, ulSignLen);
    const char *pszStep = STEP[stArgs.byKind - 2];
    PressButtonWipe(&stArgs);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, pszStep, ulRet);
    } else {
        TRACE_STEP_OK(OP, pszStep);
    }
    return ulRet;
}
