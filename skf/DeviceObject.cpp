/* The device object: the device-level SKF operations on one opened token.
 * Public-key verification and the raw RSA operation run in software; SM2
 * encryption runs on the token (in software when the token lacks the
 * command); SM2 decryption and signature with a caller's key run on the
 * token.  Every length a caller or the token gives is held to the field or
 * buffer it describes before anything is copied. */
#include "skf/DeviceObject.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include "SarnCore/OperatorSteps.h"
#include "SoftCrypto/SoftCrypto.h"
#include "log/TraceFuncScope.h"
#include "log/vexa_log.h"
#include "skf/ApplicationObject.h"
#include "skf/SymKeyObject.h"

namespace {

/* Bytes of a coordinate or private-key field of the GM/T 0016 records. */
const unsigned int ECC_FIELD_LEN = ECC_MAX_XCOORDINATE_BITS_LEN / 8;
/* The RSA modulus field. */
const unsigned int RSA_FIELD_LEN = MAX_RSA_MODULUS_LEN;
/* Least padding of a PKCS #1 v1.5 block: 00 01, eight FF, 00. */
const unsigned int PKCS1_MIN_PADDING = 11;
const unsigned int PKCS1_MIN_FF = 8;
/* The token's answer to an external SM2 encryption: bit length, X, Y, HASH,
 * cipher length, cipher. */
const unsigned int EXT_ENCRYPT_OVERHEAD = CRYPTO_EXT_ENCRYPT_OVERHEAD;
/* The input of an external SM2 decryption (X, Y, HASH, cipher length, then
 * the cipher) goes into one command body after the bit length and the key. */
const unsigned int EXT_DECRYPT_FIXED = 3 * SC_SM2_BYTES + 4;
const unsigned int EXT_DECRYPT_CIPHER_MAX = 256 - 4 - SC_SM2_BYTES - EXT_DECRYPT_FIXED;
/* Its answer: plaintext length, plaintext. */
const unsigned int EXT_DECRYPT_ANSWER = 4 + CRYPTO_EXT_PLAIN_MAX;

const char *const DEFAULT_SM2_ID = CRYPTO_DEFAULT_SM2_ID;
const unsigned int DEFAULT_SM2_ID_LEN = 16;

/* The value of a right-aligned field: its last ulLen bytes. */
inline unsigned char *FieldValue(unsigned char *pbField, unsigned int ulFieldLen, unsigned int ulLen)
{
    return pbField + ulFieldLen - ulLen;
}

/* Writes ulLen bytes right-aligned into a field of ulFieldLen, zeros before. */
inline void PutRightAligned(unsigned char *pbField, unsigned int ulFieldLen, const unsigned char *pbValue,
                            unsigned int ulLen)
{
    memset(pbField, 0, ulFieldLen - ulLen);
    memcpy(pbField + ulFieldLen - ulLen, pbValue, ulLen);
}

inline unsigned int ReadU32(const unsigned char *pb)
{
    return ((unsigned int)pb[0] << 24) | ((unsigned int)pb[1] << 16) | ((unsigned int)pb[2] << 8) | pb[3];
}

/* The public key of an RSA blob whose modulus length n was checked. */
void RsaKeyOf(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned int ulModLen, _QV_RSA_KEY_PAIR *pKey)
{
    memset(pKey, 0, sizeof(*pKey));
    memcpy(pKey->N, FieldValue(pBlob->Modulus, RSA_FIELD_LEN, ulModLen), ulModLen);
    pKey->NLen = ulModLen;
    memcpy(pKey->E, pBlob->PublicExponent, MAX_RSA_EXPONENT_LEN);
    pKey->ELen = MAX_RSA_EXPONENT_LEN;
}

/* The SM2 public key of a blob whose bit length was checked. */
void Sm2KeyOf(Struct_ECCPUBLICKEYBLOB *pBlob, _QV_SM2_KEY_PAIR *pKey)
{
    memset(pKey, 0, sizeof(*pKey));
    memcpy(pKey->X, FieldValue(pBlob->XCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    memcpy(pKey->Y, FieldValue(pBlob->YCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
}

/* The modulus length of an RSA blob: 1 to 256 bytes, else 0. */
unsigned int RsaModulusLen(const Struct_RSAPUBLICKEYBLOB *pBlob)
{
    unsigned int ulLen = pBlob->BitLen / 8;
    return ulLen <= RSA_FIELD_LEN ? ulLen : 0;
}

/* True when m (ulLen bytes) is exactly 00 01 FF.. 00 data with at least
 * eight FF. */
bool IsPkcs1SignatureBlock(const unsigned char *pbBlock, unsigned int ulLen, const unsigned char *pbData,
                           unsigned int ulDataLen)
{
    if (ulLen < PKCS1_MIN_PADDING || ulDataLen > ulLen - PKCS1_MIN_PADDING) return false;
    unsigned int ulSep = ulLen - ulDataLen - 1;
    unsigned char byDiff = (unsigned char)(pbBlock[0] | (pbBlock[1] ^ 0x01) | pbBlock[ulSep]);
    for (unsigned int i = 2; i < ulSep; ++i) byDiff |= (unsigned char)(pbBlock[i] ^ 0xFF);
    static_assert(PKCS1_MIN_PADDING == PKCS1_MIN_FF + 3, "00 01, the FF run, 00");
    return byDiff == 0 && CRYPTO_memcmp(pbBlock + ulSep + 1, pbData, ulDataLen) == 0;
}

}  // namespace

CDeviceObject::CDeviceObject(CDeviceContext *pDeviceContext) : CBrioOperator(pDeviceContext)
{
    CDeviceContext::TraceInfo("CDeviceObject: Constructor");
}

CDeviceObject::~CDeviceObject()
{
    CDeviceContext::TraceInfo("CDeviceObject: Destructor");
}

unsigned int CDeviceObject::DevAuth(unsigned char *, unsigned int)
{
    TRACE_STEP_FAIL("DevAuth", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::ChangeDevAuth(unsigned char *, unsigned int)
{
    TRACE_STEP_FAIL("ChangeDevAuth", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::CreateApplication(char *, char *, unsigned int, char *, unsigned int, unsigned int,
                                              void **)
{
    TRACE_STEP_FAIL("CreateApplication", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::DeleteApplication(char *)
{
    TRACE_STEP_FAIL("DeleteApplication", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::GenExtRSAKey(unsigned int, Struct_RSAPRIVATEKEYBLOB *)
{
    TRACE_STEP_FAIL("GenExtRSAKey", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::ExtRSAPriKeyOperation(Struct_RSAPRIVATEKEYBLOB *, unsigned char *, unsigned int,
                                                  unsigned char *, unsigned int *)
{
    TRACE_STEP_FAIL("ExtRSAPriKeyOperation", "Not supported", SAR_NOTSUPPORTYETERR);
    return SAR_NOTSUPPORTYETERR;
}

unsigned int CDeviceObject::EnumApplication(char *pszAppName, unsigned int *pulSize)
{
    static const char *OP = "EnumApplication";
    OP_CHECK(OP, pulSize != nullptr, "pulSize", SAR_INVALIDPARAMERR);
    _QV_DEV_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    unsigned int ulRet = CBrioOperator::GetDeviceInfo(&stInfo);
    OP_CHECK_SIZE(OP, ulRet == 0, "GetDeviceInfo", ulRet, pulSize, 0);
    TRACE_STEP_OK(OP, "GetDeviceInfo");
    OP_CHECK_SIZE(OP, stInfo.usReserved224 == DEVICE_LIFE_STATUS_READY, "CHECK LifeStatus", SAR_APPLICATION_NOT_EXISTS,
                  pulSize, 0);

    static const char szList[] = SKF_APPLICATION_NAME "\0";  /* the name, its NUL and the closing NUL */
    const unsigned int ulListLen = sizeof(szList);
    if (pszAppName == nullptr) {
        *pulSize = ulListLen;
        return 0;
    }
    OP_CHECK_SIZE(OP, *pulSize >= ulListLen, "CHECK *pulSize", SAR_BUFFER_TOO_SMALL, pulSize, ulListLen);
    memcpy(pszAppName, szList, ulListLen);
    *pulSize = ulListLen;
    return 0;
}

unsigned int CDeviceObject::OpenApplication(char *pszAppName, void **phApplication)
{
    static const char *OP = "OpenApplication";
    OP_CHECK(OP, pszAppName != nullptr, "pszAppName", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, phApplication != nullptr, "phApplication", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    OP_CHECK(OP, strcmp(pszAppName, SKF_APPLICATION_NAME) == 0, "pszAppName", SAR_APPLICATION_NOT_EXISTS);

    CApplicationObject *pApp = new (std::nothrow) CApplicationObject(m_pDeviceContext);
    OP_CHECK(OP, pApp != nullptr, "new CApplicationObject", ERR_NO_MEMORY);
    IApplication *pIApp = pApp;
    /* The connection read the device information when it was opened (its
     * initialisation fails without it), and the application needs nothing
     * of it: it is not read again here.  The two size queries load the
     * container list and the file records into the object's caches. */
    unsigned int ulContainers = 0, ulFiles = 0;
    const char *szStep = "EnumContainer";
    unsigned int ulRet = pIApp->EnumContainer(nullptr, &ulContainers);
    if (ulRet == 0) {
        TRACE_STEP_OK(OP, szStep);
        szStep = "EnumCosFile";
        ulRet = pIApp->EnumCosFile(nullptr, &ulFiles);
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, szStep, ulRet);
        delete pApp;
        return ulRet;
    }
    TRACE_STEP_OK(OP, szStep);
    pApp->SetApplicationName(pszAppName);
    *phApplication = pApp;
    return 0;
}

unsigned int CDeviceObject::GenerateRandom(unsigned int ulRandomLen, unsigned char *pbRandom)
{
    static const char *OP = "GenerateRandom";
    OP_CHECK(OP, pbRandom != nullptr, "pbRandom", SAR_INVALIDPARAMERR);
    for (unsigned int ulDone = 0; ulDone < ulRandomLen;) {
        unsigned int ulPiece = ulRandomLen - ulDone < DEVICE_RANDOM_PIECE ? ulRandomLen - ulDone : DEVICE_RANDOM_PIECE;
        unsigned int ulRet = CBrioOperator::GenerateRandom(1, (unsigned char)ulPiece, pbRandom + ulDone);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "GenerateRandom", ulRet);
            return ulRet;
        }
        ulDone += ulPiece;
    }
    TRACE_STEP_OK(OP, "GenerateRandom");
    return 0;
}

unsigned int CDeviceObject::SetSymmKey(unsigned char *pbKey, unsigned int ulAlgID, void **phKey)
{
    static const char *OP = "SetSymmKey";
    OP_CHECK(OP, phKey != nullptr, "phKey", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    CSymKeyObject *pKey = new (std::nothrow) CSymKeyObject(m_pDeviceContext);
    OP_CHECK(OP, pKey != nullptr, "new CSymKeyObject", ERR_NO_MEMORY);
    unsigned int ulRet = pKey->SetSymmKey(ulAlgID, pbKey);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SetSymmKey", ulRet);
        delete pKey;
        return ulRet;
    }
    TRACE_STEP_OK(OP, "SetSymmKey");
    *phKey = pKey;
    return 0;
}

unsigned int CDeviceObject::ExtRSAPubKeyOperation(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbInput,
                                                  unsigned int ulInputLen, unsigned char *pbOutput,
                                                  unsigned int *pulOutputLen)
{
    static const char *OP = "ExtRSAPubKeyOperation";
    OP_CHECK(OP, pBlob != nullptr, "pRSAPubKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbInput != nullptr, "pbInput", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbOutput != nullptr, "pbOutput", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulOutputLen != nullptr, "pulOutputLen", SAR_INVALIDPARAMERR);
    unsigned int ulModLen = RsaModulusLen(pBlob);
    OP_CHECK(OP, ulModLen != 0, "BitLen", SAR_MODULUSLENERR);
    OP_CHECK_SIZE(OP, ulInputLen == ulModLen, "CHECK ulInputLen", SAR_INDATALENERR, pulOutputLen, ulModLen);
    OP_CHECK_SIZE(OP, *pulOutputLen >= ulModLen, "CHECK *pulOutputLen", SAR_BUFFER_TOO_SMALL, pulOutputLen,
                  ulModLen);
    _QV_RSA_KEY_PAIR stKey;
    RsaKeyOf(pBlob, ulModLen, &stKey);
    OP_STEP(OP, "RSA_Encrypt", RSA_Encrypt(&stKey, pbInput, ulModLen, pbOutput, pulOutputLen, RSA_NO_PADDING));
    return 0;
}

unsigned int CDeviceObject::RSAVerify(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                      unsigned char *pbSignature, unsigned int ulSignLen)
{
    static const char *OP = "RSAVerify";
    OP_CHECK(OP, pBlob != nullptr, "pRSAPubKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbData != nullptr, "pbData", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbSignature != nullptr, "pbSignature", SAR_INVALIDPARAMERR);
    unsigned int ulModLen = RsaModulusLen(pBlob);
    OP_CHECK(OP, ulModLen >= PKCS1_MIN_PADDING, "BitLen", SAR_MODULUSLENERR);
    OP_CHECK(OP, ulDataLen <= ulModLen - PKCS1_MIN_PADDING, "ulDataLen", SAR_INDATALENERR);
    OP_CHECK(OP, ulSignLen == ulModLen, "ulSignLen", SAR_INDATALENERR);
    _QV_RSA_KEY_PAIR stKey;
    RsaKeyOf(pBlob, ulModLen, &stKey);
    unsigned char pbBlock[RSA_FIELD_LEN];
    unsigned int ulBlockLen = sizeof(pbBlock);
    OP_STEP(OP, "RSA_Encrypt", RSA_Encrypt(&stKey, pbSignature, ulSignLen, pbBlock, &ulBlockLen, RSA_NO_PADDING));
    /* The whole block must be the type-1 padding of exactly the data. */
    bool bMatch = ulBlockLen == ulModLen && IsPkcs1SignatureBlock(pbBlock, ulBlockLen, pbData, ulDataLen);
    OP_CHECK(OP, bMatch, "PKCS1 block", SAR_HASHNOTEQUALERR);
    return 0;
}

unsigned int CDeviceObject::ECCVerify(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                      unsigned char *pbR, unsigned char *pbS)
{
    static const char *OP = "ECCVerify";
    OP_CHECK(OP, pBlob != nullptr, "pECCPubKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbData != nullptr, "pbData", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, ulDataLen == SC_SM2_BYTES, "ulDataLen", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbR != nullptr, "pbR", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbS != nullptr, "pbS", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pBlob->BitLen / 8 == SC_SM2_BYTES, "BitLen", SAR_MODULUSLENERR);
    _QV_SM2_KEY_PAIR stKey;
    Sm2KeyOf(pBlob, &stKey);
    unsigned char pbSignature[2 * SC_SM2_BYTES];
    memcpy(pbSignature, FieldValue(pbR, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    memcpy(pbSignature + SC_SM2_BYTES, FieldValue(pbS, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    OP_STEP(OP, "SM2_Verify", SM2_Verify(&stKey, pbData, pbSignature, sizeof(pbSignature)));
    return 0;
}

unsigned int CDeviceObject::ExtECCEncrypt(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbPlainText,
                                          unsigned int ulPlainTextLen, Struct_ECCCIPHERBLOB *pCipherText)
{
    static const char *OP = "ExtECCEncrypt";
    OP_CHECK(OP, pBlob != nullptr, "pECCPubKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbPlainText != nullptr, "pbPlainText", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pCipherText != nullptr, "pCipherText", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pBlob->BitLen / 8 == SC_SM2_BYTES, "BitLen", SAR_MODULUSLENERR);
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    OP_CHECK(OP, m_pDeviceContext->GetDeviceHandle() != nullptr, "m_pDevieHandle", SAR_INVALIDHANDLEERR);
    CAPDUCrypto *pCrypto = m_pDeviceContext->GetAPDUCrypto();
    OP_CHECK(OP, pCrypto != nullptr, "m_pApduCrypto", ERR_NULL_ARGUMENT);
    unsigned long long ullAnswerLen = (unsigned long long)ulPlainTextLen + EXT_ENCRYPT_OVERHEAD;
    OP_CHECK(OP, ullAnswerLen <= BRIO_MAX_BUFFER_SIZE, "ulPlainTextLen", ERROR_INVALID_PARAMETER);

    unsigned int ulAnswerLen = (unsigned int)ullAnswerLen;
    unsigned char *pbAnswer = new (std::nothrow) unsigned char[ulAnswerLen]();
    OP_CHECK(OP, pbAnswer != nullptr, "new pbAnswer", ERROR_NOT_ENOUGH_MEMORY);
    unsigned char pbPubKey[2 * SC_SM2_BYTES];
    memcpy(pbPubKey, FieldValue(pBlob->XCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    memcpy(pbPubKey + SC_SM2_BYTES, FieldValue(pBlob->YCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    unsigned int ulRet = pCrypto->ExtSM2Encrypt(pbPubKey, sizeof(pbPubKey), pbPlainText, ulPlainTextLen, pbAnswer,
                                                &ulAnswerLen);
    if (ulRet == SW_INS_NOT_SUPPORTED) {
        TRACE_STEP_FAIL(OP, "ExtSM2Encrypt", ulRet);
        delete[] pbAnswer;
        return ExtECCEncryptSoft(pBlob, pbPlainText, ulPlainTextLen, pCipherText);
    }
    const char *szStep = "ExtSM2Encrypt";
    unsigned int ulCoordLen = 0, ulCipherLen = 0, ulPos = 0;
    if (ulRet == 0) {
        /* bit length, X, Y, HASH, cipher length, cipher: each held to its
         * field, to the answer and to the caller's room (the plaintext's length) */
        szStep = "CHECK answer";
        ulRet = ERR_BAD_LENGTH;
        if (ulAnswerLen >= 4) {
            ulCoordLen = ReadU32(pbAnswer) / 8;
            ulPos = 4 + 2 * ulCoordLen + SC_SM2_BYTES;
            if (ulCoordLen > 0 && ulCoordLen <= ECC_FIELD_LEN && ulPos + 4 <= ulAnswerLen) {
                ulCipherLen = ReadU32(pbAnswer + ulPos);
                ulPos += 4;
                if (ulCipherLen <= ulAnswerLen - ulPos && ulCipherLen <= ulPlainTextLen) ulRet = 0;
            }
        }
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, szStep, ulRet);
    } else {
        TRACE_STEP_OK(OP, szStep);
        PutRightAligned(pCipherText->XCoordinate, ECC_FIELD_LEN, pbAnswer + 4, ulCoordLen);
        PutRightAligned(pCipherText->YCoordinate, ECC_FIELD_LEN, pbAnswer + 4 + ulCoordLen, ulCoordLen);
        memcpy(pCipherText->HASH, pbAnswer + 4 + 2 * ulCoordLen, SC_SM2_BYTES);
        pCipherText->CipherLen = ulCipherLen;
        memcpy(pCipherText->Cipher, pbAnswer + ulPos, ulCipherLen);
    }
    delete[] pbAnswer;
    return ulRet;
}

unsigned int CDeviceObject::ExtECCEncryptSoft(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbPlainText,
                                              unsigned int ulPlainTextLen, Struct_ECCCIPHERBLOB *pCipherText)
{
    /* ExtECCEncrypt has checked the arguments and the key's length. */
    static const char *OP = "ExtECCEncryptSoft";
    unsigned long long ullWorkLen = (unsigned long long)ulPlainTextLen + CRYPTO_SM2_OVERHEAD;
    OP_CHECK(OP, ullWorkLen <= BRIO_MAX_BUFFER_SIZE, "ulPlainTextLen", ERROR_INVALID_PARAMETER);
    unsigned int ulWorkLen = (unsigned int)ullWorkLen;
    unsigned char *pbWork = new (std::nothrow) unsigned char[ulWorkLen]();
    OP_CHECK(OP, pbWork != nullptr, "new pbWork", ERROR_NOT_ENOUGH_MEMORY);
    _QV_SM2_KEY_PAIR stKey;
    Sm2KeyOf(pBlob, &stKey);
    unsigned int ulOutLen = ulWorkLen;
    unsigned int ulRet = SM2_Encrypt(&stKey, pbPlainText, ulPlainTextLen, pbWork, &ulOutLen);
    /* C1 (04, x, y) || C2 || C3 */
    unsigned int ulSkip = ulOutLen > 0 && pbWork[0] == 0x04 ? 1 : 0;
    if (ulRet == 0 && (ulOutLen > ulWorkLen || ulOutLen - ulSkip < 3 * SC_SM2_BYTES ||
                       ulOutLen - ulSkip - 3 * SC_SM2_BYTES > ulPlainTextLen))
        ulRet = ERR_BAD_LENGTH;
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "SM2_Encrypt", ulRet);
    } else {
        TRACE_STEP_OK(OP, "SM2_Encrypt");
        const unsigned char *pbC1 = pbWork + ulSkip;
        unsigned int ulCipherLen = ulOutLen - ulSkip - 3 * SC_SM2_BYTES;
        PutRightAligned(pCipherText->XCoordinate, ECC_FIELD_LEN, pbC1, SC_SM2_BYTES);
        PutRightAligned(pCipherText->YCoordinate, ECC_FIELD_LEN, pbC1 + SC_SM2_BYTES, SC_SM2_BYTES);
        pCipherText->CipherLen = ulCipherLen;
        memcpy(pCipherText->Cipher, pbC1 + 2 * SC_SM2_BYTES, ulCipherLen);
        memcpy(pCipherText->HASH, pbC1 + 2 * SC_SM2_BYTES + ulCipherLen, SC_SM2_BYTES);
    }
    delete[] pbWork;
    return ulRet;
}

unsigned int CDeviceObject::PrivateKeyCommand(const char *pszOperation, const Struct_ECCPRIVATEKEYBLOB *pBlob,
                                             CAPDUCrypto **ppCrypto)
{
    const char *OP = pszOperation;
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    OP_STEP(OP, "SetSessionKey", m_pDeviceContext->SetSessionKey(false));
    OP_CHECK(OP, m_pDeviceContext->GetDeviceHandle() != nullptr, "m_pDevieHandle", SAR_INVALIDHANDLEERR);
    *ppCrypto = m_pDeviceContext->GetAPDUCrypto();
    OP_CHECK(OP, *ppCrypto != nullptr, "m_pApduCrypto", ERR_NULL_ARGUMENT);
    /* The key (and a signature's r and s) are 32 bytes: any other length
     * would reach outside the 64-byte fields or the token's answer. */
    OP_CHECK(OP, pBlob->BitLen / 8 == SC_SM2_BYTES, "BitLen", SAR_MODULUSLENERR);
    return 0;
}

unsigned int CDeviceObject::ExtECCDecrypt(Struct_ECCPRIVATEKEYBLOB *pBlob, Struct_ECCCIPHERBLOB *pCipherText,
                                          unsigned char *pbPlainText, unsigned int *pulPlainTextLen)
{
    static const char *OP = "ExtECCDecrypt";
    OP_CHECK(OP, pBlob != nullptr, "pECCPriKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pCipherText != nullptr, "pCipherText", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulPlainTextLen != nullptr, "pulPlainTextLen", SAR_INVALIDPARAMERR);
    /* The whole input must fit the one command body. */
    unsigned int ulCipherLen = pCipherText->CipherLen;
    OP_CHECK(OP, ulCipherLen <= EXT_DECRYPT_CIPHER_MAX, "CipherLen", SAR_INDATALENERR);
    if (pbPlainText == nullptr) {
        *pulPlainTextLen = ulCipherLen;
        return 0;
    }
    OP_CHECK_SIZE(OP, *pulPlainTextLen >= ulCipherLen, "CHECK *pulPlainTextLen", SAR_BUFFER_TOO_SMALL,
                  pulPlainTextLen, ulCipherLen);
    CAPDUCrypto *pCrypto = nullptr;
    unsigned int ulRet = PrivateKeyCommand(OP, pBlob, &pCrypto);
    if (ulRet != 0) return ulRet;

    unsigned char pbInput[EXT_DECRYPT_FIXED + EXT_DECRYPT_CIPHER_MAX];
    memcpy(pbInput, FieldValue(pCipherText->XCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    memcpy(pbInput + SC_SM2_BYTES, FieldValue(pCipherText->YCoordinate, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    memcpy(pbInput + 2 * SC_SM2_BYTES, pCipherText->HASH, SC_SM2_BYTES);
    Interger_Array_BigEndian_A(pbInput + 3 * SC_SM2_BYTES, 4, (int)ulCipherLen);
    memcpy(pbInput + EXT_DECRYPT_FIXED, pCipherText->Cipher, ulCipherLen);
    unsigned char pbKey[SC_SM2_BYTES];
    memcpy(pbKey, FieldValue(pBlob->PrivateKey, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    unsigned char pbAnswer[EXT_DECRYPT_ANSWER];
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    ulRet = pCrypto->ExtSM2Decrypt(pbKey, sizeof(pbKey), pbInput, EXT_DECRYPT_FIXED + ulCipherLen,
                                                pbAnswer, &ulAnswerLen);
    OPENSSL_cleanse(pbKey, sizeof(pbKey));
    const char *szStep = "ExtSM2Decrypt";
    unsigned int ulPlainLen = 0;
    if (ulRet != 0) {
        *pulPlainTextLen = ulCipherLen;
    } else {
        /* plaintext length, plaintext: held to the answer and to the caller's buffer */
        szStep = "CHECK answer";
        if (ulAnswerLen < 4 || ulAnswerLen > sizeof(pbAnswer)) {
            ulRet = ERR_BAD_LENGTH;
        } else {
            ulPlainLen = ReadU32(pbAnswer);
            if (ulPlainLen > ulAnswerLen - 4 || ulPlainLen > *pulPlainTextLen) ulRet = ERR_BAD_LENGTH;
        }
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, szStep, ulRet);
    } else {
        TRACE_STEP_OK(OP, szStep);
        memcpy(pbPlainText, pbAnswer + 4, ulPlainLen);
        *pulPlainTextLen = ulPlainLen;
    }
    OPENSSL_cleanse(pbAnswer, sizeof(pbAnswer));
    return ulRet;
}

unsigned int CDeviceObject::ExtECCSign(Struct_ECCPRIVATEKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                       unsigned char *pbR, unsigned char *pbS)
{
    static const char *OP = "ExtECCSign";
    OP_CHECK(OP, pBlob != nullptr, "pECCPriKeyBlob", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbData != nullptr, "pbData", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbR != nullptr, "pbR", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbS != nullptr, "pbS", SAR_INVALIDPARAMERR);
    CAPDUCrypto *pCrypto = nullptr;
    unsigned int ulRet = PrivateKeyCommand(OP, pBlob, &pCrypto);
    if (ulRet != 0) return ulRet;

    unsigned char pbKey[SC_SM2_BYTES];
    memcpy(pbKey, FieldValue(pBlob->PrivateKey, ECC_FIELD_LEN, SC_SM2_BYTES), SC_SM2_BYTES);
    unsigned char pbAnswer[2 * SC_SM2_BYTES];
    unsigned int ulAnswerLen = sizeof(pbAnswer);
    ulRet = pCrypto->ExtSM2SignHash(pbKey, sizeof(pbKey), pbData, ulDataLen, pbAnswer, &ulAnswerLen);
    OPENSSL_cleanse(pbKey, sizeof(pbKey));
    if (ulRet == 0 && ulAnswerLen != sizeof(pbAnswer)) ulRet = ERR_BAD_LENGTH;
    OP_STEP(OP, "ExtSM2SignHash", ulRet);
    memcpy(FieldValue(pbR, ECC_FIELD_LEN, SC_SM2_BYTES), pbAnswer, SC_SM2_BYTES);
    memcpy(FieldValue(pbS, ECC_FIELD_LEN, SC_SM2_BYTES), pbAnswer + SC_SM2_BYTES, SC_SM2_BYTES);
    return 0;
}

unsigned int CDeviceObject::DigestInit(unsigned int ulAlgID, Struct_ECCPUBLICKEYBLOB *pPubKey, unsigned char *pbID,
                                       unsigned int ulIDLen, void **phHash)
{
    static const char *OP = "DigestInit";
    OP_CHECK(OP, phHash != nullptr, "phHash", SAR_INVALIDPARAMERR);
    unsigned int ulHashID = 0;
    switch (ulAlgID) {
    case SGD_SHA1: ulHashID = SC_HASH_SHA1; break;
    case SGD_SHA256: ulHashID = SC_HASH_SHA256; break;
    case SGD_SM3: ulHashID = SC_HASH_SM3; break;
    default: break;
    }
    OP_CHECK(OP, ulHashID != 0, "ulAlgID", SAR_INDATAERR);

    bool bWithZ = ulHashID == SC_HASH_SM3 && pPubKey != nullptr;
    unsigned char pbZ[SC_SM2_BYTES];
    if (bWithZ) {
        OP_CHECK(OP, pbID != nullptr, "pucID", SAR_INVALIDPARAMERR);
        /* Only the default user ID has a Z value here: exactly its 16 bytes. */
        OP_CHECK(OP, ulIDLen == DEFAULT_SM2_ID_LEN && memcmp(pbID, DEFAULT_SM2_ID, DEFAULT_SM2_ID_LEN) == 0, "pucID",
                 SAR_INVALIDPARAMERR);
        OP_CHECK(OP, pPubKey->BitLen / 8 == SC_SM2_BYTES, "BitLen", SAR_MODULUSLENERR);
        _QV_SM2_KEY_PAIR stKey;
        Sm2KeyOf(pPubKey, &stKey);
        OP_STEP(OP, "SM2_GetZVal", SM2_GetZVal(&stKey, pbZ));
    }
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    CDigestObject *pDigest = new (std::nothrow) CDigestObject(m_pDeviceContext);
    OP_CHECK(OP, pDigest != nullptr, "new CDigestObject", ERR_NO_MEMORY);
    const char *szStep = "DigestInit";
    unsigned int ulRet = pDigest->DigestInit(ulHashID);
    if (ulRet == 0 && bWithZ) {
        TRACE_STEP_OK(OP, szStep);
        szStep = "DigestUpdate(Z)";
        ulRet = pDigest->DigestUpdate(pbZ, sizeof(pbZ));
    }
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, szStep, ulRet);
        delete pDigest;
        return ulRet;
    }
    TRACE_STEP_OK(OP, szStep);
    *phHash = pDigest;
    return 0;
}

unsigned int CDeviceObject::GetDeviceInfo(Struct_DEVINFO *pDevInfo)
{
    static const char *OP = "GetDeviceInfo";
    OP_CHECK(OP, pDevInfo != nullptr, "pDevInfo", SAR_INVALIDPARAMERR);
    _QV_DEV_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    OP_STEP(OP, "GetDeviceInfo", CBrioOperator::GetDeviceInfo(&stInfo));

    memset(pDevInfo, 0, sizeof(*pDevInfo));
    pDevInfo->Version.major = stInfo.pbVersion[0];
    pDevInfo->Version.minor = stInfo.pbVersion[1];
    memcpy(pDevInfo->Manufacturer, stInfo.szManufacturer, sizeof(pDevInfo->Manufacturer));
    memcpy(pDevInfo->Issuer, stInfo.szIssuer, sizeof(pDevInfo->Issuer));
    memcpy(pDevInfo->Label, stInfo.szLabel, sizeof(pDevInfo->Label));
    memcpy(pDevInfo->SerialNumber, stInfo.szSerialNumber, sizeof(pDevInfo->SerialNumber));
    pDevInfo->HWVersion.major = stInfo.pbHWVersion[0];
    pDevInfo->HWVersion.minor = stInfo.pbHWVersion[1];
    pDevInfo->FirmwareVersion.major = stInfo.pbFirmwareVersion[0];
    pDevInfo->FirmwareVersion.minor = stInfo.pbFirmwareVersion[1];
    pDevInfo->AlgSymCap = stInfo.ulAlgSymCap;
    pDevInfo->AlgAsymCap = stInfo.ulAlgAsymCap;
    pDevInfo->AlgHashCap = stInfo.ulAlgHashCap;
    pDevInfo->DevAuthAlgId = stInfo.ulDevAuthAlgId;
    pDevInfo->TotalSpace = stInfo.ulTotalSpace;
    pDevInfo->FreeSpace = stInfo.ulFreeSpace;
    pDevInfo->MaxECCBufferSize = DEVICE_MAX_ECC_BUFFER;
    pDevInfo->MaxBufferSize = DEVICE_MAX_BUFFER;

    TRACE(LOG_LEVEL_DEBUG, "%s - HWVersion=0x%02X%02X, FirmwareVersion=0x%02X%02X", OP, stInfo.pbHWVersion[0],
          stInfo.pbHWVersion[1], stInfo.pbFirmwareVersion[0], stInfo.pbFirmwareVersion[1]);
    TRACE(LOG_LEVEL_DEBUG, "%s - AlgSymCap=0x%08X", OP, (unsigned int)stInfo.ulAlgSymCap);
    TRACE(LOG_LEVEL_DEBUG, "%s - AlgAsymCap=0x%08X", OP, (unsigned int)stInfo.ulAlgAsymCap);
    TRACE(LOG_LEVEL_DEBUG, "%s - AlgHashCap=0x%08X", OP, (unsigned int)stInfo.ulAlgHashCap);
    return 0;
}

unsigned int CDeviceObject::SetTokenLabel(char *pszLabel, unsigned int ulLabelLen)
{
    return CBrioOperator::SetTokenLabel(pszLabel, ulLabelLen);
}

unsigned int CDeviceObject::Transmit(unsigned char *pbCommand, unsigned int ulCommandLen, unsigned char *pbData,
                                     unsigned int *pulDataLen)
{
    static const char *OP = "Transmit";
    OP_CHECK(OP, pulDataLen != nullptr, "pulDataLen", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, m_pDeviceContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    OP_CHECK(OP, pInfo != nullptr, "m_pDevieHandle", SAR_INVALIDHANDLEERR);
    /* A command by hand may write the token's files past the file layer,
     * and load a key or start an operation on the token's one cipher: no
     * handle may go on trusting the key slot afterwards. */
    m_pDeviceContext->BumpFileLayerChangeCounter();
    m_pDeviceContext->DisownKeySlot();
    OP_STEP(OP, "SarnSendCommand",
            SarnSendCommand(pInfo->m_hDevice, pbCommand, ulCommandLen, pbData, pulDataLen, DEVICE_TRANSMIT_TIMEOUT));
    return 0;
}
