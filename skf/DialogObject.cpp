/* Dialog glue and the D-Bus signal "reloadDevice". */
#include "skf/DialogObject.h"

#include <dbus/dbus.h>
#include <openssl/crypto.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "SarnCore/KeyObject.h"
#include "SarnCore/OperatorSteps.h"
#include "dialogs/brioui.h"
#include "log/vexa_log.h"
#include "skf/skf.h"

/* The prompt writes the status word through an unsigned long pointer. */
static_assert(sizeof(unsigned long) == sizeof(uint64_t), "the status word is one 64-bit word");
static_assert(offsetof(OperationCallbackContext, ulStatus) == 0, "the context's address is its status word's");

#define DBUS_SENDER_NAME "com.vexa.skf.sender"
#define DBUS_SIGNAL_PATH "/vexa/skf/object"
#define DBUS_SIGNAL_INTERFACE "com.vexa.skf.enterprise.event"
#define DBUS_SIGNAL_MEMBER "reloadDevice"
#define DBUS_SESSION_ADDRESS_VARIABLE "DBUS_SESSION_BUS_ADDRESS"

#define TOKEN_SN_MAX 32u

/* A PIN buffer of nSize bytes, wiped before it is freed. */
static void FreePin(char *pszPin, size_t nSize)
{
    if (pszPin == nullptr) return;
    OPENSSL_cleanse(pszPin, nSize);
    delete[] pszPin;
}

static void TraceResult(const char *pszOperation, const char *pszStep, unsigned int ulRet)
{
    if (ulRet != 0) {
        TRACE_STEP_FAIL(pszOperation, pszStep, ulRet);
    } else {
        TRACE_STEP_OK(pszOperation, pszStep);
    }
}

CDialogObject::CDialogObject(CDeviceContext *pDeviceContext) : CBrioOperator(pDeviceContext)
{
    CDeviceContext::TraceInfo("CDialogObject: Constructor");
}

CDialogObject::~CDialogObject() { CDeviceContext::TraceInfo("CDialogObject: Destructor"); }

long CDialogObject::SKFOperationCallback(unsigned int ulOperation, void *pContext, void *pArgument)
{
    static const char *OP = "SKFOperationCallback";
    OperationCallbackContext *pstContext = static_cast<OperationCallbackContext *>(pContext);
    if (pstContext == nullptr) {
        TRACE_STEP_FAIL(OP, "Check pstCallbackContext", ERR_NULL_ARGUMENT);
        return ERR_NULL_ARGUMENT;
    }
    /* Read by the prompt's worker thread while the prompt's thread writes it. */
    if (ulOperation == CALLBACK_WAIT_STATUS) return (long)__atomic_load_n(&pstContext->ulStatus, __ATOMIC_SEQ_CST);
    if (ulOperation < CALLBACK_NEED_USER_PIN || ulOperation > CALLBACK_PRESS_SIGN) {
        TRACE_STEP_FAIL(OP, "Check dwOperationCode", ERR_UNSUPPORTED);
        return ERR_UNSUPPORTED;
    }
    if (pstContext->pDeviceObject == nullptr) {
        TRACE_STEP_FAIL(OP, "Check DeviceHandle", ERR_NO_CONTEXT);
        return ERR_NO_CONTEXT;
    }
    unsigned int ulRet;
    if (ulOperation == CALLBACK_NEED_USER_PIN) {
        ulRet = pstContext->pDeviceObject->CheckUserPIN(false);
        TraceResult(OP, "pSKFContext->CheckUserPIN", ulRet);
    } else {
        ulRet = ShowConfirmationDialog((int)ulOperation, 0, pContext, pArgument);
        TraceResult(OP, "Confirm (Dialog)", ulRet);
    }
    return (long)ulRet;
}

unsigned int CDialogObject::VerifyAndProtectPIN(unsigned int ulPINType, char *pszPin, unsigned int ulPinLen)
{
    static const char *OP = "VerifyAndProtectPIN";
    /* The operator takes the length as a byte: a longer one is refused, not cut. */
    OP_CHECK(OP, ulPinLen <= 0xFF, "ulPinLen", ERR_BAD_LENGTH);
    OperationCallbackContext stContext = {0, this};
    unsigned int ulRet = CBrioOperator::VerifyPIN((unsigned char)ulPINType, pszPin, (unsigned char)ulPinLen,
                                                  &CDialogObject::SKFOperationCallback, &stContext);
    TraceResult(OP, "CBrioOperator::VerifyPIN", ulRet);
    return ulRet;
}

unsigned int CDialogObject::CheckUserPIN(bool bWithDialog)
{
    static const char *OP = "CheckUserPIN";
    unsigned char byRetryLeft = 0;
    unsigned char byDefault = 0;
    OP_STEP(OP, "GetPINStatus", GetPINStatus(1, &byRetryLeft, nullptr, &byDefault, nullptr));
    TRACE(LOG_LEVEL_INFO, "nRemainRetryTimes %d, nDefault %d", byRetryLeft, byDefault);
    if (!bWithDialog) return SW_SECURITY_STATUS;

    char *pszPin = nullptr;
    OP_STEP(OP, "GetUserPIN", GetUserPIN(byRetryLeft, &pszPin));
    unsigned int ulRet = VerifyAndProtectPIN(1, pszPin, (unsigned int)strlen(pszPin));
    FreePin(pszPin, USER_PIN_MAX_LEN + 1);
    TraceResult(OP, "VerifyAndProtectPIN", ulRet);
    return ulRet;
}

unsigned int CDialogObject::GetUserPIN(int nRetries, char **ppszPin)
{
    static const char *OP = "GetUserPIN";
    OP_CHECK_PTR(OP, ppszPin);
    OP_CHECK(OP, nRetries >= 1, "PIN Locked", SAR_PIN_LOCKED);
    unsigned int ulRet = ShowUserPinDialog(nRetries, USER_PIN_MIN_LEN, USER_PIN_MAX_LEN, ppszPin);
    if (ulRet != E_FAIL) {
        TraceResult(OP, "ShowUserPIN (Dialog)", ulRet);
        return ulRet;
    }
    /* With valid arguments the prompt fails only when it cannot be shown:
     * GTK found no X display at load, or the display is gone. */
    const char *pszDisplay = getenv("DISPLAY");
    char szStep[128];
    if (pszDisplay == nullptr || pszDisplay[0] == '\0') {
        snprintf(szStep, sizeof(szStep), "ShowUserPIN (Dialog): no X display could be opened (DISPLAY not set)");
    } else {
        snprintf(szStep, sizeof(szStep), "ShowUserPIN (Dialog): no X display could be opened (DISPLAY \"%.40s\")",
                 pszDisplay);
    }
    TRACE_STEP_FAIL(OP, szStep, ulRet);
    return ulRet;
}

unsigned int ShowUserPinDialog(int nRetries, int nMinLength, int nMaxLength, char **ppszPin)
{
    static const char *OP = "ShowUserPinDialog";
    OP_CHECK_PTR(OP, ppszPin);
    OP_CHECK(OP, nMaxLength >= 1 && (unsigned int)nMaxLength <= BRIO_MAX_BUFFER_SIZE, "buffer size",
             ERROR_INVALID_PARAMETER);
    *ppszPin = nullptr;
    /* One byte more than the longest PIN keeps a PIN of the full length terminated. */
    const size_t nSize = (size_t)nMaxLength + 1;
    char *pszBuffer = new (std::nothrow) char[nSize]();
    OP_CHECK(OP, pszBuffer != nullptr, "new pszPin", ERROR_NOT_ENOUGH_MEMORY);
    long lRet = ::GetUserPIN(nullptr, nRetries, nMinLength, nMaxLength, pszBuffer);
    unsigned int ulRet = lRet == BRIOUI_DIALOG_FAILED ? E_FAIL : (unsigned int)lRet;
    TraceResult(OP, "GetUserPIN", ulRet);
    if (ulRet != 0) {
        FreePin(pszBuffer, nSize);
        return ulRet;
    }
    *ppszPin = pszBuffer;
    return 0;
}

/* The device context whose token waits for its button: the one of the
 * object the wait would have repeated the operation on, else the one of the
 * object that runs the operation. */
static CDeviceContext *WaitingContext(void *pContext, void *pParameter)
{
    CDeviceContext *pDeviceContext = nullptr;
    PressButtonArgs stArgs;
    if (pParameter != nullptr && PressButtonRead(static_cast<PressButtonRecord *>(pParameter), &stArgs) == 0) {
        if (stArgs.byKind == CALLBACK_PRESS_SIGN) {
            pDeviceContext =
                static_cast<CDeviceContext *>(static_cast<CAsymKeyObject *>(stArgs.pObject)->GetDeviceContext());
        } else {
            pDeviceContext = static_cast<CBrioOperator *>(stArgs.pObject)->GetDeviceContext();
        }
    }
    PressButtonWipe(&stArgs);
    CDialogObject *pObject = static_cast<OperationCallbackContext *>(pContext)->pDeviceObject;
    if (pDeviceContext == nullptr && pObject != nullptr) pDeviceContext = pObject->GetDeviceContext();
    return pDeviceContext;
}

unsigned int ShowConfirmationDialog(int nKind, int nTimeout, void *pContext, void *pParameter)
{
    static const char *OP = "ShowConfirmationDialog";
    OP_CHECK_PTR(OP, pContext);
    OperationCallbackContext *pstContext = static_cast<OperationCallbackContext *>(pContext);
    ConfirmPromptRequest stRequest = {nKind,
                                      nTimeout,
                                      &CBrioOperator::WaitPressButton,
                                      pContext,
                                      pParameter,
                                      reinterpret_cast<unsigned long *>(&pstContext->ulStatus)};
    long lRet = ShowConfirmationPrompt(&stRequest);
    if (lRet == BRIOUI_DIALOG_FAILED) {
        TRACE_STEP_FAIL(OP, "ShowConfirmationPrompt", E_FAIL);
        /* The wait never ran: the token still waits for its button. */
        unsigned int ulCancel = CBrioOperator::CancelPressButton(WaitingContext(pContext, pParameter));
        TraceResult(OP, "CBrioOperator::CancelPressButton", ulCancel);
        return E_FAIL;
    }
    unsigned int ulRet = (unsigned int)lRet;
    TraceResult(OP, "ShowConfirmationPrompt", ulRet);
    return ulRet;
}

unsigned int CDialogObject::BroadcastCert()
{
    static const char *OP = "BroadcastCert";
    char szSerial[TOKEN_SN_MAX + 1] = {0};
    unsigned int ulLen = TOKEN_SN_MAX;
    OP_STEP(OP, "GetTokenSN", GetTokenSN(szSerial, &ulLen));
    szSerial[ulLen < TOKEN_SN_MAX ? ulLen : TOKEN_SN_MAX] = '\0';
    SendDBusSignal(szSerial);
    return 0;
}

/* A failed step of the signal: its line with ERR_DBUS_SIGNAL, and what
 * libdbus said. */
#define DBUS_STEP_FAIL(step, error)                                                             \
    do {                                                                                        \
        TRACE_STEP_FAIL(OP, (step), ERR_DBUS_SIGNAL);                                           \
        if (dbus_error_is_set(error)) TRACE(LOG_LEVEL_ERROR, "%s: %s", (error)->name, (error)->message); \
    } while (0)

/* The signal on a connection of its own, closed when sent: the host's shared
 * session connection (and its exit-on-disconnect setting) is never touched,
 * and nothing stays connected when the bus goes away.  The bus is the one
 * that DBUS_SESSION_BUS_ADDRESS names; without it there is no signal (never
 * a bus daemon launched for it). */
static void SendOnSessionBus(const char *OP, const char *pszSerial, DBusError *pError)
{
    const char *pszAddress = getenv(DBUS_SESSION_ADDRESS_VARIABLE);
    if (pszAddress == nullptr || *pszAddress == '\0') {
        TRACE(LOG_LEVEL_ERROR, "%s is not set", DBUS_SESSION_ADDRESS_VARIABLE);
        DBUS_STEP_FAIL("dbus_bus_get", pError);
        return;
    }
    DBusConnection *pConnection = dbus_connection_open_private(pszAddress, pError);
    if (pConnection == nullptr) {
        DBUS_STEP_FAIL("dbus_bus_get", pError);
        return;
    }
    dbus_connection_set_exit_on_disconnect(pConnection, FALSE);
    DBusMessage *pMessage = nullptr;
    do {
        if (!dbus_bus_register(pConnection, pError)) {
            DBUS_STEP_FAIL("dbus_bus_get", pError);
            break;
        }
        TRACE_STEP_OK(OP, "dbus_bus_get");
        dbus_bool_t bOwned = dbus_bus_name_has_owner(pConnection, DBUS_SENDER_NAME, pError);
        if (dbus_error_is_set(pError)) {
            DBUS_STEP_FAIL("dbus_bus_name_has_owner", pError);
            break;
        }
        if (!bOwned) {
            int nReply = dbus_bus_request_name(pConnection, DBUS_SENDER_NAME, DBUS_NAME_FLAG_REPLACE_EXISTING, pError);
            if (nReply != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
                DBUS_STEP_FAIL("dbus_bus_request_name", pError);
                break;
            }
        }
        pMessage = dbus_message_new_signal(DBUS_SIGNAL_PATH, DBUS_SIGNAL_INTERFACE, DBUS_SIGNAL_MEMBER);
        if (pMessage == nullptr) {
            DBUS_STEP_FAIL("dbus_message_new_signal", pError);
            break;
        }
        DBusMessageIter stIter;
        dbus_message_iter_init_append(pMessage, &stIter);
        if (!dbus_message_iter_append_basic(&stIter, DBUS_TYPE_STRING, &pszSerial)) {
            DBUS_STEP_FAIL("dbus_message_iter_append_basic", pError);
            break;
        }
        if (!dbus_connection_send(pConnection, pMessage, nullptr)) {
            DBUS_STEP_FAIL("dbus_connection_send", pError);
            break;
        }
        dbus_connection_flush(pConnection);
        TRACE_STEP_OK(OP, "dbus_connection_send");
    } while (false);
    if (pMessage != nullptr) dbus_message_unref(pMessage);
    dbus_connection_close(pConnection);
    dbus_connection_unref(pConnection);
}

unsigned int SendDBusSignal(char *pszSerial)
{
    static const char *OP = "SendDBusSignal";
    DBusError stError;
    dbus_error_init(&stError);
    /* libdbus aborts the process on a string argument that is not UTF-8,
     * and the serial is whatever the token sent. */
    if (pszSerial == nullptr || !dbus_validate_utf8(pszSerial, nullptr)) {
        DBUS_STEP_FAIL("CHECK pszSerial", &stError);
    } else {
        SendOnSessionBus(OP, pszSerial, &stError);
    }
    dbus_error_free(&stError);
    return 1;
}
