/* The SKF file layer against the virtual token: contents of every size and
 * form written and read back, the layout on the token's numbered files
 * (which other hosts read and write), exact names, the four records, damaged
 * records, records shared by handles, connections and processes, and what
 * is read again after a change. */
#include "ApplicationTestToken.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>

#include <openssl/rand.h>

#include "SarnCore/APDU.h"
#include "SarnCore/APDUChipBrio.h"
#include "SarnCore/APDUCommon.h"
#include "SarnCore/APDUFile.h"
#include "SarnCore/BrioContext.h"
#include "SkfLogCapture.h"
#include "TransportPause.h"
#include "skf/DeviceObject.h"

extern char **environ;

/* The virtual token answers at once: its commands go without the
 * transport's pause. */
static const struct PauseSkipped {
    PauseSkipped() { transport_pause::Skip(true); }
} s_pauseSkipped;

static const unsigned int PIECE = SKF_DATA_OBJECT_PIECE;
static const unsigned int RECORD = SKF_OBJECT_RECORD_LEN;

static unsigned short DataFile(unsigned int ulIndex, unsigned int k)
{
    return (unsigned short)(SKF_DATA_OBJECT_FILE_BASE + 32 * ulIndex + k);
}

static Bytes RandomBytes(size_t n)
{
    Bytes v(n);
    if (n != 0) {
        EXPECT_EQ(1, RAND_bytes(v.data(), (int)n));
    }
    return v;
}

static Bytes LE32(uint32_t ul)
{
    return Bytes{(unsigned char)ul, (unsigned char)(ul >> 8), (unsigned char)(ul >> 16), (unsigned char)(ul >> 24)};
}

static Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes &p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

static Bytes Header(uint32_t ulContent)
{
    return Concat({Bytes{'V', 'E', 'X', 'A'}, LE32(ulContent)});
}

/* A record as every host writes it. */
static Bytes Record(unsigned int ulIndex, const std::string &file, unsigned char byInUse = 1,
                    unsigned char byRights = 1, const std::string &app = APPLICATION_TEST_NAME)
{
    Bytes v(RECORD, 0);
    v[0] = byInUse;
    v[1] = byRights;
    v[2] = 1;
    unsigned int ulFirst = DataFile(ulIndex, 0);
    v[4] = (unsigned char)ulFirst;
    v[5] = (unsigned char)(ulFirst >> 8);
    Bytes appLen = LE32((uint32_t)app.size()), fileLen = LE32((uint32_t)file.size());
    std::copy(appLen.begin(), appLen.end(), v.begin() + 12);
    std::copy(app.begin(), app.end(), v.begin() + 16);
    std::copy(fileLen.begin(), fileLen.end(), v.begin() + 80);
    std::copy(file.begin(), file.end(), v.begin() + 84);
    return v;
}

static Bytes Slice(const Bytes &v, size_t at, size_t n)
{
    return Bytes(v.begin() + at, v.begin() + at + n);
}

/* The record that holds the live file of that name in a record file's
 * bytes (writes move a file to another record); 4 when none does. */
static unsigned int RecordOf(const Bytes &records, const std::string &file)
{
    for (unsigned int i = 0; i < 4 && (i + 1) * RECORD <= records.size(); ++i) {
        const unsigned char *pb = records.data() + i * RECORD;
        if (pb[0] == 1 && pb[80] == file.size() && memcmp(pb + 84, file.data(), file.size()) == 0) return i;
    }
    return 4;
}

static std::string FileList(CApplicationObject *pApp)
{
    return NameList([pApp](char *psz, unsigned int *pulSize) { return pApp->EnumCosFile(psz, pulSize); });
}

/* The bytes from ulOffset, at most ulSize of them. */
static Bytes ReadBack(CApplicationObject *pApp, const char *pszName, unsigned int ulOffset = 0,
                      unsigned int ulSize = 0xFFFFFFFFu)
{
    unsigned int ulLen = 0;
    EXPECT_EQ(0u, pApp->ReadCosFile((char *)pszName, ulOffset, ulSize, nullptr, &ulLen)) << pszName;
    Bytes v(ulLen + 1, 0x5A);
    unsigned int ulRoom = (unsigned int)v.size();
    EXPECT_EQ(0u, pApp->ReadCosFile((char *)pszName, ulOffset, ulSize, v.data(), &ulRoom)) << pszName;
    EXPECT_EQ(ulLen, ulRoom);
    EXPECT_EQ(0x5A, v[ulLen]) << "written beyond the length";
    v.resize(ulRoom);
    return v;
}

static unsigned int FileSize(CApplicationObject *pApp, const char *pszName)
{
    FILEATTRIBUTE stInfo;
    memset(&stInfo, 0x7f, sizeof(stInfo));
    EXPECT_EQ(0u, pApp->GetCosFileInfo((char *)pszName, &stInfo));
    return stInfo.FileSize;
}

/* ---- contents of every size ---- */

/* The content sizes, each on a token of its own; 0 stands for the largest
 * content the virtual token's file space holds beside the record file. */
struct SizeCase {
    unsigned int ulAddr;
    unsigned int ulSize;
};

std::ostream &operator<<(std::ostream &os, const SizeCase &c) { return os << c.ulSize << " bytes"; }

class ApplicationSizeTest : public ApplicationTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ApplicationSizeTest, ContentReadsBackByteIdentical)
{
    CApplicationObject *pApp = OpenApp(GetParam().ulAddr);
    unsigned int ulSize = GetParam().ulSize;
    if (ulSize == 0) {
        /* Its free space less the header. */
        _QV_DEV_INFO stInfo;
        ASSERT_EQ(0u, Operator()->GetDeviceInfo(&stInfo));
        ulSize = stInfo.ulFreeSpace - SKF_OBJECT_HEADER_LEN;
        ASSERT_GT(ulSize, 2 * PIECE);
    }
    /* The token files k = 0, 1, ...: raw content in one file, larger
     * content behind the header in pieces. */
    std::vector<unsigned int> files;
    unsigned int ulStored = ulSize > PIECE ? ulSize + SKF_OBJECT_HEADER_LEN : ulSize;
    for (unsigned int ulAt = 0; ulAt < ulStored; ulAt += PIECE) files.push_back(std::min(PIECE, ulStored - ulAt));

    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"sized", ulSize, 0xFF, 0xFF));
    /* Before any write the file reads back at its size. */
    EXPECT_EQ(ulSize, ReadBack(pApp, "sized").size());
    for (unsigned int k = 0; k <= files.size(); ++k) {
        Bytes file = RawFile(DataFile(0, k));
        EXPECT_EQ(k < files.size() ? files[k] : 0u, file.size()) << k;
        if (k == 0 && files.size() > 1) {
            EXPECT_EQ(Header(ulSize), Slice(file, 0, 8));
        }
    }
    Bytes data = RandomBytes(ulSize);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"sized", 0, data.data(), ulSize));
    EXPECT_EQ(data, ReadBack(pApp, "sized"));
    EXPECT_EQ(ulSize, FileSize(pApp, "sized"));
    /* Offsets and sizes on read, across the piece boundaries. */
    for (unsigned int ulOffset : {ulSize / 2, PIECE - 4, ulSize - 1}) {
        if (ulOffset > ulSize) continue;
        for (unsigned int ulWanted : {1u, 300u, ulSize}) {
            unsigned int ulLen = std::min(ulWanted, ulSize - ulOffset);
            EXPECT_EQ(Slice(data, ulOffset, ulLen), ReadBack(pApp, "sized", ulOffset, ulWanted))
                << ulOffset << "+" << ulWanted;
        }
    }
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"sized"));
    for (unsigned int k = 0; k < files.size(); ++k) EXPECT_EQ(0u, RawFile(DataFile(0, k)).size()) << k;
    EXPECT_EQ(std::string(), FileList(pApp));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ApplicationSizeTest,
                         ::testing::Values(SizeCase{40, 1}, SizeCase{41, 5}, SizeCase{42, 100},
                                           SizeCase{43, PIECE}, SizeCase{44, PIECE + 1}, SizeCase{45, 30000},
                                           SizeCase{46, 0}),
                         [](const ::testing::TestParamInfo<SizeCase> &info) {
                             return info.param.ulSize == 0 ? std::string("LargestTheTokenHolds")
                                                           : "Bytes" + std::to_string(info.param.ulSize);
                         });

TEST_F(ApplicationTest, LargestObjectFillsTheRecordsThirtyTwoFiles)
{
    extraInitArgs = {"--file-space", "1048576"};
    CApplicationObject *pApp = OpenApp(51);
    const unsigned int ulSize = SKF_OBJECT_CONTENT_MAX;
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"largest", ulSize, 0xFF, 0xFF));
    for (unsigned int k = 0; k <= 32; ++k) {
        uint32_t ulFile = 0;
        unsigned int ulRet = Operator()->GetCosFileInfo(DataFile(0, k), 0, sizeof(ulFile), (unsigned char *)&ulFile);
        EXPECT_EQ(k < 32 ? 0u : 0x8000F102u, ulRet) << k;
        EXPECT_EQ(k < 32 ? PIECE : 0u, ulFile) << k;
    }
    Bytes data = RandomBytes(ulSize);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"largest", 0, data.data(), ulSize));
    EXPECT_EQ(data, ReadBack(pApp, "largest"));
    EXPECT_EQ(Header(ulSize), Slice(RawFile(DataFile(0, 0)), 0, 8));
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"largest"));
    EXPECT_EQ(std::string(), FileList(pApp));
}

TEST_F(ApplicationTest, SizesBeyondTheRecordsFilesAreRefused)
{
    CApplicationObject *pApp = OpenApp(21);
    /* 32 files of 24,576 bytes hold the header and 786,424 bytes. */
    EXPECT_EQ(786424u, SKF_OBJECT_CONTENT_MAX);
    EXPECT_EQ((unsigned int)SAR_INDATALENERR, pApp->CreateCosFile((char *)"huge", 786425, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_INDATALENERR, pApp->CreateCosFile((char *)"huge", 0xFFFFFFFFu, 0xFF, 0xFF));
    /* No layout holds an empty file: a raw one would need a token file of
     * no bytes, and a header of length 0 is refused by every reader. */
    EXPECT_EQ((unsigned int)SAR_INDATALENERR, pApp->CreateCosFile((char *)"empty", 0, 0xFF, 0xFF));
    /* The largest allowed size passes the layer; the virtual token has no
     * room for it, and nothing of it stays behind. */
    EXPECT_EQ(0x8000F104u, pApp->CreateCosFile((char *)"huge", SKF_OBJECT_CONTENT_MAX, 0xFF, 0xFF));
    EXPECT_EQ(std::string(), FileList(pApp));
    for (unsigned int k = 0; k < 3; ++k) EXPECT_EQ(0u, RawFile(DataFile(0, k)).size()) << k;
    EXPECT_EQ(Bytes(SKF_OBJECT_RECORD_FILE_LEN, 0), RawFile(SKF_OBJECT_RECORD_FILE));
    /* The next record's files stay untouched by the largest object. */
    EXPECT_EQ(0xD09Fu, DataFile(3, 31));
}

/* ---- writes ---- */

TEST_F(ApplicationTest, WritesKeepTheObjectsForm)
{
    CApplicationObject *pApp = OpenApp(22);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"large", 30000, 0xFF, 0xFF));
    Bytes full = RandomBytes(30000);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"large", 0, full.data(), 30000));
    /* A write of up to one piece into a large object keeps its header. */
    Bytes part = RandomBytes(100);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"large", 0, part.data(), 100));
    std::copy(part.begin(), part.end(), full.begin());
    EXPECT_EQ(full, ReadBack(pApp, "large"));
    unsigned int ulLarge = RecordOf(RawFile(SKF_OBJECT_RECORD_FILE), "large");
    ASSERT_LT(ulLarge, 4u);
    EXPECT_EQ(Header(30000), Slice(RawFile(DataFile(ulLarge, 0)), 0, 8));
    Bytes piece = RandomBytes(PIECE);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"large", 0, piece.data(), PIECE));
    std::copy(piece.begin(), piece.end(), full.begin());
    EXPECT_EQ(full, ReadBack(pApp, "large"));

    /* A raw object: a shorter write leaves the rest of its bytes. */
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"small", 100, 0xFF, 0xFF));
    Bytes small = RandomBytes(100);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"small", 0, small.data(), 100));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"small", 0, part.data(), 40));
    std::copy(part.begin(), part.begin() + 40, small.begin());
    EXPECT_EQ(small, ReadBack(pApp, "small"));

    struct Refusal {
        const char *pszName;
        unsigned int ulOffset;
        unsigned int ulLength;
        unsigned int ulExpected;
    } refusals[] = {
        {"small", 0, 101, SAR_INDATALENERR},
        {"large", 0, 30001, SAR_INDATALENERR},
        {"large", 0, 40000, SAR_INDATALENERR},
        {"small", 1, 10, SAR_INVALIDPARAMERR},
        {"missing", 0, 10, SAR_FILE_NOT_EXIST},
    };
    Bytes big = RandomBytes(40000);
    for (const Refusal &r : refusals)
        EXPECT_EQ(r.ulExpected, pApp->WriteCosFile((char *)r.pszName, r.ulOffset, big.data(), r.ulLength))
            << r.pszName << " " << r.ulLength;
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->WriteCosFile((char *)"small", 0, nullptr, 10));
    EXPECT_EQ(0u, pApp->WriteCosFile((char *)"small", 0, big.data(), 0));
    EXPECT_EQ(small, ReadBack(pApp, "small"));
    EXPECT_EQ(full, ReadBack(pApp, "large"));
}

TEST_F(ApplicationTest, ReadOffsetsAndSizes)
{
    CApplicationObject *pApp = OpenApp(23);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"f", 50, 0xFF, 0xFF));
    Bytes data = RandomBytes(50);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"f", 0, data.data(), 50));
    struct Case {
        unsigned int ulOffset, ulSize;
        unsigned int ulExpected, ulLen;
    } cases[] = {
        {0, 50, 0, 50},  {10, 5, 0, 5}, {45, 100, 0, 5}, {50, 10, 0, 0},
        {0, 0, 0, 0},    {51, 1, SAR_INVALIDPARAMERR, 0}, {0xFFFFFFFFu, 1, SAR_INVALIDPARAMERR, 0},
    };
    for (const Case &c : cases) {
        unsigned int ulLen = 99;
        EXPECT_EQ(c.ulExpected, pApp->ReadCosFile((char *)"f", c.ulOffset, c.ulSize, nullptr, &ulLen)) << c.ulOffset;
        EXPECT_EQ(c.ulLen, ulLen) << c.ulOffset << "+" << c.ulSize;
    }
    unsigned char pb[50];
    unsigned int ulLen = 4;
    EXPECT_EQ((unsigned int)SAR_BUFFER_TOO_SMALL, pApp->ReadCosFile((char *)"f", 10, 5, pb, &ulLen));
    EXPECT_EQ(5u, ulLen);
    ulLen = sizeof(pb);
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->ReadCosFile((char *)"g", 0, 50, pb, &ulLen));
    EXPECT_EQ(0u, ulLen);
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->ReadCosFile((char *)"f", 0, 50, pb, nullptr));
}

/* Content beginning with the magic, each size on a token of its own. */
struct MagicCase {
    const char *pszName;
    unsigned int ulAddr;
    unsigned int ulSize;
    Bytes content;
    std::vector<unsigned int> files;  /* token file sizes k = 0, 1, ... */
};

std::ostream &operator<<(std::ostream &os, const MagicCase &c) { return os << c.pszName; }

class ApplicationMagicTest : public ApplicationTest, public ::testing::WithParamInterface<MagicCase> {};

TEST_P(ApplicationMagicTest, ContentBeginningWithTheMagicReadsBack)
{
    const MagicCase &c = GetParam();
    CApplicationObject *pApp = OpenApp(c.ulAddr);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"magic", c.ulSize, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"magic", 0, (unsigned char *)c.content.data(), c.ulSize));
    EXPECT_EQ(c.content, ReadBack(pApp, "magic"));
    EXPECT_EQ(c.ulSize, FileSize(pApp, "magic"));
    unsigned int ulAt = RecordOf(RawFile(SKF_OBJECT_RECORD_FILE), "magic");
    ASSERT_LT(ulAt, 4u);
    for (unsigned int k = 0; k < c.files.size() + 1; ++k)
        EXPECT_EQ(k < c.files.size() ? c.files[k] : 0u, RawFile(DataFile(ulAt, k)).size()) << k;
    EXPECT_EQ(Header(c.ulSize), Slice(RawFile(DataFile(ulAt, 0)), 0, 8));
    /* Later writes keep the header form. */
    Bytes again = c.content;
    again[0] = 'v';
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"magic", 0, again.data(), 1));
    EXPECT_EQ(again, ReadBack(pApp, "magic"));
    ulAt = RecordOf(RawFile(SKF_OBJECT_RECORD_FILE), "magic");
    ASSERT_LT(ulAt, 4u);
    EXPECT_EQ(Header(c.ulSize), Slice(RawFile(DataFile(ulAt, 0)), 0, 8));
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"magic"));
    for (unsigned int i = 0; i < 2; ++i) {
        for (unsigned int k = 0; k < c.files.size(); ++k) EXPECT_EQ(0u, RawFile(DataFile(i, k)).size()) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Magic, ApplicationMagicTest,
    ::testing::Values(
        /* Magic and a length that would send a reader into other files. */
        MagicCase{"LengthOfOtherFiles", 47, 100, Concat({Header(60000), RandomBytes(92)}), {108}},
        MagicCase{"MagicAlone", 48, 4, Bytes{'V', 'E', 'X', 'A'}, {12}},
        MagicCase{"OneWholePiece", 49, PIECE - 8, Concat({Header(PIECE - 8), RandomBytes(PIECE - 16)}), {PIECE}},
        MagicCase{"TwoPieces", 50, PIECE - 2, Concat({Header(5), RandomBytes(PIECE - 10)}), {PIECE, 6}}),
    [](const ::testing::TestParamInfo<MagicCase> &info) { return std::string(info.param.pszName); });

TEST_F(ApplicationTest, ShortWriteCompletingTheMagic)
{
    CApplicationObject *pApp = OpenApp(24);
    /* The write's two bytes and the two already there make the magic. */
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"joined", 20, 0xFF, 0xFF));
    Bytes content = Concat({Bytes{'z', 'z', 'X', 'A'}, LE32(1), RandomBytes(12)});
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"joined", 0, content.data(), 20));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"joined", 0, (unsigned char *)"VE", 2));
    content[0] = 'V';
    content[1] = 'E';
    EXPECT_EQ(content, ReadBack(pApp, "joined"));
    EXPECT_EQ(Concat({Header(20), content}), RawFile(DataFile(0, 0)));
}

/* ---- names and records ---- */

TEST_F(ApplicationTest, NamesMatchExactly)
{
    CApplicationObject *pApp = OpenApp(25);
    Bytes long4 = RandomBytes(10), short2 = RandomBytes(20);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"abcd", 10, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"abcd", 0, long4.data(), 10));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->GetCosFileInfo((char *)"ab", nullptr));
    unsigned int ulLen = 0;
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->ReadCosFile((char *)"ab", 0, 10, nullptr, &ulLen));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->DeleteCosFile((char *)"ab"));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->DeleteCosFile((char *)"abcde"));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"ab", 20, 0x10, 0x10));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"ab", 0, short2.data(), 20));
    EXPECT_EQ((unsigned int)SAR_FILE_ALREADY_EXIST, pApp->CreateCosFile((char *)"ab", 5, 0xFF, 0xFF));
    EXPECT_EQ(std::string("abcd\0ab\0\0", 9), FileList(pApp));
    EXPECT_EQ(long4, ReadBack(pApp, "abcd"));
    EXPECT_EQ(short2, ReadBack(pApp, "ab"));

    FILEATTRIBUTE stInfo;
    memset(&stInfo, 0x7f, sizeof(stInfo));
    ASSERT_EQ(0u, pApp->GetCosFileInfo((char *)"ab", &stInfo));
    EXPECT_EQ(0, memcmp(stInfo.FileName, "ab\0", 3));
    EXPECT_EQ(20u, stInfo.FileSize);
    EXPECT_EQ(0x10u, stInfo.ReadRights);
    EXPECT_EQ(0x10u, stInfo.WriteRights);
    ASSERT_EQ(0u, pApp->GetCosFileInfo((char *)"abcd", &stInfo));
    EXPECT_EQ(0xFFu, stInfo.ReadRights);

    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"ab"));
    EXPECT_EQ(long4, ReadBack(pApp, "abcd"));
    EXPECT_EQ(std::string("abcd\0\0", 6), FileList(pApp));

    std::string name63(63, 'n');
    EXPECT_EQ(0u, pApp->CreateCosFile((char *)name63.c_str(), 1, 0xFF, 0xFF));
    EXPECT_EQ(1u, FileSize(pApp, name63.c_str()));
    std::string name64(64, 'n');
    EXPECT_EQ((unsigned int)SAR_NAMELENERR, pApp->CreateCosFile((char *)name64.c_str(), 1, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_NAMELENERR, pApp->CreateCosFile((char *)"", 1, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->CreateCosFile(nullptr, 1, 0xFF, 0xFF));
}

TEST_F(ApplicationTest, FourRecordsAndTheFreedOneReused)
{
    CApplicationObject *pApp = OpenApp(26);
    unsigned int ulSize = 9;
    EXPECT_EQ(0u, pApp->EnumCosFile(nullptr, &ulSize));
    EXPECT_EQ(0u, ulSize);
    for (const char *pszName : {"f0", "f1", "f2", "f3"})
        ASSERT_EQ(0u, pApp->CreateCosFile((char *)pszName, 10, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_NO_ROOM, pApp->CreateCosFile((char *)"f4", 10, 0xFF, 0xFF));
    char szList[32];
    ulSize = 12;
    EXPECT_EQ((unsigned int)SAR_BUFFER_TOO_SMALL, pApp->EnumCosFile(szList, &ulSize));
    EXPECT_EQ(13u, ulSize);
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"f2"));
    EXPECT_EQ(Bytes(RECORD, 0), Slice(RawFile(SKF_OBJECT_RECORD_FILE), 2 * RECORD, RECORD));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"f4", 10, 0xFF, 0xFF));
    Bytes records = RawFile(SKF_OBJECT_RECORD_FILE);
    EXPECT_EQ(Record(2, "f4", 1, 0), Slice(records, 2 * RECORD, RECORD));
    EXPECT_EQ(std::string("f0\0f1\0f4\0f3\0\0", 13), FileList(pApp));
}

TEST_F(ApplicationTest, LayoutOnTheTokenAsOtherHostsReadIt)
{
    CApplicationObject *pApp = OpenApp(27);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"raw", 100, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"big", 30000, 0x10, 0xFF));
    Bytes raw = RandomBytes(100), big = RandomBytes(30000);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"raw", 0, raw.data(), 100));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"big", 0, big.data(), 30000));
    /* Each write went through a copy in a free record: each file's record
     * and files are where the record file says, the others all zero. */
    Bytes records = RawFile(SKF_OBJECT_RECORD_FILE);
    ASSERT_EQ(SKF_OBJECT_RECORD_FILE_LEN, records.size());
    unsigned int ulRaw = RecordOf(records, "raw"), ulBig = RecordOf(records, "big");
    ASSERT_LT(ulRaw, 4u);
    ASSERT_LT(ulBig, 4u);
    for (unsigned int i = 0; i < 4; ++i) {
        Bytes expected = i == ulRaw ? Record(i, "raw", 1, 0) : i == ulBig ? Record(i, "big", 1, 1) : Bytes(RECORD, 0);
        EXPECT_EQ(expected, Slice(records, i * RECORD, RECORD)) << i;
    }
    EXPECT_EQ(raw, RawFile(DataFile(ulRaw, 0)));
    Bytes stored = Concat({Header(30000), big});
    EXPECT_EQ(Slice(stored, 0, PIECE), RawFile(DataFile(ulBig, 0)));
    EXPECT_EQ(Slice(stored, PIECE, 30008 - PIECE), RawFile(DataFile(ulBig, 1)));
    for (unsigned int i = 0; i < 4; ++i) {
        if (i != ulRaw && i != ulBig) {
            EXPECT_EQ(0u, RawFile(DataFile(i, 0)).size()) << i;
        }
    }
}

TEST_F(ApplicationTest, TokenWrittenByHandReadsBack)
{
    CApplicationObject *pApp = OpenApp(28);
    /* Records as another host leaves them: raw content, a large object of
     * three files, a five-byte file. */
    Bytes raw = RandomBytes(100), big = RandomBytes(50000), tiny = RandomBytes(5);
    Bytes stored = Concat({Header(50000), big});
    PutRawFile(DataFile(0, 0), raw);
    for (unsigned int k = 0; k < 3; ++k)
        PutRawFile(DataFile(1, k), Slice(stored, k * PIECE, std::min<size_t>(PIECE, stored.size() - k * PIECE)));
    PutRawFile(DataFile(2, 0), tiny);
    PutRawFile(SKF_OBJECT_RECORD_FILE,
               Concat({Record(0, "raw"), Record(1, "big"), Record(2, "tiny", 1, 0), Bytes(RECORD, 0)}));

    EXPECT_EQ(std::string("raw\0big\0tiny\0\0", 14), FileList(pApp));
    EXPECT_EQ(raw, ReadBack(pApp, "raw"));
    EXPECT_EQ(big, ReadBack(pApp, "big"));
    EXPECT_EQ(Slice(big, 40000, 10000), ReadBack(pApp, "big", 40000, 20000));
    EXPECT_EQ(tiny, ReadBack(pApp, "tiny"));
    EXPECT_EQ(5u, FileSize(pApp, "tiny"));

    /* Writes go where that host reads them. */
    Bytes again = RandomBytes(50000);
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"big", 0, again.data(), 50000));
    Bytes storedAgain = Concat({Header(50000), again});
    EXPECT_EQ(Slice(storedAgain, 0, PIECE), RawFile(DataFile(1, 0)));
    EXPECT_EQ(Slice(storedAgain, 2 * PIECE, 50008 - 2 * PIECE), RawFile(DataFile(1, 2)));
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"big"));
    for (unsigned int k = 0; k < 3; ++k) EXPECT_EQ(0u, RawFile(DataFile(1, k)).size()) << k;

    /* A large object of 60,000 bytes whose later, shorter write (30,000
     * bytes) left the header's length below its files'. */
    Bytes shorter = RandomBytes(30000);
    Bytes storedShorter = Concat({Header(30000), shorter});
    PutRawFile(DataFile(3, 0), Slice(storedShorter, 0, PIECE));
    PutRawFile(DataFile(3, 1),
               Concat({Slice(storedShorter, PIECE, 30008 - PIECE), Bytes(PIECE - (30008 - PIECE), 0xFF)}));
    PutRawFile(DataFile(3, 2), Bytes(60008 - 2 * PIECE, 0xFF));
    PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "raw"), Bytes(RECORD, 0), Record(2, "tiny", 1, 0),
                                               Record(3, "shorter")}));
    EXPECT_EQ(shorter, ReadBack(pApp, "shorter"));
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"shorter"));
    /* The object's own files go; the one beyond them is left to the sweep
     * of free runs. */
    for (unsigned int k = 0; k < 2; ++k) EXPECT_EQ(0u, RawFile(DataFile(3, k)).size()) << k;

}

TEST_F(ApplicationTest, FreeRunsAreClearedWhenACreationFindsNoRoom)
{
    CApplicationObject *pApp = OpenApp(34);
    /* A deletion cut short left files k = 5 and 7 of record 0's run behind,
     * and k = 6 and 31 of the free record 1; another host's file 0xE000
     * fills the token so that only their room is left for a new file. */
    PutRawFile(DataFile(0, 0), RandomBytes(10));
    for (unsigned int k : {5u, 7u}) PutRawFile(DataFile(0, k), Bytes(1000, 0xEE));
    for (unsigned int k : {6u, 31u}) PutRawFile(DataFile(1, k), Bytes(1000, 0xEE));
    PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "gap"), Bytes(3 * RECORD, 0)}));
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, Operator()->GetDeviceInfo(&stInfo));
    PutRawFile(0xE000, Bytes(stInfo.ulFreeSpace - 100, 0xEE));

    /* The deletion takes only the object's own file. */
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"gap"));
    EXPECT_EQ(0u, RawFile(DataFile(0, 0)).size());
    EXPECT_EQ(1000u, RawFile(DataFile(0, 5)).size());
    /* A creation that finds no room sweeps the free runs and tries again;
     * the absent files the sweep meets are no errors in the log. */
    {
        skf_test::CLogCapture log;
        ASSERT_TRUE(log.Started());
        ASSERT_EQ(0u, pApp->CreateCosFile((char *)"zero", 3000, 0xFF, 0xFF));
        std::string text = log.Text();
        EXPECT_NE(std::string::npos, text.find("answered 0x8000f102 as expected")) << text.substr(0, 2000);
        EXPECT_EQ(std::string::npos, text.find("failed(0x8000f102)")) << text.substr(0, 2000);
    }
    for (unsigned int i = 0; i < 2; ++i) {
        for (unsigned int k = 1; k < 32; ++k) EXPECT_EQ(0u, RawFile(DataFile(i, k)).size()) << i << "/" << k;
    }
    EXPECT_EQ(3000u, FileSize(pApp, "zero"));
    /* Without that room it answers as the token does. */
    EXPECT_EQ(0x8000F104u, pApp->CreateCosFile((char *)"one", 3000, 0xFF, 0xFF));
    EXPECT_EQ(std::string("zero\0\0", 6), FileList(pApp));
}

TEST_F(ApplicationTest, UnagreeingHeaderIsRawContent)
{
    CApplicationObject *pApp = OpenApp(29);
    /* Raw content that an older host wrote beginning with the magic: its
     * length agrees with no files of the object, so it is content. */
    struct Case {
        Bytes first;
        Bytes second;  /* file k = 1, when there is one */
    } cases[] = {
        {Concat({Header(60000), RandomBytes(92)}), {}},
        {Concat({Header(90), RandomBytes(92)}), {}},
        {Concat({Header(0), RandomBytes(92)}), {}},
        {Concat({Header(30000), RandomBytes(PIECE - 8)}), RandomBytes(100)},
        {Concat({Header(0xFFFFFFF0u), RandomBytes(PIECE - 8)}), {}},
    };
    for (const Case &c : cases) {
        PutRawFile(DataFile(0, 0), c.first);
        if (!c.second.empty()) PutRawFile(DataFile(0, 1), c.second);
        PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "old"), Bytes(3 * RECORD, 0)}));
        EXPECT_EQ(c.first, ReadBack(pApp, "old"));
        ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"old"));
    }
}

TEST_F(ApplicationTest, DamagedRecordsAreKeptAndReported)
{
    CApplicationObject *pApp = OpenApp(30);
    Bytes good = RandomBytes(10);
    PutRawFile(DataFile(0, 0), good);
    /* Record 1: its data file is missing; record 2: an in-use byte that no
     * host writes; record 3: free. */
    Bytes lost = Record(1, "lost"), odd = Record(2, "odd", 7);
    PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "good"), lost, odd, Bytes(RECORD, 0)}));

    EXPECT_EQ(std::string("good\0lost\0odd\0\0", 15), FileList(pApp));
    /* A listed name whose content cannot be read is a file error. */
    EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->GetCosFileInfo((char *)"lost", nullptr));
    unsigned int ulLen = 99;
    EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->ReadCosFile((char *)"lost", 0, 10, nullptr, &ulLen));
    EXPECT_EQ(0u, ulLen);
    EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->ReadCosFile((char *)"odd", 0, 10, nullptr, &ulLen));

    /* The damaged records count as occupied and stay as they were. */
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"new", 10, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_NO_ROOM, pApp->CreateCosFile((char *)"more", 10, 0xFF, 0xFF));
    Bytes records = RawFile(SKF_OBJECT_RECORD_FILE);
    EXPECT_EQ(lost, Slice(records, RECORD, RECORD));
    EXPECT_EQ(odd, Slice(records, 2 * RECORD, RECORD));
    EXPECT_EQ(Record(3, "new", 1, 0), Slice(records, 3 * RECORD, RECORD));
    EXPECT_EQ(good, ReadBack(pApp, "good"));

    /* A damaged record can be deleted by its name, and then reused. */
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"lost"));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"more", 10, 0xFF, 0xFF));
    EXPECT_EQ(Record(1, "more", 1, 0), Slice(RawFile(SKF_OBJECT_RECORD_FILE), RECORD, RECORD));
}

/* A record marked unreadable (in-use byte 2) as a change of raw content into
 * the header form leaves it when cut after its first file was deleted: the
 * files' sizes give the length once the first file is made again, and a
 * whole write finishes the file in the layout every host reads. */
TEST_F(ApplicationTest, UnfinishedHeaderFormTellsItsSizeAndAWholeWriteFinishesIt)
{
    CApplicationObject *pApp = OpenApp(15);
    struct Case {
        const char *pszState;
        Bytes first, second;   /* files k = 0 and 1; empty: missing */
        unsigned int ulSize;   /* 0: not known */
    } cases[] = {
        {"first file created", Bytes(1008, 0xFF), {}, 1000},
        {"first file partly written", Concat({Header(1000), RandomBytes(248), Bytes(752, 0xFF)}), {}, 1000},
        {"two pieces", Bytes(PIECE, 0xFF), RandomBytes(4), PIECE - 4},
        {"a whole first piece alone", Bytes(PIECE, 0xFF), {}, PIECE - 8},
        {"a file beyond the header's length", Bytes(PIECE, 0xFF), Bytes(100, 0xEE), PIECE - 8},
        {"first file missing", {}, RandomBytes(4), 0},
    };
    for (const Case &c : cases) {
        for (unsigned int k = 0; k < 2; ++k) {
            Operator()->DeleteCosFile(DataFile(0, k));
            const Bytes &file = k == 0 ? c.first : c.second;
            /* A file only created holds 0xFF bytes on the virtual token. */
            if (!file.empty() && std::all_of(file.begin(), file.end(), [](unsigned char b) { return b == 0xFF; }))
                ASSERT_EQ(0u, Operator()->CreateCosFile(DataFile(0, k), (unsigned short)file.size()));
            else if (!file.empty())
                PutRawFile(DataFile(0, k), file);
        }
        PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "u", 2), Bytes(3 * RECORD, 0)}));
        EXPECT_EQ(std::string("u\0\0", 3), FileList(pApp)) << c.pszState;
        unsigned int ulLen = 99;
        EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->ReadCosFile((char *)"u", 0, 10, nullptr, &ulLen)) << c.pszState;
        EXPECT_EQ(0u, ulLen) << c.pszState;
        FILEATTRIBUTE stInfo;
        memset(&stInfo, 0x7f, sizeof(stInfo));
        unsigned int ulInfo = pApp->GetCosFileInfo((char *)"u", &stInfo);
        Bytes data = RandomBytes(c.ulSize != 0 ? c.ulSize : 1000);
        if (c.ulSize == 0) {
            EXPECT_EQ((unsigned int)SAR_FILEERR, ulInfo) << c.pszState;
            EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->WriteCosFile((char *)"u", 0, data.data(), 1000)) << c.pszState;
            EXPECT_EQ(0u, pApp->DeleteCosFile((char *)"u")) << c.pszState;
            EXPECT_EQ(std::string(), FileList(pApp)) << c.pszState;
            continue;
        }
        ASSERT_EQ(0u, ulInfo) << c.pszState;
        EXPECT_EQ(c.ulSize, stInfo.FileSize) << c.pszState;
        EXPECT_EQ(0x10u, stInfo.ReadRights) << c.pszState;
        EXPECT_EQ(0x10u, stInfo.WriteRights) << c.pszState;
        /* Nothing of the old content can be kept: only a whole write. */
        EXPECT_EQ((unsigned int)SAR_FILEERR, pApp->WriteCosFile((char *)"u", 0, data.data(), c.ulSize - 1))
            << c.pszState;
        EXPECT_EQ((unsigned int)SAR_INDATALENERR, pApp->WriteCosFile((char *)"u", 0, data.data(), c.ulSize + 1))
            << c.pszState;
        ASSERT_EQ(0u, pApp->WriteCosFile((char *)"u", 0, data.data(), c.ulSize)) << c.pszState;
        EXPECT_EQ(data, ReadBack(pApp, "u")) << c.pszState;
        /* Byte for byte the live record and the header form. */
        EXPECT_EQ(Concat({Record(0, "u"), Bytes(3 * RECORD, 0)}), RawFile(SKF_OBJECT_RECORD_FILE)) << c.pszState;
        Bytes stored = Concat({Header(c.ulSize), data});
        EXPECT_EQ(Slice(stored, 0, c.first.size()), RawFile(DataFile(0, 0))) << c.pszState;
        if (stored.size() > PIECE) { EXPECT_EQ(Slice(stored, PIECE, stored.size() - PIECE), RawFile(DataFile(0, 1))) << c.pszState; }
        /* Read again from the token, as another process reads it. */
        CApplicationObject *pOther = NewApp();
        EXPECT_EQ(data, ReadBack(pOther, "u")) << c.pszState;
        ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"u")) << c.pszState;
    }
}

TEST_F(ApplicationTest, UnreachableRecordsAreReclaimedByCreation)
{
    CApplicationObject *pApp = OpenApp(35);
    /* Record 0: a name length no host writes; record 1: another
     * application's; records 2 and 3: one name twice. */
    Bytes longName = Record(0, "long"), dup = RandomBytes(10);
    longName[80] = 200;
    PutRawFile(DataFile(1, 0), RandomBytes(10));
    PutRawFile(DataFile(2, 0), dup);
    PutRawFile(DataFile(3, 0), RandomBytes(20));
    PutRawFile(SKF_OBJECT_RECORD_FILE,
               Concat({longName, Record(1, "x", 1, 1, "OTHER-APP"), Record(2, "d"), Record(3, "d")}));

    /* Listed only what a name reaches, each name once. */
    EXPECT_EQ(std::string("d\0\0", 3), FileList(pApp));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pApp->DeleteCosFile((char *)"x"));
    /* The first call on the name keeps the record it finds and frees the
     * second one with its file. */
    EXPECT_EQ(dup, ReadBack(pApp, "d"));
    EXPECT_EQ(Bytes(RECORD, 0), Slice(RawFile(SKF_OBJECT_RECORD_FILE), 3 * RECORD, RECORD));
    EXPECT_EQ(0u, RawFile(DataFile(3, 0)).size());
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"d"));
    EXPECT_EQ(std::string(), FileList(pApp));

    /* The freed records first, then the unreachable ones, in their order. */
    for (const char *pszName : {"x", "y", "a", "b"})
        ASSERT_EQ(0u, pApp->CreateCosFile((char *)pszName, 10, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_NO_ROOM, pApp->CreateCosFile((char *)"c", 10, 0xFF, 0xFF));
    EXPECT_EQ(std::string("a\0b\0x\0y\0\0", 9), FileList(pApp));
    EXPECT_EQ(Concat({Record(0, "a", 1, 0), Record(1, "b", 1, 0), Record(2, "x", 1, 0), Record(3, "y", 1, 0)}),
              RawFile(SKF_OBJECT_RECORD_FILE));
    EXPECT_EQ(10u, FileSize(pApp, "b"));
}

TEST_F(ApplicationTest, LookupsPassFreeRecordsWithStaleNames)
{
    CApplicationObject *pApp = OpenApp(36);
    Bytes live = RandomBytes(10);
    PutRawFile(DataFile(2, 0), live);
    /* Records 0 and 1 were freed by hosts that left their names (in-use
     * bytes 0 and 0xFF); record 2 holds the live file of that name. */
    PutRawFile(SKF_OBJECT_RECORD_FILE,
               Concat({Record(0, "y", 0), Record(1, "y", 0xFF), Record(2, "y"), Bytes(RECORD, 0)}));
    EXPECT_EQ(std::string("y\0\0", 3), FileList(pApp));
    EXPECT_EQ(10u, FileSize(pApp, "y"));
    EXPECT_EQ(live, ReadBack(pApp, "y"));
    EXPECT_EQ((unsigned int)SAR_FILE_ALREADY_EXIST, pApp->CreateCosFile((char *)"y", 10, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"y"));
    EXPECT_EQ(Bytes(RECORD, 0), Slice(RawFile(SKF_OBJECT_RECORD_FILE), 2 * RECORD, RECORD));
    EXPECT_EQ(std::string(), FileList(pApp));
}

TEST_F(ApplicationTest, MissingOrShortRecordFile)
{
    CApplicationObject *pApp = OpenApp(31);
    ASSERT_EQ(0u, Operator()->DeleteCosFile(SKF_OBJECT_RECORD_FILE));
    EXPECT_EQ(std::string(), FileList(pApp));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"first", 10, 0xFF, 0xFF));
    EXPECT_EQ(Concat({Record(0, "first", 1, 0), Bytes(3 * RECORD, 0)}), RawFile(SKF_OBJECT_RECORD_FILE));

    /* A record file that holds only its first record keeps it. */
    PutRawFile(SKF_OBJECT_RECORD_FILE, Record(0, "first", 1, 0));
    EXPECT_EQ(std::string("first\0\0", 7), FileList(pApp));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"second", 10, 0xFF, 0xFF));
    EXPECT_EQ(Concat({Record(0, "first", 1, 0), Record(1, "second", 1, 0), Bytes(2 * RECORD, 0)}),
              RawFile(SKF_OBJECT_RECORD_FILE));
}

TEST_F(ApplicationTest, ShortRecordFileKeepsItsRecordsWhenNotRebuilt)
{
    CApplicationObject *pApp = OpenApp(37);
    /* A record file of one record, and a token so full that a new file's
     * data fits but the record file's 592 bytes do not. */
    Bytes first = RandomBytes(10);
    PutRawFile(DataFile(0, 0), first);
    PutRawFile(SKF_OBJECT_RECORD_FILE, Record(0, "first"));
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, Operator()->GetDeviceInfo(&stInfo));
    PutRawFile(0xE000, Bytes(stInfo.ulFreeSpace - 10 - 100, 0xEE));

    EXPECT_EQ((unsigned int)SAR_NO_ROOM, pApp->CreateCosFile((char *)"second", 10, 0xFF, 0xFF));
    EXPECT_EQ(Record(0, "first"), RawFile(SKF_OBJECT_RECORD_FILE));
    EXPECT_EQ(std::string("first\0\0", 7), FileList(pApp));
    EXPECT_EQ(first, ReadBack(pApp, "first"));
    EXPECT_EQ(0u, RawFile(DataFile(1, 0)).size());

    /* With room, the record file is made whole, its record kept. */
    ASSERT_EQ(0u, Operator()->DeleteCosFile(0xE000));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"second", 10, 0xFF, 0xFF));
    EXPECT_EQ(Concat({Record(0, "first"), Record(1, "second", 1, 0), Bytes(2 * RECORD, 0)}),
              RawFile(SKF_OBJECT_RECORD_FILE));
}

/* ---- writes that fail half way ---- */

class ApplicationCutTest : public ApplicationTest {
protected:
    /* The exchanges of fnWrite on the token as fnSetUp leaves it. */
    unsigned int ExchangesOf(const std::function<void()> &fnSetUp, const std::function<unsigned int()> &fnWrite)
    {
        fnSetUp();
        transport_pause::Reset();
        EXPECT_EQ(0u, fnWrite());
        return transport_pause::Count();
    }

    /* A fresh connection and application object after the token was
     * unplugged. */
    CApplicationObject *Replug(unsigned int ulAddr)
    {
        daemon.Plug(TokenSerial());
        CloseToken();
        ConnectToken(ulAddr, true);
        return NewApp();
    }
};

/* What a read shows after the write failed at each of its steps: the old
 * content or the new one, the name listed once, and a success only with
 * the new content. */
static void ExpectOldOrNew(CApplicationObject *pApp, const char *pszName, unsigned int ulWrote, const Bytes &old,
                           const Bytes &now, unsigned int ulStep)
{
    Bytes back = ReadBack(pApp, pszName);
    EXPECT_TRUE(back == old || back == now) << "step " << ulStep << ": neither old nor new";
    if (ulWrote == 0) {
        EXPECT_EQ(now, back) << "step " << ulStep << ": success with the old content";
    }
    EXPECT_EQ(std::string(pszName) + std::string("\0\0", 2), FileList(pApp)) << "step " << ulStep;
}

TEST_F(ApplicationCutTest, WriteCutByAnUnplugLeavesOldOrNew)
{
    const unsigned int ulAddr = 38;
    CApplicationObject *pApp = OpenApp(ulAddr);
    Bytes old = RandomBytes(4000), now = RandomBytes(4000);
    auto setUp = [&]() {
        for (unsigned int i = 0; i < 2; ++i) Operator()->DeleteCosFile(DataFile(i, 0));
        PutRawFile(DataFile(0, 0), old);
        PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "cut"), Bytes(3 * RECORD, 0)}));
    };
    auto write = [&]() { return pApp->WriteCosFile((char *)"cut", 0, now.data(), (unsigned int)now.size()); };
    unsigned int ulSteps = ExchangesOf(setUp, write);
    EXPECT_EQ(now, ReadBack(pApp, "cut"));
    for (unsigned int n = 1; n <= ulSteps; ++n) {
        setUp();
        transport_pause::At(n, [&]() { daemon.Unplug(TokenSerial()); });
        unsigned int ulWrote = write();
        transport_pause::Clear();
        pApp = Replug(ulAddr);
        ExpectOldOrNew(pApp, "cut", ulWrote, old, now, n);
    }
}

TEST_F(ApplicationCutTest, HeaderRewriteInPlaceWithFailedStepsLeavesOldOrNew)
{
    CApplicationObject *pApp = OpenApp(39);
    /* All four records live, so the write is done in place: raw content
     * whose new first bytes are the magic goes into the header form. */
    Bytes old = RandomBytes(100), now = Concat({Bytes{'V', 'E', 'X', 'A'}, RandomBytes(96)});
    auto setUp = [&]() {
        for (unsigned int k = 0; k < 2; ++k) Operator()->DeleteCosFile(DataFile(0, k));
        PutRawFile(DataFile(0, 0), old);
        for (unsigned int i = 1; i < 4; ++i) PutRawFile(DataFile(i, 0), Bytes(10, (unsigned char)i));
        PutRawFile(SKF_OBJECT_RECORD_FILE, Concat({Record(0, "hdr"), Record(1, "b"), Record(2, "c"), Record(3, "d")}));
    };
    auto write = [&]() { return pApp->WriteCosFile((char *)"hdr", 0, now.data(), (unsigned int)now.size()); };
    unsigned int ulSteps = ExchangesOf(setUp, write);
    EXPECT_EQ(Concat({Header(100), now}), RawFile(DataFile(0, 0)));
    for (unsigned int n = 1; n <= ulSteps; ++n) {
        setUp();
        /* Two commands after step n fail (the token carried them out, its
         * answers are lost): one of the rewrite, one of its restore. */
        transport_pause::At(n, [&]() {
            daemon.InjectFault(TokenSerial(), "csw-status");
            transport_pause::At(1, [&]() { daemon.InjectFault(TokenSerial(), "csw-status"); });
        });
        unsigned int ulWrote = write();
        transport_pause::Clear();
        daemon.InjectFault(TokenSerial(), "none");
        std::string list = FileList(pApp);
        EXPECT_EQ(std::string("hdr\0b\0c\0d\0\0", 11), list) << "step " << n;
        Bytes back = ReadBack(pApp, "hdr");
        EXPECT_TRUE(back == old || back == now) << "step " << n << ": neither old nor new";
        if (ulWrote == 0) {
            EXPECT_EQ(now, back) << "step " << n;
        }
    }
}

/* Every form of call cut at each of its exchanges, by an unplug (the
 * command reached the token, its answer never came) and by a lost answer
 * (the daemon's faulty status for a command the token carried out), then
 * seen from a new connection: the name holds the old or the new content
 * (or, for an in-place write, new bytes up to the cut and old after; for
 * a rewrite into the header form, an error), a listed name reads or is
 * deleted, a write and a deletion of it answer 0 and hold, and once every
 * file is deleted the largest file that fitted at the start fits again. */
enum class CutKind { Write, Create, Delete };

struct CutForm {
    const char *pszName;
    unsigned int ulAddr;
    CutKind kind;
    bool bFree;          /* a free record for the copy */
    bool bMagic;         /* new content beginning with the magic */
    unsigned int ulSize; /* of the object */
};

std::ostream &operator<<(std::ostream &os, const CutForm &f) { return os << f.pszName; }

class ApplicationCutTableTest : public ApplicationTest, public ::testing::WithParamInterface<CutForm> {
protected:
    CApplicationObject *m_pApp = nullptr;
    Bytes m_old, m_new;

    /* The token as the form starts from: the object (for a write or a
     * deletion) in record 1 when a free record 0 takes the copy, else in
     * record 0 beside three small files. */
    void SetUpToken()
    {
        const CutForm &f = GetParam();
        for (unsigned int i = 0; i < 4; ++i) {
            for (unsigned int k = 0; k < 3; ++k) Operator()->DeleteCosFile(DataFile(i, k));
        }
        Bytes records(SKF_OBJECT_RECORD_FILE_LEN, 0);
        if (f.kind != CutKind::Create) {
            unsigned int ulAt = f.bFree ? 1 : 0;
            Bytes stored = f.ulSize > PIECE ? Concat({Header(f.ulSize), m_old}) : m_old;
            for (unsigned int k = 0; k * PIECE < stored.size(); ++k)
                PutRawFile(DataFile(ulAt, k), Slice(stored, k * PIECE, std::min<size_t>(PIECE, stored.size() - k * PIECE)));
            Bytes rec = Record(ulAt, "obj");
            std::copy(rec.begin(), rec.end(), records.begin() + ulAt * RECORD);
            for (unsigned int i = 1; !f.bFree && i < 4; ++i) {
                PutRawFile(DataFile(i, 0), Bytes(10, (unsigned char)i));
                Bytes other = Record(i, std::string(1, (char)('a' + i)));
                std::copy(other.begin(), other.end(), records.begin() + i * RECORD);
            }
        }
        PutRawFile(SKF_OBJECT_RECORD_FILE, records);
    }

    unsigned int Call()
    {
        const CutForm &f = GetParam();
        switch (f.kind) {
        case CutKind::Write:
            return m_pApp->WriteCosFile((char *)"obj", 0, m_new.data(), (unsigned int)m_new.size());
        case CutKind::Create:
            return m_pApp->CreateCosFile((char *)"obj", f.ulSize, 0xFF, 0xFF);
        case CutKind::Delete:
            return m_pApp->DeleteCosFile((char *)"obj");
        }
        return 1;
    }

    /* A new connection, as another process would make after the cut. */
    void Reconnect()
    {
        daemon.InjectFault(TokenSerial(), "none");
        daemon.Plug(TokenSerial());
        CloseToken();
        ConnectToken(GetParam().ulAddr, true);
        m_pApp = NewApp();
    }

    bool IsMix(const Bytes &back) const
    {
        if (back.size() != m_old.size()) return false;
        size_t n = 0;
        while (n < back.size() && back[n] == m_new[n]) ++n;
        return std::equal(back.begin() + n, back.end(), m_old.begin() + n);
    }

    unsigned int m_ulFinished = 0, m_ulMadeAgain = 0;

    /* A file error, never a parameter error.  Once the first file is made
     * again (the object in record 0) its size gives the file's: it is
     * answered with the record's rights, a shorter write is refused and a
     * whole one finishes the file.  Before, nothing gives the size: the
     * name is deleted and created again. */
    void ExpectUnfinished(unsigned int ulRead, const std::string &where)
    {
        const unsigned int ulSize = GetParam().ulSize;
        EXPECT_EQ((unsigned int)SAR_FILEERR, ulRead) << where;
        FILEATTRIBUTE stInfo;
        memset(&stInfo, 0x7f, sizeof(stInfo));
        unsigned int ulInfo = m_pApp->GetCosFileInfo((char *)"obj", &stInfo);
        Bytes again = RandomBytes(ulSize);
        again[0] = 'w';
        if (!RawFile(DataFile(0, 0)).empty()) {
            ++m_ulFinished;
            ASSERT_EQ(0u, ulInfo) << where;
            EXPECT_EQ(ulSize, stInfo.FileSize) << where;
            EXPECT_EQ(0x10u, stInfo.ReadRights) << where;
            EXPECT_EQ(0x10u, stInfo.WriteRights) << where;
            EXPECT_EQ((unsigned int)SAR_FILEERR, m_pApp->WriteCosFile((char *)"obj", 0, again.data(), ulSize - 1))
                << where;
            EXPECT_EQ(0u, m_pApp->WriteCosFile((char *)"obj", 0, again.data(), ulSize)) << where;
            EXPECT_EQ(again, ReadBack(m_pApp, "obj")) << where;
            EXPECT_EQ(1u, RawFile(SKF_OBJECT_RECORD_FILE)[0]) << where << ": the record is live again";
        } else {
            ++m_ulMadeAgain;
            EXPECT_EQ((unsigned int)SAR_FILEERR, ulInfo) << where;
            EXPECT_EQ((unsigned int)SAR_FILEERR, m_pApp->WriteCosFile((char *)"obj", 0, again.data(), ulSize))
                << where;
            EXPECT_EQ(0u, m_pApp->DeleteCosFile((char *)"obj")) << where;
            EXPECT_EQ(0u, m_pApp->CreateCosFile((char *)"obj", ulSize, 0x10, 0x10)) << where;
            EXPECT_EQ(0u, m_pApp->WriteCosFile((char *)"obj", 0, again.data(), ulSize)) << where;
            EXPECT_EQ(again, ReadBack(m_pApp, "obj")) << where;
        }
    }

    void ExpectSound(unsigned int ulRet, unsigned int ulLargest, const std::string &where)
    {
        const CutForm &f = GetParam();
        std::string list = FileList(m_pApp);
        std::vector<std::string> names;
        for (size_t at = 0; at < list.size() && list[at] != '\0'; at += names.back().size() + 1)
            names.push_back(std::string(list.c_str() + at));
        bool bListed = std::find(names.begin(), names.end(), "obj") != names.end();
        if (f.kind == CutKind::Write) { EXPECT_TRUE(bListed) << where << ": the name is gone"; }
        if (f.kind != CutKind::Delete && ulRet == 0) { EXPECT_TRUE(bListed) << where; }
        if (f.kind == CutKind::Delete && ulRet == 0) { EXPECT_FALSE(bListed) << where; }
        if (bListed) {
            unsigned int ulLen = 0;
            unsigned int ulRead = m_pApp->ReadCosFile((char *)"obj", 0, 0xFFFFFFFFu, nullptr, &ulLen);
            if (ulRead == 0) {
                Bytes back = ReadBack(m_pApp, "obj");
                if (f.kind == CutKind::Create) {
                    EXPECT_EQ(f.ulSize, back.size()) << where;
                } else if (f.kind == CutKind::Delete) {
                    EXPECT_EQ(m_old, back) << where;
                } else {
                    bool bInPlaceMix = !f.bFree && !f.bMagic && IsMix(back);
                    EXPECT_TRUE(back == m_old || back == m_new || bInPlaceMix)
                        << where << ": " << back.size() << " bytes no writer wrote";
                    if (ulRet == 0) { EXPECT_EQ(m_new, back) << where << ": success with the old content"; }
                }
            } else {
                /* Only a rewrite into the header form has a window that
                 * reads as an error. */
                EXPECT_TRUE(f.kind == CutKind::Write && !f.bFree && f.bMagic)
                    << where << ": listed but unreadable (0x" << std::hex << ulRead << ")";
                ExpectUnfinished(ulRead, where);
            }
            /* A readable name takes a write that holds; any listed name
             * takes a deletion. */
            if (ulRead == 0) {
                Bytes again = RandomBytes(f.ulSize);
                again[0] = 'w';
                EXPECT_EQ(0u, m_pApp->WriteCosFile((char *)"obj", 0, again.data(), f.ulSize)) << where;
                EXPECT_EQ(again, ReadBack(m_pApp, "obj")) << where;
            }
            EXPECT_EQ(0u, m_pApp->DeleteCosFile((char *)"obj")) << where;
            EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, m_pApp->GetCosFileInfo((char *)"obj", nullptr)) << where;
        }
        for (const std::string &name : names) {
            if (name != "obj") { EXPECT_EQ(0u, m_pApp->DeleteCosFile((char *)name.c_str())) << where << " " << name; }
        }
        EXPECT_EQ(std::string(), FileList(m_pApp)) << where;
        EXPECT_EQ(0u, m_pApp->CreateCosFile((char *)"largest", ulLargest, 0xFF, 0xFF)) << where;
        EXPECT_EQ(0u, m_pApp->DeleteCosFile((char *)"largest")) << where;
    }
};

TEST_P(ApplicationCutTableTest, EveryCutLeavesSoundFiles)
{
    const CutForm &f = GetParam();
    extraInitArgs = {"--file-space", "65536"};
    m_pApp = OpenApp(f.ulAddr);
    PutRawFile(SKF_OBJECT_RECORD_FILE, Bytes(SKF_OBJECT_RECORD_FILE_LEN, 0));
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, Operator()->GetDeviceInfo(&stInfo));
    const unsigned int ulLargest = stInfo.ulFreeSpace - SKF_OBJECT_HEADER_LEN;
    ASSERT_GT(ulLargest, PIECE);
    m_old = RandomBytes(f.ulSize);
    m_new = RandomBytes(f.ulSize);
    m_old[0] = 'o';
    if (f.bMagic) std::copy(SKF_OBJECT_MAGIC, SKF_OBJECT_MAGIC + SKF_OBJECT_MAGIC_LEN, m_new.begin());
    else m_new[0] = 'n';

    SetUpToken();
    m_pApp = NewApp();
    transport_pause::Reset();
    ASSERT_EQ(0u, Call());
    const unsigned int ulSteps = transport_pause::Count();
    struct Way {
        const char *pszName;
        unsigned int ulFirst;
        std::function<void()> fnCut;
    } ways[] = {
        {"unplug", 1, [&] { daemon.Unplug(TokenSerial()); }},
        /* Armed at pause n, the fault takes the next answer; 0: the first. */
        {"lost answer", 0, [&] { daemon.InjectFault(TokenSerial(), "csw-status"); }},
    };
    for (const Way &w : ways) {
        for (unsigned int n = w.ulFirst; n <= ulSteps; ++n) {
            Reconnect();
            SetUpToken();
            m_pApp = NewApp();
            if (n == 0) w.fnCut();
            else transport_pause::At(n, w.fnCut);
            unsigned int ulRet = Call();
            transport_pause::Clear();
            Reconnect();
            ExpectSound(ulRet, ulLargest, std::string(w.pszName) + " at exchange " + std::to_string(n));
        }
    }
    /* The window of a rewrite into the header form has both states. */
    if (f.kind == CutKind::Write && !f.bFree && f.bMagic) {
        EXPECT_NE(0u, m_ulFinished);
        EXPECT_NE(0u, m_ulMadeAgain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ApplicationCutTableTest,
    ::testing::Values(CutForm{"CopyThroughAFreeRecord", 54, CutKind::Write, true, false, 1000},
                      CutForm{"InPlace", 55, CutKind::Write, false, false, 1000},
                      CutForm{"InPlaceIntoTheHeaderForm", 56, CutKind::Write, false, true, 1000},
                      CutForm{"CreateOnePiece", 57, CutKind::Create, true, false, 1000},
                      CutForm{"CreateSeveralPieces", 58, CutKind::Create, true, false, 30000},
                      CutForm{"Delete", 59, CutKind::Delete, true, false, 30000}),
    [](const ::testing::TestParamInfo<CutForm> &info) { return std::string(info.param.pszName); });

/* ---- a short record file made whole ---- */

/* The file layer's commands of a call as the token is sent them, on the
 * connection's file and chip command objects: each frame's instruction and
 * file id are kept while the trail is armed, and the frame of a chosen
 * number is refused (answered with the token's internal error, 6F 00,
 * without reaching the token). */
class CCommandTrail {
public:
    struct Frame {
        unsigned char byINS;
        unsigned short usFileID;
    };
    void Arm(unsigned int ulRefuse = 0)
    {
        m_frames.clear();
        m_ulRefuse = ulRefuse;
        m_bArmed = true;
    }
    void Disarm() { m_bArmed = false; }
    const std::vector<Frame> &Frames() const { return m_frames; }
    /* The number (from 1) of the first frame of this instruction on the
     * file from frame ulFrom on; 0 when none. */
    unsigned int Find(unsigned char byINS, unsigned short usFileID, unsigned int ulFrom = 1) const
    {
        for (unsigned int n = ulFrom; n <= m_frames.size(); ++n) {
            if (m_frames[n - 1].byINS == byINS && m_frames[n - 1].usFileID == usFileID) return n;
        }
        return 0;
    }
    /* Whether this frame is refused. */
    bool Take(const unsigned char *pbFrame, unsigned int ulFrameLen)
    {
        if (!m_bArmed) return false;
        unsigned short usFileID = ulFrameLen >= 12 ? (unsigned short)(pbFrame[10] << 8 | pbFrame[11]) : 0;
        m_frames.push_back(Frame{pbFrame[1], usFileID});
        return m_frames.size() == m_ulRefuse;
    }

private:
    std::vector<Frame> m_frames;
    unsigned int m_ulRefuse = 0;
    bool m_bArmed = false;
};

template <class TCommands>
class CTrailedCommands : public TCommands {
public:
    CTrailedCommands(CDeviceInfo *pInfo, CCommandTrail &trail) : TCommands(pInfo, SARN_DEFAULT_TIMEOUT), m_trail(trail)
    {
    }

protected:
    unsigned int TransmitFrame(const unsigned char *pbFrame, unsigned int ulFrameLen, unsigned char *pbAnswer,
                               unsigned int *pulAnswerLen) override
    {
        if (!m_trail.Take(pbFrame, ulFrameLen))
            return TCommands::TransmitFrame(pbFrame, ulFrameLen, pbAnswer, pulAnswerLen);
        static const unsigned char REFUSED[] = {0x6F, 0x00, 0x00, 0x00};
        memcpy(pbAnswer, REFUSED, sizeof(REFUSED));
        *pulAnswerLen = sizeof(REFUSED);
        return 0;
    }

private:
    CCommandTrail &m_trail;
};

static const unsigned char INS_CREATE_FILE = 0x30, INS_DELETE_FILE = 0x32, INS_WRITE_FILE = 0x3A;

/* A record file as another host leaves it, shorter than the four records,
 * made whole by a creation or deletion that writes a record; each command
 * of the call lost, refused or cut, then seen from a new connection. */
struct ShortRecordCase {
    const char *pszName;
    unsigned int ulAddr;
    unsigned int ulRecordFileSize; /* 296 or 148 */
    bool bDelete;                  /* delete "c" (record 1) rather than create "b" */
};

std::ostream &operator<<(std::ostream &os, const ShortRecordCase &c) { return os << c.pszName; }

class ShortRecordFileTest : public ApplicationCutTest, public ::testing::WithParamInterface<ShortRecordCase> {
protected:
    CCommandTrail m_trail;
    Bytes m_a = RandomBytes(1000), m_c = RandomBytes(100);

    void SetUpToken()
    {
        const ShortRecordCase &c = GetParam();
        for (unsigned int i = 0; i < 4; ++i) Operator()->DeleteCosFile(DataFile(i, 0));
        PutRawFile(DataFile(0, 0), m_a);
        Bytes records = Record(0, "a");
        if (c.bDelete) {
            PutRawFile(DataFile(1, 0), m_c);
            records = Concat({records, Record(1, "c")});
        }
        records.resize(c.ulRecordFileSize, 0);
        PutRawFile(SKF_OBJECT_RECORD_FILE, records);
    }

    /* The call on a new application object, its commands on the trail;
     * fnBefore runs just before it (the exchanges are counted from there). */
    unsigned int Call(unsigned int ulRefuse = 0, const std::function<void()> &fnBefore = nullptr)
    {
        CDeviceContext *pCtx = Context();
        delete pCtx->m_pApduFile;
        pCtx->m_pApduFile = new CTrailedCommands<CAPDUFile>(pCtx->m_pDevieHandle, m_trail);
        delete pCtx->m_pApduChip;
        pCtx->m_pApduChip = new CTrailedCommands<CAPDUChipBrio>(pCtx->m_pDevieHandle, m_trail);
        CApplicationObject *pApp = NewApp();
        transport_pause::Reset();
        if (fnBefore) fnBefore();
        m_trail.Arm(ulRefuse);
        unsigned int ulRet = GetParam().bDelete ? pApp->DeleteCosFile((char *)"c")
                                                : pApp->CreateCosFile((char *)"b", 100, 0xFF, 0xFF);
        m_trail.Disarm();
        return ulRet;
    }
};

TEST_P(ShortRecordFileTest, EveryCutLeavesTheOtherFilesAndNoNameWithoutItsFiles)
{
    const ShortRecordCase &c = GetParam();
    const unsigned int ulAddr = c.ulAddr;
    OpenApp(ulAddr);
    /* The largest file that fits once the record file is whole. */
    PutRawFile(SKF_OBJECT_RECORD_FILE, Bytes(SKF_OBJECT_RECORD_FILE_LEN, 0));
    _QV_DEV_INFO stInfo;
    ASSERT_EQ(0u, Operator()->GetDeviceInfo(&stInfo));
    const unsigned int ulLargest = stInfo.ulFreeSpace - SKF_OBJECT_HEADER_LEN;

    SetUpToken();
    ASSERT_EQ(0u, Call());
    const unsigned int ulSteps = transport_pause::Count();
    ASSERT_EQ(ulSteps, m_trail.Frames().size());
    ASSERT_EQ(SKF_OBJECT_RECORD_FILE_LEN, RawFile(SKF_OBJECT_RECORD_FILE).size());
    /* An unplug after the record file's deletion reached the token and
     * before its first new bytes did leaves no records: the one loss the
     * layout cannot avoid. */
    const unsigned int ulDeleted = m_trail.Find(INS_DELETE_FILE, SKF_OBJECT_RECORD_FILE);
    const unsigned int ulRewritten = m_trail.Find(INS_WRITE_FILE, SKF_OBJECT_RECORD_FILE, ulDeleted);
    ASSERT_NE(0u, ulDeleted);
    ASSERT_EQ(ulDeleted + 1, m_trail.Find(INS_CREATE_FILE, SKF_OBJECT_RECORD_FILE, ulDeleted));
    ASSERT_EQ(ulDeleted + 2, ulRewritten);

    /* Command n cut (unplugged once it reached the token), its answer lost,
     * or refused; after a lost answer also a second fault at a later
     * command m, lost or refused, as the putting back meets it. */
    enum class Fault { None, Unplug, Lost, Refused };
    struct Run {
        Fault first;
        unsigned int n;
        Fault second;
        unsigned int m;
    };
    std::vector<Run> runs;
    for (unsigned int n = 1; n <= ulSteps; ++n) {
        for (Fault f : {Fault::Unplug, Fault::Lost, Fault::Refused}) runs.push_back(Run{f, n, Fault::None, 0});
        for (unsigned int m = n + 1; m <= n + 6; ++m) {
            for (Fault f : {Fault::Lost, Fault::Refused}) runs.push_back(Run{Fault::Lost, n, f, m});
        }
    }
    static const char *const FAULT_NAMES[] = {"", "unplug", "lost answer", "refused"};
    auto loseAnswer = [&]() { daemon.InjectFault(TokenSerial(), "csw-status"); };
    for (const Run &r : runs) {
        const unsigned int n = r.n;
        std::string where = std::string(FAULT_NAMES[(int)r.first]) + " at command " + std::to_string(n);
        if (r.second != Fault::None) where += std::string(", ") + FAULT_NAMES[(int)r.second] + " at " + std::to_string(r.m);
        /* The last run's connection, its token left with no file. */
        SetUpToken();
        unsigned int ulRefuse = r.first == Fault::Refused ? n : r.second == Fault::Refused ? r.m : 0;
        unsigned int ulRet = Call(ulRefuse, [&]() {
            if (r.first == Fault::Unplug) transport_pause::At(n, [&]() { daemon.Unplug(TokenSerial()); });
            if (r.first != Fault::Lost) return;
            /* An answer is lost by a fault armed at the pause of the
             * command before (now, for the first command). */
            std::function<void()> fnLose = [&]() {
                loseAnswer();
                if (r.second == Fault::Lost) transport_pause::At(r.m - n, loseAnswer);
            };
            if (n == 1) fnLose();
            else transport_pause::At(n - 1, fnLose);
        });
        transport_pause::Clear();
        daemon.InjectFault(TokenSerial(), "none");
        CApplicationObject *pApp = Replug(ulAddr);

        std::string list = FileList(pApp);
        auto listed = [&](const char *pszName) {
            return list.find(std::string(pszName) + '\0') == 0 ||
                   list.find(std::string("\0", 1) + pszName + '\0') != std::string::npos;
        };
        const bool bLoss = r.first == Fault::Unplug && n >= ulDeleted && n < ulRewritten;
        if (bLoss) {
            EXPECT_EQ(std::string(), list) << where;
        } else {
            EXPECT_TRUE(listed("a")) << where << ": a file that the call does not touch is gone";
            if (listed("a")) { EXPECT_EQ(m_a, ReadBack(pApp, "a")) << where; }
        }
        const char *pszTouched = c.bDelete ? "c" : "b";
        if (ulRet == 0) { EXPECT_EQ(!c.bDelete, listed(pszTouched)) << where << ": success"; }
        if (listed(pszTouched)) {
            /* The name with its files. */
            Bytes back = ReadBack(pApp, pszTouched);
            EXPECT_EQ(100u, back.size()) << where;
            if (c.bDelete) { EXPECT_EQ(m_c, back) << where; }
        } else if (!c.bDelete && r.first != Fault::Unplug && r.second == Fault::None) {
            /* A creation failed by one command leaves no name, and none of
             * its files: an unplug, or a second failure in the clean-up,
             * leaves them to the sweep of free runs (and a deletion frees
             * the record before the files, by design). */
            EXPECT_EQ(0u, RawFile(DataFile(1, 0)).size()) << where << ": files of no name";
        }
        /* Every listed name deletes; a new file makes the record file
         * whole, and once it is gone the largest file fits. */
        for (const char *pszName : {"a", "b", "c"}) {
            if (listed(pszName)) { EXPECT_EQ(0u, pApp->DeleteCosFile((char *)pszName)) << where << " " << pszName; }
        }
        EXPECT_EQ(std::string(), FileList(pApp)) << where;
        EXPECT_EQ(0u, pApp->CreateCosFile((char *)"x", 10, 0xFF, 0xFF)) << where;
        EXPECT_EQ(0u, pApp->DeleteCosFile((char *)"x")) << where;
        EXPECT_EQ(0u, pApp->CreateCosFile((char *)"largest", ulLargest, 0xFF, 0xFF)) << where;
        EXPECT_EQ(0u, pApp->DeleteCosFile((char *)"largest")) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Rebuilds, ShortRecordFileTest,
                         ::testing::Values(ShortRecordCase{"CreateBeside296Bytes", 12, 296, false},
                                           ShortRecordCase{"CreateBeside148Bytes", 13, 148, false},
                                           ShortRecordCase{"DeleteFrom296Bytes", 14, 296, true}),
                         [](const ::testing::TestParamInfo<ShortRecordCase> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- records shared by handles and processes ---- */

TEST_F(ApplicationTest, TwoHandlesKeepEachOthersRecords)
{
    CApplicationObject *pFirst = OpenApp(32);
    CApplicationObject *pSecond = NewApp();
    ASSERT_EQ(0u, pFirst->CreateCosFile((char *)"one", 10, 0xFF, 0xFF));
    ASSERT_EQ(0u, pSecond->CreateCosFile((char *)"two", 10, 0xFF, 0xFF));
    EXPECT_EQ((unsigned int)SAR_FILE_ALREADY_EXIST, pSecond->CreateCosFile((char *)"one", 10, 0xFF, 0xFF));
    ASSERT_EQ(0u, pFirst->DeleteCosFile((char *)"one"));
    EXPECT_EQ(std::string("two\0\0", 5), FileList(pFirst));
    EXPECT_EQ(std::string("two\0\0", 5), FileList(pSecond));
    /* A handle reads the record another one freed and filled again. */
    ASSERT_EQ(0u, pSecond->CreateCosFile((char *)"three", 20, 0xFF, 0xFF));
    EXPECT_EQ(20u, FileSize(pFirst, "three"));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pFirst->GetCosFileInfo((char *)"one", nullptr));
}

TEST_F(ApplicationTest, TwoProcessesCreateAndDeleteWithoutLosingRecords)
{
    CApplicationObject *pApp = OpenApp(33, false);
    const int N = 8;
    std::string device = DeviceNameOf(APPLICATION_TEST_BUS, 33), count = std::to_string(N);
    char *argv[] = {(char *)SKF_APPLICATION_FILES_PEER, (char *)device.c_str(), (char *)count.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, SKF_APPLICATION_FILES_PEER, nullptr, nullptr, argv, environ));
    CDeviceContext *pCtx = Context();
    unsigned int ulFailures = 0;
    for (int i = 0; i < N; ++i) {
        /* Each call under the device lock, as the SKF frame holds it. */
        for (const char *pszName : {"here0", "here1"}) {
            Bytes data = RandomBytes(40 + i);
            ASSERT_EQ(0u, pCtx->WaitDevMutex());
            ulFailures += pApp->CreateCosFile((char *)pszName, (unsigned int)data.size(), 0xFF, 0xFF) != 0;
            ulFailures += pApp->WriteCosFile((char *)pszName, 0, data.data(), (unsigned int)data.size()) != 0;
            pCtx->ReleaseDevMutex();
            ulFailures += ReadBack(pApp, pszName) != data;
        }
        for (const char *pszName : {"here0", "here1"}) ulFailures += pApp->DeleteCosFile((char *)pszName) != 0;
    }
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"here", 10, 0xFF, 0xFF));
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0u, ulFailures);
    std::string list = FileList(pApp);
    EXPECT_TRUE(list == std::string("here\0peer\0\0", 11) || list == std::string("peer\0here\0\0", 11)) << list;
    EXPECT_EQ(10u, FileSize(pApp, "peer"));
}

/* ---- what is read again ---- */

/* A second connection to the fixture's token, with its own application
 * object: another process would see the token the same way. */
class OtherConnection {
public:
    explicit OtherConnection(const std::string &device) : m_pContext(new CBrioContext()), m_op(m_pContext)
    {
        EXPECT_EQ(0u, m_pContext->Open(DRIVER_TYPE_USB_BULK, device.c_str(), true));
        EXPECT_EQ(0u, m_op.Initialize(0));
        m_pApp.reset(new CApplicationObject(m_pContext));
        EXPECT_EQ(0u, OpenApplicationOn(m_pApp.get()));
    }
    ~OtherConnection()
    {
        m_pApp.reset();
        m_op.Finalize();
    }
    CApplicationObject *App() const { return m_pApp.get(); }
    CDeviceContext *Context() const { return m_pContext; }

private:
    CBrioContext *m_pContext;
    CBrioOperator m_op;
    std::unique_ptr<CApplicationObject> m_pApp;
};

/* The plain write of one chunk (at most APDU_CHUNK_LEN bytes) into a token
 * file, as a host sends it by hand. */
static Bytes RawWriteFrame(unsigned short usFileID, unsigned int ulOffset, const Bytes &data)
{
    unsigned int ulBody = 8 + (unsigned int)data.size();
    Bytes v = {APDU_CLA_PLAIN, 0x3A, ApduChunkFlags(true, true), 0x00, (unsigned char)(ulBody >> 8),
               (unsigned char)ulBody, 0x00, 0x00};
    for (unsigned int ul : {(unsigned int)OPERATOR_APP_ID, (unsigned int)usFileID, ulOffset, (unsigned int)data.size()}) {
        v.push_back((unsigned char)(ul >> 8));
        v.push_back((unsigned char)ul);
    }
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

/* Once a file was read, reading it again costs only its content, and a
 * write only its own commands: nothing the token still holds as it was is
 * read again. */
TEST_F(ApplicationTest, UnchangedFilesAreNotReadAgain)
{
    CApplicationObject *pApp = OpenApp(52);
    Bytes data = RandomBytes(1024);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"f1k", 1024, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"f1k", 0, data.data(), 1024));
    ASSERT_EQ(data, ReadBack(pApp, "f1k"));
    struct {
        const char *pszCall;
        std::function<unsigned int()> fnCall;
        unsigned int ulExchanges;
    } cases[] = {
        /* the four chunks of the content */
        {"read 1 KiB",
         [&] {
             Bytes out(1024);
             unsigned int ulLen = 1024;
             unsigned int ulRet = pApp->ReadCosFile((char *)"f1k", 0, 1024, out.data(), &ulLen);
             EXPECT_EQ(data, out);
             return ulRet;
         },
         1024 / APDU_CHUNK_LEN},
        /* the copy's file created and written in four chunks, the new
         * record written, the old one freed, its file deleted */
        {"write 1 KiB", [&] { return pApp->WriteCosFile((char *)"f1k", 0, data.data(), 1024); },
         1 + 1024 / APDU_CHUNK_LEN + 2 + 1},
        /* a shorter write in place: its own chunk, nothing read */
        {"write 16 bytes", [&] { return pApp->WriteCosFile((char *)"f1k", 0, data.data(), 16); }, 1},
        /* its file, its record */
        {"create 1 KiB", [&] { return pApp->CreateCosFile((char *)"new", 1024, 0xFF, 0xFF); }, 2},
        /* its record, its file */
        {"delete 1 KiB", [&] { return pApp->DeleteCosFile((char *)"new"); }, 2},
    };
    for (int i = 0; i < 2; ++i) {
        for (auto &c : cases) {
            transport_pause::Reset();
            EXPECT_EQ(0u, c.fnCall()) << c.pszCall;
            EXPECT_EQ(c.ulExchanges, transport_pause::Count()) << c.pszCall << ", call " << i;
        }
    }
    EXPECT_EQ(data, ReadBack(pApp, "f1k"));
    /* A new secure channel may mean another token: the next read asks the
     * record file's size and reads its three chunks, asks the object's size
     * and reads its header, then the content. */
    ASSERT_EQ(0u, Context()->SetSessionKey(true));
    Bytes out(1024);
    unsigned int ulLen = 1024;
    transport_pause::Reset();
    EXPECT_EQ(0u, pApp->ReadCosFile((char *)"f1k", 0, 1024, out.data(), &ulLen));
    EXPECT_EQ(1 + 3 + 2 + 1024 / APDU_CHUNK_LEN, transport_pause::Count());
    EXPECT_EQ(data, out);
}

/* Creation, writes and deletion touch only the object's own files: on a
 * sound token no step fails, so the log has no failure line (deleting the
 * whole run of 32 identifiers wrote three for each absent file). */
TEST_F(ApplicationTest, CreationAndDeletionMeetNoAbsentFiles)
{
    CApplicationObject *pApp = OpenApp(20);
    skf_test::CLogCapture log;
    ASSERT_TRUE(log.Started());
    for (unsigned int ulSize : {1000u, 30000u}) {
        Bytes data = RandomBytes(ulSize);
        ASSERT_EQ(0u, pApp->CreateCosFile((char *)"own", ulSize, 0xFF, 0xFF));
        ASSERT_EQ(0u, pApp->WriteCosFile((char *)"own", 0, data.data(), ulSize));
        ASSERT_EQ(0u, pApp->WriteCosFile((char *)"own", 0, data.data(), 16));
        EXPECT_EQ(data, ReadBack(pApp, "own"));
        ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"own"));
    }
    std::string text = log.Text();
    EXPECT_EQ(std::string::npos, text.find(" failed(")) << text.substr(0, 2000);
}

/* What another connection (or a host, by hand) changes is seen at the next
 * call of this one, and the other way round; no record is lost. */
TEST_F(ApplicationTest, ConnectionsSeeEachOthersChanges)
{
    CApplicationObject *pApp = OpenApp(53);
    OtherConnection other(DeviceNameOf(APPLICATION_TEST_BUS, 53));
    CApplicationObject *pOther = other.App();
    Bytes first = RandomBytes(1000);
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"shared", 1000, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->WriteCosFile((char *)"shared", 0, first.data(), 1000));
    ASSERT_EQ(first, ReadBack(pApp, "shared"));
    ASSERT_EQ(first, ReadBack(pOther, "shared"));
    struct {
        const char *pszChange;
        std::function<void(const Bytes &)> fnChange;
    } cases[] = {
        {"the other connection writes",
         [&](const Bytes &v) { ASSERT_EQ(0u, pOther->WriteCosFile((char *)"shared", 0, (unsigned char *)v.data(), 1000)); }},
        {"this connection writes",
         [&](const Bytes &v) { ASSERT_EQ(0u, pApp->WriteCosFile((char *)"shared", 0, (unsigned char *)v.data(), 1000)); }},
    };
    Bytes now;
    for (auto &c : cases) {
        now = RandomBytes(1000);
        c.fnChange(now);
        EXPECT_EQ(now, ReadBack(pApp, "shared")) << c.pszChange;
        EXPECT_EQ(now, ReadBack(pOther, "shared")) << c.pszChange;
    }
    /* A host renames the file by hand, past the file layer. */
    unsigned int ulIndex = RecordOf(RawFile(SKF_OBJECT_RECORD_FILE), "shared");
    ASSERT_LT(ulIndex, 4u);
    Bytes frame = RawWriteFrame(SKF_OBJECT_RECORD_FILE, ulIndex * RECORD, Record(ulIndex, "hand", 1, 0));
    Bytes answer(64);
    unsigned int ulLen = (unsigned int)answer.size();
    CDeviceObject dev(other.Context());
    ASSERT_EQ(0u, dev.Transmit(frame.data(), (unsigned int)frame.size(), answer.data(), &ulLen));
    ASSERT_GE(ulLen, 2u);
    EXPECT_EQ(0x90, answer[0]);
    for (CApplicationObject *p : {pApp, pOther}) {
        EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, p->GetCosFileInfo((char *)"shared", nullptr));
        EXPECT_EQ(now, ReadBack(p, "hand"));
    }
    /* Files made and removed on one side are listed on both. */
    ASSERT_EQ(0u, pOther->CreateCosFile((char *)"theirs", 10, 0xFF, 0xFF));
    ASSERT_EQ(0u, pApp->CreateCosFile((char *)"mine", 10, 0xFF, 0xFF));
    for (CApplicationObject *p : {pApp, pOther}) {
        EXPECT_EQ(std::string("hand\0theirs\0mine\0\0", 18).size(), FileList(p).size());
        EXPECT_EQ(1000u, FileSize(p, "hand"));
        EXPECT_EQ(10u, FileSize(p, "theirs"));
    }
    ASSERT_EQ(0u, pApp->DeleteCosFile((char *)"theirs"));
    EXPECT_EQ((unsigned int)SAR_FILE_NOT_EXIST, pOther->GetCosFileInfo((char *)"theirs", nullptr));
    EXPECT_EQ(10u, FileSize(pOther, "mine"));
}
