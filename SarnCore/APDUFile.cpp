#include "SarnCore/APDUFile.h"

#include "SarnCore/APDUCommon.h"
#include "SarnCore/DeviceContext.h"

static const unsigned char PLAIN = APDU_CLA_PLAIN;
static const unsigned char SECURE = APDU_CLA_SECURE;

CAPDUFile::CAPDUFile(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUFile: Constructor");
}

CAPDUFile::~CAPDUFile()
{
    CDeviceContext::TraceInfo("CAPDUFile: Destructor");
}

unsigned int CAPDUFile::CreateApplication(unsigned short usAppID, unsigned char *pbData, unsigned int ulLen)
{
    CApduBody body(2 + FILE_APP_DATA_MAX);
    body.U16(usAppID).Bytes(pbData, ulLen);
    return SendCommand("CreateApplication", {SECURE, 0x20, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUFile::OpenApplication(unsigned short usAppID, unsigned char *pbOut, unsigned int *pulLen)
{
    CApduBody body;
    body.U16(usAppID);
    CApduAnswer answer(FILE_APP_INFO_LEN);
    unsigned int ulRet = SendCommand("OpenApplication", {PLAIN, 0x2A, 0x00, 0x00}, &body, &answer);
    return ulRet != 0 ? ulRet : ApduCopyOut("OpenApplication", answer, pbOut, pulLen);
}

unsigned int CAPDUFile::CreateDataFile(unsigned short usAppID, unsigned short usFileID, unsigned short usSize)
{
    CApduBody body;
    body.U16(usAppID).U16(usFileID).U16(usSize);
    return SendCommand("CreateDataFile", {PLAIN, 0x30, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUFile::DeleteDataFile(unsigned short usAppID, unsigned short usFileID)
{
    CApduBody body;
    body.U16(usAppID).U16(usFileID);
    return SendCommand("DeleteDataFile", {PLAIN, 0x32, 0x00, 0x00}, &body, nullptr);
}

unsigned int CAPDUFile::GetFileInfo(unsigned short usAppID, unsigned short usFileID, unsigned char byForm,
                                    unsigned char *pbOut, unsigned int *pulLen)
{
    static const char *OP = "GetFileInfo";
    unsigned int ulLe = byForm == FILE_INFO_SIZE_FORM ? 2u : 20u;
    if (byForm != FILE_INFO_SIZE_FORM && byForm != FILE_INFO_FULL_FORM)
        return APDU_CHECK_FAIL(OP, "CHECK byFlag", ERR_BAD_FLAG);
    CApduBody body;
    body.U16(usAppID).U16(usFileID);
    /* The size and the full record have fixed lengths when they are wanted. */
    CApduAnswer answer(ulLe, pbOut != nullptr && pulLen != nullptr);
    unsigned int ulRet = SendCommand(OP, {PLAIN, 0x36, byForm, 0x00}, &body, &answer);
    if (ulRet != 0) return ulRet;
    if (pbOut == nullptr || pulLen == nullptr) {
        TRACE_STEP_OK(OP, "CHECK pbyOutBuf and pnOutLen");
        return 0;
    }
    if (*pulLen < answer.Length()) return APDU_CHECK_FAIL(OP, "CHECK *pnOutLen SIZE", ERR_BUFFER_TOO_SMALL);
    return answer.CopyTo(pbOut, pulLen);
}

unsigned int CAPDUFile::ReadFile(unsigned short usAppID, unsigned short usFileID, unsigned short usOffset,
                                 unsigned char *pbOut, unsigned int *pulLen)
{
    static const char *OP = "ReadFile";
    if (pulLen == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pnOutlen", ERR_NULL_ARGUMENT);
    unsigned int ulWanted = *pulLen;
    *pulLen = 0;
    if (ulWanted > APDU_CHUNKED_MAX) return APDU_CHECK_FAIL(OP, "CHECK (*pnOutlen > 0x10000)", ERR_BAD_LENGTH);
    if (ulWanted == 0) return 0;
    if (pbOut == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pbOutbuf", ERR_NULL_ARGUMENT);
    unsigned int ulRead = 0;
    unsigned short usAt = usOffset;
    while (ulRead < ulWanted) {
        unsigned int ulChunk = ulWanted - ulRead < APDU_CHUNK_LEN ? ulWanted - ulRead : APDU_CHUNK_LEN;
        CApduBody body;
        body.U16(usAppID).U16(usFileID).U16(usAt);
        CApduAnswer answer(ulChunk);
        unsigned int ulRet = SendCommand(OP, {PLAIN, 0x38, 0x00, 0x00}, &body, &answer);
        if (ulRet == 0 && answer.Length() == 0) ulRet = APDU_CHECK_FAIL(OP, "CHECK answer length", ERR_BAD_LENGTH);
        if (ulRet != 0) {
            *pulLen = ulRead;
            return ulRet;
        }
        answer.CopyTo(pbOut + ulRead, nullptr);
        ulRead += answer.Length();
        usAt = (unsigned short)(usAt + answer.Length());
    }
    *pulLen = ulRead;
    return 0;
}

unsigned int CAPDUFile::WriteFile(unsigned short usAppID, unsigned short usFileID, unsigned short usOffset,
                                  unsigned char *pbData, unsigned int ulLen)
{
    static const char *OP = "WriteFile";
    if (ulLen > APDU_CHUNKED_MAX) return APDU_CHECK_FAIL(OP, "CHECK nInLen", ERR_BAD_LENGTH);
    if (ulLen == 0) return 0;
    if (pbData == nullptr) return APDU_CHECK_FAIL(OP, "CHECK pbInbuf", ERR_NULL_ARGUMENT);
    for (unsigned int ulSent = 0; ulSent < ulLen;) {
        unsigned int ulChunk = ulLen - ulSent < APDU_CHUNK_LEN ? ulLen - ulSent : APDU_CHUNK_LEN;
        unsigned char byP1 = ApduChunkFlags(ulSent == 0, ulSent + ulChunk == ulLen);
        CApduBody body(8 + APDU_CHUNK_LEN);
        body.U16(usAppID).U16(usFileID).U16((unsigned short)(usOffset + ulSent)).U16(ulChunk).Bytes(pbData + ulSent,
                                                                                                    ulChunk);
        unsigned int ulRet = SendCommand(OP, {PLAIN, 0x3A, byP1, 0x00}, &body, nullptr);
        if (ulRet != 0) return ulRet;
        ulSent += ulChunk;
    }
    return 0;
}

unsigned int CAPDUFile::CreateFileSystem()
{
    return SendCommand("CreateFileSystem", {PLAIN, 0x3E, 0x00, 0x00}, nullptr, nullptr);
}
