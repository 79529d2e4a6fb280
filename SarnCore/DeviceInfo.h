/* CDeviceInfo: the record of one connection to a token, read by every
 * command object of the connection: the transport handle, the secure
 * channel (security mode, transfer key, session identifier), the PIN
 * authorisation code, the external-authentication key, and the algorithm
 * byte, key id and product root key that the device operator sets. */
#ifndef BRIO_SARNCORE_DEVICE_INFO_H
#define BRIO_SARNCORE_DEVICE_INFO_H

#include "SoftCrypto/SoftCrypto.h"

#define DEVINFO_KEY_LEN 16u
#define DEVINFO_ALG_UNSET 0xFFu
#define SECURITY_MODE_PLAIN 0u
#define SECURITY_MODE_SECURE 2u

/* Built-in product public keys that vouch for a token's authentication key:
 * SM2 for algorithm byte 0x13, RSA-1024 otherwise. */
extern const _QV_SM2_KEY_PAIR g_stProdSM2PubKey;
extern const _QV_RSA_KEY_PAIR g_stProdRsaPubKey;

class CDeviceInfo {
public:
    CDeviceInfo();
    virtual ~CDeviceInfo();
    CDeviceInfo(const CDeviceInfo &) = delete;
    CDeviceInfo &operator=(const CDeviceInfo &) = delete;

    /* Null clears code and length; more than 16 bytes: 260, nothing changed. */
    unsigned int SetAuthCode(const unsigned char *pbAuthCode, unsigned int ulLen);
    unsigned int SetAuthKey(const unsigned char *pbAuthKey);
    /* true: mode 2, false: mode 0; returns the new mode. */
    unsigned char SetSecurityMode(bool bSecure);
    unsigned int SetSessionID(const unsigned char *pbSessionID);
    /* Null: key cleared, mode 0, session id 00 00.  Otherwise mode 2 and the
     * session id from the key's first two bytes; more than 16 bytes: 260. */
    unsigned int SetTransKey(const unsigned char *pbKey, unsigned int ulLen);

    /* One SKF call runs under the device mutex from its start to its end,
     * so no other process can replace the secure channel meanwhile: once
     * the channel was checked or set up in a call, it stands until the
     * call ends, and later steps of the call need not check it again.  The
     * SKF frame opens a call after taking the mutex and closes it before
     * releasing it; calls nest, and the mark goes when the outermost one
     * ends.  Outside a call nothing is marked. */
    void BeginCall();
    void EndCall();
    bool ChannelChecked() const { return m_ulCalls != 0 && m_bChannelChecked; }
    /* The channel works (a secure command succeeded, or it was set up). */
    void NoteChannelChecked() { m_bChannelChecked = m_ulCalls != 0; }
    /* The token refused the channel, or it was dropped. */
    void ForgetChannelCheck() { m_bChannelChecked = false; }

    void *m_hDevice;                              /* transport handle, null until open */
    unsigned char m_pbAuthCode[DEVINFO_KEY_LEN];  /* PIN authorisation code */
    unsigned int m_ulAuthCodeLen;
    unsigned char m_pbAuthKey[DEVINFO_KEY_LEN];   /* external-authentication key */
    unsigned char m_byAlgID;                      /* cipher of the secure channel; 0x13 SM4 */
    unsigned short m_usKeyID;
    const void *m_pRootKey;                       /* g_stProdSM2PubKey or g_stProdRsaPubKey */
    unsigned char m_bySecurityMode;
    unsigned char m_pbTransKey[DEVINFO_KEY_LEN];  /* session key of the secure channel */
    unsigned int m_ulTransKeyLen;
    unsigned char m_pbSessionID[2];
    unsigned int m_ulCalls;        /* SKF calls open on the connection */
    bool m_bChannelChecked;        /* the channel was checked or set up in the open call */
};

#endif
