/* Device-operator faults that a well-behaved token never shows, against a
 * scripted token: a log file that never appears, status words that only
 * share bits with "no such file", container lists and certificate reads
 * answered out of shape. */
#include <gtest/gtest.h>

#include <string.h>

#include <new>

#include "FakeToken.h"
#include "SarnCore/DeviceOperator.h"
#include "SarnCore/tests/DevMutexProbe.h"

/* A context whose command objects talk to the scripted token, with a device
 * mutex of its own (bus 4, address 200). */
class ScriptedOperatorTest : public ::testing::Test {
protected:
    ScriptedOperatorTest() : token(nullptr)
    {
        ctx.m_pDevieHandle = new CDeviceInfo();
        token = FakeToken(ctx.m_pDevieHandle);
        OpenChannel(*ctx.m_pDevieHandle);
        ctx.m_pApduFile = new CFakeLink<CAPDUFile>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduContainer = new CFakeLink<CAPDUContainer>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduKey = new CFakeLink<CAPDUKey>(ctx.m_pDevieHandle, &token);
        ctx.m_pApduChip = new CFakeLink<CAPDUChip>(ctx.m_pDevieHandle, &token);
        const char *name = "Mirel&pid_f00d&bus_004&addr_200";
        EXPECT_EQ(0u, ctx.SetDeviceName(name, (unsigned int)strlen(name)));
        EXPECT_EQ(0u, ctx.CreateDevMutex());
    }


    CDeviceContext ctx;
    FakeToken token;
    CDeviceOperator op{&ctx};
};

TEST_F(ScriptedOperatorTest, LogFileIsCreatedOnlyForNoSuchFileAndAtMostTwice)
{
    /* A token that keeps saying the file is missing although it was created. */
    for (int i = 0; i < 10; ++i) {
        token.Answer(0xF102);
        token.Answer(0x9000);
    }
    EXPECT_EQ(0x8000F102u, op.RecordSarnLog((char *)"Test"));
    ASSERT_EQ(5u, token.seen.size());
    EXPECT_EQ(0x36, token.seen[0].ins);
    EXPECT_EQ(0x30, token.seen[1].ins);
    EXPECT_EQ(0x36, token.seen[4].ins);
}

class LogStatusTest : public ScriptedOperatorTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(LogStatusTest, OtherStatusWordsEndTheRecordWithoutCreating)
{
    token.Answer(GetParam());
    EXPECT_EQ(0x80000000u | GetParam(), op.RecordSarnLog((char *)"Test"));
    EXPECT_EQ(1u, token.seen.size());
}

/* Each of these shares the bits of F1 02. */
INSTANTIATE_TEST_SUITE_P(SharedBits, LogStatusTest, ::testing::Values(0xF526u, 0xF323u, 0xF102u | 0x0400u));

TEST_F(ScriptedOperatorTest, LogOfAShortFileIsNotWritten)
{
    token.Answer(0x9000, {0x04, 0x00});
    token.Answer(0x9000, Bytes(100, 0xFF));  // a short answer ends the chunked read
    EXPECT_NE(0u, op.RecordSarnLog((char *)"Test"));
    for (const SeenCommand &c : token.seen) EXPECT_NE(0x3A, c.ins);
}

TEST_F(ScriptedOperatorTest, ContainerListLongerThanItsAnswerAreaFailsCleanly)
{
    token.Answer(0x9000, Bytes(300, 0));
    unsigned int size = 77;
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, op.EnumContainer(nullptr, &size, false));
    EXPECT_EQ(0u, size);
}

TEST_F(ScriptedOperatorTest, ContainerRecordsWhoseNameDoesNotFitAreRefused)
{
    Bytes list(100, 0);
    list[9] = 1;
    list[10] = 'a';
    list[50 + 9] = 45;  // longer than the name field
    memset(&list[60], 'b', 40);
    token.Answer(0x9000, list);
    unsigned int size = 0;
    EXPECT_EQ(ERR_BAD_LENGTH, op.EnumContainer(nullptr, &size, false));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(nullptr, op.FindContainerFromMemory((char *)"a"));

    /* A short open-container answer is not taken into the cache either. */
    token.Answer(0x9000, {2, 0, 0x2F, 0x00});
    _QV_CONTAINER_INFO info;
    memset(&info, 0, sizeof(info));
    strcpy(info.szName, "c");
    EXPECT_EQ(ERR_BAD_LENGTH, op.ReadContainer(&info, false));
    EXPECT_EQ(nullptr, op.FindContainerFromMemory((char *)"c"));
}

TEST_F(ScriptedOperatorTest, CertificateReadThatAnswersNothingEnds)
{
    /* The cache knows the container; the certificate header says 300 bytes. */
    Bytes open = {2, 0, 0x2F, 0x00, 17, 1, 17, 1};
    token.Answer(0x9000, open);
    _QV_CONTAINER_INFO info;
    memset(&info, 0, sizeof(info));
    strcpy(info.szName, "c");
    ASSERT_EQ(0u, op.ReadContainer(&info, false));
    Bytes header(16, 0);
    header[0] = 0x30;
    header[1] = 0x82;
    header[2] = 0x01;
    header[3] = 0x28;
    token.Answer(0x9000, header);
    token.Answer(0x9000, {});
    unsigned char cert[400];
    unsigned int len = sizeof(cert);
    EXPECT_EQ(ERR_BAD_LENGTH, op.ExportCert((char *)"c", 2, cert, &len));
    EXPECT_EQ(3u, token.seen.size());

    /* A header that is not a DER sequence. */
    header[0] = 0x31;
    token.Answer(0x9000, header);
    len = sizeof(cert);
    EXPECT_EQ(ERR_BAD_CERTIFICATE, op.ExportCert((char *)"c", 2, cert, &len));
    EXPECT_EQ(0u, len);
}

TEST_F(ScriptedOperatorTest, CertificateChunksCarryTheirFlags)
{
    Bytes cert(300, 0x11);
    cert[0] = 0x30;
    cert[1] = 0x82;
    cert[2] = 0x01;
    cert[3] = 0x28;
    ASSERT_EQ(0u, op.WriteCertFile(0x2F02, cert.data(), (unsigned int)cert.size()));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(0xA1, token.seen[0].p1);
    EXPECT_EQ(0xB0, token.seen[1].p1);
    EXPECT_EQ(24u + 256u, token.seen[0].body.size());
    EXPECT_EQ(24u + 44u, token.seen[1].body.size());
}

TEST_F(ScriptedOperatorTest, LabelGoesAsAZeroFilledField)
{
    ASSERT_EQ(0u, op.SetTokenLabel((char *)"Hello", 5));
    ASSERT_EQ(1u, token.seen.size());
    Bytes expected(32, 0);
    memcpy(expected.data(), "Hello", 5);
    EXPECT_EQ(expected, token.seen[0].body);
}

TEST_F(ScriptedOperatorTest, FlashBlocksAndTheirAddresses)
{
    Bytes data(300, 0x42);
    ASSERT_EQ(0u, op.WriteFlash(2, data.data(), (unsigned int)data.size()));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(Bytes({0, 0, 2, 0}), Bytes(token.seen[0].body.begin(), token.seen[0].body.begin() + 4));
    EXPECT_EQ(Bytes({0, 0, 3, 0}), Bytes(token.seen[1].body.begin(), token.seen[1].body.begin() + 4));
    ASSERT_EQ(260u, token.seen[1].body.size());
    EXPECT_EQ(Bytes(44, 0x42), Bytes(token.seen[1].body.begin() + 4, token.seen[1].body.begin() + 48));
    EXPECT_EQ(Bytes(212, 0xFF), Bytes(token.seen[1].body.begin() + 48, token.seen[1].body.end()));

    /* Reads start at index * 128 and go on in the same address units. */
    token.seen.clear();
    token.Answer(0x9000, Bytes(256, 1));
    token.Answer(0x9000, Bytes(256, 2));
    Bytes back(300, 0);
    ASSERT_EQ(0u, op.ReadFlash(2, back.data(), (unsigned int)back.size()));
    ASSERT_EQ(2u, token.seen.size());
    EXPECT_EQ(Bytes({0, 0, 1, 0}), token.seen[0].body);
    EXPECT_EQ(Bytes({0, 0, 1, 0x80}), token.seen[1].body);  // byte 768: the second written block
    EXPECT_EQ(Bytes(256, 1), Bytes(back.begin(), back.begin() + 256));
    EXPECT_EQ(Bytes(44, 2), Bytes(back.begin() + 256, back.end()));
}

/* An operator whose device information or external authentication step
 * throws, as a derived operator's may. */
class CThrowingOperator : public CDeviceOperator {
public:
    CThrowingOperator(CDeviceContext *pContext, bool bInfoThrows)
        : CDeviceOperator(pContext), m_bInfoThrows(bInfoThrows)
    {
    }
    unsigned int GetDeviceInfo(_QV_DEV_INFO *pDevInfo) override
    {
        if (m_bInfoThrows) throw std::bad_alloc();
        memset(pDevInfo, 0, sizeof(*pDevInfo));
        return 0;
    }
    unsigned int ExternalAuth(unsigned char *) override { throw std::bad_alloc(); }

private:
    bool m_bInfoThrows;
};

TEST(OperatorInitialize, AStepThatThrowsLeavesTheDeviceMutexFree)
{
    CDeviceContext ctx;
    ctx.m_pDevieHandle = new CDeviceInfo();
    const char *name = "Mirel&pid_f00d&bus_004&addr_202";  /* a mutex of its own */
    ASSERT_EQ(0u, ctx.SetDeviceName(name, (unsigned int)strlen(name)));
    ASSERT_EQ(0u, ctx.CreateDevMutex());
    for (bool bInfoThrows : {true, false}) {
        const char *pszStep = bInfoThrows ? "GetDeviceInfo" : "ExternalAuth";
        CThrowingOperator op(&ctx, bInfoThrows);
        EXPECT_THROW(op.Initialize(0), std::bad_alloc) << pszStep;
        EXPECT_TRUE(DevMutexFreeAtOnce(ctx.m_ulDeviceID)) << pszStep << " left the device mutex held";
    }
}
