// The product token's own commands: the flash read of its 2048-byte blocks
// (EA) and the wireless pairing and identification of a peer (1D, 1E).
// The choices are documented in vtoken/README.md ("Product commands").
#include "vtoken/token/VtToken.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace vtoken {

namespace {

constexpr size_t kReadAddrScale = 4;             // read addresses count quarter bytes
constexpr size_t kFlashPiece = kVtMaxAnswer - 4; // what one answer carries
constexpr uint8_t kInsWirelessIdentify = 0x1E;
constexpr size_t kAuthCodeSize = 16;
constexpr size_t kPeerKeySize = 64;               // SM2 point X || Y
constexpr size_t kProofSize = 32;

// EA: the bytes from byte address A / 4, as many as fit into one answer.
CVtAnswer ReadFlashBlock(CVtToken& t, const CVtCommand& c)
{
    if (c.vBody.size() != 4) {
        return CVtAnswer::Status(kSwWrongData);
    }
    uint32_t ulAddr = VtGetBE32(c.vBody.data());
    if (ulAddr % kReadAddrScale != 0) {
        return CVtAnswer::Status(kSwWrongData);
    }
    size_t nByte = ulAddr / kReadAddrScale;
    if (nByte >= kVtFlashSize) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    size_t n = std::min(kFlashPiece, kVtFlashSize - nByte);
    const VtBytes& f = t.State().vFlash;
    if (f.size() != kVtFlashSize) {
        return CVtAnswer::Ok(VtBytes(n, 0xFF));  // never written: erased
    }
    auto it = f.begin() + static_cast<long>(nByte);
    return CVtAnswer::Ok(VtBytes(it, it + static_cast<long>(n)));
}

bool PeerAlgorithm(uint8_t byAlg) { return byAlg == 17 || byAlg == 6; }

// The pairing secret of a peer key: SM3(01 || K || XY) || SM3(02 || K || XY)
// with K the token's external-authentication key.  Stateless: the token
// derives it again whenever the peer identifies itself.
VtBytes PairingSecret(const CVtToken& t, const VtBytes& vPeerKey)
{
    VtBytes vOut;
    for (uint8_t byTag = 1; byTag <= 2; ++byTag) {
        VtBytes v{byTag};
        VtAppend(v, t.ExternalAuthKey());
        VtAppend(v, vPeerKey);
        VtAppend(vOut, VtSm3(v));
        VtWipe(v);
    }
    return vOut;
}

// 1D: pairs a peer with a verified PIN.  P1 the peer key's algorithm, body
// the PIN authorisation code (16) then the peer key (64); the answer is the
// 64-byte pairing secret.
CVtAnswer WirelessAuth(CVtToken& t, const CVtCommand& c)
{
    if (!PeerAlgorithm(c.byP1) || c.byP2 != 0) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    if (c.vBody.size() != kAuthCodeSize + kPeerKeySize) {
        return CVtAnswer::Status(kSwWrongData);
    }
    if (!t.AuthCodeValid(c.vBody.data(), kAuthCodeSize)) {
        return CVtAnswer::Status(kSwSecurityStatus);
    }
    return CVtAnswer::Ok(PairingSecret(t, VtBytes(c.vBody.begin() + kAuthCodeSize, c.vBody.end())));
}

// 1E P1 0: a paired peer asks to identify.  P2 its key's algorithm, body the
// caller's data then the peer key (64, last).  The answer is a fresh 16-byte
// challenge R; the token keeps R, the key and the data for P1 1.
// 1E P1 1: P2 as in the request, body the 32-byte proof SM3(S || R || data
// || rest) followed by the rest (any bytes), with S the pairing secret.  A
// right proof gives a new PIN authorisation code for the user PIN, which is
// the answer; a wrong one clears the authorisation (63 00).
CVtAnswer WirelessIdentify(CVtToken& t, const CVtCommand& c)
{
    if (!PeerAlgorithm(c.byP2)) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    if (c.byP1 == 0) {
        if (c.vBody.size() < kPeerKeySize) {
            return CVtAnswer::Status(kSwWrongData);
        }
        VtBytes vChallenge = VtRandom(16);
        VtBytes vKept = vChallenge;
        VtAppend(vKept, c.vBody);
        t.SetChallenge(kInsWirelessIdentify, c.byP2, vKept);
        return CVtAnswer::Ok(vChallenge);
    }
    if (c.byP1 != 1) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    const CVtToken::CChallenge* pPending = t.Challenge(kInsWirelessIdentify);
    if (pPending == nullptr || pPending->byP2 != c.byP2) {
        return CVtAnswer::Status(kSwConditions);
    }
    if (c.vBody.size() < kProofSize) {
        return CVtAnswer::Status(kSwWrongData);
    }
    const VtBytes& vKept = pPending->vValue;  // R || data || key
    VtBytes vPeerKey(vKept.end() - kPeerKeySize, vKept.end());
    VtBytes vSecret = PairingSecret(t, vPeerKey);
    VtBytes vInput = vSecret;
    vInput.insert(vInput.end(), vKept.begin(), vKept.end() - kPeerKeySize);
    vInput.insert(vInput.end(), c.vBody.begin() + kProofSize, c.vBody.end());
    VtBytes vExpect = VtSm3(vInput);
    VtWipe(vSecret);
    VtWipe(vInput);
    t.TakeChallenge();
    if (CRYPTO_memcmp(vExpect.data(), c.vBody.data(), kProofSize) != 0) {
        t.ClearAuthCode();
        return CVtAnswer::Status(kSwAuthFailed);
    }
    VtBytes vCode = VtRandom(kAuthCodeSize);
    t.SetAuthCode(kVtPinUser, vCode);
    return CVtAnswer::Ok(vCode);
}

}  // namespace

void VtRegisterProductCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0xEA, ReadFlashBlock);
    table.Add(kVtClaSecure, 0x1D, WirelessAuth);
    table.Add(kVtClaSecure, kInsWirelessIdentify, WirelessIdentify);
}

}  // namespace vtoken
