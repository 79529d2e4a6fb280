/* CAPDUFile: the token's file commands, built on the command helper of
 * CAPDU. */
#ifndef BRIO_SARNCORE_APDU_FILE_H
#define BRIO_SARNCORE_APDU_FILE_H

#include "SarnCore/APDU.h"

class CAPDUFile : public CAPDU {
public:
    CAPDUFile(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUFile();
};

#endif
