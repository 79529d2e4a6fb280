/* CDeviceOperator: certificates, token data files, device and application
 * information, label and serial numbers, the flash area and the token
 * operation log. */
#include "SarnCore/DeviceOperator.h"

#include <string.h>
#include <time.h>

#include <new>

#include "SarnCore/OperatorSteps.h"

#define CERT_HEADER_LEN 16u
#define CERT_FIRST_CHUNK 0x01u
#define CERT_LAST_CHUNK 0x10u
#define CERT_CHUNK_BASE 0xA0u
#define SARN_LOG_MISSING SW_FILE_NOT_FOUND
#define SARN_LOG_CREATE_TRIES 2u

/* Total length of a DER certificate with a two-byte long-form length. */
static unsigned int CertTotalLength(const unsigned char *pbCert)
{
    return ((unsigned int)pbCert[2] << 8 | pbCert[3]) + 4u;
}

/* ---- certificates ---- */

unsigned int CDeviceOperator::ImportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                         unsigned int nCertLen)
{
    static const char *OP = "ImportCert";
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pbyCertBuf);
    unsigned short usCertFID = 0;
    OP_STEP(OP, "GetContainerInfo",
            GetContainerInfo(pszContainerName, byKeySpec, nullptr, nullptr, &usCertFID, false));
    OP_STEP(OP, "SetSessionKey", SetSessionKey(false));
    OP_STEP(OP, "WriteCertFile", WriteCertFile(usCertFID, pbyCertBuf, nCertLen));
    UpdateContainerCertFlag(pszContainerName, byKeySpec);
    LogOperation(OP, "WriCert");
    return 0;
}

unsigned int CDeviceOperator::ExportCert(char *pszContainerName, unsigned char byKeySpec, unsigned char *pbyCertBuf,
                                         unsigned int *pnCertLen)
{
    static const char *OP = "ExportCert";
    OP_CHECK_PTR(OP, pszContainerName);
    OP_CHECK_PTR(OP, pnCertLen);
    unsigned short usCertFID = 0;
    OP_STEP(OP, "GetContainerInfo", GetContainerInfo(pszContainerName, byKeySpec, nullptr, nullptr, &usCertFID, true));
    OP_STEP(OP, "ReadCertFile", ReadCertFile(usCertFID, pbyCertBuf, pnCertLen));
    return 0;
}

unsigned int CDeviceOperator::WriteCertFile(unsigned short usCertFID, unsigned char *pbyCertBuf, unsigned int nCertLen)
{
    static const char *OP = "WriteCertFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyCertBuf);
    OP_CHECK(OP, nCertLen >= 4, "nCertLen", ERR_BAD_CERTIFICATE);
    unsigned int ulTotal = CertTotalLength(pbyCertBuf);
    OP_CHECK(OP, ulTotal <= CERT_MAX_LEN, "Cert Length", ERR_BAD_CERTIFICATE);
    OP_CHECK(OP, ulTotal == nCertLen, "nCertLen", ERR_BAD_CERTIFICATE);
    CDeviceInfo *pInfo = m_pDeviceContext->GetDeviceHandle();
    for (unsigned int ulOff = 0; ulOff < nCertLen;) {
        unsigned int ulChunk = nCertLen - ulOff < COS_CHUNK ? nCertLen - ulOff : COS_CHUNK;
        unsigned char byFlags = CERT_CHUNK_BASE;
        if (ulOff == 0) byFlags |= CERT_FIRST_CHUNK;
        if (ulOff + ulChunk == nCertLen) byFlags |= CERT_LAST_CHUNK;
        OP_STEP(OP, "m_pDeviceContext->GetAPDUKey()->WriteCert",
                m_pDeviceContext->GetAPDUKey()->WriteCert(byFlags, pInfo->m_pbAuthCode, OPERATOR_APP_ID, usCertFID,
                                                          (unsigned short)ulOff, pbyCertBuf + ulOff, ulChunk));
        ulOff += ulChunk;
    }
    return 0;
}

unsigned int CDeviceOperator::ReadCertFile(unsigned short usCertFID, unsigned char *pbyCertBuf,
                                           unsigned int *pnCertLen)
{
    static const char *OP = "ReadCertFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pnCertLen);
    CAPDUKey *pKey = m_pDeviceContext->GetAPDUKey();
    unsigned char pbHeader[CERT_HEADER_LEN];
    unsigned int ulLen = sizeof(pbHeader);
    unsigned int ulRet = pKey->ReadCert(OPERATOR_APP_ID, usCertFID, 0, pbHeader, &ulLen);
    if (ulRet != 0) {
        *pnCertLen = 0;
        TRACE_STEP_FAIL(OP, "m_pDeviceContext->GetAPDUKey()->ReadCert(HEADER)", ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, "m_pDeviceContext->GetAPDUKey()->ReadCert(HEADER)");
    OP_CHECK_SIZE(OP, ulLen >= 4 && pbHeader[0] == 0x30, "CHECK Cert Head", ERR_BAD_CERTIFICATE, pnCertLen, 0u);
    unsigned int ulTotal = CertTotalLength(pbHeader);
    OP_CHECK_SIZE(OP, ulTotal <= CERT_MAX_LEN, "CHECK Cert Length", ERR_BAD_CERTIFICATE, pnCertLen, 0u);
    if (pbyCertBuf == nullptr) {
        *pnCertLen = ulTotal;
        return 0;
    }
    OP_CHECK_SIZE(OP, *pnCertLen >= ulTotal, "CHECK *pnCertLen SIZE", ERR_BUFFER_TOO_SMALL, pnCertLen, ulTotal);
    /* The length is handed out only with the whole certificate. */
    for (unsigned int ulOff = 0; ulOff < ulTotal;) {
        unsigned int ulWant = ulTotal - ulOff < COS_CHUNK ? ulTotal - ulOff : COS_CHUNK;
        unsigned int ulGot = ulWant;
        ulRet = pKey->ReadCert(OPERATOR_APP_ID, usCertFID, (unsigned short)ulOff, pbyCertBuf + ulOff, &ulGot);
        OP_CHECK_SIZE(OP, ulRet == 0, "m_pDeviceContext->GetAPDUKey()->ReadCert", ulRet, pnCertLen, 0u);
        TRACE_STEP_OK(OP, "m_pDeviceContext->GetAPDUKey()->ReadCert");
        /* A chunk answered with nothing would never end the read. */
        OP_CHECK_SIZE(OP, ulGot > 0 && ulGot <= ulWant, "CHECK ReadCert answer length", ERR_BAD_LENGTH, pnCertLen,
                      0u);
        ulOff += ulGot;
    }
    *pnCertLen = ulTotal;
    return 0;
}

/* ---- token data files of application 0 ----
 * A create, delete or write bumps the file layer's change counter before
 * it is sent: whoever keeps what it read of the files reads them again. */

unsigned int CDeviceOperator::GetCosFileInfo(unsigned short usFileID, unsigned char bySelector, unsigned int nBufSize,
                                             unsigned char *pbyOutBuf)
{
    static const char *OP = "GetCosFileInfo";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    unsigned char pbInfo[32];
    unsigned int ulLen = sizeof(pbInfo);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->GetFileInfo",
            m_pDeviceContext->GetAPDUFile()->GetFileInfo(OPERATOR_APP_ID, usFileID, bySelector, pbInfo, &ulLen));
    if (pbyOutBuf == nullptr) return 0;
    OP_CHECK(OP, ulLen <= nBufSize, "nBufSize SIZE", ERR_BUFFER_TOO_SMALL);
    if (bySelector == 0) {
        /* One big-endian number, into host order in the whole buffer. */
        unsigned int ulClear = nBufSize < sizeof(pbInfo) ? nBufSize : (unsigned int)sizeof(pbInfo);
        memset(pbyOutBuf, 0, ulClear);
        for (unsigned int i = 0; i < ulLen; ++i) pbyOutBuf[i] = pbInfo[ulLen - 1 - i];
    } else {
        memcpy(pbyOutBuf, pbInfo, ulLen);
    }
    return 0;
}

unsigned int CDeviceOperator::CreateCosFile(unsigned short usFileID, unsigned short usFileSize)
{
    static const char *OP = "CreateCosFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    m_pDeviceContext->BumpFileLayerChangeCounter();
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->CreateDataFile",
            m_pDeviceContext->GetAPDUFile()->CreateDataFile(OPERATOR_APP_ID, usFileID, usFileSize));
    return 0;
}

unsigned int CDeviceOperator::DeleteCosFile(unsigned short usFileID)
{
    static const char *OP = "DeleteCosFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    m_pDeviceContext->BumpFileLayerChangeCounter();
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->DeleteDataFile",
            m_pDeviceContext->GetAPDUFile()->DeleteDataFile(OPERATOR_APP_ID, usFileID));
    return 0;
}

unsigned int CDeviceOperator::WriteCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyInbuf,
                                           unsigned int nInLen)
{
    static const char *OP = "WriteCosFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyInbuf);
    m_pDeviceContext->BumpFileLayerChangeCounter();
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->WriteFile",
            m_pDeviceContext->GetAPDUFile()->WriteFile(OPERATOR_APP_ID, usFileID, usOffset, pbyInbuf, nInLen));
    return 0;
}

unsigned int CDeviceOperator::ReadCosFile(unsigned short usOffset, unsigned short usFileID, unsigned char *pbyOutbuf,
                                          unsigned int *pnOutLen)
{
    static const char *OP = "ReadCosFile";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyOutbuf);
    OP_CHECK_PTR(OP, pnOutLen);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->ReadFile",
            m_pDeviceContext->GetAPDUFile()->ReadFile(OPERATOR_APP_ID, usFileID, usOffset, pbyOutbuf, pnOutLen));
    return 0;
}

/* ---- device and application information, label, serial numbers ---- */

static uint32_t BigEndian32(uint32_t ulValue)
{
    const unsigned char *pb = (const unsigned char *)&ulValue;
    return (uint32_t)pb[0] << 24 | (uint32_t)pb[1] << 16 | (uint32_t)pb[2] << 8 | pb[3];
}

static uint16_t BigEndian16(uint16_t usValue)
{
    const unsigned char *pb = (const unsigned char *)&usValue;
    return (uint16_t)(pb[0] << 8 | pb[1]);
}

unsigned int CDeviceOperator::GetDeviceInfo(_QV_DEV_INFO *pDevInfo)
{
    static const char *OP = "GetDeviceInfo";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pDevInfo);
    _QV_DEV_INFO stInfo;
    memset(&stInfo, 0, sizeof(stInfo));
    unsigned int ulLen = sizeof(stInfo);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUChip()->GetDevInfo",
            m_pDeviceContext->GetAPDUChip()->GetDevInfo((unsigned char *)&stInfo, &ulLen));
    OP_CHECK(OP, ulLen == sizeof(stInfo), "GetDevInfo answer length", ERR_BAD_LENGTH);
    uint32_t *ppulTurned[] = {&stInfo.ulAlgSymCap, &stInfo.ulAlgAsymCap,  &stInfo.ulAlgHashCap,
                              &stInfo.ulDevAuthAlgId, &stInfo.ulTotalSpace, &stInfo.ulFreeSpace};
    for (uint32_t *pul : ppulTurned) *pul = BigEndian32(*pul);
    uint16_t *ppusTurned[] = {&stInfo.usReserved224, &stInfo.usReserved226, &stInfo.usKeyID, &stInfo.usReserved232,
                              &stInfo.usReserved234};
    for (uint16_t *pus : ppusTurned) *pus = BigEndian16(*pus);
    memcpy(pDevInfo, &stInfo, sizeof(stInfo));
    return 0;
}

unsigned int CDeviceOperator::GetTokenAppInfo(char *pszAppName, _QV_APPINFO_SYS *pAppInfo)
{
    static const char *OP = "GetTokenAppInfo";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszAppName);
    OP_CHECK_PTR(OP, pAppInfo);
    unsigned char pbAnswer[128];
    unsigned int ulLen = FILE_APP_INFO_LEN;
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->OpenApplication",
            m_pDeviceContext->GetAPDUFile()->OpenApplication(OPERATOR_APP_ID, pbAnswer, &ulLen));
    OP_CHECK(OP, ulLen <= FILE_APP_INFO_LEN, "OpenApplication answer length", ERR_BAD_LENGTH);
    memset(pszAppName, 0, APP_NAME_LEN);
    memset(pAppInfo, 0, sizeof(*pAppInfo));
    memcpy(pszAppName, pbAnswer, ulLen < APP_NAME_LEN ? ulLen : APP_NAME_LEN);
    if (ulLen > APP_NAME_LEN) memcpy(pAppInfo->pbData, pbAnswer + APP_NAME_LEN, ulLen - APP_NAME_LEN);
    return 0;
}

unsigned int CDeviceOperator::SetTokenLabel(char *pszLabel, unsigned int nLabelLen)
{
    static const char *OP = "SetTokenLabel";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszLabel);
    OP_CHECK(OP, nLabelLen <= CHIP_LABEL_LEN, "nLabelLen", ERR_BAD_LENGTH);
    unsigned char pbLabel[CHIP_LABEL_LEN];
    memset(pbLabel, 0, sizeof(pbLabel));
    memcpy(pbLabel, pszLabel, nLabelLen);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUChip()->SetTokenLabel",
            m_pDeviceContext->GetAPDUChip()->SetTokenLabel(pbLabel, sizeof(pbLabel)));
    return 0;
}

unsigned int CDeviceOperator::SetTokenSN(char *pszSN, unsigned int nSNLen)
{
    static const char *OP = "SetTokenSN";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszSN);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUChip()->SetTokenSN",
            m_pDeviceContext->GetAPDUChip()->SetTokenSN((unsigned char *)pszSN, nSNLen));
    return 0;
}

/* A chip value read into a local buffer and handed out with the size rules
 * of every size query: null output gives the length, too small a buffer 259
 * with the length. */
struct CHIP_VALUE_READ {
    const char *pszOperation;
    const char *pszStep;
    const char *pszSizeCheck;
    unsigned int (CAPDUChip::*pfnRead)(unsigned char *, unsigned int *);
};

static unsigned int ReadChipValue(CDeviceContext *pContext, const CHIP_VALUE_READ &stRead, unsigned char *pbOut,
                                  unsigned int *pnLen)
{
    const char *OP = stRead.pszOperation;
    unsigned char pbValue[CHIP_LABEL_LEN];
    unsigned int ulLen = sizeof(pbValue);
    unsigned int ulRet = (pContext->GetAPDUChip()->*stRead.pfnRead)(pbValue, &ulLen);
    if (ulRet != 0) {
        *pnLen = 0;
        TRACE_STEP_FAIL(OP, stRead.pszStep, ulRet);
        return ulRet;
    }
    TRACE_STEP_OK(OP, stRead.pszStep);
    if (pbOut != nullptr) {
        if (*pnLen < ulLen) {
            *pnLen = ulLen;
            TRACE_STEP_FAIL(OP, stRead.pszSizeCheck, ERR_BUFFER_TOO_SMALL);
            return ERR_BUFFER_TOO_SMALL;
        }
        memcpy(pbOut, pbValue, ulLen);
    }
    *pnLen = ulLen;
    return 0;
}

unsigned int CDeviceOperator::GetTokenLabel(char *pszLabel, unsigned int *pnLabelLen)
{
    static const CHIP_VALUE_READ LABEL = {"GetTokenLabel", "m_pDeviceContext->GetAPDUChip()->GetTokenLabel",
                                          "Check *pnLabelLen SIZE", &CAPDUChip::GetTokenLabel};
    OP_CHECK_PTR(LABEL.pszOperation, m_pDeviceContext);
    OP_CHECK_PTR(LABEL.pszOperation, pnLabelLen);
    return ReadChipValue(m_pDeviceContext, LABEL, (unsigned char *)pszLabel, pnLabelLen);
}

unsigned int CDeviceOperator::GetTokenSN(char *pszSN, unsigned int *pnSNLen)
{
    static const CHIP_VALUE_READ SERIAL = {"GetTokenSN", "m_pDeviceContext->GetAPDUChip()->GetTokenSN",
                                           "Check *pnSNLen SIZE", &CAPDUChip::GetTokenSN};
    OP_CHECK_PTR(SERIAL.pszOperation, m_pDeviceContext);
    OP_CHECK_PTR(SERIAL.pszOperation, pnSNLen);
    return ReadChipValue(m_pDeviceContext, SERIAL, (unsigned char *)pszSN, pnSNLen);
}

unsigned int CDeviceOperator::GetChipSN(unsigned char *pbyChipSN, unsigned int *pnSNLen)
{
    static const CHIP_VALUE_READ CHIP = {"GetChipSN", "m_pDeviceContext->GetAPDUChip()->GetChipSN",
                                         "Check *pnSNLen SIZE", &CAPDUChip::GetChipSN};
    OP_CHECK_PTR(CHIP.pszOperation, m_pDeviceContext);
    OP_CHECK_PTR(CHIP.pszOperation, pbyChipSN);
    OP_CHECK_PTR(CHIP.pszOperation, pnSNLen);
    return ReadChipValue(m_pDeviceContext, CHIP, pbyChipSN, pnSNLen);
}

/* ---- the flash area ----
 * Writes go in blocks of the write unit at byte address index * unit.  Reads
 * go in blocks of the read unit and start at index * (read unit / 2): the
 * token counts read addresses in units of 2 * write unit / read unit bytes
 * (two bytes for the base's 256-byte read unit, a quarter byte for the
 * product's 2048), so each further block's address advances by the bytes
 * already read in those units, and what was written at an index reads back
 * at that index.  The product chip's read fills a whole block or fails; the
 * generic chip command hands out no answer length, so the generic token
 * must answer whole blocks (the virtual token does inside its area). */

/* The largest block a chip command object reads (the product's). */
#define FLASH_CHIP_BLOCK_MAX 2048u

unsigned int CDeviceOperator::WriteFlash(unsigned short usIndex, unsigned char *pbyInBuf, unsigned int nInLen)
{
    static const char *OP = "WriteFlash";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyInBuf);
    OP_CHECK(OP, m_ulFlashWriteUnit != 0 && m_ulFlashWriteUnit <= OPERATOR_BUFFER_LIMIT, "buffer size",
             ERROR_INVALID_PARAMETER);
    if (nInLen == 0) return 0;
    /* The chip command always sends a whole 256-byte block. */
    unsigned int ulBlock = m_ulFlashWriteUnit < CHIP_FLASH_BLOCK ? CHIP_FLASH_BLOCK : m_ulFlashWriteUnit;
    unsigned char *pbBlock = new (std::nothrow) unsigned char[ulBlock];
    OP_CHECK(OP, pbBlock != nullptr, "New buffer", ERR_NO_MEMORY);
    unsigned int ulAddress = (unsigned int)usIndex * m_ulFlashWriteUnit;
    unsigned int ulRet = 0;
    for (unsigned int ulDone = 0; ulDone < nInLen && ulRet == 0;) {
        unsigned int ulTake = nInLen - ulDone < m_ulFlashWriteUnit ? nInLen - ulDone : m_ulFlashWriteUnit;
        memset(pbBlock, 0xFF, ulBlock);
        memcpy(pbBlock, pbyInBuf + ulDone, ulTake);
        ulRet = m_pDeviceContext->GetAPDUChip()->WriteFlash(ulAddress, pbBlock);
        ulAddress += ulTake;
        ulDone += ulTake;
    }
    delete[] pbBlock;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, "m_pDeviceContext->GetAPDUChip()->WriteFlash", ulRet);
    else TRACE_STEP_OK(OP, "m_pDeviceContext->GetAPDUChip()->WriteFlash");
    return ulRet;
}

unsigned int CDeviceOperator::ReadFlash(unsigned short usIndex, unsigned char *pbyOutBuf, unsigned int nOutLen)
{
    static const char *OP = "ReadFlash";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pbyOutBuf);
    OP_CHECK(OP, m_ulFlashReadUnit != 0 && m_ulFlashReadUnit <= OPERATOR_BUFFER_LIMIT && m_ulFlashWriteUnit != 0, "buffer size",
             ERROR_INVALID_PARAMETER);
    OP_CHECK(OP, nOutLen <= OPERATOR_BUFFER_LIMIT, "nOutLen", ERROR_INVALID_PARAMETER);
    if (nOutLen == 0) return 0;
    unsigned int ulBlock = m_ulFlashReadUnit < FLASH_CHIP_BLOCK_MAX ? FLASH_CHIP_BLOCK_MAX : m_ulFlashReadUnit;
    /* The blocks gather in a buffer of the whole length: the caller's output
     * is written only once every block has been read. */
    unsigned char *pbBlock = new (std::nothrow) unsigned char[ulBlock];
    unsigned char *pbRead = new (std::nothrow) unsigned char[nOutLen];
    if (pbBlock == nullptr || pbRead == nullptr) {
        delete[] pbBlock;
        delete[] pbRead;
        TRACE_STEP_FAIL(OP, "New buffer", ERR_NO_MEMORY);
        return ERR_NO_MEMORY;
    }
    const unsigned long long ullHalfUnit = m_ulFlashReadUnit / 2;
    const unsigned long long ullFirst = (unsigned long long)usIndex * ullHalfUnit;
    unsigned int ulRet = 0;
    const char *pszStep = "m_pDeviceContext->GetAPDUChip()->ReadFlash";
    for (unsigned int ulDone = 0; ulDone < nOutLen;) {
        unsigned long long ullScaled = (unsigned long long)ulDone * ullHalfUnit;
        unsigned long long ullAddress = ullFirst + ullScaled / m_ulFlashWriteUnit;
        if (ullScaled % m_ulFlashWriteUnit != 0 || ullAddress > 0xFFFFFFFFull) {
            ulRet = ERR_BAD_LENGTH;
            pszStep = "CHECK flash read address";
            break;
        }
        memset(pbBlock, 0, ulBlock);
        ulRet = m_pDeviceContext->GetAPDUChip()->ReadFlash((unsigned int)ullAddress, pbBlock);
        if (ulRet != 0) break;
        unsigned int ulTake = nOutLen - ulDone < m_ulFlashReadUnit ? nOutLen - ulDone : m_ulFlashReadUnit;
        memcpy(pbRead + ulDone, pbBlock, ulTake);
        ulDone += ulTake;
    }
    if (ulRet == 0) memcpy(pbyOutBuf, pbRead, nOutLen);
    memset(pbBlock, 0, ulBlock);
    memset(pbRead, 0, nOutLen);
    delete[] pbBlock;
    delete[] pbRead;
    if (ulRet != 0) TRACE_STEP_FAIL(OP, pszStep, ulRet);
    else TRACE_STEP_OK(OP, pszStep);
    return ulRet;
}

unsigned int CDeviceOperator::EraseFlash()
{
    static const char *OP = "EraseFlash";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUChip()->EraseFlash", m_pDeviceContext->GetAPDUChip()->EraseFlash());
    return 0;
}

/* ---- the token operation log ---- */

/* The slot of the next record and its sequence number: the first empty
 * record, or the first whose sequence number is 63 behind the record
 * before it (the oldest of a full ring); slot 0 after record 63. */
static unsigned int NextLogSlot(const _QV_LOG_INFO *pRecords, unsigned char *pbySeq)
{
    if (pRecords[0].bySeq == SARN_LOG_EMPTY) {
        *pbySeq = 0;
        return 0;
    }
    unsigned int ulSlot = 0;
    unsigned int ulPrev = pRecords[SARN_LOG_RECORDS - 1].bySeq;
    for (unsigned int i = 1; i < SARN_LOG_RECORDS; ++i) {
        unsigned int ulBefore = pRecords[i - 1].bySeq;
        if (pRecords[i].bySeq == SARN_LOG_EMPTY || pRecords[i].bySeq == (ulBefore + 255u - 63u) % 255u) {
            ulSlot = i;
            ulPrev = ulBefore;
            break;
        }
    }
    *pbySeq = ulPrev >= 254 ? 0 : (unsigned char)(ulPrev + 1);
    return ulSlot;
}

unsigned int CDeviceOperator::RecordSarnLog(char *pszTag)
{
    static const char *OP = "RecordSarnLog";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pszTag);
    /* Other processes log to the same file: the read-modify-write runs under
     * the device mutex (recursive, so callers that hold it keep it), given
     * back however the record ends. */
    CDevMutexLock lock(m_pDeviceContext);
    OP_STEP(OP, "WaitDevMutex", lock.Result());
    CAPDUFile *pFile = m_pDeviceContext->GetAPDUFile();
    _QV_LOG_INFO pRecords[SARN_LOG_RECORDS];
    unsigned int ulRet = 0;
    const char *pszStep = "m_pDeviceContext->GetAPDUFile()->GetFileInfo";
    do {
        /* Only a missing file is created, and at most twice.  A token's
         * first entry finds no file: that answer is looked for. */
        auto fnInfo = [&] {
            CExpectedStepCode missing(SARN_LOG_MISSING);
            return pFile->GetFileInfo(OPERATOR_APP_ID, SARN_LOG_FILE_ID, 0, nullptr, nullptr);
        };
        unsigned int ulTries = 0;
        while ((ulRet = fnInfo()) == SARN_LOG_MISSING && ulTries < SARN_LOG_CREATE_TRIES) {
            ++ulTries;
            ulRet = pFile->CreateDataFile(OPERATOR_APP_ID, SARN_LOG_FILE_ID, SARN_LOG_FILE_SIZE);
            if (ulRet != 0) {
                pszStep = "m_pDeviceContext->GetAPDUFile()->CreateDataFile";
                break;
            }
        }
        if (ulRet != 0) break;
        pszStep = "m_pDeviceContext->GetAPDUFile()->ReadFile";
        unsigned int ulLen = sizeof(pRecords);
        ulRet = pFile->ReadFile(OPERATOR_APP_ID, SARN_LOG_FILE_ID, 0, (unsigned char *)pRecords, &ulLen);
        if (ulRet == 0 && ulLen != sizeof(pRecords)) ulRet = ERR_BAD_LENGTH;
        if (ulRet != 0) break;
        _QV_LOG_INFO stRecord;
        memset(&stRecord, 0, sizeof(stRecord));
        unsigned int ulSlot = NextLogSlot(pRecords, &stRecord.bySeq);
        strncpy(stRecord.szTag, pszTag, SARN_LOG_TAG_FIELD - 1);
        stRecord.ulTime = (uint32_t)time(nullptr);
        pszStep = "m_pDeviceContext->GetAPDUFile()->WriteFile";
        ulRet = pFile->WriteFile(OPERATOR_APP_ID, SARN_LOG_FILE_ID, (unsigned short)(ulSlot * sizeof(stRecord)),
                                 (unsigned char *)&stRecord, sizeof(stRecord));
    } while (0);
    if (ulRet != 0) TRACE_STEP_FAIL(OP, pszStep, ulRet);
    else TRACE_STEP_OK(OP, pszStep);
    return ulRet;
}

unsigned int CDeviceOperator::ExportSarnLog(_QV_LOG_INFO *pLogInfo, unsigned int *pnLogSize)
{
    static const char *OP = "ExportSarnLog";
    OP_CHECK_PTR(OP, m_pDeviceContext);
    OP_CHECK_PTR(OP, pLogInfo);
    OP_CHECK_PTR(OP, pnLogSize);
    *pnLogSize = 0;
    CAPDUFile *pFile = m_pDeviceContext->GetAPDUFile();
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->GetFileInfo",
            pFile->GetFileInfo(OPERATOR_APP_ID, SARN_LOG_FILE_ID, 0, nullptr, nullptr));
    _QV_LOG_INFO pRecords[SARN_LOG_RECORDS];
    unsigned int ulLen = sizeof(pRecords);
    OP_STEP(OP, "m_pDeviceContext->GetAPDUFile()->ReadFile",
            pFile->ReadFile(OPERATOR_APP_ID, SARN_LOG_FILE_ID, 0, (unsigned char *)pRecords, &ulLen));
    unsigned int ulCount = ulLen / sizeof(_QV_LOG_INFO);
    memcpy(pLogInfo, pRecords, ulCount * sizeof(_QV_LOG_INFO));
    *pnLogSize = ulCount;
    return 0;
}
