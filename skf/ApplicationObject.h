/* CApplicationObject: what an SKF application handle (HAPPLICATION) points
 * to.  The token has one application; this object carries the PIN
 * operations with the PIN policy (the placeholder PIN that brings up the PIN
 * prompt, the strength rule for new PINs, retry counts from the token's
 * 63Cx), the container operations (single-certificate mode marked by a "#2"
 * name suffix) and the SKF file layer kept in numbered token files.
 *
 * Several IApplication operations share a name with a device-operator
 * operation on token files or containers; inside the class, call the
 * operator's ones qualified (CDeviceOperator::WriteCosFile, ...). */
#ifndef BRIO_SKF_APPLICATION_OBJECT_H
#define BRIO_SKF_APPLICATION_OBJECT_H

#include "skf/DialogObject.h"
#include "skf/skf.h"

/* The SKF file layer on the token. */
#define SKF_APP_NAME_FIELD 64u
#define SKF_OBJECT_RECORD_FILE 0xD000u
#define SKF_OBJECT_RECORD_COUNT 4u
#define SKF_OBJECT_RECORD_LEN 148u
#define SKF_OBJECT_RECORD_FILE_LEN (SKF_OBJECT_RECORD_COUNT * SKF_OBJECT_RECORD_LEN)
#define SKF_DATA_OBJECT_FILE_BASE 0xD020u
#define SKF_DATA_OBJECT_FILES_PER_RECORD 32u
#define SKF_DATA_OBJECT_PIECE 24576u
#define SKF_NO_RECORD 0xFFFFFFFFu

class IApplication {
public:
    virtual ~IApplication() {}

    virtual unsigned int VerifyPIN(unsigned int ulPINType, char *pszPin, unsigned int *pulRetryCount) = 0;
    virtual unsigned int ChangePIN(unsigned int ulPINType, char *pszOldPin, char *pszNewPin,
                                   unsigned int *pulRetryCount) = 0;
    virtual unsigned int UnlockPIN(char *pszAdminPin, char *pszNewUserPin, unsigned int *pulRetryCount) = 0;
    virtual unsigned int GetPINStatus(unsigned int ulPINType, unsigned int *pulMaxRetry, unsigned int *pulRemainRetry,
                                      bool *pbDefault) = 0;
    virtual unsigned int ClearAuthCode() = 0;
    virtual unsigned int EnumCosFile(char *pszFileList, unsigned int *pulSize) = 0;
    virtual unsigned int GetCosFileInfo(char *pszFileName, Struct_FILEATTRIBUTE *pFileInfo) = 0;
    virtual unsigned int CreateCosFile(char *pszFileName, unsigned int ulFileSize, unsigned int ulReadRights,
                                       unsigned int ulWriteRights) = 0;
    virtual unsigned int DeleteCosFile(char *pszFileName) = 0;
    virtual unsigned int WriteCosFile(char *pszFileName, unsigned int ulOffset, unsigned char *pbData,
                                      unsigned int ulLength) = 0;
    virtual unsigned int ReadCosFile(char *pszFileName, unsigned int ulOffset, unsigned int ulSize,
                                     unsigned char *pbOut, unsigned int *pulOutLen) = 0;
    virtual unsigned int EnumContainer(char *pszNames, unsigned int *pulSize) = 0;
    virtual unsigned int CreateContainer(char *pszName, void **phContainer) = 0;
    virtual unsigned int DeleteContainer(char *pszName) = 0;
    virtual unsigned int OpenContainer(char *pszName, void **phContainer) = 0;
};

class CApplicationObject : public CDialogObject, public IApplication {
public:
    explicit CApplicationObject(CDeviceContext *pDeviceContext);
    ~CApplicationObject() override;

    /* At most 63 characters of the name. */
    void SetApplicationName(char *pszName);
    const char *GetApplicationName() const { return m_szAppName; }

    /* PINs. */
    unsigned int VerifyPIN(unsigned int ulPINType, char *pszPin, unsigned int *pulRetryCount) override;
    unsigned int ChangePIN(unsigned int ulPINType, char *pszOldPin, char *pszNewPin,
                           unsigned int *pulRetryCount) override;
    unsigned int UnlockPIN(char *pszAdminPin, char *pszNewUserPin, unsigned int *pulRetryCount) override;
    unsigned int GetPINStatus(unsigned int ulPINType, unsigned int *pulMaxRetry, unsigned int *pulRemainRetry,
                              bool *pbDefault) override;
    unsigned int ClearAuthCode() override;

    /* Containers. */
    unsigned int EnumContainer(char *pszNames, unsigned int *pulSize) override;
    unsigned int CreateContainer(char *pszName, void **phContainer) override;
    unsigned int DeleteContainer(char *pszName) override;
    unsigned int OpenContainer(char *pszName, void **phContainer) override;
    /* A new array with the name less a trailing "#2"; null when too long. */
    static char *NewContainerName(char *pszName, bool *pbSingleCert);

    /* The SKF file layer. */
    unsigned int EnumCosFile(char *pszFileList, unsigned int *pulSize) override;
    unsigned int GetCosFileInfo(char *pszFileName, Struct_FILEATTRIBUTE *pFileInfo) override;
    unsigned int CreateCosFile(char *pszFileName, unsigned int ulFileSize, unsigned int ulReadRights,
                               unsigned int ulWriteRights) override;
    unsigned int DeleteCosFile(char *pszFileName) override;
    unsigned int WriteCosFile(char *pszFileName, unsigned int ulOffset, unsigned char *pbData,
                              unsigned int ulLength) override;
    unsigned int ReadCosFile(char *pszFileName, unsigned int ulOffset, unsigned int ulSize, unsigned char *pbOut,
                             unsigned int *pulOutLen) override;

    using CDialogObject::ChangePIN;
    using CDialogObject::CreateContainer;
    using CDialogObject::DeleteContainer;
    using CDialogObject::EnumContainer;
    using CDialogObject::GetPINStatus;
    using CDialogObject::VerifyPIN;

private:
    char m_szAppName[SKF_APP_NAME_FIELD];
    unsigned char m_pbRecords[SKF_OBJECT_RECORD_FILE_LEN];  /* image of the object record file */
};

#endif
