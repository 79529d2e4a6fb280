// Software cryptography layer: RSA, SM2, random bytes, digests and ciphers
// behind the system's algorithm identifiers and result codes.
#include "SoftCrypto/SoftCrypto.h"

#include <string.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "SoftCrypto/CryptoLibCtx.h"
#include "SoftCrypto/StepCheck.h"
#include "gm/gm_evp.h"
#include "gm/sm2.h"
#include "gm/sm2_group.h"
#include "log/TraceFuncScope.h"

namespace {

// ------------------------------------------------------------------- RSA --

/* Every RSA call ends, on every path, with the library's ex_data clean-up
 * (a no-op since OpenSSL 1.1.0, kept for the 1.0 behaviour). */
struct CRsaCallEnd {
    ~CRsaCallEnd() { CRYPTO_cleanup_all_ex_data(); }
};

/* A public key from N and E; 0 or the code of the failed step.  The lengths
 * must fit the record's fields. */
unsigned int LoadRsaPublicKey(const char *pszOp, const _QV_RSA_KEY_PAIR *pKey, RSA **ppRsa)
{
    *ppRsa = nullptr;
    RSA *pRsa = RSA_new();
    if (unsigned int rv = SC_STEP(pszOp, "RSA_new", pRsa != nullptr, NTE_NO_MEMORY))
        return rv;
    bool bNLenOk = pKey->NLen >= 1 && pKey->NLen <= SC_RSA_MAX_BYTES;
    bool bELenOk = pKey->ELen >= 1 && pKey->ELen <= SC_RSA_MAX_BYTES;
    BIGNUM *pN = bNLenOk ? BN_bin2bn(pKey->N, static_cast<int>(pKey->NLen), nullptr) : nullptr;
    BIGNUM *pE = bELenOk ? BN_bin2bn(pKey->E, static_cast<int>(pKey->ELen), nullptr) : nullptr;
    unsigned int rv = SC_STEP(pszOp, "BN_bin2bn(N)", pN != nullptr, NTE_BAD_PUBLIC_KEY);
    if (rv == 0)
        rv = SC_STEP(pszOp, "BN_bin2bn(E)", pE != nullptr, NTE_BAD_PUBLIC_KEY);
    if (rv == 0)
        rv = SC_STEP(pszOp, "RSA_set0_key", RSA_set0_key(pRsa, pN, pE, nullptr) == 1, NTE_BAD_PUBLIC_KEY);
    if (rv != 0) {
        BN_free(pN);
        BN_free(pE);
        RSA_free(pRsa);
        return rv;
    }
    *ppRsa = pRsa;
    return 0;
}

/* The public-key operation shared by RSA_PublicEncrypt and RSA_Encrypt. */
unsigned int RsaPublicOperation(const char *pszOp, _QV_RSA_KEY_PAIR *pKey, const unsigned char *pbIn,
                                unsigned int ulInLen, unsigned char *pbOut, unsigned int *pulOutLen,
                                int nPadding)
{
    RSA *pRsa = nullptr;
    if (unsigned int rv = LoadRsaPublicKey(pszOp, pKey, &pRsa))
        return rv;
    int nLen = -1;
    if (ulInLen <= static_cast<unsigned int>(RSA_size(pRsa)))
        nLen = RSA_public_encrypt(static_cast<int>(ulInLen), pbIn, pbOut, pRsa, nPadding);
    RSA_free(pRsa);
    if (unsigned int rv = SC_STEP(pszOp, "RSA_public_encrypt", nLen > 0, NTE_BAD_LEN))
        return rv;
    *pulOutLen = static_cast<unsigned int>(nLen);
    return 0;
}

int RsaVerifyNid(unsigned int ulHashAlgID, unsigned int *pulHashLen)
{
    switch (ulHashAlgID) {
    case SC_HASH_MD5: *pulHashLen = 16; return NID_md5;
    case SC_HASH_SHA1: *pulHashLen = 20; return NID_sha1;
    case SC_HASH_SHA256: *pulHashLen = 32; return NID_sha256;
    case SC_HASH_SHA512: *pulHashLen = 64; return NID_sha512;
    case SC_HASH_SHA1_MD5: *pulHashLen = 36; return NID_md5_sha1;
    default: *pulHashLen = 0; return NID_undef;
    }
}

/* PKCS#1 v1.5 verification of a precomputed hash. */
unsigned int RsaVerifyHash(const char *pszOp, _QV_RSA_KEY_PAIR *pKey, unsigned int ulHashAlgID,
                           const unsigned char *pbHash, unsigned char *pbSig, unsigned int ulSigLen)
{
    unsigned int ulHashLen = 0;
    int nNid = RsaVerifyNid(ulHashAlgID, &ulHashLen);
    if (unsigned int rv = SC_STEP(pszOp, "CHECK nHashAlgID", nNid != NID_undef, NTE_BAD_ALGID))
        return rv;
    RSA *pRsa = nullptr;
    if (unsigned int rv = LoadRsaPublicKey(pszOp, pKey, &pRsa))
        return rv;
    int nOk = RSA_verify(nNid, pbHash, ulHashLen, pbSig, ulSigLen, pRsa);
    RSA_free(pRsa);
    return SC_STEP(pszOp, "RSA_verify", nOk == 1, NTE_BAD_SIGNATURE);
}

void WriteBn(const BIGNUM *pBn, unsigned char *pbField, uint32_t *pulLen)
{
    memset(pbField, 0, SC_RSA_MAX_BYTES);
    *pulLen = static_cast<uint32_t>(BN_bn2bin(pBn, pbField));
}

// ---------------------------------------------------------------- digests --

const EVP_MD *DigestOf(unsigned int ulHashAlgID)
{
    switch (ulHashAlgID) {
    case SC_HASH_MD5: return softcrypto::Digest(softcrypto::DIGEST_MD5);
    case SC_HASH_SHA1: return softcrypto::Digest(softcrypto::DIGEST_SHA1);
    case SC_HASH_SHA256: return softcrypto::Digest(softcrypto::DIGEST_SHA256);
    case SC_HASH_SHA512: return softcrypto::Digest(softcrypto::DIGEST_SHA512);
    case SC_HASH_SM3: return gm_EVP_sm3();
    default: return nullptr;
    }
}

// ---------------------------------------------------------------- ciphers --

/* Init, update and final of both directions through one set of helpers. */
struct CipherDirection {
    int nEnc;
    const char *pszInit, *pszUpdate, *pszFinal;
    const char *pszInitStep, *pszUpdateStep, *pszFinalStep;
    unsigned int ulFinalCode;
};

const CipherDirection kEncrypt = {1,
                                  "SymEncryptInit",
                                  "SymEncryptUpdate",
                                  "SymEncryptFinal",
                                  "EVP_EncryptInit_ex",
                                  "EVP_EncryptUpdate",
                                  "EVP_EncryptFinal_ex",
                                  CRYPTO_ERR_ENCRYPT};
const CipherDirection kDecrypt = {0,
                                  "SymDecryptInit",
                                  "SymDecryptUpdate",
                                  "SymDecryptFinal",
                                  "EVP_DecryptInit_ex",
                                  "EVP_DecryptUpdate",
                                  "EVP_DecryptFinal_ex",
                                  CRYPTO_ERR_DECRYPT};

unsigned int SymInit(const CipherDirection &dir, void **ppCipherCtx, unsigned int ulAlgID, unsigned int ulMode,
                     unsigned char *pKey, unsigned char *pIV)
{
    TraceFuncScope scope(dir.pszInit);
    if (unsigned int rv = SC_STEP(dir.pszInit, "Check ppCipherCtx", ppCipherCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszInit, "Check pKey", pKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    EVP_CIPHER_CTX *pCtx = EVP_CIPHER_CTX_new();
    if (unsigned int rv = SC_STEP(dir.pszInit, "EVP_CIPHER_CTX_new", pCtx != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    const EVP_CIPHER *pCipher = EVPSymEnc(ulAlgID, ulMode);
    bool bOk = pCipher != nullptr && EVP_CipherInit_ex(pCtx, pCipher, nullptr, pKey, pIV, dir.nEnc) == 1;
    if (unsigned int rv = SC_STEP(dir.pszInit, dir.pszInitStep, bOk, NTE_FAIL)) {
        EVP_CIPHER_CTX_free(pCtx);
        return rv;
    }
    *ppCipherCtx = pCtx;
    return 0;
}

unsigned int SymUpdate(const CipherDirection &dir, void *pCipherCtx, unsigned char *pSourceData,
                       unsigned int ulSourceLen, unsigned char *pOutData, unsigned int *pulOutLen)
{
    TraceFuncScope scope(dir.pszUpdate);
    if (unsigned int rv = SC_STEP(dir.pszUpdate, "Check pCipherCtx", pCipherCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszUpdate, "Check pSourceData", pSourceData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszUpdate, "Check pOutData", pOutData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszUpdate, "Check pulOutLen", pulOutLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    // EVP takes an int length; longer inputs go in pieces.
    auto *pCtx = static_cast<EVP_CIPHER_CTX *>(pCipherCtx);
    unsigned long long ullDone = 0;
    unsigned int ulOff = 0;
    bool bOk = true;
    while (bOk && ulOff < ulSourceLen) {
        unsigned int ulPiece = ulSourceLen - ulOff > 0x40000000u ? 0x40000000u : ulSourceLen - ulOff;
        int nOut = 0;
        bOk = EVP_CipherUpdate(pCtx, pOutData + ullDone, &nOut, pSourceData + ulOff, static_cast<int>(ulPiece)) == 1;
        ullDone += static_cast<unsigned int>(nOut);
        ulOff += ulPiece;
    }
    if (unsigned int rv = SC_STEP(dir.pszUpdate, dir.pszUpdateStep, bOk, NTE_FAIL))
        return rv;
    *pulOutLen = static_cast<unsigned int>(ullDone);
    return 0;
}

unsigned int SymFinal(const CipherDirection &dir, void *pCipherCtx, unsigned char *pOutData, unsigned int *pulOutLen)
{
    TraceFuncScope scope(dir.pszFinal);
    if (unsigned int rv = SC_STEP(dir.pszFinal, "Check pCipherCtx", pCipherCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszFinal, "Check pOutData", pOutData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(dir.pszFinal, "Check pulOutLen", pulOutLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    auto *pCtx = static_cast<EVP_CIPHER_CTX *>(pCipherCtx);
    int nOut = 0;
    if (unsigned int rv = SC_STEP(dir.pszFinal, dir.pszFinalStep, EVP_CipherFinal_ex(pCtx, pOutData, &nOut) == 1,
                                  dir.ulFinalCode))
        return rv;
    EVP_CIPHER_CTX_free(pCtx);
    *pulOutLen = static_cast<unsigned int>(nOut);
    return 0;
}

}  // namespace

// ------------------------------------------------------------------ random --

unsigned int GenRand(unsigned int ulCount, unsigned char *pbRand, bool bAllowZero)
{
    static const char kOp[] = "GenRand";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRand", pbRand != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "RAND_bytes", RAND_bytes_ex(softcrypto::LibCtx(), pbRand, ulCount, 0) == 1,
                                  CRYPTO_ERR_RANDOM))
        return rv;
    if (!bAllowZero) {
        for (unsigned int i = 0; i < ulCount; ++i)
            if (pbRand[i] == 0)
                pbRand[i] = 1;
    }
    return 0;
}

// --------------------------------------------------------------------- RSA --

unsigned int RSA_PublicEncrypt(unsigned char *pbInData, unsigned int ulInLen, unsigned char *pbOutData,
                               unsigned int *pulOutLen, _QV_RSA_KEY_PAIR *pPublicKey)
{
    static const char kOp[] = "RSA_PublicEncrypt";
    CRsaCallEnd callEnd;
    if (pulOutLen != nullptr)
        *pulOutLen = 0;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pPublicKey", pPublicKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK indata", pbInData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK outdata", pbOutData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK outdatalen", pulOutLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    return RsaPublicOperation(kOp, pPublicKey, pbInData, ulInLen, pbOutData, pulOutLen, RSA_NO_PADDING);
}

unsigned int RSA_Encrypt(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned char *pPlainData, unsigned int ulPlainLen,
                         unsigned char *pEncryptedData, unsigned int *pEncryptedDataSize, int nPaddingType)
{
    static const char kOp[] = "RSA_Encrypt";
    CRsaCallEnd callEnd;
    if (pEncryptedDataSize != nullptr)
        *pEncryptedDataSize = 0;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRSAPubKey", pRSAPubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pPlainData", pPlainData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pEncryptedData", pEncryptedData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv =
            SC_STEP(kOp, "CHECK pEncryptedDataSize", pEncryptedDataSize != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK nPadingType", nPaddingType >= 0, ERROR_INVALID_PARAMETER))
        return rv;
    return RsaPublicOperation(kOp, pRSAPubKey, pPlainData, ulPlainLen, pEncryptedData, pEncryptedDataSize,
                              nPaddingType);
}

unsigned int RSA_GenKey(long nBits, _QV_RSA_KEY_PAIR *pRsaKey)
{
    static const char kOp[] = "RSA_GenKey";
    CRsaCallEnd callEnd;
    // The record holds 256-byte numbers: 2048 bits at most.
    bool bBitsOk = nBits >= 0 && nBits <= static_cast<long>(SC_RSA_MAX_BYTES * 8);
    if (unsigned int rv = SC_STEP(kOp, "CHECK nBits", bBitsOk, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRsaKey", pRsaKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    BIGNUM *pExp = BN_new();
    if (unsigned int rv = SC_STEP(kOp, "BN_new", pExp != nullptr && BN_set_word(pExp, RSA_F4) == 1, NTE_NO_MEMORY)) {
        BN_free(pExp);
        return rv;
    }
    RSA *pRsa = RSA_new();
    unsigned int rv = SC_STEP(kOp, "RSA_new", pRsa != nullptr, NTE_NO_MEMORY);
    if (rv == 0)
        rv = SC_STEP(kOp, "RSA_generate_key_ex", RSA_generate_key_ex(pRsa, static_cast<int>(nBits), pExp, nullptr) == 1,
                     NTE_NO_KEY);
    if (rv == 0) {
        const BIGNUM *pN = nullptr, *pE = nullptr, *pD = nullptr;
        RSA_get0_key(pRsa, &pN, &pE, &pD);
        WriteBn(pN, pRsaKey->N, &pRsaKey->NLen);
        WriteBn(pE, pRsaKey->E, &pRsaKey->ELen);
        WriteBn(pD, pRsaKey->D, &pRsaKey->DLen);
    }
    RSA_free(pRsa);  // clears the private numbers
    BN_free(pExp);
    return rv;
}

unsigned int RSA_Verify(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned int ulHashAlgID, unsigned char *pRawHashData,
                        unsigned char *pSignature, unsigned int ulSignatureLen)
{
    static const char kOp[] = "RSA_Verify";
    CRsaCallEnd callEnd;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRSAPubKey", pRSAPubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRawHashData", pRawHashData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSignature", pSignature != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    return RsaVerifyHash(kOp, pRSAPubKey, ulHashAlgID, pRawHashData, pSignature, ulSignatureLen);
}

unsigned int RSA_Verify(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned int ulHashAlgID, unsigned char *pRawData,
                        unsigned int ulRawDataLen, unsigned char *pSignature, unsigned int ulSignatureLen)
{
    static const char kOp[] = "RSA_Verify";
    CRsaCallEnd callEnd;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRSAPubKey", pRSAPubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRawData", pRawData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSignature", pSignature != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    unsigned char abHash[EVP_MAX_MD_SIZE] = {};
    unsigned int ulHashLen = sizeof(abHash);
    unsigned int rv = Hash_Digest(ulHashAlgID, pRawData, ulRawDataLen, abHash, &ulHashLen);
    if (rv == 0)
        rv = RsaVerifyHash(kOp, pRSAPubKey, ulHashAlgID, abHash, pSignature, ulSignatureLen);
    else
        SC_STEP(kOp, "Hash_Digest", false, rv);
    return rv;
}

// --------------------------------------------------------------------- SM2 --

unsigned int SM2_GenKey(_QV_SM2_KEY_PAIR *pSM2Key)
{
    static const char kOp[] = "SM2_GenKey";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSM2Key", pSM2Key != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    return SC_STEP(kOp, "_SM2_generate_keypair", _SM2_generate_keypair(pSM2Key->D, pSM2Key->X, pSM2Key->Y) == 1,
                   NTE_BAD_KEY);
}

unsigned int SM2_GetZVal(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pbZValue)
{
    static const char kOp[] = "SM2_GetZVal";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSM2PubKey", pSM2PubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pZValue", pbZValue != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    return SC_STEP(kOp, "_SM2_CalculateDefaultZValue",
                   _SM2_CalculateDefaultZValue(pSM2PubKey->X, pSM2PubKey->Y, pbZValue) == 1, NTE_FAIL);
}

unsigned int SM2_Verify(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pHashData, unsigned char *pRawSignatureRS,
                        unsigned int ulRawSignatureRSSize)
{
    static const char kOp[] = "SM2_Verify";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSM2PubKey", pSM2PubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pHashData", pHashData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRawSignatureRS", pRawSignatureRS != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK nRawSignatureRSSize", ulRawSignatureRSSize == 2 * SC_SM2_BYTES,
                                  ERROR_INVALID_PARAMETER))
        return rv;
    int nOk = _SM2_verify_ex(pRawSignatureRS, pRawSignatureRS + SC_SM2_BYTES, pSM2PubKey->X, pSM2PubKey->Y,
                             pHashData);
    return SC_STEP(kOp, "_SM2_verify_ex", nOk == 1, NTE_BAD_SIGNATURE);
}

unsigned int SM2_Verify(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pSourceData, unsigned int ulSourceDataLen,
                        unsigned char *pRawSignatureRS, unsigned int ulRawSignatureRSSize)
{
    static const char kOp[] = "SM2_Verify";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSourceData", pSourceData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pRawSignatureRS", pRawSignatureRS != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK nRawSignatureRSSize", ulRawSignatureRSSize == 2 * SC_SM2_BYTES,
                                  ERROR_INVALID_PARAMETER))
        return rv;
    unsigned char abZ[SC_SM2_BYTES] = {};
    if (unsigned int rv = SM2_GetZVal(pSM2PubKey, abZ))
        return rv;
    void *pCtx = nullptr;
    unsigned char abE[SC_SM2_BYTES] = {};
    unsigned int ulELen = 0;
    unsigned int rv = Hash_Init(&pCtx, SC_HASH_SM3);
    if (rv == 0 && (rv = Hash_Update(pCtx, abZ, sizeof(abZ))) == 0 &&
        (rv = Hash_Update(pCtx, pSourceData, ulSourceDataLen)) == 0)
        rv = Hash_Final(pCtx, abE, &ulELen);
    if (rv != 0) {
        // A context left by a failed step is not handed to anybody.
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(pCtx));
        return SC_STEP(kOp, "Hash_SM3", false, rv);
    }
    return SM2_Verify(pSM2PubKey, abE, pRawSignatureRS, ulRawSignatureRSSize);
}

unsigned int SM2_Encrypt(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pPlainData, unsigned int ulPlainLen,
                         unsigned char *pCipherData, unsigned int *pCipherLen)
{
    static const char kOp[] = "SM2_Encrypt";
    // C1 || C2 || C3 is 97 bytes longer than the plain text; a length whose
    // sum does not fit 32 bits cannot be reported.
    bool bLenOk = ulPlainLen <= 0xFFFFFFFFu - SM2_CIPHER_OVERHEAD;
    if (pCipherLen != nullptr)
        *pCipherLen = bLenOk ? ulPlainLen + SM2_CIPHER_OVERHEAD : 0;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pSM2PubKey", pSM2PubKey != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pPlainData", pPlainData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pCipherData", pCipherData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pCipherLen", pCipherLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK nPlainDataSize", bLenOk, ERROR_INVALID_PARAMETER))
        return rv;
    BIGNUM *pX = BN_new();
    BIGNUM *pY = BN_new();
    unsigned int rv = SC_STEP(kOp, "BN_new(X)", pX != nullptr, NTE_NO_MEMORY);
    if (rv == 0)
        rv = SC_STEP(kOp, "BN_new(Y)", pY != nullptr, NTE_NO_MEMORY);
    if (rv == 0)
        rv = SC_STEP(kOp, "_SM2_Bytes2BN(X)", _SM2_Bytes2BN(pSM2PubKey->X, SC_SM2_BYTES, pX) == 1, NTE_BAD_PUBLIC_KEY);
    if (rv == 0)
        rv = SC_STEP(kOp, "_SM2_Bytes2BN(Y)", _SM2_Bytes2BN(pSM2PubKey->Y, SC_SM2_BYTES, pY) == 1, NTE_BAD_PUBLIC_KEY);
    if (rv == 0)
        rv = SC_STEP(kOp, "_SM2_encrypt",
                     _SM2_encrypt(GM_CURVE_SM2, pPlainData, ulPlainLen, pX, pY, pCipherData) == 1,
                     CRYPTO_ERR_ENCRYPT);
    BN_free(pX);
    BN_free(pY);
    return rv;
}

// ---------------------------------------------------------- cipher choice --

const EVP_CIPHER *EVPSymEnc(unsigned int ulAlgID, unsigned int ulMode)
{
    using namespace softcrypto;
    if (ulAlgID == SC_ALG_RC4)
        return Cipher(CIPHER_RC4);
    if (ulAlgID == SC_ALG_SM4)
        return gm_EVP_sm4_cbc();
    int nBase;
    switch (ulAlgID) {
    case SC_ALG_DES: nBase = CIPHER_DES_ECB; break;
    case SC_ALG_3DES_2KEY: nBase = CIPHER_DES_EDE_ECB; break;
    case SC_ALG_3DES_3KEY: nBase = CIPHER_DES_EDE3_ECB; break;
    default: return nullptr;
    }
    switch (ulMode) {
    case SC_MODE_ECB: return Cipher(static_cast<FetchedCipher>(nBase));
    case SC_MODE_CBC: return Cipher(static_cast<FetchedCipher>(nBase + 1));
    case SC_MODE_OFB: return Cipher(static_cast<FetchedCipher>(nBase + 2));
    case SC_MODE_CFB: return Cipher(static_cast<FetchedCipher>(nBase + 3));
    default: return nullptr;
    }
}

// ----------------------------------------------------------------- digests --

unsigned int Hash_Init(void **ppHashCtx, unsigned int ulHashAlgID)
{
    static const char kOp[] = "Hash_Init";
    if (unsigned int rv = SC_STEP(kOp, "Check ppHashCtx", ppHashCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    EVP_MD_CTX *pCtx = EVP_MD_CTX_new();
    if (unsigned int rv = SC_STEP(kOp, "CHECK pEVPCtx", pCtx != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    const EVP_MD *pMd = DigestOf(ulHashAlgID);
    unsigned int rv = SC_STEP(kOp, "CHECK pEvpType", pMd != nullptr, ERROR_NOT_ENOUGH_MEMORY);
    if (rv == 0)
        rv = SC_STEP(kOp, "EVP_DigestInit_ex", EVP_DigestInit_ex(pCtx, pMd, nullptr) == 1, NTE_BAD_ALGID);
    if (rv != 0) {
        EVP_MD_CTX_free(pCtx);
        return rv;
    }
    *ppHashCtx = pCtx;
    return 0;
}

unsigned int Hash_Update(void *pHashCtx, const void *pData, unsigned int ulLen)
{
    static const char kOp[] = "Hash_Update";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pHashCtx", pHashCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pData", pData != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    return SC_STEP(kOp, "EVP_DigestUpdate",
                   EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(pHashCtx), pData, ulLen) == 1, ERROR_INVALID_PARAMETER);
}

unsigned int Hash_Final(void *pHashCtx, unsigned char *pDigest, unsigned int *pLen)
{
    static const char kOp[] = "Hash_Final";
    if (unsigned int rv = SC_STEP(kOp, "CHECK pHashCtx", pHashCtx != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pDigest", pDigest != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pLen", pLen != nullptr, ERROR_INVALID_PARAMETER))
        return rv;
    auto *pCtx = static_cast<EVP_MD_CTX *>(pHashCtx);
    unsigned int ulLen = 0;
    if (unsigned int rv = SC_STEP(kOp, "EVP_DigestFinal_ex", EVP_DigestFinal_ex(pCtx, pDigest, &ulLen) == 1,
                                  ERROR_INVALID_PARAMETER))
        return rv;
    EVP_MD_CTX_free(pCtx);
    *pLen = ulLen;
    return 0;
}

unsigned int Hash_Digest(unsigned int ulHashAlgID, const unsigned char *pData, unsigned int ulLen,
                         unsigned char *pDigest, unsigned int *pDigestLen)
{
    static const char kOp[] = "Hash_Digest";
    const EVP_MD *pMd = DigestOf(ulHashAlgID);
    if (unsigned int rv = SC_STEP(kOp, "CHECK pEvpType", pMd != nullptr, ERROR_NOT_ENOUGH_MEMORY))
        return rv;
    bool bArgsOk = (pData != nullptr || ulLen == 0) && pDigest != nullptr && pDigestLen != nullptr;
    if (unsigned int rv = SC_STEP(kOp, "CHECK pData", bArgsOk, ERROR_INVALID_PARAMETER))
        return rv;
    static const unsigned char kEmpty[1] = {0};
    unsigned int ulDigestLen = 0;
    if (unsigned int rv = SC_STEP(kOp, "EVP_Digest", EVP_Digest(pData ? pData : kEmpty, ulLen, pDigest, &ulDigestLen, pMd, nullptr) == 1,
                                  ERROR_INVALID_PARAMETER))
        return rv;
    *pDigestLen = ulDigestLen;
    return 0;
}

// ----------------------------------------------------------------- ciphers --

unsigned int SymEncryptInit(void **ppCipherCtx, unsigned int ulAlgID, unsigned int ulMode, unsigned char *pKey,
                            unsigned char *pIV)
{
    return SymInit(kEncrypt, ppCipherCtx, ulAlgID, ulMode, pKey, pIV);
}

unsigned int SymEncryptUpdate(void *pCipherCtx, unsigned char *pSourceData, unsigned int ulSourceLen,
                              unsigned char *pOutData, unsigned int *pulOutLen)
{
    return SymUpdate(kEncrypt, pCipherCtx, pSourceData, ulSourceLen, pOutData, pulOutLen);
}

unsigned int SymEncryptFinal(void *pCipherCtx, unsigned char *pOutData, unsigned int *pulOutLen)
{
    return SymFinal(kEncrypt, pCipherCtx, pOutData, pulOutLen);
}

unsigned int SymDecryptInit(void **ppCipherCtx, unsigned int ulAlgID, unsigned int ulMode, unsigned char *pKey,
                            unsigned char *pIV)
{
    return SymInit(kDecrypt, ppCipherCtx, ulAlgID, ulMode, pKey, pIV);
}

unsigned int SymDecryptUpdate(void *pCipherCtx, unsigned char *pSourceData, unsigned int ulSourceLen,
                              unsigned char *pOutData, unsigned int *pulOutLen)
{
    return SymUpdate(kDecrypt, pCipherCtx, pSourceData, ulSourceLen, pOutData, pulOutLen);
}

unsigned int SymDecryptFinal(void *pCipherCtx, unsigned char *pOutData, unsigned int *pulOutLen)
{
    return SymFinal(kDecrypt, pCipherCtx, pOutData, pulOutLen);
}
