/* The press-button record and the operation callback.
 *
 * While the token holds back a sensitive operation until its owner presses
 * its button (status 0x8000F321), the operation fills a PressButtonRecord and
 * calls the caller's operation callback, which shows the confirmation prompt
 * and runs CBrioOperator::WaitPressButton with the record in the prompt's
 * worker thread.
 *
 * Record layout (280 bytes, zero-filled, numbers in host order, no
 * alignment):
 *   0-7      the object the wait repeats the operation on (the operator, or
 *            for kind 4 the key object)
 *   8        kind: 2 verify PIN, 3 change PIN, 4 sign, 5 reset token user
 *   kind 2   9 PIN type, 10 PIN length n, 11.. the PIN
 *   kind 3   9 PIN type, 10 old length L, 11.. old PIN, then the new length M
 *            (1 byte) and the new PIN
 *   kind 4   9-10 data length (16 bits), 11.. the digest to sign; after a
 *            successful wait the signature length and the signature
 *   kind 5   9 reset flag, 10-13 data length (32 bits), 14.. the data
 *   272-279  the operation callback
 * The wait copies each PIN into a 32-byte buffer and data into a 256-byte
 * one: the writers refuse anything longer with 260 (ERR_BAD_LENGTH), and
 * the reader refuses a record that claims more, so nothing ever runs into
 * the callback pointer at the record's end or past a buffer. */
#ifndef BRIO_SARNCORE_PRESS_BUTTON_H
#define BRIO_SARNCORE_PRESS_BUTTON_H

#include <functional>

#include "log/ResultCodes.h"

/* Operation callback: (code, the caller's context, argument). */
typedef long (*OperationCallback)(unsigned int ulCode, void *pContext, void *pArg);

/* Codes the device layer sends to the operation callback. */
#define CALLBACK_NEED_USER_PIN 1u     /* refused with 0x80006982; 0 repeats the operation once */
#define CALLBACK_PRESS_VERIFY_PIN 2u  /* argument: the record, kind 2 */
#define CALLBACK_PRESS_CHANGE_PIN 3u
#define CALLBACK_PRESS_SIGN 4u
#define CALLBACK_PRESS_RESET 5u
#define CALLBACK_WAIT_STATUS 11u      /* before each repetition of the wait */

/* Status words of the token and of the confirmation prompt. */
#define SW_BUTTON_NOT_PRESSED 0x8000F321u
#define SW_SECURITY_STATUS 0x80006982u
#define SW_INS_NOT_SUPPORTED 0x80006D00u  /* the token does not offer the command */

#define PRESS_BUTTON_RECORD_LEN 280u
#define PRESS_BUTTON_PIN_MAX 32u
#define PRESS_BUTTON_DATA_MAX 256u
#define PRESS_BUTTON_POLL_US 300000u

typedef struct PressButtonRecord {
    unsigned char pbBytes[PRESS_BUTTON_RECORD_LEN];
} PressButtonRecord;
static_assert(sizeof(PressButtonRecord) == PRESS_BUTTON_RECORD_LEN, "press-button record of 280 bytes");

/* The record's content as the wait uses it. */
struct PressButtonArgs {
    void *pObject;
    unsigned char byKind;
    unsigned char byParam;                          /* PIN type or reset flag */
    unsigned char pbPin[PRESS_BUTTON_PIN_MAX];      /* kinds 2, 3 */
    unsigned char byPinLen;
    unsigned char pbNewPin[PRESS_BUTTON_PIN_MAX];   /* kind 3 */
    unsigned char byNewPinLen;
    unsigned char pbData[PRESS_BUTTON_DATA_MAX];    /* kinds 4, 5 */
    unsigned int ulDataLen;
    OperationCallback pfnCallback;
};

/* Writers: zero the record and fill it; 260 when a PIN is longer than 32
 * bytes or data longer than 256, the record then left zeroed. */
unsigned int PressButtonWritePin(PressButtonRecord *pRecord, void *pObject, unsigned char byPINType,
                                 const char *pszPin, unsigned int ulPinLen, OperationCallback pfnCallback);
unsigned int PressButtonWriteChangePin(PressButtonRecord *pRecord, void *pObject, unsigned char byPINType,
                                       const char *pszOldPin, unsigned int ulOldLen, const char *pszNewPin,
                                       unsigned int ulNewLen, OperationCallback pfnCallback);
unsigned int PressButtonWriteSign(PressButtonRecord *pRecord, void *pObject, const unsigned char *pbData,
                                  unsigned int ulLen, OperationCallback pfnCallback);
unsigned int PressButtonWriteReset(PressButtonRecord *pRecord, void *pObject, unsigned char byFlag,
                                   const unsigned char *pbData, unsigned int ulLen, OperationCallback pfnCallback);
/* Kind 4 after the wait: the signature's length and bytes (at most 256). */
unsigned int PressButtonWriteSignature(PressButtonRecord *pRecord, const unsigned char *pbSignature,
                                       unsigned int ulLen);
/* The signature a kind-4 wait wrote back: its length, and its bytes when
 * pbOut is given (capacity *pulLen; 259 with the length when too small). */
unsigned int PressButtonReadSignature(const PressButtonRecord *pRecord, unsigned char *pbOut, unsigned int *pulLen);

/* Reader: 257 for a null object or callback, 277 for an unknown kind, 260
 * for a PIN or data longer than the wait's buffers. */
unsigned int PressButtonRead(const PressButtonRecord *pRecord, PressButtonArgs *pArgs);

/* An operation refused with 0x80006982 and a callback: callback(1, context,
 * null); its non-zero result is the result, 0 runs the operation once more.
 * Any other result passes unchanged. */
unsigned int RepeatAfterUserPin(unsigned int ulResult, OperationCallback pfnCallback, void *pContext,
                                const std::function<unsigned int()> &fnOperation);

/* Runs an operation that may wait for the token's button.  With a callback
 * the token's 0x8000F321 leads to the confirmation and is an answer looked
 * for (traced as such); without one it reaches the caller as a failure. */
unsigned int RunAwaitingButton(OperationCallback pfnCallback, const std::function<unsigned int()> &fnOperation);

/* Wipes PINs and data. */
void PressButtonWipe(PressButtonRecord *pRecord);
void PressButtonWipe(PressButtonArgs *pArgs);

#endif
