// Session, authentication and PIN commands.
//
// A PIN never reaches the token in the clear: each challenge request hands
// out a fresh 16-byte challenge C and the PIN-transfer RSA-1024 public key,
// and the answer carries RSA PKCS #1 v1.5 of MD5(MD5(PIN) || C) (a change
// adds MD5(new PIN)).  The token stores only MD5 of each PIN.
#include "vtoken/token/VtToken.h"

#include <openssl/crypto.h>

namespace vtoken {

namespace {

constexpr uint8_t kInsExternalAuth = 0x10;
constexpr uint8_t kInsPinStatus = 0x14;
constexpr uint8_t kInsChangePin = 0x16;
constexpr uint8_t kInsVerifyPin = 0x18;
constexpr uint8_t kInsUnlockPin = 0x1A;
constexpr uint8_t kInsResetApp = 0x2B;
constexpr size_t kChallengeSize = 16;

// Every PIN command addresses application 0.
bool AppBody(const CVtCommand& c, VtBytes& vRest, uint16_t& wRefusal)
{
    if (c.vBody.size() < 2) {
        wRefusal = kSwWrongData;
        return false;
    }
    if (VtGetBE16(c.vBody.data()) != 0) {
        wRefusal = kSwNotFound;
        return false;
    }
    vRest.assign(c.vBody.begin() + 2, c.vBody.end());
    return true;
}

bool ValidPinType(uint32_t ul) { return ul == kVtPinAdmin || ul == kVtPinUser; }

// A status or challenge request: application 0, the PIN type in P2.
uint16_t CheckPinRequest(const CVtCommand& c)
{
    VtBytes vRest;
    uint16_t wRefusal = kSwOk;
    if (!AppBody(c, vRest, wRefusal)) {
        return wRefusal;
    }
    return ValidPinType(c.byP2) ? kSwOk : kSwNotFound;
}

uint16_t WrongPin(uint32_t ulLeft)
{
    return static_cast<uint16_t>(kSwWrongPinBase | (ulLeft > 15 ? 15 : ulLeft));
}

// Checks MD5(MD5(PIN) || C) against the PIN and counts the try.
uint16_t CheckPin(CVtToken& t, uint32_t ulPinType, const uint8_t* pbyProof, const VtBytes& vChallenge)
{
    CVtPin& pin = t.State().aPins[ulPinType];
    if (pin.ulRetriesLeft == 0) {
        return kSwPinLocked;
    }
    VtBytes vExpect = pin.vMd5;
    VtAppend(vExpect, vChallenge);
    vExpect = VtMd5(vExpect);
    if (CRYPTO_memcmp(vExpect.data(), pbyProof, vExpect.size()) != 0) {
        pin.ulRetriesLeft--;
        t.ClearAuthCode();
        return WrongPin(pin.ulRetriesLeft);
    }
    pin.ulRetriesLeft = pin.ulMaxRetries;
    return kSwOk;
}

CVtAnswer SetSessionKey(CVtToken& t, const CVtCommand& c)
{
    VtPkey key = t.AuthKey();
    VtBytes vWrapped;
    bool bOk = key && (t.AlgByte() == 0x13 ? VtSm2Decrypt(key.get(), c.vBody, vWrapped)
                                            : VtRsaDecryptPkcs1(key.get(), c.vBody, vWrapped));
    VtBytes vKey;
    if (!bOk || VtSymCrypt(t.AlgByte(), false, t.ExternalAuthKey(), vWrapped, vKey) != VtSymResult::Ok ||
        vKey.size() != 16) {
        VtWipe(vWrapped);
        VtWipe(vKey);
        return CVtAnswer::Status(kSwWrongData);
    }
    t.SetTransferKey(vKey);
    VtWipe(vWrapped);
    VtWipe(vKey);
    return CVtAnswer::Ok();
}

CVtAnswer ExternalAuth(CVtToken& t, const CVtCommand& c)
{
    if (c.byP1 == 0) {
        VtBytes vChallenge = VtRandom(kChallengeSize);
        t.SetChallenge(kInsExternalAuth, 0, vChallenge);
        return CVtAnswer::Ok(vChallenge);
    }
    if (c.byP1 != 1) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    const CVtToken::CChallenge* pChallenge = t.Challenge(kInsExternalAuth);
    if (pChallenge == nullptr) {
        return CVtAnswer::Status(kSwConditions);
    }
    VtBytes vChallenge = pChallenge->vValue;
    t.TakeChallenge();  // one answer per challenge
    VtBytes vPlain;
    bool bOk = VtSymCrypt(t.AlgByte(), false, t.ExternalAuthKey(), c.vBody, vPlain) == VtSymResult::Ok &&
               vPlain == vChallenge;
    t.SetHostAuthenticated(bOk);
    return CVtAnswer::Status(bOk ? kSwOk : kSwAuthFailed);
}

CVtAnswer PinStatus(CVtToken& t, const CVtCommand& c)
{
    uint16_t wRefusal = CheckPinRequest(c);
    if (wRefusal != kSwOk) {
        return CVtAnswer::Status(wRefusal);
    }
    if (c.byP2 == kVtPinUser) {
        t.CancelButtonWait();  // how the middleware ends a press-button wait
    }
    const CVtPin& pin = t.State().aPins[c.byP2];
    return CVtAnswer::Ok({static_cast<uint8_t>(pin.ulMaxRetries), static_cast<uint8_t>(pin.ulRetriesLeft),
                          static_cast<uint8_t>(pin.bDefault ? 1 : 0), 0});
}

CVtAnswer ChallengeRequest(CVtToken& t, const CVtCommand& c)
{
    uint16_t wRefusal = CheckPinRequest(c);
    if (wRefusal != kSwOk) {
        return CVtAnswer::Status(wRefusal);
    }
    VtPkey key = t.PinTransferKey();
    if (!key) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    VtBytes vChallenge = VtRandom(kChallengeSize);
    t.SetChallenge(c.byIns, c.byP2, vChallenge);
    VtBytes vOut = vChallenge;
    VtAppend(vOut, VtRsaPublicNE(key.get()));
    return CVtAnswer::Ok(vOut);
}

// What every answer command shares: the challenge of its request, the body
// decrypted with the PIN-transfer key.  The challenge stays while the token
// waits for its button, so the repeated command is checked against it.
struct CPinAnswer {
    uint16_t wRefusal = kSwOk;
    uint32_t ulPinType = 0;  // the request's P2 (product form) or the answer's (base form)
    VtBytes vChallenge;
    VtBytes vPlain;
    ~CPinAnswer() { VtWipe(vPlain); }
};

void OpenPinAnswer(CVtToken& t, const CVtCommand& c, size_t nPlain, CPinAnswer& a)
{
    VtBytes vData;
    if (!AppBody(c, vData, a.wRefusal)) {
        return;
    }
    const CVtToken::CChallenge* pChallenge = t.Challenge(c.byIns);
    if (pChallenge == nullptr) {
        a.wRefusal = kSwConditions;
        return;
    }
    a.vChallenge = pChallenge->vValue;
    a.ulPinType = pChallenge->byP2 != 0 ? pChallenge->byP2 : c.byP2;
    VtPkey key = t.PinTransferKey();
    if (!ValidPinType(a.ulPinType) || !key || !VtRsaDecryptPkcs1(key.get(), vData, a.vPlain) ||
        a.vPlain.size() != nPlain) {
        t.TakeChallenge();
        a.wRefusal = kSwWrongData;
    }
}

CVtAnswer VerifyPin(CVtToken& t, const CVtCommand& c)
{
    CPinAnswer a;
    OpenPinAnswer(t, c, 16, a);
    if (a.wRefusal != kSwOk) {
        return CVtAnswer::Status(a.wRefusal);
    }
    if (t.State().aPins[a.ulPinType].ulRetriesLeft == 0) {
        t.TakeChallenge();
        t.ClearAuthCode();
        return CVtAnswer::Status(kSwPinLocked);
    }
    if (!t.ButtonPressed(c.byIns)) {
        return CVtAnswer::Status(kSwButtonNotPressed);
    }
    t.TakeChallenge();
    uint16_t wSW = CheckPin(t, a.ulPinType, a.vPlain.data(), a.vChallenge);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtBytes vCode = VtRandom(16);
    t.SetAuthCode(a.ulPinType, vCode);
    return CVtAnswer::Ok(vCode);
}

CVtAnswer ChangePin(CVtToken& t, const CVtCommand& c)
{
    CPinAnswer a;
    OpenPinAnswer(t, c, 32, a);
    if (a.wRefusal != kSwOk) {
        return CVtAnswer::Status(a.wRefusal);
    }
    CVtPin& pin = t.State().aPins[a.ulPinType];
    if (pin.ulRetriesLeft == 0) {
        t.TakeChallenge();
        return CVtAnswer::Status(kSwPinLocked);
    }
    if (!t.ButtonPressed(c.byIns)) {
        return CVtAnswer::Status(kSwButtonNotPressed);
    }
    t.TakeChallenge();
    uint16_t wSW = CheckPin(t, a.ulPinType, a.vPlain.data(), a.vChallenge);
    t.ClearAuthCode();  // a changed PIN is verified again
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    pin.vMd5.assign(a.vPlain.begin() + 16, a.vPlain.end());
    pin.bDefault = !pin.vFactoryMd5.empty() && pin.vMd5 == pin.vFactoryMd5;
    return CVtAnswer::Ok();
}

// Unlock and reset: P2 0 carries the administrator PIN's proof (RSA, as a
// verify); P2 1 carries an issuer's answer computed elsewhere: the challenge
// encrypted (CBC, zero IV, PKCS #7) under the external-authentication key.
uint16_t AdminProof(CVtToken& t, const CVtCommand& c)
{
    if (c.byP2 == 0) {
        CVtCommand cAdmin = c;
        cAdmin.byP2 = kVtPinAdmin;
        CPinAnswer a;
        OpenPinAnswer(t, cAdmin, 16, a);
        if (a.wRefusal != kSwOk) {
            return a.wRefusal;
        }
        if (t.State().aPins[kVtPinAdmin].ulRetriesLeft == 0) {
            t.TakeChallenge();
            return kSwPinLocked;
        }
        if (c.byIns == kInsResetApp && !t.ButtonPressed(c.byIns)) {
            return kSwButtonNotPressed;
        }
        t.TakeChallenge();
        return CheckPin(t, kVtPinAdmin, a.vPlain.data(), a.vChallenge);
    }
    if (c.byP2 != 1) {
        return kSwWrongP1P2;
    }
    VtBytes vData;
    uint16_t wRefusal = kSwOk;
    if (!AppBody(c, vData, wRefusal)) {
        return wRefusal;
    }
    const CVtToken::CChallenge* pChallenge = t.Challenge(c.byIns);
    if (pChallenge == nullptr) {
        return kSwConditions;
    }
    VtBytes vChallenge = pChallenge->vValue;
    if (c.byIns == kInsResetApp && !t.ButtonPressed(c.byIns)) {
        return kSwButtonNotPressed;
    }
    t.TakeChallenge();
    VtBytes vPlain;
    bool bOk = VtSymCrypt(t.AlgByte(), false, t.ExternalAuthKey(), vData, vPlain) == VtSymResult::Ok &&
               vPlain == vChallenge;
    return bOk ? kSwOk : kSwAuthFailed;
}

CVtAnswer UnlockPin(CVtToken& t, const CVtCommand& c)
{
    uint16_t wSW = AdminProof(t, c);
    if (wSW == kSwOk) {
        CVtPin& user = t.State().aPins[kVtPinUser];
        user.ulRetriesLeft = user.ulMaxRetries;  // the user PIN itself is kept
    }
    return CVtAnswer::Status(wSW);
}

CVtAnswer ResetApp(CVtToken& t, const CVtCommand& c)
{
    uint16_t wSW = AdminProof(t, c);
    if (wSW == kSwOk) {
        CVtPin& user = t.State().aPins[kVtPinUser];
        user.vMd5 = user.vFactoryMd5;
        user.ulRetriesLeft = user.ulMaxRetries;
        user.bDefault = true;
        t.ClearAuthCode();
    }
    return CVtAnswer::Status(wSW);
}

// The PIN pairs: P1 0 asks for the challenge, P1 1 answers it.
VtHandler Pair(CVtAnswer (*pfnAnswer)(CVtToken&, const CVtCommand&))
{
    return [pfnAnswer](CVtToken& t, const CVtCommand& c) {
        switch (c.byP1) {
        case 0: return ChallengeRequest(t, c);
        case 1: return pfnAnswer(t, c);
        default: return CVtAnswer::Status(kSwWrongP1P2);
        }
    };
}

CVtAnswer ClearAuth(CVtToken& t, const CVtCommand& c)
{
    VtBytes vRest;
    uint16_t wRefusal = 0;
    if (!AppBody(c, vRest, wRefusal)) {
        return CVtAnswer::Status(wRefusal);
    }
    t.ClearAuthCode();
    return CVtAnswer::Ok();
}

}  // namespace

void VtRegisterPinCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0x0A, SetSessionKey);
    table.Add(kVtClaPlain, kInsExternalAuth, ExternalAuth);
    table.Add(kVtClaPlain, 0x1C, ClearAuth);
    table.Add(kVtClaSecure, kInsPinStatus, PinStatus);
    table.Add(kVtClaSecure, kInsVerifyPin, Pair(VerifyPin));
    table.Add(kVtClaSecure, kInsChangePin, Pair(ChangePin));
    table.Add(kVtClaSecure, kInsUnlockPin, Pair(UnlockPin));
    table.Add(kVtClaSecure, kInsResetApp, Pair(ResetApp));
}

}  // namespace vtoken
