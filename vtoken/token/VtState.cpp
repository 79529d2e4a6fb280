#include "vtoken/token/VtState.h"

#include "vtoken/token/VtCrypto.h"

#include <set>
#include <sstream>

namespace vtoken {

namespace {

// Files of the first format carry no check line; they are still read, with
// every field required, and written in the current format at the next change.
const char kMagic[] = "brio-vtoken-state 2";
const char kMagicUnchecked[] = "brio-vtoken-state 1";
// The last line: "end <bytes before it> <SHA-256 of those bytes in hex>".
const char kEnd[] = "end ";

std::string CheckLine(const std::string& strBody)
{
    // Copied as bytes of one type (a plain memory copy even unoptimised:
    // the body holds every data file, and is checked at every change).
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(strBody.data());
    VtBytes vBody(pb, pb + strBody.size());
    return kEnd + std::to_string(strBody.size()) + " " + VtHex(VtSha256(vBody)) + "\n";
}

// A whole decimal number of at most 32 bits, nothing else.
bool ParseDecimal(const std::string& s, uint32_t& ul)
{
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long long x = std::stoull(s);
    if (x > 0xFFFFFFFFull) {
        return false;
    }
    ul = static_cast<uint32_t>(x);
    return true;
}

class CSaver : public IVtFieldVisitor {
public:
    std::string m_strOut;
    void Field(const char* szName, std::string& v) override { Line(szName, VtHex(VtBytesOf(v))); }
    void Field(const char* szName, VtBytes& v) override { Line(szName, VtHex(v)); }
    void Field(const char* szName, uint32_t& v) override { Line(szName, std::to_string(v)); }
    void Field(const char* szName, uint32_t& v, uint32_t) override { Line(szName, std::to_string(v)); }
    void Field(const char* szName, bool& v) override { Line(szName, v ? "1" : "0"); }
    void Field(const char* szName, std::map<uint32_t, VtBytes>& m) override
    {
        for (auto& kv : m) {
            Line(std::string(szName) + "." + std::to_string(kv.first), VtHex(kv.second));
        }
    }
    void Field(const char* szName, std::map<std::string, VtBytes>& m) override
    {
        for (auto& kv : m) {
            Line(std::string(szName) + "." + VtHex(VtBytesOf(kv.first)), VtHex(kv.second));
        }
    }

private:
    void Line(const std::string& strName, const std::string& strValue)
    {
        m_strOut += strName + " " + strValue + "\n";
    }
};

// Names and raw values, each with its length.
class CFingerprint : public IVtFieldVisitor {
public:
    VtBytes m_vOut;
    void Field(const char* szName, std::string& v) override { Entry(szName, VtBytesOf(v)); }
    void Field(const char* szName, VtBytes& v) override { Entry(szName, v); }
    void Field(const char* szName, uint32_t& v) override { Entry(szName, VtBytesOf(std::to_string(v))); }
    void Field(const char* szName, uint32_t& v, uint32_t) override { Field(szName, v); }
    void Field(const char* szName, bool& v) override { Entry(szName, VtBytes{static_cast<uint8_t>(v)}); }
    void Field(const char* szName, std::map<uint32_t, VtBytes>& m) override
    {
        for (auto& kv : m) {
            Entry(std::string(szName) + "." + std::to_string(kv.first), kv.second);
        }
    }
    void Field(const char* szName, std::map<std::string, VtBytes>& m) override
    {
        for (auto& kv : m) {
            Entry(std::string(szName) + "." + kv.first, kv.second);
        }
    }

private:
    void Entry(const std::string& strName, const VtBytes& v)
    {
        Length(strName.size());
        m_vOut.insert(m_vOut.end(), strName.begin(), strName.end());
        Length(v.size());
        m_vOut.insert(m_vOut.end(), v.begin(), v.end());
    }
    void Length(size_t n)
    {
        for (int i = 0; i < 8; ++i) {
            m_vOut.push_back(static_cast<uint8_t>(n >> (8 * i)));
        }
    }
};

// Every field must be there once with a well-formed value; a line that no
// field takes is refused too.
class CLoader : public IVtFieldVisitor {
public:
    explicit CLoader(const std::map<std::string, std::string>& lines) : m_lines(lines) {}
    std::string m_strError;

    void Field(const char* szName, std::string& v) override
    {
        VtBytes b;
        if (Hex(szName, b)) {
            v = VtStringOf(b);
        }
    }
    void Field(const char* szName, VtBytes& v) override { Hex(szName, v); }
    void Field(const char* szName, uint32_t& v) override
    {
        const std::string* pValue = Take(szName);
        if (pValue != nullptr && !ParseDecimal(*pValue, v)) {
            Fail("bad value of " + std::string(szName));
        }
    }
    void Field(const char* szName, uint32_t& v, uint32_t ulDefault) override
    {
        v = ulDefault;
        if (m_lines.count(szName) != 0) {
            Field(szName, v);
        }
    }
    void Field(const char* szName, bool& v) override
    {
        const std::string* pValue = Take(szName);
        if (pValue != nullptr && *pValue != "0" && *pValue != "1") {
            Fail("bad value of " + std::string(szName));
        }
        v = pValue != nullptr && *pValue == "1";
    }
    void Field(const char* szName, std::map<uint32_t, VtBytes>& m) override
    {
        m.clear();
        ForEachEntry(szName, [&](const std::string& strKey, const std::string& strValue) {
            uint32_t key = 0;
            VtBytes b;
            if (!ParseDecimal(strKey, key) || !VtUnhex(strValue, b)) {
                return false;
            }
            m[key] = b;
            return true;
        });
    }
    void Field(const char* szName, std::map<std::string, VtBytes>& m) override
    {
        m.clear();
        ForEachEntry(szName, [&](const std::string& strKey, const std::string& strValue) {
            VtBytes key;
            VtBytes b;
            if (!VtUnhex(strKey, key) || !VtUnhex(strValue, b)) {
                return false;
            }
            m[VtStringOf(key)] = b;
            return true;
        });
    }
    // After the visit: the first line that no field took.
    void CheckAllTaken()
    {
        for (auto& kv : m_lines) {
            if (m_taken.count(kv.first) == 0) {
                Fail("unknown field " + kv.first);
            }
        }
    }

private:
    const std::string* Take(const char* szName)
    {
        auto it = m_lines.find(szName);
        if (it == m_lines.end()) {
            Fail("missing field " + std::string(szName));
            return nullptr;
        }
        m_taken.insert(it->first);
        return &it->second;
    }
    template <typename F>
    void ForEachEntry(const char* szName, F parse)
    {
        std::string strPrefix = std::string(szName) + ".";
        for (auto& kv : m_lines) {
            if (kv.first.compare(0, strPrefix.size(), strPrefix) != 0) {
                continue;
            }
            m_taken.insert(kv.first);
            if (!parse(kv.first.substr(strPrefix.size()), kv.second)) {
                Fail("bad value of " + kv.first);
            }
        }
    }
    bool Hex(const char* szName, VtBytes& v)
    {
        const std::string* pValue = Take(szName);
        if (pValue != nullptr && !VtUnhex(*pValue, v)) {
            Fail("bad value of " + std::string(szName));
            return false;
        }
        return pValue != nullptr;
    }
    void Fail(const std::string& strWhy)
    {
        if (m_strError.empty()) {
            m_strError = strWhy;
        }
    }
    const std::map<std::string, std::string>& m_lines;
    std::set<std::string> m_taken;
};

// The text before the check line when the file is whole, else why not.
bool Unseal(const std::string& strText, std::string& strBody, std::string& strError)
{
    size_t posEnd = strText.size() >= 2 ? strText.rfind('\n', strText.size() - 2) : std::string::npos;
    if (strText.empty() || strText.back() != '\n' || posEnd == std::string::npos ||
        strText.compare(posEnd + 1, sizeof(kEnd) - 1, kEnd) != 0) {
        strError = "damaged: cut short (no check line at its end)";
        return false;
    }
    strBody = strText.substr(0, posEnd + 1);
    if (strText.compare(posEnd + 1, std::string::npos, CheckLine(strBody)) != 0) {
        strError = "damaged: its length or checksum does not match its check line";
        return false;
    }
    return true;
}

}  // namespace

void CVtTokenState::Visit(IVtFieldVisitor& v)
{
    v.Field("id", strId);
    v.Field("serial", strSerial);
    v.Field("label", strLabel);
    v.Field("chip-serial", vChipSerial);
    v.Field("algorithm", ulAlgByte);
    v.Field("key-id", ulKeyId);
    v.Field("bus", ulBus);
    v.Field("address", ulAddress);
    v.Field("plugged", bPlugged);
    v.Field("generation", ulGeneration);
    v.Field("button", strButton);
    v.Field("kernel-driver", bKernelDriver);
    v.Field("auth-key", vAuthKey);
    v.Field("auth-signature", vAuthSignature);
    v.Field("auth-signed-by-product", bAuthSignedByProduct);
    v.Field("pin-transfer-key", vPinTransferKey);
    static const char* const kPinNames[2][5] = {
        {"so-pin.md5", "so-pin.factory-md5", "so-pin.max-retries", "so-pin.retries-left", "so-pin.default"},
        {"user-pin.md5", "user-pin.factory-md5", "user-pin.max-retries", "user-pin.retries-left", "user-pin.default"}};
    for (int i = 0; i < 2; ++i) {
        v.Field(kPinNames[i][0], aPins[i].vMd5);
        v.Field(kPinNames[i][1], aPins[i].vFactoryMd5);
        v.Field(kPinNames[i][2], aPins[i].ulMaxRetries);
        v.Field(kPinNames[i][3], aPins[i].ulRetriesLeft);
        v.Field(kPinNames[i][4], aPins[i].bDefault);
    }
    v.Field("flash", vFlash);
    v.Field("file-space", ulFileSpace, kVtDefaultFileSpace);
    v.Field("file", mapFiles);
    v.Field("record", mapRecords);
}

std::string CVtTokenState::Serialize() const
{
    CSaver saver;
    const_cast<CVtTokenState*>(this)->Visit(saver);  // the saver only reads
    std::string strBody = std::string(kMagic) + "\n" + saver.m_strOut;
    return strBody + CheckLine(strBody);
}

VtBytes CVtTokenState::Fingerprint() const
{
    CFingerprint print;
    const_cast<CVtTokenState*>(this)->Visit(print);  // the visitor only reads
    return std::move(print.m_vOut);
}

bool CVtTokenState::Parse(const std::string& strText, std::string& strError)
{
    strError.clear();
    std::string strFirst = strText.substr(0, strText.find('\n'));
    std::string strBody;
    if (strFirst == kMagicUnchecked) {
        strBody = strText;
    } else if (strFirst != kMagic) {
        strError = "not a virtual-token state file";
        return false;
    } else if (!Unseal(strText, strBody, strError)) {
        return false;
    }
    std::istringstream in(strBody);
    std::string strLine;
    std::getline(in, strLine);
    std::map<std::string, std::string> lines;
    while (std::getline(in, strLine)) {
        size_t sp = strLine.find(' ');
        if (sp == std::string::npos || sp == 0) {
            strError = "malformed line \"" + strLine.substr(0, 40) + "\"";
            return false;
        }
        if (!lines.emplace(strLine.substr(0, sp), strLine.substr(sp + 1)).second) {
            strError = "field " + strLine.substr(0, sp) + " appears twice";
            return false;
        }
    }
    CLoader loader(lines);
    Visit(loader);
    loader.CheckAllTaken();
    strError = loader.m_strError;
    return strError.empty();
}

}  // namespace vtoken
