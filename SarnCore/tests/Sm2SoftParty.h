/* The software side of an SM2 key agreement with the token (GM layer),
 * for the tests of the agreement commands and objects. */
#pragma once

#include <string.h>

#include <openssl/bn.h>

#include <vector>

#include "SoftCrypto/SoftCrypto.h"
#include "gm/sm2_kex.h"

/* The software side of an agreement with the token (GM layer). */
struct SoftParty {
    using Bytes = std::vector<unsigned char>;
    _QV_SM2_KEY_PAIR key = {};
    unsigned char r[32], rx[32], ry[32];
    Bytes id;
    explicit SoftParty(const char *szId) : id(szId, szId + strlen(szId))
    {
        SM2_GenKey(&key);
        BIGNUM *br = BN_new(), *bx = BN_new(), *by = BN_new();
        _SM2_generate_temp_keypair(br, bx, by, 920);
        BN_bn2binpad(br, r, 32);
        BN_bn2binpad(bx, rx, 32);
        BN_bn2binpad(by, ry, 32);
        BN_free(br);
        BN_free(bx);
        BN_free(by);
    }
    static Bytes Compact(const unsigned char *x, const unsigned char *y)
    {
        Bytes v = {0, 0, 1, 0};
        v.insert(v.end(), x, x + 32);
        v.insert(v.end(), y, y + 32);
        return v;
    }
    Bytes Pub() const { return Compact(key.X, key.Y); }
    Bytes Temp() const { return Compact(rx, ry); }
    static Bytes Z(const Bytes &id, const unsigned char *x, const unsigned char *y)
    {
        Bytes z(32);
        _SM2_CalculateZValue_byCurve_ex(920, id.data(), (unsigned int)id.size(), x, y, z.data());
        return z;
    }
    /* The key with the token's public key and temporary key (compact). */
    Bytes Agree(const Bytes &peerPub, const Bytes &peerTemp, const Bytes &peerId, bool bInitiator)
    {
        Bytes zOwn = Z(id, key.X, key.Y), zPeer = Z(peerId, peerPub.data() + 4, peerPub.data() + 36);
        Bytes out(16);
        _SM2_KEP_ex(920, rx, ry, r, key.X, key.Y, key.D, bInitiator ? zOwn.data() : zPeer.data(), peerTemp.data() + 4,
                    peerTemp.data() + 36, peerPub.data() + 4, peerPub.data() + 36,
                    bInitiator ? zPeer.data() : zOwn.data(), 128, out.data());
        return out;
    }
};
