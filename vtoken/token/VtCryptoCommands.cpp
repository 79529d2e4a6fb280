// Cryptographic commands: the raw RSA private operation, SM2 signature of
// a digest value e and SM2 decryption with a container's key (each waits
// for the button as the button policy says), the external SM2 commands
// with a key the host gives, and SM4 in ECB and CBC with the key slot.
//
// The symmetric commands take whole 16-byte blocks only and answer exactly
// as many bytes as they received; the token never pads.  The CBC chain is
// carried from one update to the next; the final ends the operation.
// SM1 is not offered: every SM1 key spec is refused with 6D 00.
#include "vtoken/token/VtTokenData.h"

#include <algorithm>
#include <initializer_list>

#include <openssl/bn.h>
#include <openssl/rsa.h>

namespace vtoken {

namespace {

// 04 followed by the parts (an uncompressed point, or an SM2 cipher text
// C1 C2 C3), sized once.
VtBytes PrefixedBy04(std::initializer_list<const VtBytes*> parts)
{
    size_t n = 1;
    for (const VtBytes* p : parts) {
        n += p->size();
    }
    VtBytes v(n);
    v[0] = 0x04;
    auto it = v.begin() + 1;
    for (const VtBytes* p : parts) {
        it = std::copy(p->begin(), p->end(), it);
    }
    return v;
}

constexpr uint32_t kSm2Bits = 256;

// The key prefix: authorisation code, application, key file of an
// existing key pair.
uint16_t StoredKey(CVtToken& t, CVtReader& r, CVtKeyPair& kp)
{
    uint32_t ulFid = 0;
    uint16_t wSW = VtCheckAuthPrefix(t, r);
    if (wSW == kSwOk && !r.U16(ulFid)) {
        wSW = kSwWrongData;
    }
    return wSW == kSwOk ? VtKeyAt(t.State(), ulFid, kp) : wSW;
}

// A private-key operation of a stored key: its key, the rest of the body,
// and the button.
template <class Op>
CVtAnswer PrivateOperation(CVtToken& t, const CVtCommand& c, bool bSm2, Op op)
{
    CVtReader r(c.vBody);
    CVtKeyPair kp;
    uint16_t wSW = StoredKey(t, r, kp);
    if (wSW == kSwOk && (kp.byAlg == kVtAlgSm2) != bSm2) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtBytes vIn = r.Rest(), vOut;
    if (!t.ButtonPressed(c.byIns)) {
        return CVtAnswer::Status(kSwButtonNotPressed);
    }
    if (!op(kp.key.get(), vIn, vOut)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    CVtAnswer a = CVtAnswer::Ok(vOut);
    VtWipe(vOut);
    return a;
}

CVtAnswer RsaRaw(CVtToken& t, const CVtCommand& c)
{
    return PrivateOperation(t, c, false, VtRsaPrivateRaw);
}

CVtAnswer Sm2SignDigest(CVtToken& t, const CVtCommand& c)
{
    return PrivateOperation(t, c, true, VtSm2SignDigest);
}

CVtAnswer Sm2Decrypt(CVtToken& t, const CVtCommand& c)
{
    return PrivateOperation(t, c, true, VtSm2Decrypt);
}

// Bit length 256 and the private value of an external command.
VtPkey ExternalPrivate(CVtReader& r)
{
    uint32_t ulBits = 0;
    VtBytes vD;
    if (!r.U32(ulBits) || ulBits != kSm2Bits || !r.Take(32, vD)) {
        return nullptr;
    }
    VtPkey key = VtSm2FromPrivate(vD);
    VtWipe(vD);
    return key;
}

CVtAnswer ExtEncrypt(CVtToken&, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulBits = 0, ulLen = 0;
    VtBytes vXY, vPlain, vCipher;
    if (!r.U32(ulBits) || ulBits != kSm2Bits || !r.Take(64, vXY) || !r.U32(ulLen) || ulLen == 0 ||
        !r.Take(ulLen, vPlain) || r.Left() != 0) {
        return CVtAnswer::Status(kSwWrongData);
    }
    VtPkey key = VtSm2FromPublic(PrefixedBy04({&vXY}));
    if (!key || !VtSm2Encrypt(key.get(), vPlain, vCipher)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    return CVtAnswer::Ok(VtSm2CipherAnswer(vCipher));
}

CVtAnswer ExtDecrypt(CVtToken&, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    VtPkey key = ExternalPrivate(r);
    uint32_t ulLen = 0;
    VtBytes vXY, vC3, vC2, vPlain;
    if (!key || !r.Take(64, vXY) || !r.Take(32, vC3) || !r.U32(ulLen) || !r.Take(ulLen, vC2) || r.Left() != 0) {
        return CVtAnswer::Status(kSwWrongData);
    }
    VtBytes vCipher = PrefixedBy04({&vXY, &vC2, &vC3});
    if (!VtSm2Decrypt(key.get(), vCipher, vPlain)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    VtBytes v;
    VtPutBE32(v, static_cast<uint32_t>(vPlain.size()));
    VtAppend(v, vPlain);
    VtWipe(vPlain);
    CVtAnswer a = CVtAnswer::Ok(v);
    VtWipe(v);
    return a;
}

CVtAnswer ExtSign(CVtToken&, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    VtPkey key = ExternalPrivate(r);
    uint32_t ulLen = 0;
    VtBytes vE, vRS;
    if (!key || !r.U32(ulLen) || ulLen != 32 || !r.Take(32, vE) || r.Left() != 0 ||
        !VtSm2SignDigest(key.get(), vE, vRS)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    return CVtAnswer::Ok(vRS);
}

constexpr uint8_t kInsSm2SignMessage = 0x74;
constexpr uint8_t kInsRsaSignMessage = 0x58;
constexpr size_t kMaxSignedMessage = 64 * 1024;

// The digest of a hash id (10 MD5, 11 SHA-1, 12 SHA-256, 13 SHA-512, 14
// SHA-1 and MD5, 18 SM3), or null.
const EVP_MD* HashOf(uint32_t ulHash)
{
    switch (ulHash) {
    case 10: return EVP_md5();
    case 11: return EVP_sha1();
    case 12: return EVP_sha256();
    case 13: return EVP_sha512();
    case 14: return EVP_md5_sha1();
    case 18: return EVP_sm3();
    default: return nullptr;
    }
}

// PKCS #1 v1.5 signature of a digest (DigestInfo for all but SHA-1 + MD5).
bool RsaSignDigest(EVP_PKEY* pKey, const EVP_MD* md, const VtBytes& vDigest, VtBytes& vSig)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pKey, nullptr);
    size_t n = VtRsaBytes(pKey);
    vSig.assign(n, 0);
    bool bOk = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
               EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
               EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
               EVP_PKEY_sign(ctx, vSig.data(), &n, vDigest.data(), vDigest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    vSig.resize(bOk ? n : 0);
    return bOk;
}

// A message signature in four phases under one INS: P1 0 start (SM2: the
// user ID; RSA: the hash id), 1 the message in chunks, 2 finish, 3 fetch
// (waits for the button).  Every phase carries the key prefix.
CVtAnswer SignMessage(CVtToken& t, const CVtCommand& c)
{
    bool bSm2 = c.byIns == kInsSm2SignMessage;
    CVtReader r(c.vBody);
    CVtKeyPair kp;
    uint32_t ulFid = 0;
    uint16_t wSW = VtCheckAuthPrefix(t, r);
    if (wSW == kSwOk && !r.U16(ulFid)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        wSW = VtKeyAt(t.State(), ulFid, kp);
    }
    if (wSW == kSwOk && (kp.byAlg == kVtAlgSm2) != bSm2) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtVolatile& vol = VtVolatileOf(t);
    if (c.byP1 == 0) {
        uint32_t ulHash = 18;
        VtBytes vId;
        if (bSm2 ? !r.Take(r.Left(), vId) : (!r.U8(ulHash) || r.Left() != 0 || HashOf(ulHash) == nullptr)) {
            return CVtAnswer::Status(kSwWrongData);
        }
        vol.bySignIns = c.byIns;
        vol.ulSignFid = ulFid;
        vol.ulSignHash = ulHash;
        vol.bSignFinished = false;
        vol.vSignId = vId;
        vol.vSignMessage.clear();
        return CVtAnswer::Ok();
    }
    if (vol.bySignIns != c.byIns || vol.ulSignFid != ulFid || c.byP1 > 3 ||
        vol.bSignFinished != (c.byP1 == 3)) {
        return CVtAnswer::Status(c.byP1 > 3 ? static_cast<uint16_t>(kSwWrongP1P2) : static_cast<uint16_t>(kSwConditions));
    }
    if (c.byP1 == 1) {
        VtBytes vChunk = r.Rest();
        if (vChunk.size() > 256 || vol.vSignMessage.size() + vChunk.size() > kMaxSignedMessage) {
            return CVtAnswer::Status(kSwWrongData);
        }
        VtAppend(vol.vSignMessage, vChunk);
        return CVtAnswer::Ok();
    }
    if (r.Left() != 0) {
        return CVtAnswer::Status(kSwWrongData);
    }
    if (c.byP1 == 2) {
        vol.bSignFinished = true;
        return CVtAnswer::Ok();
    }
    if (!t.ButtonPressed(c.byIns)) {
        return CVtAnswer::Status(kSwButtonNotPressed);
    }
    VtBytes vSig;
    bool bOk;
    if (bSm2) {
        VtBytes vIn = VtSm2UserHash(vol.vSignId, VtSm2PublicOfKey(kp.key.get()));
        VtAppend(vIn, vol.vSignMessage);
        bOk = VtSm2SignDigest(kp.key.get(), VtSm3(vIn), vSig);
    } else {
        const EVP_MD* md = HashOf(vol.ulSignHash);
        VtBytes vDigest(EVP_MAX_MD_SIZE);
        unsigned int nDigest = 0;
        bOk = EVP_Digest(vol.vSignMessage.data(), vol.vSignMessage.size(), vDigest.data(), &nDigest, md, nullptr) == 1;
        vDigest.resize(nDigest);
        bOk = bOk && RsaSignDigest(kp.key.get(), md, vDigest, vSig);
    }
    vol.bySignIns = 0;
    VtWipe(vol.vSignMessage);
    return bOk ? CVtAnswer::Ok(vSig) : CVtAnswer::Status(kSwNoPreciseDiagnosis);
}

constexpr uint8_t kInsEncryptInit = 0xA4;
constexpr uint8_t kInsEncryptUpdate = 0xA8;
constexpr uint8_t kInsEncryptFinal = 0xAA;
constexpr uint8_t kDecryptOffset = 8;

CVtAnswer SymInit(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulKeyId = 0, ulSpec = 0, ulIvLen = 0, ulZero1 = 1, ulZero2 = 1;
    uint8_t byMode = 0;
    VtBytes vIv;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!r.U16(ulKeyId) || ulKeyId != 0 || !r.U16(ulSpec) || !r.U16(ulIvLen) ||
                         !r.Take(ulIvLen, vIv) || !r.U32(ulZero1) || !r.U32(ulZero2) || r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk) {
        wSW = VtCheckKeySpec(ulSpec, byMode);
    }
    if (wSW == kSwOk && byMode == 2 && vIv.size() != 16) {
        wSW = kSwWrongData;
    }
    CVtVolatile& vol = VtVolatileOf(t);
    if (wSW == kSwOk && !vol.bHaveKey) {
        wSW = kSwConditions;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    vol.bCipher = true;
    vol.bEncrypt = c.byIns == kInsEncryptInit;
    vol.byMode = byMode;
    vol.vChain = byMode == 2 ? vIv : VtBytes();
    return CVtAnswer::Ok();
}

CVtAnswer SymData(CVtToken& t, const CVtCommand& c, bool bFinal)
{
    bool bEncrypt = c.byIns == kInsEncryptUpdate || c.byIns == kInsEncryptFinal;
    CVtReader r(c.vBody);
    uint32_t ulKeyId = 0;
    uint16_t wSW = VtCheckApp(r);
    if (wSW == kSwOk && (!r.U16(ulKeyId) || ulKeyId != 0)) {
        wSW = kSwWrongData;
    }
    CVtVolatile& vol = VtVolatileOf(t);
    if (wSW == kSwOk && (!vol.bCipher || vol.bEncrypt != bEncrypt)) {
        wSW = kSwConditions;
    }
    VtBytes vIn = r.Rest(), vOut;
    if (wSW == kSwOk && vIn.size() % 16 != 0) {
        wSW = kSwWrongData;
    }
    if (wSW == kSwOk && !VtSm4Blocks(bEncrypt, vol.byMode, vol.vKey, vol.vChain, vIn, vOut)) {
        wSW = kSwNoPreciseDiagnosis;
    }
    if (bFinal || wSW != kSwOk) {
        vol.bCipher = false;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    CVtAnswer a = CVtAnswer::Ok(vOut);
    VtWipe(vOut);
    return a;
}

CVtAnswer SymUpdate(CVtToken& t, const CVtCommand& c) { return SymData(t, c, false); }
CVtAnswer SymFinal(CVtToken& t, const CVtCommand& c) { return SymData(t, c, true); }

}  // namespace

void VtRegisterCryptoCommands(CVtCommandTable& table)
{
    table.Add(kVtClaSecure, 0x57, RsaRaw);
    table.Add(kVtClaSecure, 0x73, Sm2SignDigest);
    table.Add(kVtClaSecure, 0x75, Sm2Decrypt);
    table.Add(kVtClaSecure, kInsSm2SignMessage, SignMessage);
    table.Add(kVtClaSecure, kInsRsaSignMessage, SignMessage);
    table.Add(kVtClaPlain, 0x7A, ExtEncrypt);
    table.Add(kVtClaSecure, 0x7C, ExtDecrypt);
    table.Add(kVtClaSecure, 0x7E, ExtSign);
    for (uint8_t byOffset : {uint8_t(0), kDecryptOffset}) {
        table.Add(kVtClaPlain, static_cast<uint8_t>(kInsEncryptInit + byOffset), SymInit);
        table.Add(kVtClaPlain, static_cast<uint8_t>(kInsEncryptUpdate + byOffset), SymUpdate);
        table.Add(kVtClaPlain, static_cast<uint8_t>(kInsEncryptFinal + byOffset), SymFinal);
    }
}

}  // namespace vtoken
