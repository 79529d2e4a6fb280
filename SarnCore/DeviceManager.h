/* CDeviceManager: the base of the process's device manager.  It lists the
 * tokens of the product's vendor and closes an open device operator; opening
 * is left to the product's manager, which derives from it.  It keeps no list
 * of open devices: each open hands out an operator that the caller owns
 * until it gives it back to CloseDevice. */
#ifndef BRIO_SARNCORE_DEVICE_MANAGER_H
#define BRIO_SARNCORE_DEVICE_MANAGER_H

#include "SarnCore/DeviceOperator.h"

#define BRIO_VENDOR_ID 0x287Fu

class CDeviceManager {
public:
    CDeviceManager();
    virtual ~CDeviceManager();
    CDeviceManager(const CDeviceManager &) = delete;
    CDeviceManager &operator=(const CDeviceManager &) = delete;

    /* The names of the vendor's tokens with this product id as a multi-string;
     * pnSize: capacity in, needed size out. */
    virtual unsigned int EnumDevice(EnumDriverType eType, unsigned short usProductID, char *pszDevNameList,
                                    unsigned int *pnSize);
    /* The product's manager opens; the base writes nothing and returns 264. */
    virtual unsigned int OpenDevice(EnumDriverType eType, char *pszDevName, unsigned int ulFlags,
                                    CDeviceOperator **ppDevOptr);

    unsigned int GetDeviceID(EnumDriverType eType, char *pszDevName, unsigned short *pusVendorID,
                             unsigned short *pusProductID);
    /* Finalize, then delete the operator and null the caller's pointer; a
     * failing Finalize is returned with the operator kept. */
    unsigned int CloseDevice(CDeviceOperator *&pDevOptr);
};

#endif
