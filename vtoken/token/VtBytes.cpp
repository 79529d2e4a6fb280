#include "vtoken/token/VtBytes.h"

#include <openssl/crypto.h>

namespace vtoken {

std::string VtHex(const VtBytes& v)
{
    static const char kDigits[] = "0123456789abcdef";
    // Into the string's own bytes: a state of large files is written out at
    // every command, and per-character appends dominated that.
    // Through plain pointers too: an unoptimised (sanitizer) build calls
    // the vector's operator[] and size() for every byte otherwise.
    const size_t n = v.size();
    std::string s(n * 2, '\0');
    char* p = s.empty() ? nullptr : &s[0];
    const uint8_t* q = v.data();
    for (size_t i = 0; i < n; ++i) {
        p[2 * i] = kDigits[q[i] >> 4];
        p[2 * i + 1] = kDigits[q[i] & 15];
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
