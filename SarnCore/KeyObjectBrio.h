/* CAsymKeyObjectBrio: the product's signing and decryption with an on-token
 * key, with the operation callback: a token that needs the user PIN
 * (0x80006982) gets it through code 1 and one more attempt; a signature
 * held back until the button is pressed (0x8000F321) goes through code 4 with
 * a kind-4 PressButtonRecord, whose wait writes the signature back.
 *
 * The entry points are static and take the key object as their first
 * argument: they use only CAsymKeyObject's state and slots, so they apply to
 * whichever key object the operator's NewAsymKey made (SM2 or RSA), without
 * casting it to a class it is not. */
#ifndef BRIO_SARNCORE_KEY_OBJECT_BRIO_H
#define BRIO_SARNCORE_KEY_OBJECT_BRIO_H

#include "SarnCore/KeyObject.h"
#include "SarnCore/PressButton.h"

class CAsymKeyObjectBrio : public CAsymKeyObject {
public:
    CAsymKeyObjectBrio();
    virtual ~CAsymKeyObjectBrio();

    /* Signs a digest (mode 0 of CAsymKeyObject::PrikeySign); *pnOutLen:
     * capacity in, the signature's length out on every path. */
    static unsigned int PrikeySign(CAsymKeyObject *pKey, unsigned char byHashID, unsigned char *pbyInbuf,
                                   unsigned int nInlen, unsigned char *pbyOutbuf, unsigned int *pnOutLen,
                                   OperationCallback pfnCallback, void *pContext);
    static unsigned int PrikeyDec(CAsymKeyObject *pKey, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutLen, OperationCallback pfnCallback,
                                  void *pContext);
};

#endif
