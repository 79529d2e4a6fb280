/* skftest's module tests: files, PINs, SM2 and RSA containers, the digest
 * with the SM2 identity, containers, and the module menu. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "SoftCrypto/SoftCrypto.h"
#include "skftest/SkfTest.h"
#include "skftest/TestMaterial.h"

#define SM2_HALF 32u
#define SHA1_LEN 20u
#define RSA_MESSAGE_LEN 256u
#define CONTAINER_TYPE_WANTED_SM2 CONTAINER_TYPE_ECC
#define CONTAINER_TYPE_WANTED_RSA CONTAINER_TYPE_RSA

/* DER DigestInfo prefix of a SHA-1 digest (PKCS #1). */
static const BYTE SHA1_DIGEST_INFO[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                          0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

/* ---- Keys and records ---- */

void ECCPublicKeyReverse(ECCPUBLICKEYBLOB *pPubKey)
{
    BYTE abHalf[SM2_HALF];
    BYTE *apField[2] = {pPubKey->XCoordinate, pPubKey->YCoordinate};
    for (BYTE *pbField : apField) {
        memcpy(abHalf, pbField, SM2_HALF);
        memcpy(pbField, pbField + SM2_HALF, SM2_HALF);
        memcpy(pbField + SM2_HALF, abHalf, SM2_HALF);
    }
}

void ECCPrivateKeyReverse(ECCPRIVATEKEYBLOB *pPriKey)
{
    BYTE abHalf[SM2_HALF];
    memcpy(abHalf, pPriKey->PrivateKey, SM2_HALF);
    memcpy(pPriKey->PrivateKey, pPriKey->PrivateKey + SM2_HALF, SM2_HALF);
    memcpy(pPriKey->PrivateKey + SM2_HALF, abHalf, SM2_HALF);
    memset(abHalf, 0, sizeof(abHalf));
}

static void Sm2KeyOf(const ECCPUBLICKEYBLOB *pPubKey, _QV_SM2_KEY_PAIR *pKey)
{
    memset(pKey, 0, sizeof(*pKey));
    memcpy(pKey->X, pPubKey->XCoordinate + SM2_HALF, SM2_HALF);
    memcpy(pKey->Y, pPubKey->YCoordinate + SM2_HALF, SM2_HALF);
}

static ULONG RsaKeyOf(const RSAPUBLICKEYBLOB *pPubKey, _QV_RSA_KEY_PAIR *pKey)
{
    ULONG ulBytes = pPubKey->BitLen / 8;
    if (ulBytes == 0 || ulBytes > MAX_RSA_MODULUS_LEN) return SAR_MODULUSLENERR;
    memset(pKey, 0, sizeof(*pKey));
    memcpy(pKey->N, pPubKey->Modulus + MAX_RSA_MODULUS_LEN - ulBytes, ulBytes);
    pKey->NLen = ulBytes;
    memcpy(pKey->E, pPubKey->PublicExponent, MAX_RSA_EXPONENT_LEN);
    pKey->ELen = MAX_RSA_EXPONENT_LEN;
    return SAR_OK;
}

ULONG LOAD_CERTIFICATE(BYTE *pbCert, ULONG *pulCertLen)
{
    memcpy(pbCert, g_abTestCertificate, TEST_CERT_LEN);
    *pulCertLen = TEST_CERT_LEN;
    return SAR_OK;
}

ULONG EncryptUnderSessionKey(const BYTE *pbIn, ULONG ulLen, BYTE *pbOut)
{
    for (ULONG ulPos = 0; ulPos + 16 <= ulLen; ulPos += 16) {
        void *pCtx = nullptr;
        ULONG ulRet = SymEncryptInit(&pCtx, SC_ALG_SM4, SC_MODE_ECB, (unsigned char *)g_abTestSessionKey, nullptr);
        if (ulRet != 0) return ulRet;
        BYTE abOut[32];
        BYTE abPad[16];
        unsigned int ulOut = 0;
        unsigned int ulPad = 0;
        ulRet = SymEncryptUpdate(pCtx, (unsigned char *)pbIn + ulPos, 16, abOut, &ulOut);
        ULONG ulFinal = SymEncryptFinal(pCtx, abPad, &ulPad);
        if (ulRet == 0) ulRet = ulFinal;
        if (ulRet == 0 && ulOut != 16) ulRet = SAR_FAIL;
        if (ulRet != 0) return ulRet;
        memcpy(pbOut + ulPos, abOut, 16);
    }
    return SAR_OK;
}

ULONG LOAD_ECC_KEYPAIR(ECCPUBLICKEYBLOB *pTokenPubKey, ENVELOPEDKEYBLOB *pEnvelope)
{
    _QV_SM2_KEY_PAIR stToken;
    Sm2KeyOf(pTokenPubKey, &stToken);
    BYTE abCipher[TEST_SESSION_KEY_LEN + 97];
    unsigned int ulCipherLen = sizeof(abCipher);
    ULONG ulRet = SM2_Encrypt(&stToken, (unsigned char *)g_abTestSessionKey, TEST_SESSION_KEY_LEN, abCipher,
                              &ulCipherLen);
    if (ulRet != 0) return ulRet;
    const BYTE *pb = abCipher;
    if (ulCipherLen > 0 && pb[0] == 0x04) {
        ++pb;
        --ulCipherLen;
    }
    /* X (32), Y (32), cipher text, hash (the last 32). */
    ULONG ulC2 = ulCipherLen - 3 * SM2_HALF;
    pEnvelope->Version = 1;
    pEnvelope->ulSymmAlgID = SGD_SMS4_ECB;
    memcpy(pEnvelope->ECCCipherBlob.XCoordinate + SM2_HALF, pb, SM2_HALF);
    memcpy(pEnvelope->ECCCipherBlob.YCoordinate + SM2_HALF, pb + SM2_HALF, SM2_HALF);
    memcpy(pEnvelope->ECCCipherBlob.Cipher, pb + 2 * SM2_HALF, ulC2);
    memcpy(pEnvelope->ECCCipherBlob.HASH, pb + 2 * SM2_HALF + ulC2, SM2_HALF);
    pEnvelope->ECCCipherBlob.CipherLen = ulC2;

    pEnvelope->PubKey.BitLen = 256;
    memcpy(pEnvelope->PubKey.XCoordinate + SM2_HALF, g_abSm2TestPublicX, SM2_HALF);
    memcpy(pEnvelope->PubKey.YCoordinate + SM2_HALF, g_abSm2TestPublicY, SM2_HALF);

    /* The private key under the session key, SM4-ECB. */
    BYTE abEncrypted[TEST_SM2_KEY_LEN];
    const ULONG ulEncrypted = TEST_SM2_KEY_LEN;
    ulRet = EncryptUnderSessionKey(g_abSm2TestPrivateKey, TEST_SM2_KEY_LEN, abEncrypted);
    if (ulRet != SAR_OK) return ulRet;
    memcpy(pEnvelope->cbEncryptedPriKey + sizeof(pEnvelope->cbEncryptedPriKey) - ulEncrypted, abEncrypted,
           ulEncrypted);
    pEnvelope->ulBits = 8 * ulEncrypted;
    return SAR_OK;
}

ULONG LOAD_RSA_KEYPAIR(RSAPUBLICKEYBLOB *pTokenPubKey, BYTE *pbWrappedKey, ULONG *pulWrappedKeyLen,
                       BYTE *pbEncryptedKey, ULONG *pulEncryptedKeyLen)
{
    _QV_RSA_KEY_PAIR stToken;
    ULONG ulRet = RsaKeyOf(pTokenPubKey, &stToken);
    if (ulRet != SAR_OK) return ulRet;
    unsigned int ulWrapped = *pulWrappedKeyLen;
    ulRet = RSA_Encrypt(&stToken, (unsigned char *)g_abTestSessionKey, TEST_SESSION_KEY_LEN, pbWrappedKey,
                        &ulWrapped, 1);
    if (ulRet != 0) return ulRet;
    *pulWrappedKeyLen = ulWrapped;

    void *pCtx = nullptr;
    ulRet = SymEncryptInit(&pCtx, SC_ALG_3DES_2KEY, SC_MODE_ECB, (unsigned char *)g_abTestSessionKey, nullptr);
    if (ulRet != 0) return ulRet;
    unsigned int ulOut = 0;
    unsigned int ulLast = 0;
    ulRet = SymEncryptUpdate(pCtx, (unsigned char *)g_abRsaTestPrivateKeyDer, TEST_RSA_DER_LEN, pbEncryptedKey,
                             &ulOut);
    ULONG ulFinal = SymEncryptFinal(pCtx, pbEncryptedKey + ulOut, &ulLast);
    if (ulRet == 0) ulRet = ulFinal;
    if (ulRet != 0) return ulRet;
    *pulEncryptedKeyLen = ulOut + ulLast;
    return SAR_OK;
}

ULONG VERIFY_SM2(ECCPUBLICKEYBLOB *pPubKey, BYTE *pbDigest, ECCSIGNATUREBLOB *pSignature)
{
    _QV_SM2_KEY_PAIR stKey;
    Sm2KeyOf(pPubKey, &stKey);
    BYTE abRS[2 * SM2_HALF];
    memcpy(abRS, pSignature->r + SM2_HALF, SM2_HALF);
    memcpy(abRS + SM2_HALF, pSignature->s + SM2_HALF, SM2_HALF);
    Announce("SM2_Verify");
    return Report(SM2_Verify(&stKey, pbDigest, abRS, sizeof(abRS)));
}

ULONG VERIFY_RSA(RSAPUBLICKEYBLOB *pPubKey, ULONG ulHashID, BYTE *pbData, ULONG ulDataLen, BYTE *pbSignature,
                 ULONG ulSignLen)
{
    _QV_RSA_KEY_PAIR stKey;
    ULONG ulRet = RsaKeyOf(pPubKey, &stKey);
    Announce("RSA_Verify");
    if (ulRet != SAR_OK) return Report(ulRet);
    return Report(RSA_Verify(&stKey, ulHashID, pbData, ulDataLen, pbSignature, ulSignLen));
}

/* ---- Files ---- */

ULONG TEST_FILE(HAPPLICATION hApp)
{
    char szFile[] = SKFTEST_FILE_NAME;
    SKF_DeleteFile(hApp, szFile);
    Announce("SKF_CreateFile");
    ULONG ulRet = Report(SKF_CreateFile(hApp, szFile, 0x8000, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT));
    if (ulRet != SAR_OK) return ulRet;
    FILEATTRIBUTE stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    Announce("SKF_GetFileInfo");
    ulRet = Report(SKF_GetFileInfo(hApp, szFile, &stInfo));
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_WriteFile");
    ulRet = Report(SKF_WriteFile(hApp, szFile, 0, (BYTE *)&stInfo, sizeof(stInfo)));
    if (ulRet != SAR_OK) return ulRet;

    BYTE *pbRead = nullptr;
    ulRet = NewCheckedBuffer("TEST_FILE", stInfo.FileSize, &pbRead);
    if (ulRet != SAR_OK) return ulRet;
    ULONG ulRead = stInfo.FileSize;
    Announce("SKF_ReadFile");
    ulRet = Report(SKF_ReadFile(hApp, szFile, 0, stInfo.FileSize, pbRead, &ulRead));
    if (ulRet == SAR_OK && (ulRead < sizeof(stInfo) || memcmp(pbRead, &stInfo, sizeof(stInfo)) != 0))
        ulRet = ReportFailure("COMPARE write and read buffer", SAR_READFILEERR);
    free(pbRead);
    if (ulRet != SAR_OK) return ulRet;

    ULONG ulSize = 0;
    Announce("SKF_EnumFiles");
    ulRet = Report(SKF_EnumFiles(hApp, nullptr, &ulSize));
    if (ulRet != SAR_OK) return ulRet;
    if (ulSize == 0) return ReportFailure("SKF_EnumFiles", SAR_FILE_NOT_EXIST);
    BYTE *pbList = nullptr;
    ulRet = NewCheckedBuffer("TEST_FILE", ulSize, &pbList);
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_EnumFiles");
    ulRet = Report(SKF_EnumFiles(hApp, (LPSTR)pbList, &ulSize));
    free(pbList);
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_DeleteFile");
    return Report(SKF_DeleteFile(hApp, szFile));
}

/* ---- PINs ---- */

ULONG TEST_PIN(HAPPLICATION hApp)
{
    for (;;) {
        printf("======= PIN码测试 =======\r\n");
        printf("a. 验证PIN码\r\n");
        printf("b. 修改PIN码\r\n");
        printf("c. 获取PIN码状态\r\n");
        printf("d. 清空安全状态\r\n");
        printf("\r\n选择[其他键-返回]: ");
        fflush(stdout);
        int c = tolower(ReadMenuKey('\n'));
        ULONG ulRetry = 0;
        char szOld[SKFTEST_PIN_BUFFER] = {0};
        char szNew[SKFTEST_PIN_BUFFER] = {0};
        switch (c) {
        case 'a':
            if (!ReadPinLine("请输入PIN码: ", szOld)) break;
            Announce("SKF_VerifyPIN");
            Report(SKF_VerifyPIN(hApp, USER_TYPE, szOld, &ulRetry));
            break;
        case 'b':
            if (!ReadPinLine("请输入旧PIN码: ", szOld) || !ReadPinLine("请输入新PIN码: ", szNew)) break;
            Announce("SKF_ChangePIN");
            Report(SKF_ChangePIN(hApp, USER_TYPE, szOld, szNew, &ulRetry));
            break;
        case 'c': {
            ULONG ulMax = 0;
            ULONG ulRemain = 0;
            BOOL bDefault = FALSE;
            Announce("SKF_GetPINInfo");
            if (Report(SKF_GetPINInfo(hApp, USER_TYPE, &ulMax, &ulRemain, &bDefault)) == SAR_OK) {
                printf("MaxRetryCount: %d\n", (int)ulMax);
                printf("ulRemainRetryCount: %d\n", (int)ulRemain);
                printf("IsDefaultPin: %d\n", (int)bDefault);
                printf("\n");
            }
            break;
        }
        case 'd':
            Announce("SKF_ClearSecureState");
            Report(SKF_ClearSecureState(hApp));
            break;
        default:
            return SAR_OK;
        }
        memset(szOld, 0, sizeof(szOld));
        memset(szNew, 0, sizeof(szNew));
    }
}

/* ---- Containers ---- */

/* A multi-string's entries. */
static std::vector<std::string> NamesOf(const BYTE *pbList, ULONG ulSize)
{
    std::vector<std::string> vNames;
    const char *psz = (const char *)pbList;
    const char *pszEnd = psz + ulSize;
    while (psz < pszEnd && *psz != '\0') {
        size_t n = strnlen(psz, (size_t)(pszEnd - psz));
        vNames.emplace_back(psz, n);
        psz += n + 1;
    }
    return vNames;
}

/* The application's container names; *pulListing: the listing's result. */
static ULONG ListContainers(const char *pszTest, HAPPLICATION hApp, std::vector<std::string> *pvNames)
{
    ULONG ulSize = 0;
    Announce("SKF_EnumContainer");
    ULONG ulRet = Report(SKF_EnumContainer(hApp, nullptr, &ulSize));
    if (ulRet != SAR_OK || ulSize == 0) return ulRet;
    BYTE *pbList = nullptr;
    ulRet = NewCheckedBuffer(pszTest, ulSize, &pbList);
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_EnumContainer");
    ulRet = Report(SKF_EnumContainer(hApp, (LPSTR)pbList, &ulSize));
    if (ulRet == SAR_OK) *pvNames = NamesOf(pbList, ulSize);
    free(pbList);
    return ulRet;
}

/* The first container of the wanted type, the others closed again. */
static ULONG FindContainer(const char *pszTest, HAPPLICATION hApp, ULONG ulWantedType, HCONTAINER *phCon)
{
    std::vector<std::string> vNames;
    ULONG ulRet = ListContainers(pszTest, hApp, &vNames);
    if (ulRet != SAR_OK) return ulRet;
    for (std::string &name : vNames) {
        HCONTAINER hCon = nullptr;
        Announce("SKF_OpenContainer");
        if (Report(SKF_OpenContainer(hApp, &name[0], &hCon)) != SAR_OK) continue;
        ULONG ulType = 0;
        Announce("SKF_GetContainerType");
        if (Report(SKF_GetContainerType(hCon, &ulType)) == SAR_OK && ulType == ulWantedType && *phCon == nullptr) {
            *phCon = hCon;
            continue;
        }
        SKF_CloseContainer(hCon);
    }
    return SAR_OK;
}

/* Creates the named container anew (deleting one of that name first). */
static ULONG CreateContainer(HAPPLICATION hApp, const char *pszName, HCONTAINER *phCon)
{
    char szName[64];
    snprintf(szName, sizeof(szName), "%s", pszName);
    HCONTAINER hOld = nullptr;
    if (SKF_OpenContainer(hApp, szName, &hOld) == SAR_OK) {
        SKF_CloseContainer(hOld);
        Announce("SKF_DeleteContainer");
        ULONG ulRet = Report(SKF_DeleteContainer(hApp, szName));
        if (ulRet != SAR_OK) return ulRet;
    }
    HCONTAINER hCon = nullptr;
    Announce("SKF_CreateContainer");
    ULONG ulRet = Report(SKF_CreateContainer(hApp, szName, &hCon));
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_CloseContainer");
    Report(SKF_CloseContainer(hCon));
    Announce("SKF_OpenContainer");
    return Report(SKF_OpenContainer(hApp, szName, phCon));
}

static ULONG ImportCertificates(HCONTAINER hCon)
{
    BYTE abCert[TEST_CERT_LEN];
    ULONG ulCertLen = 0;
    LOAD_CERTIFICATE(abCert, &ulCertLen);
    Announce("SKF_ImportCertificate");
    ULONG ulRet = Report(SKF_ImportCertificate(hCon, TRUE, abCert, ulCertLen));
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_ImportCertificate");
    return Report(SKF_ImportCertificate(hCon, FALSE, abCert, ulCertLen));
}

static ULONG CreateSm2Keys(HCONTAINER hCon)
{
    ECCPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    Announce("SKF_GenECCKeyPair");
    ULONG ulRet = Report(SKF_GenECCKeyPair(hCon, SGD_SM2_2, &stPub));
    if (ulRet != SAR_OK) return ulRet;
    BYTE abDigest[32];
    memset(abDigest, 0x5A, sizeof(abDigest));
    ECCSIGNATUREBLOB stSig;
    memset(&stSig, 0, sizeof(stSig));
    Announce("SKF_ECCSignP10");
    ulRet = Report(SKF_ECCSignData(hCon, abDigest, sizeof(abDigest), &stSig));
    if (ulRet != SAR_OK) return ulRet;
    /* The envelope's cipher text runs on past the record's one Cipher byte. */
    std::vector<BYTE> vEnvelope(sizeof(ENVELOPEDKEYBLOB) + 64, 0);
    ENVELOPEDKEYBLOB *pEnvelope = (ENVELOPEDKEYBLOB *)vEnvelope.data();
    ulRet = LOAD_ECC_KEYPAIR(&stPub, pEnvelope);
    if (ulRet != SAR_OK) return ReportFailure("LOAD_ECC_KEYPAIR", ulRet);
    Announce("SKF_ImportECCKeyPair");
    return Report(SKF_ImportECCKeyPair(hCon, pEnvelope));
}

static ULONG CreateRsaKeys(HCONTAINER hCon)
{
    RSAPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    Announce("SKF_GenRSAKeyPair");
    ULONG ulRet = Report(SKF_GenRSAKeyPair(hCon, 2048, &stPub));
    if (ulRet != SAR_OK) return ulRet;
    BYTE abWrapped[MAX_RSA_MODULUS_LEN];
    ULONG ulWrapped = sizeof(abWrapped);
    std::vector<BYTE> vEncrypted(TEST_RSA_DER_LEN + 16, 0);
    ULONG ulEncrypted = (ULONG)vEncrypted.size();
    ulRet = LOAD_RSA_KEYPAIR(&stPub, abWrapped, &ulWrapped, vEncrypted.data(), &ulEncrypted);
    if (ulRet != SAR_OK) return ReportFailure("LOAD_RSA_KEYPAIR", ulRet);
    Announce("SKF_ImportRSAKeyPair");
    return Report(SKF_ImportRSAKeyPair(hCon, ALG_SOFT_3DES_ECB, abWrapped, ulWrapped, vEncrypted.data(), ulEncrypted));
}

/* Exports one certificate (size query first) into *pvCert. */
static ULONG ExportCertificate(const char *pszTest, HCONTAINER hCon, BOOL bSign, std::vector<BYTE> *pvCert)
{
    ULONG ulLen = 0;
    ULONG ulRet = SKF_ExportCertificate(hCon, bSign, nullptr, &ulLen);
    if (ulRet != SAR_OK || ulLen == 0) return ulRet != SAR_OK ? ulRet : (ULONG)SAR_CERTNOTFOUNTERR;
    BYTE *pbCert = nullptr;
    ulRet = NewCheckedBuffer(pszTest, ulLen, &pbCert);
    if (ulRet != SAR_OK) return ulRet;
    Announce("SKF_ExportCertificate");
    ulRet = Report(SKF_ExportCertificate(hCon, bSign, pbCert, &ulLen));
    if (ulRet == SAR_OK) pvCert->assign(pbCert, pbCert + ulLen);
    free(pbCert);
    return ulRet;
}

static ULONG SignAndVerifySm2(HCONTAINER hCon, BOOL bSignKey)
{
    BYTE abDigest[32];
    for (unsigned int i = 0; i < sizeof(abDigest); ++i) abDigest[i] = (BYTE)(i * 7 + 1);
    ECCSIGNATUREBLOB stSig;
    memset(&stSig, 0, sizeof(stSig));
    Announce("SKF_ECCSignData");
    ULONG ulRet = Report(SKF_ECCSignData(hCon, abDigest, sizeof(abDigest), &stSig));
    if (ulRet != SAR_OK) return ulRet;
    ECCPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    ULONG ulLen = sizeof(stPub);
    Announce("SKF_ExportPublicKey");
    ulRet = Report(SKF_ExportPublicKey(hCon, bSignKey, (BYTE *)&stPub, &ulLen));
    if (ulRet != SAR_OK) return ulRet;
    return VERIFY_SM2(&stPub, abDigest, &stSig);
}

static ULONG SignAndVerifyRsa(HCONTAINER hCon, BOOL bSignKey)
{
    BYTE abMessage[RSA_MESSAGE_LEN];
    for (unsigned int i = 0; i < sizeof(abMessage); ++i) abMessage[i] = (BYTE)i;
    BYTE abToSign[sizeof(SHA1_DIGEST_INFO) + SHA1_LEN];
    memcpy(abToSign, SHA1_DIGEST_INFO, sizeof(SHA1_DIGEST_INFO));
    unsigned int ulDigest = SHA1_LEN;
    Announce("Hash_Digest");
    ULONG ulRet = Report(Hash_Digest(SC_HASH_SHA1, abMessage, sizeof(abMessage),
                                     abToSign + sizeof(SHA1_DIGEST_INFO), &ulDigest));
    if (ulRet != SAR_OK) return ulRet;
    BYTE abSignature[MAX_RSA_MODULUS_LEN];
    ULONG ulSignLen = sizeof(abSignature);
    Announce("SKF_RSASignData");
    ulRet = Report(SKF_RSASignData(hCon, abToSign, sizeof(abToSign), abSignature, &ulSignLen));
    if (ulRet != SAR_OK) return ulRet;
    RSAPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    ULONG ulLen = sizeof(stPub);
    Announce("SKF_ExportPublicKey");
    ulRet = Report(SKF_ExportPublicKey(hCon, bSignKey, (BYTE *)&stPub, &ulLen));
    if (ulRet != SAR_OK) return ulRet;
    return VERIFY_RSA(&stPub, SC_HASH_SHA1, abMessage, sizeof(abMessage), abSignature, ulSignLen);
}

/* TEST_SM2 and TEST_RSA: find or create the container, then the common part. */
static ULONG TestKeyContainer(HAPPLICATION hApp, bool bFind, bool bSm2)
{
    const char *pszTest = bSm2 ? "TEST_SM2" : "TEST_RSA";
    HCONTAINER hCon = nullptr;
    ULONG ulRet;
    if (bFind) {
        ulRet = FindContainer(pszTest, hApp, bSm2 ? CONTAINER_TYPE_WANTED_SM2 : CONTAINER_TYPE_WANTED_RSA, &hCon);
        if (hCon == nullptr) {
            ReportFailure(bSm2 ? "Find SM2 certificate" : "Find RSA certificate", SAR_CERTNOTFOUNTERR);
            return ulRet;
        }
    } else {
        ulRet = CreateContainer(hApp, bSm2 ? SKFTEST_SM2_CONTAINER : SKFTEST_RSA_CONTAINER, &hCon);
        if (ulRet != SAR_OK) return ulRet;
        ulRet = bSm2 ? CreateSm2Keys(hCon) : CreateRsaKeys(hCon);
        if (ulRet == SAR_OK) ulRet = ImportCertificates(hCon);
        if (ulRet != SAR_OK) {
            SKF_CloseContainer(hCon);
            return ulRet;
        }
    }

    std::vector<BYTE> vSignCert;
    std::vector<BYTE> vExchCert;
    if (ExportCertificate(pszTest, hCon, TRUE, &vSignCert) != SAR_OK)
        ReportFailure("SKF_ExportCertificate(SIGN)", SAR_CERTNOTFOUNTERR);
    ulRet = ExportCertificate(pszTest, hCon, FALSE, &vExchCert);
    if (ulRet != SAR_OK || vExchCert.empty()) {
        ReportFailure("SKF_ExportCertificate", SAR_CERTNOTFOUNTERR);
        SKF_CloseContainer(hCon);
        return SAR_CERTNOTFOUNTERR;
    }
    if (!vSignCert.empty() && vSignCert == vExchCert) ReportFailure("Certificates compare same", SAR_INDATAERR);

    BOOL bSignKey = vSignCert.empty() ? FALSE : TRUE;
    ulRet = bSm2 ? SignAndVerifySm2(hCon, bSignKey) : SignAndVerifyRsa(hCon, bSignKey);
    Announce("SKF_CloseContainer");
    Report(SKF_CloseContainer(hCon));
    return ulRet;
}

ULONG TEST_SM2(HAPPLICATION hApp, bool bFind) { return TestKeyContainer(hApp, bFind, true); }

ULONG TEST_RSA(HAPPLICATION hApp, bool bFind) { return TestKeyContainer(hApp, bFind, false); }

ULONG TEST_CONTAINER(HAPPLICATION hApp)
{
    std::vector<std::string> vNames;
    ULONG ulSize = 0;
    Announce("SKF_EnumContainer");
    ULONG ulRet = Report(SKF_EnumContainer(hApp, nullptr, &ulSize));
    if (ulRet != SAR_OK) return ulRet;
    if (ulSize == 0) {
        ReportFailure("SKF_EnumContainer", SAR_OBJERR);
        return ulRet;
    }
    ulRet = ListContainers("TEST_CONTAINER", hApp, &vNames);
    if (ulRet != SAR_OK) return ulRet;
    for (std::string &name : vNames) {
        Announce("SKF_DeleteContainer");
        ulRet = Report(SKF_DeleteContainer(hApp, &name[0]));
        if (ulRet != SAR_OK) return ulRet;
    }
    return SAR_OK;
}

/* ---- Digest ---- */

ULONG TEST_Digest(DEVHANDLE hDev)
{
    _QV_SM2_KEY_PAIR stKey;
    memset(&stKey, 0, sizeof(stKey));
    Announce("SM2_GenKey");
    ULONG ulRet = Report(SM2_GenKey(&stKey));
    if (ulRet != SAR_OK) return ulRet;
    BYTE abZ[32];
    Announce("SM2_GetZVal");
    ulRet = Report(SM2_GetZVal(&stKey, abZ));
    if (ulRet != SAR_OK) return ulRet;

    ECCPUBLICKEYBLOB stPub;
    memset(&stPub, 0, sizeof(stPub));
    stPub.BitLen = 256;
    memcpy(stPub.XCoordinate, stKey.X, SM2_HALF);
    memcpy(stPub.YCoordinate, stKey.Y, SM2_HALF);
    ECCPublicKeyReverse(&stPub);
    memset(stKey.D, 0, sizeof(stKey.D));

    HANDLE hHash = nullptr;
    char szID[] = SKFTEST_USER_ID;
    Announce("SKF_DigestInit");
    ulRet = Report(SKF_DigestInit(hDev, SGD_SM3, &stPub, (BYTE *)szID, (ULONG)strlen(szID), &hHash));
    if (ulRet != SAR_OK) return ulRet;

    static const char MESSAGE[] = SKFTEST_DIGEST_MESSAGE;
    const ULONG ulMessage = sizeof(MESSAGE) - 1;
    BYTE abInput[32 + sizeof(MESSAGE)];
    memcpy(abInput, abZ, sizeof(abZ));
    memcpy(abInput + sizeof(abZ), MESSAGE, ulMessage);
    BYTE abSoft[32];
    unsigned int ulSoft = sizeof(abSoft);
    Announce("Hash_Digest");
    ulRet = Report(Hash_Digest(SC_HASH_SM3, abInput, sizeof(abZ) + ulMessage, abSoft, &ulSoft));
    BYTE abToken[32];
    ULONG ulToken = sizeof(abToken);
    if (ulRet == SAR_OK) {
        Announce("SKF_DigestUpdate");
        ulRet = Report(SKF_DigestUpdate(hHash, (BYTE *)MESSAGE, ulMessage));
    }
    if (ulRet == SAR_OK) {
        Announce("SKF_DigestFinal");
        ulRet = Report(SKF_DigestFinal(hHash, abToken, &ulToken));
    }
    if (ulRet == SAR_OK) {
        Announce("SGD_SM3摘要测试");
        bool bSame = ulToken == ulSoft && memcmp(abToken, abSoft, ulSoft) == 0;
        ulRet = Report(bSame ? SAR_OK : SAR_HASHNOTEQUALERR);
    }
    SKF_CloseHandle(hHash);
    return ulRet;
}

/* ---- The module menu ---- */

ULONG TEST_MENU(HAPPLICATION hApp)
{
    for (;;) {
        printf("======= 模块测试 =======\r\n");
        printf("f. 文件测试\r\n");
        printf("p. PIN码测试\r\n");
        printf("r. RSA测试\r\n");
        printf("s. SM2测试\r\n");
        printf("t. 容器测试\r\n");
        printf("\r\n选择[Q-退出]: ");
        fflush(stdout);
        int c = tolower(ReadMenuKey('q'));
        ULONG ulRet = SAR_OK;
        const char *pszLabel = nullptr;
        switch (c) {
        case 'f': ulRet = TEST_FILE(hApp); pszLabel = "File test"; break;
        case 'p': ulRet = TEST_PIN(hApp); pszLabel = "PIN test"; break;
        case 'r': ulRet = TEST_RSA(hApp, false); pszLabel = "Rsa test"; break;
        case 's': ulRet = TEST_SM2(hApp, false); pszLabel = "Ecc test"; break;
        case 't': ulRet = TEST_CONTAINER(hApp); pszLabel = "Container test"; break;
        case 'q':
            Announce("SKF_ClearSecureState");
            return Report(SKF_ClearSecureState(hApp));
        default: continue;
        }
        if (ulRet != SAR_OK) ReportTest(pszLabel, ulRet);
    }
}
