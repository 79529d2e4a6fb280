// The registry of live handles against the virtual token (bus 26): handles
// of another kind, closed handles and the handles of a disconnected device
// are refused by every function; handles of a disconnected device can still
// be closed; a close or a disconnect on one thread while a call on another
// thread uses the handle waits for that call (run it under the sanitizers).
//
// The handles are made as the device manager and the open calls make them
// and registered directly; everything else goes through skf.h.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <thread>

#include "SarnCore/BrioContext.h"
#include "SarnCore/tests/DevMutexProbe.h"
#include "skf/ApplicationObject.h"
#include "skf/ContainerObject.h"
#include "skf/DeviceObject.h"
#include "skf/SKFInterfaceFrame.h"
#include "skf/SymKeyObject.h"
#include "skf/skf.h"
#include "skf/tests/InterfaceCallTable.h"
#include "skf/tests/InterfaceLog.h"
#include "skf/tests/SkfTestToken.h"

using skftest::CallArgs;
using skftest::CallCase;
using skftest::CInterfaceLog;
using skftest::HandleKind;

/* The library's end, as the process's exit or an unload runs it. */
extern "C" void SKF_fini(void);

namespace {

const unsigned int INTERFACE_BUS = 26;

/* An application object whose PIN status reports a chosen default flag. */
class CDefaultFlagApplication : public CApplicationObject {
public:
    CDefaultFlagApplication(CDeviceContext *pContext, bool bDefault)
        : CApplicationObject(pContext), m_bDefault(bDefault)
    {
    }
    unsigned int GetPINStatus(unsigned int, unsigned int *pulMax, unsigned int *pulRemain, bool *pbDefault) override
    {
        *pulMax = 10;
        *pulRemain = 9;
        *pbDefault = m_bDefault;
        return 0;
    }

private:
    bool m_bDefault;
};

/* A device object whose OpenApplication hands out an application object,
 * or fails after writing something to the caller's pointer. */
class COpeningDevice : public CDeviceObject {
public:
    explicit COpeningDevice(CDeviceContext *pContext) : CDeviceObject(pContext) {}
    unsigned int OpenApplication(char *pszAppName, void **phApplication) override
    {
        if (strcmp(pszAppName, "Tola") != 0) {
            *phApplication = this;
            return SAR_APPLICATION_NOT_EXISTS;
        }
        *phApplication = static_cast<CApplicationObject *>(new CDefaultFlagApplication(GetDeviceContext(), true));
        return 0;
    }
};

/* A device object that always lives at the same address, as a new object
 * may be given the address of one just freed; OnFree runs once the old one
 * is gone.  New() builds it in its one slot (by placement, so that no
 * deallocation of the slot is ever generated); delete frees nothing. */
class CSameAddressDevice : public CDeviceObject {
public:
    static CSameAddressDevice *New(CDeviceContext *pContext);
    static void operator delete(void *p);
    static std::function<void()> s_fnOnFree;

private:
    explicit CSameAddressDevice(CDeviceContext *pContext) : CDeviceObject(pContext) {}
};

alignas(CSameAddressDevice) unsigned char g_abDeviceSlot[sizeof(CSameAddressDevice)];
std::function<void()> CSameAddressDevice::s_fnOnFree;

CSameAddressDevice *CSameAddressDevice::New(CDeviceContext *pContext)
{
    return ::new (g_abDeviceSlot) CSameAddressDevice(pContext);
}

void CSameAddressDevice::operator delete(void *)
{
    std::function<void()> fn;
    fn.swap(s_fnOnFree);
    if (fn) fn();
}

/* How many handle objects of the fixture were destroyed: what a call freed
 * shows, not only the code it answered. */
std::atomic<int> g_nObjectsFreed{0};

template <class T> class CCounted : public T {
public:
    using T::T;
    ~CCounted() override { ++g_nObjectsFreed; }
};

/* A container object that takes its time to go. */
class CSlowlyFreedContainer : public CContainerObject {
public:
    using CContainerObject::CContainerObject;
    ~CSlowlyFreedContainer() override { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
};

class HandleRegistry : public SkfTokenTest {
protected:
    HandleRegistry() : SkfTokenTest(INTERFACE_BUS) {}

    void TearDown() override
    {
        for (HANDLE h : {m_hKey, m_hContainer, m_hApplication})
            if (h != nullptr) SKF_CloseHandle(h), SKF_CloseContainer(h), SKF_CloseApplication(h);
        if (m_hDev != nullptr) SKF_DisConnectDev(m_hDev);
    }

    /* A device at ulAddr connected as the device manager connects it, with
     * one application, container and key handle made on it. */
    void Connect(unsigned int ulAddr)
    {
        ASSERT_TRUE(m_log.Started());
        std::string strName = AddToken(ulAddr);
        CBrioContext *pContext = new CBrioContext();
        ASSERT_EQ(0u, pContext->Open(DRIVER_TYPE_USB_BULK, strName.c_str(), true));
        CDeviceObject *pDevice = new CCounted<COpeningDevice>(pContext);
        ASSERT_EQ(0u, pDevice->Initialize(0));
        CSkfHandles &handles = CSkfHandles::Instance();
        ASSERT_EQ(0u, handles.AddDevice(pDevice));
        m_hDev = pDevice;
        CSkfHandleRef device;
        ASSERT_TRUE(handles.Acquire(m_hDev, SkfHandleKind::Device, device));
        m_hApplication =
            static_cast<CApplicationObject *>(new CCounted<CDefaultFlagApplication>(pContext, m_bDefaultPin));
        ASSERT_EQ(0u, handles.AddChild(m_hApplication, SkfHandleKind::Application, device));
        m_hContainer = static_cast<CContainerObject *>(new CCounted<CContainerObject>(pContext));
        ASSERT_EQ(0u, handles.AddChild(m_hContainer, SkfHandleKind::Container, device));
        m_hKey = static_cast<CKeyObject *>(new CCounted<CSymKeyObject>(pContext));
        ASSERT_EQ(0u, handles.AddChild(m_hKey, SkfHandleKind::Key, device));
    }

    HANDLE Of(HandleKind eKind) const
    {
        switch (eKind) {
        case HandleKind::Device: return m_hDev;
        case HandleKind::Application: return m_hApplication;
        case HandleKind::Container: return m_hContainer;
        case HandleKind::Key: return m_hKey;
        case HandleKind::None: break;
        }
        return nullptr;
    }

    /* Every handle row of eKind refuses h at its handle step (but for the
     * close functions when bClosesToo is false). */
    void ExpectRefused(HandleKind eKind, HANDLE h, bool bClosesToo = true)
    {
        for (const CallCase &c : skftest::HandleCases()) {
            if (c.eKind != eKind) continue;
            if (!bClosesToo && std::string(c.pszFunction).find("Close") != std::string::npos) continue;
            CallArgs args;
            m_log.Mark();
            EXPECT_EQ(SAR_INVALIDHANDLEERR, c.fnCall(args, h)) << c;
            EXPECT_NE(std::string::npos,
                      m_log.Since().find(CInterfaceLog::Failed(c.pszFunction, c.pszStep, SAR_INVALIDHANDLEERR)))
                << c << "\n" << m_log.Since();
            EXPECT_EQ(std::string::npos, m_log.Since().find("WaitDevMutex")) << c;
        }
    }

    /* Waits until the log shows that a call passed its handle check. */
    bool WaitForLine(const std::string &strLine)
    {
        for (int i = 0; i < 500; ++i) {
            if (m_log.Since().find(strLine) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    /* SKF_GetContainerType on hContainer on another thread, which waits
     * for the device lock this thread holds once its handle is checked. */
    bool StartWaitingCall(HANDLE hContainer, std::thread &call)
    {
        call = std::thread([hContainer] {
            ULONG ulType = 0;
            SKF_GetContainerType(hContainer, &ulType);
        });
        return WaitForLine(CInterfaceLog::Success("SKF_GetContainerType", "CHECK_CNTR_PCTX"));
    }

    /* Releases the device lock the call of StartWaitingCall waits for and
     * lets it and the disconnect waiting for it end: the disconnect
     * succeeds, and returns only after the call has traced its end. */
    void EndTheCallAndTheDisconnect(std::thread &call, std::thread &disconnect, const std::atomic<ULONG> &ulDisconnect)
    {
        EXPECT_EQ(SAR_OK, SKF_UnlockDev(m_hDev));
        call.join();
        disconnect.join();
        m_hDev = nullptr;
        EXPECT_EQ(SAR_OK, ulDisconnect.load());
        std::string strLog = m_log.Since();
        size_t nCallExit = strLog.rfind("Exit (SKF_GetContainerType)");
        size_t nDisconnectExit = strLog.rfind("Exit (SKF_DisConnectDev)");
        ASSERT_NE(std::string::npos, nCallExit) << strLog;
        ASSERT_NE(std::string::npos, nDisconnectExit) << strLog;
        EXPECT_LT(nCallExit, nDisconnectExit) << strLog;
    }

    CInterfaceLog m_log;
    bool m_bDefaultPin = true;
    HANDLE m_hDev = nullptr;
    HANDLE m_hApplication = nullptr;
    HANDLE m_hContainer = nullptr;
    HANDLE m_hKey = nullptr;
};

TEST_F(HandleRegistry, EveryFunctionRefusesALiveHandleOfAnotherKind)
{
    Connect(1);
    for (HandleKind eWanted : {HandleKind::Device, HandleKind::Application, HandleKind::Container, HandleKind::Key})
        for (HandleKind eGiven :
             {HandleKind::Device, HandleKind::Application, HandleKind::Container, HandleKind::Key})
            if (eGiven != eWanted) ExpectRefused(eWanted, Of(eGiven));
    /* Nothing was closed by a refused close. */
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(m_hApplication));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseContainer(m_hKey));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseApplication(m_hContainer));
    BYTE abRandom[8];
    EXPECT_NE(SAR_INVALIDHANDLEERR, SKF_GenRandom(m_hDev, abRandom, sizeof(abRandom)));
    EXPECT_NE(SAR_INVALIDHANDLEERR, SKF_ClearSecureState(m_hApplication));
}

TEST_F(HandleRegistry, ClosedHandlesAreRefusedAndCloseOnce)
{
    Connect(2);
    struct {
        HANDLE *ph;
        HandleKind eKind;
        ULONG (*pfnClose)(HANDLE);
    } closes[] = {{&m_hApplication, HandleKind::Application, SKF_CloseApplication},
                  {&m_hContainer, HandleKind::Container, SKF_CloseContainer},
                  {&m_hKey, HandleKind::Key, SKF_CloseHandle}};
    for (auto &c : closes) {
        HANDLE h = *c.ph;
        EXPECT_EQ(SAR_OK, c.pfnClose(h));
        *c.ph = nullptr;
        ExpectRefused(c.eKind, h);
    }
    /* The device and its calls are not touched by closing its handles. */
    BYTE abRandom[8];
    EXPECT_NE(SAR_INVALIDHANDLEERR, SKF_GenRandom(m_hDev, abRandom, sizeof(abRandom)));
}

TEST_F(HandleRegistry, HandlesOfADisconnectedDeviceAreRefusedAndCanBeClosed)
{
    Connect(3);
    HANDLE hDev = m_hDev;
    ASSERT_EQ(SAR_OK, SKF_DisConnectDev(hDev));
    m_hDev = nullptr;
    for (HandleKind eKind : {HandleKind::Device, HandleKind::Application, HandleKind::Container, HandleKind::Key})
        ExpectRefused(eKind, eKind == HandleKind::Device ? hDev : Of(eKind), eKind == HandleKind::Device);
    EXPECT_EQ(SAR_OK, SKF_CloseApplication(m_hApplication));
    EXPECT_EQ(SAR_OK, SKF_CloseContainer(m_hContainer));
    EXPECT_EQ(SAR_OK, SKF_CloseHandle(m_hKey));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseApplication(m_hApplication));
    m_hApplication = m_hContainer = m_hKey = nullptr;
}

TEST_F(HandleRegistry, ACloseOnAnotherThreadWaitsForTheRunningCall)
{
    Connect(4);
    /* The call waits for the device lock this thread holds, with its
     * handle checked, while this thread closes the handle. */
    ASSERT_EQ(SAR_OK, SKF_LockDev(m_hDev, 0));
    m_log.Mark();
    std::atomic<ULONG> ulCallResult{0xFFFFFFFF};
    HANDLE hApplication = m_hApplication;
    std::thread call([&] { ulCallResult = SKF_ClearSecureState(hApplication); });
    ASSERT_TRUE(WaitForLine(CInterfaceLog::Success("SKF_ClearSecureState", "CHECK_APP_PCTX")));
    EXPECT_EQ(SAR_OK, SKF_CloseApplication(hApplication));
    m_hApplication = nullptr;
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseApplication(hApplication));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_ClearSecureState(hApplication));
    EXPECT_EQ(SAR_OK, SKF_UnlockDev(m_hDev));
    call.join();
    /* The call ran on the object, which went only when it returned. */
    EXPECT_NE(SAR_INVALIDHANDLEERR, ulCallResult.load());
    EXPECT_NE(std::string::npos, m_log.Since().find("SKF_ClearSecureState - ClearAuthCode "));
}

TEST_F(HandleRegistry, ADisconnectWaitsForTheRunningCallsOfItsHandles)
{
    Connect(5);
    ASSERT_EQ(SAR_OK, SKF_LockDev(m_hDev, 0));
    m_log.Mark();
    std::atomic<bool> bDisconnectDone{false};
    std::atomic<ULONG> ulDisconnect{0xFFFFFFFF};
    HANDLE hDev = m_hDev, hContainer = m_hContainer;
    std::thread call;
    ASSERT_TRUE(StartWaitingCall(hContainer, call));
    std::thread disconnect([&] {
        ulDisconnect = SKF_DisConnectDev(hDev);
        bDisconnectDone = true;
    });
    /* While the disconnect waits, new calls on the device and its handles
     * are refused, but the lock's holder can still release it. */
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(bDisconnectDone.load());
    ULONG ulType = 0;
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GetContainerType(hContainer, &ulType));
    BYTE abRandom[8];
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GenRandom(hDev, abRandom, sizeof(abRandom)));
    EndTheCallAndTheDisconnect(call, disconnect, ulDisconnect);
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_UnlockDev(hDev));
    EXPECT_EQ(SAR_OK, SKF_CloseContainer(m_hContainer));
    m_hContainer = nullptr;
}

/* A call whose container was closed while it ran frees the object on its
 * way out, slowly here: the disconnect that waited for the call still
 * returns only after the call has traced its end. */
TEST_F(HandleRegistry, ADisconnectReturnsOnlyAfterItsCallsHaveLeft)
{
    Connect(13);
    CSkfHandleRef device;
    ASSERT_TRUE(CSkfHandles::Instance().Acquire(m_hDev, SkfHandleKind::Device, device));
    HANDLE hSlow = new CSlowlyFreedContainer(static_cast<CDeviceObject *>(m_hDev)->GetDeviceContext());
    ASSERT_EQ(0u, CSkfHandles::Instance().AddChild(hSlow, SkfHandleKind::Container, device));
    device.Reset();
    ASSERT_EQ(SAR_OK, SKF_LockDev(m_hDev, 0));
    m_log.Mark();
    HANDLE hDev = m_hDev;
    std::thread call;
    ASSERT_TRUE(StartWaitingCall(hSlow, call));
    EXPECT_EQ(SAR_OK, SKF_CloseContainer(hSlow));
    std::atomic<ULONG> ulDisconnect{0xFFFFFFFF};
    std::thread disconnect([&] { ulDisconnect = SKF_DisConnectDev(hDev); });
    /* New calls on the device are refused once the disconnect waits. */
    BYTE abRandom[8];
    bool bWaits = false;
    for (int i = 0; i < 5000 && !bWaits; ++i) {
        bWaits = SKF_GenRandom(hDev, abRandom, sizeof(abRandom)) == SAR_INVALIDHANDLEERR;
        if (!bWaits) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(bWaits);
    EndTheCallAndTheDisconnect(call, disconnect, ulDisconnect);
}

/* A connect that gets the address of a device being disconnected (freed by
 * the disconnect, not yet let go by the registry) keeps its new handle. */
TEST_F(HandleRegistry, AConnectGivenTheAddressOfADisconnectingDeviceKeepsItsHandle)
{
    ASSERT_TRUE(m_log.Started());
    std::string strName = AddToken(12);
    CSkfHandles &handles = CSkfHandles::Instance();
    auto fnConnect = [&]() -> CDeviceObject * {
        CBrioContext *pContext = new CBrioContext();
        EXPECT_EQ(0u, pContext->Open(DRIVER_TYPE_USB_BULK, strName.c_str(), true));
        CDeviceObject *pDevice = CSameAddressDevice::New(pContext);
        EXPECT_EQ(0u, pDevice->Initialize(0));
        EXPECT_EQ(0u, handles.AddDevice(pDevice));
        return pDevice;
    };
    DEVHANDLE hOld = fnConnect();
    DEVHANDLE hNew = nullptr;
    CSameAddressDevice::s_fnOnFree = [&] { hNew = fnConnect(); };
    EXPECT_EQ(SAR_OK, SKF_DisConnectDev(hOld));
    ASSERT_EQ(hOld, hNew) << "the new device did not get the old address";
    DEVINFO info;
    EXPECT_EQ(SAR_OK, SKF_GetDevInfo(hNew, &info));
    EXPECT_EQ(SAR_OK, SKF_DisConnectDev(hNew));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GetDevInfo(hNew, &info));
}

/* The device lock's time-out shortened for one test. */
class CShortLockTimeout {
public:
    explicit CShortLockTimeout(unsigned int ulSeconds) { CDeviceContext::s_ulMutexTimeoutS = ulSeconds; }
    ~CShortLockTimeout() { CDeviceContext::s_ulMutexTimeoutS = DEV_MUTEX_TIMEOUT_S; }
    CShortLockTimeout(const CShortLockTimeout &) = delete;
    CShortLockTimeout &operator=(const CShortLockTimeout &) = delete;
};

/* A thread that takes SKF_LockDev on a device and keeps it until told to
 * give it back, or to end with it. */
class CLockHolder {
public:
    explicit CLockHolder(DEVHANDLE hDev)
        : m_thread([this, hDev] {
              m_ulLock = SKF_LockDev(hDev, 0);
              m_nStage = 1;
              while (m_nStage.load() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
              if (m_nStage.load() == 2) m_ulUnlock = SKF_UnlockDev(hDev);
          })
    {
        while (m_nStage.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~CLockHolder() { Unlock(); }
    CLockHolder(const CLockHolder &) = delete;
    CLockHolder &operator=(const CLockHolder &) = delete;

    ULONG LockResult() const { return m_ulLock.load(); }
    /* SKF_UnlockDev on the holding thread; its answer. */
    ULONG Unlock() { return Finish(2); }
    /* The holding thread ends without an unlock. */
    void End() { Finish(3); }

private:
    ULONG Finish(int nStage)
    {
        int nHolding = 1;
        m_nStage.compare_exchange_strong(nHolding, nStage);
        if (m_thread.joinable()) m_thread.join();
        return m_ulUnlock.load();
    }

    std::atomic<ULONG> m_ulLock{0xFFFFFFFF};
    std::atomic<ULONG> m_ulUnlock{0xFFFFFFFF};
    std::atomic<int> m_nStage{0};
    std::thread m_thread;
};


/* While another thread holds SKF_LockDev, a disconnect waits for the
 * device lock.  Not had within the lock's time-out: it answers the lock's
 * code and the connection is as it was: the mutex still held by its
 * holder, also for a new open of the token (as another process's would
 * be), the holder's unlock succeeds and frees it, and the disconnect can be
 * made again.  Given back while the disconnect waits, or its holder's
 * thread ended: the disconnect goes on at once, and leaves nothing
 * attached. */
TEST_F(HandleRegistry, ADisconnectNeverTakesTheDeviceLockFromItsHolder)
{
    enum class Holder { Keeps, UnlocksWhileWaiting, Ended };
    struct {
        const char *pszName;
        Holder eHolder;
    } cases[] = {{"the holder keeps the lock", Holder::Keeps},
                 {"the holder unlocks while the disconnect waits", Holder::UnlocksWhileWaiting},
                 {"the holder's thread ended", Holder::Ended}};
    unsigned int ulAddr = 14;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        /* Short where it runs out; else long enough to tell a disconnect
         * that went on from one that waited for it. */
        CShortLockTimeout timeout(c.eHolder == Holder::Keeps ? 1 : 30);
        Connect(ulAddr++);
        DEVHANDLE hDev = m_hDev;
        CDeviceContext *pContext = static_cast<CDeviceObject *>(hDev)->GetDeviceContext();
        unsigned int ulDeviceID = pContext->m_ulDeviceID;
        std::string strName = DeviceNameOf(INTERFACE_BUS, ulAddr - 1);
        CLockHolder holder(hDev);
        ASSERT_EQ(SAR_OK, holder.LockResult());
        if (c.eHolder == Holder::Ended) holder.End();
        std::atomic<bool> bDisconnected{false};
        std::atomic<ULONG> ulDisconnect{0xFFFFFFFF};
        auto start = std::chrono::steady_clock::now();
        std::thread disconnect([&] {
            ulDisconnect = SKF_DisConnectDev(hDev);
            bDisconnected = true;
        });
        if (c.eHolder != Holder::Keeps) {
            if (c.eHolder == Holder::UnlocksWhileWaiting) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                EXPECT_FALSE(bDisconnected.load());
                EXPECT_EQ(SAR_OK, holder.Unlock());
            }
            disconnect.join();
            EXPECT_EQ(SAR_OK, ulDisconnect.load());
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
            EXPECT_EQ(0, DevMutexAttachments(ulDeviceID));
            m_hDev = nullptr;
            continue;
        }
        disconnect.join();
        EXPECT_EQ(static_cast<ULONG>(ETIMEDOUT), ulDisconnect.load());
        EXPECT_EQ(EBUSY, DevMutexTryLock(ulDeviceID)) << "the failed disconnect let the mutex go";
        {
            CBrioContext next;
            ASSERT_EQ(0u, next.Open(DRIVER_TYPE_USB_BULK, strName.c_str(), true));
            EXPECT_EQ(static_cast<unsigned int>(ETIMEDOUT), next.WaitDevMutex()) << "a new open took the held mutex";
            EXPECT_EQ(0u, next.Close());
        }
        EXPECT_EQ(SAR_OK, holder.Unlock());
        EXPECT_EQ(0, DevMutexTryLock(ulDeviceID));
        EXPECT_EQ(SAR_OK, SKF_DisConnectDev(hDev));
        m_hDev = nullptr;
    }
}

/* Only the thread that holds the device lock releases it: another thread's
 * unlock fails and leaves it held; the holder's unlock then lets a third
 * thread in at once. */
TEST_F(HandleRegistry, OnlyTheHolderOfTheDeviceLockReleasesIt)
{
    Connect(11);
    ASSERT_EQ(SAR_OK, SKF_LockDev(m_hDev, 0));
    ULONG ulOther = 0xFFFFFFFF;
    std::thread other([&] { ulOther = SKF_UnlockDev(m_hDev); });
    other.join();
    EXPECT_EQ(SAR_FAIL, ulOther);

    std::atomic<bool> bThirdDone{false};
    std::atomic<ULONG> ulThird{0xFFFFFFFF};
    std::thread third([&] {
        ulThird = SKF_LockDev(m_hDev, 0);
        if (ulThird == SAR_OK) SKF_UnlockDev(m_hDev);
        bThirdDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(bThirdDone.load()) << "the lock went with the other thread's unlock";
    EXPECT_EQ(SAR_OK, SKF_UnlockDev(m_hDev));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!bThirdDone.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(bThirdDone.load()) << "the holder's unlock did not free the device";
    third.join();
    EXPECT_EQ(SAR_OK, ulThird.load());
}

TEST_F(HandleRegistry, ClosesRacingCallsOnManyThreadsLeaveNothingBehind)
{
    Connect(6);
    /* Several threads hash on key handles while others close them. */
    std::vector<HANDLE> vecKeys;
    CSkfHandleRef device;
    ASSERT_TRUE(CSkfHandles::Instance().Acquire(m_hDev, SkfHandleKind::Device, device));
    for (int i = 0; i < 8; ++i) {
        CDeviceContext *pContext = static_cast<CDeviceObject *>(m_hDev)->GetDeviceContext();
        HANDLE h = static_cast<CKeyObject *>(new CSymKeyObject(pContext));
        ASSERT_EQ(0u, CSkfHandles::Instance().AddChild(h, SkfHandleKind::Key, device));
        vecKeys.push_back(h);
    }
    device.Reset();
    std::vector<std::thread> threads;
    std::atomic<int> nClosed{0};
    for (HANDLE h : vecKeys) {
        threads.emplace_back([h] {
            BYTE ab[4] = {1, 2, 3, 4};
            for (int i = 0; i < 200; ++i) SKF_DigestUpdate(h, ab, sizeof(ab));
        });
        threads.emplace_back([h, &nClosed] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (SKF_CloseHandle(h) == SAR_OK) ++nClosed;
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(8, nClosed.load());
    for (HANDLE h : vecKeys) EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_DigestUpdate(h, reinterpret_cast<BYTE *>(&h), 1));
}

TEST_F(HandleRegistry, PinInfoWritesTheWholeBoolOfTheCaller)
{
    struct {
        bool bDefault;
        BOOL bExpected;
    } cases[] = {{true, TRUE}, {false, FALSE}};
    unsigned int ulAddr = 7;
    for (const auto &c : cases) {
        m_bDefaultPin = c.bDefault;
        Connect(ulAddr++);
        /* Every byte of the caller's BOOL set, and a guard after it. */
        BOOL abFlags[2];
        memset(abFlags, 0xA5, sizeof(abFlags));
        ULONG ulMax = 0, ulRemain = 0;
        ASSERT_EQ(SAR_OK, SKF_GetPINInfo(m_hApplication, USER_TYPE, &ulMax, &ulRemain, &abFlags[0]));
        EXPECT_EQ(c.bExpected, abFlags[0]);
        EXPECT_EQ(static_cast<BOOL>(0xA5A5A5A5), abFlags[1]);
        EXPECT_EQ(10u, ulMax);
        EXPECT_EQ(9u, ulRemain);
        TearDown();
        m_hDev = m_hApplication = m_hContainer = m_hKey = nullptr;
    }
}

TEST_F(HandleRegistry, AHandleIsLiveOnlyWhenTheCallThatMadeItSucceeded)
{
    Connect(9);
    char szApp[] = "Tola", szOther[] = "Other";
    HANDLE hOpened = nullptr;
    ASSERT_EQ(SAR_OK, SKF_OpenApplication(m_hDev, szApp, &hOpened));
    ULONG ulMax = 0, ulRemain = 0;
    BOOL bDefault = FALSE;
    EXPECT_EQ(SAR_OK, SKF_GetPINInfo(hOpened, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(TRUE, bDefault);
    EXPECT_EQ(SAR_OK, SKF_CloseApplication(hOpened));

    /* A failed open may leave anything in the caller's pointer: it is no handle. */
    HANDLE hFailed = nullptr;
    EXPECT_EQ(SAR_APPLICATION_NOT_EXISTS, SKF_OpenApplication(m_hDev, szOther, &hFailed));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_GetPINInfo(hFailed, USER_TYPE, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseApplication(hFailed));
}

TEST_F(HandleRegistry, AnOperationTheHandleDoesNotOfferRunsUnderTheLockAndReleasesIt)
{
    Connect(10);
    BYTE ab[4] = {1, 2, 3, 4};
    m_log.Mark();
    EXPECT_EQ(SAR_NOTSUPPORTYETERR, SKF_DigestUpdate(m_hKey, ab, sizeof(ab)));
    std::string strLog = m_log.Since();
    size_t nLock = strLog.find(CInterfaceLog::Success("SKF_DigestUpdate", "WaitDevMutex"));
    size_t nCall = strLog.find(CInterfaceLog::Failed("SKF_DigestUpdate", "DigestUpdate", SAR_NOTSUPPORTYETERR));
    EXPECT_NE(std::string::npos, nLock) << strLog;
    EXPECT_NE(std::string::npos, nCall) << strLog;
    EXPECT_LT(nLock, nCall);
    /* Another thread gets the lock at once. */
    ULONG ulLock = 0xFFFFFFFF, ulUnlock = 0xFFFFFFFF;
    std::thread other([&] {
        ulLock = SKF_LockDev(m_hDev, 0);
        ulUnlock = SKF_UnlockDev(m_hDev);
    });
    other.join();
    EXPECT_EQ(SAR_OK, ulLock);
    EXPECT_EQ(SAR_OK, ulUnlock);
}

/* After the library's end (which the process's exit runs while other
 * threads may still call) every function is refused at once with
 * SAR_NOTINITIALIZEERR, also on live handles: nothing of the library is
 * used, and the closes and the disconnect free nothing.  A child ends the
 * library and runs every handle row with the live handle of its kind. */
TEST_F(HandleRegistry, CallsAfterTheLibrarysEndAreRefused)
{
    Connect(12);
    EXPECT_EXIT(
        {
            SKF_fini();
            int nFreedBefore = g_nObjectsFreed.load();
            std::vector<CallCase> calls = skftest::HandleCases();
            calls.push_back({"SKF_CloseHandle", "CHECK_KEY_PCTX", SAR_INVALIDHANDLEERR, HandleKind::Key,
                             [](CallArgs &, HANDLE h) { return SKF_CloseHandle(h); }});
            for (const CallCase &c : calls) {
                CallArgs args;
                ULONG ulRet = c.fnCall(args, Of(c.eKind));
                if (ulRet != SAR_NOTINITIALIZEERR) {
                    fprintf(stderr, "%s answered 0x%08lx\n", c.pszFunction, static_cast<unsigned long>(ulRet));
                    _exit(1);
                }
                if (g_nObjectsFreed.load() != nFreedBefore) {
                    fprintf(stderr, "%s freed a handle's object\n", c.pszFunction);
                    _exit(2);
                }
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
