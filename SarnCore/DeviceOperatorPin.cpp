/* CDeviceOperator: PIN operations.  A PIN never reaches the token in the
 * clear: each command pair starts with a request that returns a fresh
 * challenge and the token's RSA-1024 PIN key, and the answer carries
 * MD5(MD5(PIN) || challenge) encrypted under that key. */
#include "SarnCore/DeviceOperator.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/OperatorSteps.h"

#define MD5_LEN 16u

/* MD5(MD5(PIN) || challenge), optionally followed by MD5(new PIN),
 * encrypted with PKCS #1 v1.5 under the 132-byte key (modulus, exponent). */
unsigned int CDeviceOperator::ProtectPIN(const char *pszOperation, const unsigned char *pbKey,
                                         const unsigned char *pbChallenge, const unsigned char *pbPin,
                                         unsigned int ulPinLen, const unsigned char *pbNewPin,
                                         unsigned int ulNewPinLen, unsigned char *pbCrypt)
{
    unsigned char pbPlain[2 * MD5_LEN];
    unsigned char pbDigest[MD5_LEN];
    unsigned int ulLen = MD5_LEN;
    void *pHash = nullptr;
    _QV_RSA_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    unsigned int ulRet = 0;
    const char *pszStep = "Hash_Digest";
    do {
        if ((ulRet = Hash_Digest(SC_HASH_MD5, pbPin, ulPinLen, pbDigest, &ulLen)) != 0) break;
        pszStep = "Hash_Init";
        if ((ulRet = Hash_Init(&pHash, SC_HASH_MD5)) != 0) break;
        pszStep = "Hash_Update";
        if ((ulRet = Hash_Update(pHash, pbDigest, MD5_LEN)) != 0) break;
        if ((ulRet = Hash_Update(pHash, pbChallenge, PIN_CHALLENGE_LEN)) != 0) break;
        pszStep = "Hash_Final";
        ulLen = MD5_LEN;
        ulRet = Hash_Final(pHash, pbPlain, &ulLen);
        pHash = nullptr;
        if (ulRet != 0) break;
        unsigned int ulPlainLen = MD5_LEN;
        if (pbNewPin != nullptr) {
            pszStep = "Hash_Digest";
            ulLen = MD5_LEN;
            if ((ulRet = Hash_Digest(SC_HASH_MD5, pbNewPin, ulNewPinLen, pbPlain + MD5_LEN, &ulLen)) != 0) break;
            ulPlainLen += MD5_LEN;
        }
        memcpy(stKey.N, pbKey, 128);
        stKey.NLen = 128;
        memcpy(stKey.E, pbKey + 128, 4);
        stKey.ELen = 4;
        pszStep = "RSA_Encrypt";
        unsigned int ulCryptLen = 0;
        ulRet = RSA_Encrypt(&stKey, pbPlain, ulPlainLen, pbCrypt, &ulCryptLen, 1);
        if (ulRet == 0 && ulCryptLen != PIN_CRYPT_LEN) ulRet = ERR_BAD_LENGTH;
    } while (0);
    if (pHash != nullptr) {
        unsigned char pbDrop[64];
        unsigned int ulDrop = sizeof(pbDrop);
        Hash_Final(pHash, pbDrop, &ulDrop);
    }
    if (ulRet != 0) TRACE_STEP_FAIL(pszOperation, pszStep, ulRet);
    OPENSSL_cleanse(pbPlain, sizeof(pbPlain));
    OPENSSL_cleanse(pbDigest, sizeof(pbDigest));
    return ulRet;
}

unsigned int CDeviceOperator::SetSessionKey(bool bForce)
{
    static const char *OP = "SetSessionKey";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_STEP(OP, "m_pDeviceContext->SetSessionKey", m_pDeviceContext->SetSessionKey(bForce));
    return 0;
}

unsigned int CDeviceOperator::VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen)
{
    static const char *OP = "VerifyPIN";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszPinBuf);
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    CAPDUPin *pPin = m_pDeviceContext->GetAPDUPin();
    unsigned char pbChallenge[PIN_CHALLENGE_LEN];
    unsigned char pbKey[PIN_KEY_LEN];
    OP_STEP(OP, "m_pDeviceContext->GetAPDUPin()->VerifyPIN_Request",
            pPin->VerifyPIN_Request(OPERATOR_APP_ID, pbChallenge, pbKey));
    unsigned char pbCrypt[PIN_CRYPT_LEN];
    unsigned int ulRet =
        ProtectPIN(OP, pbKey, pbChallenge, (unsigned char *)pszPinBuf, byPinLen, nullptr, 0, pbCrypt);
    if (ulRet != 0) return ulRet;
    unsigned char pbAuthCode[PIN_AUTH_CODE_LEN];
    unsigned int ulAuthLen = sizeof(pbAuthCode);
    ulRet = pPin->VerifyPIN_Response(OPERATOR_APP_ID, byPINType, pbCrypt, sizeof(pbCrypt), pbAuthCode, &ulAuthLen);
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "m_pDeviceContext->GetAPDUPin()->VerifyPIN_Response", ulRet);
        pInfo->SetAuthCode(nullptr, 0);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "m_pDeviceContext->GetAPDUPin()->VerifyPIN_Response");
    ulRet = pInfo->SetAuthCode(pbAuthCode, ulAuthLen);
    OPENSSL_cleanse(pbAuthCode, sizeof(pbAuthCode));
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "m_pDeviceContext->GetDeviceHandle()->SetAuthCode", ulRet);
    return ulRet;
}

unsigned int CDeviceOperator::ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                        char *pszNewPin, unsigned char byNewLen)
{
    static const char *OP = "ChangePIN";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszOldPin);
    OP_CHECK_PTR(OP, pszNewPin);
    CAPDUPin *pPin = m_pDeviceContext->GetAPDUPin();
    unsigned char pbChallenge[PIN_CHALLENGE_LEN];
    unsigned char pbKey[PIN_KEY_LEN];
    unsigned char pbCrypt[PIN_CRYPT_LEN];
    unsigned int ulRet = 0;
    const char *pszStep = "SetSessionKey";
    do {
        if ((ulRet = SetSessionKey(false)) != 0) break;
        pszStep = "m_pDeviceContext->GetAPDUPin()->ChangePIN_Request";
        if ((ulRet = pPin->ChangePIN_Request(OPERATOR_APP_ID, pbChallenge, pbKey)) != 0) break;
        pszStep = nullptr;
        if ((ulRet = ProtectPIN(OP, pbKey, pbChallenge, (unsigned char *)pszOldPin, byOldLen,
                                (unsigned char *)pszNewPin, byNewLen, pbCrypt)) != 0)
            break;
        pszStep = "m_pDeviceContext->GetAPDUPin()->ChangePIN_Response";
        if ((ulRet = pPin->ChangePIN_Response(OPERATOR_APP_ID, byPINType, pbCrypt, sizeof(pbCrypt))) != 0) break;
        TRACE_STEP_OK(OP, pszStep);
        LogOperation(OP, "ChgPin");
    } while (0);
    if (ulRet != 0 && pszStep != nullptr) TRACE_STEP_FAIL(OP, pszStep, ulRet);
    /* A changed PIN (or a failed attempt) must be verified again. */
    m_pDeviceContext->GetDeviceHandle()->SetAuthCode(nullptr, 0);
    return ulRet;
}

/* Unlock and reset share their three flags: 1 the operator answers the
 * challenge with the buffer as PIN, 2 the buffer receives the token serial
 * number and the challenge, 3 the buffer is an answer computed elsewhere. */
struct PIN_RESET_COMMANDS {
    const char *pszOperation;
    const char *pszBufCheck;
    const char *pszFlagCheck;
    const char *pszRequestStep;
    const char *pszResponseStep;
    const char *pszTag;
    unsigned int (CAPDUPin::*pfnRequest)(unsigned short, unsigned char *, unsigned char *);
    unsigned int (CAPDUPin::*pfnResponse)(unsigned short, unsigned char, unsigned char *, unsigned int);
};

unsigned int CDeviceOperator::ResetWithChallenge(const PIN_RESET_COMMANDS &stCmds, unsigned char byFlag,
                                                 unsigned char *pbBuf, unsigned int &nBufLen)
{
    const char *OP = stCmds.pszOperation;
    OP_CHECK_PTR(OP, m_pDeviceContext);
    if (pbBuf == nullptr) {
        TRACE_STEP_FAIL(OP, stCmds.pszBufCheck, ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    CAPDUPin *pPin = m_pDeviceContext->GetAPDUPin();
    unsigned char pbChallenge[PIN_CHALLENGE_LEN];
    unsigned char pbKey[PIN_KEY_LEN];
    if (byFlag == 2) {
        OP_STEP(OP, stCmds.pszRequestStep, (pPin->*stCmds.pfnRequest)(OPERATOR_APP_ID, pbChallenge, pbKey));
        unsigned char pbSN[CHIP_SN_LEN];
        unsigned int ulSNLen = sizeof(pbSN);
        OP_STEP(OP, "m_pDeviceContext->GetAPDUChip()->GetTokenSN",
                m_pDeviceContext->GetAPDUChip()->GetTokenSN(pbSN, &ulSNLen));
        unsigned int ulNeeded = ulSNLen + PIN_CHALLENGE_LEN;
        if (nBufLen < ulNeeded) {
            nBufLen = ulNeeded;
            TRACE_STEP_FAIL(OP, "CHECK nBufLen SIZE", ERR_BUFFER_TOO_SMALL);
            return ERR_BUFFER_TOO_SMALL;
        }
        memcpy(pbBuf, pbSN, ulSNLen);
        memcpy(pbBuf + ulSNLen, pbChallenge, PIN_CHALLENGE_LEN);
        nBufLen = ulNeeded;
        return 0;
    }
    if (byFlag == 3) {
        OP_STEP(OP, stCmds.pszResponseStep, (pPin->*stCmds.pfnResponse)(OPERATOR_APP_ID, 3, pbBuf, nBufLen));
    } else if (byFlag == 1) {
        OP_STEP(OP, stCmds.pszRequestStep, (pPin->*stCmds.pfnRequest)(OPERATOR_APP_ID, pbChallenge, pbKey));
        unsigned char pbCrypt[PIN_CRYPT_LEN];
        unsigned int ulRet = ProtectPIN(OP, pbKey, pbChallenge, pbBuf, nBufLen, nullptr, 0, pbCrypt);
        if (ulRet != 0) return ulRet;
        OP_STEP(OP, stCmds.pszResponseStep,
                (pPin->*stCmds.pfnResponse)(OPERATOR_APP_ID, 1, pbCrypt, sizeof(pbCrypt)));
    } else {
        TRACE_STEP_FAIL(OP, stCmds.pszFlagCheck, ERR_BAD_FLAG);
        return ERR_BAD_FLAG;
    }
    LogOperation(OP, stCmds.pszTag);
    return 0;
}

unsigned int CDeviceOperator::UnlockPIN(unsigned char byUnlockFlag, unsigned char *pbyUnlockBuf,
                                        unsigned int &nBufLen)
{
    static const PIN_RESET_COMMANDS UNLOCK = {
        "UnlockPIN",
        "CHECK pbyUnlockBuf",
        "CHECK byUnlockFlag",
        "m_pDeviceContext->GetAPDUPin()->UnlockPIN_Request",
        "m_pDeviceContext->GetAPDUPin()->UnlockPIN_Response",
        "UnlkPin",
        &CAPDUPin::UnlockPIN_Request,
        &CAPDUPin::UnlockPIN_Response};
    return ResetWithChallenge(UNLOCK, byUnlockFlag, pbyUnlockBuf, nBufLen);
}

unsigned int CDeviceOperator::InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf,
                                            unsigned int &nBufLen)
{
    static const PIN_RESET_COMMANDS RESET = {
        "InitTokenUser",
        "CHECK pbyResetBuf",
        "CHECK byResetFlag",
        "m_pDeviceContext->GetAPDUPin()->ResetApplication_Request",
        "m_pDeviceContext->GetAPDUPin()->ResetApplication_Response",
        "RstApp",
        &CAPDUPin::ResetApp_Request,
        &CAPDUPin::ResetApp_Response};
    /* Resetting the application may take its files with it. */
    if (m_pDeviceContext != nullptr) m_pDeviceContext->BumpFileLayerChangeCounter();
    return ResetWithChallenge(RESET, byResetFlag, pbyResetBuf, nBufLen);
}

unsigned int CDeviceOperator::GetPINStatus(unsigned char byPINType, unsigned char *pbyRetryLeft,
                                           unsigned char *pbyStatus, unsigned char *pbyDefault,
                                           unsigned char *pbyMaxRetry)
{
    static const char *OP = "GetPINStatus";
    static const char *READ = "m_pDeviceContext->GetAPDUPin()->GetPINStatus";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    CAPDUPin *pPin = m_pDeviceContext->GetAPDUPin();
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    OP_CHECK(OP, pPin != nullptr && pInfo != nullptr, "m_pDevieHandle", ERR_NO_CONTEXT);
    /* Answer bytes: maximum, remaining, default flag, not interpreted. */
    auto fnRead = [&] {
        return pPin->GetPINStatus(OPERATOR_APP_ID, byPINType, pbyMaxRetry, pbyRetryLeft, pbyDefault, pbyStatus);
    };
    if (pInfo->ChannelChecked()) {
        OP_STEP(OP, READ, fnRead());
        return 0;
    }
    /* The read travels under the secure channel, so its success shows that
     * the token takes the channel: it stands for the channel check.  A
     * failure sets a new channel up, as a failed check does, and reads once
     * more. */
    unsigned int ulRet = 0;
    {
        /* No channel yet, or one the token no longer takes: set up below. */
        CExpectedStepCode channel(ApduChannelRefused);
        ulRet = fnRead();
        if (ulRet != 0) TRACE_STEP_FAIL(OP, READ, ulRet);
    }
    if (ulRet == 0) {
        TRACE_STEP_OK(OP, READ);
        pInfo->NoteChannelChecked();
        return 0;
    }
    /* The channel is gone, perhaps with all the token's volatile state. */
    m_pDeviceContext->DisownKeySlot();
    OP_STEP(OP, "SetSessionKey", SetSessionKey(true));
    OP_STEP(OP, READ, fnRead());
    return 0;
}

unsigned int CDeviceOperator::ClearAuthCode()
{
    static const char *OP = "ClearAuthCode";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUPin()->ClearAuthCode",
            m_pDeviceContext->GetAPDUPin()->ClearAuthCode(OPERATOR_APP_ID));
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    if (pInfo->m_ulAuthCodeLen != 0) pInfo->SetAuthCode(nullptr, 0);
    return 0;
}
