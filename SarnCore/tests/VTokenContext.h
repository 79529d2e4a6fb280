/* Helpers for device-context tests against the virtual token. */
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>

#include "SarnCore/DeviceContext.h"
#include "SoftCrypto/SymKeyHandle.h"

inline std::string DeviceNameOf(unsigned int ulBus, unsigned int ulAddr)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "Mirel&pid_f00d&bus_%03u&addr_%03u", ulBus, ulAddr);
    return sz;
}

/* The record set up as the device operator does it for a token of the given
 * algorithm byte, and the external authentication with the key derived from
 * the chip serial number (MD5 of the serial, encrypted under the master key). */
inline unsigned int AuthenticateAsOperator(CDeviceContext &ctx, unsigned char byAlgID)
{
    static unsigned char MASTER[16] = {0x3F, 0x7A, 0x19, 0xC2, 0xE0, 0x5B, 0x4D, 0x88,
                                       0x61, 0xA2, 0xF0, 0xC9, 0x3E, 0x17, 0xB6, 0xD4};
    CDeviceInfo *pInfo = ctx.GetDeviceHandle();
    pInfo->m_byAlgID = byAlgID;
    pInfo->m_pRootKey = byAlgID == 0x13 ? (const void *)&g_stProdSM2PubKey : (const void *)&g_stProdRsaPubKey;
    unsigned char sn[32];
    unsigned int snLen = sizeof(sn);
    unsigned int r = ctx.GetAPDUChip()->GetChipSN(sn, &snLen);
    if (r != 0) return r;
    unsigned char digest[16];
    unsigned int digestLen = sizeof(digest);
    r = Hash_Digest(SC_HASH_MD5, sn, snLen, digest, &digestLen);
    if (r != 0) return r;
    unsigned char key[64];
    unsigned int keyLen = sizeof(key);
    r = CSymKeyHandle::Encrypt(byAlgID, SC_MODE_CBC, MASTER, nullptr, digest, 16, key, &keyLen);
    if (r != 0) return r;
    unsigned char challenge[16];
    unsigned int challengeLen = sizeof(challenge);
    r = ctx.GetAPDUPin()->ExternalAuth_Request(challenge, &challengeLen);
    if (r != 0) return r;
    unsigned char crypt[64];
    unsigned int cryptLen = sizeof(crypt);
    r = CSymKeyHandle::Encrypt(byAlgID, SC_MODE_CBC, key, nullptr, challenge, challengeLen, crypt, &cryptLen);
    if (r != 0) return r;
    r = ctx.GetAPDUPin()->ExternalAuth_Response(crypt, cryptLen);
    if (r != 0) return r;
    return pInfo->SetAuthKey(key);
}
