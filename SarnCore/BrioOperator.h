/* CBrioOperator: the device operator of the product's token, from which the
 * SKF handle objects derive.
 *
 * A PIN reaches the token only as RSA PKCS #1 v1.5 (under the key that the
 * challenge request hands out) of MD5(MD5(PIN) || challenge); a change adds
 * MD5 of the new PIN.  The product's challenge requests carry the PIN type.
 * The session is not set up before a request: when the token answers that
 * it lost the session key (0x8000F525, 0x8000F526, 263 or 0x80006700) a new
 * one is forced and the request is sent once more.
 *
 * Press-button confirmation: while the token answers 0x8000F321 the callback
 * variants fill a PressButtonRecord and hand it to the operation callback,
 * which shows the confirmation prompt and runs WaitPressButton in the
 * prompt's worker thread.  WaitPressButton repeats the pending operation
 * every 300 ms without taking the device mutex (the calling thread keeps it
 * for the whole prompt; each exchange still takes the transport's command
 * semaphore) until the token answers, or the callback's code 11 reports a
 * cancel or time-out, which ends the token's pending wait.
 *
 * Wireless operations: a peer (its SM2 public key) is paired with a verified
 * PIN (WirelessAuth) and later identifies itself instead of a PIN
 * (WirelessIdentifyInit, WirelessIdentify), which gives the connection a
 * PIN authorisation code. */
#ifndef BRIO_SARNCORE_BRIO_OPERATOR_H
#define BRIO_SARNCORE_BRIO_OPERATOR_H

#include <functional>

#include "SarnCore/APDUChipBrio.h"
#include "SarnCore/DeviceOperator.h"
#include "SarnCore/PressButton.h"

#define BRIO_FLASH_READ_UNIT BRIO_FLASH_READ_BLOCK
#define PIN_CIPHER_LEN 128u
#define WIRELESS_PEER_KEY_LEN 64u
#define WIRELESS_ANSWER_MAX 64u      /* what the token's WirelessAuth answer holds */
#define WIRELESS_JOINED_MAX 260u     /* first and second part of WirelessIdentify */

/* Reset flags of InitTokenUser. */
#define RESET_WITH_PIN 1u
#define RESET_FETCH_REQUEST 2u
#define RESET_SEND_ANSWER 3u

#define ALG_SM1 16u

class CBrioOperator : public CDeviceOperator {
public:
    explicit CBrioOperator(CDeviceContext *pDeviceContext);
    virtual ~CBrioOperator();

    /* Replaced slots. */
    unsigned int VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen) override;
    unsigned int ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen, char *pszNewPin,
                           unsigned char byNewLen) override;
    /* Flag 1: buffer = administrator PIN; flag 2: the buffer receives the
     * token serial number and the 16-byte challenge (*nBufLen: capacity in,
     * length out; 259 with the needed size); flag 3: buffer = an issuer's
     * answer to that challenge. */
    unsigned int InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf,
                               unsigned int &nBufLen) override;
    unsigned int InitSymKey(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                            unsigned char *pbyKey, unsigned char *pbyIV, void **phKeyHandle) override;

    using CDeviceOperator::CreateContainer;
    using CDeviceOperator::DeleteContainer;
    using CDeviceOperator::GenerateKeyPair;
    using CDeviceOperator::ImportCert;
    using CDeviceOperator::ImportEncSessionKey;
    using CDeviceOperator::ImportKeyPair;

    /* Press-button variants: 0x8000F321 with a callback gives callback(kind,
     * context, record), whose result is the result. */
    unsigned int InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf, unsigned int &nBufLen,
                               OperationCallback pfnCallback, void *pContext);
    unsigned int VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen,
                           OperationCallback pfnCallback, void *pContext);
    unsigned int ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen, char *pszNewPin,
                           unsigned char byNewLen, OperationCallback pfnCallback, void *pContext);

    /* Security-status variants: 0x80006982 with a callback gives
     * callback(1, context, null); 0 sends the operation once more. */
    unsigned int CreateContainer(char *pszContainerName, OperationCallback pfnCallback, void *pContext);
    unsigned int DeleteContainer(char *pszContainerName, OperationCallback pfnCallback, void *pContext);
    unsigned int GenerateKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                 void **ppKeyCtx, OperationCallback pfnCallback, void *pContext);
    /* The exchange pair only: byKeySpec KEY_SPEC_EXCHANGE (278 otherwise). */
    unsigned int ImportKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                               void *pKeyBuf, unsigned int nKeyLen, void *pSymKeyBuf, unsigned int nSymKeyLen,
                               void **ppKeyCtx, OperationCallback pfnCallback, void *pContext);
    unsigned int ImportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                            unsigned int nCertLen, OperationCallback pfnCallback, void *pContext);
    unsigned int ImportEncSessionKey(unsigned short usKeyID, unsigned char *pbySymKeyBuf, unsigned int nSymKeyLen,
                                     OperationCallback pfnCallback, void *pContext);

    /* The waiting loop (pContext: the callback's context, pRecord: the
     * PressButtonRecord); the shape of the confirmation prompt's callback. */
    static unsigned long WaitPressButton(void *pContext, void *pRecord);
    /* Ends the token's pending button wait. */
    static unsigned int CancelPressButton(CDeviceContext *pDeviceContext);

    /* Peer keys by algorithm: 17 X || Y (64 bytes of pPeerKey); 6 the same
     * after a point-format byte; 7 a _QV_RSA_KEY_PAIR (WirelessAuth refuses
     * it with 264: the token's answer holds at most 64 bytes). */
    unsigned int WirelessAuth(unsigned char byAlgID, void *pPeerKey, unsigned char *pbyOutBuf,
                              unsigned int *pnOutLen);
    unsigned int WirelessIdentifyInit(unsigned char byAlgID, void *pPeerKey, unsigned char *pbyData,
                                      unsigned int nDataLen, unsigned char *pbyOutBuf, unsigned int *pnOutLen);
    unsigned int WirelessIdentify(unsigned char byP2, unsigned char *pbyFirst, unsigned int nFirstLen,
                                  unsigned char *pbySecond, unsigned int nSecondLen, unsigned char *pbyThird,
                                  unsigned int nThirdLen);

private:
    /* The token operation log after a change.  The wait's worker thread does
     * not take the device mutex, which the calling thread holds for the
     * whole prompt: a change carried out by the wait is logged by the
     * calling thread once the callback reports it done. */
    void LogChange(const char *pszOperation, const char *pszTag);
    static thread_local bool s_bInPressButtonWait;

    /* The context's PIN command object as the product class; 257 when the
     * context, its record or a product PIN object is missing. */
    unsigned int ProductPin(const char *pszOperation, CAPDUPinBrio **ppPin);
    /* Sends, and on a lost session forces a new session key and sends once more. */
    unsigned int SendRecovering(const char *pszOperation, const char *pszStep,
                                const std::function<unsigned int()> &fnSend);
    /* A challenge request with session recovery, then the PIN protection of
     * its answer: 128 bytes to pbCipher. */
    unsigned int ProtectedChallenge(const char *pszOperation, const char *pszStep,
                                    const std::function<unsigned int(unsigned char *, unsigned char *)> &fnRequest,
                                    const void *pPin, unsigned int ulPinLen, const void *pNewPin, unsigned int ulNewLen,
                                    unsigned char *pbCipher);
    struct WirelessPeer;
    /* The checks and the peer-key encoding that the wireless operations share. */
    unsigned int PrepareWireless(const char *pszOperation, unsigned char byAlgID, void *pPeerKey,
                                 unsigned char *pbyOutBuf, unsigned int *pnOutLen, WirelessPeer *pPeer);
    unsigned int ChangePINProtected(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                    char *pszNewPin, unsigned char byNewLen);
};

#endif
