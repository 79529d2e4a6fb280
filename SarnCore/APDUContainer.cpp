#include "SarnCore/APDUContainer.h"

#include "SarnCore/DeviceContext.h"

CAPDUContainer::CAPDUContainer(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUContainer: Constructor");
}

CAPDUContainer::~CAPDUContainer()
{
    CDeviceContext::TraceInfo("CAPDUContainer: Destructor");
}
