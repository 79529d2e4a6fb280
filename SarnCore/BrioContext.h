/* CBrioContext: the device context of the product's token.  It differs from
 * CDeviceContext only in the command objects it makes: the product chip
 * commands (CAPDUChipBrio) and the product PIN commands (CAPDUPinBrio), which
 * the product operator reaches by a checked down-cast. */
#ifndef BRIO_SARNCORE_BRIO_CONTEXT_H
#define BRIO_SARNCORE_BRIO_CONTEXT_H

#include "SarnCore/DeviceContext.h"

class CBrioContext : public CDeviceContext {
public:
    CBrioContext();
    virtual ~CBrioContext();

    /* The device record (kept when there is one) and the six command
     * objects, stored once all of them are made; a failure leaves none. */
    unsigned int Initialize() override;
};

#endif
