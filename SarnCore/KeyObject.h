/* On-token key objects: one asymmetric key pair kept in a key file on the
 * token.  Private-key operations (sign, decrypt) run on the token under the
 * connection's PIN authorisation code; public-key operations (encrypt,
 * verify) read the public key from the token and compute in software.
 *
 * CAsymKeyObject holds the common state and the four entry points with
 * their checks; CSM2DevObj and CRSADevObj do the algorithm work in their
 * slots.  The device operator's NewAsymKey makes them; the caller deletes
 * them. */
#ifndef BRIO_SARNCORE_KEY_OBJECT_H
#define BRIO_SARNCORE_KEY_OBJECT_H

#include "SarnCore/DeviceOperator.h"

#define SM2_CIPHER_OVERHEAD 97u  /* C1 (65) and C3 (32) */
#define SM2_SIGNATURE_LEN 64u
#define SM2_DIGEST_LEN 32u

/* Operations of GetOutlen. */
#define ASYM_OP_ENCRYPT 1u
#define ASYM_OP_DECRYPT 2u
#define ASYM_OP_SIGN    4u
#define ASYM_OP_VERIFY  8u

/* Modes of PrikeySign: 1 the token hashes the data; others sign a digest. */
#define ASYM_SIGN_DISP 1u

/* The k-byte PKCS #1 v1.5 signature block of data: 00 01, FF bytes, 00,
 * the data, which leave at least eight FF bytes (at most k - 11 bytes of
 * data).  False, with nothing written, when the data do not fit. */
bool RsaSignatureBlock(const unsigned char *pbData, unsigned int ulLen, unsigned int k, unsigned char *pbBlock);

class CAsymKeyObject {
public:
    CAsymKeyObject();
    virtual ~CAsymKeyObject();
    CAsymKeyObject(const CAsymKeyObject &) = delete;
    CAsymKeyObject &operator=(const CAsymKeyObject &) = delete;

    virtual void *SetDeviceContext(void *pDevCtx);
    virtual void *GetDeviceContext();
    virtual unsigned short SetKeyFID(unsigned short usKeyFID);
    virtual unsigned short GetKeyFID();
    virtual unsigned char GetAlgID();
    virtual unsigned char SetAlgID(unsigned char byAlgID);
    virtual unsigned int GetOutlen(unsigned char byOperation, unsigned int nInlen);
    virtual unsigned int Decrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int SignDisp(unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutlen);
    virtual unsigned int SignDigest(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                    unsigned int *pnOutlen);
    virtual unsigned int Encrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int Verify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                                unsigned char *pbySign, unsigned int nSignlen);

    unsigned int PubkeyEnc(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                           unsigned int *pbyOutLen);
    unsigned int PubkeyVerify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                              unsigned char *pbySign, unsigned int nSignlen);
    unsigned int PrikeySign(unsigned int nMode, unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                            unsigned char *pbyOutbuf, unsigned int *pbyOutLen);
    unsigned int PrikeyDec(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                           unsigned int *pnOutlen);

protected:
    /* A crypto command on the stored key: authorisation code, application,
     * key file, input, output. */
    typedef unsigned int (CAPDUCrypto::*StoredKeyCommand)(unsigned char *, unsigned short, unsigned short,
                                                          unsigned char *, unsigned int, unsigned char *,
                                                          unsigned int *);

    CDeviceContext *Context() const { return static_cast<CDeviceContext *>(m_pDevCtx); }
    unsigned int RunStoredKey(const char *pszOperation, const char *pszStep, StoredKeyCommand pfnCommand,
                              unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                              unsigned int *pnOutlen);
    /* The public key of the key file into a zeroed key record of its kind. */
    unsigned int ExportKey(const char *pszOperation, void *pKeyRecord);

    void *m_pDevCtx;
    unsigned short m_usKeyFID;
    unsigned char m_byAlgID;
};

class CSM2DevObj : public CAsymKeyObject {
public:
    virtual unsigned char SetAlgID(unsigned char byAlgID);
    virtual unsigned int GetOutlen(unsigned char byOperation, unsigned int nInlen);
    virtual unsigned int Decrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int SignDisp(unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutlen);
    virtual unsigned int SignDigest(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                    unsigned int *pnOutlen);
    virtual unsigned int Encrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int Verify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                                unsigned char *pbySign, unsigned int nSignlen);
};

class CRSADevObj : public CAsymKeyObject {
public:
    CRSADevObj();

    virtual unsigned char SetAlgID(unsigned char byAlgID);
    virtual unsigned int GetOutlen(unsigned char byOperation, unsigned int nInlen);
    virtual unsigned int Decrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int SignDisp(unsigned char byHashID, unsigned char *pbyInbuf, unsigned int nInlen,
                                  unsigned char *pbyOutbuf, unsigned int *pnOutlen);
    virtual unsigned int SignDigest(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                    unsigned int *pnOutlen);
    virtual unsigned int Encrypt(unsigned char *pbyInbuf, unsigned int nInlen, unsigned char *pbyOutbuf,
                                 unsigned int *pnOutlen);
    virtual unsigned int Verify(unsigned char byHashID, unsigned char *pbyHash, unsigned int nHashlen,
                                unsigned char *pbySign, unsigned int nSignlen);

protected:
    unsigned int m_ulModulusLen;  /* 128 or 256 bytes */
};

#endif
