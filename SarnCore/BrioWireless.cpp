/* CBrioOperator: pairing and identification of a wireless peer. */
#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/BrioOperator.h"
#include "SarnCore/OperatorSteps.h"

#define PEER_KEY_BUFFER (2u * SC_RSA_MAX_BYTES)

/* The peer key as the token takes it, and the length of the answer its
 * algorithm gives. */
static unsigned int EncodePeerKey(const char *pszOperation, unsigned char byAlgID, const void *pPeerKey,
                                  unsigned char *pbOut, unsigned int *pulLen, unsigned int *pulAnswerLen)
{
    OP_CHECK(pszOperation, pPeerKey != nullptr, "pPubKey", ERR_NULL_ARGUMENT);
    const unsigned char *pbKey = static_cast<const unsigned char *>(pPeerKey);
    switch (byAlgID) {
    case TOKEN_ALG_RSA2048: {
        const _QV_RSA_KEY_PAIR *pRsa = static_cast<const _QV_RSA_KEY_PAIR *>(pPeerKey);
        OP_CHECK(pszOperation, pRsa->NLen >= 1 && pRsa->NLen <= SC_RSA_MAX_BYTES && pRsa->ELen >= 1 &&
                                   pRsa->ELen <= SC_RSA_MAX_BYTES,
                 "pPubKey->NLen", ERR_BAD_LENGTH);
        memcpy(pbOut, pRsa->N, pRsa->NLen);
        memcpy(pbOut + pRsa->NLen, pRsa->E, pRsa->ELen);
        *pulLen = pRsa->NLen + pRsa->ELen;
        *pulAnswerLen = SC_RSA_MAX_BYTES;
        return 0;
    }
    case TOKEN_ALG_SM2:
    case 6:
        memcpy(pbOut, pbKey + (byAlgID == 6 ? 1 : 0), WIRELESS_PEER_KEY_LEN);
        *pulLen = WIRELESS_PEER_KEY_LEN;
        *pulAnswerLen = WIRELESS_ANSWER_MAX;
        return 0;
    default:
        TRACE_STEP_FAIL(pszOperation, "CHECK byAlgID", ERR_BAD_ALGORITHM);
        return ERR_BAD_ALGORITHM;
    }
}

struct CBrioOperator::WirelessPeer {
    unsigned int ulCapacity;                 /* the caller's output length */
    CAPDUPinBrio *pPin;
    unsigned char pbKey[PEER_KEY_BUFFER];    /* the encoded peer key */
    unsigned int ulKeyLen;
    unsigned int ulAnswerLen;                /* the answer its algorithm gives */
};

unsigned int CBrioOperator::PrepareWireless(const char *pszOperation, unsigned char byAlgID, void *pPeerKey,
                                            unsigned char *pbyOutBuf, unsigned int *pnOutLen, WirelessPeer *pPeer)
{
    OP_CHECK(pszOperation, pnOutLen != nullptr, "pnOutLen", ERR_NULL_ARGUMENT);
    pPeer->ulCapacity = *pnOutLen;
    *pnOutLen = 0;
    OP_CHECK(pszOperation, pbyOutBuf != nullptr, "pbyOutBuf", ERR_NULL_ARGUMENT);
    OP_CHECK(pszOperation, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    if (unsigned int ulRet = ProductPin(pszOperation, &pPeer->pPin)) return ulRet;
    return EncodePeerKey(pszOperation, byAlgID, pPeerKey, pPeer->pbKey, &pPeer->ulKeyLen, &pPeer->ulAnswerLen);
}

unsigned int CBrioOperator::WirelessAuth(unsigned char byAlgID, void *pPeerKey, unsigned char *pbyOutBuf,
                                         unsigned int *pnOutLen)
{
    static const char *OP = "WirelessAuth";
    /* The token's answer holds at most 64 bytes: an RSA-2048 peer, which
     * needs 256, can never be paired. */
    if (byAlgID == TOKEN_ALG_RSA2048 && pnOutLen != nullptr) *pnOutLen = 0;
    OP_CHECK(OP, byAlgID != TOKEN_ALG_RSA2048, "byAlgID", ERR_UNSUPPORTED);
    WirelessPeer stPeer;
    if (unsigned int ulRet = PrepareWireless(OP, byAlgID, pPeerKey, pbyOutBuf, pnOutLen, &stPeer)) return ulRet;
    *pnOutLen = stPeer.ulAnswerLen;
    OP_CHECK(OP, stPeer.ulCapacity >= stPeer.ulAnswerLen, "*pnSignLen SIZE", ERR_BUFFER_TOO_SMALL);
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    unsigned int ulLen = stPeer.ulCapacity;
    OP_STEP(OP, "pDeviceContext->GetAPDUPin()->WirelessAuth",
            stPeer.pPin->WirelessAuth(m_pDeviceContext->GetDeviceHandle()->m_pbAuthCode, byAlgID, stPeer.pbKey,
                                      stPeer.ulKeyLen, pbyOutBuf, &ulLen));
    *pnOutLen = ulLen;
    return 0;
}

unsigned int CBrioOperator::WirelessIdentifyInit(unsigned char byAlgID, void *pPeerKey, unsigned char *pbyData,
                                                 unsigned int nDataLen, unsigned char *pbyOutBuf,
                                                 unsigned int *pnOutLen)
{
    static const char *OP = "WirelessIdentifyInit";
    WirelessPeer stPeer;
    if (unsigned int ulRet = PrepareWireless(OP, byAlgID, pPeerKey, pbyOutBuf, pnOutLen, &stPeer)) return ulRet;
    if (stPeer.ulCapacity < PIN_CHALLENGE_LEN) {
        *pnOutLen = PIN_CHALLENGE_LEN;
        TRACE_STEP_FAIL(OP, "CHECK *pnOutLen SIZE", ERR_BUFFER_TOO_SMALL);
        return ERR_BUFFER_TOO_SMALL;
    }
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    unsigned int ulLen = stPeer.ulCapacity;
    OP_STEP(OP, "pDeviceContext->GetAPDUPin()->WirelessIdentify_Request",
            stPeer.pPin->WirelessIdentify_Request(byAlgID, pbyData, nDataLen, stPeer.pbKey, stPeer.ulKeyLen,
                                                  pbyOutBuf, &ulLen));
    *pnOutLen = ulLen;
    return 0;
}

unsigned int CBrioOperator::WirelessIdentify(unsigned char byP2, unsigned char *pbyFirst, unsigned int nFirstLen,
                                             unsigned char *pbySecond, unsigned int nSecondLen,
                                             unsigned char *pbyThird, unsigned int nThirdLen)
{
    static const char *OP = "WirelessIdentify";
    OP_CHECK(OP, m_pDeviceContext != nullptr, "pDeviceContext", ERR_NULL_ARGUMENT);
    CAPDUPinBrio *pPin = nullptr;
    if (unsigned int ulRet = ProductPin(OP, &pPin)) return ulRet;
    OP_CHECK(OP, (pbyFirst != nullptr || nFirstLen == 0) && (pbySecond != nullptr || nSecondLen == 0),
             "pbyFirst", ERR_NULL_ARGUMENT);
    OP_CHECK(OP, nFirstLen <= WIRELESS_JOINED_MAX && nSecondLen <= WIRELESS_JOINED_MAX - nFirstLen, "nFirstLen",
             ERR_BAD_LENGTH);
    unsigned char pbJoined[WIRELESS_JOINED_MAX];
    if (nFirstLen != 0) memcpy(pbJoined, pbyFirst, nFirstLen);
    if (nSecondLen != 0) memcpy(pbJoined + nFirstLen, pbySecond, nSecondLen);

    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    unsigned char pbCode[PIN_AUTH_CODE_LEN] = {0};
    unsigned int ulCodeLen = sizeof(pbCode);
    unsigned int ulRet = pPin->WirelessIdentify_Response(byP2, pbJoined, nFirstLen + nSecondLen, pbyThird,
                                                         nThirdLen, pbCode, &ulCodeLen);
    OPENSSL_cleanse(pbJoined, sizeof(pbJoined));
    if (ulRet == 0) ulRet = pInfo->SetAuthCode(pbCode, ulCodeLen);
    OPENSSL_cleanse(pbCode, sizeof(pbCode));
    if (ulRet != 0) {
        pInfo->SetAuthCode(nullptr, 0);
        TRACE_STEP_FAIL(OP, "pDeviceContext->GetAPDUPin()->WirelessIdentify_Response", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "pDeviceContext->GetAPDUPin()->WirelessIdentify_Response");
    return 0;
}
