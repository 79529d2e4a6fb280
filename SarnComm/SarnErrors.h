/* Result codes of the token device layer.  Every function returns an unsigned
 * 32-bit code, 0 for success.  Token status words other than 9000 travel as
 * 0x80000000 | SW. */
#ifndef BRIO_SARNCOMM_SARN_ERRORS_H
#define BRIO_SARNCOMM_SARN_ERRORS_H

#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87u
#endif

/* Transport. */
#ifndef ERR_LOCK_TIMEOUT
#define ERR_LOCK_TIMEOUT  225u  /* command semaphore not obtained within 60 s */
#endif
#ifndef ERR_EMPTY_COMMAND
#define ERR_EMPTY_COMMAND 226u  /* command pointer null or length 0 */
#endif
#ifndef ERR_USB_TRANSFER
#define ERR_USB_TRANSFER  227u  /* claim, bulk transfer or status wrapper failed */
#endif
#ifndef ERR_CSW_TAG
#define ERR_CSW_TAG       228u  /* status wrapper carries another tag */
#endif
#ifndef ERR_NO_USB_HANDLE
#define ERR_NO_USB_HANDLE 229u  /* record without a libusb handle */
#endif

/* The system's own codes. */
#ifndef ERR_NULL_ARGUMENT
#define ERR_NULL_ARGUMENT      0x101u
#endif
#ifndef ERR_NO_MEMORY
#define ERR_NO_MEMORY          0x102u
#endif
#ifndef ERR_BUFFER_TOO_SMALL
#define ERR_BUFFER_TOO_SMALL   0x103u
#endif
#ifndef ERR_BAD_LENGTH
#define ERR_BAD_LENGTH         0x104u
#endif
#ifndef ERR_BAD_MODULUS
#define ERR_BAD_MODULUS        0x105u
#endif
#ifndef ERR_NO_SECURE_CHANNEL
#define ERR_NO_SECURE_CHANNEL  0x107u
#endif
#ifndef ERR_UNSUPPORTED
#define ERR_UNSUPPORTED        0x108u
#endif
#ifndef ERR_BAD_DEVICE_NAME
#define ERR_BAD_DEVICE_NAME    0x112u
#endif
#ifndef ERR_NO_CONTEXT
#define ERR_NO_CONTEXT         0x113u
#endif
#ifndef ERR_BAD_ALGORITHM
#define ERR_BAD_ALGORITHM      0x114u
#endif
#ifndef ERR_BAD_FLAG
#define ERR_BAD_FLAG           0x115u
#endif
#ifndef ERR_BAD_KEY_TYPE
#define ERR_BAD_KEY_TYPE       0x116u
#endif

#ifndef E_FAIL
#define E_FAIL 0x80004005u
#endif

/* libusb's no-device and not-found codes as the transport reports them. */
#ifndef ERR_USB_NO_DEVICE
#define ERR_USB_NO_DEVICE 0xFFFFFFFCu
#endif
#ifndef ERR_USB_NOT_FOUND
#define ERR_USB_NOT_FOUND 0xFFFFFFFBu
#endif

/* A token status word as a result code. */
#define SARN_SW_CODE(sw) (0x80000000u | (unsigned int)(sw))

#endif
