/* CDialogObject: the common base of the application and container objects.
 * It joins the product operator to the user: the PIN prompt and the
 * press-button confirmation prompt of the dialog library, the operation
 * callback through which the operator and the on-token key objects ask for
 * the user while an operation runs, and the D-Bus signal "reloadDevice"
 * that tells the desktop to reload the token after its certificates
 * changed. */
#ifndef BRIO_SKF_DIALOG_OBJECT_H
#define BRIO_SKF_DIALOG_OBJECT_H

#include <stdint.h>

#include "SarnCore/BrioOperator.h"

/* Made on the stack by each operation that passes the callback.  Its address
 * is also the address of its status word, which the confirmation prompt
 * writes (SCARD_W_CANCELLED_BY_USER, SCARD_E_TIMEOUT) while the prompt's
 * worker thread reads it through the callback's code 11. */
class CDialogObject;
struct OperationCallbackContext {
    uint64_t ulStatus;               /* 0 at start */
    CDialogObject *pDeviceObject;    /* the object running the operation */
};

class CDialogObject : public CBrioOperator {
public:
    explicit CDialogObject(CDeviceContext *pDeviceContext);
    ~CDialogObject() override;

    /* The operation callback handed to the operator: 1 the user PIN, 2 to 4
     * a press-button confirmation of that kind, 11 the status word. */
    static long SKFOperationCallback(unsigned int ulOperation, void *pContext, void *pArgument);

    /* The product operator's protected PIN verification with the callback. */
    unsigned int VerifyAndProtectPIN(unsigned int ulPINType, char *pszPin, unsigned int ulPinLen);
    /* The user PIN's status; without the dialog SW_SECURITY_STATUS, with it
     * the PIN prompt and the verification of what the user typed. */
    unsigned int CheckUserPIN(bool bWithDialog);
    /* The PIN prompt; *ppszPin: a new array the caller wipes and frees. */
    unsigned int GetUserPIN(int nRetries, char **ppszPin);
    /* The token's serial number on the D-Bus signal "reloadDevice". */
    unsigned int BroadcastCert();
};

unsigned int ShowUserPinDialog(int nRetries, int nMinLength, int nMaxLength, char **ppszPin);
unsigned int ShowConfirmationDialog(int nKind, int nTimeout, void *pContext, void *pParameter);
/* Always 1: a D-Bus failure is only logged. */
unsigned int SendDBusSignal(char *pszSerial);

#endif
