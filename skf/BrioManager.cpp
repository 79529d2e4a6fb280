/* The SKF layer's device manager: opening a token into a device object, and
 * the device-event wait.
 *
 * The wait record is shared by the waiting thread and a cancelling one.
 * The cancelling thread only ends the wait (CloseDialog, sticky, so a cancel
 * that comes before the transport's wait has registered is kept); a record
 * whose waiting thread still runs is released by that thread when it leaves,
 * any other by whoever takes it away. */
#include "skf/BrioManager.h"

#include <string.h>

#include <chrono>
#include <new>
#include <thread>

#include "SarnCore/BrioContext.h"
#include "SarnCore/OperatorSteps.h"
#include "log/TraceFuncScope.h"
#include "skf/DeviceObject.h"
#include "skf/skf.h"

/* The name buffer of one wait. */
#define MONITOR_LOCAL_NAME_LEN 256u
/* Pause between two tries to end a transport wait that is still registering. */
#define MONITOR_CANCEL_RETRY_MS 1

CMonitorThreadDlg::CMonitorThreadDlg(unsigned short usProductID)
    : m_szDevName(), m_usProductID(usProductID), m_bClosed(false), m_bInWait(false)
{
}

CMonitorThreadDlg::~CMonitorThreadDlg() {}

unsigned int CMonitorThreadDlg::GetDevEvent(char *pszDevName, unsigned int *pulLength)
{
    TraceFuncScope scope("GetDevEvent");
    {
        std::lock_guard<std::mutex> lock(m_mtxState);
        if (m_bClosed) return 0;
        m_bInWait = true;
    }
    unsigned int ulEvent = 0;
    SarnHotplugEvent(BRIO_VENDOR_ID, m_usProductID, m_szDevName, &ulEvent);
    {
        std::lock_guard<std::mutex> lock(m_mtxState);
        m_bInWait = false;
    }
    m_szDevName[MONITOR_NAME_LEN - 1] = '\0';
    size_t nLen = strlen(m_szDevName);
    if (nLen > 0 && pszDevName != nullptr && pulLength != nullptr && nLen < *pulLength) {
        memcpy(pszDevName, m_szDevName, nLen + 1);
        *pulLength = (unsigned int)nLen;
    }
    return ulEvent;
}

void CMonitorThreadDlg::CloseDialog()
{
    TraceFuncScope scope("CloseDialog");
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mtxState);
            m_bClosed = true;
            if (!m_bInWait) return;
        }
        /* The waiter is entering or inside the transport's wait; once the
         * transport has registered it, its cancel is sticky for that wait. */
        if (SarnCancelEvent() == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(MONITOR_CANCEL_RETRY_MS));
    }
}

CBrioManager::CBrioManager() : m_pMonitorWnd(nullptr), m_pWaitingWnd(nullptr)
{
    CDeviceContext::TraceInfo("CBrioManager: Constructor");
}

CBrioManager::~CBrioManager()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxMonitor);
        if (m_pMonitorWnd != nullptr) EndPendingWait();
    }
    CDeviceContext::TraceInfo("CBrioManager: Destructor");
}

unsigned int CBrioManager::OpenDevice(EnumDriverType eType, char *pszDevName, unsigned int ulFlags,
                                      CDeviceOperator **ppDevOptr)
{
    static const char *OP = "OpenDevice";
    OP_CHECK_PTR(OP, ppDevOptr);
    CBrioContext *pBrioDevCtx = new (std::nothrow) CBrioContext();
    OP_CHECK(OP, pBrioDevCtx != nullptr, "new CBrioContext", ERR_NO_MEMORY);
    unsigned int ulRet = pBrioDevCtx->Open(eType, pszDevName, true);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "pBrioDevCtx->Open", ulRet);
        delete pBrioDevCtx;  /* closes the transport handle and the mutex segment it got */
        return ulRet;
    }
    TRACE_STEP_OK(OP, "pBrioDevCtx->Open");
    CDeviceObject *pBrioDevOpt = new (std::nothrow) CDeviceObject(pBrioDevCtx);
    if (pBrioDevOpt == nullptr) {
        TRACE_STEP_FAIL(OP, "new CDeviceObject", ERR_NO_MEMORY);
        pBrioDevCtx->Close();
        delete pBrioDevCtx;
        return ERR_NO_MEMORY;
    }
    ulRet = pBrioDevOpt->Initialize(ulFlags);
    if (ulRet != 0) {
        TRACE_STEP_FAIL(OP, "pBrioDevOpt->Initialize", ulRet);
        pBrioDevOpt->Finalize();  /* closes and destroys the context */
        delete pBrioDevOpt;
        return ulRet;
    }
    TRACE_STEP_OK(OP, "pBrioDevOpt->Initialize");
    *ppDevOptr = pBrioDevOpt;
    return 0;
}

void CBrioManager::EndPendingWait()
{
    CMonitorThreadDlg *pWnd = m_pMonitorWnd;
    m_pMonitorWnd = nullptr;
    pWnd->CloseDialog();
    if (pWnd != m_pWaitingWnd) delete pWnd;
}

unsigned int CBrioManager::WaitForDevEvent(EnumDriverType, unsigned short usProductID, char *pszDevName,
                                           unsigned int *pulDevNameLen, unsigned int *pulEvent)
{
    static const char *OP = "WaitForDevEvent";
    OP_CHECK(OP, pulDevNameLen != nullptr, "pulDevNameLen", SAR_INVALIDPARAMERR);
    OP_CHECK(OP, pulEvent != nullptr, "pulEvent", SAR_INVALIDPARAMERR);
    CMonitorThreadDlg *pWnd = new (std::nothrow) CMonitorThreadDlg(usProductID);
    OP_CHECK(OP, pWnd != nullptr, "new CMonitorThreadDlg", ERR_NO_MEMORY);
    {
        std::unique_lock<std::mutex> lock(m_mtxMonitor);
        /* A pending wait is ended; one of another thread that has not left
         * yet is waited for, since the transport waits once at a time. */
        for (;;) {
            if (m_pMonitorWnd != nullptr) EndPendingWait();
            if (m_pWaitingWnd == nullptr) break;
            m_cvMonitor.wait(lock);
        }
        m_pMonitorWnd = pWnd;
        m_pWaitingWnd = pWnd;
    }

    char szName[MONITOR_LOCAL_NAME_LEN] = {0};
    unsigned int ulNameLen = sizeof(szName);
    unsigned int ulEvent = pWnd->GetDevEvent(szName, &ulNameLen);
    if (szName[0] == '\0') ulNameLen = 0;  /* no name came */
    {
        std::lock_guard<std::mutex> lock(m_mtxMonitor);
        m_pWaitingWnd = nullptr;
        /* Taken away (cancelled or replaced) while waiting: the record is
         * this thread's to release.  Otherwise it stays pending. */
        if (m_pMonitorWnd != pWnd) delete pWnd;
        m_cvMonitor.notify_all();
    }

    if (ulEvent == 0) {
        *pulEvent = 0;
        TRACE_STEP_OK(OP, "GetDevEvent");
        return 0;
    }
    unsigned int ulRet = 0;
    if (pszDevName != nullptr) {
        /* The name goes out with its terminator only. */
        if (*pulDevNameLen <= ulNameLen) {
            ulRet = SAR_INDATALENERR;
            TRACE_STEP_FAIL(OP, "CHECK *pulDevNameLen", ulRet);
            *pulDevNameLen = ulNameLen + 1;
            *pulEvent = ulEvent;
            return ulRet;
        }
        memcpy(pszDevName, szName, ulNameLen + 1);
    }
    if (ulNameLen != 0) *pulDevNameLen = ulNameLen;
    *pulEvent = ulEvent;
    TRACE_STEP_OK(OP, "GetDevEvent");
    return ulRet;
}

unsigned int CBrioManager::CancelWaitForDevEvent()
{
    static const char *OP = "CancelWaitForDevEvent";
    std::lock_guard<std::mutex> lock(m_mtxMonitor);
    OP_CHECK(OP, m_pMonitorWnd != nullptr, "m_pMonitorWnd", SAR_NOT_EVENTERR);
    EndPendingWait();
    TRACE_STEP_OK(OP, "CloseDialog");
    return 0;
}
