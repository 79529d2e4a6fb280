#include "SarnCore/APDUChip.h"

#include "SarnCore/DeviceContext.h"
#include "log/StepTrace.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;

/* Sizes of an authentication key form: public key and signature. */
struct AUTH_KEY_FORM {
    unsigned int ulKeyLen;
    unsigned int ulSignatureLen;
};

static bool FindAuthKeyForm(unsigned char byForm, AUTH_KEY_FORM *pForm)
{
    if (byForm == AUTH_KEY_FORM_RSA || byForm == AUTH_KEY_FORM_RSA_ALT) {
        *pForm = {132, 128};
        return true;
    }
    if (byForm == AUTH_KEY_FORM_SM2) {
        *pForm = {64, 64};
        return true;
    }
    return false;
}

CAPDUChip::CAPDUChip(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUChip: Constructor");
}

CAPDUChip::~CAPDUChip()
{
    CDeviceContext::TraceInfo("CAPDUChip: Destructor");
}

unsigned int CAPDUChip::EraseFlash()
{
    return SendCommand("EraseFlash", {PLAIN, 0xE1, 0x00, 0x00}, nullptr, nullptr);
}

unsigned int CAPDUChip::WriteFlash(unsigned int ulAddress, unsigned char *pbData)
{
    CApduBody body;
    body.U32(ulAddress).Bytes(pbData, CHIP_FLASH_BLOCK);
    return SendCommand("WriteFlash", {PLAIN, 0xE2, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUChip::ReadFlash(unsigned int ulAddress, unsigned char *pbOut)
{
    CApduBody body;
    body.U32(ulAddress);
    CApduAnswer answer(CHIP_FLASH_BLOCK);
    unsigned int ulRet = SendCommand("ReadFlash", {PLAIN, 0xE3, 0x00, 0x00}, &body, &answer);
    if (ulRet != 0) return ulRet;
    /* a block is whole or not at all: never hand out bytes that were not read */
    if (answer.Length() != CHIP_FLASH_BLOCK) {
        TRACE_STEP_FAIL("ReadFlash", "CHECK nRecvLen", ERR_BAD_LENGTH);
        return ERR_BAD_LENGTH;
    }
    return answer.CopyTo(pbOut, nullptr);
}

unsigned int CAPDUChip::SetTokenLabel(unsigned char *pbLabel, unsigned int ulLen)
{
    return Submit("SetTokenLabel", {PLAIN, 0x02, 0x00, 0x00}, pbLabel, ulLen & 0xFFFF);
}

unsigned int CAPDUChip::SetTokenSN(unsigned char *pbSN, unsigned int ulLen)
{
    if (ulLen > CHIP_SN_LEN) {
        TRACE_STEP_FAIL("SetTokenSN", "CHECK nTokenSNLen", ERR_BAD_LENGTH);
        return ERR_BAD_LENGTH;
    }
    return Submit("SetTokenSN", {PLAIN, 0x03, 0x00, 0x00}, pbSN, ulLen);
}

unsigned int CAPDUChip::GetDevInfo(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("GetDevInfo", {PLAIN, 0x04, 0x00, 0x00}, CHIP_DEV_INFO_LEN, pbOut, pulOutLen);
}

unsigned int CAPDUChip::GetTokenLabel(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("GetTokenLabel", {PLAIN, 0x04, 0x01, 0x00}, CHIP_LABEL_LEN, pbOut, pulOutLen);
}

unsigned int CAPDUChip::GetTokenSN(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("GetTokenSN", {PLAIN, 0x04, 0x02, 0x00}, CHIP_SN_LEN, pbOut, pulOutLen);
}

unsigned int CAPDUChip::GetChipSN(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("GetChipSN", {PLAIN, 0x04, 0x03, 0x00}, CHIP_SN_LEN, pbOut, pulOutLen);
}

unsigned int CAPDUChip::InitAuthKey(unsigned char byForm, unsigned char *pbData, unsigned int ulLen,
                                    void *pKeyRecord)
{
    AUTH_KEY_FORM stForm;
    if (!FindAuthKeyForm(byForm, &stForm)) {
        TRACE_STEP_FAIL("InitAuthKey", "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    CApduBody body;
    body.Bytes(pbData, ulLen);
    CApduAnswer answer(stForm.ulKeyLen, true);
    unsigned int ulRet = SendCommand("InitAuthKey", {PLAIN, 0x05, 0x00, 0x00}, &body, &answer);
    if (ulRet != 0 || pKeyRecord == nullptr) return ulRet;
    if (byForm == AUTH_KEY_FORM_SM2) {
        _QV_SM2_KEY_PAIR *pKey = static_cast<_QV_SM2_KEY_PAIR *>(pKeyRecord);
        answer.Take(0, SC_SM2_BYTES, pKey->X);
        answer.Take(SC_SM2_BYTES, SC_SM2_BYTES, pKey->Y);
    } else {
        _QV_RSA_KEY_PAIR *pKey = static_cast<_QV_RSA_KEY_PAIR *>(pKeyRecord);
        answer.Take(0, 128, pKey->N);
        pKey->NLen = 128;
        answer.Take(128, 4, pKey->E);
        pKey->ELen = 4;
    }
    return 0;
}

unsigned int CAPDUChip::ImportAuthKey(unsigned char *pbPart1, unsigned int ulLen1, unsigned char *pbPart2,
                                      unsigned int ulLen2)
{
    unsigned int ulRet = Submit("ImportAuthKey(P1=0x00)", {PLAIN, 0x06, 0x00, 0x00}, pbPart1, ulLen1);
    if (ulRet != 0) return ulRet;
    return Submit("ImportAuthKey(P1=0x01)", {PLAIN, 0x06, 0x01, 0x00}, pbPart2, ulLen2);
}

unsigned int CAPDUChip::ExportAuthKey(unsigned char byForm, unsigned char *pbKey, unsigned char *pbSignature)
{
    AUTH_KEY_FORM stForm;
    if (!FindAuthKeyForm(byForm, &stForm)) {
        TRACE_STEP_FAIL("ExportAuthKey", "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
    CApduAnswer answer(stForm.ulKeyLen + stForm.ulSignatureLen, true);
    unsigned int ulRet = SendCommand("ExportAuthKey", {PLAIN, 0x07, 0x00, 0x00}, nullptr, &answer);
    if (ulRet != 0) return ulRet;
    answer.Take(0, stForm.ulKeyLen, pbKey);
    answer.Take(stForm.ulKeyLen, stForm.ulSignatureLen, pbSignature);
    return 0;
}

unsigned int CAPDUChip::EraseCOS_Request(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("EraseCOS_Request", {PLAIN, 0x08, 0x00, 0x00}, 16, pbOut, pulOutLen);
}

unsigned int CAPDUChip::EraseCOS_Response(unsigned char *pbData, unsigned int ulLen)
{
    return Submit("EraseCOS_Response", {PLAIN, 0x08, 0x01, 0x00}, pbData, ulLen);
}

unsigned int CAPDUChip::EraseMF_Request(unsigned char *pbOut, unsigned int *pulOutLen)
{
    return Query("EraseMF_Request", {PLAIN, 0x09, 0x00, 0x00}, 16, pbOut, pulOutLen);
}

unsigned int CAPDUChip::EraseMF_Response(unsigned char *pbData, unsigned int ulLen)
{
    return Submit("EraseMF_Response", {PLAIN, 0x09, 0x01, 0x00}, pbData, ulLen);
}
