/* The transport end to end: the real libusb calls of SarnComm go through the
 * libusb stand-in to a private virtual-token daemon.  Every test uses its own
 * bus and address so that parallel tests never share a token. */
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "SarnComm/SarnComm.h"
#include "vtoken/testkit/VTokenTestKit.h"

static const unsigned short VID = 0x287F;
static const unsigned short PID = 0xF00D;
static const unsigned int BUS = 2;

static std::string NameOf(unsigned int ulBus, unsigned int ulAddr)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "Mirel&pid_f00d&bus_%03u&addr_%03u", ulBus, ulAddr);
    return sz;
}

/* GetTokenSN as a plain frame: answer 90 00, 2 bytes, the serial. */
static const unsigned char GET_TOKEN_SN[8] = {0xB0, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
/* GetDevInfo: 4 + 288 answer bytes. */
static const unsigned char GET_DEV_INFO[8] = {0xB0, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x20};

class TransportTest : public ::testing::Test {
protected:
    /* One plugged token at BUS/ulAddr with the given serial. */
    std::string AddToken(unsigned int ulAddr, const std::string &strSerial, bool bPlugged = true)
    {
        vtoken::TokenOptions opts;
        opts.serial = strSerial;
        opts.bus = BUS;
        opts.address = ulAddr;
        opts.plugged = bPlugged;
        daemon.CreateToken(opts);
        return NameOf(BUS, ulAddr);
    }

    void *Open(const std::string &strName)
    {
        void *h = nullptr;
        EXPECT_EQ(0u, SarnOpenDevice(DRIVER_TYPE_USB_BULK, strName.c_str(), &h));
        return h;
    }

    /* Sends GetTokenSN and checks the answer carries the serial. */
    void ExpectSerial(void *h, const std::string &strSerial)
    {
        unsigned char answer[64];
        unsigned int len = sizeof(answer);
        ASSERT_EQ(0u, SarnSendCommand(h, GET_TOKEN_SN, sizeof(GET_TOKEN_SN), answer, &len, SARN_DEFAULT_TIMEOUT));
        ASSERT_EQ(4u + strSerial.size(), len);
        EXPECT_EQ(0x90, answer[0]);
        EXPECT_EQ(0x00, answer[1]);
        EXPECT_EQ(strSerial, std::string((const char *)answer + 4, len - 4));
    }

    vtoken::Daemon daemon;
};

TEST_F(TransportTest, EnumeratesNoToken)
{
    char list[SARN_DEVICE_LIST_CAPACITY];
    unsigned int size = 99;
    EXPECT_EQ(0u, SarnEnumDevice(DRIVER_TYPE_USB_BULK, VID, PID, list, &size));
    EXPECT_EQ(0u, size);
}

TEST_F(TransportTest, EnumeratesOneToken)
{
    std::string name = AddToken(1, "VT0000000001");
    char list[SARN_DEVICE_LIST_CAPACITY];
    unsigned int size = 0;
    EXPECT_EQ(0u, SarnEnumDevice(DRIVER_TYPE_USB_BULK, VID, PID, list, &size));
    ASSERT_EQ(33u, size);
    EXPECT_EQ(name, std::string(list));
    EXPECT_EQ('\0', list[32]);
}

TEST_F(TransportTest, EnumeratesTwoTokensInSixtyFiveBytes)
{
    std::string a = AddToken(2, "VT0000000002");
    std::string b = AddToken(3, "VT0000000003");
    char list[SARN_DEVICE_LIST_CAPACITY];
    unsigned int size = 0;
    EXPECT_EQ(0u, SarnEnumDevice(DRIVER_TYPE_USB_BULK, VID, PID, list, &size));
    ASSERT_EQ(65u, size);
    std::string first(list), second(list + 32);
    EXPECT_EQ(31u, first.size());
    EXPECT_EQ(31u, second.size());
    EXPECT_TRUE((first == a && second == b) || (first == b && second == a));
    EXPECT_EQ('\0', list[64]);
    /* Other product: nothing. */
    EXPECT_EQ(0u, SarnEnumDevice(DRIVER_TYPE_USB_BULK, VID, 0x1234, list, &size));
    EXPECT_EQ(0u, size);
}

TEST_F(TransportTest, OpensExchangesAndCloses)
{
    std::string name = AddToken(4, "VT0000000004");
    void *h = Open(name);
    ASSERT_NE(nullptr, h);
    ExpectSerial(h, "VT0000000004");
    ExpectSerial(h, "VT0000000004");
    EXPECT_EQ(0u, SarnCloseDevice(h));
}

TEST_F(TransportTest, RefusesBadNamesAndMissingDevices)
{
    AddToken(5, "VT0000000005");
    void *h = nullptr;
    EXPECT_EQ(87u, SarnOpenDevice(DRIVER_TYPE_USB_BULK, "Other&pid_f00d&bus_002&addr_005", &h));
    EXPECT_EQ(0xFFFFFFFCu, SarnOpenDevice(DRIVER_TYPE_USB_BULK, NameOf(BUS, 99).c_str(), &h));
    EXPECT_EQ(87u, SarnOpenDevice(DRIVER_TYPE_USB_BULK, "Mirel&pid_f00d", &h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(ERR_UNSUPPORTED, SarnGetDeviceID(DRIVER_TYPE_USB_BULK, NameOf(BUS, 5).c_str(), nullptr, nullptr));
}

TEST_F(TransportTest, RefusesEmptyCommandsAndSmallBuffers)
{
    void *h = Open(AddToken(6, "VT0000000006"));
    ASSERT_NE(nullptr, h);
    unsigned char answer[256];
    unsigned int len = sizeof(answer);
    EXPECT_EQ(ERR_EMPTY_COMMAND, SarnSendCommand(h, GET_TOKEN_SN, 0, answer, &len, SARN_DEFAULT_TIMEOUT));
    EXPECT_EQ(0u, len);
    len = sizeof(answer);
    EXPECT_EQ(ERR_NULL_ARGUMENT, SarnSendCommand(nullptr, GET_TOKEN_SN, 8, answer, &len, SARN_DEFAULT_TIMEOUT));
    EXPECT_EQ(0u, len);
    len = sizeof(answer);
    EXPECT_EQ(ERR_BUFFER_TOO_SMALL, SarnSendCommand(h, GET_DEV_INFO, 8, answer, &len, SARN_DEFAULT_TIMEOUT));
    EXPECT_EQ(292u, len);
    ExpectSerial(h, "VT0000000006");
    EXPECT_EQ(0u, SarnCloseDevice(h));
}

/* Each injected fault gives a clear code, and the next exchange works. */
struct FaultCase {
    const char *name;
    const char *fault;
    unsigned int code;      /* of the exchange that meets the fault */
    unsigned int answerLen; /* when it succeeds at this level */
    unsigned int address;
};

class TransportFaultTest : public TransportTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(TransportFaultTest, GivesItsCodeAndTheNextExchangeWorks)
{
    const FaultCase &c = GetParam();
    unsigned int ulAddr = c.address;
    std::string serial = "VTFAULT" + std::to_string(ulAddr);
    void *h = Open(AddToken(ulAddr, serial));
    ASSERT_NE(nullptr, h);
    daemon.InjectFault(serial, c.fault);
    unsigned char answer[SARN_MAX_ANSWER_LEN];
    unsigned int len = sizeof(answer);
    EXPECT_EQ(c.code, SarnSendCommand(h, GET_TOKEN_SN, 8, answer, &len, SARN_DEFAULT_TIMEOUT));
    if (c.code == 0) {
        EXPECT_EQ(c.answerLen, len);
    }
    ExpectSerial(h, serial);
    EXPECT_EQ(0u, SarnCloseDevice(h));
}

INSTANTIATE_TEST_SUITE_P(Faults, TransportFaultTest,
                         ::testing::Values(FaultCase{"bad_tag", "bad-tag", ERR_CSW_TAG, 0, 20},
                                           FaultCase{"csw_status", "csw-status", ERR_USB_TRANSFER, 0, 21},
                                           FaultCase{"one_stall", "stall", 0, 13, 22},
                                           FaultCase{"persistent_stall", "stall:50", ERR_USB_TRANSFER, 0, 23},
                                           FaultCase{"short_2", "short:2", 0, 2, 24},
                                           FaultCase{"long", "long", ERR_USB_TRANSFER, 0, 25},
                                           FaultCase{"no_csw", "no-csw", ERR_USB_TRANSFER, 0, 26}),
                         [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

/* ---- hot-plug ---- */

struct WaitResult {
    unsigned int code;
    unsigned int event;
    std::string name;
};

static std::future<WaitResult> StartWait()
{
    return std::async(std::launch::async, [] {
        char name[32] = {0};
        unsigned int event = 99;
        unsigned int code = SarnHotplugEvent(VID, PID, name, &event);
        return WaitResult{code, event, name};
    });
}

/* Waits for the result; a waiter still blocked after the time is cancelled
 * so that a failing test does not hang. */
static bool Finished(std::future<WaitResult> &f, int iSeconds)
{
    if (f.wait_for(std::chrono::seconds(iSeconds)) == std::future_status::ready) return true;
    while (f.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) SarnCancelEvent();
    return false;
}

TEST_F(TransportTest, CancelWithoutWaitIsRefused)
{
    EXPECT_EQ(ERR_BAD_FLAG, SarnCancelEvent());
}

TEST_F(TransportTest, HotplugReportsArrivalAndRemoval)
{
    std::string name = AddToken(40, "VTPLUG40", false);
    std::future<WaitResult> f = StartWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    daemon.Plug("VTPLUG40");
    ASSERT_TRUE(Finished(f, 10));
    WaitResult r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ(SARN_EVENT_ARRIVED, r.event);
    EXPECT_EQ(name, r.name);

    f = StartWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    daemon.Unplug("VTPLUG40");
    ASSERT_TRUE(Finished(f, 10));
    r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ(SARN_EVENT_LEFT, r.event);
    EXPECT_EQ(name, r.name);
    /* The wait took its callbacks with it: nothing is left to cancel. */
    EXPECT_EQ(ERR_BAD_FLAG, SarnCancelEvent());
}

TEST_F(TransportTest, CancelFromAnotherThreadEndsTheWait)
{
    std::future<WaitResult> f = StartWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0u, SarnCancelEvent());
    ASSERT_TRUE(Finished(f, 5));
    WaitResult r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ(0u, r.event);
}

TEST_F(TransportTest, EarlyCancelIsNeverLost)
{
    /* The cancel lands at once after the wait began, often before its
     * registration or between its test and its blocking call. */
    for (int i = 0; i < 30; ++i) {
        std::future<WaitResult> f = StartWait();
        while (SarnCancelEvent() != 0) std::this_thread::yield();
        ASSERT_TRUE(Finished(f, 5)) << "round " << i;
        EXPECT_EQ(0u, f.get().event);
    }
}
