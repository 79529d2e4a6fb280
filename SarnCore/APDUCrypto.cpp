#include "SarnCore/APDUCrypto.h"

#include "SarnCore/DeviceContext.h"

CAPDUCrypto::CAPDUCrypto(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout) : CAPDU(pDeviceInfo, ulTimeout)
{
    CDeviceContext::TraceInfo("CAPDUCrypto: Constructor");
}

CAPDUCrypto::~CAPDUCrypto()
{
    CDeviceContext::TraceInfo("CAPDUCrypto: Destructor");
}
