/* Key handle objects (placeholder bodies until the objects are built). */
#include "skf/SymKeyObject.h"

#include "SarnCore/DeviceContext.h"

CKeyObject::CKeyObject(CDeviceContext *pDeviceContext) : m_pDeviceContext(pDeviceContext), m_ulAlgID(0) {}
CKeyObject::~CKeyObject() {}
unsigned int CKeyObject::DigestUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::DigestFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Digest(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::EncInit(bool, Struct_BLOCKCIPHERPARAM *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::EncUpdate(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::EncFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Encrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::MacInit(Struct_BLOCKCIPHERPARAM *, void **) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::MacUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::MacFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CKeyObject::Mac(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CKeyObject::GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *, Struct_ECCPUBLICKEYBLOB *, unsigned char *,
                                            unsigned int, void **)
{
    return SAR_NOTSUPPORTYETERR;
}

CSymKeyObject::CSymKeyObject(CDeviceContext *pDeviceContext)
    : CKeyObject(pDeviceContext), m_pKeyHandle(nullptr), m_ulMode(0), m_ulBlockLen(0)
{
}
CSymKeyObject::~CSymKeyObject() {}
unsigned int CSymKeyObject::SetSymmKey(unsigned int, unsigned char *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CSymKeyObject::EncInit(bool, Struct_BLOCKCIPHERPARAM *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CSymKeyObject::EncUpdate(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CSymKeyObject::EncFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CSymKeyObject::Encrypt(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CSymKeyObject::MacInit(Struct_BLOCKCIPHERPARAM *, void **) { return SAR_NOTSUPPORTYETERR; }

CMacKeyObject::CMacKeyObject(CDeviceContext *pDeviceContext) : CSymKeyObject(pDeviceContext), m_ulHeldLen(0), m_pbHeld()
{
}
CMacKeyObject::~CMacKeyObject() {}
unsigned int CMacKeyObject::MacUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CMacKeyObject::MacFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CMacKeyObject::Mac(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}

CDigestObject::CDigestObject(CDeviceContext *pDeviceContext) : CKeyObject(pDeviceContext), m_pHashObject(nullptr) {}
CDigestObject::~CDigestObject() {}
unsigned int CDigestObject::DigestInit(unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDigestObject::DigestUpdate(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDigestObject::DigestFinal(unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDigestObject::Digest(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}

CAgreementObject::CAgreementObject(CDeviceContext *pDeviceContext, unsigned int ulAlgID, unsigned short usKeyID,
                                   unsigned int ulAgreementParam)
    : CKeyObject(pDeviceContext), m_usKeyID(usKeyID), m_ulAgreementParam(ulAgreementParam)
{
    m_ulAlgID = ulAlgID;
}
CAgreementObject::~CAgreementObject() {}
unsigned int CAgreementObject::GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *, Struct_ECCPUBLICKEYBLOB *,
                                                  unsigned char *, unsigned int, void **)
{
    return SAR_NOTSUPPORTYETERR;
}
