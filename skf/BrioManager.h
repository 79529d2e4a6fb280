/* CBrioManager: the SKF layer's device manager, one per process (made at
 * library load, see SkfLibrary.cpp).  It opens a token by name into a device
 * object, enumerates and closes through CDeviceManager, and is the device
 * monitor: a caller blocks until a token of the vendor arrives or leaves,
 * and another thread can end that wait. */
#ifndef BRIO_SKF_BRIO_MANAGER_H
#define BRIO_SKF_BRIO_MANAGER_H

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

/* One device-event wait. */
class CMonitorThreadDlg {
public:
    explicit CMonitorThreadDlg(unsigned short usProductID);
    virtual ~CMonitorThreadDlg();
    CMonitorThreadDlg(const CMonitorThreadDlg &) = delete;
    CMonitorThreadDlg &operator=(const CMonitorThreadDlg &) = delete;

    /* Blocks until a token arrives (1) or leaves (2), or the wait is
     * ended (0); the name and its length when one came. */
    unsigned int GetDevEvent(char *pszDevName, unsigned int *pulLength);
    /* Ends the transport's pending wait. */
    void CloseDialog();

private:
    char m_szDevName[MONITOR_NAME_LEN];
    unsigned short m_usProductID;
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
    CMonitorThreadDlg *m_pMonitorWnd;  /* the pending wait record */
};

/* The process's one manager. */
CBrioManager &SkfManager();

#endif
