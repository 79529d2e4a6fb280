/* Device manager and the device-event wait (placeholder bodies until built). */
#include "skf/BrioManager.h"

#include "skf/skf.h"

CMonitorThreadDlg::CMonitorThreadDlg(unsigned short usProductID) : m_szDevName(), m_usProductID(usProductID) {}
CMonitorThreadDlg::~CMonitorThreadDlg() {}
unsigned int CMonitorThreadDlg::GetDevEvent(char *, unsigned int *) { return 0; }
void CMonitorThreadDlg::CloseDialog() {}

CBrioManager::CBrioManager() : m_pMonitorWnd(nullptr) { CDeviceContext::TraceInfo("CBrioManager: Constructor"); }
CBrioManager::~CBrioManager() { CDeviceContext::TraceInfo("CBrioManager: Destructor"); }
unsigned int CBrioManager::OpenDevice(EnumDriverType, char *, unsigned int, CDeviceOperator **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CBrioManager::WaitForDevEvent(EnumDriverType, unsigned short, char *, unsigned int *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CBrioManager::CancelWaitForDevEvent() { return SAR_NOT_EVENTERR; }

CBrioManager &SkfManager()
{
    static CBrioManager s_manager;
    return s_manager;
}
