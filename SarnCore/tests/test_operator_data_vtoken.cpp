/* The device operator's containers, certificates, data files and operation
 * log end to end against the virtual token. */
#include "OperatorVToken.h"

#include <spawn.h>
#include <sys/wait.h>

#include <set>

extern char **environ;

/* ---- containers and the container cache ---- */

TEST_F(OperatorVTokenTest, ContainersListedCachedAndDeleted)
{
    CDeviceOperator *pOp = OpenVerified(20);
    unsigned int size = 99;
    ASSERT_EQ(0u, pOp->EnumContainer(nullptr, &size, false));
    EXPECT_EQ(0u, size);
    char list[64];
    memset(list, 0x55, sizeof(list));
    size = sizeof(list);
    EXPECT_EQ(0u, pOp->EnumContainer(list, &size, false));
    EXPECT_EQ(0u, size);

    ASSERT_EQ(0u, pOp->CreateContainer((char *)"a"));
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"bb"));
    ASSERT_EQ(0u, pOp->EnumContainer(nullptr, &size, false));
    EXPECT_EQ(6u, size);
    memset(list, 0, sizeof(list));
    size = 5;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->EnumContainer(list, &size, false));
    EXPECT_EQ(6u, size);
    ASSERT_EQ(0u, pOp->EnumContainer(list, &size, false));
    EXPECT_EQ(0, memcmp(list, "a\0bb\0\0", 6));

    _QV_CONTAINER_INFO info;
    memset(&info, 0, sizeof(info));
    strcpy(info.szName, "zz");
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, pOp->ReadContainer(&info, true));
    unsigned short usKey = 0, usCert = 0;
    ASSERT_EQ(0u, pOp->GetContainerInfo((char *)"bb", 2, nullptr, &usKey, &usCert, true));
    EXPECT_EQ(2, usKey & 3);
    EXPECT_EQ(usKey, usCert);
    ASSERT_EQ(0u, pOp->GetContainerInfo((char *)"bb", 1, nullptr, &usKey, nullptr, true));
    EXPECT_EQ(1, usKey & 3);

    /* A fresh operator reads an uncached container from the token once. */
    CDeviceOperator *pOther = Open(DeviceNameOf(OPERATOR_TEST_BUS, 20));
    memset(&info, 0, sizeof(info));
    strcpy(info.szName, "a");
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, pOther->ReadContainer(&info, true));
    ASSERT_EQ(0u, pOther->ReadContainer(&info, false));
    EXPECT_EQ(1, info.byNameLen);
    EXPECT_EQ(0u, pOther->ReadContainer(&info, true));

    ASSERT_EQ(0u, pOp->DeleteContainer((char *)"a"));
    EXPECT_EQ(nullptr, pOp->FindContainerFromMemory((char *)"a"));
    ASSERT_EQ(0u, pOp->EnumContainer(nullptr, &size, false));
    EXPECT_EQ(4u, size);

    /* Names that do not fit the record's field are refused before any copy. */
    std::string longName(40, 'n');
    EXPECT_EQ(ERR_BAD_LENGTH, pOp->CreateContainer((char *)longName.c_str()));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->CreateContainer(nullptr));
}

TEST_F(OperatorVTokenTest, ASixthContainerIsRefusedAndTheListStillReads)
{
    CDeviceOperator *pOp = OpenVerified(21);
    for (int i = 0; i < 5; ++i) {
        std::string name = "container-" + std::to_string(i);
        ASSERT_EQ(0u, pOp->CreateContainer((char *)name.c_str()));
    }
    EXPECT_NE(0u, pOp->CreateContainer((char *)"container-5"));
    unsigned int size = 0;
    ASSERT_EQ(0u, pOp->EnumContainer(nullptr, &size, false));
    EXPECT_EQ(5u * 12u + 1u, size);
}

/* ---- certificates ---- */

/* A DER-shaped certificate of the total length with a two-byte long-form
 * length. */
static Bytes Certificate(unsigned int ulTotal)
{
    Bytes v(ulTotal);
    for (unsigned int i = 0; i < ulTotal; ++i) v[i] = (unsigned char)(i * 13 + 5);
    v[0] = 0x30;
    v[1] = 0x82;
    v[2] = (unsigned char)((ulTotal - 4) >> 8);
    v[3] = (unsigned char)(ulTotal - 4);
    return v;
}

struct CertCase {
    unsigned int length;
    unsigned int address;
};

class CertificateTest : public OperatorVTokenTest, public ::testing::WithParamInterface<CertCase> {};

TEST_P(CertificateTest, WrittenAndReadBack)
{
    CDeviceOperator *pOp = OpenVerified(GetParam().address);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"cert"));
    ASSERT_EQ(0u, pOp->GenerateKeyPair((char *)"cert", 2, TOKEN_ALG_SM2, nullptr));
    Bytes cert = Certificate(GetParam().length);
    ASSERT_EQ(0u, pOp->ImportCert((char *)"cert", 2, cert.data(), (unsigned int)cert.size()));
    EXPECT_EQ(1, pOp->FindContainerFromMemory((char *)"cert")->bySignCertFlag);

    unsigned int size = 0;
    ASSERT_EQ(0u, pOp->ExportCert((char *)"cert", 2, nullptr, &size));
    EXPECT_EQ(cert.size(), size);
    Bytes back(cert.size() + 10, 0);
    size = (unsigned int)cert.size() - 1;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->ExportCert((char *)"cert", 2, back.data(), &size));
    EXPECT_EQ(cert.size(), size);
    size = (unsigned int)back.size();
    ASSERT_EQ(0u, pOp->ExportCert((char *)"cert", 2, back.data(), &size));
    ASSERT_EQ(cert.size(), size);
    EXPECT_EQ(cert, Bytes(back.begin(), back.begin() + size));
}

INSTANTIATE_TEST_SUITE_P(Lengths, CertificateTest,
                         ::testing::Values(CertCase{128, 22}, CertCase{1000, 23}, CertCase{2560, 24}),
                         [](const ::testing::TestParamInfo<CertCase> &i) {
                             return std::to_string(i.param.length);
                         });

TEST_F(OperatorVTokenTest, CertificatesOfAWrongShapeAreRefusedBeforeSending)
{
    CDeviceOperator *pOp = OpenVerified(25);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"c"));
    Bytes big = Certificate(2561);
    EXPECT_EQ(ERR_BAD_CERTIFICATE, pOp->ImportCert((char *)"c", 1, big.data(), (unsigned int)big.size()));
    Bytes cert = Certificate(300);
    EXPECT_EQ(ERR_BAD_CERTIFICATE, pOp->ImportCert((char *)"c", 1, cert.data(), 299));
    EXPECT_EQ(ERR_BAD_CERTIFICATE, pOp->ImportCert((char *)"c", 1, cert.data(), 3));
    unsigned int size = 0;
    EXPECT_EQ(ERR_CONTAINER_NOT_FOUND, pOp->ExportCert((char *)"unknown", 1, nullptr, &size));
}

/* ---- token data files ---- */

TEST_F(OperatorVTokenTest, DataFilesThroughTheOperator)
{
    CDeviceOperator *pOp = OpenVerified(26);
    ASSERT_EQ(0u, pOp->CreateCosFile(0x1234, 600));
    Bytes data(600);
    for (unsigned int i = 0; i < data.size(); ++i) data[i] = (unsigned char)(i * 3);
    ASSERT_EQ(0u, pOp->WriteCosFile(0, 0x1234, data.data(), (unsigned int)data.size()));
    Bytes back(600, 0);
    unsigned int len = (unsigned int)back.size();
    ASSERT_EQ(0u, pOp->ReadCosFile(0, 0x1234, back.data(), &len));
    EXPECT_EQ(data, back);
    len = 10;
    ASSERT_EQ(0u, pOp->ReadCosFile(590, 0x1234, back.data(), &len));
    EXPECT_EQ(Bytes(data.begin() + 590, data.end()), Bytes(back.begin(), back.begin() + 10));

    uint32_t ulSize = 0xFFFFFFFF;
    ASSERT_EQ(0u, pOp->GetCosFileInfo(0x1234, 0, sizeof(ulSize), (unsigned char *)&ulSize));
    EXPECT_EQ(600u, ulSize);
    unsigned char one = 0;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, pOp->GetCosFileInfo(0x1234, 0, 1, &one));

    ASSERT_EQ(0u, pOp->DeleteCosFile(0x1234));
    EXPECT_EQ(0x8000F102u, pOp->GetCosFileInfo(0x1234, 0, 0, nullptr));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->WriteCosFile(0, 0x1234, nullptr, 1));
    EXPECT_EQ(ERR_NULL_ARGUMENT, pOp->ReadCosFile(0, 0x1234, nullptr, &len));
}

/* ---- the token operation log ---- */

static std::vector<_QV_LOG_INFO> ExportLog(CDeviceOperator *pOp)
{
    std::vector<_QV_LOG_INFO> v(SARN_LOG_RECORDS);
    unsigned int n = 0;
    EXPECT_EQ(0u, pOp->ExportSarnLog(v.data(), &n));
    v.resize(n);
    return v;
}

TEST_F(OperatorVTokenTest, OperationLogIsARingOf64WithContinuingSequence)
{
    CDeviceOperator *pOp = Open(AddToken(27));
    _QV_LOG_INFO rec[SARN_LOG_RECORDS];
    unsigned int n = 0;
    EXPECT_EQ(0x8000F102u, pOp->ExportSarnLog(rec, &n));

    for (int i = 0; i < 66; ++i) ASSERT_EQ(0u, pOp->RecordSarnLog((char *)"Test")) << i;
    std::vector<_QV_LOG_INFO> log = ExportLog(pOp);
    ASSERT_EQ(64u, log.size());
    EXPECT_EQ(64, log[0].bySeq);
    EXPECT_EQ(65, log[1].bySeq);
    EXPECT_EQ(2, log[2].bySeq);
    EXPECT_EQ(63, log[63].bySeq);
    EXPECT_STREQ("Test", log[1].szTag);
    EXPECT_NEAR((double)time(nullptr), (double)log[1].ulTime, 60.0);

    /* A full ring ending at 254: the next record is 0 in the oldest slot. */
    _QV_LOG_INFO ring[SARN_LOG_RECORDS];
    for (unsigned int i = 0; i < SARN_LOG_RECORDS; ++i) {
        memset(&ring[i], 0, sizeof(ring[i]));
        ring[i].bySeq = (unsigned char)(191 + i);
        strcpy(ring[i].szTag, "Old");
    }
    ASSERT_EQ(0u, pOp->WriteCosFile(0, SARN_LOG_FILE_ID, (unsigned char *)ring, sizeof(ring)));
    ASSERT_EQ(0u, pOp->RecordSarnLog((char *)"AVeryLongTagName"));
    log = ExportLog(pOp);
    EXPECT_EQ(0, log[0].bySeq);
    EXPECT_STREQ("AVeryLongT", log[0].szTag);
    ASSERT_EQ(0u, pOp->RecordSarnLog((char *)"Next"));
    log = ExportLog(pOp);
    EXPECT_EQ(1, log[1].bySeq);
}

TEST_F(OperatorVTokenTest, ChangesLeaveTheirTagsInTheLog)
{
    CDeviceOperator *pOp = OpenVerified(28);
    ASSERT_EQ(0u, pOp->CreateContainer((char *)"logged"));
    ASSERT_EQ(0u, pOp->DeleteContainer((char *)"logged"));
    ASSERT_EQ(0u, pOp->ChangePIN(1, (char *)"12345678", 8, (char *)"12345678", 8));
    std::vector<_QV_LOG_INFO> log = ExportLog(pOp);
    ASSERT_GE(log.size(), 3u);
    EXPECT_STREQ("CreCtnr", log[0].szTag);
    EXPECT_STREQ("DelCtnr", log[1].szTag);
    EXPECT_STREQ("ChgPin", log[2].szTag);
    EXPECT_EQ(SARN_LOG_EMPTY, log[3].bySeq);
}

TEST_F(OperatorVTokenTest, OperationLogIsSharedByTwoProcesses)
{
    std::string name = AddToken(29);
    CDeviceOperator *pOp = Open(name);
    const int N = 20;
    std::string count = std::to_string(N);
    char *argv[] = {(char *)SARNCORE_LOG_PEER, (char *)name.c_str(), (char *)count.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, SARNCORE_LOG_PEER, nullptr, nullptr, argv, environ));
    CDeviceContext *pCtx = pOp->GetDeviceContext();
    for (int i = 0; i < N; ++i) {
        ASSERT_EQ(0u, pCtx->WaitDevMutex());
        EXPECT_EQ(0u, pOp->RecordSarnLog((char *)"Here"));
        pCtx->ReleaseDevMutex();
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    std::vector<_QV_LOG_INFO> log = ExportLog(pOp);
    std::set<int> seqs;
    int peer = 0;
    for (const _QV_LOG_INFO &r : log) {
        if (r.bySeq == SARN_LOG_EMPTY) continue;
        seqs.insert(r.bySeq);
        peer += strcmp(r.szTag, "Peer") == 0;
    }
    EXPECT_EQ((size_t)(2 * N), seqs.size());
    EXPECT_EQ(0, *seqs.begin());
    EXPECT_EQ(2 * N - 1, *seqs.rbegin());
    EXPECT_EQ(N, peer);
}
