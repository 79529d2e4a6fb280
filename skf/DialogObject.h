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

/* Length limits of the user PIN that the PIN prompt accepts. */
#define USER_PIN_MIN_LEN 6
#define USER_PIN_MAX_LEN 16

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
    /* The PIN prompt (SAR_PIN_LOCKED without one when no retries are left);
     * on success *ppszPin is a new array of USER_PIN_MAX_LEN + 1 bytes that
     * the caller wipes and frees with delete[]; on failure it is null. */
    unsigned int GetUserPIN(int nRetries, char **ppszPin);
    /* The token's serial number on the D-Bus signal "reloadDevice". */
    unsigned int BroadcastCert();
};

/* The dialog library's PIN prompt into a new zero-filled array of
 * nMaxLength + 1 bytes (*ppszPin on success; wiped and freed on failure). */
unsigned int ShowUserPinDialog(int nRetries, int nMinLength, int nMaxLength, char **ppszPin);
/* The confirmation prompt running CBrioOperator::WaitPressButton(pContext,
 * pParameter) in its worker thread; pContext is an OperationCallbackContext
 * whose status word the prompt writes, pParameter the press-button record.
 * A prompt that cannot be shown ends the token's pending wait and gives
 * E_FAIL. */
unsigned int ShowConfirmationDialog(int nKind, int nTimeout, void *pContext, void *pParameter);
/* The signal "reloadDevice" with the serial on the session bus named by
 * DBUS_SESSION_BUS_ADDRESS; a serial that is not UTF-8 is not sent.  Always
 * 1: a D-Bus failure is only logged. */
unsigned int SendDBusSignal(char *pszSerial);

#endif
