/* CGMSymKeyHandle: the symmetric cipher handle whose cipher runs on the
 * token: SM1 or SM4 in ECB or CBC with a 16-byte key imported under secure
 * messaging.  It keeps the interface of CSymKeyHandle; its own work is
 * buffering: callers feed any length, the token takes whole 16-byte blocks
 * in commands of at most 128 bytes, and on decryption the last block stays
 * back until Final so that its padding can be checked.
 *
 * Base fields used: m_pCipherCtx holds the CDeviceContext* (not owned),
 * m_bEncrypt the direction, m_ulUnitLen the block size (16 after Init),
 * m_ulPadding the padding flag, m_ulHeldLen the bytes held back (0 to 16),
 * which the base's one-shot Encrypt counts in its size.  The key stays on
 * the token.
 *
 * The token's one key slot and cipher state are shared by every handle of
 * every process; the device context's owner word tells whose they are.
 * SetKey and Init claim them, before their command goes out: a command
 * whose answer is lost may have been carried out all the same.  Before
 * each command that continues an operation the handle checks the word:
 * when another operation ran meanwhile, or an init of its own failed, it
 * sends its init again with its own chaining value as IV (one exchange);
 * when another key was loaded, or the slot is nobody's, it imports its key
 * again first (one more), if the host gave it.  A key only
 * the token ever held (see AdoptSlotKey) is trusted only while the word is
 * still its own last claim: any other word answers 528.  An init the token
 * refuses for an empty slot (6985) although the word names this handle
 * means the token lost its volatile state: the slot becomes nobody's and
 * the init is tried once more, after the host key is loaded again.
 * Callers hold the device mutex.
 *
 * Every token answer is held to what was sent: an update or final answer
 * of another length than its input fails with 260 and nothing of it is
 * taken. */
#ifndef BRIO_SARNCORE_GM_SYM_KEY_HANDLE_H
#define BRIO_SARNCORE_GM_SYM_KEY_HANDLE_H

#include "SoftCrypto/SymKeyHandle.h"

class CDeviceContext;

#define GM_SYM_BLOCK 16u
#define GM_SYM_BUFFER 256u

class CGMSymKeyHandle : public CSymKeyHandle {
public:
    explicit CGMSymKeyHandle(CDeviceContext *pDeviceContext);
    virtual ~CGMSymKeyHandle();

    /* usKeySpec: (cipher << 8) | mode, e.g. 0x1302 SM4-CBC. */
    unsigned int SetKey(unsigned short usKeySpec, unsigned char *pbKey, unsigned int ulKeyLen) override;
    unsigned int Init(unsigned char byAlgID, unsigned char byCryptType, unsigned char byMode, unsigned char *pbIV,
                      unsigned int ulPadding) override;
    unsigned int Update(unsigned char *pbIn, unsigned int ulInLen, unsigned char *pbOut,
                        unsigned int *pulOutLen) override;
    /* *pulOutLen is the room: it must hold the block the token answers
     * (16 bytes, none when encrypting without padding and nothing held),
     * else 259 with 16 and nothing is sent. */
    unsigned int Final(unsigned char *pbOut, unsigned int *pulOutLen) override;

    /* The key now in the slot is this handle's: one the token made or
     * unwrapped, which the host never saw. */
    unsigned int AdoptSlotKey();
    /* Whether the slot still holds the key this handle loaded or adopted:
     * a host key while the key generation is the one it loaded, a key only
     * the token held while the word is this handle's last claim. */
    bool KeyInSlot() const;

    static unsigned int Initialize(void *pDeviceContext, unsigned char byAlgID, unsigned char byCryptType,
                                   unsigned char byMode, unsigned char *pbKey, unsigned char *pbIV,
                                   void **phKeyHandle);

private:
    CDeviceContext *Context() const { return static_cast<CDeviceContext *>(m_pCipherCtx); }

    void KeepKey(unsigned short usKeySpec, const unsigned char *pbKey, unsigned int ulKeyLen);
    /* Makes the slot and cipher state this handle's again before a command
     * (bResume: the operation under way continues); 528 when its key is gone. */
    unsigned int TakeKeySlot(CDeviceContext *pCtx, bool bResume);
    /* The init command, the slot claimed before it is sent. */
    unsigned int SendInit(CDeviceContext *pCtx, unsigned char byDirection, unsigned short usSpec, unsigned char *pbIV);

    unsigned char m_pbBlock[GM_SYM_BUFFER];    /* held bytes; each update command assembled here */
    unsigned long long m_ullSlotStamp;         /* owner word after this handle's last claim; 0: none */
    bool m_bStateUnknown;                      /* the last init failed: the token's cipher state is not known */
    unsigned short m_usRunSpec;                /* key spec of the operation under way; 0: none */
    unsigned char m_pbChain[GM_SYM_BLOCK];     /* IV, then the last cipher block processed */
    unsigned short m_usKeySpec;                /* spec and key of SetKey, kept to load the key again */
    bool m_bHostKey;
    unsigned char m_pbHostKey[GM_SYM_BLOCK];
};

#endif
