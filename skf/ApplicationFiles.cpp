/* CApplicationObject: the SKF file layer on the token's numbered files.
 *
 * Object record file 0xD000: 4 records of 148 bytes (numbers little-endian):
 *   0 in use (1 live; 0 or 0xFF free; any other value used but unreadable),
 *   1 rights flag, 2 always 1, 4 first data file (u16), 12 application name
 *   length (u32), 16 application name (64), 80 file name length (u32),
 *   84 file name (64).
 * Record i owns data files 0xD020 + 32 * i + k, k = 0 to 31, of at most
 * 24,576 bytes each.  Content of up to 24,576 bytes is raw in file k = 0;
 * larger content follows an 8-byte header ("VEXA", length u32) and the
 * header and content are cut into pieces of 24,576 bytes, one per file.
 * Other hosts read and write the same files.
 *
 * Every operation takes the device lock (recursive: the SKF frame may hold
 * it already).  What it reads of the token (the record file and its size,
 * each object's layout) stays in the file cache, trusted by later
 * operations only while the file layer's change counter in the device
 * mutex segment has not moved and the connection is the one it was read
 * on: every raw file create, delete or write by anyone, a command sent by
 * hand or a new secure channel moves it, so that other handles and
 * processes see each other's records.  A failed operation leaves nothing
 * trusted.  A create, delete or write writes back only the records it
 * changed, and keeps the cache as it leaves the token.  Lookups see occupied records
 * only; an occupied record that no name reaches stays where it is until a
 * creation finds no free record and takes it back.  A write goes through a
 * copy in a free record when there is room, so that it is all or nothing. */
#include "skf/ApplicationObject.h"

#include <stdint.h>
#include <string.h>

#include <functional>
#include <new>
#include <vector>

#include <openssl/crypto.h>

#include "SarnCore/OperatorSteps.h"
#include "log/vexa_log.h"

#define RECORD_IN_USE 0u
#define RECORD_RIGHTS 1u
#define RECORD_WRITTEN 2u
#define RECORD_FIRST_FILE 4u
#define RECORD_APP_LEN 12u
#define RECORD_APP_NAME 16u
#define RECORD_FILE_LEN 80u
#define RECORD_FILE_NAME 84u

#define RECORD_LIVE 1u
/* Occupied but not readable: a record whose first file is being made again
 * in the header form carries it from that file's deletion until the file is
 * whole. */
#define RECORD_UNREADABLE 2u
#define RECORD_ERASED 0xFFu
#define RIGHTS_ANYONE 0xFFu
#define RIGHTS_USER 0x10u

/* A check traced as a step of its own name. */
#define CHECK_RESULT(cond, code) ((cond) ? 0u : (unsigned int)(code))

static uint32_t GetLE32(const unsigned char *pb)
{
    return (uint32_t)pb[0] | (uint32_t)pb[1] << 8 | (uint32_t)pb[2] << 16 | (uint32_t)pb[3] << 24;
}

static void PutLE32(unsigned char *pb, uint32_t ulValue)
{
    for (unsigned int i = 0; i < 4; ++i) pb[i] = (unsigned char)(ulValue >> (8 * i));
}

static unsigned short DataFileID(unsigned int ulIndex, unsigned int ulPiece)
{
    return (unsigned short)(SKF_DATA_OBJECT_FILE_BASE + SKF_DATA_OBJECT_FILES_PER_RECORD * ulIndex + ulPiece);
}

static unsigned int PiecesFor(unsigned int ulStored)
{
    return (ulStored + SKF_DATA_OBJECT_PIECE - 1) / SKF_DATA_OBJECT_PIECE;
}

/* The token files an object of this layout stores its bytes in. */
static unsigned int StoredPieces(bool bHeader, unsigned int ulContent)
{
    return bHeader ? PiecesFor(ulContent + SKF_OBJECT_HEADER_LEN) : 1;
}

/* Bytes of piece k when ulStored bytes are cut into whole pieces. */
static unsigned int PieceLength(unsigned int ulStored, unsigned int k)
{
    unsigned int ulLeft = ulStored - k * SKF_DATA_OBJECT_PIECE;
    return ulLeft < SKF_DATA_OBJECT_PIECE ? ulLeft : SKF_DATA_OBJECT_PIECE;
}

static bool IsFreeRecord(const unsigned char *pbRecord)
{
    return pbRecord[RECORD_IN_USE] == 0 || pbRecord[RECORD_IN_USE] == RECORD_ERASED;
}

/* A stored name matches only with its exact length and characters. */
static bool NameMatches(const unsigned char *pbRecord, unsigned int ulLenAt, unsigned int ulNameAt,
                        const char *pszName)
{
    uint32_t ulLen = GetLE32(pbRecord + ulLenAt);
    return ulLen <= SKF_OBJECT_NAME_FIELD && strnlen(pszName, SKF_OBJECT_NAME_FIELD + 1) == ulLen &&
           memcmp(pbRecord + ulNameAt, pszName, ulLen) == 0;
}

void CApplicationObject::ForgetFiles()
{
    m_bRecordsKnown = false;
    m_bRecordFileInDoubt = false;
    memset(m_pbLayoutKnown, 0, sizeof(m_pbLayoutKnown));
}

unsigned int CApplicationObject::UnderFileLock(const char *pszOperation, const std::function<unsigned int()> &fnWork)
{
    CDeviceContext *pContext = m_pDeviceContext;
    OP_CHECK(pszOperation, pContext != nullptr, "m_pDeviceContext", SAR_INVALIDHANDLEERR);
    /* Given back however the work ends: an exception (no memory for the
     * image of a large object) would otherwise leave the device locked. */
    CDevMutexLock lock(pContext);
    OP_STEP(pszOperation, "WaitDevMutex", lock.Result());
    const unsigned long long ullConnection = pContext->ConnectionGeneration();
    if (pContext->FileLayerChangeCounter() != m_ullChangesSeen || ullConnection != m_ullConnectionSeen)
        ForgetFiles();
    unsigned int ulRet = fnWork();
    /* This operation's own changes moved the counter: the cache holds
     * them.  A new channel on the way may mean another token. */
    if (ulRet != 0 || pContext->ConnectionGeneration() != ullConnection) ForgetFiles();
    m_ullChangesSeen = pContext->FileLayerChangeCounter();
    m_ullConnectionSeen = pContext->ConnectionGeneration();
    return ulRet;
}

/* The size of a token file (selector 0 answers it big-endian; the operator
 * hands it out in host order). */
static unsigned int TokenFileSize(CApplicationObject *pApp, unsigned short usFileID, uint32_t *pulSize)
{
    *pulSize = 0;
    return pApp->CDeviceOperator::GetCosFileInfo(usFileID, 0, sizeof(*pulSize), (unsigned char *)pulSize);
}

/* ---- the object record file ---- */

unsigned int CApplicationObject::LoadObjectRecords(const char *pszOperation)
{
    if (m_bRecordsKnown) return 0;
    ForgetFiles();
    memset(m_pbRecords, 0, sizeof(m_pbRecords));
    uint32_t ulSize = 0;
    unsigned int ulRet = TokenFileSize(this, SKF_OBJECT_RECORD_FILE, &ulSize);
    if (ulRet == SW_FILE_NOT_FOUND) {  /* no file yet: no records */
        m_bRecordFile = false;
        m_ulRecordFileSize = 0;
        m_bRecordsKnown = true;
        return 0;
    }
    OP_STEP(pszOperation, "GetCosFileInfo: Object record file", ulRet);
    unsigned int ulLen = ulSize < sizeof(m_pbRecords) ? ulSize : (unsigned int)sizeof(m_pbRecords);
    unsigned int ulGot = ulLen;
    ulRet = ulLen == 0 ? 0 : CDeviceOperator::ReadCosFile(0, SKF_OBJECT_RECORD_FILE, m_pbRecords, &ulGot);
    if (ulRet == 0 && ulGot != ulLen) ulRet = ERR_BAD_LENGTH;
    if (ulRet != 0) memset(m_pbRecords, 0, sizeof(m_pbRecords));
    OP_STEP(pszOperation, "Read Object record file", ulRet);
    m_bRecordFile = true;
    m_ulRecordFileSize = ulSize;
    m_bRecordsKnown = true;
    return 0;
}

unsigned int CApplicationObject::SaveDataObjRecord(unsigned int ulIndex)
{
    static const char *OP = "SaveDataObjRecord";
    /* The record file's size as the cache's load found it (the records
     * were loaded in this operation or trusted in it). */
    uint32_t ulSize = m_ulRecordFileSize;
    unsigned int ulRet = m_bRecordFile ? 0 : (unsigned int)SW_FILE_NOT_FOUND;
    if (!m_bRecordsKnown) ulRet = TokenFileSize(this, SKF_OBJECT_RECORD_FILE, &ulSize);
    if (ulRet != 0 && ulRet != SW_FILE_NOT_FOUND) {
        TRACE(LOG_LEVEL_ERROR, "Get data object info ERROR: 0x%08X", ulRet);
        return ulRet;
    }
    if (ulRet == 0 && ulSize >= SKF_OBJECT_RECORD_FILE_LEN) {
        OP_STEP(OP, "Write Object record file",
                CDeviceOperator::WriteCosFile((unsigned short)(ulIndex * SKF_OBJECT_RECORD_LEN), SKF_OBJECT_RECORD_FILE,
                                              m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN, SKF_OBJECT_RECORD_LEN));
        return 0;
    }
    if (ulRet != 0) {
        /* Missing: made from the cache, which holds no other record. */
        OP_STEP(OP, "Create Object record file",
                CDeviceOperator::CreateCosFile(SKF_OBJECT_RECORD_FILE, SKF_OBJECT_RECORD_FILE_LEN));
        OP_STEP(OP, "Write Object record file",
                CDeviceOperator::WriteCosFile(0, SKF_OBJECT_RECORD_FILE, m_pbRecords, SKF_OBJECT_RECORD_FILE_LEN));
    } else {
        ulRet = RebuildObjectRecordFile(ulSize);
        if (ulRet != 0) return ulRet;
    }
    m_bRecordFile = true;
    m_ulRecordFileSize = SKF_OBJECT_RECORD_FILE_LEN;
    return 0;
}

/* A record file shorter than its records is made whole from the cache (which
 * holds what it had).  The token cannot grow a file, so it is deleted and
 * created again; it is deleted only when the token has room for the whole
 * file.  A command that answered a failure may still have been carried out
 * (its answer lost), so after any failure from the deletion on the old bytes
 * are put back by what the token is then seen to hold, not by what it
 * answered; when even that fails, the record file is in doubt. */
unsigned int CApplicationObject::RebuildObjectRecordFile(uint32_t ulOldSize)
{
    static const char *OP = "SaveDataObjRecord";
    _QV_DEV_INFO stInfo;
    OP_STEP(OP, "GetDeviceInfo", CDeviceOperator::GetDeviceInfo(&stInfo));
    OP_STEP(OP, "Check room for the Object record file",
            CHECK_RESULT(stInfo.ulFreeSpace >= SKF_OBJECT_RECORD_FILE_LEN - ulOldSize, SAR_NO_ROOM));
    unsigned char pbOld[SKF_OBJECT_RECORD_FILE_LEN];
    unsigned int ulGot = ulOldSize;
    unsigned int ulRet = CDeviceOperator::ReadCosFile(0, SKF_OBJECT_RECORD_FILE, pbOld, &ulGot);
    OP_STEP(OP, "Read Object record file", ulRet == 0 && ulGot != ulOldSize ? ERR_BAD_LENGTH : ulRet);
    ulRet = CDeviceOperator::DeleteCosFile(SKF_OBJECT_RECORD_FILE);
    if (ulRet == 0) ulRet = CDeviceOperator::CreateCosFile(SKF_OBJECT_RECORD_FILE, SKF_OBJECT_RECORD_FILE_LEN);
    if (ulRet == 0)
        ulRet = CDeviceOperator::WriteCosFile(0, SKF_OBJECT_RECORD_FILE, m_pbRecords, SKF_OBJECT_RECORD_FILE_LEN);
    if (ulRet == 0) {
        TRACE_STEP_OK(OP, "Rebuild Object record file");
        return 0;
    }
    TRACE_STEP_FAIL(OP, "Rebuild Object record file", ulRet);
    unsigned int ulBack = PutRecordFileBack(pbOld, ulOldSize);
    if (ulBack != 0) {
        TRACE_STEP_FAIL(OP, "Put Object record file back", ulBack);
        m_bRecordFileInDoubt = true;
    }
    return ulRet;
}

/* Each round looks at the record file and takes the one step that brings it
 * nearer the old bytes: a file of another size (or one that cannot be seen)
 * is deleted, a missing one created with the old size, one of the old size
 * written.  Only the write's success ends it, so a step whose answer was
 * lost or refused costs a round and is never taken for done. */
unsigned int CApplicationObject::PutRecordFileBack(const unsigned char *pbOld, uint32_t ulOldSize)
{
    /* Enough for the three steps with a failure in each. */
    static const unsigned int ROUNDS = 6;
    /* A look that finds the file gone is one of the expected answers. */
    CExpectedStepCode absent(SW_FILE_NOT_FOUND);
    unsigned int ulRet = SAR_FAIL;
    for (unsigned int ulRound = 0; ulRound < ROUNDS; ++ulRound) {
        uint32_t ulSize = 0;
        unsigned int ulLook = TokenFileSize(this, SKF_OBJECT_RECORD_FILE, &ulSize);
        if (ulLook == SW_FILE_NOT_FOUND) {
            ulRet = CDeviceOperator::CreateCosFile(SKF_OBJECT_RECORD_FILE, (unsigned short)ulOldSize);
        } else if (ulLook != 0 || ulSize != ulOldSize) {
            ulRet = CDeviceOperator::DeleteCosFile(SKF_OBJECT_RECORD_FILE);
        } else {
            ulRet = CDeviceOperator::WriteCosFile(0, SKF_OBJECT_RECORD_FILE, (unsigned char *)pbOld, ulOldSize);
            if (ulRet == 0) return 0;
        }
    }
    return ulRet != 0 ? ulRet : (unsigned int)SAR_FAIL;
}

unsigned int CApplicationObject::IsRecordExist(const char *pszAppName, const char *pszFileName)
{
    for (unsigned int i = 0; i < SKF_OBJECT_RECORD_COUNT; ++i) {
        const unsigned char *pbRecord = m_pbRecords + i * SKF_OBJECT_RECORD_LEN;
        if (!IsFreeRecord(pbRecord) && NameMatches(pbRecord, RECORD_APP_LEN, RECORD_APP_NAME, pszAppName) &&
            NameMatches(pbRecord, RECORD_FILE_LEN, RECORD_FILE_NAME, pszFileName))
            return i;
    }
    return SKF_NO_RECORD;
}

bool CApplicationObject::IsReachableRecord(unsigned int ulIndex)
{
    const unsigned char *pbRecord = m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN;
    uint32_t ulNameLen = GetLE32(pbRecord + RECORD_FILE_LEN);
    if (IsFreeRecord(pbRecord) || ulNameLen == 0 || ulNameLen > SKF_OBJECT_NAME_FIELD) return false;
    char szName[SKF_OBJECT_NAME_FIELD + 1] = {};
    memcpy(szName, pbRecord + RECORD_FILE_NAME, ulNameLen);
    return IsRecordExist(m_szAppName, szName) == ulIndex;
}

unsigned int CApplicationObject::FindFreeRecord()
{
    for (unsigned int i = 0; i < SKF_OBJECT_RECORD_COUNT; ++i) {
        if (IsFreeRecord(m_pbRecords + i * SKF_OBJECT_RECORD_LEN)) return i;
    }
    return SKF_NO_RECORD;
}

unsigned int CApplicationObject::FindAvailabeRecordIndex()
{
    unsigned int ulFree = FindFreeRecord();
    if (ulFree != SKF_NO_RECORD) return ulFree;
    /* No free one: an occupied record that no name reaches is taken back. */
    for (unsigned int i = 0; i < SKF_OBJECT_RECORD_COUNT; ++i) {
        if (!IsReachableRecord(i)) {
            TRACE(LOG_LEVEL_ERROR, "FindAvailabeRecordIndex - unreachable object record %u reclaimed", i);
            return i;
        }
    }
    return SKF_NO_RECORD;
}

unsigned int CApplicationObject::FindLiveRecord(const char *pszOperation, const char *pszFileName,
                                                unsigned int *pulIndex)
{
    OP_CHECK(pszOperation, pszFileName != nullptr, "pszFileName", SAR_INVALIDPARAMERR);
    unsigned int ulRet = LoadObjectRecords(pszOperation);
    if (ulRet != 0) return ulRet;
    unsigned int ulIndex = IsRecordExist(m_szAppName, pszFileName);
    OP_STEP(pszOperation, "IsRecordExist", CHECK_RESULT(ulIndex != SKF_NO_RECORD, SAR_FILE_NOT_EXIST));
    /* A write cut between its new record and the old one's release leaves
     * a second record of the name; left there, a later deletion would bring
     * it back, and a later copy write would make it the one found.  The
     * record the lookup found stays, the others go with their files. */
    for (unsigned int j = ulIndex + 1; j < SKF_OBJECT_RECORD_COUNT; ++j) {
        const unsigned char *pbRecord = m_pbRecords + j * SKF_OBJECT_RECORD_LEN;
        if (IsFreeRecord(pbRecord) || !NameMatches(pbRecord, RECORD_APP_LEN, RECORD_APP_NAME, m_szAppName) ||
            !NameMatches(pbRecord, RECORD_FILE_LEN, RECORD_FILE_NAME, pszFileName))
            continue;
        TRACE(LOG_LEVEL_WARN, "%s - object record %u repeats the name of record %u, freed", pszOperation, j, ulIndex);
        OP_STEP(pszOperation, "Free repeated object record", FreeRecord(j));
    }
    *pulIndex = ulIndex;
    return 0;
}

/* The record freed on the token first, then the object's own files (the
 * layout says how many; a record whose layout cannot be read has its whole
 * run cleared).  A failed record write leaves the files: the name may
 * still be there. */
unsigned int CApplicationObject::FreeRecord(unsigned int ulIndex)
{
    static const char *OP = "FreeRecord";
    ObjectLayout stLayout;
    unsigned int ulPieces = ReadObjectLayout(ulIndex, &stLayout) == 0
                                ? StoredPieces(stLayout.bHeader, stLayout.ulContentLen)
                                : SKF_DATA_OBJECT_FILES_PER_RECORD;
    m_pbLayoutKnown[ulIndex] = false;
    memset(m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN, 0, SKF_OBJECT_RECORD_LEN);
    OP_STEP(OP, "Write Object record file", SaveDataObjRecord(ulIndex));
    OP_STEP(OP, "Delete data object file", ClearDataObjectFiles(ulIndex, 0, ulPieces));
    return 0;
}

/* A record write that failed may still have reached the token (its answer
 * lost): the record is freed again before the files it names are deleted,
 * so that no name is left without its files.  When the freeing fails too,
 * the files stay with whatever the token holds. */
void CApplicationObject::AbandonRecord(unsigned int ulIndex, unsigned int ulPieces)
{
    m_pbLayoutKnown[ulIndex] = false;
    memset(m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN, 0, SKF_OBJECT_RECORD_LEN);
    /* A short record file is written only by its rebuild, which after a
     * failure has put the old bytes back (the record never reached the
     * token) or left the record file in doubt (the name may be there). */
    if (m_bRecordFileInDoubt) {
        TRACE(LOG_LEVEL_ERROR, "AbandonRecord - Object record file in doubt, the files of record %u kept", ulIndex);
        return;
    }
    bool bShortFile = m_bRecordFile && m_ulRecordFileSize < SKF_OBJECT_RECORD_FILE_LEN;
    unsigned int ulRet = bShortFile ? 0 : SaveDataObjRecord(ulIndex);
    if (ulRet != 0) {
        TRACE_STEP_FAIL("AbandonRecord", "Write Object record file", ulRet);
        return;
    }
    ClearDataObjectFiles(ulIndex, 0, ulPieces);
}

/* ---- data object files ---- */

unsigned int CApplicationObject::ReadObjectLayout(unsigned int ulIndex, ObjectLayout *pLayout)
{
    static const char *OP = "GetObjectContentByIndex";
    OP_STEP(OP, "Check object handle while deleting", CHECK_RESULT(ulIndex < SKF_OBJECT_RECORD_COUNT, SAR_OBJERR));
    const unsigned char *pbRecord = m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN;
    /* A record naming another record's files is damaged, not followed; so
     * is one of an in-use value that no writer of this layout leaves.  The
     * name is there and the caller's arguments are sound: what cannot be
     * read is the file. */
    unsigned int ulFirstID = pbRecord[RECORD_FIRST_FILE] | (unsigned int)pbRecord[RECORD_FIRST_FILE + 1] << 8;
    const unsigned char byInUse = pbRecord[RECORD_IN_USE];
    OP_STEP(OP, "Check object record is usable",
            CHECK_RESULT((byInUse == RECORD_LIVE || byInUse == RECORD_UNREADABLE) && ulFirstID == DataFileID(ulIndex, 0),
                         SAR_FILEERR));
    if (m_pbLayoutKnown[ulIndex]) {
        *pLayout = m_pstLayouts[ulIndex];
        return 0;
    }
    unsigned int ulRet = byInUse == RECORD_LIVE ? ReadLayoutFromToken(ulIndex, pLayout)
                                                : ReadUnfinishedLayout(ulIndex, pLayout);
    if (ulRet != 0) return ulRet;
    m_pstLayouts[ulIndex] = *pLayout;
    m_pbLayoutKnown[ulIndex] = true;
    return 0;
}

/* The size of an object's first file.  A missing first file leaves a listed
 * name without content: a file error, not "no such file" (which would send
 * the caller to create a name that exists). */
static unsigned int FirstFileSize(CApplicationObject *pApp, unsigned int ulIndex, uint32_t *pulSize)
{
    unsigned int ulRet = TokenFileSize(pApp, DataFileID(ulIndex, 0), pulSize);
    return ulRet == SW_FILE_NOT_FOUND ? (unsigned int)SAR_FILEERR : ulRet;
}

unsigned int CApplicationObject::ReadLayoutFromToken(unsigned int ulIndex, ObjectLayout *pLayout)
{
    static const char *OP = "GetObjectContentByIndex";
    uint32_t ulFirst = 0;
    OP_STEP(OP, "GetCosFileInfo: Data Object file", FirstFileSize(this, ulIndex, &ulFirst));
    OP_STEP(OP, "Check file length is valid",
            CHECK_RESULT(ulFirst >= 1 && ulFirst <= SKF_DATA_OBJECT_PIECE, SAR_INDATALENERR));
    pLayout->bHeader = false;
    pLayout->ulContentLen = ulFirst;
    pLayout->bUnfinished = false;
    if (ulFirst < SKF_OBJECT_HEADER_LEN) return 0;  /* raw content shorter than a header */
    unsigned char pbHeader[SKF_OBJECT_HEADER_LEN];
    unsigned int ulGot = sizeof(pbHeader);
    OP_STEP(OP, "ReadCOSFile: Data Object file",
            CDeviceOperator::ReadCosFile(0, DataFileID(ulIndex, 0), pbHeader, &ulGot));
    OP_STEP(OP, "ReadCOSFile: Data Object file", CHECK_RESULT(ulGot == sizeof(pbHeader), ERR_BAD_LENGTH));
    if (memcmp(pbHeader, SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC_LEN) != 0) return 0;
    /* A header counts only when the object's files hold what it claims:
     * a single file exactly, several files of whole pieces with a last one
     * large enough. */
    uint32_t ulContent = GetLE32(pbHeader + SKF_OBJECT_MAGIC_LEN);
    if (ulContent == 0 || ulContent > SKF_OBJECT_CONTENT_MAX) return 0;
    unsigned int ulStored = ulContent + SKF_OBJECT_HEADER_LEN;
    unsigned int ulPieces = PiecesFor(ulStored);
    if (ulPieces == 1 ? ulFirst != ulStored : ulFirst != SKF_DATA_OBJECT_PIECE) return 0;
    for (unsigned int k = 1; k < ulPieces; ++k) {
        uint32_t ulSize = 0;
        unsigned int ulRet = TokenFileSize(this, DataFileID(ulIndex, k), &ulSize);
        if (ulRet == SW_FILE_NOT_FOUND) return 0;
        OP_STEP(OP, "GetCosFileInfo: Data Object file", ulRet);
        if (ulSize < PieceLength(ulStored, k) || ulSize > SKF_DATA_OBJECT_PIECE) return 0;
    }
    pLayout->bHeader = true;
    pLayout->ulContentLen = ulContent;
    return 0;
}

/* A record is marked unreadable only while raw content is stored again in
 * the header form, and only once its first file is deleted: from the first
 * file's creation on the files' sizes give the length (raw content is at
 * most one piece, so the header form has one piece, or a whole first piece
 * and a second of at most the header's length).  Before that creation
 * nothing gives it: a file error. */
unsigned int CApplicationObject::ReadUnfinishedLayout(unsigned int ulIndex, ObjectLayout *pLayout)
{
    static const char *OP = "GetObjectContentByIndex";
    uint32_t ulFirst = 0;
    OP_STEP(OP, "GetCosFileInfo: Data Object file", FirstFileSize(this, ulIndex, &ulFirst));
    OP_STEP(OP, "Check file length is valid",
            CHECK_RESULT(ulFirst >= SKF_OBJECT_HEADER_LEN + SKF_OBJECT_MAGIC_LEN && ulFirst <= SKF_DATA_OBJECT_PIECE,
                         SAR_FILEERR));
    uint32_t ulSecond = 0;
    if (ulFirst == SKF_DATA_OBJECT_PIECE) {
        CExpectedStepCode absent(SW_FILE_NOT_FOUND);
        unsigned int ulRet = TokenFileSize(this, DataFileID(ulIndex, 1), &ulSecond);
        /* A file beyond the header's length is none of this object's. */
        if (ulRet == SW_FILE_NOT_FOUND || (ulRet == 0 && ulSecond > SKF_OBJECT_HEADER_LEN)) {
            ulRet = 0;
            ulSecond = 0;
        }
        OP_STEP(OP, "GetCosFileInfo: Data Object file", ulRet);
    }
    pLayout->bHeader = true;
    pLayout->ulContentLen = ulFirst + ulSecond - SKF_OBJECT_HEADER_LEN;
    pLayout->bUnfinished = true;
    TRACE(LOG_LEVEL_WARN, "%s - object record %u unfinished: %u bytes, unreadable until written whole", OP, ulIndex,
          pLayout->ulContentLen);
    return 0;
}

unsigned int CApplicationObject::ReadStoredBytes(unsigned int ulIndex, unsigned int ulStoredOffset,
                                                 unsigned char *pbOut, unsigned int ulLength)
{
    static const char *OP = "ReadCOSFile: Data Object file";
    while (ulLength != 0) {
        unsigned int ulAt = ulStoredOffset % SKF_DATA_OBJECT_PIECE;
        unsigned int ulChunk = SKF_DATA_OBJECT_PIECE - ulAt < ulLength ? SKF_DATA_OBJECT_PIECE - ulAt : ulLength;
        unsigned int ulGot = ulChunk;
        unsigned short usFileID = DataFileID(ulIndex, ulStoredOffset / SKF_DATA_OBJECT_PIECE);
        OP_STEP(OP, "CDeviceOperator::ReadCosFile",
                CDeviceOperator::ReadCosFile((unsigned short)ulAt, usFileID, pbOut, &ulGot));
        OP_STEP(OP, "CHECK read length", CHECK_RESULT(ulGot == ulChunk, ERR_BAD_LENGTH));
        pbOut += ulChunk;
        ulStoredOffset += ulChunk;
        ulLength -= ulChunk;
    }
    return 0;
}

unsigned int CApplicationObject::WriteStoredBytes(unsigned int ulIndex, unsigned int ulStoredOffset,
                                                  const unsigned char *pbData, unsigned int ulLength)
{
    static const char *OP = "Write Data Object file";
    while (ulLength != 0) {
        unsigned int ulAt = ulStoredOffset % SKF_DATA_OBJECT_PIECE;
        unsigned int ulChunk = SKF_DATA_OBJECT_PIECE - ulAt < ulLength ? SKF_DATA_OBJECT_PIECE - ulAt : ulLength;
        unsigned short usFileID = DataFileID(ulIndex, ulStoredOffset / SKF_DATA_OBJECT_PIECE);
        OP_STEP(OP, "CDeviceOperator::WriteCosFile",
                CDeviceOperator::WriteCosFile((unsigned short)ulAt, usFileID, (unsigned char *)pbData, ulChunk));
        pbData += ulChunk;
        ulStoredOffset += ulChunk;
        ulLength -= ulChunk;
    }
    return 0;
}

/* Files k = ulFromPiece to ulToPiece - 1 of the record's run; a missing
 * file ends nothing (a deletion cut short leaves gaps), another failure
 * stops with its code. */
unsigned int CApplicationObject::ClearDataObjectFiles(unsigned int ulIndex, unsigned int ulFromPiece,
                                                      unsigned int ulToPiece)
{
    static const char *OP = "ClearDataObjectFiles";
    /* Absent files are what a sweep mostly meets: no error in the log. */
    CExpectedStepCode absent(SW_FILE_NOT_FOUND);
    for (unsigned int k = ulFromPiece; k < ulToPiece; ++k) {
        unsigned int ulRet = CDeviceOperator::DeleteCosFile(DataFileID(ulIndex, k));
        OP_STEP(OP, "Delete data object file", CHECK_RESULT(ulRet == 0 || ulRet == SW_FILE_NOT_FOUND, ulRet));
    }
    return 0;
}

/* A file of a free record's run that a cut left behind answers "file
 * exists": it belongs to no object, so it is deleted and made again. */
unsigned int CApplicationObject::CreatePieceFile(unsigned short usFileID, unsigned short usLen)
{
    unsigned int ulRet = CDeviceOperator::CreateCosFile(usFileID, usLen);
    if (ulRet == SW_FILE_EXISTS) {
        ulRet = CDeviceOperator::DeleteCosFile(usFileID);
        if (ulRet == 0) ulRet = CDeviceOperator::CreateCosFile(usFileID, usLen);
    }
    return ulRet;
}

/* Files that cuts left in the runs of free records take room that only a
 * sweep of those runs gives back. */
unsigned int CApplicationObject::ClearFreeRuns()
{
    for (unsigned int i = 0; i < SKF_OBJECT_RECORD_COUNT; ++i) {
        if (!IsFreeRecord(m_pbRecords + i * SKF_OBJECT_RECORD_LEN)) continue;
        unsigned int ulRet = ClearDataObjectFiles(i);
        if (ulRet != 0) return ulRet;
    }
    return 0;
}

/* The header, then the files of each piece; after a failure nothing of the
 * object's files is left behind. */
unsigned int CApplicationObject::CreateDataObjectFiles(unsigned int ulIndex, unsigned int ulSize)
{
    static const char *OP = "CreateDataObjectFiles";
    unsigned int ulRet = 0;
    bool bHeader = ulSize > SKF_DATA_OBJECT_PIECE;
    unsigned int ulStored = bHeader ? ulSize + SKF_OBJECT_HEADER_LEN : ulSize;
    unsigned int ulPieces = StoredPieces(bHeader, ulSize);
    for (unsigned int k = 0; k < ulPieces && ulRet == 0; ++k) {
        ulRet = CreatePieceFile(DataFileID(ulIndex, k), (unsigned short)PieceLength(ulStored, k));
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "Create data object file", ulRet);
        } else if (k == 0 && bHeader) {
            unsigned char pbHeader[SKF_OBJECT_HEADER_LEN];
            memcpy(pbHeader, SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC_LEN);
            PutLE32(pbHeader + SKF_OBJECT_MAGIC_LEN, ulSize);
            ulRet = WriteStoredBytes(ulIndex, 0, pbHeader, sizeof(pbHeader));
        }
    }
    if (ulRet != 0) ClearDataObjectFiles(ulIndex, 0, ulPieces);
    return ulRet;
}

/* The record's in-use byte on the token (the rest of the record as the
 * cache holds it); tried twice, since a token that failed one command may
 * take the next. */
unsigned int CApplicationObject::MarkRecord(unsigned int ulIndex, unsigned char byInUse)
{
    m_pbRecords[ulIndex * SKF_OBJECT_RECORD_LEN + RECORD_IN_USE] = byInUse;
    unsigned int ulRet = SaveDataObjRecord(ulIndex);
    if (ulRet != 0) ulRet = SaveDataObjRecord(ulIndex);
    return ulRet;
}

/* Raw content that now begins with the magic, stored in place in the header
 * form.  The later pieces come first (no reader of the raw form looks at
 * them), then the first file is deleted and only then the record marked
 * unreadable, so that a record so marked always has its first file missing
 * or in the new form, whose size gives the content's length: the first file
 * is created, written, and the record marked live again.  No reader takes a
 * half-written first file for content: a missing one or a record marked
 * unreadable answers a file error, and the name stays deletable.  A failure
 * after the deletion puts the old raw content back (trying twice) and the
 * failure is answered. */
unsigned int CApplicationObject::RewriteWithHeader(unsigned int ulIndex, const ObjectLayout &stLayout,
                                                   const std::vector<unsigned char> &vImage)
{
    static const char *OP = "WriteObject";
    const unsigned int ulContent = stLayout.ulContentLen;
    const unsigned int ulStored = (unsigned int)vImage.size();
    const unsigned int ulPieces = PiecesFor(ulStored);
    std::vector<unsigned char> vOld(ulContent);
    unsigned int ulRet = ReadStoredBytes(ulIndex, 0, vOld.data(), ulContent);
    if (ulRet != 0) return ulRet;
    for (unsigned int k = 1; k < ulPieces && ulRet == 0; ++k) {
        ulRet = CreatePieceFile(DataFileID(ulIndex, k), (unsigned short)PieceLength(ulStored, k));
        if (ulRet == 0)
            ulRet = WriteStoredBytes(ulIndex, k * SKF_DATA_OBJECT_PIECE, vImage.data() + k * SKF_DATA_OBJECT_PIECE,
                                     PieceLength(ulStored, k));
    }
    if (ulRet != 0) {
        /* The raw content is untouched; the pieces go again. */
        TRACE_STEP_FAIL(OP, "Rewrite with header", ulRet);
        ClearDataObjectFiles(ulIndex, 1, ulPieces);
        OPENSSL_cleanse(vOld.data(), vOld.size());
        return ulRet;
    }
    /* Once the first file's deletion was sent, it may be gone whatever the
     * token answered; once the mark was sent, the record may be marked. */
    bool bMarkSent = false;
    ulRet = CDeviceOperator::DeleteCosFile(DataFileID(ulIndex, 0));
    if (ulRet == 0) {
        bMarkSent = true;
        ulRet = MarkRecord(ulIndex, RECORD_UNREADABLE);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "Mark object record unreadable", ulRet);
    }
    if (ulRet == 0)
        ulRet = CDeviceOperator::CreateCosFile(DataFileID(ulIndex, 0), (unsigned short)PieceLength(ulStored, 0));
    if (ulRet == 0) ulRet = WriteStoredBytes(ulIndex, 0, vImage.data(), PieceLength(ulStored, 0));
    if (ulRet == 0) {
        /* The new content is whole; a failure here leaves it behind a
         * record marked unreadable, answered as a failure (and finished by
         * the next whole write). */
        ulRet = MarkRecord(ulIndex, RECORD_LIVE);
        if (ulRet != 0) TRACE_STEP_FAIL(OP, "Mark object record live", ulRet);
        OPENSSL_cleanse(vOld.data(), vOld.size());
        return ulRet;
    }
    TRACE_STEP_FAIL(OP, "Rewrite with header", ulRet);
    unsigned int ulRestored = 1;
    for (unsigned int ulTry = 0; ulTry < 2 && ulRestored != 0; ++ulTry) {
        CDeviceOperator::DeleteCosFile(DataFileID(ulIndex, 0));
        ulRestored = CDeviceOperator::CreateCosFile(DataFileID(ulIndex, 0), (unsigned short)ulContent);
        if (ulRestored == 0) ulRestored = WriteStoredBytes(ulIndex, 0, vOld.data(), ulContent);
    }
    if (ulRestored == 0) ulRestored = ClearDataObjectFiles(ulIndex, 1, ulPieces);
    /* The old content is back and nothing else names its files: readable
     * again.  Else the record stays unreadable, and deletable. */
    if (ulRestored == 0 && bMarkSent) ulRestored = MarkRecord(ulIndex, RECORD_LIVE);
    if (ulRestored != 0) TRACE_STEP_FAIL(OP, "Restore raw content", ulRestored);
    OPENSSL_cleanse(vOld.data(), vOld.size());
    return ulRet;
}

/* The object's files have the sizes its length gives (they gave it): the
 * header and the content go into them in place, then the record is marked
 * live.  Cut short, the record stays unreadable and the next whole write
 * finishes it. */
unsigned int CApplicationObject::FinishObject(unsigned int ulIndex, const ObjectLayout &stLayout,
                                              const unsigned char *pbData)
{
    static const char *OP = "WriteObject";
    std::vector<unsigned char> vImage(SKF_OBJECT_HEADER_LEN + stLayout.ulContentLen);
    memcpy(vImage.data(), SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC_LEN);
    PutLE32(vImage.data() + SKF_OBJECT_MAGIC_LEN, stLayout.ulContentLen);
    memcpy(vImage.data() + SKF_OBJECT_HEADER_LEN, pbData, stLayout.ulContentLen);
    unsigned int ulRet = WriteStoredBytes(ulIndex, 0, vImage.data(), (unsigned int)vImage.size());
    OPENSSL_cleanse(vImage.data(), vImage.size());
    OP_STEP(OP, "Write unfinished object", ulRet);
    OP_STEP(OP, "Mark object record live", MarkRecord(ulIndex, RECORD_LIVE));
    m_pstLayouts[ulIndex] = ObjectLayout{true, stLayout.ulContentLen};
    return 0;
}

/* The stored bytes of the object after a write of ulLength bytes at offset
 * 0, in the header form or raw as bHeader says. */
unsigned int CApplicationObject::NewStoredImage(unsigned int ulIndex, const ObjectLayout &stLayout,
                                                const unsigned char *pbData, unsigned int ulLength, bool bHeader,
                                                std::vector<unsigned char> *pvImage)
{
    const unsigned int ulContent = stLayout.ulContentLen;
    const unsigned int ulOldAt = stLayout.bHeader ? SKF_OBJECT_HEADER_LEN : 0;
    std::vector<unsigned char> &vImage = *pvImage;
    vImage.assign(SKF_OBJECT_HEADER_LEN + ulContent, 0);
    unsigned char *pbContent = vImage.data() + SKF_OBJECT_HEADER_LEN;
    memcpy(pbContent, pbData, ulLength);
    unsigned int ulRet = ReadStoredBytes(ulIndex, ulOldAt + ulLength, pbContent + ulLength, ulContent - ulLength);
    if (ulRet != 0) return ulRet;
    if (bHeader) {
        memcpy(vImage.data(), SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC_LEN);
        PutLE32(vImage.data() + SKF_OBJECT_MAGIC_LEN, ulContent);
    } else {
        vImage.erase(vImage.begin(), vImage.begin() + SKF_OBJECT_HEADER_LEN);
    }
    return 0;
}

/* The object of record ulIndex written whole into the run of the free
 * record ulTo, whose record then takes the name; the old record is freed
 * after it.  Each step leaves one record of the name that reads whole: the
 * old one until the new record is written, the new one after (a second
 * record of the name that a cut leaves is freed by the next operation on
 * the name).  A failure before the switch leaves nothing of the copy
 * behind. */
unsigned int CApplicationObject::WriteObjectCopy(unsigned int ulIndex, unsigned int ulTo,
                                                 const ObjectLayout &stOld, const std::vector<unsigned char> &vImage,
                                                 bool bHeader)
{
    static const char *OP = "WriteObject";
    const unsigned int ulStored = (unsigned int)vImage.size();
    const unsigned int ulPieces = StoredPieces(bHeader, stOld.ulContentLen);
    unsigned int ulRet = 0;
    for (unsigned int k = 0; k < ulPieces && ulRet == 0; ++k)
        ulRet = CreatePieceFile(DataFileID(ulTo, k), (unsigned short)PieceLength(ulStored, k));
    if (ulRet == 0) ulRet = WriteStoredBytes(ulTo, 0, vImage.data(), ulStored);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "Write copy of the object", ulRet);
        ClearDataObjectFiles(ulTo, 0, ulPieces);
        return ulRet;
    }
    unsigned char *pbFrom = m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN;
    unsigned char *pbTo = m_pbRecords + ulTo * SKF_OBJECT_RECORD_LEN;
    memcpy(pbTo, pbFrom, SKF_OBJECT_RECORD_LEN);
    pbTo[RECORD_FIRST_FILE] = (unsigned char)DataFileID(ulTo, 0);
    pbTo[RECORD_FIRST_FILE + 1] = (unsigned char)(DataFileID(ulTo, 0) >> 8);
    ulRet = SaveDataObjRecord(ulTo);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "Update Data Object Record file", ulRet);
        AbandonRecord(ulTo, ulPieces);
        return ulRet;
    }
    m_pbLayoutKnown[ulIndex] = false;
    m_pstLayouts[ulTo] = ObjectLayout{bHeader, stOld.ulContentLen};
    m_pbLayoutKnown[ulTo] = true;
    memset(pbFrom, 0, SKF_OBJECT_RECORD_LEN);
    OP_STEP(OP, "Update Data Object Record file", SaveDataObjRecord(ulIndex));
    /* The old files are free; what a failure here leaves in the free run is
     * cleared when a creation finds no room. */
    ClearDataObjectFiles(ulIndex, 0, StoredPieces(stOld.bHeader, stOld.ulContentLen));
    return 0;
}

/* Whether the object's content begins with the magic after ulLength bytes
 * are written at its start (raw content shorter than the magic never
 * does): only the bytes of the magic not written are read. */
unsigned int CApplicationObject::BeginsWithMagic(unsigned int ulIndex, const ObjectLayout &stLayout,
                                                 const unsigned char *pbData, unsigned int ulLength, bool *pbMagic)
{
    *pbMagic = false;
    if (stLayout.ulContentLen < SKF_OBJECT_MAGIC_LEN) return 0;
    unsigned char pbFirst[SKF_OBJECT_MAGIC_LEN];
    unsigned int ulOwn = ulLength < SKF_OBJECT_MAGIC_LEN ? ulLength : SKF_OBJECT_MAGIC_LEN;
    memcpy(pbFirst, pbData, ulOwn);
    if (memcmp(pbFirst, SKF_OBJECT_MAGIC, ulOwn) != 0) return 0;
    unsigned int ulAt = stLayout.bHeader ? SKF_OBJECT_HEADER_LEN : 0;
    if (ulOwn < SKF_OBJECT_MAGIC_LEN) {
        unsigned int ulRet = ReadStoredBytes(ulIndex, ulAt + ulOwn, pbFirst + ulOwn, SKF_OBJECT_MAGIC_LEN - ulOwn);
        if (ulRet != 0) return ulRet;
    }
    *pbMagic = memcmp(pbFirst, SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC_LEN) == 0;
    return 0;
}

unsigned int CApplicationObject::WriteObject(unsigned int ulIndex, unsigned char *pbData, unsigned int ulLength)
{
    static const char *OP = "WriteObject";
    ObjectLayout stLayout;
    unsigned int ulRet = ReadObjectLayout(ulIndex, &stLayout);
    if (ulRet != 0) return ulRet;
    /* Token files keep their sizes: more than the object holds would run
     * into files that are not there (or another piece's bytes). */
    OP_STEP(OP, "Check data length", CHECK_RESULT(ulLength <= stLayout.ulContentLen, SAR_INDATALENERR));
    /* Only the whole content finishes an unfinished object: nothing of it
     * can be kept. */
    if (stLayout.bUnfinished) {
        OP_STEP(OP, "Check whole content", CHECK_RESULT(ulLength == stLayout.ulContentLen, SAR_FILEERR));
        return FinishObject(ulIndex, stLayout, pbData);
    }
    if (ulLength == 0) return 0;
    /* Raw content that would begin with the magic goes into the header form
     * (every reader would take it for a header). */
    bool bMagic = false;
    if (!stLayout.bHeader) {
        ulRet = BeginsWithMagic(ulIndex, stLayout, pbData, ulLength, &bMagic);
        if (ulRet != 0) return ulRet;
    }
    const bool bHeader = stLayout.bHeader || bMagic;
    const unsigned int ulAt = bHeader ? SKF_OBJECT_HEADER_LEN : 0;
    /* A shorter write in the object's own form goes in place, costing only
     * the bytes it writes: cut short, the bytes up to the cut are new and
     * the rest old. */
    if (ulLength < stLayout.ulContentLen && bHeader == stLayout.bHeader)
        return WriteStoredBytes(ulIndex, ulAt, pbData, ulLength);
    std::vector<unsigned char> vImage;
    ulRet = NewStoredImage(ulIndex, stLayout, pbData, ulLength, bHeader, &vImage);
    if (ulRet == 0) {
        /* All or nothing through a free record when the token has room for
         * a copy; else in place. */
        unsigned int ulTo = FindFreeRecord();
        ulRet = ulTo == SKF_NO_RECORD ? SW_FILE_NO_ROOM : WriteObjectCopy(ulIndex, ulTo, stLayout, vImage, bHeader);
        if (ulRet == SW_FILE_NO_ROOM) {
            if (bHeader == stLayout.bHeader)
                ulRet = WriteStoredBytes(ulIndex, ulAt, vImage.data() + ulAt, ulLength);
            else
                ulRet = RewriteWithHeader(ulIndex, stLayout, vImage);
            /* Either way the object has the new form and its length. */
            m_pstLayouts[ulIndex] = ObjectLayout{bHeader, stLayout.ulContentLen};
        }
    }
    OPENSSL_cleanse(vImage.data(), vImage.size());
    return ulRet;
}

/* ---- the IApplication file operations ---- */

unsigned int CApplicationObject::EnumCosFile(char *pszFileList, unsigned int *pulSize)
{
    static const char *OP = "EnumCosFile";
    OP_CHECK(OP, pulSize != nullptr, "pulSize", SAR_INVALIDPARAMERR);
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulRet = LoadObjectRecords(OP);
        if (ulRet != 0) {
            *pulSize = 0;
            return ulRet;
        }
        char szList[SKF_OBJECT_RECORD_COUNT * (SKF_OBJECT_NAME_FIELD + 1) + 1];
        unsigned int ulPos = 0;
        for (unsigned int i = 0; i < SKF_OBJECT_RECORD_COUNT; ++i) {
            const unsigned char *pbRecord = m_pbRecords + i * SKF_OBJECT_RECORD_LEN;
            if (IsFreeRecord(pbRecord)) continue;
            /* Listed is what a name reaches, each name once; an occupied
             * record that no name reaches is reported, and the next
             * creation that finds no free record takes it back.  A record
             * with unreadable content is listed, so that it can be deleted. */
            if (!IsReachableRecord(i)) {
                TRACE(LOG_LEVEL_ERROR, "%s - object record %u reached by no name, reclaimable", OP, i);
                continue;
            }
            uint32_t ulNameLen = GetLE32(pbRecord + RECORD_FILE_LEN);
            ObjectLayout stLayout;
            ulRet = ReadObjectLayout(i, &stLayout);
            if (ulRet != 0)
                TRACE(LOG_LEVEL_ERROR, "%s - object record %u unreadable, kept (0x%08X)", OP, i, ulRet);
            memcpy(szList + ulPos, pbRecord + RECORD_FILE_NAME, ulNameLen);
            ulPos += ulNameLen;
            szList[ulPos++] = '\0';
        }
        if (ulPos != 0) szList[ulPos++] = '\0';
        if (pszFileList == nullptr) {
            TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pszFileList", 0ul, BRIO_FILE_NAME, __LINE__);
            *pulSize = ulPos;
            return 0;
        }
        OP_CHECK_SIZE(OP, *pulSize >= ulPos, "CHECK *pulSize SIZE", SAR_BUFFER_TOO_SMALL, pulSize, ulPos);
        memcpy(pszFileList, szList, ulPos);
        *pulSize = ulPos;
        return 0;
    });
}

unsigned int CApplicationObject::GetCosFileInfo(char *pszFileName, Struct_FILEATTRIBUTE *pFileInfo)
{
    static const char *OP = "GetCosFileInfo";
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulIndex = 0;
        unsigned int ulRet = FindLiveRecord(OP, pszFileName, &ulIndex);
        if (ulRet != 0) return ulRet;
        ObjectLayout stLayout;
        ulRet = ReadObjectLayout(ulIndex, &stLayout);
        if (ulRet != 0) return ulRet;
        if (pFileInfo != nullptr) {
            size_t nName = strlen(pszFileName);
            memset(pFileInfo->FileName, 0, sizeof(pFileInfo->FileName));
            memcpy(pFileInfo->FileName, pszFileName,
                   nName < sizeof(pFileInfo->FileName) ? nName : sizeof(pFileInfo->FileName));
            pFileInfo->FileSize = stLayout.ulContentLen;
            bool bRights = m_pbRecords[ulIndex * SKF_OBJECT_RECORD_LEN + RECORD_RIGHTS] != 0;
            pFileInfo->ReadRights = pFileInfo->WriteRights = bRights ? RIGHTS_USER : RIGHTS_ANYONE;
        }
        return 0;
    });
}

unsigned int CApplicationObject::CreateCosFile(char *pszFileName, unsigned int ulFileSize, unsigned int ulReadRights,
                                               unsigned int ulWriteRights)
{
    static const char *OP = "CreateCosFile";
    (void)ulWriteRights;  /* not stored: the record keeps one rights flag */
    OP_CHECK(OP, pszFileName != nullptr, "pszFileName", SAR_INVALIDPARAMERR);
    size_t nName = strnlen(pszFileName, SKF_OBJECT_NAME_MAX + 1);
    OP_CHECK(OP, nName != 0 && nName <= SKF_OBJECT_NAME_MAX, "pszFileName length", SAR_NAMELENERR);
    /* Beyond the 32 files of a record an object would reach into the next
     * record's files; an empty one fits no form (token files hold at least
     * one byte, and readers refuse a header of length 0). */
    OP_CHECK(OP, ulFileSize != 0 && ulFileSize <= SKF_OBJECT_CONTENT_MAX, "ulFileSize", SAR_INDATALENERR);
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulRet = LoadObjectRecords(OP);
        if (ulRet != 0) return ulRet;
        OP_STEP(OP, "IsRecordExist",
                CHECK_RESULT(IsRecordExist(m_szAppName, pszFileName) == SKF_NO_RECORD, SAR_FILE_ALREADY_EXIST));
        unsigned int ulIndex = FindAvailabeRecordIndex();
        OP_STEP(OP, "FindAvailabeRecordIndex", CHECK_RESULT(ulIndex != SKF_NO_RECORD, SAR_NO_ROOM));
        m_pbLayoutKnown[ulIndex] = false;
        unsigned char *pbRecord = m_pbRecords + ulIndex * SKF_OBJECT_RECORD_LEN;
        /* A damaged record taken back: nothing says which of its run's files
         * are its own. */
        if (!IsFreeRecord(pbRecord)) OP_STEP(OP, "ClearDataObjectFiles", ClearDataObjectFiles(ulIndex));
        ulRet = CreateDataObjectFiles(ulIndex, ulFileSize);
        if (ulRet == SW_FILE_NO_ROOM) {
            /* Room that cuts left in the free records' runs is taken back,
             * once. */
            OP_STEP(OP, "Clear free records' runs", ClearFreeRuns());
            ulRet = CreateDataObjectFiles(ulIndex, ulFileSize);
        }
        OP_STEP(OP, "CreateDataObjectFiles", ulRet);
        const bool bHeader = ulFileSize > SKF_DATA_OBJECT_PIECE;
        size_t nApp = strlen(m_szAppName);
        memset(pbRecord, 0, SKF_OBJECT_RECORD_LEN);
        pbRecord[RECORD_IN_USE] = RECORD_LIVE;
        pbRecord[RECORD_RIGHTS] = ulReadRights != RIGHTS_ANYONE;
        pbRecord[RECORD_WRITTEN] = 1;
        pbRecord[RECORD_FIRST_FILE] = (unsigned char)DataFileID(ulIndex, 0);
        pbRecord[RECORD_FIRST_FILE + 1] = (unsigned char)(DataFileID(ulIndex, 0) >> 8);
        PutLE32(pbRecord + RECORD_APP_LEN, (uint32_t)nApp);
        memcpy(pbRecord + RECORD_APP_NAME, m_szAppName, nApp);
        PutLE32(pbRecord + RECORD_FILE_LEN, (uint32_t)nName);
        memcpy(pbRecord + RECORD_FILE_NAME, pszFileName, nName);
        ulRet = SaveDataObjRecord(ulIndex);
        if (ulRet != 0) {
            TRACE_STEP_FAIL(OP, "Update Data Object Record file", ulRet);
            AbandonRecord(ulIndex, StoredPieces(bHeader, ulFileSize));
            return ulRet;
        }
        TRACE_STEP_OK(OP, "Update Data Object Record file");
        m_pstLayouts[ulIndex] = ObjectLayout{bHeader, ulFileSize};
        m_pbLayoutKnown[ulIndex] = true;
        return 0;
    });
}

unsigned int CApplicationObject::DeleteCosFile(char *pszFileName)
{
    static const char *OP = "DeleteCosFile";
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulIndex = 0;
        unsigned int ulRet = FindLiveRecord(OP, pszFileName, &ulIndex);
        if (ulRet != 0) return ulRet;
        OP_STEP(OP, "FreeRecord", FreeRecord(ulIndex));
        return 0;
    });
}

unsigned int CApplicationObject::WriteCosFile(char *pszFileName, unsigned int ulOffset, unsigned char *pbData,
                                              unsigned int ulLength)
{
    static const char *OP = "WriteCosFile";
    OP_CHECK(OP, ulOffset == 0, "ulOffset", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pbData != nullptr, "pbyInbuf", SAR_INVALIDPARAMERR);
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulIndex = 0;
        unsigned int ulRet = FindLiveRecord(OP, pszFileName, &ulIndex);
        if (ulRet != 0) return ulRet;
        OP_STEP(OP, "WriteObject", WriteObject(ulIndex, pbData, ulLength));
        return 0;
    });
}

unsigned int CApplicationObject::ReadCosFile(char *pszFileName, unsigned int ulOffset, unsigned int ulSize,
                                             unsigned char *pbOut, unsigned int *pulOutLen)
{
    static const char *OP = "ReadCosFile";
    OP_CHECK(OP, pulOutLen != nullptr, "pulOutLen", SAR_INVALIDPARAMERR);
    return UnderFileLock(OP, [&]() -> unsigned int {
        unsigned int ulIndex = 0;
        ObjectLayout stLayout;
        unsigned int ulRet = FindLiveRecord(OP, pszFileName, &ulIndex);
        if (ulRet == 0) ulRet = ReadObjectLayout(ulIndex, &stLayout);
        if (ulRet == 0 && stLayout.bUnfinished) {
            ulRet = SAR_FILEERR;
            TRACE_STEP_FAIL(OP, "CHECK object content is whole", ulRet);
        }
        if (ulRet != 0) {
            *pulOutLen = 0;
            return ulRet;
        }
        /* GM/T 0016: the bytes from the offset, at most ulSize of them. */
        OP_CHECK_SIZE(OP, ulOffset <= stLayout.ulContentLen, "CHECK ulOffset", SAR_INVALIDPARAMERR, pulOutLen, 0u);
        unsigned int ulLeft = stLayout.ulContentLen - ulOffset;
        unsigned int ulLen = ulSize < ulLeft ? ulSize : ulLeft;
        if (pbOut == nullptr) {
            TRACE(LOG_LEVEL_INFO, "%s - %s (0x%08lx)[%s:%d]", OP, "CHECK pbyOutData", 0ul, BRIO_FILE_NAME, __LINE__);
            *pulOutLen = ulLen;
            return 0;
        }
        OP_CHECK_SIZE(OP, *pulOutLen >= ulLen, "CHECK *pulOutLen SIZE", SAR_BUFFER_TOO_SMALL, pulOutLen, ulLen);
        ulRet = ReadStoredBytes(ulIndex, (stLayout.bHeader ? SKF_OBJECT_HEADER_LEN : 0) + ulOffset, pbOut, ulLen);
        *pulOutLen = ulRet == 0 ? ulLen : 0;
        return ulRet;
    });
}
