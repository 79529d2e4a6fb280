/* CSymKeyHandle: the system's symmetric cipher handle.  It holds a key,
 * starts an encryption or a decryption and feeds data through update and
 * final steps, in software through the cipher calls of SoftCrypto.h.  A
 * derived class (the on-token handle) keeps the interface and does the work
 * on the token; it may keep its own reference in m_pCipherCtx and must empty
 * it before this destructor runs.
 *
 * Algorithms (key bytes taken = unit length): 2 DES 8, 3 two-key 3DES 16,
 * 4 three-key 3DES 24, 8 RC4 16, 19 SM4 16.  Modes: 1 ECB, 2 CBC, 4 OFB,
 * 8 CFB.  Directions: 1 encrypt, 2 decrypt.
 *
 * Output buffers of Encrypt (instance and static) and of the static Decrypt:
 * *pulOutLen holds the capacity on entry; out null is a size query (0 and
 * the needed size); too small: 259 with the needed size. */
#ifndef BRIO_SOFTCRYPTO_SYM_KEY_HANDLE_H
#define BRIO_SOFTCRYPTO_SYM_KEY_HANDLE_H

#include "SoftCrypto/SoftCryptoCodes.h"

#define SYM_CRYPT_ENCRYPT 1u
#define SYM_CRYPT_DECRYPT 2u

class CSymKeyHandle {
public:
    CSymKeyHandle();
    virtual ~CSymKeyHandle();
    CSymKeyHandle(const CSymKeyHandle &) = delete;
    CSymKeyHandle &operator=(const CSymKeyHandle &) = delete;

    /* Copies the algorithm's key length from pbKey; ulKeyLen must be at least
     * that (260 otherwise); unknown algorithm: 276. */
    virtual unsigned int SetKey(unsigned short usAlgID, unsigned char *pbKey, unsigned int ulKeyLen);
    /* Starts a direction (1 or 2); ulPadding 1 = PKCS#7, 0 = none. */
    virtual unsigned int Init(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                              unsigned char *pbIV, unsigned int ulPadding);
    /* One-shot Update and Final in the direction of the last Init.  The
     * bytes an earlier Update left held back count with the input: for
     * t = held + inLen the needed size is, with encryption and padding,
     * unit * (t / unit + 1), otherwise t, which must then be a multiple of
     * the unit (260).  The unit is LengthUnit().  Nothing is written past
     * the room given. */
    virtual unsigned int Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen);
    /* Held bytes and inLen beyond 32 bits: 260, nothing taken. */
    virtual unsigned int Update(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                unsigned int *pulOutLen);
    virtual unsigned int Final(unsigned char *pbOut, unsigned int *pulOutLen);

    /* Input bytes an Update took but has not output yet. */
    unsigned int HeldLength() const { return m_ulHeldLen; }

    /* New handle with SetKey (algID, pbKey, 16) and Init (..., padding 1):
     * the key must hold 16 bytes, so three-key 3DES is refused (260). */
    static unsigned int Initialize(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode,
                                   unsigned char *pbKey, unsigned char *pbIV, void **phKeyHandle);
    /* Deletes a non-null handle and nulls the pointer. */
    static void Release(CSymKeyHandle *&pHandle);
    /* One-shot encryption with PKCS#7 padding (ECB and CBC: inLen rounded up
     * to the next whole block, a full block more when inLen is a multiple;
     * RC4, OFB, CFB: inLen).  inLen at most 0xA00000 - 16. */
    static unsigned int Encrypt(unsigned char byAlgID, unsigned char byMode, unsigned char *pbKey,
                                unsigned char *pbIV, unsigned char *pbIn, unsigned int ulInLen,
                                unsigned char *pbOut, unsigned int *pulOutLen);
    /* One-shot decryption removing the PKCS#7 padding (bad padding: 6001);
     * inLen 1 to 0xA00000. */
    static unsigned int Decrypt(unsigned char byAlgID, unsigned char byMode, unsigned char *pbKey,
                                unsigned char *pbIV, unsigned char *pbIn, unsigned int ulInLen,
                                unsigned char *pbOut, unsigned int *pulOutLen);

protected:
    /* The unit of Encrypt's length rules: the key length here (24 for
     * three-key 3DES); a derived handle may measure in cipher blocks. */
    virtual unsigned int LengthUnit() const { return m_ulUnitLen; }
    void ReleaseCipherContext();
    void ReleaseKey();

    void *m_pCipherCtx;          /* cipher context between Init and a successful Final */
    unsigned char m_bEncrypt;    /* 1 after an encryption start, 0 after a decryption start */
    unsigned int m_ulUnitLen;    /* key length; the unit of Encrypt's length rules */
    unsigned int m_ulPadding;    /* padding flag of the last Init */
    unsigned char *m_pbSymmKey;  /* m_ulUnitLen bytes, wiped when freed */
    unsigned int m_ulHeldLen;    /* input bytes held back between Update and Final (not yet output) */
};

#endif
