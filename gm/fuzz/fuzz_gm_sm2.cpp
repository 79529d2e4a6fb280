/* SM2 decryption and verification of the GM layer on any input, under one
 * fixed key pair on curve 920.  The first byte picks the road:
 *   0  _SM2_decrypt of the rest (C1 || C2 || C3) into exactly the room the
 *      cipher text's length allows
 *   1  _SM2_verify_ex of r, s, e (32 bytes each) under the fixed public key,
 *      then under a public key X, Y taken from the input
 *   2  pkey_ec_sm2_decrypt of the rest (DER SM2Cipher): size query, then
 *      the decryption into exactly that room
 *   3  pkey_ec_sm2_verify of the rest (DER signature) over a 32-byte digest
 *   4  _SM2_encrypt of the rest, one byte of the cipher text changed (by the
 *      second byte) unless 0: decryption must give the message back when
 *      nothing was changed and must fail when something was. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "gm/gm_pkey.h"
#include "gm/sm2.h"
#include "gm/sm2_group.h"

namespace {

const int kCurve = 920;

struct FixedKey {
    BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
    unsigned char X[32], Y[32];
    EVP_PKEY *pkey = nullptr;

    FixedKey()
    {
        static const unsigned char kD[32] = {0x39, 0x45, 0x20, 0x8f, 0x7b, 0x21, 0x44, 0xb1, 0x3f, 0x36, 0xe3,
                                             0x8a, 0xc6, 0xd3, 0x9f, 0x95, 0x88, 0x93, 0x93, 0x69, 0x28, 0x60,
                                             0xb5, 0x1a, 0x42, 0xfb, 0x81, 0xef, 0x4d, 0xf7, 0xc5, 0xb8};
        EC_GROUP *group = gm_curve_group_new(kCurve);
        EC_KEY *ec = EC_KEY_new();
        EC_POINT *pub = EC_POINT_new(group);
        d = BN_bin2bn(kD, 32, nullptr);
        x = BN_new();
        y = BN_new();
        if (group == nullptr || ec == nullptr || pub == nullptr || EC_KEY_set_group(ec, group) != 1 ||
            EC_POINT_mul(group, pub, d, nullptr, nullptr, nullptr) != 1 ||
            EC_POINT_get_affine_coordinates(group, pub, x, y, nullptr) != 1 || EC_KEY_set_private_key(ec, d) != 1 ||
            EC_KEY_set_public_key(ec, pub) != 1 || BN_bn2binpad(x, X, 32) != 32 || BN_bn2binpad(y, Y, 32) != 32)
            abort();
        pkey = EVP_PKEY_new();
        if (EVP_PKEY_assign_EC_KEY(pkey, ec) != 1) abort();
        EC_POINT_free(pub);
        EC_GROUP_free(group);
    }
};

const FixedKey &Key()
{
    static const FixedKey key;
    return key;
}

/* A heap block of exactly n bytes (at least one), so a write past it is an
 * AddressSanitizer report. */
std::vector<unsigned char> Room(size_t n) { return std::vector<unsigned char>(n == 0 ? 1 : n); }

void Decrypt(const uint8_t *c, size_t clen)
{
    size_t ulPlain = clen > SM2_CIPHER_OVERHEAD ? clen - SM2_CIPHER_OVERHEAD : 0;
    std::vector<unsigned char> out = Room(ulPlain);
    _SM2_decrypt(kCurve, c, static_cast<unsigned>(clen), Key().d, out.data());
}

void Verify(const uint8_t *in, size_t len)
{
    if (len < 96) return;
    _SM2_verify_ex(in, in + 32, Key().X, Key().Y, in + 64);
    if (len >= 160) _SM2_verify_ex(in, in + 32, in + 96, in + 128, in + 64);
    BIGNUM *r = BN_bin2bn(in, 32, nullptr), *s = BN_bin2bn(in + 32, 32, nullptr);
    BIGNUM *e = BN_bin2bn(in + 64, 32, nullptr);
    ECDSA_SIG *sig = ECDSA_SIG_new();
    if (sig != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr;
        _SM2_verify(sig, Key().x, Key().y, e, kCurve);
    }
    ECDSA_SIG_free(sig);
    BN_free(r);
    BN_free(s);
    BN_free(e);
}

void PkeyDecrypt(const uint8_t *in, size_t len)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(Key().pkey, nullptr);
    size_t ulOut = 0;
    if (pkey_ec_sm2_decrypt(ctx, nullptr, &ulOut, in, len) == 1) {
        std::vector<unsigned char> out = Room(ulOut);
        size_t ulRoom = ulOut;
        if (pkey_ec_sm2_decrypt(ctx, out.data(), &ulRoom, in, len) == 1 && ulRoom > ulOut) abort();
    }
    EVP_PKEY_CTX_free(ctx);
}

void PkeyVerify(const uint8_t *in, size_t len)
{
    static const unsigned char kDigest[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(Key().pkey, nullptr);
    pkey_ec_sm2_verify(ctx, in, len, kDigest, sizeof(kDigest));
    EVP_PKEY_CTX_free(ctx);
}

void EncryptThenDecrypt(const uint8_t *in, size_t len)
{
    if (len < 2 || len > 4096) return;
    unsigned char byChange = in[0];
    const uint8_t *m = in + 1;
    size_t mlen = len - 1;
    std::vector<unsigned char> c(mlen + SM2_CIPHER_OVERHEAD);
    if (_SM2_encrypt(kCurve, m, static_cast<unsigned>(mlen), Key().x, Key().y, c.data()) != 1) abort();
    if (byChange != 0) c[byChange % c.size()] ^= byChange;
    std::vector<unsigned char> out(mlen);
    int ok = _SM2_decrypt(kCurve, c.data(), static_cast<unsigned>(c.size()), Key().d, out.data());
    if (byChange == 0 && (ok != 1 || memcmp(out.data(), m, mlen) != 0)) abort();
    if (byChange != 0 && ok == 1) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t *rest = data + 1;
    size_t len = size - 1;
    switch (data[0] % 5) {
    case 0: Decrypt(rest, len); break;
    case 1: Verify(rest, len); break;
    case 2: PkeyDecrypt(rest, len); break;
    case 3: PkeyVerify(rest, len); break;
    default: EncryptThenDecrypt(rest, len); break;
    }
    ERR_clear_error();
    return 0;
}
