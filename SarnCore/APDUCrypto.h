/* CAPDUCrypto: the token's crypto commands, built on the command helper of
 * CAPDU. */
#ifndef BRIO_SARNCORE_APDU_CRYPTO_H
#define BRIO_SARNCORE_APDU_CRYPTO_H

#include "SarnCore/APDU.h"

class CAPDUCrypto : public CAPDU {
public:
    CAPDUCrypto(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUCrypto();
};

#endif
