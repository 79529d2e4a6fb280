/* Result codes of the software cryptography layer and of the objects built
 * on it.  Every call returns an unsigned 32-bit code, 0 for success.  The
 * system-wide codes are guarded so that another layer may define the same
 * names with the same values. */
#ifndef BRIO_SOFTCRYPTO_CODES_H
#define BRIO_SOFTCRYPTO_CODES_H

#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8u   /* no memory, or an unknown digest or cipher id */
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87u
#endif

#define CRYPTO_ERR_RANDOM  100u      /* the random generator failed */
#define CRYPTO_ERR_ENCRYPT 6000u     /* cipher final (encryption) or SM2 encryption failed */
#define CRYPTO_ERR_DECRYPT 6001u     /* cipher final (decryption) failed: length or padding */

#ifndef NTE_BAD_KEY
#define NTE_BAD_KEY        0x80090003u
#endif
#ifndef NTE_BAD_LEN
#define NTE_BAD_LEN        0x80090004u
#endif
#ifndef NTE_BAD_SIGNATURE
#define NTE_BAD_SIGNATURE  0x80090006u
#endif
#ifndef NTE_BAD_ALGID
#define NTE_BAD_ALGID      0x80090008u
#endif
#ifndef NTE_NO_KEY
#define NTE_NO_KEY         0x8009000Du
#endif
#ifndef NTE_NO_MEMORY
#define NTE_NO_MEMORY      0x8009000Eu
#endif
#ifndef NTE_BAD_PUBLIC_KEY
#define NTE_BAD_PUBLIC_KEY 0x80090015u
#endif
#ifndef NTE_FAIL
#define NTE_FAIL           0x80090020u
#endif

/* The system's own codes used by the hash object and the cipher handle. */
#ifndef ERR_NULL_ARGUMENT
#define ERR_NULL_ARGUMENT      0x101u
#endif
#ifndef ERR_BUFFER_TOO_SMALL
#define ERR_BUFFER_TOO_SMALL   0x103u
#endif
#ifndef ERR_BAD_LENGTH
#define ERR_BAD_LENGTH         0x104u
#endif
#ifndef ERR_NO_CONTEXT
#define ERR_NO_CONTEXT         0x113u
#endif
#ifndef ERR_BAD_ALGORITHM
#define ERR_BAD_ALGORITHM      0x114u
#endif
#ifndef ERR_BAD_KEY_TYPE
#define ERR_BAD_KEY_TYPE       0x116u
#endif
#ifndef ERR_NO_SYMMETRIC_KEY
#define ERR_NO_SYMMETRIC_KEY   0x210u
#endif

/* Largest buffer the middleware allocates for one operation (10 MiB). */
#ifndef BRIO_MAX_BUFFER_SIZE
#define BRIO_MAX_BUFFER_SIZE   0xA00000u
#endif

#endif
