/* CDeviceObject: what an SKF device handle (DEVHANDLE) points to: a product
 * operator for one opened token, with the device-level SKF operations
 * (the one application, random numbers, external public- and private-key
 * operations, hash and symmetric key handles, device information, label,
 * raw command transmission) on its second base ISKFDevice.  The device
 * manager makes it; CDeviceManager::CloseDevice closes its context and
 * deletes it. */
#ifndef BRIO_SKF_DEVICE_OBJECT_H
#define BRIO_SKF_DEVICE_OBJECT_H

#include "SarnCore/BrioOperator.h"
#include "skf/skf.h"

/* The token's one application. */
#define SKF_APPLICATION_NAME "Tola"

/* Random bytes the token hands out per command. */
#define DEVICE_RANDOM_PIECE 128u
/* The device information as Struct_DEVINFO reports it. */
#define DEVICE_MAX_ECC_BUFFER 128u
#define DEVICE_MAX_BUFFER 256u
/* The life status of a token whose application is usable. */
#define DEVICE_LIFE_STATUS_READY 0x7F00u
/* Time-out value of a raw command (not read by the transport). */
#define DEVICE_TRANSMIT_TIMEOUT 180u

class ISKFDevice {
public:
    virtual ~ISKFDevice() {}

    virtual unsigned int DevAuth(unsigned char *pbAuthData, unsigned int ulLen) = 0;
    virtual unsigned int ChangeDevAuth(unsigned char *pbKeyValue, unsigned int ulKeyLen) = 0;
    virtual unsigned int CreateApplication(char *pszAppName, char *pszAdminPin, unsigned int ulAdminPinRetryCount,
                                           char *pszUserPin, unsigned int ulUserPinRetryCount,
                                           unsigned int ulCreateFileRights, void **phApplication) = 0;
    virtual unsigned int EnumApplication(char *pszAppName, unsigned int *pulSize) = 0;
    virtual unsigned int DeleteApplication(char *pszAppName) = 0;
    virtual unsigned int OpenApplication(char *pszAppName, void **phApplication) = 0;
    virtual unsigned int GenerateRandom(unsigned int ulRandomLen, unsigned char *pbRandom) = 0;
    virtual unsigned int GenExtRSAKey(unsigned int ulBitsLen, Struct_RSAPRIVATEKEYBLOB *pBlob) = 0;
    virtual unsigned int SetSymmKey(unsigned char *pbKey, unsigned int ulAlgID, void **phKey) = 0;
    virtual unsigned int ExtRSAPubKeyOperation(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbInput,
                                               unsigned int ulInputLen, unsigned char *pbOutput,
                                               unsigned int *pulOutputLen) = 0;
    virtual unsigned int ExtRSAPriKeyOperation(Struct_RSAPRIVATEKEYBLOB *pBlob, unsigned char *pbInput,
                                               unsigned int ulInputLen, unsigned char *pbOutput,
                                               unsigned int *pulOutputLen) = 0;
    virtual unsigned int RSAVerify(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                   unsigned char *pbSignature, unsigned int ulSignLen) = 0;
    virtual unsigned int ECCVerify(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                   unsigned char *pbR, unsigned char *pbS) = 0;
    virtual unsigned int ExtECCEncrypt(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbPlainText,
                                       unsigned int ulPlainTextLen, Struct_ECCCIPHERBLOB *pCipherText) = 0;
    virtual unsigned int ExtECCDecrypt(Struct_ECCPRIVATEKEYBLOB *pBlob, Struct_ECCCIPHERBLOB *pCipherText,
                                       unsigned char *pbPlainText, unsigned int *pulPlainTextLen) = 0;
    virtual unsigned int ExtECCSign(Struct_ECCPRIVATEKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                                    unsigned char *pbR, unsigned char *pbS) = 0;
    virtual unsigned int DigestInit(unsigned int ulAlgID, Struct_ECCPUBLICKEYBLOB *pPubKey, unsigned char *pbID,
                                    unsigned int ulIDLen, void **phHash) = 0;
    virtual unsigned int GetDeviceInfo(Struct_DEVINFO *pDevInfo) = 0;
    virtual unsigned int SetTokenLabel(char *pszLabel, unsigned int ulLabelLen) = 0;
    virtual unsigned int Transmit(unsigned char *pbCommand, unsigned int ulCommandLen, unsigned char *pbData,
                                  unsigned int *pulDataLen) = 0;
};

class CDeviceObject : public CBrioOperator, public ISKFDevice {
public:
    explicit CDeviceObject(CDeviceContext *pDeviceContext);
    ~CDeviceObject() override;

    unsigned int DevAuth(unsigned char *pbAuthData, unsigned int ulLen) override;
    unsigned int ChangeDevAuth(unsigned char *pbKeyValue, unsigned int ulKeyLen) override;
    unsigned int CreateApplication(char *pszAppName, char *pszAdminPin, unsigned int ulAdminPinRetryCount,
                                   char *pszUserPin, unsigned int ulUserPinRetryCount, unsigned int ulCreateFileRights,
                                   void **phApplication) override;
    unsigned int EnumApplication(char *pszAppName, unsigned int *pulSize) override;
    unsigned int DeleteApplication(char *pszAppName) override;
    unsigned int OpenApplication(char *pszAppName, void **phApplication) override;
    unsigned int GenerateRandom(unsigned int ulRandomLen, unsigned char *pbRandom) override;
    unsigned int GenExtRSAKey(unsigned int ulBitsLen, Struct_RSAPRIVATEKEYBLOB *pBlob) override;
    unsigned int SetSymmKey(unsigned char *pbKey, unsigned int ulAlgID, void **phKey) override;
    unsigned int ExtRSAPubKeyOperation(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbInput, unsigned int ulInputLen,
                                       unsigned char *pbOutput, unsigned int *pulOutputLen) override;
    unsigned int ExtRSAPriKeyOperation(Struct_RSAPRIVATEKEYBLOB *pBlob, unsigned char *pbInput, unsigned int ulInputLen,
                                       unsigned char *pbOutput, unsigned int *pulOutputLen) override;
    unsigned int RSAVerify(Struct_RSAPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                           unsigned char *pbSignature, unsigned int ulSignLen) override;
    unsigned int ECCVerify(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                           unsigned char *pbR, unsigned char *pbS) override;
    unsigned int ExtECCEncrypt(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbPlainText, unsigned int ulPlainTextLen,
                               Struct_ECCCIPHERBLOB *pCipherText) override;
    unsigned int ExtECCDecrypt(Struct_ECCPRIVATEKEYBLOB *pBlob, Struct_ECCCIPHERBLOB *pCipherText,
                               unsigned char *pbPlainText, unsigned int *pulPlainTextLen) override;
    unsigned int ExtECCSign(Struct_ECCPRIVATEKEYBLOB *pBlob, unsigned char *pbData, unsigned int ulDataLen,
                            unsigned char *pbR, unsigned char *pbS) override;
    unsigned int DigestInit(unsigned int ulAlgID, Struct_ECCPUBLICKEYBLOB *pPubKey, unsigned char *pbID,
                            unsigned int ulIDLen, void **phHash) override;
    unsigned int GetDeviceInfo(Struct_DEVINFO *pDevInfo) override;
    /* Takes the place of the operator's own label operation too. */
    unsigned int SetTokenLabel(char *pszLabel, unsigned int ulLabelLen) override;
    unsigned int Transmit(unsigned char *pbCommand, unsigned int ulCommandLen, unsigned char *pbData,
                          unsigned int *pulDataLen) override;

    using CBrioOperator::GenerateRandom;
    using CBrioOperator::GetDeviceInfo;

private:
    /* SM2 encryption in software, for tokens without the command; the
     * same record layout as the token's answer. */
    unsigned int ExtECCEncryptSoft(Struct_ECCPUBLICKEYBLOB *pBlob, unsigned char *pbPlainText,
                                   unsigned int ulPlainTextLen, Struct_ECCCIPHERBLOB *pCipherText);
    /* What a command with a caller's SM2 private key needs: a device
     * context with its record and a secure session, the cryptographic
     * command object, and a 256-bit key. */
    unsigned int PrivateKeyCommand(const char *pszOperation, const Struct_ECCPRIVATEKEYBLOB *pBlob,
                                   CAPDUCrypto **ppCrypto);
};

#endif
