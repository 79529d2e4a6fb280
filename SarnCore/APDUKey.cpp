#include "SarnCore/APDUKey.h"

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;
static const unsigned char SECURE = APDU_CLA_SECURE;

CAPDUKey::CAPDUKey(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUKey: Constructor");
}

CAPDUKey::~CAPDUKey()
{
    CDeviceContext::TraceInfo("CAPDUKey: Destructor");
}

unsigned int CheckCompactKey(const char *szOperation, const char *szStep, const unsigned char *pbKey,
                             unsigned int ulLen)
{
    if (pbKey == nullptr || ulLen < 4) return APDU_CHECK_FAIL(szOperation, szStep, ERR_BAD_LENGTH);
    unsigned int ulBits = ((unsigned int)pbKey[0] << 24) | ((unsigned int)pbKey[1] << 16) |
                          ((unsigned int)pbKey[2] << 8) | pbKey[3];
    if (ulBits % 8 != 0 || ulBits > 8u * APDU_MAX_BODY || 4u + 2u * (ulBits / 8) != ulLen)
        return APDU_CHECK_FAIL(szOperation, szStep, ERR_BAD_LENGTH);
    return 0;
}

unsigned int CAPDUKey::GenRandom(unsigned char byCount, unsigned char *pbOut)
{
    CApduAnswer answer(byCount);
    unsigned int ulRet = SendCommand("GenRandom", {PLAIN, 0x50, 0x00, 0x00}, nullptr, &answer);
    if (ulRet != 0) return ulRet;
    if (answer.Length() != byCount) return APDU_CHECK_FAIL("GenRandom", "CHECK random length", ERR_BAD_LENGTH);
    return answer.CopyTo(pbOut, nullptr);
}

unsigned int CAPDUKey::GenRsaKeyPair(unsigned char byAlgID, unsigned char *pbAuthCode, unsigned short usAppID,
                                     unsigned short usKeyFID, unsigned int ulExponent)
{
    CApduBody body;
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID).U32(ulExponent);
    return SendCommand("GenRsaKeyPair", {SECURE, 0x54, byAlgID, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::GenSm2KeyPair(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID)
{
    CApduBody body;
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID);
    return SendCommand("GenSm2KeyPair", {SECURE, 0x70, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::ImportRsaKeyPair(unsigned char byAlgID, unsigned char *pbAuthCode, unsigned short usAppID,
                                        unsigned short usKeyFID, unsigned char *pbKey, unsigned int ulKeyLen,
                                        bool bEncrypted)
{
    static const char *OP = "ImportRsaKeyPair";
    unsigned int ulMaterial = byAlgID == TOKEN_ALG_RSA2048 ? KEY_RSA_MATERIAL_2048 : KEY_RSA_MATERIAL_1024;
    if (ulKeyLen > ulMaterial) return APDU_CHECK_FAIL(OP, "CHECK nKeyLen", ERR_BAD_LENGTH);
    if (pbKey == nullptr && ulKeyLen != 0) return APDU_CHECK_FAIL(OP, "CHECK pbKey", ERR_NULL_ARGUMENT);
    unsigned char pbChunk[APDU_CHUNK_LEN];
    unsigned int ulRet = 0;
    for (unsigned int ulAt = 0, n = 0; ulAt < ulMaterial && ulRet == 0; ulAt += APDU_CHUNK_LEN, ++n) {
        unsigned int ulChunk = ulMaterial - ulAt < APDU_CHUNK_LEN ? ulMaterial - ulAt : APDU_CHUNK_LEN;
        for (unsigned int i = 0; i < ulChunk; ++i) pbChunk[i] = ulAt + i < ulKeyLen ? pbKey[ulAt + i] : 0;
        CApduBody body;
        body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID).Bytes(pbChunk, ulChunk);
        ulRet = SendCommand("ImportRsaKeyPair(P1=0x00)", {SECURE, 0x56, 0x00, (unsigned char)n}, &body, nullptr);
    }
    OPENSSL_cleanse(pbChunk, sizeof(pbChunk));
    if (ulRet != 0) return ulRet;
    CApduBody body;
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID).U8(byAlgID);
    return SendCommand("ImportRsaKeyPair(P1=0x01)", {SECURE, 0x56, 0x01, (unsigned char)(bEncrypted ? 1 : 0)}, &body,
                       nullptr);
}

/* Authorisation code, application, key file and data: the body of the key
 * imports. */
static void KeyImportBody(CApduBody &body, const unsigned char *pbAuthCode, unsigned short usAppID,
                          unsigned short usKeyFID, const unsigned char *pbData, unsigned int ulLen)
{
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usKeyFID).Bytes(pbData, ulLen);
}

unsigned int CAPDUKey::ImportSm2KeyPair(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                        unsigned char *pbKey, unsigned int ulKeyLen)
{
    CApduBody body(512);
    KeyImportBody(body, pbAuthCode, usAppID, usKeyFID, pbKey, ulKeyLen);
    return SendCommand("ImportSm2KeyPair", {SECURE, 0x72, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::ImportEncSymKey(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                       unsigned char *pbKey, unsigned int ulKeyLen)
{
    CApduBody body(512);
    KeyImportBody(body, pbAuthCode, usAppID, usKeyFID, pbKey, ulKeyLen);
    return SendCommand("ImportEncSymKey", {SECURE, 0xA0, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::ImportSymKey(unsigned short usAppID, unsigned short usKeyID, unsigned short usKeySpec,
                                    unsigned char *pbKey, unsigned int ulKeyLen)
{
    CApduBody body(512);
    body.U16(usAppID).U16(usKeyID).U16(usKeySpec).U16(ulKeyLen).Bytes(pbKey, ulKeyLen);
    return SendCommand("ImportSymKey", {SECURE, 0xA2, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::ExportPublicKey(unsigned short usAppID, unsigned short usKeyFID, unsigned char byAlgID,
                                       void *pKeyRecord)
{
    static const char *OP = "ExportPublicKey";
    unsigned int ulModulus = byAlgID == TOKEN_ALG_RSA1024 ? 128u : byAlgID == TOKEN_ALG_RSA2048 ? 256u : 0u;
    if (ulModulus == 0 && byAlgID != TOKEN_ALG_SM2) return APDU_CHECK_FAIL(OP, "CHECK byAlgID", ERR_BAD_ALGORITHM);
    if (pKeyRecord == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pKeyRecord", ERR_NULL_ARGUMENT);
    CApduBody body;
    body.U16(usAppID).U16(usKeyFID);
    CApduAnswer answer(ulModulus != 0 ? ulModulus + 4 : 2 * SC_SM2_BYTES, true);
    unsigned int ulRet = SendCommand(OP, {PLAIN, 0x88, 0x00, 0x00}, &body, &answer);
    if (ulRet != 0) return ulRet;
    if (ulModulus != 0) {
        _QV_RSA_KEY_PAIR *pKey = static_cast<_QV_RSA_KEY_PAIR *>(pKeyRecord);
        answer.Take(0, ulModulus, pKey->N);
        pKey->NLen = ulModulus;
        answer.Take(ulModulus, 4, pKey->E);
        pKey->ELen = 4;
    } else {
        _QV_SM2_KEY_PAIR *pKey = static_cast<_QV_SM2_KEY_PAIR *>(pKeyRecord);
        answer.Take(0, SC_SM2_BYTES, pKey->X);
        answer.Take(SC_SM2_BYTES, SC_SM2_BYTES, pKey->Y);
    }
    return 0;
}

unsigned int CAPDUKey::ExportSessionKey(unsigned short usAppID, unsigned short usKeySpec, unsigned char *pbPubKey,
                                        unsigned int ulPubKeyLen, unsigned char *pbOut, unsigned int *pulOutLen)
{
    CApduBody body(8 + 122);
    body.U16(usAppID).U32(4 * ulPubKeyLen).Bytes(pbPubKey, ulPubKeyLen).U16(usKeySpec);
    CApduAnswer answer(KEY_SESSION_EXPORT_LEN);
    unsigned int ulRet = SendCommand("ExportSessionKey", {PLAIN, 0x78, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("ExportSessionKey", answer, pbOut, pulOutLen);
}

unsigned int CAPDUKey::GenerateAgreementDataWithECC(unsigned short usAppID, unsigned short usKeyFID,
                                                    unsigned short usKeySpec, unsigned char *pbID,
                                                    unsigned int ulIDLen, unsigned char *pbOut,
                                                    unsigned int *pulOutLen)
{
    static const char *OP = "GenerateAgreementDataWithECC";
    CApduBody body(10 + 54);
    body.U16(usAppID).U16(usKeyFID).U16(usKeySpec).U32(ulIDLen).Bytes(pbID, ulIDLen);
    if (body.Overflowed()) return APDU_CHECK_FAIL(OP, "CHECK nIDLen", ERR_BAD_LENGTH);
    CApduAnswer answer(KEY_AGREEMENT_LEN);
    unsigned int ulRet = SendCommand(OP, {PLAIN, 0x82, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUKey::GenerateAgreementDataAndKeyWithECC(
    unsigned short usAppID, unsigned short usKeyFID, unsigned short usKeySpec, unsigned char *pbSponsorKey,
    unsigned int ulSponsorKeyLen, unsigned char *pbSponsorTempKey, unsigned int ulSponsorTempKeyLen,
    unsigned char *pbFirstID, unsigned int ulFirstIDLen, unsigned char *pbSecondID, unsigned int ulSecondIDLen,
    unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "GenerateAgreementDataAndKeyWithECC";
    unsigned int ulRet = CheckCompactKey(OP, "CHECK pbySponsorKey", pbSponsorKey, ulSponsorKeyLen);
    if (ulRet == 0) ulRet = CheckCompactKey(OP, "CHECK pbySponsorTempKey", pbSponsorTempKey, ulSponsorTempKeyLen);
    if (ulRet != 0) return ulRet;
    CApduBody body(256);
    body.U16(usAppID).U16(usKeyFID).U16(usKeySpec).Bytes(pbSponsorKey, ulSponsorKeyLen);
    body.Bytes(pbSponsorTempKey, ulSponsorTempKeyLen).U32(ulFirstIDLen).Bytes(pbFirstID, ulFirstIDLen);
    body.U32(ulSecondIDLen).Bytes(pbSecondID, ulSecondIDLen);
    if (body.Overflowed()) return APDU_CHECK_FAIL(OP, "CHECK nIDLen", ERR_BAD_LENGTH);
    CApduAnswer answer(KEY_AGREEMENT_LEN);
    ulRet = SendCommand(OP, {PLAIN, 0x84, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut(OP, answer, pbOut, pulOutLen);
}

unsigned int CAPDUKey::GenerateKeyWithECC(unsigned short usAppID, unsigned short usKeyFID, unsigned int ulParameter,
                                          unsigned char *pbPeerKey, unsigned int ulPeerKeyLen,
                                          unsigned char *pbPeerTempKey, unsigned int ulPeerTempKeyLen,
                                          unsigned char *pbID, unsigned int ulIDLen, unsigned int *pulKeyID)
{
    static const char *OP = "GenerateKeyWithECC";
    if (pulKeyID == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pnKeyID", ERR_NULL_ARGUMENT);
    unsigned int ulRet = CheckCompactKey(OP, "CHECK pbyPeerKey", pbPeerKey, ulPeerKeyLen);
    if (ulRet == 0) ulRet = CheckCompactKey(OP, "CHECK pbyPeerTempKey", pbPeerTempKey, ulPeerTempKeyLen);
    if (ulRet != 0) return ulRet;
    CApduBody body(256);
    body.U16(usAppID).U16(usKeyFID).U32(ulParameter).Bytes(pbPeerKey, ulPeerKeyLen);
    body.Bytes(pbPeerTempKey, ulPeerTempKeyLen).U32(ulIDLen).Bytes(pbID, ulIDLen);
    if (body.Overflowed()) return APDU_CHECK_FAIL(OP, "CHECK nIDLen", ERR_BAD_LENGTH);
    CApduAnswer answer(4);
    ulRet = SendCommand(OP, {PLAIN, 0x86, 0x00, 0x00}, &body, &answer);
    if (ulRet != 0) return ulRet;
    if (answer.Length() != 4) return APDU_CHECK_FAIL(OP, "CHECK answer length", ERR_BAD_LENGTH);
    *pulKeyID = ((unsigned int)answer.Byte(0) << 24) | ((unsigned int)answer.Byte(1) << 16) |
                ((unsigned int)answer.Byte(2) << 8) | answer.Byte(3);
    return 0;
}

unsigned int CAPDUKey::WriteCert(unsigned char byFlags, unsigned char *pbAuthCode, unsigned short usAppID,
                                 unsigned short usCertFID, unsigned short usOffset, unsigned char *pbData,
                                 unsigned int ulLen)
{
    CApduBody body(24 + 488);
    body.Bytes(pbAuthCode, APDU_AUTH_CODE_LEN).U16(usAppID).U16(usCertFID).U16(usOffset).U16(ulLen);
    body.Bytes(pbData, ulLen);
    return SendCommand("WriteCert", {SECURE, 0x4C, byFlags, 0x00}, &body, nullptr);
}

unsigned int CAPDUKey::ReadCert(unsigned short usAppID, unsigned short usCertFID, unsigned short usOffset,
                                unsigned char *pbOut, unsigned int *pulLen)
{
    static const char *OP = "ReadCert";
    if (pulLen == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pnOutlen", ERR_NULL_ARGUMENT);
    if (*pulLen > 0xFFFF || *pulLen > APDU_MAX_PAYLOAD) return APDU_CHECK_FAIL(OP, "CHECK *pnOutlen", ERR_BAD_LENGTH);
    CApduBody body;
    body.U16(usAppID).U16(usCertFID).U16(usOffset);
    CApduAnswer answer(*pulLen);
    unsigned int ulRet = SendCommand(OP, {PLAIN, 0x4E, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : answer.CopyTo(pbOut, pulLen);
}

unsigned int CAPDUKey::ReadCertSHA1(unsigned short usAppID, unsigned short usCertFID, unsigned char *pbOut)
{
    CApduBody body;
    body.U16(usAppID).U16(usCertFID);
    CApduAnswer answer(20, true);
    unsigned int ulRet = SendCommand("ReadCertSHA1", {PLAIN, 0x4E, 0x01, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : answer.CopyTo(pbOut, nullptr);
}
