/* CAPDUKey: the token's key and certificate commands: random numbers,
 * on-token RSA and SM2 key pairs, imports of key pairs and symmetric keys,
 * public-key export, session-key export, the three steps of SM2 key
 * agreement, and certificate storage.  Commands on a stored key that change
 * the token carry the PIN authorisation code (16 bytes) first.
 *
 * Compact public key (agreement commands): bit length u32, X, Y of bit
 * length / 8 bytes each; its length must be exactly that.
 *
 * Output lengths (unsigned int*): room in when the output is given, length
 * out; an answer longer than the room fails with 259.  Outputs are written
 * only on success. */
#ifndef BRIO_SARNCORE_APDU_KEY_H
#define BRIO_SARNCORE_APDU_KEY_H

#include "SarnCore/APDU.h"

/* Symmetric key specs: (cipher << 8) | mode. */
#define SYM_SPEC_SM1_ECB 0x1001u
#define SYM_SPEC_SM1_CBC 0x1002u
#define SYM_SPEC_SM4_ECB 0x1301u
#define SYM_SPEC_SM4_CBC 0x1302u

#define KEY_SESSION_EXPORT_LEN 122u
#define KEY_AGREEMENT_LEN 72u
#define KEY_RSA_MATERIAL_1024 512u
#define KEY_RSA_MATERIAL_2048 768u

class CAPDUKey : public CAPDU {
public:
    CAPDUKey(CDeviceInfo *pDeviceInfo, unsigned int ulTimeout);
    virtual ~CAPDUKey();

    /* Exactly byCount bytes or a failure. */
    unsigned int GenRandom(unsigned char byCount, unsigned char *pbOut);
    unsigned int GenRsaKeyPair(unsigned char byAlgID, unsigned char *pbAuthCode, unsigned short usAppID,
                               unsigned short usKeyFID, unsigned int ulExponent);
    unsigned int GenSm2KeyPair(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID);
    /* Key material of 768 bytes (code 7) or 512 (otherwise) in 256-byte
     * chunks, then the closing command with bEncrypted in P2.  A shorter
     * material is sent zero-filled; a longer one is refused (260). */
    unsigned int ImportRsaKeyPair(unsigned char byAlgID, unsigned char *pbAuthCode, unsigned short usAppID,
                                  unsigned short usKeyFID, unsigned char *pbKey, unsigned int ulKeyLen,
                                  bool bEncrypted);
    unsigned int ImportSm2KeyPair(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                  unsigned char *pbKey, unsigned int ulKeyLen);
    unsigned int ImportEncSymKey(unsigned char *pbAuthCode, unsigned short usAppID, unsigned short usKeyFID,
                                 unsigned char *pbKey, unsigned int ulKeyLen);
    unsigned int ImportSymKey(unsigned short usAppID, unsigned short usKeyID, unsigned short usKeySpec,
                              unsigned char *pbKey, unsigned int ulKeyLen);
    /* pKeyRecord: a _QV_RSA_KEY_PAIR for codes 1 and 7, a _QV_SM2_KEY_PAIR
     * for 17. */
    unsigned int ExportPublicKey(unsigned short usAppID, unsigned short usKeyFID, unsigned char byAlgID,
                                 void *pKeyRecord);
    /* pbPubKey: X then Y. */
    unsigned int ExportSessionKey(unsigned short usAppID, unsigned short usKeySpec, unsigned char *pbPubKey,
                                  unsigned int ulPubKeyLen, unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int GenerateAgreementDataWithECC(unsigned short usAppID, unsigned short usKeyFID,
                                              unsigned short usKeySpec, unsigned char *pbID, unsigned int ulIDLen,
                                              unsigned char *pbOut, unsigned int *pulOutLen);
    unsigned int GenerateAgreementDataAndKeyWithECC(unsigned short usAppID, unsigned short usKeyFID,
                                                    unsigned short usKeySpec, unsigned char *pbSponsorKey,
                                                    unsigned int ulSponsorKeyLen, unsigned char *pbSponsorTempKey,
                                                    unsigned int ulSponsorTempKeyLen, unsigned char *pbFirstID,
                                                    unsigned int ulFirstIDLen, unsigned char *pbSecondID,
                                                    unsigned int ulSecondIDLen, unsigned char *pbOut,
                                                    unsigned int *pulOutLen);
    unsigned int GenerateKeyWithECC(unsigned short usAppID, unsigned short usKeyFID, unsigned int ulParameter,
                                    unsigned char *pbPeerKey, unsigned int ulPeerKeyLen, unsigned char *pbPeerTempKey,
                                    unsigned int ulPeerTempKeyLen, unsigned char *pbID, unsigned int ulIDLen,
                                    unsigned int *pulKeyID);
    unsigned int WriteCert(unsigned char byFlags, unsigned char *pbAuthCode, unsigned short usAppID,
                           unsigned short usCertFID, unsigned short usOffset, unsigned char *pbData,
                           unsigned int ulLen);
    /* *pulLen: bytes wanted (Le and room) in, bytes answered out. */
    unsigned int ReadCert(unsigned short usAppID, unsigned short usCertFID, unsigned short usOffset,
                          unsigned char *pbOut, unsigned int *pulLen);
    unsigned int ReadCertSHA1(unsigned short usAppID, unsigned short usCertFID, unsigned char *pbOut);
};

/* Checks a compact public key: at least its bit-length field, and exactly
 * 4 + 2 * (bit length / 8) bytes; 260 otherwise. */
unsigned int CheckCompactKey(const char *szOperation, const char *szStep, const unsigned char *pbKey,
                             unsigned int ulLen);

#endif
