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

#include <stdint.h>

#include <functional>
#include <vector>

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
/* Content above one piece is stored behind an 8-byte header: the magic
 * followed by the content length (u32, little-endian). */
#define SKF_OBJECT_MAGIC "VEXA"
#define SKF_OBJECT_MAGIC_LEN 4u
#define SKF_OBJECT_HEADER_LEN 8u
/* One object's stored bytes must fit the 32 files of its record. */
#define SKF_OBJECT_CONTENT_MAX (SKF_DATA_OBJECT_FILES_PER_RECORD * SKF_DATA_OBJECT_PIECE - SKF_OBJECT_HEADER_LEN)
/* Name fields of a record (characters, no terminator needed). */
#define SKF_OBJECT_NAME_FIELD 64u
#define SKF_OBJECT_NAME_MAX 63u

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
    /* Where an object's bytes are: raw in its first file, or behind the
     * header in files of one piece each.  A header counts only when its
     * length agrees with the object's files.  bUnfinished: a change into
     * the header form was cut after the first file was deleted; its files
     * give the length, but the content cannot be read until it is written
     * whole. */
    struct ObjectLayout {
        bool bHeader;
        unsigned int ulContentLen;
        bool bUnfinished = false;
    };

    /* The PIN results that carry a retry count (63Cx) as SAR codes. */
    static unsigned int PinFailure(unsigned int ulRet, unsigned int *pulRetryCount);
    /* A new container object on the container of a name already stripped
     * of its "#2". */
    unsigned int OpenStrippedContainer(const char *pszName, void **phContainer);

    /* One file operation under the device lock (recursive: the SKF frame
     * may hold it already), with what the file cache holds trusted only
     * while the file layer's change counter and the connection are as they
     * were when it was read; a failed operation leaves nothing trusted. */
    unsigned int UnderFileLock(const char *pszOperation, const std::function<unsigned int()> &fnWork);
    /* Nothing of the file cache is trusted any more. */
    void ForgetFiles();
    /* The object record file into the cache, unless the cache holds it: a
     * missing file has no records, a short one only what it holds. */
    unsigned int LoadObjectRecords(const char *pszOperation);
    /* The first occupied record holding exactly this application and file
     * name. */
    unsigned int IsRecordExist(const char *pszAppName, const char *pszFileName);
    /* An occupied record that its own file name finds (this application's,
     * a readable name, no earlier record of that name): the records listed. */
    bool IsReachableRecord(unsigned int ulIndex);
    /* The first record whose in-use byte is 0 or 0xFF. */
    unsigned int FindFreeRecord();
    /* The first record whose in-use byte is 0 or 0xFF, else the first
     * occupied one that no name reaches. */
    unsigned int FindAvailabeRecordIndex();
    /* The named record of a file operation, reloaded under the device lock;
     * SAR_FILE_NOT_EXIST when no occupied record has the name. */
    unsigned int FindLiveRecord(const char *pszOperation, const char *pszFileName, unsigned int *pulIndex);
    /* The object's layout, from the file cache when it holds it. */
    unsigned int ReadObjectLayout(unsigned int ulIndex, ObjectLayout *pLayout);
    unsigned int ReadLayoutFromToken(unsigned int ulIndex, ObjectLayout *pLayout);
    /* The layout of a record marked unreadable, from its files' sizes. */
    unsigned int ReadUnfinishedLayout(unsigned int ulIndex, ObjectLayout *pLayout);
    /* Stored bytes (header included) at ulStoredOffset, across the pieces. */
    unsigned int ReadStoredBytes(unsigned int ulIndex, unsigned int ulStoredOffset, unsigned char *pbOut,
                                 unsigned int ulLength);
    unsigned int WriteStoredBytes(unsigned int ulIndex, unsigned int ulStoredOffset, const unsigned char *pbData,
                                  unsigned int ulLength);
    /* Writes content of at most the object's length in the object's form:
     * through a copy in a free record when there is one and room, else in
     * place. */
    unsigned int WriteObject(unsigned int ulIndex, unsigned char *pbData, unsigned int ulLength);
    unsigned int BeginsWithMagic(unsigned int ulIndex, const ObjectLayout &stLayout, const unsigned char *pbData,
                                 unsigned int ulLength, bool *pbMagic);
    unsigned int NewStoredImage(unsigned int ulIndex, const ObjectLayout &stLayout, const unsigned char *pbData,
                                unsigned int ulLength, bool bHeader, std::vector<unsigned char> *pvImage);
    unsigned int WriteObjectCopy(unsigned int ulIndex, unsigned int ulTo, const ObjectLayout &stOld,
                                 const std::vector<unsigned char> &vImage, bool bHeader);
    /* Raw content that would begin with the magic, stored in place in the
     * header form (vImage: the new stored bytes). */
    unsigned int RewriteWithHeader(unsigned int ulIndex, const ObjectLayout &stLayout,
                                   const std::vector<unsigned char> &vImage);
    /* The whole content written into an unfinished object's files, and the
     * record marked live. */
    unsigned int FinishObject(unsigned int ulIndex, const ObjectLayout &stLayout, const unsigned char *pbData);
    /* Writes the record's in-use byte to the token (twice if need be). */
    unsigned int MarkRecord(unsigned int ulIndex, unsigned char byInUse);
    /* Frees the record on the token, then deletes the object's own files. */
    unsigned int FreeRecord(unsigned int ulIndex);
    /* After a failed record write that may have landed: the record freed,
     * then the ulPieces files it names deleted (kept when the freeing
     * fails). */
    void AbandonRecord(unsigned int ulIndex, unsigned int ulPieces);
    /* Creates a file of a run, replacing one that a cut left there. */
    unsigned int CreatePieceFile(unsigned short usFileID, unsigned short usLen);
    /* Deletes every file of the free records' runs. */
    unsigned int ClearFreeRuns();
    /* The files of record ulIndex for content of ulSize bytes. */
    unsigned int CreateDataObjectFiles(unsigned int ulIndex, unsigned int ulSize);
    /* Deletes files ulFromPiece to ulToPiece - 1 of the record's run, past
     * missing ones. */
    unsigned int ClearDataObjectFiles(unsigned int ulIndex, unsigned int ulFromPiece = 0,
                                      unsigned int ulToPiece = SKF_DATA_OBJECT_FILES_PER_RECORD);
    /* Writes cached record ulIndex (only that one) to the record file. */
    unsigned int SaveDataObjRecord(unsigned int ulIndex);
    /* The cache into a record file of ulOldSize bytes, too short for it;
     * after a failure the old bytes are put back, or the record file is in
     * doubt. */
    unsigned int RebuildObjectRecordFile(uint32_t ulOldSize);
    /* The record file of ulOldSize bytes holding pbOld again, by what the
     * token is seen to hold. */
    unsigned int PutRecordFileBack(const unsigned char *pbOld, uint32_t ulOldSize);

    char m_szAppName[SKF_APP_NAME_FIELD];
    unsigned char m_pbRecords[SKF_OBJECT_RECORD_FILE_LEN];  /* image of the object record file */
    /* The file cache: the record file image and its size on the token
     * (m_bRecordFile: the file exists), the layouts of the objects, and
     * the change counter and connection generation they were read under. */
    bool m_bRecordsKnown;
    bool m_bRecordFile;
    uint32_t m_ulRecordFileSize;
    /* A rebuild of the record file failed and could not put the old bytes
     * back: what the token holds is not known until it is read again. */
    bool m_bRecordFileInDoubt;
    bool m_pbLayoutKnown[SKF_OBJECT_RECORD_COUNT];
    ObjectLayout m_pstLayouts[SKF_OBJECT_RECORD_COUNT];
    unsigned long long m_ullChangesSeen;
    unsigned long long m_ullConnectionSeen;
};

#endif
