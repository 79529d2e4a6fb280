/* The read side of the exchange with transfers a device rarely produces,
 * against the scripted libusb. */
#include <gtest/gtest.h>

#include <libusb.h>

#include "FakeLibusb.h"
#include "SarnComm/SarnComm.h"

static const unsigned char FRAME[8] = {0xB0, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x10};

class ReadPhaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fakeUsb.Reset();
        ASSERT_EQ(0u, SarnOpenDevice(DRIVER_TYPE_USB_BULK, "Mirel&pid_f00d&bus_009&addr_009", &m_h));
        /* the write phase's status */
        g_fakeUsb.in.push_back({0, FakeCsw(g_fakeUsb.Tag(), 0)});
    }
    void TearDown() override { SarnCloseDevice(m_h); }

    unsigned int Send(std::vector<unsigned char> *pAnswer)
    {
        unsigned char answer[SARN_MAX_ANSWER_LEN];
        unsigned int len = sizeof(answer);
        unsigned int r = SarnSendCommand(m_h, FRAME, sizeof(FRAME), answer, &len, SARN_DEFAULT_TIMEOUT);
        if (pAnswer != nullptr) pAnswer->assign(answer, answer + len);
        return r;
    }

    void *m_h = nullptr;
};

TEST_F(ReadPhaseTest, DataEndingLikeAForeignWrapperIsNotTheEnd)
{
    std::vector<unsigned char> first = {0x90, 0x00, 0x00, 0x20, 1, 2, 3};
    std::vector<unsigned char> lookalike = FakeCsw(g_fakeUsb.Tag() ^ 0x01010101u, 0);
    first.insert(first.end(), lookalike.begin(), lookalike.end());
    std::vector<unsigned char> second = {4, 5, 6};
    std::vector<unsigned char> ours = FakeCsw(g_fakeUsb.Tag(), 0);
    second.insert(second.end(), ours.begin(), ours.end());
    g_fakeUsb.in.push_back({0, first});
    g_fakeUsb.in.push_back({0, second});

    std::vector<unsigned char> answer;
    ASSERT_EQ(0u, Send(&answer));
    std::vector<unsigned char> expected = first;
    expected.insert(expected.end(), {4, 5, 6});
    EXPECT_EQ(expected, answer);
}

TEST_F(ReadPhaseTest, ForeignWrapperWithNothingAfterItIsAWrongTag)
{
    std::vector<unsigned char> data = {0x90, 0x00, 0x00, 0x00};
    std::vector<unsigned char> csw = FakeCsw(g_fakeUsb.Tag() + 1, 0);
    data.insert(data.end(), csw.begin(), csw.end());
    g_fakeUsb.in.push_back({0, data});
    EXPECT_EQ(ERR_CSW_TAG, Send(nullptr));
    /* The wait for more was short. */
    EXPECT_EQ(500u, g_fakeUsb.inTimeouts.back());
}

TEST_F(ReadPhaseTest, StallsAreRetriedABoundedNumberOfTimes)
{
    g_fakeUsb.in.clear();
    g_fakeUsb.stallForever = true;
    EXPECT_EQ(ERR_USB_TRANSFER, Send(nullptr));
    EXPECT_LE(g_fakeUsb.clearHalts, 3);
    EXPECT_GE(g_fakeUsb.clearHalts, 1);
}

TEST_F(ReadPhaseTest, EndlessEmptyTransfersEndTheRead)
{
    g_fakeUsb.in.clear();
    g_fakeUsb.emptyForever = true;
    EXPECT_EQ(ERR_USB_TRANSFER, Send(nullptr));
    EXPECT_LT(g_fakeUsb.inTimeouts.size(), 10u);
}

TEST_F(ReadPhaseTest, FullAreaWithoutWrapperFails)
{
    g_fakeUsb.in.push_back({0, std::vector<unsigned char>(600, 0x11)});
    g_fakeUsb.in.push_back({0, std::vector<unsigned char>(600, 0x22)});
    EXPECT_EQ(ERR_USB_TRANSFER, Send(nullptr));
}

TEST_F(ReadPhaseTest, AnswerInSeveralTransfersIsJoined)
{
    g_fakeUsb.in.push_back({0, {0x90, 0x00}});
    std::vector<unsigned char> rest = {0x00, 0x01, 0x42};
    std::vector<unsigned char> csw = FakeCsw(g_fakeUsb.Tag(), 0);
    rest.insert(rest.end(), csw.begin(), csw.end());
    g_fakeUsb.in.push_back({0, rest});
    std::vector<unsigned char> answer;
    ASSERT_EQ(0u, Send(&answer));
    EXPECT_EQ((std::vector<unsigned char>{0x90, 0x00, 0x00, 0x01, 0x42}), answer);
    /* write wrapper, frame, read wrapper */
    ASSERT_EQ(3u, g_fakeUsb.out.size());
    EXPECT_EQ(31u, g_fakeUsb.out[0].size());
    EXPECT_EQ(8u, g_fakeUsb.out[1].size());
    EXPECT_EQ(0x80, g_fakeUsb.out[2][12]);
}

/* Two processes opening a freshly plugged token both see its kernel driver
 * bound; the one that detaches second is told that no driver is bound any
 * more, which is what it wanted. */
TEST(OpenDevice, DriverDetachedByAnotherProcessMeanwhileIsNoFailure)
{
    struct Case {
        int detachCode;
        unsigned int expected;
    };
    for (const Case &c : {Case{0, 0u}, Case{LIBUSB_ERROR_NOT_FOUND, 0u},
                          Case{LIBUSB_ERROR_ACCESS, (unsigned int)LIBUSB_ERROR_ACCESS}}) {
        g_fakeUsb.Reset();
        g_fakeUsb.driverActive = 1;
        g_fakeUsb.detachCode = c.detachCode;
        void *h = nullptr;
        EXPECT_EQ(c.expected, SarnOpenDevice(DRIVER_TYPE_USB_BULK, "Mirel&pid_f00d&bus_009&addr_009", &h))
            << c.detachCode;
        if (h != nullptr) SarnCloseDevice(h);
    }
}
