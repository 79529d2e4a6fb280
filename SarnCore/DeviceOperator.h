/* IDeviceOperator: what the middleware can do with one opened token.
 * CDeviceOperator: its implementation over one device context, building
 * every token command with the context's six command objects.
 *
 * The product operator derives from CDeviceOperator, and every handle object
 * of the SKF layer derives from the product operator: each handle object is
 * an operator of its own, with its own container cache, over the one device
 * context of its connection.  The virtual operations below are in a fixed
 * order that every derived class and every caller relies on; operations of
 * the class call each other through these slots wherever a derived class may
 * replace them.
 *
 * Every operation returns an unsigned 32-bit code (0 success), traces each
 * step in the shared step format and runs inside the device mutex that the
 * caller holds (Initialize takes it itself). */
#ifndef BRIO_SARNCORE_DEVICE_OPERATOR_H
#define BRIO_SARNCORE_DEVICE_OPERATOR_H

#include <stdint.h>

#include <vector>

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

/* Key specification: which key pair of a container. */
#define KEY_SPEC_EXCHANGE  1u
#define KEY_SPEC_SIGNATURE 2u

/* The application every command of the operator addresses. */
#define OPERATOR_APP_ID 0u

#define CONTAINER_NAME_FIELD 40u                        /* name and its terminating zero */
#define CONTAINER_NAME_MAX (CONTAINER_NAME_FIELD - 1u)  /* 39 characters */
#define CONTAINER_LIST_MAX 256u                         /* the container list answer */

#define CERT_MAX_LEN 2560u
#define COS_CHUNK 256u

/* Token operation log: a ring of 64 records in token file 0xA000. */
#define SARN_LOG_FILE_ID 0xA000u
#define SARN_LOG_RECORDS 64u
#define SARN_LOG_FILE_SIZE (SARN_LOG_RECORDS * 16u)
#define SARN_LOG_EMPTY 0xFFu
#define SARN_LOG_TAG_FIELD 11u

#define PIN_CRYPT_LEN 128u  /* a PIN answer: RSA-1024 cryptogram */

#define OPERATOR_FLASH_UNIT 256u
#define OPERATOR_BUFFER_LIMIT 0xA00000u

/* Flags of Initialize: bit 0 skips the external authentication. */
#define OPERATOR_INIT_NO_EXTERNAL_AUTH 0x1u

/* One container record, the same 50 bytes in the cache and in the token's
 * answers (bytes 0-7 from the open-container answer; the container list is a
 * sequence of whole records). */
typedef struct _QV_CONTAINER_INFO {
    unsigned char byType;          /* 1 RSA, 2 SM2 */
    unsigned char byReserved1;     /* as the token returns it */
    unsigned char pbFileBase[2];   /* big-endian; low bits take the key specification */
    unsigned char byExchKeyAlg;    /* 0 none, 1 RSA-1024, 7 RSA-2048, 17 SM2 */
    unsigned char byExchCertFlag;  /* 1 present */
    unsigned char bySignKeyAlg;
    unsigned char bySignCertFlag;
    unsigned char byReserved8;     /* as the token returns it */
    unsigned char byNameLen;       /* without the terminating zero */
    char szName[CONTAINER_NAME_FIELD];
} _QV_CONTAINER_INFO;
static_assert(sizeof(_QV_CONTAINER_INFO) == 50, "container record of 50 bytes");

/* The 288-byte device information; GetDeviceInfo turns the numbers marked
 * "host order" from the token's big-endian into host order. */
typedef struct _QV_DEV_INFO {
    unsigned char pbVersion[2];
    unsigned char pbReserved2[2];
    char szManufacturer[64];
    char szIssuer[64];
    char szLabel[32];
    char szSerialNumber[32];
    unsigned char pbHWVersion[2];
    unsigned char pbFirmwareVersion[2];
    uint32_t ulAlgSymCap;          /* host order */
    uint32_t ulAlgAsymCap;         /* host order */
    uint32_t ulAlgHashCap;         /* host order */
    uint32_t ulDevAuthAlgId;       /* host order; its second-lowest byte is the algorithm byte */
    uint32_t ulTotalSpace;         /* host order */
    uint32_t ulFreeSpace;          /* host order */
    uint16_t usReserved224;        /* host order */
    uint16_t usReserved226;        /* host order */
    uint16_t usKeyID;              /* host order */
    uint16_t usReserved230;
    uint16_t usReserved232;        /* host order */
    uint16_t usReserved234;        /* host order */
    unsigned char pbReserved236[52];
} _QV_DEV_INFO;
static_assert(sizeof(_QV_DEV_INFO) == 288, "device information of 288 bytes");

/* The application information after the 32-byte name of the open-application
 * answer, passed on as the token returns it. */
#define APP_NAME_LEN 32u
#define APP_INFO_ANSWER 72u
typedef struct _QV_APPINFO_SYS {
    unsigned char pbData[APP_INFO_ANSWER - APP_NAME_LEN];
} _QV_APPINFO_SYS;

/* One record of the token operation log. */
typedef struct _QV_LOG_INFO {
    unsigned char bySeq;                   /* 0-254; 0xFF: empty */
    char szTag[SARN_LOG_TAG_FIELD];        /* zero-terminated */
    uint32_t ulTime;                       /* seconds since 1970, host order */
} _QV_LOG_INFO;
static_assert(sizeof(_QV_LOG_INFO) == 16, "log record of 16 bytes");

class CAsymKeyObject;
struct PIN_RESET_COMMANDS;

class IDeviceOperator {
public:
    virtual ~IDeviceOperator() {}

    virtual unsigned int EnumContainer(char *pszNameList, unsigned int *pnSize, bool bFlag) = 0;
    virtual unsigned int CreateContainer(char *pszContainerName) = 0;
    virtual unsigned int DeleteContainer(char *pszContainerName) = 0;
    virtual unsigned int ReadContainer(_QV_CONTAINER_INFO *pContainer, bool bCacheOnly) = 0;
    virtual unsigned int VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen) = 0;
    virtual unsigned int ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                   char *pszNewPin, unsigned char byNewLen) = 0;
    virtual unsigned int UnlockPIN(unsigned char byUnlockFlag, unsigned char *pbyUnlockBuf,
                                   unsigned int &nBufLen) = 0;
    virtual unsigned int GetPINStatus(unsigned char byPINType, unsigned char *pbyRetryLeft,
                                      unsigned char *pbyStatus, unsigned char *pbyDefault,
                                      unsigned char *pbyMaxRetry) = 0;
    virtual unsigned int ComputeExternAuthKey(unsigned char *pbyChipSN, unsigned int nSNLen,
                                              unsigned char *pbyExternAuthKey) = 0;
    virtual unsigned int ExternalAuth(unsigned char *pbyExternAuthKey) = 0;
    virtual unsigned int SetSessionKey(bool bForce) = 0;
    virtual unsigned int ClearAuthCode() = 0;
    virtual unsigned int InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf,
                                       unsigned int &nBufLen) = 0;
    virtual unsigned int GenerateRandom(unsigned char bySource, unsigned char byLen,
                                        unsigned char *pbyRandomData) = 0;
    virtual unsigned int GenerateKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                         void **ppKeyCtx) = 0;
    virtual unsigned int ImportEncSessionKey(unsigned short usKeyID, unsigned char *pbySymKeyBuf,
                                             unsigned int nSymKeyLen) = 0;
    virtual unsigned int ImportKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                       void *pKeyBuf, unsigned int nKeyLen, void *pSymKeyBuf,
                                       unsigned int nSymKeyLen, void **ppKeyCtx) = 0;
    virtual unsigned int ExportPublicKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                         unsigned char *pbyKeyBuf, unsigned int *pnKeySize) = 0;
    virtual unsigned int ImportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                    unsigned int nCertLen) = 0;
    virtual unsigned int ExportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                    unsigned int *pnCertLen) = 0;
    virtual unsigned int GetUserKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                    void **ppKeyCtx) = 0;
    virtual unsigned int GetZValue(char *pszContainerName, unsigned char *pbyZValue) = 0;
    virtual unsigned int HashInit(unsigned char byAlgID, void **ppHashHandle) = 0;
    virtual unsigned int HashUpdate(unsigned char *pbyDataBuf, unsigned int nDataLen) = 0;
    virtual unsigned int HashFinal(unsigned char *pbyDigestBuf, unsigned int *pnDigestLen) = 0;
    virtual unsigned int InitSymKey(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                    unsigned char *pbyKey, unsigned char *pbyIV, void **phKeyHandle) = 0;
    virtual unsigned int SignWithAdminKey(unsigned char *pbyRawBuf, unsigned int nRawLen, unsigned char *pbySignBuf,
                                          unsigned int *pnSignLen) = 0;
    virtual unsigned int GetChipSN(unsigned char *pbyChipSN, unsigned int *pnSNLen) = 0;
    virtual unsigned int EraseMF() = 0;
    virtual unsigned int EraseCOS() = 0;
    virtual unsigned int InitTokenFile() = 0;
    virtual unsigned int InitTokenApp() = 0;
    virtual unsigned int GetTokenAppInfo(char *pszAppName, _QV_APPINFO_SYS *pAppInfo) = 0;
    virtual unsigned int GetDeviceInfo(_QV_DEV_INFO *pDevInfo) = 0;
    virtual unsigned int SetTokenLabel(char *pszLabel, unsigned int nLabelLen) = 0;
    virtual unsigned int GetTokenLabel(char *pszLabel, unsigned int *pnLabelLen) = 0;
    virtual unsigned int SetTokenSN(char *pszSN, unsigned int nSNLen) = 0;
    virtual unsigned int GetTokenSN(char *pszSN, unsigned int *pnSNLen) = 0;
    virtual unsigned int WriteFlash(unsigned short usIndex, unsigned char *pbyInBuf, unsigned int nInLen) = 0;
    virtual unsigned int ReadFlash(unsigned short usIndex, unsigned char *pbyOutBuf, unsigned int nOutLen) = 0;
    virtual unsigned int EraseFlash() = 0;
    virtual unsigned int GetCosFileInfo(unsigned short usFileID, unsigned char bySelector, unsigned int nBufSize,
                                        unsigned char *pbyOutBuf) = 0;
    virtual unsigned int CreateCosFile(unsigned short usFileID, unsigned short usFileSize) = 0;
    virtual unsigned int DeleteCosFile(unsigned short usFileID) = 0;
    virtual unsigned int WriteCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyInbuf,
                                      unsigned int nInLen) = 0;
    virtual unsigned int ReadCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyOutbuf,
                                     unsigned int *pnOutLen) = 0;
    virtual unsigned int NewAsymKey(unsigned char byAlgID, unsigned short usKeyFID, CAsymKeyObject **ppKeyCtx) = 0;
};

class CDeviceOperator : public IDeviceOperator {
public:
    explicit CDeviceOperator(CDeviceContext *pDeviceContext);
    virtual ~CDeviceOperator();
    CDeviceOperator(const CDeviceOperator &) = delete;
    CDeviceOperator &operator=(const CDeviceOperator &) = delete;

    /* Container cache and the container list. */
    virtual unsigned int EnumContainer(char *pszNameList, unsigned int *pnSize, bool bFlag);
    virtual unsigned int CreateContainer(char *pszContainerName);
    virtual unsigned int DeleteContainer(char *pszContainerName);
    virtual unsigned int ReadContainer(_QV_CONTAINER_INFO *pContainer, bool bCacheOnly);

    /* PINs, external authentication and the session key. */
    virtual unsigned int VerifyPIN(unsigned char byPINType, char *pszPinBuf, unsigned char byPinLen);
    virtual unsigned int ChangePIN(unsigned char byPINType, char *pszOldPin, unsigned char byOldLen,
                                   char *pszNewPin, unsigned char byNewLen);
    virtual unsigned int UnlockPIN(unsigned char byUnlockFlag, unsigned char *pbyUnlockBuf, unsigned int &nBufLen);
    virtual unsigned int GetPINStatus(unsigned char byPINType, unsigned char *pbyRetryLeft,
                                      unsigned char *pbyStatus, unsigned char *pbyDefault,
                                      unsigned char *pbyMaxRetry);
    virtual unsigned int ComputeExternAuthKey(unsigned char *pbyChipSN, unsigned int nSNLen,
                                              unsigned char *pbyExternAuthKey);
    virtual unsigned int ExternalAuth(unsigned char *pbyExternAuthKey);
    virtual unsigned int SetSessionKey(bool bForce);
    virtual unsigned int ClearAuthCode();
    virtual unsigned int InitTokenUser(unsigned char byResetFlag, unsigned char *pbyResetBuf, unsigned int &nBufLen);

    /* Keys, key pairs and the token's cryptography. */
    virtual unsigned int GenerateRandom(unsigned char bySource, unsigned char byLen, unsigned char *pbyRandomData);
    virtual unsigned int GenerateKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                         void **ppKeyCtx);
    virtual unsigned int ImportEncSessionKey(unsigned short usKeyID, unsigned char *pbySymKeyBuf,
                                             unsigned int nSymKeyLen);
    virtual unsigned int ImportKeyPair(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID,
                                       void *pKeyBuf, unsigned int nKeyLen, void *pSymKeyBuf, unsigned int nSymKeyLen,
                                       void **ppKeyCtx);
    virtual unsigned int ExportPublicKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                         unsigned char *pbyKeyBuf, unsigned int *pnKeySize);

    /* Certificates. */
    virtual unsigned int ImportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                    unsigned int nCertLen);
    virtual unsigned int ExportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                    unsigned int *pnCertLen);

    virtual unsigned int GetUserKey(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                    void **ppKeyCtx);
    virtual unsigned int GetZValue(char *pszContainerName, unsigned char *pbyZValue);
    virtual unsigned int HashInit(unsigned char byAlgID, void **ppHashHandle);
    virtual unsigned int HashUpdate(unsigned char *pbyDataBuf, unsigned int nDataLen);
    virtual unsigned int HashFinal(unsigned char *pbyDigestBuf, unsigned int *pnDigestLen);
    virtual unsigned int InitSymKey(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                    unsigned char *pbyKey, unsigned char *pbyIV, void **phKeyHandle);
    virtual unsigned int SignWithAdminKey(unsigned char *pbyRawBuf, unsigned int nRawLen, unsigned char *pbySignBuf,
                                          unsigned int *pnSignLen);

    /* Device information, label, serial numbers. */
    virtual unsigned int GetChipSN(unsigned char *pbyChipSN, unsigned int *pnSNLen);
    virtual unsigned int EraseMF();
    virtual unsigned int EraseCOS();
    virtual unsigned int InitTokenFile();
    virtual unsigned int InitTokenApp();
    virtual unsigned int GetTokenAppInfo(char *pszAppName, _QV_APPINFO_SYS *pAppInfo);
    virtual unsigned int GetDeviceInfo(_QV_DEV_INFO *pDevInfo);
    virtual unsigned int SetTokenLabel(char *pszLabel, unsigned int nLabelLen);
    virtual unsigned int GetTokenLabel(char *pszLabel, unsigned int *pnLabelLen);
    virtual unsigned int SetTokenSN(char *pszSN, unsigned int nSNLen);
    virtual unsigned int GetTokenSN(char *pszSN, unsigned int *pnSNLen);

    /* Flash area. */
    virtual unsigned int WriteFlash(unsigned short usIndex, unsigned char *pbyInBuf, unsigned int nInLen);
    virtual unsigned int ReadFlash(unsigned short usIndex, unsigned char *pbyOutBuf, unsigned int nOutLen);
    virtual unsigned int EraseFlash();

    /* Token data files of application 0. */
    virtual unsigned int GetCosFileInfo(unsigned short usFileID, unsigned char bySelector, unsigned int nBufSize,
                                        unsigned char *pbyOutBuf);
    virtual unsigned int CreateCosFile(unsigned short usFileID, unsigned short usFileSize);
    virtual unsigned int DeleteCosFile(unsigned short usFileID);
    virtual unsigned int WriteCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyInbuf,
                                      unsigned int nInLen);
    virtual unsigned int ReadCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyOutbuf,
                                     unsigned int *pnOutLen);

    virtual unsigned int NewAsymKey(unsigned char byAlgID, unsigned short usKeyFID, CAsymKeyObject **ppKeyCtx);

    /* Start and end of a connection: Initialize reads the device information,
     * sets the record's algorithm byte, key id and root key, and (unless
     * flag bit 0) authenticates externally; Finalize closes and deletes the
     * device context. */
    unsigned int Initialize(unsigned int ulFlags);
    unsigned int Finalize();

    /* The container cache. */
    _QV_CONTAINER_INFO *FindContainerFromMemory(char *pszContainerName);
    unsigned int EraseContainerFromMemory(char *pszContainerName);
    unsigned int UpdateContainerKeyType(char *pszContainerName, unsigned char byKeySpec, unsigned char byAlgID);
    unsigned int UpdateContainerCertFlag(char *pszContainerName, unsigned char byKeySpec);
    unsigned int GetContainerInfo(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyAlgID,
                                  unsigned short *pusKeyFID, unsigned short *pusCertFID, bool bCacheOnly);

    /* Certificate files in chunks. */
    unsigned int WriteCertFile(unsigned short usCertFID, unsigned char *pbyCertBuf, unsigned int nCertLen);
    unsigned int ReadCertFile(unsigned short usCertFID, unsigned char *pbyCertBuf, unsigned int *pnCertLen);

    /* The token operation log: a failure to log never fails the logged
     * operation (callers only trace the result). */
    unsigned int RecordSarnLog(char *pszTag);
    unsigned int ExportSarnLog(_QV_LOG_INFO *pLogInfo, unsigned int *pnLogSize);

    CDeviceContext *GetDeviceContext() const { return m_pDeviceContext; }

    /* MD5(MD5(PIN) || challenge), followed by MD5(new PIN) when one is given,
     * encrypted with PKCS #1 v1.5 under the token's 132-byte PIN key
     * (modulus, exponent) into the 128-byte pbCrypt.  Steps are traced
     * under pszOperation. */
    static unsigned int ProtectPIN(const char *pszOperation, const unsigned char *pbKey,
                                   const unsigned char *pbChallenge, const unsigned char *pbPin,
                                   unsigned int ulPinLen, const unsigned char *pbNewPin, unsigned int ulNewPinLen,
                                   unsigned char *pbCrypt);

protected:
    /* Records a log entry after a change and traces its result. */
    void LogOperation(const char *pszOperation, const char *pszTag);
    /* A container name that fits the record's field (1 to 39 characters). */
    static unsigned int CheckContainerName(const char *pszOperation, const char *pszContainerName);

    CDeviceContext *m_pDeviceContext;
    std::vector<_QV_CONTAINER_INFO> m_vContainers;  /* in the order added */
    unsigned int m_ulFlashWriteUnit;                /* 256 */
    unsigned int m_ulFlashReadUnit;                 /* 256; the product operator sets 2048 */

private:
    unsigned int ResetWithChallenge(const PIN_RESET_COMMANDS &stCmds, unsigned char byFlag, unsigned char *pbBuf,
                                    unsigned int &nBufLen);
};

#endif
