/* CAPDUFile: the token's file-system commands: applications, data files
 * with 16-bit identifiers, file information and the chunked read and write
 * (at most 256 bytes per command, at most 0x10000 bytes per call).
 * Outputs are written only on success, except the count of ReadFile. */
#ifndef BRIO_SARNCORE_APDU_FILE_H
#define BRIO_SARNCORE_APDU_FILE_H

#include "SarnCore/APDU.h"

#define FILE_APP_INFO_LEN 72u
#define FILE_APP_DATA_MAX 254u
#define FILE_INFO_SIZE_FORM 0u   /* the file's size, 2 bytes big-endian */
#define FILE_INFO_FULL_FORM 1u   /* 20 bytes */

class CAPDUFile : public CAPDU {
public:
    CAPDUFile(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUFile();

    unsigned int CreateApplication(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen);
    /* *pulLen: room in (when given), length out. */
    unsigned int OpenApplication(unsigned short usAppID, unsigned char *pbOut, unsigned int *pulLen);
    unsigned int CreateDataFile(unsigned short usAppID, unsigned short usFileID, unsigned short usSize);
    unsigned int DeleteDataFile(unsigned short usAppID, unsigned short usFileID);
    /* Form 0 or 1; without pbOut or pulLen the answer is dropped, which is
     * how a caller tests that a file exists. */
    unsigned int GetFileInfo(unsigned short usAppID, unsigned short usFileID, unsigned char byForm,
                             unsigned char *pbOut, unsigned int *pulLen);
    /* *pulLen: bytes wanted in, bytes read out (also on failure).  A chunk
     * answered with no data ends the read with 260. */
    unsigned int ReadFile(unsigned short usAppID, unsigned short usFileID, unsigned short usOffset,
                          unsigned char *pbOut, unsigned int *pulLen);
    /* Chunks already written stay on the token when a later one fails. */
    unsigned int WriteFile(unsigned short usAppID, unsigned short usFileID, unsigned short usOffset,
                           unsigned char *pbData, unsigned int ulLen);
    unsigned int CreateFileSystem();
};

#endif
