#include "SarnCore/PressButton.h"

#include <stdint.h>
#include <string.h>

#include <openssl/crypto.h>

#include "log/StepTrace.h"

/* Offsets of the record. */
static const unsigned int OFF_OBJECT = 0;
static const unsigned int OFF_KIND = 8;
static const unsigned int OFF_PARAM = 9;
static const unsigned int OFF_CALLBACK = 272;

static const unsigned char KIND_VERIFY = 2, KIND_CHANGE = 3, KIND_SIGN = 4, KIND_RESET = 5;

static unsigned int Refuse(const char *szStep, unsigned int ulCode)
{
    TRACE_STEP_FAIL("PressButtonRecord", szStep, ulCode);
    return ulCode;
}

/* Zeroes the record and writes what every kind shares. */
static unsigned char *Begin(PressButtonRecord *pRecord, void *pObject, unsigned char byKind,
                            OperationCallback pfnCallback)
{
    unsigned char *p = pRecord->pbBytes;
    memset(p, 0, PRESS_BUTTON_RECORD_LEN);
    memcpy(p + OFF_OBJECT, &pObject, sizeof(pObject));
    p[OFF_KIND] = byKind;
    memcpy(p + OFF_CALLBACK, &pfnCallback, sizeof(pfnCallback));
    return p;
}

unsigned int PressButtonWritePin(PressButtonRecord *pRecord, void *pObject, unsigned char byPINType,
                                 const char *pszPin, unsigned int ulPinLen, OperationCallback pfnCallback)
{
    if (pRecord == nullptr || pszPin == nullptr) return Refuse("CHECK pszPin", ERR_NULL_ARGUMENT);
    PressButtonWipe(pRecord);
    if (ulPinLen > PRESS_BUTTON_PIN_MAX) return Refuse("CHECK byPinLen", ERR_BAD_LENGTH);
    unsigned char *p = Begin(pRecord, pObject, KIND_VERIFY, pfnCallback);
    p[OFF_PARAM] = byPINType;
    p[10] = (unsigned char)ulPinLen;
    memcpy(p + 11, pszPin, ulPinLen);
    return 0;
}

unsigned int PressButtonWriteChangePin(PressButtonRecord *pRecord, void *pObject, unsigned char byPINType,
                                       const char *pszOldPin, unsigned int ulOldLen, const char *pszNewPin,
                                       unsigned int ulNewLen, OperationCallback pfnCallback)
{
    if (pRecord == nullptr || pszOldPin == nullptr || pszNewPin == nullptr)
        return Refuse("CHECK pszPin", ERR_NULL_ARGUMENT);
    PressButtonWipe(pRecord);
    if (ulOldLen > PRESS_BUTTON_PIN_MAX || ulNewLen > PRESS_BUTTON_PIN_MAX)
        return Refuse("CHECK byPinLen", ERR_BAD_LENGTH);
    unsigned char *p = Begin(pRecord, pObject, KIND_CHANGE, pfnCallback);
    p[OFF_PARAM] = byPINType;
    p[10] = (unsigned char)ulOldLen;
    memcpy(p + 11, pszOldPin, ulOldLen);
    p[11 + ulOldLen] = (unsigned char)ulNewLen;
    memcpy(p + 12 + ulOldLen, pszNewPin, ulNewLen);
    return 0;
}

unsigned int PressButtonWriteSign(PressButtonRecord *pRecord, void *pObject, const unsigned char *pbData,
                                  unsigned int ulLen, OperationCallback pfnCallback)
{
    if (pRecord == nullptr || (pbData == nullptr && ulLen != 0)) return Refuse("CHECK pbyData", ERR_NULL_ARGUMENT);
    PressButtonWipe(pRecord);
    if (ulLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nDataLen", ERR_BAD_LENGTH);
    unsigned char *p = Begin(pRecord, pObject, KIND_SIGN, pfnCallback);
    unsigned short usLen = (unsigned short)ulLen;
    memcpy(p + OFF_PARAM, &usLen, sizeof(usLen));
    if (ulLen != 0) memcpy(p + 11, pbData, ulLen);
    return 0;
}

unsigned int PressButtonWriteReset(PressButtonRecord *pRecord, void *pObject, unsigned char byFlag,
                                   const unsigned char *pbData, unsigned int ulLen, OperationCallback pfnCallback)
{
    if (pRecord == nullptr || (pbData == nullptr && ulLen != 0)) return Refuse("CHECK pbyData", ERR_NULL_ARGUMENT);
    PressButtonWipe(pRecord);
    if (ulLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nDataLen", ERR_BAD_LENGTH);
    unsigned char *p = Begin(pRecord, pObject, KIND_RESET, pfnCallback);
    p[OFF_PARAM] = byFlag;
    uint32_t ulLen32 = ulLen;
    memcpy(p + 10, &ulLen32, sizeof(ulLen32));
    if (ulLen != 0) memcpy(p + 14, pbData, ulLen);
    return 0;
}

unsigned int PressButtonWriteSignature(PressButtonRecord *pRecord, const unsigned char *pbSignature,
                                       unsigned int ulLen)
{
    if (pRecord == nullptr || (pbSignature == nullptr && ulLen != 0))
        return Refuse("CHECK pbySignature", ERR_NULL_ARGUMENT);
    if (ulLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nSignLen", ERR_BAD_LENGTH);
    unsigned char *p = pRecord->pbBytes;
    unsigned short usLen = (unsigned short)ulLen;
    memset(p + OFF_PARAM, 0, OFF_CALLBACK - OFF_PARAM);
    memcpy(p + OFF_PARAM, &usLen, sizeof(usLen));
    if (ulLen != 0) memcpy(p + 11, pbSignature, ulLen);
    return 0;
}

unsigned int PressButtonReadSignature(const PressButtonRecord *pRecord, unsigned char *pbOut, unsigned int *pulLen)
{
    if (pRecord == nullptr || pulLen == nullptr) return Refuse("CHECK pnSignLen", ERR_NULL_ARGUMENT);
    unsigned short usLen = 0;
    memcpy(&usLen, pRecord->pbBytes + OFF_PARAM, sizeof(usLen));
    if (usLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nSignLen", ERR_BAD_LENGTH);
    if (pbOut != nullptr) {
        if (*pulLen < usLen) {
            *pulLen = usLen;
            return Refuse("CHECK *pnSignLen SIZE", ERR_BUFFER_TOO_SMALL);
        }
        memcpy(pbOut, pRecord->pbBytes + 11, usLen);
    }
    *pulLen = usLen;
    return 0;
}

unsigned int PressButtonRead(const PressButtonRecord *pRecord, PressButtonArgs *pArgs)
{
    if (pRecord == nullptr || pArgs == nullptr) return Refuse("CHECK pMiddlewareConext", ERR_NULL_ARGUMENT);
    const unsigned char *p = pRecord->pbBytes;
    memset(pArgs, 0, sizeof(*pArgs));
    memcpy(&pArgs->pObject, p + OFF_OBJECT, sizeof(pArgs->pObject));
    memcpy(&pArgs->pfnCallback, p + OFF_CALLBACK, sizeof(pArgs->pfnCallback));
    pArgs->byKind = p[OFF_KIND];
    pArgs->byParam = p[OFF_PARAM];
    if (pArgs->pObject == nullptr) return Refuse("CHECK pCallbackContext->Handle", ERR_NULL_ARGUMENT);
    if (pArgs->pfnCallback == nullptr) return Refuse("CHECK pCallbackContext->Callback", ERR_NULL_ARGUMENT);
    switch (pArgs->byKind) {
    case KIND_VERIFY:
    case KIND_CHANGE: {
        unsigned int ulOld = p[10];
        if (ulOld > PRESS_BUTTON_PIN_MAX) return Refuse("CHECK byPinLen", ERR_BAD_LENGTH);
        pArgs->byPinLen = (unsigned char)ulOld;
        memcpy(pArgs->pbPin, p + 11, ulOld);
        if (pArgs->byKind == KIND_CHANGE) {
            unsigned int ulNew = p[11 + ulOld];
            if (ulNew > PRESS_BUTTON_PIN_MAX) return Refuse("CHECK byNewPinLen", ERR_BAD_LENGTH);
            pArgs->byNewPinLen = (unsigned char)ulNew;
            memcpy(pArgs->pbNewPin, p + 12 + ulOld, ulNew);
        }
        return 0;
    }
    case KIND_SIGN: {
        unsigned short usLen = 0;
        memcpy(&usLen, p + OFF_PARAM, sizeof(usLen));
        if (usLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nDataLen", ERR_BAD_LENGTH);
        pArgs->byParam = 0;
        pArgs->ulDataLen = usLen;
        memcpy(pArgs->pbData, p + 11, usLen);
        return 0;
    }
    case KIND_RESET: {
        uint32_t ulLen = 0;
        memcpy(&ulLen, p + 10, sizeof(ulLen));
        if (ulLen > PRESS_BUTTON_DATA_MAX) return Refuse("CHECK nDataLen", ERR_BAD_LENGTH);
        pArgs->ulDataLen = ulLen;
        memcpy(pArgs->pbData, p + 14, ulLen);
        return 0;
    }
    default:
        return Refuse("CHECK pCallbackContext->Code", ERR_BAD_FLAG);
    }
}

unsigned int RepeatAfterUserPin(unsigned int ulResult, OperationCallback pfnCallback, void *pContext,
                                const std::function<unsigned int()> &fnOperation)
{
    if (ulResult != SW_SECURITY_STATUS || pfnCallback == nullptr) return ulResult;
    unsigned int ulRet = (unsigned int)pfnCallback(CALLBACK_NEED_USER_PIN, pContext, nullptr);
    if (ulRet != 0) {
        TRACE_STEP_FAIL("OperationCallback", "CALLBACK_NEED_USER_PIN", ulRet);
        return ulRet;
    }
    return fnOperation();
}

unsigned int RunAwaitingButton(OperationCallback pfnCallback, const std::function<unsigned int()> &fnOperation)
{
    CExpectedStepCode button(pfnCallback != nullptr ? SW_BUTTON_NOT_PRESSED : 0);
    return fnOperation();
}

void PressButtonWipe(PressButtonRecord *pRecord)
{
    if (pRecord != nullptr) OPENSSL_cleanse(pRecord->pbBytes, sizeof(pRecord->pbBytes));
}

void PressButtonWipe(PressButtonArgs *pArgs)
{
    if (pArgs != nullptr) OPENSSL_cleanse(pArgs, sizeof(*pArgs));
}
