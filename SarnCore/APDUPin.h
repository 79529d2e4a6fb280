/* CAPDUPin: session, external-authentication and PIN commands.
 * CAPDUPinBrio: the product's variants of the PIN challenge commands (the
 * PIN type travels in the request) and the wireless commands; its members of
 * the same names hide the base ones.  Nothing here hashes, encrypts or
 * retries: the callers compute what the bodies carry.  Outputs are written
 * only on success. */
#ifndef BRIO_SARNCORE_APDU_PIN_H
#define BRIO_SARNCORE_APDU_PIN_H

#include "SarnCore/APDU.h"

#define PIN_CHALLENGE_LEN 16u
#define PIN_KEY_LEN 132u       /* RSA-1024 modulus (128) and exponent (4) */
#define PIN_AUTH_CODE_LEN 16u

class CAPDUPin : public CAPDU {
public:
    CAPDUPin(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUPin();

    unsigned int SetSessionKey(unsigned char *pbData, unsigned int ulLen);
    unsigned int ExternalAuth_Request(unsigned char *pbChallenge, unsigned int *pulLen);
    unsigned int ExternalAuth_Response(unsigned char *pbData, unsigned int ulLen);
    unsigned int GetPINStatus(unsigned short usAppID, unsigned char byPINType, unsigned char *pbStatus0,
                              unsigned char *pbStatus1, unsigned char *pbStatus2, unsigned char *pbStatus3);
    unsigned int CheckSessionKey(unsigned short usAppID);
    /* Challenge (16 bytes) and the token's PIN key (132 bytes). */
    unsigned int GetChallengeCode(unsigned char byINS, unsigned short usAppID, unsigned char *pbChallenge,
                                  unsigned char *pbKey);
    unsigned int VerifyPIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey);
    unsigned int VerifyPIN_Response(unsigned short usAppID, unsigned char byPINType, unsigned char *pbData,
                                    unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int ChangePIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey);
    unsigned int ChangePIN_Response(unsigned short usAppID, unsigned char byPINType, unsigned char *pbData,
                                    unsigned int ulLen);
    unsigned int UnlockPIN_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey);
    unsigned int UnlockPIN_Response(unsigned short usAppID, unsigned char byFlag, unsigned char *pbData,
                                    unsigned int ulLen);
    unsigned int ResetApp_Request(unsigned short usAppID, unsigned char *pbChallenge, unsigned char *pbKey);
    unsigned int ResetApp_Response(unsigned short usAppID, unsigned char byFlag, unsigned char *pbData,
                                   unsigned int ulLen);
    unsigned int ResetResponse(unsigned char byINS, unsigned char byP2, unsigned short usAppID,
                               unsigned char *pbData, unsigned int ulLen);
    unsigned int ClearAuthCode(unsigned short usAppID);

protected:
    /* A challenge request with the given header: app in the body, the
     * 148-byte answer split into challenge and key. */
    unsigned int RequestChallenge(const char *szOperation, const APDU_HEADER &stHeader, unsigned short usAppID,
                                  unsigned char *pbChallenge, unsigned char *pbKey);
    /* App, then the caller's data, in the 256-byte body of the PIN commands. */
    unsigned int SendAppData(const char *szOperation, const APDU_HEADER &stHeader, unsigned short usAppID,
                             const unsigned char *pbData, unsigned int ulLen, CApduAnswer *pAnswer);
};

class CAPDUPinBrio : public CAPDUPin {
public:
    CAPDUPinBrio(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUPinBrio();

    unsigned int GetChallengeCode(unsigned char byINS, unsigned short usAppID, unsigned char byPINType,
                                  unsigned char *pbChallenge, unsigned char *pbKey);
    unsigned int VerifyPIN_Request(unsigned short usAppID, unsigned char byPINType, unsigned char *pbChallenge,
                                   unsigned char *pbKey);
    unsigned int VerifyPIN_Response(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen,
                                    unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int ChangePIN_Request(unsigned short usAppID, unsigned char byPINType, unsigned char *pbChallenge,
                                   unsigned char *pbKey);
    unsigned int ChangePIN_Response(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen);
    unsigned int WirelessAuth(unsigned char *pbCode, unsigned char byAlgID, unsigned char *pbData, unsigned int ulLen,
                              unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int WirelessIdentify_Request(unsigned char byP2, unsigned char *pbData1, unsigned int ulLen1,
                                          unsigned char *pbData2, unsigned int ulLen2, unsigned char *pbOut,
                                          unsigned int *pulOutLen);
    unsigned int WirelessIdentify_Response(unsigned char byP2, unsigned char *pbData1, unsigned int ulLen1,
                                           unsigned char *pbData2, unsigned int ulLen2, unsigned char *pbOut,
                                           unsigned int *pulOutLen);

private:
    unsigned int WirelessIdentify(const char *szOperation, unsigned char byP1, unsigned char byP2,
                                  unsigned int ulLimit, unsigned char *pbData1, unsigned int ulLen1,
                                  unsigned char *pbData2, unsigned int ulLen2, unsigned char *pbOut,
                                  unsigned int *pulOutLen);
};

#endif
