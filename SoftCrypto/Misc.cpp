// Protected data: a block of data kept under a PIN (SM4-CBC, PKCS#7, zero IV).
#include "SoftCrypto/ProtectData.h"

#include <string.h>

#include <openssl/crypto.h>

#include "SoftCrypto/SoftCrypto.h"
#include "SoftCrypto/StepCheck.h"
#include "SoftCrypto/SymKeyHandle.h"

using softcrypto::CSecureBuffer;

namespace {

const unsigned int kPinKeyLen = 16;

/* One direction: the one-shot cipher of the software cipher handle. */
struct ProtectDirection {
    const char *pszOperation;
    const char *pszCipherStep;
    unsigned int (*pfnCipher)(unsigned char, unsigned char, unsigned char *, unsigned char *, unsigned char *,
                              unsigned int, unsigned char *, unsigned int *);
};

const ProtectDirection kCreate = {"CreateProtectData", "Cipher::SM4EncryptByPin", &CSymKeyHandle::Encrypt};
const ProtectDirection kAcquire = {"AcquireProtectData", "Cipher::SM4DecryptByPin", &CSymKeyHandle::Decrypt};

/* The checks, the key from the PIN and the SM4-CBC pass of both calls. */
unsigned int RunProtect(const ProtectDirection &dir, unsigned char *pbyDataIn, unsigned int dwDataInSize,
                        unsigned char *pszPIN, unsigned int dwPINSize, unsigned char **ppbyDataOut,
                        unsigned int &dwDataOutSize)
{
    const char *kOp = dir.pszOperation;
    if (unsigned int rv = SC_STEP(kOp, "Check pbyDataIn", pbyDataIn != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "Check dwDataInSize", dwDataInSize != 0, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "Check pszPIN", pszPIN != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "Check dwPINSize", dwPINSize != 0, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "Check ppbyDataOut", ppbyDataOut != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    // Room for the padding block; compared without overflowing.
    if (unsigned int rv = SC_STEP(kOp, "Check buffer size", dwDataInSize <= BRIO_MAX_BUFFER_SIZE - 16,
                                  ERROR_INVALID_PARAMETER))
        return rv;
    CSecureBuffer out;
    if (unsigned int rv = SC_STEP(kOp, "New buffer", out.Allocate(size_t(dwDataInSize) + 16), ERROR_NOT_ENOUGH_MEMORY))
        return rv;

    // The key is the PIN's first 16 bytes, a shorter PIN extended with zeros.
    unsigned char abKey[kPinKeyLen] = {};
    memcpy(abKey, pszPIN, dwPINSize < kPinKeyLen ? dwPINSize : kPinKeyLen);
    unsigned int ulOutLen = dwDataInSize + 16;
    unsigned int rv = dir.pfnCipher(SC_ALG_SM4, SC_MODE_CBC, abKey, nullptr, pbyDataIn, dwDataInSize, out.Data(),
                                    &ulOutLen);
    OPENSSL_cleanse(abKey, sizeof(abKey));
    if (unsigned int rvStep = SC_STEP(kOp, dir.pszCipherStep, rv == 0, rv))
        return rvStep;  // the array is wiped and freed
    *ppbyDataOut = out.Release();
    dwDataOutSize = ulOutLen;
    return 0;
}
}  // namespace

unsigned int CreateProtectData(unsigned char *pbyDataIn, unsigned int dwDataInSize, unsigned char *pszPIN,
                               unsigned int dwPINSize, unsigned char **ppbyDataOut, unsigned int &dwDataOutSize)
{
    return RunProtect(kCreate, pbyDataIn, dwDataInSize, pszPIN, dwPINSize, ppbyDataOut, dwDataOutSize);
}

unsigned int AcquireProtectData(unsigned char *pbyDataIn, unsigned int dwDataInSize, unsigned char *pszPIN,
                                unsigned int dwPINSize, unsigned char **ppbyDataOut, unsigned int &dwDataOutSize)
{
    return RunProtect(kAcquire, pbyDataIn, dwDataInSize, pszPIN, dwPINSize, ppbyDataOut, dwDataOutSize);
}

void SwapByteOrder(unsigned char *pbBuf, unsigned int ulLen)
{
    if (pbBuf == nullptr || ulLen < 2)
        return;
    for (unsigned int i = 0, j = ulLen - 1; i < j; ++i, --j) {
        unsigned char b = pbBuf[i];
        pbBuf[i] = pbBuf[j];
        pbBuf[j] = b;
    }
}
