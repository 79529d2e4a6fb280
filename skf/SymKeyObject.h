/* Key handle objects: what an SKF key, hash, MAC or agreement HANDLE points
 * to.  CKeyObject declares every operation the SKF cipher, digest and MAC
 * functions can ask of a handle; each kind answers what it supports and
 * leaves the rest to the base, which refuses with SAR_NOTSUPPORTYETERR.
 *
 *   CSymKeyObject    a symmetric key: SM1 and SM4 on the token (CGMSymKeyHandle),
 *                    three-key 3DES in software (CSymKeyHandle)
 *   CMacKeyObject    a MAC over such a key: the last CBC block, no padding
 *   CDigestObject    a hash (CHashObject): SHA-1, SHA-256, SM3
 *   CAgreementObject a pending SM2 key agreement, finished on the token
 *
 * The SKF caller owns each object until SKF_CloseHandle deletes it.  A
 * destructor never touches the device context: a handle may be closed after
 * its device was disconnected.
 *
 * A key's cipher handle is shared with the MAC objects made from it: the
 * last of them to close destroys it, so they may be closed in any order.
 * They share one cipher state too: a cipher run belongs to the object that
 * started it (EncInit, MacInit), and an object whose run another one
 * replaced answers SAR_NOTINITIALIZEERR until it starts again.
 *
 * On the token one key slot and one cipher state serve every handle of
 * every process (see CGMSymKeyHandle): a key whose bytes the host gave is
 * loaded again when another key took the slot; a key only the token held
 * (SetSymmKey without key bytes) answers SAR_KEYNOTFOUNTERR once another
 * key took its place.  The operations on a token cipher take the device
 * mutex themselves (it is recursive, so the SKF frame may hold it). */
#ifndef BRIO_SKF_SYM_KEY_OBJECT_H
#define BRIO_SKF_SYM_KEY_OBJECT_H

#include <memory>

#include "skf/skf.h"

class CDeviceContext;
class CSymKeyHandle;
class CHashObject;
class CKeyObjectLock;

/* A cipher handle and the number of the last cipher run started on it. */
struct CSymKeyCipher {
    CSymKeyHandle *pHandle = nullptr;  /* owned */
    bool bToken = false;               /* on the token (CGMSymKeyHandle) */
    unsigned int ulRun = 0;
    ~CSymKeyCipher();
};

class CKeyObject {
public:
    explicit CKeyObject(CDeviceContext *pDeviceContext);
    virtual ~CKeyObject();
    CKeyObject(const CKeyObject &) = delete;
    CKeyObject &operator=(const CKeyObject &) = delete;

    virtual unsigned int DigestUpdate(unsigned char *pbData, unsigned int ulDataLen);
    virtual unsigned int DigestFinal(unsigned char *pbHash, unsigned int *pulHashLen);
    virtual unsigned int Digest(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbHash,
                                unsigned int *pulHashLen);
    virtual unsigned int EncInit(bool bEncrypt, Struct_BLOCKCIPHERPARAM *pParam);
    virtual unsigned int EncUpdate(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                   unsigned int *pulOutLen);
    virtual unsigned int EncFinal(unsigned char *pbOut, unsigned int *pulOutLen);
    virtual unsigned int Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                                 unsigned int *pulOutLen);
    virtual unsigned int MacInit(Struct_BLOCKCIPHERPARAM *pParam, void **phMac);
    virtual unsigned int MacUpdate(unsigned char *pbData, unsigned int ulDataLen);
    virtual unsigned int MacFinal(unsigned char *pbMac, unsigned int *pulMacLen);
    virtual unsigned int Mac(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbMac,
                             unsigned int *pulMacLen);
    virtual unsigned int GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *pPeerPubKey,
                                            Struct_ECCPUBLICKEYBLOB *pPeerTempPubKey, unsigned char *pbID,
                                            unsigned int ulIDLen, void **phKey);

    CDeviceContext *GetDeviceContext() const { return m_pDeviceContext; }

protected:
    CDeviceContext *m_pDeviceContext;  /* the connection's; not owned */
    unsigned int m_ulAlgID;            /* internal cipher number, or the SGD id to agree */
};

class CSymKeyObject : public CKeyObject {
public:
    explicit CSymKeyObject(CDeviceContext *pDeviceContext);
    ~CSymKeyObject() override;

    /* Binds a cipher handle for an SGD identifier; pbKey null: the key is
     * already on the token (imported, exported or agreed session keys). */
    unsigned int SetSymmKey(unsigned int ulAlgID, unsigned char *pbKey);

    unsigned int EncInit(bool bEncrypt, Struct_BLOCKCIPHERPARAM *pParam) override;
    unsigned int EncUpdate(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                           unsigned int *pulOutLen) override;
    unsigned int EncFinal(unsigned char *pbOut, unsigned int *pulOutLen) override;
    unsigned int Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                         unsigned int *pulOutLen) override;
    unsigned int MacInit(Struct_BLOCKCIPHERPARAM *pParam, void **phMac) override;
    /* A key handle is no MAC handle: SAR_INVALIDHANDLEERR. */
    unsigned int MacUpdate(unsigned char *pbData, unsigned int ulDataLen) override;
    unsigned int MacFinal(unsigned char *pbMac, unsigned int *pulMacLen) override;
    unsigned int Mac(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbMac,
                     unsigned int *pulMacLen) override;

protected:
    bool TokenCipher() const { return m_pKeyHandle != nullptr && m_pKeyHandle->bToken; }
    /* Whether this object may go on with its cipher run, under the lock
     * taken for it: SAR_INVALIDPARAMERR without an output length,
     * SAR_INVALIDHANDLEERR without a cipher, the lock's code, or
     * SAR_NOTINITIALIZEERR when no run of this object is under way. */
    unsigned int CheckRun(const char *pszOperation, const CKeyObjectLock &lock, bool bOutLenGiven) const;
    /* The one-shot decryption: nothing reaches the caller unless it all
     * succeeded (up to BRIO_MAX_BUFFER_SIZE bytes of plain text). */
    unsigned int DecryptWhole(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                              unsigned int *pulOutLen);

    std::shared_ptr<CSymKeyCipher> m_pKeyHandle;  /* the cipher handle, shared with the MAC objects */
    unsigned int m_ulMode;                        /* 1 ECB, 2 CBC */
    unsigned int m_ulBlockLen;                    /* 16, or 8 for the software triple DES */
    unsigned int m_ulPadding;                     /* padding type of the last EncInit */
    bool m_bEncrypt;                              /* direction of the last EncInit */
    unsigned int m_ulRun;                         /* the run this object started; 0: none */
};

class CMacKeyObject : public CSymKeyObject {
public:
    explicit CMacKeyObject(CDeviceContext *pDeviceContext);
    ~CMacKeyObject() override;

    unsigned int MacUpdate(unsigned char *pbData, unsigned int ulDataLen) override;
    unsigned int MacFinal(unsigned char *pbMac, unsigned int *pulMacLen) override;
    unsigned int Mac(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbMac,
                     unsigned int *pulMacLen) override;
    /* A MAC handle is no key handle: SAR_INVALIDHANDLEERR.  The MAC runs its
     * cipher through CSymKeyObject's own operations. */
    unsigned int EncInit(bool bEncrypt, Struct_BLOCKCIPHERPARAM *pParam) override;
    unsigned int EncUpdate(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                           unsigned int *pulOutLen) override;
    unsigned int EncFinal(unsigned char *pbOut, unsigned int *pulOutLen) override;
    unsigned int Encrypt(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                         unsigned int *pulOutLen) override;
    unsigned int MacInit(Struct_BLOCKCIPHERPARAM *pParam, void **phMac) override;

protected:
    /* The MAC's output: *pulMacLen becomes the block length; a room below
     * it is refused; no output (bSizeOnly) is a size query. */
    unsigned int CheckMacRoom(const char *pszOperation, const unsigned char *pbMac, unsigned int *pulMacLen,
                              bool &bSizeOnly) const;

    unsigned int m_ulHeldLen;       /* bytes held back */
    unsigned char m_pbHeld[32];     /* the last block given */
};

class CDigestObject : public CKeyObject {
public:
    explicit CDigestObject(CDeviceContext *pDeviceContext);
    ~CDigestObject() override;

    /* Hash ids of the software layer: 11 SHA-1, 12 SHA-256, 18 SM3. */
    unsigned int DigestInit(unsigned int ulHashID);

    unsigned int DigestUpdate(unsigned char *pbData, unsigned int ulDataLen) override;
    unsigned int DigestFinal(unsigned char *pbHash, unsigned int *pulHashLen) override;
    unsigned int Digest(unsigned char *pbData, unsigned int ulDataLen, unsigned char *pbHash,
                        unsigned int *pulHashLen) override;

protected:
    CHashObject *m_pHashObject;
};

class CAgreementObject : public CKeyObject {
public:
    /* ulAlgID: the SGD id of the key to derive; usKeyID: the container key's
     * file id; ulAgreementParam: what the token answered with its data. */
    CAgreementObject(CDeviceContext *pDeviceContext, unsigned int ulAlgID, unsigned short usKeyID,
                     unsigned int ulAgreementParam);
    ~CAgreementObject() override;

    unsigned int GenerateKeyWithECC(Struct_ECCPUBLICKEYBLOB *pPeerPubKey, Struct_ECCPUBLICKEYBLOB *pPeerTempPubKey,
                                    unsigned char *pbID, unsigned int ulIDLen, void **phKey) override;

protected:
    unsigned short m_usKeyID;
    unsigned int m_ulAgreementParam;
};

#endif
