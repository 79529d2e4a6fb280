/* Dialog glue and the D-Bus signal (placeholder bodies until built). */
#include "skf/DialogObject.h"

CDialogObject::CDialogObject(CDeviceContext *pDeviceContext) : CBrioOperator(pDeviceContext)
{
    CDeviceContext::TraceInfo("CDialogObject: Constructor");
}
CDialogObject::~CDialogObject() { CDeviceContext::TraceInfo("CDialogObject: Destructor"); }
long CDialogObject::SKFOperationCallback(unsigned int, void *, void *) { return (long)ERR_UNSUPPORTED; }
unsigned int CDialogObject::VerifyAndProtectPIN(unsigned int ulPINType, char *pszPin, unsigned int ulPinLen)
{
    return CBrioOperator::VerifyPIN((unsigned char)ulPINType, pszPin, (unsigned char)ulPinLen);
}
unsigned int CDialogObject::CheckUserPIN(bool) { return SW_SECURITY_STATUS; }
unsigned int CDialogObject::GetUserPIN(int, char **) { return E_FAIL; }
unsigned int CDialogObject::BroadcastCert() { return 0; }
unsigned int ShowUserPinDialog(int, int, int, char **) { return E_FAIL; }
unsigned int ShowConfirmationDialog(int, int, void *, void *) { return E_FAIL; }
unsigned int SendDBusSignal(char *) { return 1; }
