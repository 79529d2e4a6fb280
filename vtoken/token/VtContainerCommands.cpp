// Container commands: list, create, delete, open.
//
// The table keeps at most five 50-byte records (the list answer holds 256
// bytes); a sixth container is refused with F1 04.  Names are 1 to 39
// bytes and compare exactly; a second container of one name is refused
// with 6A 89, an unknown name with 6A 88.  A deleted container takes its
// key pairs and certificates with it.
#include "vtoken/token/VtTokenData.h"

#include <algorithm>

namespace vtoken {

namespace {

constexpr uint16_t kFirstBase = 0x4000;

int FindByName(const std::vector<CVtContainer>& v, const std::string& strName)
{
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i].Name() == strName) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool ValidName(const VtBytes& v)
{
    if (v.empty() || v.size() > kVtMaxContainerName) {
        return false;
    }
    for (uint8_t b : v) {
        if (b == 0) {
            return false;
        }
    }
    return true;
}

CVtAnswer Enumerate(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint16_t wSW = VtCheckApp(r);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    if (c.byP1 != 1 || c.byP2 != 1) {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    VtBytes vAll;
    for (const CVtContainer& ct : VtLoadContainers(t.State())) {
        VtAppend(vAll, ct.vRecord);
    }
    return CVtAnswer::Ok(vAll);
}

CVtAnswer Create(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint16_t wSW = VtCheckAuthPrefix(t, r);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    VtBytes vName = r.Rest();
    if (!ValidName(vName)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    std::vector<CVtContainer> v = VtLoadContainers(t.State());
    if (FindByName(v, VtStringOf(vName)) >= 0) {
        return CVtAnswer::Status(kSwExists);
    }
    if (v.size() >= kVtMaxContainers) {
        return CVtAnswer::Status(kSwNoRoom);
    }
    uint16_t wBase = kFirstBase;
    for (bool bTaken = true; bTaken;) {
        bTaken = false;
        for (const CVtContainer& ct : v) {
            if (ct.Base() == wBase) {
                bTaken = true;
                wBase = static_cast<uint16_t>(wBase + 0x10);
            }
        }
    }
    CVtContainer ct;
    ct.vRecord.assign(kVtContainerRecord, 0);
    ct.vRecord[2] = static_cast<uint8_t>(wBase >> 8);
    ct.vRecord[3] = static_cast<uint8_t>(wBase);
    ct.vRecord[9] = static_cast<uint8_t>(vName.size());
    std::copy(vName.begin(), vName.end(), ct.vRecord.begin() + 10);
    v.push_back(ct);
    VtStoreContainers(t.State(), v);
    return CVtAnswer::Ok();
}

CVtAnswer Delete(CVtToken& t, const CVtCommand& c)
{
    CVtReader r(c.vBody);
    uint16_t wSW = VtCheckAuthPrefix(t, r);
    if (wSW != kSwOk) {
        return CVtAnswer::Status(wSW);
    }
    std::vector<CVtContainer> v = VtLoadContainers(t.State());
    int i = -1;
    uint32_t ulByte = 0;
    if (!r.U8(ulByte)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    if (c.byP2 == 0) {
        if (r.Left() != 0) {
            return CVtAnswer::Status(kSwWrongData);
        }
        i = ulByte < v.size() ? static_cast<int>(ulByte) : -1;
    } else if (c.byP2 == 1) {
        VtBytes vName = r.Rest();
        if (ulByte != 0xFF || !ValidName(vName)) {
            return CVtAnswer::Status(kSwWrongData);
        }
        i = FindByName(v, VtStringOf(vName));
    } else {
        return CVtAnswer::Status(kSwWrongP1P2);
    }
    if (i < 0) {
        return CVtAnswer::Status(kSwNotFound);
    }
    uint16_t wBase = v[static_cast<size_t>(i)].Base();
    for (uint32_t ulUsage = 1; ulUsage <= 2; ++ulUsage) {
        auto& m = t.State().mapRecords;
        auto itKey = m.find(VtKeyName(wBase | ulUsage));
        if (itKey != m.end()) {
            VtWipe(itKey->second);
            m.erase(itKey);
        }
        m.erase(VtCertName(wBase | ulUsage));
    }
    v.erase(v.begin() + i);
    VtStoreContainers(t.State(), v);
    return CVtAnswer::Ok();
}

CVtAnswer Open(CVtToken& t, const CVtCommand& c)
{
    if (!ValidName(c.vBody)) {
        return CVtAnswer::Status(kSwWrongData);
    }
    std::vector<CVtContainer> v = VtLoadContainers(t.State());
    int i = FindByName(v, VtStringOf(c.vBody));
    if (i < 0) {
        return CVtAnswer::Status(kSwNotFound);
    }
    const VtBytes& rec = v[static_cast<size_t>(i)].vRecord;
    return CVtAnswer::Ok(VtBytes(rec.begin(), rec.begin() + 8));
}

}  // namespace

void VtRegisterContainerCommands(CVtCommandTable& table)
{
    table.Add(kVtClaPlain, 0x46, Enumerate);
    table.Add(kVtClaSecure, 0x40, Create);
    table.Add(kVtClaSecure, 0x48, Delete);
    table.Add(kVtClaPlain, 0x4A, Open);
}

}  // namespace vtoken
