#include "SarnCore/KeyObjectBrio.h"

#include "SarnCore/BrioOperator.h"
#include "log/StepTrace.h"

CAsymKeyObjectBrio::CAsymKeyObjectBrio() : CAsymKeyObject()
{
    CDeviceContext::TraceInfo("Constructor");
}

CAsymKeyObjectBrio::~CAsymKeyObjectBrio()
{
    CDeviceContext::TraceInfo("Destructor");
}

unsigned int CAsymKeyObjectBrio::PrikeySign(CAsymKeyObject *pKey, unsigned char byHashID, unsigned char *pbyInbuf,
                                            unsigned int nInlen, unsigned char *pbyOutbuf, unsigned int *pnOutLen,
                                            OperationCallback pfnCallback, void *pContext)
{
    static const char *OP = "PrikeySign";
    if (pKey == nullptr || pnOutLen == nullptr) {
        TRACE_STEP_FAIL(OP, "CHECK pKeyCtx", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    const unsigned int ulCapacity = *pnOutLen;
    unsigned int ulLen = ulCapacity;
    auto fnSign = [&] {
        ulLen = ulCapacity;
        return pKey->PrikeySign(0, byHashID, pbyInbuf, nInlen, pbyOutbuf, &ulLen);
    };
    unsigned int ulRet =
        RunAwaitingButton(pfnCallback, [&] { return RepeatAfterUserPin(fnSign(), pfnCallback, pContext, fnSign); });
    if (ulRet == SW_BUTTON_NOT_PRESSED && pfnCallback != nullptr) {
        PressButtonRecord stRecord;
        ulRet = PressButtonWriteSign(&stRecord, pKey, pbyInbuf, nInlen, pfnCallback);
        if (ulRet != 0) {
            CBrioOperator::CancelPressButton(static_cast<CDeviceContext *>(pKey->GetDeviceContext()));
        } else {
            ulRet = (unsigned int)pfnCallback(CALLBACK_PRESS_SIGN, pContext, &stRecord);
            if (ulRet == 0) {
                /* The waited signature, within the caller's buffer. */
                ulLen = ulCapacity;
                ulRet = PressButtonReadSignature(&stRecord, pbyOutbuf, &ulLen);
            }
        }
        PressButtonWipe(&stRecord);
    }
    *pnOutLen = ulLen;
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SignDigest", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "SignDigest");
    return 0;
}

unsigned int CAsymKeyObjectBrio::PrikeyDec(CAsymKeyObject *pKey, unsigned char *pbyInbuf, unsigned int nInlen,
                                           unsigned char *pbyOutbuf, unsigned int *pnOutLen,
                                           OperationCallback pfnCallback, void *pContext)
{
    if (pKey == nullptr || pnOutLen == nullptr) {
        TRACE_STEP_FAIL("PrikeyDec", "CHECK pKeyCtx", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    const unsigned int ulCapacity = *pnOutLen;
    unsigned int ulLen = ulCapacity;
    auto fnDecrypt = [&] {
        ulLen = ulCapacity;
        return pKey->PrikeyDec(pbyInbuf, nInlen, pbyOutbuf, &ulLen);
    };
    unsigned int ulRet = RepeatAfterUserPin(fnDecrypt(), pfnCallback, pContext, fnDecrypt);
    *pnOutLen = ulLen;
    return ulRet;
}
