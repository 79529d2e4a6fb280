/* Container object (placeholder bodies until built). */
#include "skf/ContainerObject.h"

#include <string.h>

CContainerObject::CContainerObject(CDeviceContext *pDeviceContext)
    : CDialogObject(pDeviceContext), m_szContainerName(), m_bSingleCert(false)
{
    CDeviceContext::TraceInfo("CContainerObject: Constructor");
}
CContainerObject::~CContainerObject() { CDeviceContext::TraceInfo("CContainerObject: Destructor"); }
void CContainerObject::SetContainerName(char *pszName)
{
    size_t n = strlen(pszName);
    memcpy(m_szContainerName, pszName, n < CONTAINER_NAME_MAX ? n : CONTAINER_NAME_MAX);
}
unsigned int CContainerObject::GetContainerValid(unsigned int *, unsigned short *, unsigned short *,
                                                 unsigned short *, unsigned short *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::GetContainerType(unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CContainerObject::ImportCertificate(bool, unsigned char *, unsigned int) { return SAR_NOTSUPPORTYETERR; }
unsigned int CContainerObject::ExportCertificate(bool, unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CContainerObject::GenerateKeyPair(unsigned int, void *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CContainerObject::ImportKeyPair(unsigned int, unsigned char *, unsigned int, unsigned int,
                                             unsigned char *, unsigned int)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::ExportPublicKey(bool, unsigned char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CContainerObject::RSASignData(unsigned char *, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::RSAExportSessionKey(unsigned int, Struct_RSAPUBLICKEYBLOB *, unsigned char *,
                                                   unsigned int *, void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::ECCSignData(unsigned char *, unsigned int, unsigned char *, unsigned char *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::ECCExportSessionKey(unsigned int, Struct_ECCPUBLICKEYBLOB *, Struct_ECCCIPHERBLOB *,
                                                   void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::GenerateAgreementDataWithECC(unsigned int, Struct_ECCPUBLICKEYBLOB *, unsigned char *,
                                                            unsigned int, void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::GenerateAgreementDataAndKeyWithECC(unsigned int, Struct_ECCPUBLICKEYBLOB *,
                                                                  Struct_ECCPUBLICKEYBLOB *,
                                                                  Struct_ECCPUBLICKEYBLOB *, unsigned char *,
                                                                  unsigned int, unsigned char *, unsigned int,
                                                                  void **)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CContainerObject::ImportSessionKey(unsigned int, unsigned char *, unsigned int, void **)
{
    return SAR_NOTSUPPORTYETERR;
}
