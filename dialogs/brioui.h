/*
 * libbrioui-enterprise: the PIN prompt and the press-button confirmation
 * prompt shown on the user's X display.
 *
 * Both calls run in the caller's thread and take the library's dialog mutex,
 * so a process shows one prompt at a time.  A prompt that cannot be shown
 * (GTK could not start, no X display) returns BRIOUI_DIALOG_FAILED.
 */
#ifndef BRIOUI_H
#define BRIOUI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The user pressed CANCEL, closed the prompt or pressed Escape (the PC/SC
 * code SCARD_W_CANCELLED_BY_USER). */
#define BRIOUI_CANCELLED ((long)0x8010006E)
/* The confirmation prompt's countdown ran out (the PC/SC code
 * SCARD_E_TIMEOUT). */
#define BRIOUI_TIMED_OUT ((long)0x8010000A)
/* The prompt could not be shown; the middleware reports a general failure. */
#define BRIOUI_DIALOG_FAILED ((long)0xFFFFFFFF)

/* Size of the library's PIN store: the largest maxLen GetUserPIN honours. */
#define BRIOUI_MAX_PIN_LEN 32

/* Kinds of confirmation prompt (any other value: a general operation). */
#define BRIOUI_CONFIRM_PIN_ERRORS 2
#define BRIOUI_CONFIRM_CHANGE_PIN 3
#define BRIOUI_CONFIRM_TRANSACTION 4

/* Default countdown of the confirmation prompt, used for timeoutSeconds <= 0. */
#define BRIOUI_DEFAULT_TIMEOUT_SECONDS 30

/* Work run in the confirmation prompt's worker thread while it is shown. */
typedef unsigned long (*ConfirmPromptCallback)(void* pContext, void* pParam);

typedef struct ConfirmPromptRequest {
    int32_t kind;            /* which text and title, see BRIOUI_CONFIRM_* */
    int32_t timeoutSeconds;  /* length of the countdown; <= 0 means 30 */
    ConfirmPromptCallback callback;
    void* context;           /* first argument of callback */
    void* param;             /* second argument of callback */
    /* Written by the prompt (atomically) while callback runs:
     * BRIOUI_CANCELLED on CANCEL, BRIOUI_TIMED_OUT when the countdown
     * ends.  The callback should read it with an atomic load. May be null. */
    unsigned long* status;
} ConfirmPromptRequest;

/*
 * Asks for the user PIN.  Returns 0 with the PIN's bytes (between minLen and
 * maxLen of them, no terminator) in szOut, BRIOUI_CANCELLED when the
 * user cancelled (szOut untouched), BRIOUI_DIALOG_FAILED when no prompt could
 * be shown or the arguments are unusable (null szOut, maxLen < 1, minLen above
 * the effective maxLen).  maxLen is clamped to BRIOUI_MAX_PIN_LEN; szOut must
 * hold at least that many bytes.  pvReserved is not used.
 */
long GetUserPIN(void* pvReserved, int nRetriesLeft, int nMinLen, int nMaxLen, char* szOut);

/*
 * Shows the confirmation prompt with its countdown while pstRequest->callback
 * runs in a worker thread; returns the callback's result once it returns.
 * Returns BRIOUI_DIALOG_FAILED, without calling the callback, when the prompt
 * cannot be shown or the request or its callback is null.
 */
long ShowConfirmationPrompt(const ConfirmPromptRequest* pstRequest);

#ifdef __cplusplus
}
#endif

#endif /* BRIOUI_H */
