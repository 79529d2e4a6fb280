/* CContainerObject: what an SKF container handle (HCONTAINER) points to: one
 * named container of the open application.  It is a device operator of its
 * own (through CDialogObject) whose container cache holds the record that
 * the application object read when it opened or created the container; it
 * picks the key pair an operation addresses and drives the operator and the
 * product operator's confirmation-aware calls. */
#ifndef BRIO_SKF_CONTAINER_OBJECT_H
#define BRIO_SKF_CONTAINER_OBJECT_H

#include "skf/DialogObject.h"
#include "skf/skf.h"

class IContainer {
public:
    virtual ~IContainer() {}

    virtual unsigned int GetContainerValid(unsigned int *pulAlgID, unsigned short *pnExchKeyFID,
                                           unsigned short *pnExchCertFID, unsigned short *pnSignKeyFID,
                                           unsigned short *pnSignCertFID) = 0;
    virtual unsigned int GetContainerType(unsigned int *pulContainerType) = 0;
    virtual unsigned int ImportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int ulCertLen) = 0;
    virtual unsigned int ExportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int *pulCertLen) = 0;
    virtual unsigned int GenerateKeyPair(unsigned int ulBits, void *pBlob) = 0;
    virtual unsigned int ImportKeyPair(unsigned int ulSymAlgId, unsigned char *pbWrappedKey,
                                       unsigned int ulWrappedKeyLen, unsigned int ulBits,
                                       unsigned char *pbEncryptedKey, unsigned int ulEncryptedKeyLen) = 0;
    virtual unsigned int RSASignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbSignature,
                                     unsigned int *pulSignLen) = 0;
    virtual unsigned int RSAExportSessionKey(unsigned int ulAlgId, Struct_RSAPUBLICKEYBLOB *pPubKey,
                                             unsigned char *pbData, unsigned int *pulDataLen,
                                             void **phSessionKey) = 0;
    virtual unsigned int ECCSignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbR,
                                     unsigned char *pbS) = 0;
    virtual unsigned int ECCExportSessionKey(unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pPubKey,
                                             Struct_ECCCIPHERBLOB *pData, void **phSessionKey) = 0;
    virtual unsigned int GenerateAgreementDataWithECC(unsigned int ulAlgId,
                                                      Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob,
                                                      unsigned char *pbID, unsigned int ulIDLen,
                                                      void **phAgreementHandle) = 0;
    virtual unsigned int GenerateAgreementDataAndKeyWithECC(
        unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pSponsorECCPubKeyBlob,
        Struct_ECCPUBLICKEYBLOB *pSponsorTempECCPubKeyBlob, Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob,
        unsigned char *pbID, unsigned int ulIDLen, unsigned char *pbSponsorID, unsigned int ulSponsorIDLen,
        void **phKeyHandle) = 0;
    virtual unsigned int ExportPublicKey(bool bSignFlag, unsigned char *pbBlob, unsigned int *pulBlobLen) = 0;
    virtual unsigned int ImportSessionKey(unsigned int ulAlgId, unsigned char *pbWrapedData,
                                          unsigned int ulWrapedLen, void **phKey) = 0;
};

class CContainerObject : public CDialogObject, public IContainer {
public:
    explicit CContainerObject(CDeviceContext *pDeviceContext);
    ~CContainerObject() override;

    /* The first min(length, 39) characters of the name. */
    void SetContainerName(char *pszName);
    const char *GetContainerName() const { return m_szContainerName; }
    void SetSingleCert(bool bSingleCert) { m_bSingleCert = bSingleCert; }
    bool IsSingleCert() const { return m_bSingleCert; }

    /* Certificates and key pairs. */
    unsigned int GetContainerValid(unsigned int *pulAlgID, unsigned short *pnExchKeyFID,
                                   unsigned short *pnExchCertFID, unsigned short *pnSignKeyFID,
                                   unsigned short *pnSignCertFID) override;
    unsigned int GetContainerType(unsigned int *pulContainerType) override;
    unsigned int ImportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int ulCertLen) override;
    unsigned int ExportCertificate(bool bSignFlag, unsigned char *pbCert, unsigned int *pulCertLen) override;
    unsigned int GenerateKeyPair(unsigned int ulBits, void *pBlob) override;
    /* The RSA generation of SKF_GenRSAKeyPair: 1024 or 2048 bits only, any
     * other value (an SM2 identifier among them) refused before the token
     * is asked. */
    unsigned int GenerateRSAKeyPair(unsigned int ulBitsLen, Struct_RSAPUBLICKEYBLOB *pBlob);
    unsigned int ImportKeyPair(unsigned int ulSymAlgId, unsigned char *pbWrappedKey, unsigned int ulWrappedKeyLen,
                               unsigned int ulBits, unsigned char *pbEncryptedKey,
                               unsigned int ulEncryptedKeyLen) override;
    unsigned int ExportPublicKey(bool bSignFlag, unsigned char *pbBlob, unsigned int *pulBlobLen) override;

    /* Signatures, session keys and agreement. */
    unsigned int RSASignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbSignature,
                             unsigned int *pulSignLen) override;
    unsigned int RSAExportSessionKey(unsigned int ulAlgId, Struct_RSAPUBLICKEYBLOB *pPubKey, unsigned char *pbData,
                                     unsigned int *pulDataLen, void **phSessionKey) override;
    unsigned int ECCSignData(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbR,
                             unsigned char *pbS) override;
    unsigned int ECCExportSessionKey(unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pPubKey,
                                     Struct_ECCCIPHERBLOB *pData, void **phSessionKey) override;
    unsigned int GenerateAgreementDataWithECC(unsigned int ulAlgId, Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob,
                                              unsigned char *pbID, unsigned int ulIDLen,
                                              void **phAgreementHandle) override;
    unsigned int GenerateAgreementDataAndKeyWithECC(unsigned int ulAlgId,
                                                    Struct_ECCPUBLICKEYBLOB *pSponsorECCPubKeyBlob,
                                                    Struct_ECCPUBLICKEYBLOB *pSponsorTempECCPubKeyBlob,
                                                    Struct_ECCPUBLICKEYBLOB *pTempECCPubKeyBlob, unsigned char *pbID,
                                                    unsigned int ulIDLen, unsigned char *pbSponsorID,
                                                    unsigned int ulSponsorIDLen, void **phKeyHandle) override;
    unsigned int ImportSessionKey(unsigned int ulAlgId, unsigned char *pbWrapedData, unsigned int ulWrapedLen,
                                  void **phKey) override;

    /* The operator's ExportPublicKey keeps its own slot next to the SKF one. */
    using CDialogObject::ExportPublicKey;
    using CDialogObject::GenerateKeyPair;
    using CDialogObject::ImportKeyPair;

private:
    /* The key file ids of the container, 0 for an absent key or certificate. */
    struct ContainerKeys {
        unsigned int ulAlgID;
        unsigned short usExchKeyFID;
        unsigned short usExchCertFID;
        unsigned short usSignKeyFID;
        unsigned short usSignCertFID;
    };
    unsigned int GetContainerKeys(ContainerKeys *pKeys);
    /* The key pair (KEY_SPEC_*) a flag addresses, for a key (bCertificate
     * false) or a certificate: false the exchange pair, which must have
     * one; true the signature pair when it has one, else the exchange pair. */
    unsigned int KeySpecOf(const char *pszOperation, bool bSignFlag, bool bCertificate, unsigned char *pbyKeySpec);
    /* The checks both agreement sides share: the key commands, the
     * session-key identifier's key spec, the agreement key's file id. */
    unsigned int AgreementSetup(const char *pszOperation, unsigned int ulAlgId, unsigned short *pusKeySpec,
                                unsigned short *pusKeyFID);
    /* This container's record, from this object's container cache only. */
    unsigned int ReadOwnRecord(_QV_CONTAINER_INFO *pInfo);
    /* The import road of an SM2 envelope: the token record of its Version. */
    unsigned int ImportEnvelope(unsigned int ulSymAlgId, const ENVELOPEDKEYBLOB *pEnvelope,
                                OperationCallbackContext *pContext);
    unsigned int ImportRsa1024(unsigned char *pbRecord, unsigned int ulRecordLen, OperationCallbackContext *pContext);
    /* The default-PIN rule of a signing key pair that has a certificate. */
    unsigned int CheckModifiedPIN(const char *pszOperation, unsigned short usCertFID);
    /* The on-token key object of the signing key (the signature pair, else
     * the exchange pair), an RSA or an SM2 key as bRsa asks, after the
     * default-PIN rule; the caller deletes it. */
    unsigned int NewSigningKey(const char *pszOperation, bool bRsa, CAsymKeyObject **ppKey);
    /* The device context, its record and its key command object. */
    unsigned int CheckKeyCommands(const char *pszOperation);

    char m_szContainerName[CONTAINER_NAME_FIELD];
    bool m_bSingleCert;
};

#endif
