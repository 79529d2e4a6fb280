/* The middleware's internal result codes: unsigned 32-bit, 0 for success.
 * The SKF edge turns them into SAR codes.  One table for every layer; a layer
 * header adds only what is its own. */
#ifndef BRIO_LOG_RESULT_CODES_H
#define BRIO_LOG_RESULT_CODES_H

/* System-style codes. */
#define ERROR_NOT_ENOUGH_MEMORY 8u      /* no memory, or an unknown digest or cipher id in the software layer */
#define ERROR_INVALID_PARAMETER 87u     /* bad argument */

/* Software cryptography. */
#define CRYPTO_ERR_RANDOM  100u         /* the random generator failed */
#define CRYPTO_ERR_ENCRYPT 6000u        /* cipher final (encryption) or SM2 encryption failed */
#define CRYPTO_ERR_DECRYPT 6001u        /* cipher final (decryption) failed: length or padding */

/* Transport. */
#define ERR_LOCK_TIMEOUT  225u          /* command semaphore not obtained within 60 s */
#define ERR_EMPTY_COMMAND 226u          /* command pointer null or length 0 */
#define ERR_USB_TRANSFER  227u          /* claim, bulk transfer or status wrapper failed */
#define ERR_CSW_TAG       228u          /* status wrapper carries another tag */
#define ERR_NO_USB_HANDLE 229u          /* record without a libusb handle */

/* The system's own codes. */
#define ERR_NULL_ARGUMENT       0x101u  /* a required pointer or object is missing */
#define ERR_NO_MEMORY           0x102u
#define ERR_BUFFER_TOO_SMALL    0x103u  /* the caller's output is too small; the needed size is reported */
#define ERR_BAD_LENGTH          0x104u  /* an input length is wrong */
#define ERR_BAD_MODULUS         0x105u
#define ERR_NO_SECURE_CHANNEL   0x107u  /* secure command without an established session key */
#define ERR_UNSUPPORTED         0x108u  /* operation not offered */
#define ERR_BAD_DEVICE_NAME     0x112u  /* device name without "pid_", "bus_" or "addr_" */
#define ERR_NO_CONTEXT          0x113u  /* device context, device object, mutex or digest context missing */
#define ERR_BAD_ALGORITHM       0x114u  /* unknown algorithm or hash identifier */
#define ERR_BAD_FLAG            0x115u  /* bad flag, kind or callback code; no wait to cancel */
#define ERR_BAD_KEY_TYPE        0x116u  /* bad key type or cipher direction */
#define ERR_DBUS_SIGNAL         0x204u  /* a step of the D-Bus signal failed (logged only, never returned) */
#define ERR_BAD_CERTIFICATE     0x20Bu  /* certificate header or length wrong */
#define ERR_CONTAINER_NOT_FOUND 0x20Cu  /* container not in the operator's cache */
#define ERR_NO_SYMMETRIC_KEY    0x210u  /* cipher handle used before its key was set */
#define ERR_ENCRYPT_FAILED      0x211u  /* software public-key encryption failed in a key object */
#define ERR_VERIFY_FAILED       0x212u  /* a signature did not verify in a key object */

/* The user cancelled a prompt; the confirmation prompt's countdown ended. */
#define SCARD_W_CANCELLED_BY_USER 0x8010006Eu
#define SCARD_E_TIMEOUT 0x8010000Au

/* The token has no such data file or certificate. */
#define SW_FILE_NOT_FOUND 0x8000F102u
/* The token has no room for a new data file; a data file of that id exists. */
#define SW_FILE_NO_ROOM 0x8000F104u
#define SW_FILE_EXISTS 0x80006A89u

/* General failure; a failed lock or shared-memory call without an error number. */
#define E_FAIL 0x80004005u

/* Published cryptography codes. */
#define NTE_BAD_KEY        0x80090003u
#define NTE_BAD_LEN        0x80090004u
#define NTE_BAD_SIGNATURE  0x80090006u
#define NTE_BAD_ALGID      0x80090008u
#define NTE_NO_KEY         0x8009000Du
#define NTE_NO_MEMORY      0x8009000Eu
#define NTE_BAD_PUBLIC_KEY 0x80090015u
#define NTE_FAIL           0x80090020u

/* Largest buffer the middleware allocates for one operation (10 MiB). */
#define BRIO_MAX_BUFFER_SIZE 0xA00000u

#endif
