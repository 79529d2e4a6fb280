// Chip commands: device information, label and serial numbers, the flash
// area and the export of the authentication key.  All plain (CLA 0xB0).
#include "vtoken/token/VtToken.h"

#include <algorithm>
#include <cstring>

namespace vtoken {

namespace {

constexpr size_t kDevInfoSize = 288;
constexpr size_t kFlashChunk = 256;

void PutText(VtBytes& v, size_t off, size_t width, const std::string& s)
{
    std::memcpy(&v[off], s.data(), std::min(width, s.size()));
}

void PutBE32At(VtBytes& v, size_t off, uint32_t x)
{
    v[off] = static_cast<uint8_t>(x >> 24);
    v[off + 1] = static_cast<uint8_t>(x >> 16);
    v[off + 2] = static_cast<uint8_t>(x >> 8);
    v[off + 3] = static_cast<uint8_t>(x);
}

VtBytes DeviceInfo(const CVtTokenState& s)
{
    VtBytes v(kDevInfoSize, 0);
    v[0] = 1;  // version 1.0
    PutText(v, 4, 64, "Brio");
    PutText(v, 68, 64, "Brio Virtual Token");
    PutText(v, 132, 32, s.strLabel);
    PutText(v, 164, 32, s.strSerial);
    v[196] = 1;  // hardware 1.0
    v[198] = 1;  // firmware 1.0
    PutBE32At(v, 200, 0x00000403);  // SM4 ECB and CBC
    PutBE32At(v, 204, 0x00030700);  // RSA, SM2 signature, exchange and encryption
    PutBE32At(v, 208, 0x00000007);  // SM3, SHA-1, SHA-256
    PutBE32At(v, 212, (s.ulAlgByte << 8) | 0x01);
    uint32_t ulUsed = 0;
    for (const auto& kv : s.mapFiles) {
        ulUsed += static_cast<uint32_t>(kv.second.size());
    }
    PutBE32At(v, 216, s.ulFileSpace);
    PutBE32At(v, 220, ulUsed < s.ulFileSpace ? s.ulFileSpace - ulUsed : 0);
    v[224] = 0x7F;  // life status: application state
    v[225] = 0x00;
    v[228] = static_cast<uint8_t>(s.ulKeyId >> 8);
    v[229] = static_cast<uint8_t>(s.ulKeyId);
    return v;
}

CVtAnswer GetInfo(CVtToken& t, const CVtCommand& c)
{
    const CVtTokenState& s = t.State();
    switch (c.byP1) {
    case 0: return CVtAnswer::Ok(DeviceInfo(s));
    case 1: return CVtAnswer::Ok(VtBytesOf(s.strLabel));
    case 2: return CVtAnswer::Ok(VtBytesOf(s.strSerial));
    case 3: return CVtAnswer::Ok(s.vChipSerial);
    default: return CVtAnswer::Status(kSwWrongP1P2);
    }
}

// Text of a fixed field: trailing zero bytes are padding.
bool TextBody(const VtBytes& vBody, size_t nMax, std::string& s)
{
    if (vBody.empty() || vBody.size() > nMax) {
        return false;
    }
    size_t n = vBody.size();
    while (n > 0 && vBody[n - 1] == 0) {
        --n;
    }
    s.assign(vBody.begin(), vBody.begin() + static_cast<long>(n));
    return s.find('\0') == std::string::npos;
}

CVtAnswer SetLabel(CVtToken& t, const CVtCommand& c)
{
    std::string s;
    if (!TextBody(c.vBody, 32, s)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    t.State().strLabel = s;
    return CVtAnswer::Ok();
}

CVtAnswer SetSerial(CVtToken& t, const CVtCommand& c)
{
    std::string s;
    if (!TextBody(c.vBody, 16, s) || s.empty()) {
        return CVtAnswer::Status(kSwWrongData);
    }
    t.State().strSerial = s;
    return CVtAnswer::Ok();
}

VtBytes& Flash(CVtToken& t)
{
    VtBytes& f = t.State().vFlash;
    if (f.size() != kVtFlashSize) {
        f.assign(kVtFlashSize, 0xFF);
    }
    return f;
}

CVtAnswer EraseFlash(CVtToken& t, const CVtCommand&)
{
    t.State().vFlash.clear();  // kept only once written
    return CVtAnswer::Ok();
}

CVtAnswer WriteFlash(CVtToken& t, const CVtCommand& c)
{
    if (c.vBody.size() != 4 + kFlashChunk) {
        return CVtAnswer::Status(kSwWrongData);
    }
    uint32_t ulAddr = VtGetBE32(c.vBody.data());
    VtBytes& f = Flash(t);
    if (ulAddr > f.size() - kFlashChunk) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    std::copy(c.vBody.begin() + 4, c.vBody.end(), f.begin() + ulAddr);
    return CVtAnswer::Ok();
}

// E3: the generic middleware writes block index i at byte i * 256 but reads
// it at i * 128, so this token counts read addresses in units of two bytes:
// address A reads from byte 2 * A.
constexpr uint32_t kReadAddrUnit = 2;

CVtAnswer ReadFlashUnit(CVtToken& t, const CVtCommand& c, size_t nUnit)
{
    if (c.vBody.size() != 4) {
        return CVtAnswer::Status(kSwWrongData);
    }
    uint32_t ulWord = VtGetBE32(c.vBody.data());
    if (ulWord >= kVtFlashSize / kReadAddrUnit) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    uint32_t ulAddr = ulWord * kReadAddrUnit;
    if (ulAddr >= kVtFlashSize) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    size_t n = std::min(nUnit, kVtFlashSize - ulAddr);
    const VtBytes& f = t.State().vFlash;
    if (f.size() != kVtFlashSize) {
        return CVtAnswer::Ok(VtBytes(n, 0xFF));  // never written: erased
    }
    return CVtAnswer::Ok(VtBytes(f.begin() + ulAddr, f.begin() + static_cast<long>(ulAddr + n)));
}

CVtAnswer ExportAuthKey(CVtToken& t, const CVtCommand&)
{
    const CVtTokenState& s = t.State();
    VtPkey key = t.AuthKey();
    if (!key) {
        return CVtAnswer::Status(kSwNoPreciseDiagnosis);
    }
    VtBytes vOut = t.AlgByte() == 0x13 ? VtSm2PublicXY(key.get()) : VtRsaPublicNE(key.get());
    VtAppend(vOut, s.vAuthSignature);
    return CVtAnswer::Ok(vOut);
}

}  // namespace

void VtRegisterChipCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0x02, SetLabel);
    table.Add(kVtClaPlain, 0x03, SetSerial);
    table.Add(kVtClaPlain, 0x04, GetInfo);
    table.Add(kVtClaPlain, 0x07, ExportAuthKey);
    table.Add(kVtClaPlain, 0xE1, EraseFlash);
    table.Add(kVtClaPlain, 0xE2, WriteFlash);
    table.Add(kVtClaPlain, 0xE3, [](CVtToken& t, const CVtCommand& c) { return ReadFlashUnit(t, c, kFlashChunk); });
    table.Add(kVtClaPlain, 0xE9, WriteFlash);
    // EA, the product's flash read, is one of the product commands.
    // InitAuthKey (05), ImportAuthKey (06) and the erase procedures (08, 09)
    // are not offered: nothing in the system sends them (6D 00).
}

}  // namespace vtoken
