// File-system commands of application 0: open the application, create,
// delete, describe, read and write data files.
//
// A file has a 16-bit id and the size given at its creation (1 to 0xFFFF
// bytes), starts filled with 0xFF and holds with all other files at most
// the token's file space (64 KiB unless init gave another).  A missing file
// is F1 02; a read or write that leaves the file is
// 6B 00 (never a short or empty success); an existing id is 6A 89; no room
// is F1 04.  The object record file 0xD000 (592 zero bytes) exists from the
// start: the file system is set up on its first use.  Each chunk of a
// write is stored when it arrives, whatever its first/middle/last flags.
#include "vtoken/token/VtTokenData.h"

#include <algorithm>

namespace vtoken {

namespace {

constexpr uint32_t kObjectRecordFile = 0xD000;
constexpr size_t kObjectRecordSize = 592;
constexpr size_t kMaxChunk = 256;
constexpr size_t kAppInfoSize = 72;

std::map<uint32_t, VtBytes>& Files(CVtToken& t)
{
    CVtTokenState& s = t.State();
    if (s.mapRecords.find("fs") == s.mapRecords.end()) {
        s.mapRecords["fs"] = {1};
        if (s.mapFiles.find(kObjectRecordFile) == s.mapFiles.end()) {
            s.mapFiles[kObjectRecordFile] = VtBytes(kObjectRecordSize, 0);
        }
    }
    return s.mapFiles;
}

// Application and file id of a body; the file must exist.
uint16_t FileOf(CVtToken& t, CVtReader& r, uint32_t& ulFid)
{
    uint16_t wSW = VtCheckApp(r);
    if (wSW != kSwOk) {
        return wSW;
    }
    if (!r.U16(ulFid)) {
        return kSwWrongData;
    }
    return Files(t).count(ulFid) != 0 ? static_cast<uint16_t>(kSwOk) : kSwFileNotFound;
}

// A body that names an existing file and nothing more.
uint16_t OnlyFileOf(CVtToken& t, const CVtCommand& c, uint32_t& ulFid)
{
    CVtReader r(c.vBody);
    uint16_t wSW = FileOf(t, r, ulFid);
    if (wSW == kSwOk && r.Left() != 0) {
        wSW = kSwWrongData;
    }
    return wSW;
}

CVtAnswer OpenApplication(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint16_t wSW = VtCheckApp(r);
    if (wSW != kSwOk || r.Left() != 0) {
        return CVtAnswer::Status(wSW != kSwOk ? wSW : static_cast<uint16_t>(kSwWrongData));
    }
    Files(t);
    VtBytes v(kAppInfoSize, 0);
    static const char kName[] = "BRIO-APP";
    std::copy(kName, kName + sizeof(kName) - 1, v.begin());
    return CVtAnswer::Ok(v);
}

CVtAnswer CreateFile(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulSize = 0;
    uint16_t wSW = VtCheckApp(r);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    if (!r.U16(ulFid) || !r.U16(ulSize) || r.Left() != 0 || ulSize == 0) {
        return CVtAnswer::Status(kSwWrongData);
    }
    std::map<uint32_t, VtBytes>& files = Files(t);
    if (files.count(ulFid) != 0) {
        return CVtAnswer::Status(kSwExists);
    }
    size_t nUsed = 0;
    for (const auto& kv : files) {
        nUsed += kv.second.size();
    }
    if (nUsed + ulSize > t.State().ulFileSpace) {
        return CVtAnswer::Status(kSwNoRoom);
    }
    files[ulFid] = VtBytes(ulSize, 0xFF);
    return CVtAnswer::Ok();
}

CVtAnswer DeleteFile(CVtToken& t, const CVtCommand& c)
{
    uint32_t ulFid = 0;
    uint16_t wSW = OnlyFileOf(t, c, ulFid);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtWipe(Files(t)[ulFid]);
    Files(t).erase(ulFid);
    return CVtAnswer::Ok();
}

CVtAnswer FileInfo(CVtToken& t, const CVtCommand& c)
{
    uint32_t ulFid = 0;
    uint16_t wSW = OnlyFileOf(t, c, ulFid);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    uint32_t ulSize = static_cast<uint32_t>(Files(t)[ulFid].size());
    VtBytes v;
    VtPutBE16(v, ulSize);
    if (c.byP1 == 1) {
        VtPutBE16(v, ulFid);
        v.resize(20, 0);
    } else if (c.byP1 != 0) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    return CVtAnswer::Ok(v);
}

CVtAnswer ReadFile(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulOffset = 0;
    uint16_t wSW = FileOf(t, r, ulFid);
    if (wSW == kSwOk && (!r.U16(ulOffset) || r.Left() != 0 || c.wLe > kMaxChunk)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    const VtBytes& f = Files(t)[ulFid];
    if (ulOffset + c.wLe > f.size()) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    return CVtAnswer::Ok(VtBytes(f.begin() + ulOffset, f.begin() + ulOffset + c.wLe));
}

CVtAnswer WriteFile(CVtToken& t, const CVtCommand& c)
{
    if ((c.byP1 & ~0x11u) != 0xA0) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    CVtReader r(c.vBody);
    uint32_t ulFid = 0, ulOffset = 0, ulLen = 0;
    uint16_t wSW = FileOf(t, r, ulFid);
    VtBytes vData;
    if (wSW == kSwOk && (!r.U16(ulOffset) || !r.U16(ulLen) || ulLen > kMaxChunk || !r.Take(ulLen, vData) ||
                         r.Left() != 0)) {
        wSW = kSwWrongData;
    }
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtBytes& f = Files(t)[ulFid];
    if (ulOffset + ulLen > f.size()) {
        return CVtAnswer::Status(kSwOutOfRange);
    }
    std::copy(vData.begin(), vData.end(), f.begin() + ulOffset);
    return CVtAnswer::Ok();
}

}  // namespace

void VtRegisterFileCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0x2A, OpenApplication);
    table.Add(kVtClaPlain, 0x30, CreateFile);
    table.Add(kVtClaPlain, 0x32, DeleteFile);
    table.Add(kVtClaPlain, 0x36, FileInfo);
    table.Add(kVtClaPlain, 0x38, ReadFile);
    table.Add(kVtClaPlain, 0x3A, WriteFile);
}

}  // namespace vtoken
