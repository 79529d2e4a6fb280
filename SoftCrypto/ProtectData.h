/* Protected data: a block of data kept under a PIN.  The blob is the SM4-CBC
 * cipher text of the data with PKCS#7 padding under a zero IV; it carries no
 * header, length or check value, so its length is (data length / 16 + 1) * 16.
 *
 * The key is the PIN's first 16 bytes; a PIN shorter than 16 bytes is
 * extended with zero bytes (nothing beyond pinSize is read).  A wrong PIN is
 * noticed only through the padding of the last block, which every byte of the
 * padding must match: in about 1 of 256 cases a wrong PIN still yields data. */
#ifndef BRIO_SOFTCRYPTO_PROTECT_DATA_H
#define BRIO_SOFTCRYPTO_PROTECT_DATA_H

#include "SoftCrypto/SoftCryptoCodes.h"

/* Encrypts; *ppbyDataOut is a new[] array the caller frees with delete[].
 * dwDataInSize 1 to 0xA00000 - 16. */
unsigned int CreateProtectData(unsigned char *pbyDataIn, unsigned int dwDataInSize, unsigned char *pszPIN,
                               unsigned int dwPINSize, unsigned char **ppbyDataOut, unsigned int &dwDataOutSize);
/* Decrypts; a bad padding (usually a wrong PIN) gives 6001 and no buffer. */
unsigned int AcquireProtectData(unsigned char *pbyDataIn, unsigned int dwDataInSize, unsigned char *pszPIN,
                                unsigned int dwPINSize, unsigned char **ppbyDataOut, unsigned int &dwDataOutSize);
/* Reverses len bytes in place. */
void SwapByteOrder(unsigned char *pbBuf, unsigned int ulLen);

#endif
