#include "vtoken/token/VtBytes.h"

#include <openssl/crypto.h>

namespace vtoken {

std::string VtHex(const VtBytes& v)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(v.size() * 2);
    for (uint8_t b : v) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 15]);
    }
    return s;
}

static int Nibble(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool VtUnhex(const std::string& s, VtBytes& vOut)
{
    vOut.clear();
    if (s.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = Nibble(s[i]);
        int lo = Nibble(s[i + 1]);
        if (hi < 0 || lo < 0) {
            vOut.clear();
            return false;
        }
        vOut.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

void VtWipe(VtBytes& v)
{
    if (!v.empty()) {
        OPENSSL_cleanse(v.data(), v.size());
    }
    v.clear();
}

}  // namespace vtoken
