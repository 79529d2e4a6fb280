#include "SarnCore/APDUKey.h"

#include "SarnCore/DeviceContext.h"

CAPDUKey::CAPDUKey(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUKey: Constructor");
}

CAPDUKey::~CAPDUKey()
{
    CDeviceContext::TraceInfo("CAPDUKey: Destructor");
}
