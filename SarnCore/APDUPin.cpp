#include "SarnCore/APDUPin.h"

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

#define PIN_BODY_LIMIT 256u
#define PIN_CHALLENGE_ANSWER (PIN_CHALLENGE_LEN + PIN_KEY_LEN)  /* 148 */
#define WIRELESS_AUTH_LIMIT 320u
#define WIRELESS_IDENTIFY_REQUEST_LIMIT 640u
#define WIRELESS_IDENTIFY_RESPONSE_LIMIT 320u

static const unsigned char PLAIN = APDU_CLA_PLAIN;
static const unsigned char SECURE = APDU_CLA_SECURE;

CAPDUPin::CAPDUPin(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUPin: Constructor");
}

CAPDUPin::~CAPDUPin()
{
    CDeviceContext::TraceInfo("CAPDUPin: Destructor");
}

unsigned int CAPDUPin::RequestChallenge(const char *szOperation, const APDU_HEADER &stHeader, unsigned short usAppID,
                                        unsigned char *pbChallenge, unsigned char *pbKey)
{
    CApduBody body(PIN_BODY_LIMIT);
    body.U16(usAppID);
    CApduAnswer answer(PIN_CHALLENGE_ANSWER, true);
    unsigned int ulRet = SendCommand(szOperation, stHeader, &body, &answer);
    if (ulRet != 0) return ulRet;
    answer.Take(0, PIN_CHALLENGE_LEN, pbChallenge);
    answer.Take(PIN_CHALLENGE_LEN, PIN_KEY_LEN, pbKey);
    return 0;
}

unsigned int CAPDUPin::SendAppData(const char *szOperation, const APDU_HEADER &stHeader, unsigned short usAppID,
                                   const unsigned char *pbData, unsigned int ulLen, CApduAnswer *pAnswer)
{
    CApduBody body(PIN_BODY_LIMIT);
    body.U16(usAppID).Bytes(pbData, ulLen);
    return SendCommand(szOperation, stHeader, &body, pAnswer);
}

unsigned int CAPDUPin::SetSessionKey(unsigned char *pbData, unsigned int ulLen)
{
    return Submit("SetSessionKey", {PLAIN, 0x0A, 0x00, 0x00}, pbData, ulLen);
}

unsigned int CAPDUPin::ExternalAuth_Request(unsigned char *pbChallenge, unsigned int *pulLen)
{
    return Query("ExternalAuth_Request", {PLAIN, 0x10, 0x00, 0x00}, 16, pbChallenge, pulLen);
}

unsigned int CAPDUPin::ExternalAuth_Response(unsigned char *pbData, unsigned int ulLen)
{
    return Submit("ExternalAuth_Response", {PLAIN, 0x10, 0x01, 0x00}, pbData, ulLen);
}

unsigned int CAPDUPin::GetPINStatus(unsigned short usAppID, unsigned char byPINType, unsigned char *pbStatus0,
                                    unsigned char *pbStatus1, unsigned char *pbStatus2, unsigned char *pbStatus3)
{
    CApduBody body(PIN_BODY_LIMIT);
    body.U16(usAppID);
    /* Four status bytes when any is wanted; the session check reads none. */
    bool bWanted = pbStatus0 != nullptr || pbStatus1 != nullptr || pbStatus2 != nullptr || pbStatus3 != nullptr;
    CApduAnswer answer(4, bWanted);
    unsigned int ulRet = SendCommand("GetPINStatus", {SECURE, 0x14, 0x00, byPINType}, &body, &answer);
    if (ulRet != 0) return ulRet;
    unsigned char *ppbOut[4] = {pbStatus0, pbStatus1, pbStatus2, pbStatus3};
    for (unsigned int i = 0; i < 4; ++i) answer.Take(i, 1, ppbOut[i]);
    return 0;
}

unsigned int CAPDUPin::CheckSessionKey(unsigned short usAppID)
{
    return GetPINStatus(usAppID, 0, nullptr, nullptr, nullptr, nullptr);
}

unsigned int CAPDUPin::GetChallengeCode(unsigned char byINS, unsigned short usAppID, unsigned char *pbChallenge,
                                        unsigned char *pbKey)
{
    return RequestChallenge("GetChallengeCode", {SECURE, byINS, 0x00, 0x00}, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPin::VerifyPIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x18, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPin::VerifyPIN_Response(unsigned short usAppID, unsigned char byPINType, unsigned char *pbData,
                                          unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduAnswer answer(PIN_AUTH_CODE_LEN, true);
    unsigned int ulRet =
        SendAppData("VerifyPIN_Response", {SECURE, 0x18, 0x01, byPINType}, usAppID, pbData, ulLen, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("VerifyPIN_Response", answer, pbOut, pulOutLen);
}

unsigned int CAPDUPin::ChangePIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x16, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPin::ChangePIN_Response(unsigned short usAppID, unsigned char byPINType, unsigned char *pbData,
                                          unsigned int ulLen)
{
    return SendAppData("ChangePIN_Response", {SECURE, 0x16, 0x01, byPINType}, usAppID, pbData, ulLen, nullptr);
}

unsigned int CAPDUPin::UnlockPIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x1A, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPin::UnlockPIN_Response(unsigned short usAppID, unsigned char byFlag, unsigned char *pbData,
                                          unsigned int ulLen)
{
    return ResetResponse(0x1A, byFlag == 1 ? 0 : 1, usAppID, pbData, ulLen);
}

unsigned int CAPDUPin::ResetApp_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x2B, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPin::ResetApp_Response(unsigned short usAppID, unsigned char byFlag, unsigned char *pbData,
                                         unsigned int ulLen)
{
    return ResetResponse(0x2B, byFlag == 1 ? 0 : 1, usAppID, pbData, ulLen);
}

unsigned int CAPDUPin::ResetResponse(unsigned char byINS, unsigned char byP2, unsigned short usAppID,
                                     unsigned char *pbData, unsigned int ulLen)
{
    return SendAppData("ResetResponse", {SECURE, byINS, 0x01, byP2}, usAppID, pbData, ulLen, nullptr);
}

unsigned int CAPDUPin::ClearAuthCode(unsigned short usAppID)
{
    return SendAppData("ClearAuthCode", {PLAIN, 0x1C, 0x00, 0x00}, usAppID, nullptr, 0, nullptr);
}

/* ---- product commands ---- */

CAPDUPinBrio::CAPDUPinBrio(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDUPin(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUPinBrio: Constructor");
}

CAPDUPinBrio::~CAPDUPinBrio()
{
    CDeviceContext::TraceInfo("CAPDUPinBrio: Destructor");
}

unsigned int CAPDUPinBrio::GetChallengeCode(unsigned char byINS, unsigned short usAppID, unsigned char byPINType,
                                            unsigned char *pbChallenge, unsigned char *pbKey)
{
    return RequestChallenge("GetChallengeCode", {SECURE, byINS, 0x00, byPINType}, usAppID, pbChallenge, pbKey);
}

unsigned int CAPDUPinBrio::VerifyPIN_Request(unsigned short usAppID, unsigned char byPINType,
                                             unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x18, usAppID, byPINType, pbChallenge, pbKey);
}

unsigned int CAPDUPinBrio::VerifyPIN_Response(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen,
                                              unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduAnswer answer(PIN_AUTH_CODE_LEN, true);
    unsigned int ulRet = SendAppData("VerifyPIN_Response", {SECURE, 0x18, 0x01, 0x00}, usAppID, pbData, ulLen, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("VerifyPIN_Response", answer, pbOut, pulOutLen);
}

unsigned int CAPDUPinBrio::ChangePIN_Request(unsigned short usAppID, unsigned char byPINType,
                                             unsigned char *pbChallenge, unsigned char *pbKey)
{
    return GetChallengeCode(0x16, usAppID, byPINType, pbChallenge, pbKey);
}

unsigned int CAPDUPinBrio::ChangePIN_Response(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen)
{
    return SendAppData("ChangePIN_Response", {SECURE, 0x16, 0x01, 0x00}, usAppID, pbData, ulLen, nullptr);
}

unsigned int CAPDUPinBrio::WirelessAuth(unsigned char *pbCode, unsigned char byAlgID, unsigned char *pbData,
                                        unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduBody body(WIRELESS_AUTH_LIMIT);
    body.Bytes(pbCode, 16).Bytes(pbData, ulLen);
    CApduAnswer answer(64);
    unsigned int ulRet = SendCommand("WirelessAuth", {SECURE, 0x1D, byAlgID, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("WirelessAuth", answer, pbOut, pulOutLen);
}

unsigned int CAPDUPinBrio::WirelessIdentify(const char *szOperation, unsigned char byP1, unsigned char byP2,
                                            unsigned int ulLimit, unsigned char *pbData1, unsigned int ulLen1,
                                            unsigned char *pbData2, unsigned int ulLen2, unsigned char *pbOut,
                                            unsigned int *pulOutLen)
{
    CApduBody body(ulLimit);
    body.Bytes(pbData1, ulLen1).Bytes(pbData2, ulLen2);
    /* A 16-byte challenge or authorisation code. */
    CApduAnswer answer(16, true);
    unsigned int ulRet = SendCommand(szOperation, {SECURE, 0x1E, byP1, byP2}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(szOperation, answer, pbOut, pulOutLen);
}

unsigned int CAPDUPinBrio::WirelessIdentify_Request(unsigned char byP2, unsigned char *pbData1, unsigned int ulLen1,
                                                    unsigned char *pbData2, unsigned int ulLen2, unsigned char *pbOut,
                                                    unsigned int *pulOutLen)
{
    return WirelessIdentify("WirelessIdentify_Request", 0x00, byP2, WIRELESS_IDENTIFY_REQUEST_LIMIT, pbData1, ulLen1,
                            pbData2, ulLen2, pbOut, pulOutLen);
}

unsigned int CAPDUPinBrio::WirelessIdentify_Response(unsigned char byP2, unsigned char *pbData1, unsigned int ulLen1,
                                                     unsigned char *pbData2, unsigned int ulLen2,
                                                     unsigned char *pbOut, unsigned int *pulOutLen)
{
    return WirelessIdentify("WirelessIdentify_Response", 0x01, byP2, WIRELESS_IDENTIFY_RESPONSE_LIMIT, pbData1,
                            ulLen1, pbData2, ulLen2, pbOut, pulOutLen);
}
