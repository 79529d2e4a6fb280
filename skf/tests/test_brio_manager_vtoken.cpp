/* The device manager against the virtual token (bus 25): opening a token
 * into a device object, a failed open that leaves nothing open, and the
 * device-event wait with tokens plugged and unplugged by the daemon, ended
 * by a cancel from another thread, also one that comes before the wait has
 * registered. */
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "skf/BrioManager.h"
#include "skf/DeviceObject.h"
#include "skf/tests/SkfTestToken.h"

namespace {

const unsigned int MANAGER_TEST_BUS = 25;
const char NAME_FILL = 'x';

struct WaitResult {
    unsigned int code;
    unsigned int event;
    unsigned int nameLen;
    std::string name;
};

class BrioManagerTest : public SkfTokenTest {
protected:
    BrioManagerTest() : SkfTokenTest(MANAGER_TEST_BUS) {}

    ~BrioManagerTest() override
    {
        /* a failing test must not leave a waiter blocked */
        for (int i = 0; i < 100 && manager.CancelWaitForDevEvent() == 0; ++i) {
        }
    }

    /* A token at ulAddr, not plugged in yet. */
    std::string AddUnplugged(unsigned int ulAddr)
    {
        std::string name = AddToken(ulAddr);
        daemon.Unplug(Serial(ulAddr));
        return name;
    }

    /* How many processes have the device's mutex segment attached (0 when
     * there is none). */
    static unsigned long MutexAttachments(unsigned int ulAddr)
    {
        key_t key = (key_t)((0xF00Du << 16) | (MANAGER_TEST_BUS << 8) | ulAddr);
        int id = shmget(key, 0, 0);
        if (id < 0) return 0;
        struct shmid_ds ds;
        memset(&ds, 0, sizeof(ds));
        if (shmctl(id, IPC_STAT, &ds) != 0) return 0;
        return (unsigned long)ds.shm_nattch;
    }

    /* A wait in a thread of its own with a name buffer of nameRoom bytes
     * (none when 0). */
    std::future<WaitResult> StartWait(unsigned int nameRoom = 64)
    {
        return std::async(std::launch::async, [this, nameRoom] {
            char name[64];
            memset(name, NAME_FILL, sizeof(name));
            unsigned int len = nameRoom;
            unsigned int event = 99;
            unsigned int code = manager.WaitForDevEvent(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID,
                                                        nameRoom != 0 ? name : nullptr, &len, &event);
            return WaitResult{code, event, len, std::string(name, sizeof(name))};
        });
    }

    /* Waits for the result; a waiter still blocked afterwards is cancelled
     * so that a failing test does not hang. */
    bool Finished(std::future<WaitResult> &f, int iSeconds)
    {
        if (f.wait_for(std::chrono::seconds(iSeconds)) == std::future_status::ready) return true;
        while (f.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) manager.CancelWaitForDevEvent();
        return false;
    }

    static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    CBrioManager manager;
};

/* ---- open ---- */

TEST_F(BrioManagerTest, OpenGivesAnInitialisedDeviceObjectThatCloses)
{
    std::string name = AddToken(1);
    CDeviceOperator *pOp = nullptr;
    ASSERT_EQ(0u, manager.OpenDevice(DRIVER_TYPE_USB_BULK, const_cast<char *>(name.c_str()), 0, &pOp));
    CDeviceObject *pDev = dynamic_cast<CDeviceObject *>(pOp);
    ASSERT_NE(nullptr, pDev);
    EXPECT_EQ(1u, MutexAttachments(1));
    EXPECT_EQ("yes", daemon.StateField(Serial(1), "host-authenticated"));
    Struct_DEVINFO info;
    ASSERT_EQ(0u, pDev->GetDeviceInfo(&info));
    EXPECT_STREQ(Serial(1).c_str(), info.SerialNumber);
    ASSERT_EQ(0u, manager.CloseDevice(pOp));
    EXPECT_EQ(nullptr, pOp);
    EXPECT_EQ(0u, MutexAttachments(1));
}

TEST_F(BrioManagerTest, AManagerThatEndsLeavesItsOpenDevicesAlone)
{
    std::string name = AddToken(5);
    CDeviceOperator *pOp = nullptr;
    {
        CBrioManager other;
        ASSERT_EQ(0u, other.OpenDevice(DRIVER_TYPE_USB_BULK, const_cast<char *>(name.c_str()), 0, &pOp));
    }
    CDeviceObject *pDev = dynamic_cast<CDeviceObject *>(pOp);
    ASSERT_NE(nullptr, pDev);
    EXPECT_EQ(1u, MutexAttachments(5));
    Struct_DEVINFO info;
    EXPECT_EQ(0u, pDev->GetDeviceInfo(&info));
    EXPECT_EQ(0u, manager.CloseDevice(pOp));
    EXPECT_EQ(0u, MutexAttachments(5));
}

struct FailedOpenCase {
    const char *name;
    unsigned int addr;
    const char *devName;  /* null: the token's own name */
    const char *fault;    /* armed before the open */
    unsigned int result;
};

class FailedOpen : public BrioManagerTest, public ::testing::WithParamInterface<FailedOpenCase> {};

TEST_P(FailedOpen, LeavesNothingOpen)
{
    const FailedOpenCase &c = GetParam();
    std::string name = AddToken(c.addr);
    if (c.devName != nullptr) name = c.devName;
    if (c.fault != nullptr) daemon.InjectFault(Serial(c.addr), c.fault);
    CDeviceOperator *pOp = reinterpret_cast<CDeviceOperator *>(0x1);
    EXPECT_EQ(c.result, manager.OpenDevice(DRIVER_TYPE_USB_BULK, const_cast<char *>(name.c_str()), 0, &pOp));
    EXPECT_EQ(reinterpret_cast<CDeviceOperator *>(0x1), pOp);
    EXPECT_EQ(0u, MutexAttachments(c.addr));
    /* and the token opens at once afterwards */
    std::string own = DeviceNameOf(MANAGER_TEST_BUS, c.addr);
    pOp = nullptr;
    ASSERT_EQ(0u, manager.OpenDevice(DRIVER_TYPE_USB_BULK, const_cast<char *>(own.c_str()), 0, &pOp));
    EXPECT_EQ(1u, MutexAttachments(c.addr));
    EXPECT_EQ(0u, manager.CloseDevice(pOp));
    EXPECT_EQ(0u, MutexAttachments(c.addr));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedOpen,
    ::testing::Values(FailedOpenCase{"NameWithoutBus", 2, "Mirel&pid_f00d&addr_002", nullptr, ERR_BAD_DEVICE_NAME},
                      FailedOpenCase{"NoTokenThere", 3, "Mirel&pid_f00d&bus_025&addr_099", nullptr, 0xFFFFFFFCu},
                      FailedOpenCase{"InitialisationFails", 4, nullptr, "csw-status", ERR_USB_TRANSFER}),
    [](const ::testing::TestParamInfo<FailedOpenCase> &i) { return std::string(i.param.name); });

/* ---- the device-event wait ---- */

TEST_F(BrioManagerTest, CancelWithoutAWaitIsRefused)
{
    EXPECT_EQ(SAR_NOT_EVENTERR, manager.CancelWaitForDevEvent());
}

TEST_F(BrioManagerTest, ArrivalAndRemovalAreReportedWithTheName)
{
    std::string name = AddUnplugged(10);
    std::future<WaitResult> f = StartWait();
    Settle();
    daemon.Plug(Serial(10));
    ASSERT_TRUE(Finished(f, 10));
    WaitResult r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ((unsigned int)SKF_DEV_EVENT_ARRIVED, r.event);
    EXPECT_EQ(31u, r.nameLen);
    EXPECT_EQ(name, std::string(r.name.c_str()));
    EXPECT_EQ(NAME_FILL, r.name[32]);
    /* the finished wait's record stays pending until a cancel */
    EXPECT_EQ(0u, manager.CancelWaitForDevEvent());
    EXPECT_EQ(SAR_NOT_EVENTERR, manager.CancelWaitForDevEvent());

    f = StartWait();
    Settle();
    daemon.Unplug(Serial(10));
    ASSERT_TRUE(Finished(f, 10));
    r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ((unsigned int)SKF_DEV_EVENT_REMOVED, r.event);
    EXPECT_EQ(name, std::string(r.name.c_str()));
    /* a new wait releases the finished one's record itself */
    f = StartWait();
    Settle();
    daemon.Plug(Serial(10));
    ASSERT_TRUE(Finished(f, 10));
    EXPECT_EQ((unsigned int)SKF_DEV_EVENT_ARRIVED, f.get().event);
}

struct NameRoomCase {
    unsigned int room;
    unsigned int result;
    unsigned int len;
};

class NameRoom : public BrioManagerTest, public ::testing::WithParamInterface<NameRoomCase> {};

TEST_P(NameRoom, ANameGoesOutOnlyWithItsTerminator)
{
    const NameRoomCase &c = GetParam();
    std::string name = AddUnplugged(20 + c.room % 50);
    std::future<WaitResult> f = StartWait(c.room);
    Settle();
    daemon.Plug(Serial(20 + c.room % 50));
    ASSERT_TRUE(Finished(f, 10));
    WaitResult r = f.get();
    EXPECT_EQ(c.result, r.code);
    EXPECT_EQ((unsigned int)SKF_DEV_EVENT_ARRIVED, r.event);
    EXPECT_EQ(c.len, r.nameLen);
    if (c.result == 0 && c.room != 0) {
        EXPECT_EQ(name, std::string(r.name.c_str()));
    } else {
        EXPECT_EQ(std::string(64, NAME_FILL), r.name);
    }
}

INSTANTIATE_TEST_SUITE_P(Rooms, NameRoom,
                         ::testing::Values(NameRoomCase{8, SAR_INDATALENERR, 32}, NameRoomCase{31, SAR_INDATALENERR, 32},
                                           NameRoomCase{32, 0, 31}, NameRoomCase{0, 0, 31}),
                         [](const ::testing::TestParamInfo<NameRoomCase> &i) {
                             return "room" + std::to_string(i.param.room);
                         });

TEST_F(BrioManagerTest, NullOutputsAreRefusedBeforeAnyWait)
{
    char name[64];
    unsigned int len = sizeof(name), event = 0;
    EXPECT_EQ(SAR_INVALIDPARAMERR, manager.WaitForDevEvent(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, name, &len, nullptr));
    EXPECT_EQ(SAR_INVALIDPARAMERR, manager.WaitForDevEvent(DRIVER_TYPE_USB_BULK, SKF_PRODUCT_ID, name, nullptr, &event));
    EXPECT_EQ(SAR_NOT_EVENTERR, manager.CancelWaitForDevEvent());
}

TEST_F(BrioManagerTest, CancelFromAnotherThreadEndsTheWaitWithoutAnEvent)
{
    AddUnplugged(40);
    std::future<WaitResult> f = StartWait();
    Settle();
    EXPECT_EQ(0u, manager.CancelWaitForDevEvent());
    ASSERT_TRUE(Finished(f, 5));
    WaitResult r = f.get();
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ(0u, r.event);
    EXPECT_EQ(64u, r.nameLen);
    EXPECT_EQ(std::string(64, NAME_FILL), r.name);
    EXPECT_EQ(SAR_NOT_EVENTERR, manager.CancelWaitForDevEvent());
}

TEST_F(BrioManagerTest, ASecondWaitEndsTheFirst)
{
    std::future<WaitResult> first = StartWait();
    Settle();
    std::future<WaitResult> second = StartWait();
    ASSERT_TRUE(Finished(first, 5));
    EXPECT_EQ(0u, first.get().event);
    Settle();
    EXPECT_EQ(std::future_status::timeout, second.wait_for(std::chrono::milliseconds(0)));
    EXPECT_EQ(0u, manager.CancelWaitForDevEvent());
    ASSERT_TRUE(Finished(second, 5));
    EXPECT_EQ(0u, second.get().event);
}

TEST_F(BrioManagerTest, CancelThatComesBeforeTheWaitRegisteredIsKept)
{
    /* a record ended before its wait began returns at once */
    CMonitorThreadDlg record(SKF_PRODUCT_ID);
    record.CloseDialog();
    char name[64] = {0};
    unsigned int len = sizeof(name);
    EXPECT_EQ(0u, record.GetDevEvent(name, &len));
    EXPECT_EQ(64u, len);

    /* cancels that land as soon as the wait is pending, mostly before the
     * transport has registered it */
    for (int round = 0; round < 30; ++round) {
        std::future<WaitResult> f = StartWait();
        unsigned int code;
        while ((code = manager.CancelWaitForDevEvent()) == SAR_NOT_EVENTERR) std::this_thread::yield();
        EXPECT_EQ(0u, code);
        ASSERT_TRUE(Finished(f, 5)) << "round " << round;
        WaitResult r = f.get();
        EXPECT_EQ(0u, r.code);
        EXPECT_EQ(0u, r.event);
    }
}

TEST_F(BrioManagerTest, RoundsOfWaitAndCancelAfterTheWaitBlocked)
{
    for (int round = 0; round < 30; ++round) {
        std::future<WaitResult> f = StartWait();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5 * 10));
        unsigned int code;
        while ((code = manager.CancelWaitForDevEvent()) == SAR_NOT_EVENTERR) std::this_thread::yield();
        EXPECT_EQ(0u, code);
        ASSERT_TRUE(Finished(f, 5)) << "round " << round;
        EXPECT_EQ(0u, f.get().event);
    }
}

}  // namespace
