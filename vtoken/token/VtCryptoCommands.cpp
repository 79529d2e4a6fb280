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

#include <openssl/bn.h>

namespace vtoken {

namespace {

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
    VtBytes vPub = {0x04};
    VtAppend(vPub, vXY);
    VtPkey key = VtSm2FromPublic(vPub);
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
    VtBytes vCipher = {0x04};
    VtAppend(vCipher, vXY);
    VtAppend(vCipher, vC2);
    VtAppend(vCipher, vC3);
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
