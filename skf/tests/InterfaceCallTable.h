/* Every SKF function's checks as a table of calls through the public header:
 * for each function, one row per argument check (the earlier arguments
 * valid, the handle null, so the arguments are checked before the handle)
 * and one row for its handle (every argument valid), with the step that
 * must fail and the SAR code.  Handle rows are run with null, stale, closed
 * and wrong-kind handles. */
#pragma once

#include <string.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "skf/skf.h"

namespace skftest {

/* Valid arguments of every kind the functions take. */
struct CallArgs {
    CallArgs()
    {
        memset(sz33, 'a', 33);
        memset(sz41, 'c', 41);
        memset(szPin17, '7', 17);
        memset(abBuf, 0, sizeof(abBuf));
    }
    char szName[8] = "Tola";
    char sz33[34] = {};
    char sz41[42] = {};
    char szPin[9] = "12345678";
    char szPin5[6] = "12345";
    char szPin17[18] = {};
    BYTE abBuf[1024];
    ULONG ul = sizeof(abBuf);
    ULONG ul2 = 0;
    BOOL b = FALSE;
    DEVINFO devInfo = {};
    FILEATTRIBUTE fileInfo = {};
    RSAPUBLICKEYBLOB rsaPub = {};
    RSAPRIVATEKEYBLOB rsaPri = {};
    ECCPUBLICKEYBLOB eccPub = {};
    ECCPRIVATEKEYBLOB eccPri = {};
    ECCSIGNATUREBLOB sig = {};
    ENVELOPEDKEYBLOB env = {};
    BLOCKCIPHERPARAM param = {};
    HANDLE hOut = nullptr;
    ECCCIPHERBLOB *Cipher() { return reinterpret_cast<ECCCIPHERBLOB *>(abBuf); }
};

/* The kind of handle a function takes: device, application, container,
 * key; none for the functions on the device manager. */
enum class HandleKind { None, Device, Application, Container, Key };

struct CallCase {
    const char *pszFunction;
    const char *pszStep;  /* the step that fails */
    ULONG ulCode;
    HandleKind eKind;     /* the handle row's kind; None for argument rows */
    std::function<ULONG(CallArgs &, HANDLE)> fnCall;
};

inline std::ostream &operator<<(std::ostream &os, const CallCase &c)
{
    return os << c.pszFunction << " / " << c.pszStep;
}

/* A readable test name. */
inline std::string CaseName(const CallCase &c)
{
    std::string s = std::string(c.pszFunction) + "_" + c.pszStep;
    for (char &ch : s)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return s;
}

#define SKF_ARG(func, step, code, ...)                                       \
    CallCase{#func, step, code, HandleKind::None, [](CallArgs &a, HANDLE h) { \
                 (void)a;                                                     \
                 (void)h;                                                     \
                 return func(__VA_ARGS__);                                    \
             }}
#define SKF_HANDLE(func, step, kind, ...)                                                                       \
    CallCase{#func, step, SAR_INVALIDHANDLEERR, HandleKind::kind, [](CallArgs &a, HANDLE h) {                   \
                 (void)a;                                                                                       \
                 return func(__VA_ARGS__);                                                                      \
             }}

inline const std::vector<CallCase> &AllCallCases()
{
    static const ULONG P = SAR_INVALIDPARAMERR;
    static const std::vector<CallCase> cases = {
        /* Devices and the manager. */
        SKF_ARG(SKF_WaitForDevEvent, "CHECK szDevName", P, nullptr, &a.ul, &a.ul2),
        SKF_ARG(SKF_WaitForDevEvent, "CHECK pulDevNameLen", P, a.szName, nullptr, &a.ul2),
        SKF_ARG(SKF_WaitForDevEvent, "CHECK pulEvent", P, a.szName, &a.ul, nullptr),
        SKF_ARG(SKF_EnumDev, "CHECK pulSize", P, TRUE, a.szName, nullptr),
        SKF_ARG(SKF_ConnectDev, "CHECK szName", P, nullptr, &a.hOut),
        SKF_ARG(SKF_ConnectDev, "CHECK szName length", SAR_NAMELENERR, a.sz33, &a.hOut),
        SKF_ARG(SKF_ConnectDev, "CHECK phDev", P, a.szName, nullptr),
        SKF_ARG(SKF_GetDevState, "CHECK szDevName", P, nullptr, &a.ul),
        SKF_ARG(SKF_GetDevState, "CHECK szDevName length", SAR_NAMELENERR, a.sz33, &a.ul),
        SKF_ARG(SKF_GetDevState, "CHECK pulDevState", P, a.szName, nullptr),
        SKF_HANDLE(SKF_DisConnectDev, "CHECK hDev", Device, h),
        SKF_ARG(SKF_SetLabel, "CHECK szLabel", P, h, nullptr),
        SKF_ARG(SKF_SetLabel, "CHECK szLabel length", SAR_INDATALENERR, h, a.sz33),
        SKF_HANDLE(SKF_SetLabel, "CHECK_DEV_PCTX", Device, h, a.szName),
        SKF_ARG(SKF_GetDevInfo, "CHECK pDevInfo", P, h, nullptr),
        SKF_HANDLE(SKF_GetDevInfo, "CHECK_DEV_PCTX", Device, h, &a.devInfo),
        SKF_HANDLE(SKF_LockDev, "CHECK_DEV_PCTX", Device, h, 0),
        SKF_HANDLE(SKF_UnlockDev, "CHECK hDev", Device, h),
        SKF_ARG(SKF_Transmit, "CHECK pbCommand", P, h, nullptr, 4, a.abBuf, &a.ul),
        SKF_ARG(SKF_Transmit, "CHECK ulCommandLen", SAR_INDATALENERR, h, a.abBuf, 4097, a.abBuf, &a.ul),
        SKF_ARG(SKF_Transmit, "CHECK pbData", P, h, a.abBuf, 4, nullptr, &a.ul),
        SKF_ARG(SKF_Transmit, "CHECK pulDataLen", P, h, a.abBuf, 4, a.abBuf, nullptr),
        SKF_HANDLE(SKF_Transmit, "CHECK hDev", Device, h, a.abBuf, 4, a.abBuf, &a.ul),
        /* Access control. */
        SKF_ARG(SKF_ChangeDevAuthKey, "CHECK pbKeyValue", P, h, nullptr, 16),
        SKF_ARG(SKF_ChangeDevAuthKey, "CHECK ulKeyLen", P, h, a.abBuf, 15),
        SKF_HANDLE(SKF_ChangeDevAuthKey, "CHECK_DEV_PCTX", Device, h, a.abBuf, 16),
        SKF_ARG(SKF_DevAuth, "CHECK pbAuthData", P, h, nullptr, 16),
        SKF_ARG(SKF_DevAuth, "CHECK ulLen", P, h, a.abBuf, 17),
        SKF_HANDLE(SKF_DevAuth, "CHECK_DEV_PCTX", Device, h, a.abBuf, 16),
        SKF_ARG(SKF_ChangePIN, "CHECK szOldPin", SAR_PIN_INVALID, h, USER_TYPE, nullptr, a.szPin, &a.ul),
        SKF_ARG(SKF_ChangePIN, "CHECK szNewPin", SAR_PIN_INVALID, h, USER_TYPE, a.szPin, nullptr, &a.ul),
        SKF_ARG(SKF_ChangePIN, "CHECK szNewPin min length", SAR_PIN_LEN_RANGE, h, USER_TYPE, a.szPin, a.szPin5, &a.ul),
        SKF_ARG(SKF_ChangePIN, "CHECK szNewPin max length", SAR_PIN_LEN_RANGE, h, USER_TYPE, a.szPin, a.szPin17,
                &a.ul),
        SKF_ARG(SKF_ChangePIN, "CHECK pulRetryCount", P, h, USER_TYPE, a.szPin, a.szPin, nullptr),
        SKF_HANDLE(SKF_ChangePIN, "CHECK_APP_PCTX", Application, h, USER_TYPE, a.szPin, a.szPin, &a.ul),
        SKF_ARG(SKF_GetPINInfo, "CHECK pulMaxRetryCount", P, h, USER_TYPE, nullptr, &a.ul, &a.b),
        SKF_ARG(SKF_GetPINInfo, "CHECK pulRemainRetryCount", P, h, USER_TYPE, &a.ul, nullptr, &a.b),
        SKF_ARG(SKF_GetPINInfo, "CHECK pbDefaultPin", P, h, USER_TYPE, &a.ul, &a.ul2, nullptr),
        SKF_HANDLE(SKF_GetPINInfo, "CHECK_APP_PCTX", Application, h, USER_TYPE, &a.ul, &a.ul2, &a.b),
        SKF_ARG(SKF_VerifyPIN, "CHECK szPIN", P, h, USER_TYPE, nullptr, &a.ul),
        SKF_ARG(SKF_VerifyPIN, "CHECK pulRetryCount", P, h, USER_TYPE, a.szPin, nullptr),
        SKF_HANDLE(SKF_VerifyPIN, "CHECK_APP_PCTX", Application, h, USER_TYPE, a.szPin, &a.ul),
        SKF_ARG(SKF_UnblockPIN, "CHECK szAdminPIN", SAR_PIN_INVALID, h, nullptr, a.szPin, &a.ul),
        SKF_ARG(SKF_UnblockPIN, "CHECK szNewUserPIN", SAR_PIN_INVALID, h, a.szPin, nullptr, &a.ul),
        SKF_ARG(SKF_UnblockPIN, "CHECK pulRetryCount", P, h, a.szPin, a.szPin, nullptr),
        SKF_HANDLE(SKF_UnblockPIN, "CHECK_APP_PCTX", Application, h, a.szPin, a.szPin, &a.ul),
        SKF_HANDLE(SKF_ClearSecureState, "CHECK_APP_PCTX", Application, h),
        /* Applications. */
        SKF_ARG(SKF_CreateApplication, "CHECK szAppName", P, h, nullptr, a.szPin, 3, a.szPin, 3, 0, &a.hOut),
        SKF_ARG(SKF_CreateApplication, "CHECK szAdminPin", P, h, a.szName, nullptr, 3, a.szPin, 3, 0, &a.hOut),
        SKF_ARG(SKF_CreateApplication, "CHECK szUserPin", P, h, a.szName, a.szPin, 3, nullptr, 3, 0, &a.hOut),
        SKF_HANDLE(SKF_CreateApplication, "CHECK_DEV_PCTX", Device, h, a.szName, a.szPin, 3, a.szPin, 3, 0, &a.hOut),
        SKF_ARG(SKF_EnumApplication, "CHECK pulSize", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_EnumApplication, "CHECK_DEV_PCTX", Device, h, nullptr, &a.ul),
        SKF_ARG(SKF_DeleteApplication, "CHECK szAppName", P, h, nullptr),
        SKF_HANDLE(SKF_DeleteApplication, "CHECK_DEV_PCTX", Device, h, a.szName),
        SKF_ARG(SKF_OpenApplication, "CHECK szAppName", P, h, nullptr, &a.hOut),
        SKF_ARG(SKF_OpenApplication, "CHECK phApplication", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_OpenApplication, "CHECK_DEV_PCTX", Device, h, a.szName, &a.hOut),
        SKF_HANDLE(SKF_CloseApplication, "CHECK_APP_PCTX", Application, h),
        /* Files. */
        SKF_ARG(SKF_CreateFile, "CHECK szFileName", P, h, nullptr, 16, 0xFF, 0xFF),
        SKF_ARG(SKF_CreateFile, "CHECK szFileName length", SAR_NAMELENERR, h, a.sz33, 16, 0xFF, 0xFF),
        SKF_HANDLE(SKF_CreateFile, "CHECK_APP_PCTX", Application, h, a.szName, 16, 0xFF, 0xFF),
        SKF_ARG(SKF_DeleteFile, "CHECK szFileName", P, h, nullptr),
        SKF_ARG(SKF_DeleteFile, "CHECK szFileName length", SAR_NAMELENERR, h, a.sz33),
        SKF_HANDLE(SKF_DeleteFile, "CHECK_APP_PCTX", Application, h, a.szName),
        SKF_ARG(SKF_EnumFiles, "CHECK pulSize", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_EnumFiles, "CHECK_APP_PCTX", Application, h, nullptr, &a.ul),
        SKF_ARG(SKF_GetFileInfo, "CHECK szFileName", P, h, nullptr, &a.fileInfo),
        SKF_ARG(SKF_GetFileInfo, "CHECK szFileName length", SAR_NAMELENERR, h, a.sz33, &a.fileInfo),
        SKF_ARG(SKF_GetFileInfo, "CHECK pFileInfo", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_GetFileInfo, "CHECK_APP_PCTX", Application, h, a.szName, &a.fileInfo),
        SKF_ARG(SKF_ReadFile, "CHECK szFileName", P, h, nullptr, 0, 4, a.abBuf, &a.ul),
        SKF_ARG(SKF_ReadFile, "CHECK szFileName length", SAR_NAMELENERR, h, a.sz33, 0, 4, a.abBuf, &a.ul),
        SKF_ARG(SKF_ReadFile, "CHECK pulOutLen", P, h, a.szName, 0, 4, a.abBuf, nullptr),
        SKF_HANDLE(SKF_ReadFile, "CHECK_APP_PCTX", Application, h, a.szName, 0, 4, nullptr, &a.ul),
        SKF_ARG(SKF_WriteFile, "CHECK szFileName", P, h, nullptr, 0, a.abBuf, 4),
        SKF_ARG(SKF_WriteFile, "CHECK szFileName length", SAR_NAMELENERR, h, a.sz33, 0, a.abBuf, 4),
        SKF_ARG(SKF_WriteFile, "CHECK pbInData", P, h, a.szName, 0, nullptr, 4),
        SKF_HANDLE(SKF_WriteFile, "CHECK_APP_PCTX", Application, h, a.szName, 0, a.abBuf, 4),
        /* Containers and certificates. */
        SKF_ARG(SKF_CreateContainer, "CHECK szContainerName", P, h, nullptr, &a.hOut),
        SKF_ARG(SKF_CreateContainer, "CHECK szContainerName length", SAR_NAMELENERR, h, a.sz41, &a.hOut),
        SKF_ARG(SKF_CreateContainer, "CHECK phContainer", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_CreateContainer, "CHECK_APP_PCTX", Application, h, a.szName, &a.hOut),
        SKF_ARG(SKF_DeleteContainer, "CHECK szContainerName", P, h, nullptr),
        SKF_ARG(SKF_DeleteContainer, "CHECK szContainerName length", SAR_NAMELENERR, h, a.sz41),
        SKF_HANDLE(SKF_DeleteContainer, "CHECK_APP_PCTX", Application, h, a.szName),
        SKF_ARG(SKF_OpenContainer, "CHECK szContainerName", P, h, nullptr, &a.hOut),
        SKF_ARG(SKF_OpenContainer, "CHECK szContainerName length", SAR_NAMELENERR, h, a.sz41, &a.hOut),
        SKF_ARG(SKF_OpenContainer, "CHECK phContainer", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_OpenContainer, "CHECK_APP_PCTX", Application, h, a.szName, &a.hOut),
        SKF_HANDLE(SKF_CloseContainer, "CHECK_CNTR_PCTX", Container, h),
        SKF_ARG(SKF_EnumContainer, "CHECK pulSize", P, h, a.szName, nullptr),
        SKF_HANDLE(SKF_EnumContainer, "CHECK_APP_PCTX", Application, h, nullptr, &a.ul),
        SKF_ARG(SKF_GetContainerType, "CHECK pulContainerType", P, h, nullptr),
        SKF_HANDLE(SKF_GetContainerType, "CHECK_CNTR_PCTX", Container, h, &a.ul),
        SKF_ARG(SKF_ImportCertificate, "CHECK pbCert", P, h, TRUE, nullptr, 4),
        SKF_HANDLE(SKF_ImportCertificate, "CHECK_CNTR_PCTX", Container, h, TRUE, a.abBuf, 4),
        SKF_ARG(SKF_ExportCertificate, "CHECK pulCertLen", P, h, TRUE, a.abBuf, nullptr),
        SKF_HANDLE(SKF_ExportCertificate, "CHECK_CNTR_PCTX", Container, h, TRUE, nullptr, &a.ul),
        /* Random numbers and RSA. */
        SKF_ARG(SKF_GenRandom, "CHECK pbRandom", P, h, nullptr, 8),
        SKF_HANDLE(SKF_GenRandom, "CHECK_DEV_PCTX", Device, h, a.abBuf, 8),
        SKF_ARG(SKF_GenExtRSAKey, "CHECK pBlob", P, h, 1024, nullptr),
        SKF_HANDLE(SKF_GenExtRSAKey, "CHECK_DEV_PCTX", Device, h, 1024, &a.rsaPri),
        SKF_ARG(SKF_GenRSAKeyPair, "CHECK pBlob", P, h, 1024, nullptr),
        SKF_HANDLE(SKF_GenRSAKeyPair, "CHECK_CNTR_PCTX", Container, h, 1024, &a.rsaPub),
        SKF_ARG(SKF_ImportRSAKeyPair, "CHECK pbWrappedKey", P, h, SGD_SM1_ECB, nullptr, 128, a.abBuf, 64),
        SKF_ARG(SKF_ImportRSAKeyPair, "CHECK pbEncryptedData", P, h, SGD_SM1_ECB, a.abBuf, 128, nullptr, 64),
        SKF_HANDLE(SKF_ImportRSAKeyPair, "CHECK_CNTR_PCTX", Container, h, SGD_SM1_ECB, a.abBuf, 128, a.abBuf, 64),
        SKF_ARG(SKF_RSASignData, "CHECK pbData", P, h, nullptr, 20, a.abBuf, &a.ul),
        SKF_ARG(SKF_RSASignData, "CHECK pulSignLen", P, h, a.abBuf, 20, a.abBuf, nullptr),
        SKF_HANDLE(SKF_RSASignData, "CHECK_CNTR_PCTX", Container, h, a.abBuf, 20, a.abBuf, &a.ul),
        SKF_ARG(SKF_RSAVerify, "CHECK pRSAPubKeyBlob", P, h, nullptr, a.abBuf, 20, a.abBuf, 128),
        SKF_ARG(SKF_RSAVerify, "CHECK pbData", P, h, &a.rsaPub, nullptr, 20, a.abBuf, 128),
        SKF_ARG(SKF_RSAVerify, "CHECK pbSignature", P, h, &a.rsaPub, a.abBuf, 20, nullptr, 128),
        SKF_HANDLE(SKF_RSAVerify, "CHECK_DEV_PCTX", Device, h, &a.rsaPub, a.abBuf, 20, a.abBuf, 128),
        SKF_ARG(SKF_RSAExportSessionKey, "CHECK pPubKey", P, h, SGD_SM1_ECB, nullptr, a.abBuf, &a.ul, &a.hOut),
        SKF_ARG(SKF_RSAExportSessionKey, "CHECK pulDataLen", P, h, SGD_SM1_ECB, &a.rsaPub, a.abBuf, nullptr, &a.hOut),
        SKF_HANDLE(SKF_RSAExportSessionKey, "CHECK_CNTR_PCTX", Container, h, SGD_SM1_ECB, &a.rsaPub, a.abBuf, &a.ul,
                   &a.hOut),
        SKF_ARG(SKF_ExtRSAPubKeyOperation, "CHECK pRSAPubKeyBlob", P, h, nullptr, a.abBuf, 128, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtRSAPubKeyOperation, "CHECK pbInput", P, h, &a.rsaPub, nullptr, 128, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtRSAPubKeyOperation, "CHECK pulOutputLen", P, h, &a.rsaPub, a.abBuf, 128, a.abBuf, nullptr),
        SKF_HANDLE(SKF_ExtRSAPubKeyOperation, "CHECK_DEV_PCTX", Device, h, &a.rsaPub, a.abBuf, 128, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtRSAPriKeyOperation, "CHECK pRSAPriKeyBlob", P, h, nullptr, a.abBuf, 128, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtRSAPriKeyOperation, "CHECK pbInput", P, h, &a.rsaPri, nullptr, 128, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtRSAPriKeyOperation, "CHECK pulOutputLen", P, h, &a.rsaPri, a.abBuf, 128, a.abBuf, nullptr),
        SKF_HANDLE(SKF_ExtRSAPriKeyOperation, "CHECK_DEV_PCTX", Device, h, &a.rsaPri, a.abBuf, 128, a.abBuf, &a.ul),
        /* SM2. */
        SKF_ARG(SKF_GenECCKeyPair, "CHECK ulAlgId", P, h, SGD_SM2_3 << 1, &a.eccPub),
        SKF_ARG(SKF_GenECCKeyPair, "CHECK pBlob", P, h, SGD_SM2_1, nullptr),
        SKF_HANDLE(SKF_GenECCKeyPair, "CHECK_CNTR_PCTX", Container, h, SGD_SM2_2, &a.eccPub),
        SKF_ARG(SKF_ImportECCKeyPair, "CHECK pEnvelopedKeyBlob", P, h, nullptr),
        SKF_HANDLE(SKF_ImportECCKeyPair, "CHECK_CNTR_PCTX", Container, h, &a.env),
        SKF_ARG(SKF_ECCSignData, "CHECK pbData", P, h, nullptr, 32, &a.sig),
        SKF_ARG(SKF_ECCSignData, "CHECK pSignature", P, h, a.abBuf, 32, nullptr),
        SKF_HANDLE(SKF_ECCSignData, "CHECK_CNTR_PCTX", Container, h, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ECCVerify, "CHECK pECCPubKeyBlob", P, h, nullptr, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ECCVerify, "CHECK pbData", P, h, &a.eccPub, nullptr, 32, &a.sig),
        SKF_ARG(SKF_ECCVerify, "CHECK pSignature", P, h, &a.eccPub, a.abBuf, 32, nullptr),
        SKF_HANDLE(SKF_ECCVerify, "CHECK_DEV_PCTX", Device, h, &a.eccPub, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ECCExportSessionKey, "CHECK pPubKey", P, h, SGD_SMS4_ECB, nullptr, a.Cipher(), &a.hOut),
        SKF_ARG(SKF_ECCExportSessionKey, "CHECK pData", P, h, SGD_SMS4_ECB, &a.eccPub, nullptr, &a.hOut),
        SKF_ARG(SKF_ECCExportSessionKey, "CHECK phSessionKey", P, h, SGD_SMS4_ECB, &a.eccPub, a.Cipher(), nullptr),
        SKF_HANDLE(SKF_ECCExportSessionKey, "CHECK_CNTR_PCTX", Container, h, SGD_SMS4_ECB, &a.eccPub, a.Cipher(),
                   &a.hOut),
        SKF_ARG(SKF_ExtECCEncrypt, "CHECK pECCPubKeyBlob", P, h, nullptr, a.abBuf, 16, a.Cipher()),
        SKF_ARG(SKF_ExtECCEncrypt, "CHECK pbPlainText", P, h, &a.eccPub, nullptr, 16, a.Cipher()),
        SKF_ARG(SKF_ExtECCEncrypt, "CHECK pCipherText", P, h, &a.eccPub, a.abBuf, 16, nullptr),
        SKF_HANDLE(SKF_ExtECCEncrypt, "CHECK_DEV_PCTX", Device, h, &a.eccPub, a.abBuf, 16, a.Cipher()),
        SKF_ARG(SKF_ExtECCDecrypt, "CHECK pECCPriKeyBlob", P, h, nullptr, a.Cipher(), a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtECCDecrypt, "CHECK pCipherText", P, h, &a.eccPri, nullptr, a.abBuf, &a.ul),
        SKF_ARG(SKF_ExtECCDecrypt, "CHECK pulPlainTextLen", P, h, &a.eccPri, a.Cipher(), a.abBuf, nullptr),
        SKF_HANDLE(SKF_ExtECCDecrypt, "CHECK_DEV_PCTX", Device, h, &a.eccPri, a.Cipher(), nullptr, &a.ul),
        SKF_ARG(SKF_ExtECCSign, "CHECK pECCPriKeyBlob", P, h, nullptr, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ExtECCSign, "CHECK pbData", P, h, &a.eccPri, nullptr, 32, &a.sig),
        SKF_ARG(SKF_ExtECCSign, "CHECK ulDataLen", SAR_INDATALENERR, h, &a.eccPri, a.abBuf, 31, &a.sig),
        SKF_ARG(SKF_ExtECCSign, "CHECK pSignature", P, h, &a.eccPri, a.abBuf, 32, nullptr),
        SKF_HANDLE(SKF_ExtECCSign, "CHECK_DEV_PCTX", Device, h, &a.eccPri, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ExtECCVerify, "CHECK pECCPubKeyBlob", P, h, nullptr, a.abBuf, 32, &a.sig),
        SKF_ARG(SKF_ExtECCVerify, "CHECK pbData", P, h, &a.eccPub, nullptr, 32, &a.sig),
        SKF_ARG(SKF_ExtECCVerify, "CHECK pSignature", P, h, &a.eccPub, a.abBuf, 32, nullptr),
        SKF_HANDLE(SKF_ExtECCVerify, "CHECK_DEV_PCTX", Device, h, &a.eccPub, a.abBuf, 32, &a.sig),
        /* Key agreement. */
        SKF_ARG(SKF_GenerateAgreementDataWithECC, "CHECK pTempECCPubKeyBlob", P, h, SGD_SMS4_ECB, nullptr, a.abBuf, 16,
                &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataWithECC, "CHECK pbID", P, h, SGD_SMS4_ECB, &a.eccPub, nullptr, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataWithECC, "CHECK ulIDLen", SAR_INDATALENERR, h, SGD_SMS4_ECB, &a.eccPub,
                a.abBuf, 33, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataWithECC, "CHECK phAgreementHandle", P, h, SGD_SMS4_ECB, &a.eccPub, a.abBuf,
                32, nullptr),
        SKF_HANDLE(SKF_GenerateAgreementDataWithECC, "CHECK_CNTR_PCTX", Container, h, SGD_SMS4_ECB, &a.eccPub,
                   a.abBuf, 32, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK pSponsorECCPubKeyBlob", P, h, SGD_SMS4_ECB, nullptr,
                &a.eccPub, &a.eccPub, a.abBuf, 16, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK pSponsorTempECCPubKeyBlob", P, h, SGD_SMS4_ECB,
                &a.eccPub, nullptr, &a.eccPub, a.abBuf, 16, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK pTempECCPubKeyBlob", P, h, SGD_SMS4_ECB, &a.eccPub,
                &a.eccPub, nullptr, a.abBuf, 16, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK pbID", P, h, SGD_SMS4_ECB, &a.eccPub, &a.eccPub,
                &a.eccPub, nullptr, 16, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK pbSponsorID", P, h, SGD_SMS4_ECB, &a.eccPub, &a.eccPub,
                &a.eccPub, a.abBuf, 16, nullptr, 16, &a.hOut),
        SKF_ARG(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK phKeyHandle", P, h, SGD_SMS4_ECB, &a.eccPub, &a.eccPub,
                &a.eccPub, a.abBuf, 16, a.abBuf, 16, nullptr),
        SKF_HANDLE(SKF_GenerateAgreementDataAndKeyWithECC, "CHECK_CNTR_PCTX", Container, h, SGD_SMS4_ECB, &a.eccPub,
                   &a.eccPub, &a.eccPub, a.abBuf, 16, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateKeyWithECC, "CHECK pECCPubKeyBlob", P, h, nullptr, &a.eccPub, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateKeyWithECC, "CHECK pTempECCPubKeyBlob", P, h, &a.eccPub, nullptr, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_GenerateKeyWithECC, "CHECK pbID", P, h, &a.eccPub, &a.eccPub, nullptr, 16, &a.hOut),
        SKF_ARG(SKF_GenerateKeyWithECC, "CHECK phKeyHandle", P, h, &a.eccPub, &a.eccPub, a.abBuf, 16, nullptr),
        SKF_HANDLE(SKF_GenerateKeyWithECC, "CHECK_KEY_PCTX", Key, h, &a.eccPub, &a.eccPub, a.abBuf, 16, &a.hOut),
        /* Public keys and session keys. */
        SKF_ARG(SKF_ExportPublicKey, "CHECK pulBlobLen", P, h, TRUE, a.abBuf, nullptr),
        SKF_HANDLE(SKF_ExportPublicKey, "CHECK_CNTR_PCTX", Container, h, TRUE, nullptr, &a.ul),
        SKF_ARG(SKF_ImportSessionKey, "CHECK pbWrapedData", P, h, SGD_SMS4_ECB, nullptr, 16, &a.hOut),
        SKF_ARG(SKF_ImportSessionKey, "CHECK phKey", P, h, SGD_SMS4_ECB, a.abBuf, 16, nullptr),
        SKF_HANDLE(SKF_ImportSessionKey, "CHECK_CNTR_PCTX", Container, h, SGD_SMS4_ECB, a.abBuf, 16, &a.hOut),
        SKF_ARG(SKF_SetSymmKey, "CHECK pbKey", P, h, nullptr, SGD_SMS4_ECB, &a.hOut),
        SKF_ARG(SKF_SetSymmKey, "CHECK phKey", P, h, a.abBuf, SGD_SMS4_ECB, nullptr),
        SKF_HANDLE(SKF_SetSymmKey, "CHECK_DEV_PCTX", Device, h, a.abBuf, SGD_SMS4_ECB, &a.hOut),
        /* Ciphers. */
        SKF_HANDLE(SKF_EncryptInit, "CHECK_KEY_PCTX", Key, h, a.param),
        SKF_ARG(SKF_Encrypt, "CHECK pbData", P, h, nullptr, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_Encrypt, "CHECK pulEncryptedLen", P, h, a.abBuf, 16, a.abBuf, nullptr),
        SKF_HANDLE(SKF_Encrypt, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16, nullptr, &a.ul),
        SKF_ARG(SKF_EncryptUpdate, "CHECK pbData", P, h, nullptr, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_EncryptUpdate, "CHECK pulEncryptedLen", P, h, a.abBuf, 16, a.abBuf, nullptr),
        SKF_HANDLE(SKF_EncryptUpdate, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_EncryptFinal, "CHECK pulEncryptedDataLen", P, h, a.abBuf, nullptr),
        SKF_HANDLE(SKF_EncryptFinal, "CHECK_KEY_PCTX", Key, h, a.abBuf, &a.ul),
        SKF_HANDLE(SKF_DecryptInit, "CHECK_KEY_PCTX", Key, h, a.param),
        SKF_ARG(SKF_Decrypt, "CHECK pbEncryptedData", P, h, nullptr, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_Decrypt, "CHECK pulDataLen", P, h, a.abBuf, 16, a.abBuf, nullptr),
        SKF_HANDLE(SKF_Decrypt, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_DecryptUpdate, "CHECK pbEncryptedData", P, h, nullptr, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_DecryptUpdate, "CHECK pulDataLen", P, h, a.abBuf, 16, a.abBuf, nullptr),
        SKF_HANDLE(SKF_DecryptUpdate, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_DecryptFinal, "CHECK pulDecryptedDataLen", P, h, a.abBuf, nullptr),
        SKF_HANDLE(SKF_DecryptFinal, "CHECK_KEY_PCTX", Key, h, a.abBuf, &a.ul),
        /* Digests and MACs. */
        SKF_ARG(SKF_DigestInit, "CHECK phHash", P, h, SGD_SM3, nullptr, nullptr, 0, nullptr),
        SKF_HANDLE(SKF_DigestInit, "CHECK_DEV_PCTX", Device, h, SGD_SM3, nullptr, nullptr, 0, &a.hOut),
        SKF_ARG(SKF_Digest, "CHECK pbData", P, h, nullptr, 3, a.abBuf, &a.ul),
        SKF_ARG(SKF_Digest, "CHECK pulHashLen", P, h, a.abBuf, 3, a.abBuf, nullptr),
        SKF_HANDLE(SKF_Digest, "CHECK_KEY_PCTX", Key, h, a.abBuf, 3, a.abBuf, &a.ul),
        SKF_ARG(SKF_DigestUpdate, "CHECK pbData", P, h, nullptr, 3),
        SKF_HANDLE(SKF_DigestUpdate, "CHECK_KEY_PCTX", Key, h, a.abBuf, 3),
        SKF_ARG(SKF_DigestFinal, "CHECK pulHashLen", P, h, a.abBuf, nullptr),
        SKF_HANDLE(SKF_DigestFinal, "CHECK_KEY_PCTX", Key, h, a.abBuf, &a.ul),
        SKF_ARG(SKF_MacInit, "CHECK phMac", P, h, &a.param, nullptr),
        SKF_HANDLE(SKF_MacInit, "CHECK_KEY_PCTX", Key, h, &a.param, &a.hOut),
        SKF_ARG(SKF_Mac, "CHECK pbData", P, h, nullptr, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_Mac, "CHECK pulMacLen", P, h, a.abBuf, 16, a.abBuf, nullptr),
        SKF_HANDLE(SKF_Mac, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16, a.abBuf, &a.ul),
        SKF_ARG(SKF_MacUpdate, "CHECK pbData", P, h, nullptr, 16),
        SKF_HANDLE(SKF_MacUpdate, "CHECK_KEY_PCTX", Key, h, a.abBuf, 16),
        SKF_ARG(SKF_MacFinal, "CHECK pulMacDataLen", P, h, a.abBuf, nullptr),
        SKF_HANDLE(SKF_MacFinal, "CHECK_KEY_PCTX", Key, h, a.abBuf, &a.ul),
    };
    return cases;
}

#undef SKF_ARG
#undef SKF_HANDLE

inline std::vector<CallCase> ArgumentCases()
{
    std::vector<CallCase> v;
    for (const CallCase &c : AllCallCases())
        if (c.eKind == HandleKind::None) v.push_back(c);
    return v;
}

inline std::vector<CallCase> HandleCases()
{
    std::vector<CallCase> v;
    for (const CallCase &c : AllCallCases())
        if (c.eKind != HandleKind::None) v.push_back(c);
    return v;
}

}  // namespace skftest
