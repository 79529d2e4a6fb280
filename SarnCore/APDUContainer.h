/* CAPDUContainer: the token's container commands, built on the command helper of
 * CAPDU. */
#ifndef BRIO_SARNCORE_APDU_CONTAINER_H
#define BRIO_SARNCORE_APDU_CONTAINER_H

#include "SarnCore/APDU.h"

class CAPDUContainer : public CAPDU {
public:
    CAPDUContainer(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUContainer();
};

#endif
