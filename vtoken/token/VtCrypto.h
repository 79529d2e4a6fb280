// The virtual token's cryptography, on OpenSSL's own EVP implementations
// (SM2, SM3, SM4, RSA, two-key 3DES, MD5, SHA-1).  The middleware's software
// algorithms are deliberately not used here, so that every end-to-end run
// checks two independent implementations against each other.
#pragma once

#include "vtoken/token/VtBytes.h"

#include <memory>
#include <openssl/evp.h>
#include <string>

namespace vtoken {

struct VtPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using VtPkey = std::unique_ptr<EVP_PKEY, VtPkeyFree>;

VtBytes VtRandom(size_t n);
VtBytes VtMd5(const VtBytes& v);
VtBytes VtSm3(const VtBytes& v);
VtBytes VtSha1(const VtBytes& v);
VtBytes VtSha256(const VtBytes& v);

// The secure channel's cipher, chosen by the algorithm byte: 0x13 SM4,
// 3 two-key 3DES; CBC with a zero IV and PKCS #7 padding, 16-byte key.
enum class VtSymResult { Ok, BadAlgorithm, BadLength, BadPadding };
bool VtSymAlgorithmKnown(uint8_t byAlg);
size_t VtSymBlockSize(uint8_t byAlg);
VtSymResult VtSymCrypt(uint8_t byAlg, bool bEncrypt, const VtBytes& vKey, const VtBytes& vIn, VtBytes& vOut);

// SM2 keys (curve SM2, OpenSSL key type "SM2").
VtPkey VtSm2Generate();
VtPkey VtSm2FromParts(const VtBytes& vD, const VtBytes& vPub65);
bool VtSm2Parts(EVP_PKEY* pKey, VtBytes& vD, VtBytes& vPub65);
VtBytes VtSm2PublicXY(EVP_PKEY* pKey);  // X then Y, 32 bytes each
// The raw signature (r then s, 32 bytes each) of a 32-byte value e, used as
// it is: no user hash Z is added.
bool VtSm2SignDigest(EVP_PKEY* pKey, const VtBytes& vE, VtBytes& vRS);
// Decrypts C1 (04, x, y) || C2 || C3.
bool VtSm2Decrypt(EVP_PKEY* pKey, const VtBytes& vC1C2C3, VtBytes& vPlain);

// RSA keys.
VtPkey VtRsaGenerate(unsigned nBits);
VtBytes VtPrivateToDer(EVP_PKEY* pKey);  // PKCS #8
VtPkey VtPrivateFromDer(const VtBytes& vDer);
VtPkey VtLoadPrivatePem(const std::string& strPath);
VtBytes VtRsaPublicNE(EVP_PKEY* pKey);  // modulus (key size), then exponent (4 bytes)
bool VtRsaDecryptPkcs1(EVP_PKEY* pKey, const VtBytes& vIn, VtBytes& vOut);
bool VtRsaSignSha1(EVP_PKEY* pKey, const VtBytes& vData, VtBytes& vSig);

}  // namespace vtoken
