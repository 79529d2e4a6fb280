#include "vtoken/token/VtState.h"

#include <sstream>

namespace vtoken {

namespace {

const char kMagic[] = "brio-vtoken-state 1";

class CSaver : public IVtFieldVisitor {
public:
    std::string m_strOut;
    void Field(const char* szName, std::string& v) override { Line(szName, VtHex(VtBytesOf(v))); }
    void Field(const char* szName, VtBytes& v) override { Line(szName, VtHex(v)); }
    void Field(const char* szName, uint32_t& v) override { Line(szName, std::to_string(v)); }
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

class CLoader : public IVtFieldVisitor {
public:
    explicit CLoader(std::map<std::string, std::string>& lines) : m_lines(lines) {}
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
        auto it = m_lines.find(szName);
        if (it == m_lines.end()) {
            return;
        }
        try {
            size_t pos = 0;
            unsigned long x = std::stoul(it->second, &pos, 10);
            if (pos != it->second.size() || x > 0xFFFFFFFFul) {
                throw std::out_of_range("value");
            }
            v = static_cast<uint32_t>(x);
        } catch (const std::exception&) {
            Fail(szName);
        }
    }
    void Field(const char* szName, bool& v) override
    {
        uint32_t x = v ? 1 : 0;
        Field(szName, x);
        v = x != 0;
    }
    void Field(const char* szName, std::map<uint32_t, VtBytes>& m) override
    {
        m.clear();
        std::string strPrefix = std::string(szName) + ".";
        for (auto& kv : m_lines) {
            if (kv.first.compare(0, strPrefix.size(), strPrefix) != 0) {
                continue;
            }
            VtBytes b;
            try {
                uint32_t key = static_cast<uint32_t>(std::stoul(kv.first.substr(strPrefix.size())));
                if (!VtUnhex(kv.second, b)) {
                    throw std::invalid_argument("hex");
                }
                m[key] = b;
            } catch (const std::exception&) {
                Fail(kv.first);
            }
        }
    }
    void Field(const char* szName, std::map<std::string, VtBytes>& m) override
    {
        m.clear();
        std::string strPrefix = std::string(szName) + ".";
        for (auto& kv : m_lines) {
            if (kv.first.compare(0, strPrefix.size(), strPrefix) != 0) {
                continue;
            }
            VtBytes key;
            VtBytes b;
            if (!VtUnhex(kv.first.substr(strPrefix.size()), key) || !VtUnhex(kv.second, b)) {
                Fail(kv.first);
                continue;
            }
            m[VtStringOf(key)] = b;
        }
    }

private:
    bool Hex(const char* szName, VtBytes& v)
    {
        auto it = m_lines.find(szName);
        if (it == m_lines.end()) {
            return false;
        }
        if (!VtUnhex(it->second, v)) {
            Fail(szName);
            return false;
        }
        return true;
    }
    void Fail(const std::string& strName)
    {
        if (m_strError.empty()) {
            m_strError = "bad value of " + strName;
        }
    }
    std::map<std::string, std::string>& m_lines;
};

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
    v.Field("file", mapFiles);
    v.Field("record", mapRecords);
}

std::string CVtTokenState::Serialize() const
{
    CSaver saver;
    const_cast<CVtTokenState*>(this)->Visit(saver);  // the saver only reads
    return std::string(kMagic) + "\n" + saver.m_strOut;
}

bool CVtTokenState::Parse(const std::string& strText, std::string& strError)
{
    std::istringstream in(strText);
    std::string strLine;
    if (!std::getline(in, strLine) || strLine != kMagic) {
        strError = "not a virtual-token state file";
        return false;
    }
    std::map<std::string, std::string> lines;
    while (std::getline(in, strLine)) {
        if (strLine.empty()) {
            continue;
        }
        size_t sp = strLine.find(' ');
        if (sp == std::string::npos) {
            lines[strLine] = "";
        } else {
            lines[strLine.substr(0, sp)] = strLine.substr(sp + 1);
        }
    }
    CLoader loader(lines);
    Visit(loader);
    strError = loader.m_strError;
    return strError.empty();
}

}  // namespace vtoken
