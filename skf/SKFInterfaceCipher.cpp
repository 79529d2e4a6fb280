/* SKF functions for symmetric ciphers, digests and MACs, and the close of
 * key, hash, MAC and agreement handles.  Encryption and decryption share the
 * key object's operations; EncInit fixes the direction. */
#include "skf/DeviceObject.h"
#include "skf/SKFInterfaceFrame.h"
#include "skf/SymKeyObject.h"

namespace {

/* The one-shot and update calls of both directions: pointers checked, then
 * the key operation with the buffers as given. */
using KeyBufferOperation = unsigned int (CKeyObject::*)(unsigned char *, unsigned int, unsigned char *,
                                                        unsigned int *);

ULONG KeyBufferCall(const char *pszFunction, const char *pszInCheck, const char *pszOutLenCheck,
                    const char *pszOperation, KeyBufferOperation pfnOperation, HANDLE hKey, BYTE *pbIn,
                    ULONG ulInLen, BYTE *pbOut, ULONG *pulOutLen)
{
    return CSkfCall(pszFunction)
        .Arg(pbIn, pszInCheck)
        .Arg(pulOutLen, pszOutLenCheck)
        .Key(hKey)
        .Run<CKeyObject>(pszOperation,
                         [&](CKeyObject &key) { return (key.*pfnOperation)(pbIn, ulInLen, pbOut, pulOutLen); });
}

/* The final calls: only the length pointer is checked. */
using KeyFinalOperation = unsigned int (CKeyObject::*)(unsigned char *, unsigned int *);

ULONG KeyFinalCall(const char *pszFunction, const char *pszOutLenCheck, const char *pszOperation,
                   KeyFinalOperation pfnOperation, HANDLE hKey, BYTE *pbOut, ULONG *pulOutLen)
{
    return CSkfCall(pszFunction)
        .Arg(pulOutLen, pszOutLenCheck)
        .Key(hKey)
        .Run<CKeyObject>(pszOperation, [&](CKeyObject &key) { return (key.*pfnOperation)(pbOut, pulOutLen); });
}

/* The update calls of digests and MACs: data only. */
using KeyUpdateOperation = unsigned int (CKeyObject::*)(unsigned char *, unsigned int);

ULONG KeyUpdateCall(const char *pszFunction, const char *pszOperation, KeyUpdateOperation pfnOperation, HANDLE hKey,
                    BYTE *pbData, ULONG ulDataLen)
{
    return CSkfCall(pszFunction)
        .Arg(pbData, "CHECK pbData")
        .Key(hKey)
        .Run<CKeyObject>(pszOperation, [&](CKeyObject &key) { return (key.*pfnOperation)(pbData, ulDataLen); });
}

ULONG KeyInitCall(const char *pszFunction, HANDLE hKey, bool bEncrypt, BLOCKCIPHERPARAM *pParam)
{
    return CSkfCall(pszFunction).Key(hKey).Run<CKeyObject>("EncInit", [&](CKeyObject &key) {
        return key.EncInit(bEncrypt, pParam);
    });
}

}  // namespace

/* ---- Encryption ---- */

ULONG DEVAPI SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam)
{
    return KeyInitCall("SKF_EncryptInit", hKey, true, &EncryptParam);
}

ULONG DEVAPI SKF_Encrypt(HANDLE hKey, BYTE *pbData, ULONG ulDataLen, BYTE *pbEncryptedData, ULONG *pulEncryptedLen)
{
    return KeyBufferCall("SKF_Encrypt", "CHECK pbData", "CHECK pulEncryptedLen", "Encrypt", &CKeyObject::Encrypt, hKey,
                         pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

ULONG DEVAPI SKF_EncryptUpdate(HANDLE hKey, BYTE *pbData, ULONG ulDataLen, BYTE *pbEncryptedData,
                               ULONG *pulEncryptedLen)
{
    return KeyBufferCall("SKF_EncryptUpdate", "CHECK pbData", "CHECK pulEncryptedLen", "EncUpdate",
                         &CKeyObject::EncUpdate, hKey, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}

ULONG DEVAPI SKF_EncryptFinal(HANDLE hKey, BYTE *pbEncryptedData, ULONG *pulEncryptedDataLen)
{
    return KeyFinalCall("SKF_EncryptFinal", "CHECK pulEncryptedDataLen", "EncFinal", &CKeyObject::EncFinal, hKey,
                        pbEncryptedData, pulEncryptedDataLen);
}

/* ---- Decryption ---- */

ULONG DEVAPI SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam)
{
    return KeyInitCall("SKF_DecryptInit", hKey, false, &DecryptParam);
}

ULONG DEVAPI SKF_Decrypt(HANDLE hKey, BYTE *pbEncryptedData, ULONG ulEncryptedLen, BYTE *pbData, ULONG *pulDataLen)
{
    return KeyBufferCall("SKF_Decrypt", "CHECK pbEncryptedData", "CHECK pulDataLen", "Encrypt", &CKeyObject::Encrypt,
                         hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

ULONG DEVAPI SKF_DecryptUpdate(HANDLE hKey, BYTE *pbEncryptedData, ULONG ulEncryptedLen, BYTE *pbData,
                               ULONG *pulDataLen)
{
    return KeyBufferCall("SKF_DecryptUpdate", "CHECK pbEncryptedData", "CHECK pulDataLen", "EncUpdate",
                         &CKeyObject::EncUpdate, hKey, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
}

ULONG DEVAPI SKF_DecryptFinal(HANDLE hKey, BYTE *pbDecryptedData, ULONG *pulDecryptedDataLen)
{
    return KeyFinalCall("SKF_DecryptFinal", "CHECK pulDecryptedDataLen", "EncFinal", &CKeyObject::EncFinal, hKey,
                        pbDecryptedData, pulDecryptedDataLen);
}

/* ---- Digests ---- */

ULONG DEVAPI SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB *pPubKey, BYTE *pucID, ULONG ulIDLen,
                            HANDLE *phHash)
{
    return CSkfCall("SKF_DigestInit")
        .Arg(phHash, "CHECK phHash")
        .Device(hDev)
        .Yields(phHash, SkfHandleKind::Key)
        .Run<CDeviceObject>("DigestInit", [&](CDeviceObject &dev) {
            return dev.DigestInit(ulAlgID, pPubKey, pucID, ulIDLen, phHash);
        });
}

ULONG DEVAPI SKF_Digest(HANDLE hHash, BYTE *pbData, ULONG ulDataLen, BYTE *pbHashData, ULONG *pulHashLen)
{
    return KeyBufferCall("SKF_Digest", "CHECK pbData", "CHECK pulHashLen", "Digest", &CKeyObject::Digest, hHash,
                         pbData, ulDataLen, pbHashData, pulHashLen);
}

ULONG DEVAPI SKF_DigestUpdate(HANDLE hHash, BYTE *pbData, ULONG ulDataLen)
{
    return KeyUpdateCall("SKF_DigestUpdate", "DigestUpdate", &CKeyObject::DigestUpdate, hHash, pbData, ulDataLen);
}

ULONG DEVAPI SKF_DigestFinal(HANDLE hHash, BYTE *pHashData, ULONG *pulHashLen)
{
    return KeyFinalCall("SKF_DigestFinal", "CHECK pulHashLen", "DigestFinal", &CKeyObject::DigestFinal, hHash,
                        pHashData, pulHashLen);
}

/* ---- MACs ---- */

ULONG DEVAPI SKF_MacInit(HANDLE hKey, BLOCKCIPHERPARAM *pMacParam, HANDLE *phMac)
{
    return CSkfCall("SKF_MacInit")
        .Arg(phMac, "CHECK phMac")
        .Key(hKey)
        .Yields(phMac, SkfHandleKind::Key)
        .Run<CKeyObject>("MacInit", [&](CKeyObject &key) { return key.MacInit(pMacParam, phMac); });
}

ULONG DEVAPI SKF_Mac(HANDLE hMac, BYTE *pbData, ULONG ulDataLen, BYTE *pbMacData, ULONG *pulMacLen)
{
    return KeyBufferCall("SKF_Mac", "CHECK pbData", "CHECK pulMacLen", "Mac", &CKeyObject::Mac, hMac, pbData,
                         ulDataLen, pbMacData, pulMacLen);
}

ULONG DEVAPI SKF_MacUpdate(HANDLE hMac, BYTE *pbData, ULONG ulDataLen)
{
    return KeyUpdateCall("SKF_MacUpdate", "MacUpdate", &CKeyObject::MacUpdate, hMac, pbData, ulDataLen);
}

ULONG DEVAPI SKF_MacFinal(HANDLE hMac, BYTE *pbMacData, ULONG *pulMacDataLen)
{
    return KeyFinalCall("SKF_MacFinal", "CHECK pulMacDataLen", "MacFinal", &CKeyObject::MacFinal, hMac, pbMacData,
                        pulMacDataLen);
}

/* ---- Close ---- */

ULONG DEVAPI SKF_CloseHandle(HANDLE hHandle)
{
    CSkfCall call("SKF_CloseHandle");
    if (hHandle == nullptr) return call.Result();
    return call.Close(hHandle, SkfHandleKind::Key, "CHECK_KEY_PCTX");
}
