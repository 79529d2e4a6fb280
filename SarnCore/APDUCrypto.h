/* CAPDUCrypto: the token's cryptographic commands: private-key operations
 * with stored keys (raw RSA, RSA and SM2 signatures of a digest or a whole
 * message, SM2 decryption, the administrator-key signature), SM2 with a key
 * the caller gives (encrypt, decrypt, sign a hash), the on-token symmetric
 * cipher and digest.  Commands on a stored key open their body with the key
 * prefix: authorisation code (16), application u16, key file u16.
 *
 * Output lengths (unsigned int*): room in when the output is given, length
 * out; an answer longer than the room fails with 259.  Outputs are written
 * only on success. */
#ifndef BRIO_SARNCORE_APDU_CRYPTO_H
#define BRIO_SARNCORE_APDU_CRYPTO_H

#include "SarnCore/APDU.h"

#define CRYPTO_DEFAULT_SM2_ID "1234567812345678"
#define CRYPTO_SYM_BLOCK_MAX 128u     /* bytes of one symmetric update */
#define CRYPTO_SM2_OVERHEAD 97u       /* C1 (65) and C3 (32) */
#define CRYPTO_EXT_PLAIN_MAX 128u
#define CRYPTO_EXT_CIPHER_MAX 224u
#define CRYPTO_EXT_ENCRYPT_OVERHEAD 104u  /* bit length, X, Y, C3, cipher length */
#define CRYPTO_FETCH_WAIT_MS 100u
#define CRYPTO_BUTTON_WAIT_MS 30000u  /* the confirmation prompt's countdown */

class CAPDUCrypto : public CAPDU {
public:
    CAPDUCrypto(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUCrypto();

    unsigned int RSAPriKeyRaw(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                              unsigned char byAlgID, unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                              unsigned int *pulOutLen);
    unsigned int RSASignDisp(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                             unsigned char byAlgID, unsigned char byHashAlgID, unsigned char *pbMsg,
                             unsigned int ulMsgLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int SM2SignDigest(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                               unsigned char *pbDigest, unsigned int ulDigestLen, unsigned char *pbOut,
                               unsigned int *pulOutLen);
    unsigned int SM2SignDisp(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                             unsigned char *pbMsg, unsigned int ulMsgLen, unsigned char *pbOut,
                             unsigned int *pulOutLen);
    /* Ciphertext C1 || C2 || C3 of 98 to 300 bytes; 260 otherwise. */
    unsigned int SM2Decrypt(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                            unsigned char *pbCipher, unsigned int ulCipherLen, unsigned char *pbOut,
                            unsigned int *pulOutLen);
    unsigned int SignWithAdminKey(unsigned char *pbAuthCode, unsigned char byAlgID, unsigned char *pbData,
                                  unsigned int ulLen, unsigned char *pbOut, unsigned int *pulOutLen);
    /* Answer: bit length u32, X, Y, C3, cipher length u32, C2: 104 + the
     * plaintext length for a 256-bit key. */
    unsigned int ExtSM2Encrypt(unsigned char *pbPubKey, unsigned int ulPubKeyLen, unsigned char *pbPlain,
                               unsigned int ulPlainLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int ExtSM2Decrypt(unsigned char *pbPriKey, unsigned int ulPriKeyLen, unsigned char *pbCipher,
                               unsigned int ulCipherLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int ExtSM2SignHash(unsigned char *pbPriKey, unsigned int ulPriKeyLen, unsigned char *pbHash,
                                unsigned int ulHashLen, unsigned char *pbOut, unsigned int *pulOutLen);
    /* byDirection 1 encrypts, any other value decrypts. */
    unsigned int SymEncryptInit(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                unsigned short usKeySpec, unsigned char *pbIV, unsigned int ulIVLen);
    unsigned int SymEncryptUpdate(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                  unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                  unsigned int *pulOutLen);
    unsigned int SymEncryptFinal(unsigned char byDirection, unsigned short usAppID, unsigned short usKeyID,
                                 unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen);
    unsigned int HashInit(unsigned char byHashAlgID);
    unsigned int HashUpdate(unsigned char *pbData, unsigned int ulLen);
    unsigned int HashFinal(unsigned char *pbOut, unsigned int *pulOutLen);

protected:
    /* How long a message signature's fetch repeats while the token waits
     * for its button (0x8000F321) before it gives up with 0x8010000A. */
    unsigned int m_ulButtonWaitMs;

private:
    /* The four phases of a message signature under one INS: start with its
     * body, the message in chunks, finish, and the fetch of exactly ulSigLen
     * bytes (0: an unknown key algorithm, 276 before the fetch), repeated
     * while the token waits for its button, for at most m_ulButtonWaitMs. */
    unsigned int SignDisp(const char *szOperation, unsigned char byINS, const unsigned char *pbPrefix,
                          const CApduBody &start, const unsigned char *pbMsg, unsigned int ulMsgLen,
                          unsigned int ulSigLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int SymCommand(const char *szOperation, unsigned char byINS, unsigned short usAppID,
                            unsigned short usKeyID, const unsigned char *pbIn, unsigned int ulInLen,
                            unsigned char *pbOut, unsigned int *pulOutLen);
};

#endif
