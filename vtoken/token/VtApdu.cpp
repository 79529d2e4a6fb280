// The APDU frame and secure messaging, token side.
//
// Frame: CLA, INS, P1, P2, body length (2, big-endian), Le (2, ignored), body.
// CLA 0xB4: the body is SID (2) || Lc (2) || command body, encrypted with the
// token's cipher (SM4 or two-key 3DES by the algorithm byte) in CBC, zero IV,
// PKCS #7 padding, under the transfer key.
// Answer: SW1 SW2, the length of the rest (2, big-endian), the payload; for a
// secure command the rest is the encrypted block next SID (2) || payload
// length (2) || payload.  Refusals of the secure channel itself are 4 bytes
// and keep the expected SID.
#include "vtoken/token/VtToken.h"

#include <exception>

namespace vtoken {

namespace {

VtBytes StatusOnly(uint16_t wSW)
{
    return {static_cast<uint8_t>(wSW >> 8), static_cast<uint8_t>(wSW), 0, 0};
}

}  // namespace

CVtAnswer CVtToken::Dispatch(const CVtCommand& cmd)
{
    const VtHandler* handler = CVtCommandTable::Builtin().Find(cmd.byCla, cmd.byIns);
    if (handler == nullptr) {
        return CVtAnswer::Status(kSwUnknownIns);
    }
    try {
        return (*handler)(*this, cmd);
    } catch (const std::exception&) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
}

VtBytes CVtToken::Answer(const CVtAnswer& a, bool bSecure)
{
    VtBytes vOut;
    VtPutBE16(vOut, a.wSW);
    if (!bSecure) {
        if (4 + a.vData.size() > kVtMaxAnswer) {
            return StatusOnly(kSwNoPreciseDiagnosis);
        }
        VtPutBE16(vOut, static_cast<uint32_t>(a.vData.size()));
        VtAppend(vOut, a.vData);
        return vOut;
    }
    VtBytes vSid = VtRandom(2);
    VtBytes vBlock = vSid;
    VtPutBE16(vBlock, static_cast<uint32_t>(a.vData.size()));
    VtAppend(vBlock, a.vData);
    VtBytes vEnc;
    if (VtSymCrypt(AlgByte(), true, m_vTransferKey, vBlock, vEnc) != VtSymResult::Ok ||
        4 + vEnc.size() > kVtMaxAnswer) {
        VtWipe(vBlock);
        return a.vData.empty() ? StatusOnly(kSwNoPreciseDiagnosis) : Answer(CVtAnswer::Status(kSwNoPreciseDiagnosis), true);
    }
    VtWipe(vBlock);
    m_abySid[0] = vSid[0];
    m_abySid[1] = vSid[1];
    VtPutBE16(vOut, static_cast<uint32_t>(vEnc.size()));
    VtAppend(vOut, vEnc);
    return vOut;
}

VtBytes CVtToken::ProcessFrame(const VtBytes& vFrame)
{
    if (vFrame.size() < 8) {
        return StatusOnly(kSwWrongLength);
    }
    CVtCommand cmd;
    cmd.byCla = vFrame[0];
    cmd.byIns = vFrame[1];
    cmd.byP1 = vFrame[2];
    cmd.byP2 = vFrame[3];
    cmd.wLe = static_cast<uint16_t>(VtGetBE16(&vFrame[6]));
    size_t nLc = VtGetBE16(&vFrame[4]);
    if (nLc != vFrame.size() - 8 || nLc > kVtMaxFrameBody) {
        return StatusOnly(kSwWrongLength);
    }
    VtBytes vBody(vFrame.begin() + 8, vFrame.end());
    if (cmd.byCla == kVtClaPlain) {
        cmd.vBody = std::move(vBody);
        return Answer(Dispatch(cmd), false);
    }
    if (cmd.byCla != kVtClaSecure) {
        return StatusOnly(kSwUnknownIns);
    }
    if (m_vTransferKey.empty()) {
        return StatusOnly(kSwNoSession);
    }
    VtBytes vPlain;
    switch (VtSymCrypt(AlgByte(), false, m_vTransferKey, vBody, vPlain)) {
    case VtSymResult::Ok: break;
    case VtSymResult::BadPadding: return StatusOnly(kSwBadPadding);
    default: return StatusOnly(kSwWrongLength);
    }
    if (vPlain.size() < 4) {
        VtWipe(vPlain);
        return StatusOnly(kSwWrongLength);
    }
    if (vPlain[0] != m_abySid[0] || vPlain[1] != m_abySid[1]) {
        VtWipe(vPlain);
        return StatusOnly(kSwNoSession);
    }
    size_t nInner = VtGetBE16(&vPlain[2]);
    if (nInner > vPlain.size() - 4) {
        VtWipe(vPlain);
        return StatusOnly(kSwWrongLength);
    }
    cmd.vBody.assign(vPlain.begin() + 4, vPlain.begin() + 4 + static_cast<long>(nInner));
    VtWipe(vPlain);
    VtBytes vAnswer = Answer(Dispatch(cmd), true);
    VtWipe(cmd.vBody);
    return vAnswer;
}

}  // namespace vtoken
