#include "SarnCore/APDUCrypto.h"

#include <time.h>

#include "SarnCore/APDUCommon.h"
#include "SoftCrypto/SymKeyHandle.h"
#include "SarnCore/DeviceContext.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;
static const unsigned char SECURE = APDU_CLA_SECURE;
static const unsigned int KEY_PREFIX_LEN = APDU_AUTH_CODE_LEN + 4;
static const unsigned int SW_BUTTON_WAIT = SARN_SW_CODE(0xF321);

/* Signature or result length of a token key algorithm code; 0 for a code
 * that is not one of the given ones. */
static unsigned int RsaResultLen(unsigned char byAlgID)
{
    return byAlgID == TOKEN_ALG_RSA1024 ? 128u : byAlgID == TOKEN_ALG_RSA2048 ? 256u : 0u;
}

/* The key prefix: authorisation code, application, key file. */
static CApduBody &KeyPrefix(CApduBody &body, const unsigned char *pbAuthCode, unsigned short usAppID,
                            unsigned short usKeyFID)
{
    return body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID);
}

static void SleepMs(unsigned int ulMs)
{
    struct timespec ts = {(time_t)(ulMs / 1000), (long)(ulMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

CAPDUCrypto::CAPDUCrypto(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout)
    : CAPDU(pDeviceInfo, ulTimeout), m_ulButtonWaitMs(CRYPTO_BUTTON_WAIT_MS)
{
    CDeviceContext::TraceInfo("CAPDUCrypto: Constructor");
}

CAPDUCrypto::~CAPDUCrypto()
{
    CDeviceContext::TraceInfo("CAPDUCrypto: Destructor");
}

unsigned int CAPDUCrypto::RSAPriKeyRaw(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                       unsigned char byAlgID, unsigned char *pbIn, unsigned int ulInLen,
                                       unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "RSAPriKeyRaw";
    unsigned int ulLe = RsaResultLen(byAlgID);
    if (ulLe == 0) return APDU_CHECK_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    CApduBody body(KEY_PREFIX_LEN + 300);
    KeyPrefix(body, pbAuthCode, usAppID, usKeyFID).Bytes(pbIn, ulInLen);
    CApduAnswer answer(ulLe, true);
    unsigned int ulRet = SendCommand(OP, {SECURE, 0x57, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SignDisp(const char *szOperation, unsigned char byINS, const unsigned char *pbPrefix,
                                   const CApduBody &start, const unsigned char *pbMsg, unsigned int ulMsgLen,
                                   unsigned int ulSigLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    unsigned int ulRet = SendCommand(szOperation, {SECURE, byINS, 0x00, 0x00}, &start, nullptr);
    for (unsigned int ulAt = 0; ulRet == 0 && ulAt < ulMsgLen; ulAt += APDU_CHUNK_LEN) {
        unsigned int ulChunk = ulMsgLen - ulAt < APDU_CHUNK_LEN ? ulMsgLen - ulAt : APDU_CHUNK_LEN;
        CApduBody body(KEY_PREFIX_LEN + APDU_CHUNK_LEN);
        body.Bytes(pbPrefix, KEY_PREFIX_LEN).Bytes(pbMsg == nullptr ? nullptr : pbMsg + ulAt, ulChunk);
        ulRet = SendCommand(szOperation, {SECURE, byINS, 0x01, 0x00}, &body, nullptr);
    }
    CApduBody prefix;
    prefix.Bytes(pbPrefix, KEY_PREFIX_LEN);
    if (ulRet == 0) ulRet = SendCommand(szOperation, {SECURE, byINS, 0x02, 0x00}, &prefix, nullptr);
    if (ulRet != 0) return ulRet;
    if (ulSigLen == 0) return APDU_CHECK_FAIL(szOperation, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    CApduAnswer answer(ulSigLen, true);
    /* While the token waits for its button: no longer than a confirmation
     * prompt would let the user take. */
    unsigned int ulWaited = 0;
    {
        /* "Not pressed yet" is what each fetch of the wait looks for. */
        CExpectedStepCode button(SW_BUTTON_WAIT);
        do {
            SleepMs(CRYPTO_FETCH_WAIT_MS);
            ulWaited += CRYPTO_FETCH_WAIT_MS;
            ulRet = SendCommand(szOperation, {SECURE, byINS, 0x03, 0x00}, &prefix, &answer);
        } while (ulRet == SW_BUTTON_WAIT && ulWaited < m_ulButtonWaitMs);
    }
    if (ulRet == SW_BUTTON_WAIT) return APDU_CHECK_FAIL(szOperation, "CHECK button wait", SCARD_E_TIMEOUT);
    return ulRet != 0 ? ulRet : ApduCopyOut(szOperation, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::RSASignDisp(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                      unsigned char byAlgID, unsigned char byHashAlgID, unsigned char *pbMsg,
                                      unsigned int ulMsgLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduBody prefix;
    KeyPrefix(prefix, pbAuthCode, usAppID, usKeyFID);
    if (prefix.Overflowed()) return APDU_CHECK_FAIL("RSASignDisp", "CHECK pbAuthCode", ERR_NULL_ARGUMENT);
    CApduBody start;
    start.Bytes(prefix.Data(), KEY_PREFIX_LEN).U8(byHashAlgID);
    return SignDisp("RSASignDisp", 0x58, prefix.Data(), start, pbMsg, ulMsgLen, RsaResultLen(byAlgID), pbOut,
                    pulOutLen);
}

unsigned int CAPDUCrypto::SM2SignDigest(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                        unsigned char *pbDigest, unsigned int ulDigestLen, unsigned char *pbOut,
                                        unsigned int *pulOutLen)
{
    CApduBody body(KEY_PREFIX_LEN + 44);
    KeyPrefix(body, pbAuthCode, usAppID, usKeyFID).Bytes(pbDigest, ulDigestLen);
    CApduAnswer answer(2 * SC_SM2_BYTES, true);
    unsigned int ulRet = SendCommand("SM2SignDigest", {SECURE, 0x73, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("SM2SignDigest", answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SM2SignDisp(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                      unsigned char *pbMsg, unsigned int ulMsgLen, unsigned char *pbOut,
                                      unsigned int *pulOutLen)
{
    CApduBody prefix;
    KeyPrefix(prefix, pbAuthCode, usAppID, usKeyFID);
    if (prefix.Overflowed()) return APDU_CHECK_FAIL("SM2SignDisp", "CHECK pbAuthCode", ERR_NULL_ARGUMENT);
    CApduBody start;
    start.Bytes(prefix.Data(), KEY_PREFIX_LEN).Bytes((const unsigned char *)CRYPTO_DEFAULT_SM2_ID, 16);
    return SignDisp("SM2SignDisp", 0x74, prefix.Data(), start, pbMsg, ulMsgLen, 2 * SC_SM2_BYTES, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SM2Decrypt(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                     unsigned char *pbCipher, unsigned int ulCipherLen, unsigned char *pbOut,
                                     unsigned int *pulOutLen)
{
    static const char *OP = "SM2Decrypt";
    if (ulCipherLen <= CRYPTO_SM2_OVERHEAD || ulCipherLen > 300)
        return APDU_CHECK_FAIL(OP, "CHECK nEncryptedLen", ERR_BAD_LENGTH);
    CApduBody body(KEY_PREFIX_LEN + 300);
    KeyPrefix(body, pbAuthCode, usAppID, usKeyFID).Bytes(pbCipher, ulCipherLen);
    CApduAnswer answer(ulCipherLen - CRYPTO_SM2_OVERHEAD, true);
    unsigned int ulRet = SendCommand(OP, {SECURE, 0x75, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SignWithAdminKey(unsigned char *pbAuthCode, unsigned char byAlgID, unsigned char *pbData,
                                           unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "SignWithAdminKey";
    unsigned int ulLe = byAlgID == TOKEN_ALG_RSA1024 ? 128u : byAlgID == TOKEN_ALG_SM2 ? 64u : 0u;
    if (ulLe == 0) return APDU_CHECK_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    CApduBody body(APDU_AUTH_CODE_LEN + 304);
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).Bytes(pbData, ulLen);
    CApduAnswer answer(ulLe, true);
    unsigned int ulRet = SendCommand(OP, {SECURE, 0x67, 0x00, byAlgID}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::ExtSM2Encrypt(unsigned char *pbPubKey, unsigned int ulPubKeyLen, unsigned char *pbPlain,
                                        unsigned int ulPlainLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "ExtSM2Encrypt";
    if (ulPlainLen > CRYPTO_EXT_PLAIN_MAX) return APDU_CHECK_FAIL(OP, "CHECK nPlainLen", ERR_BAD_LENGTH);
    CApduBody body(256);
    body.U32(4 * ulPubKeyLen).Bytes(pbPubKey, ulPubKeyLen).U32(ulPlainLen).Bytes(pbPlain, ulPlainLen);
    /* The answer carries the point's coordinates at the key's size, C3 and
     * C2: room for that whatever the plaintext length. */
    unsigned int ulNeed = 4 + ulPubKeyLen + 32 + 4 + ulPlainLen;
    CApduAnswer answer(ulNeed > 224 ? ulNeed : 224);
    unsigned int ulRet = SendCommand(OP, {PLAIN, 0x7A, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::ExtSM2Decrypt(unsigned char *pbPriKey, unsigned int ulPriKeyLen, unsigned char *pbCipher,
                                        unsigned int ulCipherLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "ExtSM2Decrypt";
    if (ulCipherLen > CRYPTO_EXT_CIPHER_MAX || 4u + (unsigned long long)ulPriKeyLen + ulCipherLen > 256)
        return APDU_CHECK_FAIL(OP, "CHECK nEncryptedLen", ERR_BAD_LENGTH);
    CApduBody body(256);
    body.U32(8 * ulPriKeyLen).Bytes(pbPriKey, ulPriKeyLen).Bytes(pbCipher, ulCipherLen);
    CApduAnswer answer(132);
    unsigned int ulRet = SendCommand(OP, {SECURE, 0x7C, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::ExtSM2SignHash(unsigned char *pbPriKey, unsigned int ulPriKeyLen, unsigned char *pbHash,
                                         unsigned int ulHashLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduBody body(128);
    body.U32(8 * ulPriKeyLen).Bytes(pbPriKey, ulPriKeyLen).U32(ulHashLen).Bytes(pbHash, ulHashLen);
    CApduAnswer answer(2 * SC_SM2_BYTES, true);
    unsigned int ulRet = SendCommand("ExtSM2SignHash", {SECURE, 0x7E, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("ExtSM2SignHash", answer, pbOut, pulOutLen);
}

/* Decrypting instructions are eight above their encrypting twins. */
static unsigned char SymIns(unsigned char byEncryptIns, unsigned char byDirection)
{
    return (unsigned char)(byDirection == SYM_CRYPT_ENCRYPT ? byEncryptIns : byEncryptIns + 8);
}

unsigned int CAPDUCrypto::SymEncryptInit(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                         unsigned short usKeySpec, unsigned char *pbIV, unsigned int ulIVLen)
{
    CApduBody body(16 + 312);
    body.U16(usAppID).U16(usKeyID).U16(usKeySpec).U16(ulIVLen).Bytes(pbIV, ulIVLen).U32(0).U32(0);
    return SendCommand(byDirection == SYM_CRYPT_ENCRYPT ? "SymEncryptInit" : "SymDecryptInit",
                       {PLAIN, SymIns(0xA4, byDirection), 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUCrypto::SymCommand(const char *szOperation, unsigned char byINS, unsigned short usAppID,
                                     unsigned short usKeyID, const unsigned char *pbIn, unsigned int ulInLen,
                                     unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduBody body(4 + 316);
    body.U16(usAppID).U16(usKeyID);
    if (pbIn != nullptr) body.Bytes(pbIn, ulInLen);
    CApduAnswer answer(CRYPTO_SYM_BLOCK_MAX);
    unsigned int ulRet = SendCommand(szOperation, {PLAIN, byINS, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(szOperation, answer, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SymEncryptUpdate(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                           unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                           unsigned int *pulOutLen)
{
    return SymCommand(byDirection == SYM_CRYPT_ENCRYPT ? "SymEncryptUpdate" : "SymDecryptUpdate",
                      SymIns(0xA8, byDirection), usAppID, usKeyID, pbIn, ulInLen, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::SymEncryptFinal(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                          unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                          unsigned int *pulOutLen)
{
    return SymCommand(byDirection == SYM_CRYPT_ENCRYPT ? "SymEncryptFinal" : "SymDecryptFinal",
                      SymIns(0xAA, byDirection), usAppID, usKeyID, pbIn, ulInLen, pbOut, pulOutLen);
}

unsigned int CAPDUCrypto::HashInit(unsigned char byHashAlgID)
{
    return SendCommand("HashInit", {PLAIN, 0xB6, 0x00, byHashAlgID}, nullptr, nullptr);
}

unsigned int CAPDUCrypto::HashUpdate(unsigned char *pbData, unsigned int ulLen)
{
    return Submit("HashUpdate", {PLAIN, 0xB6, 0x00, 0x00}, pbData, ulLen);
}

unsigned int CAPDUCrypto::HashFinal(unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduAnswer answer(64);
    unsigned int ulRet = SendCommand("HashFinal", {PLAIN, 0xB6, 0x00, 0x00}, nullptr, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("HashFinal", answer, pbOut, pulOutLen);
}
