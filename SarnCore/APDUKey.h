/* CAPDUKey: the token's key commands, built on the command helper of
 * CAPDU. */
#ifndef BRIO_SARNCORE_APDU_KEY_H
#define BRIO_SARNCORE_APDU_KEY_H

#include "SarnCore/APDU.h"

class CAPDUKey : public CAPDU {
public:
    CAPDUKey(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUKey();
};

#endif
