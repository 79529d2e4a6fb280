/* SKF functions for containers, certificates, random numbers, RSA and SM2
 * keys and signatures, session keys and SM2 key agreement. */
#include <string.h>

#include "skf/ApplicationObject.h"
#include "skf/ContainerObject.h"
#include "skf/DeviceObject.h"
#include "skf/SKFInterfaceFrame.h"
#include "skf/SymKeyObject.h"

/* Longest container name; the digest an external SM2 signature takes; the
 * longest user id of a key agreement. */
#define SKF_CONTAINER_NAME_MAX 40u
#define SKF_SM2_DIGEST_LEN 32u
#define SKF_AGREEMENT_ID_MAX 32u
/* The bit count ImportKeyPair takes for an enveloped SM2 key pair. */
#define SKF_SM2_KEY_BITS 256u

namespace {

/* Only the low byte of the standard's BOOL flag counts. */
bool SignFlag(BOOL bSignFlag) { return (bSignFlag & 0xFF) != 0; }

/* The container functions check the name alike. */
CSkfCall &ContainerName(CSkfCall &call, LPSTR szContainerName)
{
    return call.Arg(szContainerName, "CHECK szContainerName")
        .MaxLen(szContainerName, SKF_CONTAINER_NAME_MAX, "CHECK szContainerName length", SAR_NAMELENERR);
}

/* Create and open share their checks and hand out a container. */
CSkfCall &ContainerNameChecks(CSkfCall &call, LPSTR szContainerName, HCONTAINER *phContainer)
{
    return ContainerName(call, szContainerName).Arg(phContainer, "CHECK phContainer");
}

}  // namespace

/* ---- Containers ---- */

ULONG DEVAPI SKF_CreateContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER *phContainer)
{
    CSkfCall call("SKF_CreateContainer");
    return ContainerNameChecks(call, szContainerName, phContainer)
        .Application(hApplication)
        .Yields(phContainer, SkfHandleKind::Container)
        .Run<CApplicationObject>("CreateContainer", [&](CApplicationObject &app) {
            return app.CreateContainer(szContainerName, phContainer);
        });
}

ULONG DEVAPI SKF_DeleteContainer(HAPPLICATION hApplication, LPSTR szContainerName)
{
    CSkfCall call("SKF_DeleteContainer");
    return ContainerName(call, szContainerName)
        .Application(hApplication)
        .Run<CApplicationObject>("DeleteContainer",
                                 [&](CApplicationObject &app) { return app.DeleteContainer(szContainerName); });
}

ULONG DEVAPI SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER *phContainer)
{
    CSkfCall call("SKF_OpenContainer");
    return ContainerNameChecks(call, szContainerName, phContainer)
        .Application(hApplication)
        .Yields(phContainer, SkfHandleKind::Container)
        .Run<CApplicationObject>("OpenContainer", [&](CApplicationObject &app) {
            return app.OpenContainer(szContainerName, phContainer);
        });
}

ULONG DEVAPI SKF_CloseContainer(HCONTAINER hContainer)
{
    return CSkfCall("SKF_CloseContainer").Close(hContainer, SkfHandleKind::Container, "CHECK_CNTR_PCTX");
}

ULONG DEVAPI SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG *pulSize)
{
    return CSkfCall("SKF_EnumContainer")
        .Arg(pulSize, "CHECK pulSize")
        .Application(hApplication)
        .Run<CApplicationObject>("EnumContainer",
                                 [&](CApplicationObject &app) { return app.EnumContainer(szContainerName, pulSize); });
}

ULONG DEVAPI SKF_GetContainerType(HCONTAINER hContainer, ULONG *pulContainerType)
{
    return CSkfCall("SKF_GetContainerType")
        .Arg(pulContainerType, "CHECK pulContainerType")
        .Container(hContainer)
        .Run<CContainerObject>("GetContainerType",
                               [&](CContainerObject &cntr) { return cntr.GetContainerType(pulContainerType); });
}

ULONG DEVAPI SKF_ImportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbCert, ULONG ulCertLen)
{
    return CSkfCall("SKF_ImportCertificate")
        .Arg(pbCert, "CHECK pbCert")
        .Container(hContainer)
        .Run<CContainerObject>("ImportCertificate", [&](CContainerObject &cntr) {
            return cntr.ImportCertificate(SignFlag(bSignFlag), pbCert, ulCertLen);
        });
}

ULONG DEVAPI SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbCert, ULONG *pulCertLen)
{
    return CSkfCall("SKF_ExportCertificate")
        .Arg(pulCertLen, "CHECK pulCertLen")
        .Container(hContainer)
        .Run<CContainerObject>("ExportCertificate", [&](CContainerObject &cntr) {
            return cntr.ExportCertificate(SignFlag(bSignFlag), pbCert, pulCertLen);
        });
}

/* ---- Random numbers and keys ---- */

ULONG DEVAPI SKF_GenRandom(DEVHANDLE hDev, BYTE *pbRandom, ULONG ulRandomLen)
{
    return CSkfCall("SKF_GenRandom")
        .Arg(pbRandom, "CHECK pbRandom")
        .Device(hDev)
        .Run<CDeviceObject>("GenerateRandom",
                            [&](CDeviceObject &dev) { return dev.GenerateRandom(ulRandomLen, pbRandom); });
}

ULONG DEVAPI SKF_GenExtRSAKey(DEVHANDLE hDev, ULONG ulBitsLen, RSAPRIVATEKEYBLOB *pBlob)
{
    return CSkfCall("SKF_GenExtRSAKey")
        .Arg(pBlob, "CHECK pBlob")
        .Device(hDev)
        .Run<CDeviceObject>("GenExtRSAKey", [&](CDeviceObject &dev) { return dev.GenExtRSAKey(ulBitsLen, pBlob); });
}

ULONG DEVAPI SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB *pBlob)
{
    return CSkfCall("SKF_GenRSAKeyPair")
        .Arg(pBlob, "CHECK pBlob")
        .Container(hContainer)
        .Run<CContainerObject>("GenerateRSAKeyPair",
                               [&](CContainerObject &cntr) { return cntr.GenerateRSAKeyPair(ulBitsLen, pBlob); });
}

ULONG DEVAPI SKF_ImportRSAKeyPair(HCONTAINER hContainer, ULONG ulSymAlgId, BYTE *pbWrappedKey, ULONG ulWrappedKeyLen,
                                  BYTE *pbEncryptedData, ULONG ulEncryptedDataLen)
{
    /* The bit count chooses the container's import road; a length whose
     * bit count does not fit 32 bits gives one that no road takes, rather
     * than one that wrapped round to a road's. */
    unsigned long long ullBits = 8ull * ulWrappedKeyLen;
    ULONG ulBits = ullBits > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(ullBits);
    return CSkfCall("SKF_ImportRSAKeyPair")
        .Arg(pbWrappedKey, "CHECK pbWrappedKey")
        .Arg(pbEncryptedData, "CHECK pbEncryptedData")
        .Container(hContainer)
        .Run<CContainerObject>("ImportKeyPair", [&](CContainerObject &cntr) {
            return cntr.ImportKeyPair(ulSymAlgId, pbWrappedKey, ulWrappedKeyLen, ulBits, pbEncryptedData,
                                      ulEncryptedDataLen);
        });
}

ULONG DEVAPI SKF_RSASignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen, BYTE *pbSignature,
                             ULONG *pulSignLen)
{
    return CSkfCall("SKF_RSASignData")
        .Arg(pbData, "CHECK pbData")
        .Arg(pulSignLen, "CHECK pulSignLen")
        .Container(hContainer)
        .Run<CContainerObject>("RSASignData", [&](CContainerObject &cntr) {
            return cntr.RSASignData(pbData, ulDataLen, pbSignature, pulSignLen);
        });
}

ULONG DEVAPI SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB *pRSAPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                           BYTE *pbSignature, ULONG ulSignLen)
{
    return CSkfCall("SKF_RSAVerify")
        .Arg(pRSAPubKeyBlob, "CHECK pRSAPubKeyBlob")
        .Arg(pbData, "CHECK pbData")
        .Arg(pbSignature, "CHECK pbSignature")
        .Device(hDev)
        .Run<CDeviceObject>("RSAVerify", [&](CDeviceObject &dev) {
            return dev.RSAVerify(pRSAPubKeyBlob, pbData, ulDataLen, pbSignature, ulSignLen);
        });
}

ULONG DEVAPI SKF_RSAExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, RSAPUBLICKEYBLOB *pPubKey, BYTE *pbData,
                                     ULONG *pulDataLen, HANDLE *phSessionKey)
{
    return CSkfCall("SKF_RSAExportSessionKey")
        .Arg(pPubKey, "CHECK pPubKey")
        .Arg(pulDataLen, "CHECK pulDataLen")
        .Container(hContainer)
        .Yields(phSessionKey, SkfHandleKind::Key)
        .Run<CContainerObject>("RSAExportSessionKey", [&](CContainerObject &cntr) {
            return cntr.RSAExportSessionKey(ulAlgId, pPubKey, pbData, pulDataLen, phSessionKey);
        });
}

ULONG DEVAPI SKF_ExtRSAPubKeyOperation(DEVHANDLE hDev, RSAPUBLICKEYBLOB *pRSAPubKeyBlob, BYTE *pbInput,
                                       ULONG ulInputLen, BYTE *pbOutput, ULONG *pulOutputLen)
{
    return CSkfCall("SKF_ExtRSAPubKeyOperation")
        .Arg(pRSAPubKeyBlob, "CHECK pRSAPubKeyBlob")
        .Arg(pbInput, "CHECK pbInput")
        .Arg(pulOutputLen, "CHECK pulOutputLen")
        .Device(hDev)
        .Run<CDeviceObject>("ExtRSAPubKeyOperation", [&](CDeviceObject &dev) {
            return dev.ExtRSAPubKeyOperation(pRSAPubKeyBlob, pbInput, ulInputLen, pbOutput, pulOutputLen);
        });
}

ULONG DEVAPI SKF_ExtRSAPriKeyOperation(DEVHANDLE hDev, RSAPRIVATEKEYBLOB *pRSAPriKeyBlob, BYTE *pbInput,
                                       ULONG ulInputLen, BYTE *pbOutput, ULONG *pulOutputLen)
{
    return CSkfCall("SKF_ExtRSAPriKeyOperation")
        .Arg(pRSAPriKeyBlob, "CHECK pRSAPriKeyBlob")
        .Arg(pbInput, "CHECK pbInput")
        .Arg(pulOutputLen, "CHECK pulOutputLen")
        .Device(hDev)
        .Run<CDeviceObject>("ExtRSAPriKeyOperation", [&](CDeviceObject &dev) {
            return dev.ExtRSAPriKeyOperation(pRSAPriKeyBlob, pbInput, ulInputLen, pbOutput, pulOutputLen);
        });
}

ULONG DEVAPI SKF_GenECCKeyPair(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB *pBlob)
{
    return CSkfCall("SKF_GenECCKeyPair")
        .Check(ulAlgId == SGD_SM2_1 || ulAlgId == SGD_SM2_2, "CHECK ulAlgId")
        .Arg(pBlob, "CHECK pBlob")
        .Container(hContainer)
        .Run<CContainerObject>("GenerateKeyPair",
                               [&](CContainerObject &cntr) { return cntr.GenerateKeyPair(ulAlgId, pBlob); });
}

ULONG DEVAPI SKF_ImportECCKeyPair(HCONTAINER hContainer, PENVELOPEDKEYBLOB pEnvelopedKeyBlob)
{
    return CSkfCall("SKF_ImportECCKeyPair")
        .Arg(pEnvelopedKeyBlob, "CHECK pEnvelopedKeyBlob")
        .Container(hContainer)
        .Run<CContainerObject>("ImportKeyPair", [&](CContainerObject &cntr) {
            return cntr.ImportKeyPair(pEnvelopedKeyBlob->ulSymmAlgID, nullptr, 0, SKF_SM2_KEY_BITS,
                                      reinterpret_cast<unsigned char *>(pEnvelopedKeyBlob),
                                      sizeof(ENVELOPEDKEYBLOB));
        });
}

ULONG DEVAPI SKF_ECCSignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen, PECCSIGNATUREBLOB pSignature)
{
    return CSkfCall("SKF_ECCSignData")
        .Arg(pbData, "CHECK pbData")
        .Arg(pSignature, "CHECK pSignature")
        .Container(hContainer)
        .Run<CContainerObject>("ECCSignData", [&](CContainerObject &cntr) {
            return cntr.ECCSignData(pbData, ulDataLen, pSignature->r, pSignature->s);
        });
}

namespace {

/* SKF_ECCVerify and SKF_ExtECCVerify are the same call. */
ULONG EccVerify(const char *pszFunction, DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData,
                ULONG ulDataLen, PECCSIGNATUREBLOB pSignature)
{
    return CSkfCall(pszFunction)
        .Arg(pECCPubKeyBlob, "CHECK pECCPubKeyBlob")
        .Arg(pbData, "CHECK pbData")
        .Arg(pSignature, "CHECK pSignature")
        .Device(hDev)
        .Run<CDeviceObject>("ECCVerify", [&](CDeviceObject &dev) {
            return dev.ECCVerify(pECCPubKeyBlob, pbData, ulDataLen, pSignature->r, pSignature->s);
        });
}

}  // namespace

ULONG DEVAPI SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                           PECCSIGNATUREBLOB pSignature)
{
    return EccVerify("SKF_ECCVerify", hDev, pECCPubKeyBlob, pbData, ulDataLen, pSignature);
}

ULONG DEVAPI SKF_ECCExportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, ECCPUBLICKEYBLOB *pPubKey,
                                     PECCCIPHERBLOB pData, HANDLE *phSessionKey)
{
    return CSkfCall("SKF_ECCExportSessionKey")
        .Arg(pPubKey, "CHECK pPubKey")
        .Arg(pData, "CHECK pData")
        .Arg(phSessionKey, "CHECK phSessionKey")
        .Container(hContainer)
        .Yields(phSessionKey, SkfHandleKind::Key)
        .Run<CContainerObject>("ECCExportSessionKey", [&](CContainerObject &cntr) {
            return cntr.ECCExportSessionKey(ulAlgId, pPubKey, pData, phSessionKey);
        });
}

ULONG DEVAPI SKF_ExtECCEncrypt(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbPlainText,
                               ULONG ulPlainTextLen, PECCCIPHERBLOB pCipherText)
{
    return CSkfCall("SKF_ExtECCEncrypt")
        .Arg(pECCPubKeyBlob, "CHECK pECCPubKeyBlob")
        .Arg(pbPlainText, "CHECK pbPlainText")
        .Arg(pCipherText, "CHECK pCipherText")
        .Device(hDev)
        .Run<CDeviceObject>("ExtECCEncrypt", [&](CDeviceObject &dev) {
            return dev.ExtECCEncrypt(pECCPubKeyBlob, pbPlainText, ulPlainTextLen, pCipherText);
        });
}

ULONG DEVAPI SKF_ExtECCDecrypt(DEVHANDLE hDev, ECCPRIVATEKEYBLOB *pECCPriKeyBlob, PECCCIPHERBLOB pCipherText,
                               BYTE *pbPlainText, ULONG *pulPlainTextLen)
{
    return CSkfCall("SKF_ExtECCDecrypt")
        .Arg(pECCPriKeyBlob, "CHECK pECCPriKeyBlob")
        .Arg(pCipherText, "CHECK pCipherText")
        .Arg(pulPlainTextLen, "CHECK pulPlainTextLen")
        .Device(hDev)
        .Run<CDeviceObject>("ExtECCDecrypt", [&](CDeviceObject &dev) {
            return dev.ExtECCDecrypt(pECCPriKeyBlob, pCipherText, pbPlainText, pulPlainTextLen);
        });
}

ULONG DEVAPI SKF_ExtECCSign(DEVHANDLE hDev, ECCPRIVATEKEYBLOB *pECCPriKeyBlob, BYTE *pbData, ULONG ulDataLen,
                            PECCSIGNATUREBLOB pSignature)
{
    return CSkfCall("SKF_ExtECCSign")
        .Arg(pECCPriKeyBlob, "CHECK pECCPriKeyBlob")
        .Arg(pbData, "CHECK pbData")
        .Check(ulDataLen == SKF_SM2_DIGEST_LEN, "CHECK ulDataLen", SAR_INDATALENERR)
        .Arg(pSignature, "CHECK pSignature")
        .Device(hDev)
        .Run<CDeviceObject>("ExtECCSign", [&](CDeviceObject &dev) {
            return dev.ExtECCSign(pECCPriKeyBlob, pbData, SKF_SM2_DIGEST_LEN, pSignature->r, pSignature->s);
        });
}

ULONG DEVAPI SKF_ExtECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                              PECCSIGNATUREBLOB pSignature)
{
    return EccVerify("SKF_ExtECCVerify", hDev, pECCPubKeyBlob, pbData, ulDataLen, pSignature);
}

/* ---- Key agreement ---- */

ULONG DEVAPI SKF_GenerateAgreementDataWithECC(HCONTAINER hContainer, ULONG ulAlgId,
                                              ECCPUBLICKEYBLOB *pTempECCPubKeyBlob, BYTE *pbID, ULONG ulIDLen,
                                              HANDLE *phAgreementHandle)
{
    return CSkfCall("SKF_GenerateAgreementDataWithECC")
        .Arg(pTempECCPubKeyBlob, "CHECK pTempECCPubKeyBlob")
        .Arg(pbID, "CHECK pbID")
        .Check(ulIDLen <= SKF_AGREEMENT_ID_MAX, "CHECK ulIDLen", SAR_INDATALENERR)
        .Arg(phAgreementHandle, "CHECK phAgreementHandle")
        .Container(hContainer)
        .Yields(phAgreementHandle, SkfHandleKind::Key)
        .Run<CContainerObject>("GenerateAgreementDataWithECC", [&](CContainerObject &cntr) {
            return cntr.GenerateAgreementDataWithECC(ulAlgId, pTempECCPubKeyBlob, pbID, ulIDLen, phAgreementHandle);
        });
}

ULONG DEVAPI SKF_GenerateAgreementDataAndKeyWithECC(HANDLE hContainer, ULONG ulAlgId,
                                                    ECCPUBLICKEYBLOB *pSponsorECCPubKeyBlob,
                                                    ECCPUBLICKEYBLOB *pSponsorTempECCPubKeyBlob,
                                                    ECCPUBLICKEYBLOB *pTempECCPubKeyBlob, BYTE *pbID, ULONG ulIDLen,
                                                    BYTE *pbSponsorID, ULONG ulSponsorIDLen, HANDLE *phKeyHandle)
{
    return CSkfCall("SKF_GenerateAgreementDataAndKeyWithECC")
        .Arg(pSponsorECCPubKeyBlob, "CHECK pSponsorECCPubKeyBlob")
        .Arg(pSponsorTempECCPubKeyBlob, "CHECK pSponsorTempECCPubKeyBlob")
        .Arg(pTempECCPubKeyBlob, "CHECK pTempECCPubKeyBlob")
        .Arg(pbID, "CHECK pbID")
        .Arg(pbSponsorID, "CHECK pbSponsorID")
        .Arg(phKeyHandle, "CHECK phKeyHandle")
        .Container(hContainer)
        .Yields(phKeyHandle, SkfHandleKind::Key)
        .Run<CContainerObject>("GenerateAgreementDataAndKeyWithECC", [&](CContainerObject &cntr) {
            return cntr.GenerateAgreementDataAndKeyWithECC(ulAlgId, pSponsorECCPubKeyBlob, pSponsorTempECCPubKeyBlob,
                                                           pTempECCPubKeyBlob, pbID, ulIDLen, pbSponsorID,
                                                           ulSponsorIDLen, phKeyHandle);
        });
}

ULONG DEVAPI SKF_GenerateKeyWithECC(HANDLE hAgreementHandle, ECCPUBLICKEYBLOB *pECCPubKeyBlob,
                                    ECCPUBLICKEYBLOB *pTempECCPubKeyBlob, BYTE *pbID, ULONG ulIDLen,
                                    HANDLE *phKeyHandle)
{
    return CSkfCall("SKF_GenerateKeyWithECC")
        .Arg(pECCPubKeyBlob, "CHECK pECCPubKeyBlob")
        .Arg(pTempECCPubKeyBlob, "CHECK pTempECCPubKeyBlob")
        .Arg(pbID, "CHECK pbID")
        .Arg(phKeyHandle, "CHECK phKeyHandle")
        .Key(hAgreementHandle)
        .Yields(phKeyHandle, SkfHandleKind::Key)
        .Run<CKeyObject>("GenerateKeyWithECC", [&](CKeyObject &key) {
            return key.GenerateKeyWithECC(pECCPubKeyBlob, pTempECCPubKeyBlob, pbID, ulIDLen, phKeyHandle);
        });
}

/* ---- Public keys and session keys ---- */

ULONG DEVAPI SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbBlob, ULONG *pulBlobLen)
{
    return CSkfCall("SKF_ExportPublicKey")
        .Arg(pulBlobLen, "CHECK pulBlobLen")
        .Container(hContainer)
        .Run<CContainerObject>("ExportPublicKey", [&](CContainerObject &cntr) {
            return cntr.ExportPublicKey(SignFlag(bSignFlag), pbBlob, pulBlobLen);
        });
}

ULONG DEVAPI SKF_ImportSessionKey(HCONTAINER hContainer, ULONG ulAlgId, BYTE *pbWrapedData, ULONG ulWrapedLen,
                                  HANDLE *phKey)
{
    return CSkfCall("SKF_ImportSessionKey")
        .Arg(pbWrapedData, "CHECK pbWrapedData")
        .Arg(phKey, "CHECK phKey")
        .Container(hContainer)
        .Yields(phKey, SkfHandleKind::Key)
        .Run<CContainerObject>("ImportSessionKey", [&](CContainerObject &cntr) {
            return cntr.ImportSessionKey(ulAlgId, pbWrapedData, ulWrapedLen, phKey);
        });
}

ULONG DEVAPI SKF_SetSymmKey(DEVHANDLE hDev, BYTE *pbKey, ULONG ulAlgID, HANDLE *phKey)
{
    return CSkfCall("SKF_SetSymmKey")
        .Arg(pbKey, "CHECK pbKey")
        .Arg(phKey, "CHECK phKey")
        .Device(hDev)
        .Yields(phKey, SkfHandleKind::Key)
        .Run<CDeviceObject>("SetSymmKey", [&](CDeviceObject &dev) { return dev.SetSymmKey(pbKey, ulAlgID, phKey); });
}
