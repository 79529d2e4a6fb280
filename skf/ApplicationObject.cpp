/* Application object (placeholder bodies until built). */
#include "skf/ApplicationObject.h"

#include <string.h>

CApplicationObject::CApplicationObject(CDeviceContext *pDeviceContext)
    : CDialogObject(pDeviceContext), m_szAppName(), m_pbRecords()
{
    CDeviceContext::TraceInfo("CApplicationObject: Constructor");
}
CApplicationObject::~CApplicationObject() { CDeviceContext::TraceInfo("CApplicationObject: Destructor"); }
void CApplicationObject::SetApplicationName(char *pszName)
{
    size_t n = strlen(pszName);
    memcpy(m_szAppName, pszName, n < SKF_APP_NAME_FIELD - 1 ? n : SKF_APP_NAME_FIELD - 1);
}
unsigned int CApplicationObject::VerifyPIN(unsigned int, char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::ChangePIN(unsigned int, char *, char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CApplicationObject::UnlockPIN(char *, char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::GetPINStatus(unsigned int, unsigned int *, unsigned int *, bool *)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CApplicationObject::ClearAuthCode() { return CDialogObject::ClearAuthCode(); }
unsigned int CApplicationObject::EnumContainer(char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::CreateContainer(char *, void **) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::DeleteContainer(char *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::OpenContainer(char *, void **) { return SAR_NOTSUPPORTYETERR; }
char *CApplicationObject::NewContainerName(char *, bool *) { return nullptr; }
unsigned int CApplicationObject::EnumCosFile(char *, unsigned int *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::GetCosFileInfo(char *, Struct_FILEATTRIBUTE *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::CreateCosFile(char *, unsigned int, unsigned int, unsigned int)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CApplicationObject::DeleteCosFile(char *) { return SAR_NOTSUPPORTYETERR; }
unsigned int CApplicationObject::WriteCosFile(char *, unsigned int, unsigned char *, unsigned int)
{
    return SAR_NOTSUPPORTYETERR;
}
unsigned int CApplicationObject::ReadCosFile(char *, unsigned int, unsigned int, unsigned char *, unsigned int *)
{
    return SAR_NOTSUPPORTYETERR;
}
