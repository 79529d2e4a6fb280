#include "SarnCore/APDUFile.h"

#include "SarnCore/DeviceContext.h"

CAPDUFile::CAPDUFile(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUFile: Constructor");
}

CAPDUFile::~CAPDUFile()
{
    CDeviceContext::TraceInfo("CAPDUFile: Destructor");
}
