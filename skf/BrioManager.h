/* CBrioManager: the SKF layer's device manager, one per process (made at
 * library load, see SkfLibrary.cpp).  It opens a token by name into a device
 * object, enumerates and closes through CDeviceManager, and is the device
 * monitor: a caller blocks until a token of the vendor arrives or leaves,
 * and another thread can end that wait. */
#ifndef BRIO_SKF_BRIO_MANAGER_H
#define BRIO_SKF_BRIO_MANAGER_H

#include <condition_variable>
#include <mutex>

#include "SarnCore/DeviceManager.h"

#define SKF_PRODUCT_ID 0xF00Du
#define MONITOR_NAME_LEN 260u

class CDeviceMonitor {
public:
    virtual ~CDeviceMonitor() {}
    virtual unsigned int WaitForDevEvent(EnumDriverType eType, unsigned short usProductID, char *pszDevName,
                                         unsigned int *pulDevNameLen, unsigned int *pulEvent) = 0;
    virtual unsigned int CancelWaitForDevEvent() = 0;
};

/* One device-event wait.  Its end is sticky: once CloseDialog has run, the
 * wait returns at once, whether it had begun, was registering with the
 * transport or was blocked in it. */
class CMonitorThreadDlg {
public:
    explicit CMonitorThreadDlg(unsigned short usProductID);
    virtual ~CMonitorThreadDlg();
    CMonitorThreadDlg(const CMonitorThreadDlg &) = delete;
    CMonitorThreadDlg &operator=(const CMonitorThreadDlg &) = delete;

    /* Blocks until a token arrives (1) or leaves (2), or the wait is
     * ended (0).  *pulLength: the room of pszDevName in; the name's length
     * (without its terminator) out when a name came and fits with its
     * terminator, else left alone. */
    unsigned int GetDevEvent(char *pszDevName, unsigned int *pulLength);
    /* Ends the wait, from any thread. */
    void CloseDialog();

private:
    char m_szDevName[MONITOR_NAME_LEN];
    unsigned short m_usProductID;
    std::mutex m_mtxState;
    bool m_bClosed;      /* CloseDialog has run */
    bool m_bInWait;      /* GetDevEvent is inside the transport's wait */
};

class CBrioManager : public CDeviceManager, public CDeviceMonitor {
public:
    CBrioManager();
    ~CBrioManager() override;

    unsigned int OpenDevice(EnumDriverType eType, char *pszDevName, unsigned int ulFlags,
                            CDeviceOperator **ppDevOptr) override;
    unsigned int WaitForDevEvent(EnumDriverType eType, unsigned short usProductID, char *pszDevName,
                                 unsigned int *pulDevNameLen, unsigned int *pulEvent) override;
    unsigned int CancelWaitForDevEvent() override;

private:
    /* Ends the pending record's wait and lets it go: released here, or by
     * its waiting thread when that one still uses it.  Under m_mtxMonitor. */
    void EndPendingWait();

    CMonitorThreadDlg *m_pMonitorWnd;  /* the pending wait record */
    /* The record whose waiting thread is inside WaitForDevEvent (at most one:
     * the transport has one wait per process); that thread releases it. */
    CMonitorThreadDlg *m_pWaitingWnd;
    std::mutex m_mtxMonitor;
    std::condition_variable m_cvMonitor;
};

/* The process's one manager (made at library load, SkfLibrary.cpp). */
CBrioManager &SkfManager();

/* Every SKF call runs between these two (both always called, in pairs).
 * SkfCallBegins is false once the library's end has come: the call is then
 * refused and touches nothing of the library's. */
bool SkfCallBegins();
void SkfCallEnds();

#endif
