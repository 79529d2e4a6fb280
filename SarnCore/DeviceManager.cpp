#include "SarnCore/DeviceManager.h"

#include "SarnCore/OperatorSteps.h"

CDeviceManager::CDeviceManager()
{
    CDeviceContext::TraceInfo("CDeviceManager: Constructor");
}

CDeviceManager::~CDeviceManager()
{
    CDeviceContext::TraceInfo("CDeviceManager: Destructor");
}

unsigned int CDeviceManager::EnumDevice(EnumDriverType eType, unsigned short usProductID, char *pszDevNameList,
                                        unsigned int *pnSize)
{
    OP_STEP("EnumDevice", "CDeviceContext::Enum",
            CDeviceContext::Enum(eType, BRIO_VENDOR_ID, usProductID, pszDevNameList, pnSize));
    return 0;
}

unsigned int CDeviceManager::OpenDevice(EnumDriverType, char *, unsigned int, CDeviceOperator **)
{
    TRACE_STEP_FAIL("OpenDevice", "Virtual function must be overridden", ERR_UNSUPPORTED);
    return ERR_UNSUPPORTED;
}

unsigned int CDeviceManager::GetDeviceID(EnumDriverType eType, char *pszDevName, unsigned short *pusVendorID,
                                         unsigned short *pusProductID)
{
    OP_STEP("GetDeviceID", "SarnGetDeviceID", SarnGetDeviceID(eType, pszDevName, pusVendorID, pusProductID));
    return 0;
}

unsigned int CDeviceManager::CloseDevice(CDeviceOperator *&pDevOptr)
{
    static const char *OP = "CloseDevice";
    OP_CHECK_PTR(OP, pDevOptr);
    OP_STEP(OP, "Finalize", pDevOptr->Finalize());
    delete pDevOptr;
    pDevOptr = nullptr;
    return 0;
}
