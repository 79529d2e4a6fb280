/* CContainerObject: what uses the container's private keys on the token:
 * RSA and SM2 signatures (with the press-button confirmation through the
 * operation callback), session keys exported under a peer's SM2 key or
 * imported under the container's key, and both sides of the SM2 key
 * agreement.  Session keys and agreements are handed out as key handle
 * objects, whose keys stay on the token.
 *
 * Signing key: the signature pair, else the exchange pair.  Session-key
 * import and agreement key: the exchange pair, else the signature pair.
 * Token answers are read within their own length and within the fields of
 * the caller's records, which are zeroed whole before they are filled. */
#include "skf/ContainerObject.h"

#include <stddef.h>
#include <string.h>

#include <memory>
#include <new>

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/APDUKey.h"
#include "SarnCore/KeyObjectBrio.h"
#include "SarnCore/OperatorSteps.h"
#include "log/TraceFuncScope.h"
#include "log/vexa_log.h"
#include "skf/SymKeyObject.h"

#define SIGN_HASH_NONE 0xFFu        /* the key object signs the bytes as given */
#define SIGN_HASH_SM3 18u
#define RSA_PKCS1_OVERHEAD 11u
#define TOKEN_ANSWER_LEN 320u       /* room for each token answer */
#define ECC_FIELD_LEN 64u
#define ECC_FIELD_BITS (ECC_FIELD_LEN * 8u)
#define SM2_COORD_LEN 32u
#define SM2_HASH_LEN 32u
#define SM2_POINT_PREFIX 0x04u
#define SESSION_KEY_LEN 16u         /* SM1 and SM4 keys */
#define COMPACT_KEY_MAX (4u + 2u * ECC_FIELD_LEN)
#define WRAPPED_RSA_MAX 512u        /* a session key under the container's RSA key */
#define WRAPPED_SM2_CIPHER_MAX 415u /* cipher bytes of one under its SM2 key */
#define ECC_CIPHER_HEAD_LEN ((unsigned int)offsetof(ECCCIPHERBLOB, Cipher)) /* the record before its cipher */
#define WRAPPED_SM2_MAX (1u + 2u * SM2_COORD_LEN + SM2_HASH_LEN + WRAPPED_SM2_CIPHER_MAX)

/* ---- signatures ---- */

unsigned int CContainerObject::CheckModifiedPIN(const char *pszOperation, unsigned short usCertFID)
{
    if (usCertFID == 0) return 0;
    unsigned char byDefault = 0;
    OP_STEP(pszOperation, "GetPINStatus", GetPINStatus(USER_TYPE, nullptr, nullptr, &byDefault, nullptr));
    /* Any non-zero flag: the PIN is still the default one. */
    OP_CHECK(pszOperation, byDefault == 0, "modified PIN", SAR_USER_PIN_NOT_INITIALIZED);
    return 0;
}

unsigned int CContainerObject::NewSigningKey(const char *pszOperation, bool bRsa, CAsymKeyObject **ppKey)
{
    ContainerKeys stKeys;
    OP_STEP(pszOperation, "GetContainerValid", GetContainerKeys(&stKeys));
    const bool bAlgOk = bRsa ? stKeys.ulAlgID == TOKEN_ALG_RSA1024 || stKeys.ulAlgID == TOKEN_ALG_RSA2048
                             : stKeys.ulAlgID == TOKEN_ALG_SM2;
    OP_CHECK(pszOperation, bAlgOk, "ulAlgID", SAR_KEYINFOTYPEERR);
    const bool bSign = stKeys.usSignKeyFID != 0;
    unsigned int ulRet = CheckModifiedPIN(pszOperation, bSign ? stKeys.usSignCertFID : stKeys.usExchCertFID);
    if (ulRet != 0) return ulRet;
    OP_STEP(pszOperation, "NewAsymKey",
            NewAsymKey((unsigned char)stKeys.ulAlgID, bSign ? stKeys.usSignKeyFID : stKeys.usExchKeyFID, ppKey));
    return 0;
}

unsigned int CContainerObject::RSASignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbSignature,
                                           unsigned int *pulSignLen)
{
    static const char *OP = "RSASignData";
    OP_CHECK(OP, pbData != nullptr, "pbData", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulSignLen != nullptr, "pulSignLen", SAR_INVALIDPARAMERR);
    const unsigned int ulCapacity = *pulSignLen;
    *pulSignLen = 0;
    CAsymKeyObject *pKeyObject = nullptr;
    unsigned int ulRet = NewSigningKey(OP, true, &pKeyObject);
    if (ulRet != 0) return ulRet;
    std::unique_ptr<CAsymKeyObject> key(pKeyObject);
    const unsigned int ulOut = key->GetOutlen(ASYM_OP_SIGN, ulDataLen);
    *pulSignLen = ulOut;
    OP_CHECK(OP, ulOut > RSA_PKCS1_OVERHEAD && ulDataLen <= ulOut - RSA_PKCS1_OVERHEAD, "ulInlen", SAR_INDATALENERR);
    if (pbSignature == nullptr) {
        TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pbOutbuf", 0ul, BRIO_FILE_NAME, __LINE__);
        return 0;
    }
    OP_CHECK(OP, ulCapacity >= ulOut, "*pulOutlen SIZE", SAR_BUFFER_TOO_SMALL);
    /* The data are always padded here: the key object would take data that
     * begin 00 01 as a block padded already. */
    unsigned char pbBlock[SC_RSA_MAX_BYTES];
    OP_CHECK(OP, ulOut <= sizeof(pbBlock) && RsaSignatureBlock(pbData, ulDataLen, ulOut, pbBlock), "ulInlen",
             SAR_INDATALENERR);
    OperationCallbackContext stContext = {0, this};
    unsigned int ulLen = ulOut;
    ulRet = CAsymKeyObjectBrio::PrikeySign(key.get(), SIGN_HASH_NONE, pbBlock, ulOut, pbSignature, &ulLen,
                                           SKFOperationCallback, &stContext);
    OPENSSL_cleanse(pbBlock, sizeof(pbBlock));
    *pulSignLen = ulLen;
    OP_STEP(OP, "pAsymKeyBrio->PrikeySign", ulRet);
    return 0;
}

unsigned int CContainerObject::ECCSignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbR,
                                           unsigned char *pbS)
{
    static const char *OP = "ECCSignData";
    OP_CHECK(OP, ulDataLen == SM2_DIGEST_LEN, "ulInlen", SAR_INDATALENERR);
    OP_CHECK(OP, pbData != nullptr && pbR != nullptr && pbS != nullptr, "pbData, pbR and pbS", SAR_INVALIDPARAMERR);
    CAsymKeyObject *pKeyObject = nullptr;
    unsigned int ulRet = NewSigningKey(OP, false, &pKeyObject);
    if (ulRet != 0) return ulRet;
    std::unique_ptr<CAsymKeyObject> key(pKeyObject);
    unsigned char pbSignature[TOKEN_ANSWER_LEN];
    memset(pbSignature, 0, sizeof(pbSignature));
    unsigned int ulLen = SM2_SIGNATURE_LEN;
    OperationCallbackContext stContext = {0, this};
    ulRet = CAsymKeyObjectBrio::PrikeySign(key.get(), SIGN_HASH_SM3, pbData, ulDataLen, pbSignature, &ulLen,
                                           SKFOperationCallback, &stContext);
    OP_STEP(OP, "pAsymKeyBrio->PrikeySign", ulRet);
    OP_CHECK(OP, ulLen == SM2_SIGNATURE_LEN, "nSignLen", SAR_INDATALENERR);
    memset(pbR, 0, ECC_FIELD_LEN);
    memset(pbS, 0, ECC_FIELD_LEN);
    memcpy(pbR + ECC_FIELD_LEN - SM2_COORD_LEN, pbSignature, SM2_COORD_LEN);
    memcpy(pbS + ECC_FIELD_LEN - SM2_COORD_LEN, pbSignature + SM2_COORD_LEN, SM2_COORD_LEN);
    return 0;
}

/* ---- session keys and agreement ---- */

unsigned int CContainerObject::RSAExportSessionKey(unsigned int, Struct_RSAPUBLICKEYBLOB *, unsigned char *,
                                                   unsigned int *, void **)
{
    TRACE_STEP_FAIL("RSAExportSessionKey", "Unsupported function", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CContainerObject::CheckKeyCommands(const char *pszOperation)
{
    OP_CHECK(pszOperation, m_pDeviceContext != nullptr, "pDeviceContext", SAR_INVALIDHANDLEERR);
    OP_CHECK(pszOperation, m_pDeviceContext->GetDeviceHandle() != nullptr, "pDeviceHandle", SAR_INVALIDHANDLEERR);
    if (m_pDeviceContext->GetAPDUKey() == nullptr) {
        TRACE_STEP_FAIL(pszOperation, "DYNAMIC_CAST pApduKey", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    return 0;
}

/* The token's symmetric key spec of a session-key identifier: the cipher
 * (16 SM1, 19 SM4) times 256 plus the mode (1 ECB, 2 CBC); 0 for any
 * other identifier (the MAC identifiers among them). */
static unsigned short SessionKeySpec(unsigned int ulAlgId)
{
    switch (ulAlgId) {
    case SGD_SM1_ECB: return SYM_SPEC_SM1_ECB;
    case SGD_SM1_CBC: return SYM_SPEC_SM1_CBC;
    case SGD_SMS4_ECB: return SYM_SPEC_SM4_ECB;
    case SGD_SMS4_CBC: return SYM_SPEC_SM4_CBC;
    default: return 0;
    }
}

/* A public key for the token: BitLen (big-endian) when bPrefix, then the
 * last BitLen / 8 bytes of X and of Y. */
static unsigned int EncodePublicKey(const char *pszOperation, const ECCPUBLICKEYBLOB *pKey, bool bPrefix,
                                    unsigned char *pbOut, unsigned int *pulLen)
{
    const unsigned int ulBits = pKey->BitLen;
    OP_CHECK(pszOperation, ulBits != 0 && ulBits <= ECC_FIELD_BITS && ulBits % 8u == 0, "BitLen", SAR_INDATALENERR);
    const unsigned int ulCoord = ulBits / 8u;
    unsigned char *p = pbOut;
    if (bPrefix) {
        Interger_Array_BigEndian_A(p, 4, (int)ulBits);
        p += 4;
    }
    memcpy(p, pKey->XCoordinate + ECC_FIELD_LEN - ulCoord, ulCoord);
    memcpy(p + ulCoord, pKey->YCoordinate + ECC_FIELD_LEN - ulCoord, ulCoord);
    *pulLen = (unsigned int)(p - pbOut) + 2u * ulCoord;
    return 0;
}

/* Reads a token answer front to back, never past its length. */
class CAnswerReader {
public:
    CAnswerReader(const unsigned char *pbAnswer, unsigned int ulLen) : m_pb(pbAnswer), m_ulLeft(ulLen) {}

    bool U32(unsigned int *pulValue)
    {
        const unsigned char *p = nullptr;
        if (!Take(4, &p)) return false;
        *pulValue = ((unsigned int)p[0] << 24) | ((unsigned int)p[1] << 16) | ((unsigned int)p[2] << 8) | p[3];
        return true;
    }
    bool Take(unsigned int ulLen, const unsigned char **ppb)
    {
        if (ulLen > m_ulLeft) return false;
        *ppb = m_pb;
        m_pb += ulLen;
        m_ulLeft -= ulLen;
        return true;
    }

private:
    const unsigned char *m_pb;
    unsigned int m_ulLeft;
};

/* A public key of the token's answer (bit length, X, Y) into the caller's
 * record: zeroed whole, BitLen in host order, X and Y right-aligned. */
static bool ReadPublicKey(CAnswerReader *pReader, ECCPUBLICKEYBLOB *pKey)
{
    unsigned int ulBits = 0;
    const unsigned char *pbX = nullptr, *pbY = nullptr;
    if (!pReader->U32(&ulBits) || ulBits == 0 || ulBits > ECC_FIELD_BITS || ulBits % 8u != 0) return false;
    const unsigned int ulCoord = ulBits / 8u;
    if (!pReader->Take(ulCoord, &pbX) || !pReader->Take(ulCoord, &pbY)) return false;
    memset(pKey, 0, sizeof(*pKey));
    pKey->BitLen = ulBits;
    memcpy(pKey->XCoordinate + ECC_FIELD_LEN - ulCoord, pbX, ulCoord);
    memcpy(pKey->YCoordinate + ECC_FIELD_LEN - ulCoord, pbY, ulCoord);
    return true;
}

/* A key handle object for a session key that sits on the token. */
static unsigned int NewSessionKey(const char *pszOperation, CDeviceContext *pContext, unsigned int ulAlgId,
                                  void **phKey)
{
    std::unique_ptr<CSymKeyObject> key(new (std::nothrow) CSymKeyObject(pContext));
    OP_CHECK(pszOperation, key != nullptr, "new CSymKeyObject", SAR_MEMORYERR);
    OP_STEP(pszOperation, "SetSymmKey", key->SetSymmKey(ulAlgId, nullptr));
    *phKey = key.release();
    return 0;
}

unsigned int CContainerObject::ECCExportSessionKey(unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pPubKey,
                                                   Struct_ECCCIPHERBLOB *pData, void **phSessionKey)
{
    static const char *OP = "ECCExportSessionKey";
    unsigned int ulRet = CheckKeyCommands(OP);
    if (ulRet != 0) return ulRet;
    const unsigned short usKeySpec = SessionKeySpec(ulAlgId);
    OP_CHECK(OP, usKeySpec != 0, "ulAlgId", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pPubKey != nullptr && pData != nullptr && phSessionKey != nullptr, "pPubKey, pData and phSessionKey",
             SAR_INVALIDPARAMERR);
    unsigned char pbPubKey[COMPACT_KEY_MAX];
    unsigned int ulPubKeyLen = 0;
    ulRet = EncodePublicKey(OP, pPubKey, false, pbPubKey, &ulPubKeyLen);
    if (ulRet != 0) return ulRet;
    unsigned char pbAnswer[TOKEN_ANSWER_LEN];
    memset(pbAnswer, 0, sizeof(pbAnswer));
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    m_pDeviceContext->ClaimKeySlot(true);  /* the slot gets the new key, even if the answer is lost */
    OP_STEP(OP, "pApduKey->ExportSessionKey",
            m_pDeviceContext->GetAPDUKey()->ExportSessionKey(OPERATOR_APP_ID, usKeySpec, pbPubKey, ulPubKeyLen,
                                                             pbAnswer, &ulAnswerLen));
    /* Bit length, X, Y, HASH, cipher length, cipher: within the answer and
     * within the record's fields (the cipher is the 16-byte session key). */
    CAnswerReader reader(pbAnswer, ulAnswerLen);
    ECCPUBLICKEYBLOB stPoint;
    const unsigned char *pbHash = nullptr, *pbCipher = nullptr;
    unsigned int ulCipherLen = 0;
    const bool bOk = ReadPublicKey(&reader, &stPoint) && reader.Take(SM2_HASH_LEN, &pbHash) &&
                     reader.U32(&ulCipherLen) && ulCipherLen <= SESSION_KEY_LEN && reader.Take(ulCipherLen, &pbCipher);
    OP_CHECK(OP, bOk, "session key answer", SAR_INDATALENERR);
    memset(pData, 0, sizeof(*pData));
    memcpy(pData->XCoordinate, stPoint.XCoordinate, ECC_FIELD_LEN);
    memcpy(pData->YCoordinate, stPoint.YCoordinate, ECC_FIELD_LEN);
    memcpy(pData->HASH, pbHash, SM2_HASH_LEN);
    pData->CipherLen = ulCipherLen;
    memcpy(pData->Cipher, pbCipher, ulCipherLen);
    return NewSessionKey(OP, m_pDeviceContext, ulAlgId, phSessionKey);
}

/* The identifiers a key handle object takes for a key on the token. */
static bool IsTokenSessionKey(unsigned int ulAlgId)
{
    return ulAlgId == SGD_SM1_ECB || ulAlgId == SGD_SM1_CBC || ulAlgId == SGD_SM1_MAC || ulAlgId == SGD_SMS4_ECB ||
           ulAlgId == SGD_SMS4_CBC || ulAlgId == SGD_SMS4_MAC;
}

unsigned int CContainerObject::ImportSessionKey(unsigned int ulAlgId, unsigned char *pbWrapedData,
                                                unsigned int ulWrapedLen, void **phKey)
{
    static const char *OP = "ImportSessionKey";
    OP_CHECK(OP, pbWrapedData != nullptr && phKey != nullptr, "pbWrapedData and phKey", SAR_INVALIDPARAMERR);
    /* Refused before the import: a key handle without a cipher is no use. */
    OP_CHECK(OP, IsTokenSessionKey(ulAlgId), "ulAlgId", SAR_INVALIDPARAMERR);
    ContainerKeys stKeys;
    OP_STEP(OP, "GetContainerValid", GetContainerKeys(&stKeys));
    const bool bExchange = stKeys.usExchKeyFID != 0;
    const unsigned short usKeyFID = bExchange ? stKeys.usExchKeyFID : stKeys.usSignKeyFID;
    _QV_CONTAINER_INFO stInfo;
    OP_STEP(OP, "ReadContainer", ReadOwnRecord(&stInfo));
    const unsigned char byAlgID = bExchange ? stInfo.byExchKeyAlg : stInfo.bySignKeyAlg;
    unsigned char pbWrapped[WRAPPED_SM2_MAX > WRAPPED_RSA_MAX ? WRAPPED_SM2_MAX : WRAPPED_RSA_MAX];
    unsigned int ulLen = 0;
    if (byAlgID == TOKEN_ALG_RSA1024 || byAlgID == TOKEN_ALG_RSA2048) {
        OP_CHECK(OP, ulWrapedLen <= WRAPPED_RSA_MAX, "ulWrapedLen", SAR_INDATALENERR);
        memcpy(pbWrapped, pbWrapedData, ulWrapedLen);
        ulLen = ulWrapedLen;
    } else if (byAlgID == TOKEN_ALG_SM2) {
        /* C1 (04 X Y), C3 (HASH), C2 (the cipher bytes).  The record and
         * its CipherLen bytes of cipher lie within the ulWrapedLen bytes. */
        const ECCCIPHERBLOB *pCipher = (const ECCCIPHERBLOB *)pbWrapedData;
        OP_CHECK(OP, ulWrapedLen >= ECC_CIPHER_HEAD_LEN, "ulWrapedLen", SAR_INDATALENERR);
        OP_CHECK(OP, pCipher->CipherLen <= WRAPPED_SM2_CIPHER_MAX, "CipherLen", SAR_INDATALENERR);
        OP_CHECK(OP, pCipher->CipherLen <= ulWrapedLen - ECC_CIPHER_HEAD_LEN, "ulWrapedLen", SAR_INDATALENERR);
        unsigned char *p = pbWrapped;
        *p++ = SM2_POINT_PREFIX;
        memcpy(p, pCipher->XCoordinate + ECC_FIELD_LEN - SM2_COORD_LEN, SM2_COORD_LEN);
        memcpy(p + SM2_COORD_LEN, pCipher->YCoordinate + ECC_FIELD_LEN - SM2_COORD_LEN, SM2_COORD_LEN);
        memcpy(p + 2 * SM2_COORD_LEN, pCipher->HASH, SM2_HASH_LEN);
        memcpy(p + 2 * SM2_COORD_LEN + SM2_HASH_LEN, pCipher->Cipher, pCipher->CipherLen);
        ulLen = 1u + 2u * SM2_COORD_LEN + SM2_HASH_LEN + pCipher->CipherLen;
    } else {
        TRACE_STEP_FAIL(OP, "CHECK ulCtnrAlgID", SAR_KEYINFOTYPEERR);
        return SAR_KEYINFOTYPEERR;
    }
    OperationCallbackContext stContext = {0, this};
    unsigned int ulRet = ImportEncSessionKey(usKeyFID, pbWrapped, ulLen, SKFOperationCallback, &stContext);
    OPENSSL_cleanse(pbWrapped, sizeof(pbWrapped));
    OP_STEP(OP, "ImportEncSessionKey", ulRet);
    return NewSessionKey(OP, m_pDeviceContext, ulAlgId, phKey);
}

unsigned int CContainerObject::AgreementSetup(const char *pszOperation, unsigned int ulAlgId,
                                              unsigned short *pusKeySpec, unsigned short *pusKeyFID)
{
    unsigned int ulRet = CheckKeyCommands(pszOperation);
    if (ulRet != 0) return ulRet;
    *pusKeySpec = SessionKeySpec(ulAlgId);
    OP_CHECK(pszOperation, *pusKeySpec != 0, "ulAlgId", SAR_INVALIDPARAMERR);
    ContainerKeys stKeys;
    OP_STEP(pszOperation, "GetContainerValid", GetContainerKeys(&stKeys));
    /* The exchange pair, else the signature pair. */
    *pusKeyFID = stKeys.usExchKeyFID != 0 ? stKeys.usExchKeyFID : stKeys.usSignKeyFID;
    return 0;
}

unsigned int CContainerObject::GenerateAgreementDataWithECC(unsigned int ulAlgId,
                                                            Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob,
                                                            unsigned char *pbID, unsigned int ulIDLen,
                                                            void **phAgreementHandle)
{
    static const char *OP = "GenerateAgreementDataWithECC";
    OP_CHECK(OP, pTempECCPubKeyBlob != nullptr && pbID != nullptr && phAgreementHandle != nullptr,
             "pTempECCPubKeyBlob, pbID and phAgreementHandle", SAR_INVALIDPARAMERR);
    unsigned short usKeySpec = 0, usKeyFID = 0;
    unsigned int ulRet = AgreementSetup(OP, ulAlgId, &usKeySpec, &usKeyFID);
    if (ulRet != 0) return ulRet;
    unsigned char pbAnswer[TOKEN_ANSWER_LEN];
    memset(pbAnswer, 0, sizeof(pbAnswer));
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    OP_STEP(OP, "pApduKey->GenerateAgreementDataWithECC",
            m_pDeviceContext->GetAPDUKey()->GenerateAgreementDataWithECC(OPERATOR_APP_ID, usKeyFID, usKeySpec, pbID,
                                                                         ulIDLen, pbAnswer, &ulAnswerLen));
    CAnswerReader reader(pbAnswer, ulAnswerLen);
    ECCPUBLICKEYBLOB stTemp;
    unsigned int ulParameter = 0;
    OP_CHECK(OP, ReadPublicKey(&reader, &stTemp) && reader.U32(&ulParameter), "agreement answer", SAR_INDATALENERR);
    CAgreementObject *pAgreement =
        new (std::nothrow) CAgreementObject(m_pDeviceContext, ulAlgId, usKeyFID, ulParameter);
    OP_CHECK(OP, pAgreement != nullptr, "new CAgreementObject", SAR_MEMORYERR);
    memcpy(pTempECCPubKeyBlob, &stTemp, sizeof(stTemp));
    *phAgreementHandle = pAgreement;
    return 0;
}

unsigned int CContainerObject::GenerateAgreementDataAndKeyWithECC(
    unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pSponsorECCPubKeyBlob,
    Struct_ECCPUBLICKEYBLOB *pSponsorTempECCPubKeyBlob, Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob,
    unsigned char *pbID, unsigned int ulIDLen, unsigned char *pbSponsorID, unsigned int ulSponsorIDLen,
    void **phKeyHandle)
{
    static const char *OP = "GenerateAgreementDataAndKeyWithECC";
    OP_CHECK(OP,
             pSponsorECCPubKeyBlob != nullptr && pSponsorTempECCPubKeyBlob != nullptr &&
                 pTempECCPubKeyBlob != nullptr && pbID != nullptr && pbSponsorID != nullptr && phKeyHandle != nullptr,
             "the keys, IDs and phKeyHandle", SAR_INVALIDPARAMERR);
    unsigned short usKeySpec = 0, usKeyFID = 0;
    unsigned int ulRet = AgreementSetup(OP, ulAlgId, &usKeySpec, &usKeyFID);
    if (ulRet != 0) return ulRet;
    unsigned char pbSponsor[COMPACT_KEY_MAX], pbSponsorTemp[COMPACT_KEY_MAX];
    unsigned int ulSponsorLen = 0, ulSponsorTempLen = 0;
    ulRet = EncodePublicKey(OP, pSponsorECCPubKeyBlob, true, pbSponsor, &ulSponsorLen);
    if (ulRet == 0) ulRet = EncodePublicKey(OP, pSponsorTempECCPubKeyBlob, true, pbSponsorTemp, &ulSponsorTempLen);
    if (ulRet != 0) return ulRet;
    unsigned char pbAnswer[TOKEN_ANSWER_LEN];
    memset(pbAnswer, 0, sizeof(pbAnswer));
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    m_pDeviceContext->ClaimKeySlot(true);  /* the slot gets the agreed key, even if the answer is lost */
    OP_STEP(OP, "pApduKey->GenerateAgreementDataAndKeyWithECC",
            m_pDeviceContext->GetAPDUKey()->GenerateAgreementDataAndKeyWithECC(
                OPERATOR_APP_ID, usKeyFID, usKeySpec, pbSponsor, ulSponsorLen, pbSponsorTemp, ulSponsorTempLen,
                pbSponsorID, ulSponsorIDLen, pbID, ulIDLen, pbAnswer, &ulAnswerLen));
    CAnswerReader reader(pbAnswer, ulAnswerLen);
    ECCPUBLICKEYBLOB stTemp;
    OP_CHECK(OP, ReadPublicKey(&reader, &stTemp), "agreement answer", SAR_INDATALENERR);
    memcpy(pTempECCPubKeyBlob, &stTemp, sizeof(stTemp));
    return NewSessionKey(OP, m_pDeviceContext, ulAlgId, phKeyHandle);
}
