/* CContainerObject: the container record, certificates, key-pair generation
 * and import, and the public keys of a container.
 *
 * Every operation takes the container's record afresh from this object's
 * own container cache (filled when the application object opened or created
 * the container, and kept in step by this object's own key and certificate
 * operations), never from the token.  Records handed to the caller are
 * zeroed whole before their right-aligned values are written. */
#include "skf/ContainerObject.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/OperatorSteps.h"
#include "SoftCrypto/SoftCrypto.h"
#include "log/TraceFuncScope.h"
#include "log/vexa_log.h"

/* The SM2 encryption identifier of the later numbering, taken as SM2 too. */
#define SGD_SM2_3_LATER 0x00020800u

#define PUBLIC_KEY_RECORD_LEN 1024u  /* what the operator's export is offered */
#define RSA_BLOB_ALG SGD_RSA
#define SM2_KEY_BITS 256u
#define SM2_COORD_LEN 32u
#define ECC_FIELD_LEN 64u            /* a coordinate field of the SKF records */
#define ECC_FIELD_BITS (ECC_FIELD_LEN * 8u)

/* Key-pair import. */
#define ENVELOPE_VERSION_1 1u
#define ENVELOPE_VERSION_0 0u
#define ENVELOPE_VERSION_LEGACY 0x9E3Du
#define ENVELOPE_RECORD_ALG 0x00020200u
#define ENVELOPE_RECORD_MAX 256u     /* the token record built from an envelope */
#define SM2_POINT_PREFIX 0x04u
#define SM2_HASH_LEN 32u
#define RSA_EXPONENT_FIELD 256u

CContainerObject::CContainerObject(CDeviceContext *pDeviceContext)
    : CDialogObject(pDeviceContext), m_szContainerName(), m_bSingleCert(false)
{
    CDeviceContext::TraceInfo("CContainerObject: Constructor");
}

CContainerObject::~CContainerObject()
{
    CDeviceContext::TraceInfo("CContainerObject: Destructor");
}

void CContainerObject::SetContainerName(char *pszName)
{
    size_t n = strlen(pszName);
    memcpy(m_szContainerName, pszName, n < CONTAINER_NAME_MAX ? n : CONTAINER_NAME_MAX);
}

/* ---- the container record ---- */

unsigned int CContainerObject::ReadOwnRecord(_QV_CONTAINER_INFO *pInfo)
{
    memset(pInfo, 0, sizeof(*pInfo));
    memcpy(pInfo->szName, m_szContainerName, sizeof(pInfo->szName));
    return ReadContainer(pInfo, true);
}

static unsigned short FileBase(const _QV_CONTAINER_INFO &stInfo)
{
    return (unsigned short)((stInfo.pbFileBase[0] << 8) | stInfo.pbFileBase[1]);
}

unsigned int CContainerObject::GetContainerValid(unsigned int *pulAlgID, unsigned short *pnExchKeyFID,
                                                 unsigned short *pnExchCertFID, unsigned short *pnSignKeyFID,
                                                 unsigned short *pnSignCertFID)
{
    static const char *OP = "GetContainerValid";
    _QV_CONTAINER_INFO stInfo;
    OP_STEP(OP, "ReadContainer", ReadOwnRecord(&stInfo));
    OP_CHECK(OP, stInfo.byExchKeyAlg != 0 || stInfo.bySignKeyAlg != 0, "SignKeyType and ExKeyType",
             SAR_KEYNOTFOUNTERR);
    const unsigned short usBase = FileBase(stInfo);
    const unsigned short usExch = (unsigned short)(usBase | KEY_SPEC_EXCHANGE);
    const unsigned short usSign = (unsigned short)(usBase | KEY_SPEC_SIGNATURE);
    if (pulAlgID != nullptr) *pulAlgID = stInfo.bySignKeyAlg != 0 ? stInfo.bySignKeyAlg : stInfo.byExchKeyAlg;
    if (pnExchKeyFID != nullptr) *pnExchKeyFID = stInfo.byExchKeyAlg != 0 ? usExch : 0;
    if (pnExchCertFID != nullptr) *pnExchCertFID = stInfo.byExchCertFlag != 0 ? usExch : 0;
    if (pnSignKeyFID != nullptr) *pnSignKeyFID = stInfo.bySignKeyAlg != 0 ? usSign : 0;
    if (pnSignCertFID != nullptr) *pnSignCertFID = stInfo.bySignCertFlag != 0 ? usSign : 0;
    return 0;
}

unsigned int CContainerObject::GetContainerKeys(ContainerKeys *pKeys)
{
    memset(pKeys, 0, sizeof(*pKeys));
    return GetContainerValid(&pKeys->ulAlgID, &pKeys->usExchKeyFID, &pKeys->usExchCertFID, &pKeys->usSignKeyFID,
                             &pKeys->usSignCertFID);
}

unsigned int CContainerObject::GetContainerType(unsigned int *pulContainerType)
{
    static const char *OP = "GetContainerType";
    OP_CHECK(OP, pulContainerType != nullptr, "pulContainerType", SAR_INVALIDPARAMERR);
    *pulContainerType = CONTAINER_TYPE_UNDEFINED;
    _QV_CONTAINER_INFO stInfo;
    OP_STEP(OP, "ReadContainer", ReadOwnRecord(&stInfo));
    /* A container whose first key is still to come has no type yet. */
    OP_CHECK(OP, stInfo.byType <= CONTAINER_TYPE_ECC, "byAlgID", SAR_KEYINFOTYPEERR);
    *pulContainerType = stInfo.byType;
    return 0;
}

unsigned int CContainerObject::KeySpecOf(const char *pszOperation, bool bSignFlag, bool bCertificate,
                                         unsigned char *pbyKeySpec)
{
    ContainerKeys stKeys;
    OP_STEP(pszOperation, "GetContainerValid", GetContainerKeys(&stKeys));
    const unsigned short usExch = bCertificate ? stKeys.usExchCertFID : stKeys.usExchKeyFID;
    const unsigned short usSign = bCertificate ? stKeys.usSignCertFID : stKeys.usSignKeyFID;
    if (bSignFlag) {
        *pbyKeySpec = usSign != 0 ? KEY_SPEC_SIGNATURE : KEY_SPEC_EXCHANGE;
        return 0;
    }
    if (bCertificate) OP_CHECK(pszOperation, usExch != 0, "nExchCertFID", SAR_CERTNOTFOUNTERR);
    else OP_CHECK(pszOperation, usExch != 0, "nExchKeyFID", SAR_KEYNOTFOUNTERR);
    *pbyKeySpec = KEY_SPEC_EXCHANGE;
    return 0;
}

/* ---- certificates ---- */

unsigned int CContainerObject::ImportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int ulCertLen)
{
    static const char *OP = "ImportCertificate";
    OP_CHECK(OP, pbCert != nullptr, "pbCert", SAR_INVALIDPARAMERR);
    unsigned char byKeySpec = 0;
    unsigned int ulRet = KeySpecOf(OP, bSignFlag, false, &byKeySpec);
    if (ulRet != 0) return ulRet;
    TRACE(LOG_LEVEL_DEBUG, "bSignFlag %d, byKeyType %d", (int)bSignFlag, (int)byKeySpec);
    OperationCallbackContext stContext = {0, this};
    OP_STEP(OP, "ImportCert",
            ImportCert(m_szContainerName, byKeySpec, pbCert, ulCertLen, SKFOperationCallback, &stContext));
    BroadcastCert();
    return 0;
}

unsigned int CContainerObject::ExportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int *pulCertLen)
{
    static const char *OP = "ExportCertificate";
    OP_CHECK(OP, pulCertLen != nullptr, "pulCertLen", SAR_INVALIDPARAMERR);
    unsigned char byKeySpec = 0;
    unsigned int ulRet = KeySpecOf(OP, bSignFlag, true, &byKeySpec);
    if (ulRet != 0) return ulRet;
    OP_STEP(OP, "ExportCert", ExportCert(m_szContainerName, byKeySpec, pbCert, pulCertLen));
    return 0;
}

/* ---- public keys ---- */

/* Size of the SKF public-key record of a token key algorithm, 0 for none. */
static unsigned int PublicBlobSize(unsigned int ulAlgID)
{
    if (ulAlgID == TOKEN_ALG_SM2) return sizeof(ECCPUBLICKEYBLOB);
    if (ulAlgID == TOKEN_ALG_RSA1024 || ulAlgID == TOKEN_ALG_RSA2048) return sizeof(RSAPUBLICKEYBLOB);
    return 0;
}

/* The operator's exported key record as the SKF public-key record: the
 * whole record zeroed, then the values right-aligned in their fields (the
 * RSA exponent at the start of its four bytes). */
static unsigned int FillPublicBlob(const char *pszOperation, unsigned int ulAlgID, const unsigned char *pbRecord,
                                   void *pBlob)
{
    if (ulAlgID == TOKEN_ALG_SM2) {
        const _QV_SM2_KEY_PAIR *pKey = (const _QV_SM2_KEY_PAIR *)pbRecord;
        ECCPUBLICKEYBLOB *pEcc = (ECCPUBLICKEYBLOB *)pBlob;
        memset(pEcc, 0, sizeof(*pEcc));
        pEcc->BitLen = SM2_KEY_BITS;
        memcpy(pEcc->XCoordinate + ECC_FIELD_LEN - SM2_COORD_LEN, pKey->X, SM2_COORD_LEN);
        memcpy(pEcc->YCoordinate + ECC_FIELD_LEN - SM2_COORD_LEN, pKey->Y, SM2_COORD_LEN);
        return 0;
    }
    const _QV_RSA_KEY_PAIR *pKey = (const _QV_RSA_KEY_PAIR *)pbRecord;
    const unsigned int ulModulus = ulAlgID == TOKEN_ALG_RSA2048 ? 256u : 128u;
    if (pKey->NLen != ulModulus || pKey->ELen > MAX_RSA_EXPONENT_LEN) {
        TRACE_STEP_FAIL(pszOperation, "CHECK NLen and ELen", SAR_INDATALENERR);
        return SAR_INDATALENERR;
    }
    RSAPUBLICKEYBLOB *pRsa = (RSAPUBLICKEYBLOB *)pBlob;
    memset(pRsa, 0, sizeof(*pRsa));
    pRsa->AlgID = RSA_BLOB_ALG;
    pRsa->BitLen = ulModulus * 8u;
    memcpy(pRsa->Modulus + MAX_RSA_MODULUS_LEN - ulModulus, pKey->N, ulModulus);
    memcpy(pRsa->PublicExponent, pKey->E, pKey->ELen);
    return 0;
}

unsigned int CContainerObject::ExportPublicKey(bool bSignFlag, unsigned char *pbBlob, unsigned int *pulBlobLen)
{
    static const char *OP = "ExportPublicKey";
    OP_CHECK(OP, pulBlobLen != nullptr, "pulBlobLen", SAR_INVALIDPARAMERR);
    unsigned char byKeySpec = 0;
    unsigned int ulRet = KeySpecOf(OP, bSignFlag, false, &byKeySpec);
    if (ulRet != 0) return ulRet;
    unsigned char pbRecord[PUBLIC_KEY_RECORD_LEN];
    memset(pbRecord, 0, sizeof(pbRecord));
    unsigned char byAlgID = 0;
    unsigned int ulRecordLen = sizeof(pbRecord);
    OP_STEP(OP, "ExportPublicKey", ExportPublicKey(m_szContainerName, byKeySpec, &byAlgID, pbRecord, &ulRecordLen));
    const unsigned int ulSize = PublicBlobSize(byAlgID);
    OP_CHECK(OP, ulSize != 0, "byAlgID", SAR_KEYINFOTYPEERR);
    if (pbBlob == nullptr) {
        *pulBlobLen = ulSize;
        TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pbBlob", 0ul, BRIO_FILE_NAME, __LINE__);
        return 0;
    }
    if (*pulBlobLen < ulSize) {
        *pulBlobLen = ulSize;
        TRACE_STEP_FAIL(OP, "CHECK *pulBlobLen SIZE", SAR_BUFFER_TOO_SMALL);
        return SAR_BUFFER_TOO_SMALL;
    }
    OP_STEP(OP, "FillPublicBlob", FillPublicBlob(OP, byAlgID, pbRecord, pbBlob));
    *pulBlobLen = ulSize;
    return 0;
}

/* ---- key-pair generation ---- */

unsigned int CContainerObject::GenerateKeyPair(unsigned int ulBits, void *pBlob)
{
    static const char *OP = "GenerateKeyPair";
    OP_CHECK(OP, pBlob != nullptr, "pKeyBlob", SAR_INVALIDPARAMERR);
    unsigned char byAlgID = 0;
    if (ulBits == 1024) byAlgID = TOKEN_ALG_RSA1024;
    else if (ulBits == 2048) byAlgID = TOKEN_ALG_RSA2048;
    else if (ulBits == SGD_SM2_1 || ulBits == SGD_SM2_2 || ulBits == SGD_SM2_3_LATER) byAlgID = TOKEN_ALG_SM2;
    OP_CHECK(OP, byAlgID != 0, "ulBits", SAR_INDATAERR);
    TRACE(LOG_LEVEL_DEBUG, "ulBitsLen %d, m_bSingleCert %d", (int)ulBits, (int)m_bSingleCert);
    const unsigned char byKeySpec = m_bSingleCert ? KEY_SPEC_EXCHANGE : KEY_SPEC_SIGNATURE;
    OperationCallbackContext stContext = {0, this};
    OP_STEP(OP, "GenerateKeyPair",
            GenerateKeyPair(m_szContainerName, byKeySpec, byAlgID, nullptr, SKFOperationCallback, &stContext));
    unsigned char pbRecord[PUBLIC_KEY_RECORD_LEN];
    memset(pbRecord, 0, sizeof(pbRecord));
    unsigned char byExported = 0;
    unsigned int ulRecordLen = byAlgID == TOKEN_ALG_SM2 ? sizeof(_QV_SM2_KEY_PAIR) : sizeof(_QV_RSA_KEY_PAIR);
    OP_STEP(OP, "ExportPublicKey", ExportPublicKey(m_szContainerName, byKeySpec, &byExported, pbRecord, &ulRecordLen));
    OP_CHECK(OP, PublicBlobSize(byExported) != 0, "byAlgID", SAR_KEYINFOTYPEERR);
    OP_STEP(OP, "FillPublicBlob", FillPublicBlob(OP, byExported, pbRecord, pBlob));
    return 0;
}

unsigned int CContainerObject::GenerateRSAKeyPair(unsigned int ulBitsLen, Struct_RSAPUBLICKEYBLOB *pBlob)
{
    OP_CHECK("GenerateRSAKeyPair", ulBitsLen == 1024 || ulBitsLen == 2048, "ulBitsLen", SAR_INDATAERR);
    return GenerateKeyPair(ulBitsLen, pBlob);
}

/* ---- key-pair import ---- */

/* The big-endian 32-bit value at pbOut; the position after it. */
static unsigned char *PutBE32(unsigned char *pbOut, unsigned int ulValue)
{
    Interger_Array_BigEndian_A(pbOut, 4, (int)ulValue);
    return pbOut + 4;
}

static unsigned char *PutBytes(unsigned char *pbOut, const unsigned char *pbIn, unsigned int ulLen)
{
    memcpy(pbOut, pbIn, ulLen);
    return pbOut + ulLen;
}

/* The last ulBits / 8 bytes of a 64-byte field. */
static const unsigned char *FieldTail(const unsigned char *pbField, unsigned int ulBits)
{
    return pbField + ECC_FIELD_LEN - ulBits / 8u;
}

unsigned int CContainerObject::ImportEnvelope(unsigned int ulSymAlgId, const ENVELOPEDKEYBLOB *pEnvelope,
                                              OperationCallbackContext *pContext)
{
    static const char *OP = "ImportKeyPair";
    const ECCCIPHERBLOB &stCipher = pEnvelope->ECCCipherBlob;
    const unsigned int ulCipherLen = stCipher.CipherLen;
    unsigned char pbRecord[ENVELOPE_RECORD_MAX];
    unsigned char *p = pbRecord;
    if (pEnvelope->Version == ENVELOPE_VERSION_1) {
        const unsigned int ulPubBits = pEnvelope->PubKey.BitLen;
        const unsigned int ulPriBits = pEnvelope->ulBits;
        OP_CHECK(OP, ulPubBits <= ECC_FIELD_BITS && ulPubBits % 8u == 0, "pEnvelopedKey->PubKey.BitLen",
                 SAR_INDATALENERR);
        OP_CHECK(OP, ulPriBits <= ECC_FIELD_BITS && ulPriBits % 8u == 0, "pEnvelopedKey->ulBits", SAR_INDATALENERR);
        /* 12 + 96 + 4 + CipherLen + 4 + 2 * BitLen / 8 + 4 + ulBits / 8, in 64-bit arithmetic. */
        const unsigned long long ullLen = 12ull + 3ull * SM2_COORD_LEN + 4ull + ulCipherLen + 4ull +
                                          2ull * (ulPubBits / 8u) + 4ull + ulPriBits / 8u;
        OP_CHECK(OP, ullLen <= sizeof(pbRecord), "ECCCipherBlob.CipherLen", SAR_INDATALENERR);
        p = PutBE32(p, ENVELOPE_RECORD_ALG);
        p = PutBE32(p, ulSymAlgId);
        p = PutBE32(p, SM2_KEY_BITS);
        p = PutBytes(p, FieldTail(stCipher.XCoordinate, SM2_KEY_BITS), SM2_COORD_LEN);
        p = PutBytes(p, FieldTail(stCipher.YCoordinate, SM2_KEY_BITS), SM2_COORD_LEN);
        p = PutBytes(p, stCipher.HASH, SM2_HASH_LEN);
        p = PutBE32(p, ulCipherLen);
        p = PutBytes(p, stCipher.Cipher, ulCipherLen);
        p = PutBE32(p, ulPubBits);
        p = PutBytes(p, FieldTail(pEnvelope->PubKey.XCoordinate, ulPubBits), ulPubBits / 8u);
        p = PutBytes(p, FieldTail(pEnvelope->PubKey.YCoordinate, ulPubBits), ulPubBits / 8u);
        p = PutBE32(p, ulPriBits / 8u);
        p = PutBytes(p, FieldTail(pEnvelope->cbEncryptedPriKey, ulPriBits), ulPriBits / 8u);
    } else if (pEnvelope->Version == ENVELOPE_VERSION_0 || pEnvelope->Version == ENVELOPE_VERSION_LEGACY) {
        OP_CHECK(OP, 1ull + 2ull * SM2_COORD_LEN + ulCipherLen + SM2_HASH_LEN <= sizeof(pbRecord),
                 "ECCCipherBlob.CipherLen", SAR_INDATALENERR);
        *p++ = SM2_POINT_PREFIX;
        p = PutBytes(p, FieldTail(stCipher.XCoordinate, SM2_KEY_BITS), SM2_COORD_LEN);
        p = PutBytes(p, FieldTail(stCipher.YCoordinate, SM2_KEY_BITS), SM2_COORD_LEN);
        p = PutBytes(p, stCipher.Cipher, ulCipherLen);
        p = PutBytes(p, stCipher.HASH, SM2_HASH_LEN);
    } else {
        TRACE_STEP_FAIL(OP, "CHECK pEnvelopedKey->Version", SAR_NOTSUPPORTYETERR);
        return SAR_NOTSUPPORTYETERR;
    }
    unsigned int ulRet = ImportKeyPair(m_szContainerName, KEY_SPEC_EXCHANGE, TOKEN_ALG_SM2, pbRecord,
                                       (unsigned int)(p - pbRecord), nullptr, 0, nullptr, SKFOperationCallback,
                                       pContext);
    OPENSSL_cleanse(pbRecord, sizeof(pbRecord));
    OP_STEP(OP, "ImportKeyPair(SM2)", ulRet);
    return 0;
}

unsigned int CContainerObject::ImportRsa1024(unsigned char *pbRecord, unsigned int ulRecordLen,
                                             OperationCallbackContext *pContext)
{
    static const char *OP = "ImportKeyPair";
    OP_CHECK(OP, ulRecordLen >= sizeof(_QV_RSA_KEY_PAIR), "ulEncryptedKeyLen", SAR_INDATALENERR);
    /* The public exponent comes in the opposite byte order: turned on a
     * copy, the caller's record stays as it was. */
    _QV_RSA_KEY_PAIR stKey;
    memcpy(&stKey, pbRecord, sizeof(stKey));
    if (stKey.ELen > RSA_EXPONENT_FIELD) {
        OPENSSL_cleanse(&stKey, sizeof(stKey));
        TRACE_STEP_FAIL(OP, "CHECK ELen", SAR_INDATALENERR);
        return SAR_INDATALENERR;
    }
    ByteReverseA(stKey.E, (int)stKey.ELen);
    unsigned int ulRet = ImportKeyPair(m_szContainerName, KEY_SPEC_EXCHANGE, TOKEN_ALG_RSA1024, &stKey, sizeof(stKey),
                                       nullptr, 0, nullptr, SKFOperationCallback, pContext);
    OPENSSL_cleanse(&stKey, sizeof(stKey));
    OP_STEP(OP, "ImportKeyPair(1024)", ulRet);
    return 0;
}

unsigned int CContainerObject::ImportKeyPair(unsigned int ulSymAlgId, unsigned char *pbWrappedKey,
                                             unsigned int ulWrappedKeyLen, unsigned int ulBits,
                                             unsigned char *pbEncryptedKey, unsigned int ulEncryptedKeyLen)
{
    static const char *OP = "ImportKeyPair";
    OP_CHECK(OP, !m_bSingleCert, "m_bSingleCert", SAR_NOTSUPPORTYETERR);
    OP_CHECK(OP, pbEncryptedKey != nullptr, "pbEncryptedKeyBuf", SAR_INVALIDPARAMERR);
    _QV_CONTAINER_INFO stInfo;
    OP_STEP(OP, "ReadContainer", ReadOwnRecord(&stInfo));
    OP_CHECK(OP, stInfo.byExchKeyAlg == 0 || stInfo.bySignKeyAlg != 0, "nExchKeyFID and nSignKeyFID",
             SAR_KEYUSAGEERR);
    OperationCallbackContext stContext = {0, this};
    if (ulBits == 1024 || ulBits == 0) {
        /* A wrapped RSA-1024 key is not carried out: the key material would
         * have to travel as a plain record. */
        OP_CHECK(OP, ulWrappedKeyLen == 0, "ulWrappedKeyLen", SAR_NOTSUPPORTYETERR);
        return ImportRsa1024(pbEncryptedKey, ulEncryptedKeyLen, &stContext);
    }
    if (ulBits == 2048) {
        OP_CHECK(OP, pbWrappedKey != nullptr, "pbWrappedKeyBuf", SAR_INVALIDPARAMERR);
        OP_STEP(OP, "ImportKeyPair(2048)",
                ImportKeyPair(m_szContainerName, KEY_SPEC_EXCHANGE, TOKEN_ALG_RSA2048, pbEncryptedKey,
                              ulEncryptedKeyLen, pbWrappedKey, ulWrappedKeyLen, nullptr, SKFOperationCallback,
                              &stContext));
        return 0;
    }
    OP_CHECK(OP, ulBits == SM2_KEY_BITS, "ulBits", SAR_INDATAERR);
    OP_CHECK(OP, ulEncryptedKeyLen == sizeof(ENVELOPEDKEYBLOB), "ulEncryptedKeyLen", SAR_INDATALENERR);
    return ImportEnvelope(ulSymAlgId, (const ENVELOPEDKEYBLOB *)pbEncryptedKey, &stContext);
}
