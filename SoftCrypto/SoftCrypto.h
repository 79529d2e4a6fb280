/* The software cryptography layer: random bytes, RSA, SM2, digests and the
 * DES, triple-DES, RC4 and SM4 ciphers behind the system's own algorithm
 * identifiers, key records and result codes (SoftCryptoCodes.h).
 *
 * The calls are C++ functions (two RSA_Verify and two SM2_Verify stand side
 * by side as overloads) and are exported from libbrioskf-enterprise.
 *
 * Digest and cipher contexts are handed out as void*: an init call creates
 * one, a successful final call frees it; a failed final call keeps it.
 *
 * DES, triple DES, RC4, MD5 and the SHA digests come from a library context
 * of this layer's own (default and legacy providers); the host process's
 * default OpenSSL context is never given a provider.  When the legacy
 * provider cannot be loaded, DES and RC4 are refused like an unknown cipher
 * (0x80090020) and everything else keeps working.  SM3 and SM4 are the GM
 * layer's own implementations. */
#ifndef BRIO_SOFTCRYPTO_SOFTCRYPTO_H
#define BRIO_SOFTCRYPTO_SOFTCRYPTO_H

#include <stdint.h>

#include <openssl/evp.h>

#include "SoftCrypto/SoftCryptoCodes.h"

/* Hash identifiers; digest lengths 16, 20, 32, 64, 36 and 32 bytes. */
#define SC_HASH_MD5       10u
#define SC_HASH_SHA1      11u
#define SC_HASH_SHA256    12u
#define SC_HASH_SHA512    13u
#define SC_HASH_SHA1_MD5  14u  /* RSA verification: MD5 || SHA-1 as given; hash object: SHA-1 || MD5 */
#define SC_HASH_SM3       18u

/* Cipher identifiers. */
#define SC_ALG_DES        2u
#define SC_ALG_3DES_2KEY  3u   /* two-key triple DES (EDE), 16-byte key */
#define SC_ALG_3DES_3KEY  4u   /* three-key triple DES (EDE3), 24-byte key */
#define SC_ALG_RC4        8u
#define SC_ALG_SM1        16u  /* on the token only */
#define SC_ALG_SM4        19u

/* Cipher modes (RC4 and SM4 ignore the mode; SM4 is always CBC). */
#define SC_MODE_ECB       1u
#define SC_MODE_CBC       2u
#define SC_MODE_OFB       4u
#define SC_MODE_CFB       8u   /* 64-bit feedback */

#define SC_RSA_MAX_BYTES  256u /* 2048-bit keys */
#define SC_SM2_BYTES      32u

/* RSA key record.  Each number big-endian from the start of its array,
 * without leading zeros; its length gives the significant bytes (1 to 256).
 * Encryption and verification read only N and E. */
typedef struct _QV_RSA_KEY_PAIR {
    unsigned char N[SC_RSA_MAX_BYTES];
    uint32_t NLen;
    unsigned char E[SC_RSA_MAX_BYTES];
    uint32_t ELen;
    unsigned char D[SC_RSA_MAX_BYTES];
    uint32_t DLen;
} _QV_RSA_KEY_PAIR;

/* SM2 key record: 32-byte big-endian right-aligned values.  The public-key
 * calls read X and Y only. */
typedef struct _QV_SM2_KEY_PAIR {
    unsigned char X[SC_SM2_BYTES];
    unsigned char Y[SC_SM2_BYTES];
    unsigned char D[SC_SM2_BYTES];
} _QV_SM2_KEY_PAIR;

/* Random: count bytes into pbRand; unless bAllowZero, every 0x00 becomes 0x01. */
unsigned int GenRand(unsigned int ulCount, unsigned char *pbRand, bool bAllowZero);

/* RSA.  Outputs must hold the modulus length. */
/* Raw public-key operation without padding (inLen must equal the modulus length). */
unsigned int RSA_PublicEncrypt(unsigned char *pbInData, unsigned int ulInLen, unsigned char *pbOutData,
                               unsigned int *pulOutLen, _QV_RSA_KEY_PAIR *pPublicKey);
/* Public-key operation with OpenSSL's padding code (1 PKCS#1 v1.5, 3 none). */
unsigned int RSA_Encrypt(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned char *pPlainData, unsigned int ulPlainLen,
                         unsigned char *pEncryptedData, unsigned int *pEncryptedDataSize, int nPaddingType);
/* Key generation, public exponent 65537, at most 2048 bits. */
unsigned int RSA_GenKey(long nBits, _QV_RSA_KEY_PAIR *pRsaKey);
/* PKCS#1 v1.5 verification of a precomputed hash (length from the id:
 * 10: 16, 11: 20, 12: 32, 13: 64, 14: 36 bytes MD5 || SHA-1 without DigestInfo). */
unsigned int RSA_Verify(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned int ulHashAlgID, unsigned char *pRawHashData,
                        unsigned char *pSignature, unsigned int ulSignatureLen);
/* The same over data, hashed with Hash_Digest (ids 10 to 13). */
unsigned int RSA_Verify(_QV_RSA_KEY_PAIR *pRSAPubKey, unsigned int ulHashAlgID, unsigned char *pRawData,
                        unsigned int ulRawDataLen, unsigned char *pSignature, unsigned int ulSignatureLen);

/* SM2 on the SM2 recommended curve. */
unsigned int SM2_GenKey(_QV_SM2_KEY_PAIR *pSM2Key);
/* Z value (32 bytes) of X, Y with the default identity "1234567812345678". */
unsigned int SM2_GetZVal(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pbZValue);
/* Verification of a 32-byte hash e; the signature is r || s, 64 bytes. */
unsigned int SM2_Verify(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pHashData, unsigned char *pRawSignatureRS,
                        unsigned int ulRawSignatureRSSize);
/* Verification over data: e = SM3(Z || data). */
unsigned int SM2_Verify(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pSourceData, unsigned int ulSourceDataLen,
                        unsigned char *pRawSignatureRS, unsigned int ulRawSignatureRSSize);
/* Encryption: C1 || C2 || C3, inLen + 97 bytes, which pCipherData must hold;
 * *pCipherLen = inLen + 97 on every return where it is given. */
unsigned int SM2_Encrypt(_QV_SM2_KEY_PAIR *pSM2PubKey, unsigned char *pPlainData, unsigned int ulPlainLen,
                         unsigned char *pCipherData, unsigned int *pCipherLen);

/* The cipher for an algorithm and mode, or null. */
const EVP_CIPHER *EVPSymEnc(unsigned int ulAlgID, unsigned int ulMode);

/* Digests (ids 10, 11, 12, 13, 18).  Hash_Final writes the digest size
 * (at most 64 bytes) and sets *pLen to it. */
unsigned int Hash_Init(void **ppHashCtx, unsigned int ulHashAlgID);
unsigned int Hash_Update(void *pHashCtx, const void *pData, unsigned int ulLen);
unsigned int Hash_Final(void *pHashCtx, unsigned char *pDigest, unsigned int *pLen);
unsigned int Hash_Digest(unsigned int ulHashAlgID, const unsigned char *pData, unsigned int ulLen,
                         unsigned char *pDigest, unsigned int *pDigestLen);

/* Ciphers with OpenSSL's default PKCS#7 padding in ECB and CBC modes
 * (EVP_CIPHER_CTX_set_padding on the context turns it off); RC4, OFB and CFB
 * work byte by byte.  The key and IV are read for the cipher's key and IV
 * lengths; a null IV leaves it zero.  Update outputs must hold inLen plus one
 * block, final outputs one block. */
unsigned int SymEncryptInit(void **ppCipherCtx, unsigned int ulAlgID, unsigned int ulMode, unsigned char *pKey,
                            unsigned char *pIV);
unsigned int SymEncryptUpdate(void *pCipherCtx, unsigned char *pSourceData, unsigned int ulSourceLen,
                              unsigned char *pOutData, unsigned int *pulOutLen);
unsigned int SymEncryptFinal(void *pCipherCtx, unsigned char *pOutData, unsigned int *pulOutLen);
unsigned int SymDecryptInit(void **ppCipherCtx, unsigned int ulAlgID, unsigned int ulMode, unsigned char *pKey,
                            unsigned char *pIV);
unsigned int SymDecryptUpdate(void *pCipherCtx, unsigned char *pSourceData, unsigned int ulSourceLen,
                              unsigned char *pOutData, unsigned int *pulOutLen);
unsigned int SymDecryptFinal(void *pCipherCtx, unsigned char *pOutData, unsigned int *pulOutLen);

#endif
