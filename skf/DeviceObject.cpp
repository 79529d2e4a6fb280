/* Device object (placeholder bodies until built). */
#include "skf/DeviceObject.h"

CDeviceObject::CDeviceObject(CDeviceContext *pDeviceContext) : CBrioOperator(pDeviceContext)
{
    CDeviceContext::TraceInfo("CDeviceObject: Constructor");
}
CDeviceObject::~CDeviceObject() { CDeviceContext::TraceInfo("CDeviceObject: Destructor"); }
unsigned int CDeviceObject::DevAuth(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::ChangeDevAuth(unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::CreateApplication(char *, char *, unsigned int, char *, unsigned int, unsigned int,
                                              void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::EnumApplication(char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::DeleteApplication(char *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::OpenApplication(char *, void **) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::GenerateRandom(unsigned int, unsigned char *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::GenExtRSAKey(unsigned int, Struct_RSAPRIVATEKEYBLOB *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::SetSymmKey(unsigned char *, unsigned int, void **) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::ExtRSAPubKeyOperation(Struct_RSAPUBLICKEYBLOB *, unsigned char *, unsigned int,
                                                  unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::ExtRSAPriKeyOperation(Struct_RSAPRIVATEKEYBLOB *, unsigned char *, unsigned int,
                                                  unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::RSAVerify(Struct_RSAPUBLICKEYBLOB *, unsigned char *, unsigned int, unsigned char *,
                                      unsigned int)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::ECCVerify(Struct_ECCPUBLICKEYBLOB *, unsigned char *, unsigned int, unsigned char *,
                                      unsigned char *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::ExtECCEncrypt(Struct_ECCPUBLICKEYBLOB *, unsigned char *, unsigned int,
                                          Struct_ECCCIPHERBLOB *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::ExtECCDecrypt(Struct_ECCPRIVATEKEYBLOB *, Struct_ECCCIPHERBLOB *, unsigned char *,
                                          unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::ExtECCSign(Struct_ECCPRIVATEKEYBLOB *, unsigned char *, unsigned int, unsigned char *,
                                       unsigned char *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::DigestInit(unsigned int, Struct_ECCPUBLICKEYBLOB *, unsigned char *, unsigned int,
                                       void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CDeviceObject::GetDeviceInfo(Struct_DEVINFO *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CDeviceObject::SetTokenLabel(char *pszLabel, unsigned int ulLabelLen)
{
    return CBrioOperator::SetTokenLabel(pszLabel, ulLabelLen);
}
unsigned int CDeviceObject::Transmit(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
